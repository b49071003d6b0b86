#include "frame/mutex.h"

#include <unistd.h>

#include <cassert>
#include <cstdio>

std::atomic<bool> single_thread_mode{true};

mutex ctrl_run_mutex("ctrl_run_mutex", run_side::ctrl);
mutex srv_run_mutex("srv_run_mutex", run_side::srv);

namespace {

thread_local run_side bound_side = run_side::none;

void stderr_alert(const char* name, const char* text) {
  if (name) {
    std::fprintf(stderr, "ALERT: %s: %s\n", name, text);
  } else {
    std::fprintf(stderr, "ALERT: %s\n", text);
  }
  std::fflush(stderr);
}

std::atomic<mutex_alert_writer> alert_writer{stderr_alert};

}  // namespace

run_side thread_side() { return bound_side; }

void bind_thread_side(run_side side) {
  // A thread never changes sides.
  assert(bound_side == run_side::none || side == run_side::none || bound_side == side);
  bound_side = side;
}

void set_mutex_alert_writer(mutex_alert_writer w) { alert_writer.store(w ? w : stderr_alert); }

void mutex_alert(const char* name, const char* text) { alert_writer.load()(name, text); }

mutex::mutex(const char* name, run_side side) : name_(name), side_(side) {
  pthread_mutexattr_t attr;
  pthread_mutexattr_init(&attr);
  pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
  pthread_mutex_init(&m_, &attr);
  pthread_mutexattr_destroy(&attr);
}

mutex::~mutex() { pthread_mutex_destroy(&m_); }

void mutex::lock() {
  if (single_thread_mode.load(std::memory_order_relaxed)) return;
  if (side_ != run_side::none) {
    // The one cross-side rule of the process: a ctrl thread never takes srv_run_mutex and a
    // srv thread never takes ctrl_run_mutex.
    assert(bound_side == run_side::none || bound_side == side_);
    if (bound_side == run_side::none) bound_side = side_;
  }
  pthread_mutex_lock(&m_);
  if (depth_ != 0) mutex_alert(name_, "Allocate Mutex");
  depth_++;
}

void mutex::unlock() {
  if (single_thread_mode.load(std::memory_order_relaxed)) return;
  depth_--;
  if (depth_ != 0) mutex_alert(name_, "Release Mutex");
  pthread_mutex_unlock(&m_);
}

void yield_thread(int ms) {
  mutex_unlock u(ctrl_run_mutex);
  usleep(static_cast<useconds_t>(ms) * 1000);
}
