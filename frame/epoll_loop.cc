#include "frame/epoll_loop.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <mutex>
#include <thread>

namespace {

std::atomic<bool> ending{false};
std::atomic<int> opened{0}, parked{0};
std::mutex all_loops_mutex;  // the two sides open their loops under different run mutexes
std::vector<epoll_loop_base*>& all_loops() {
  static auto& l = *new std::vector<epoll_loop_base*>;
  return l;
}

// Every loop stops at its next wake-up; the exit waits up to a second for them.
void park_loops_at_exit() {
  ending = true;
  {
    std::lock_guard<std::mutex> lock(all_loops_mutex);
    for (epoll_loop_base* l : all_loops()) l->wake();
  }
  for (int i = 0; i < 100 && parked < opened; i++) usleep(10000);
}

}  // namespace

void epoll_loop_base::open() {
  epoll_fd = epoll_create1(EPOLL_CLOEXEC);
  wake_fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.u64 = 0;
  epoll_ctl(epoll_fd, EPOLL_CTL_ADD, wake_fd, &ev);
  std::lock_guard<std::mutex> lock(all_loops_mutex);
  if (opened++ == 0) std::atexit(park_loops_at_exit);
  all_loops().push_back(this);
}

void epoll_loop_base::wake() {
  uint64_t one = 1;
  ssize_t r = write(wake_fd, &one, sizeof one);
  (void)r;
}

int epoll_loop_base::wait(mutex& run, epoll_event* events, int max_events, int timeout_ms) {
  int n;
  {
    mutex_unlock unlocked(run);
    n = epoll_wait(epoll_fd, events, max_events, timeout_ms);
  }
  if (ending) {
    run.unlock();
    ++parked;
    for (;;) pause();
  }
  return n;
}

bool epoll_loop_base::take_wake(const epoll_event& event) {
  if (event.data.u64 != 0) return false;
  uint64_t count;
  ssize_t r = read(wake_fd, &count, sizeof count);
  (void)r;
  return true;
}

int epoll_loop_count() {
  return std::clamp(static_cast<int>(std::thread::hardware_concurrency()), 1, 4);
}
