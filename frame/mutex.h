// mutex: the process's recursive lock with a depth check, and the two run mutexes that divide
// the process into the PBX application side (ctrl_run_mutex) and the SIP/media server side
// (srv_run_mutex).
//
// Every thread of a side holds its run mutex whenever it is not blocked in select, a semaphore
// wait or a sleep, so the handlers of one side run one at a time. No thread ever takes the
// other side's run mutex: a thread is bound to the side of the first run mutex it takes, and a
// debug build asserts when it later takes the other one. Work for the other side goes through
// the text-message queues (frame/queues.h).
//
// While single_thread_mode is set (start-up, before start_threads) lock and unlock do nothing.
//
// Side-neutral.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstdint>

#include "base/str.h"

// Set at start; cleared by start_threads. While set, mutex::lock/unlock are no-ops.
extern std::atomic<bool> single_thread_mode;

enum class run_side : uint8_t { none = 0, ctrl = 1, srv = 2 };

class mutex {
 public:
  // name: shown in depth alerts (nullptr: unnamed). side: ctrl or srv for the two run mutexes.
  explicit mutex(const char* name = nullptr, run_side side = run_side::none);
  ~mutex();
  mutex(const mutex&) = delete;
  mutex& operator=(const mutex&) = delete;

  // Takes the lock; a recursive take writes the alert "Allocate Mutex".
  void lock();
  // Releases one level; when the lock is still held afterwards writes "Release Mutex".
  void unlock();
  // States that the caller holds this mutex; checks nothing at run time.
  void must_own(const char*) const {}

  const char* name() const { return name_; }
  run_side side() const { return side_; }
  // Nesting depth of the current owner (for tests and diagnostics).
  int depth() const { return depth_; }

 private:
  pthread_mutex_t m_;
  int depth_ = 0;
  const char* name_;
  run_side side_;
};

// Scoped lock; also used to re-take a run mutex for a while from a blocking section.
class mutex_lock {
 public:
  explicit mutex_lock(mutex& m) : m_(m) { m_.lock(); }
  ~mutex_lock() { m_.unlock(); }
  mutex_lock(const mutex_lock&) = delete;
  mutex_lock& operator=(const mutex_lock&) = delete;

 private:
  mutex& m_;
};

// Releases a held mutex for the lifetime of the object (around select, waits and sleeps).
class mutex_unlock {
 public:
  explicit mutex_unlock(mutex& m) : m_(m) { m_.unlock(); }
  ~mutex_unlock() { m_.lock(); }
  mutex_unlock(const mutex_unlock&) = delete;
  mutex_unlock& operator=(const mutex_unlock&) = delete;

 private:
  mutex& m_;
};

extern mutex ctrl_run_mutex;
extern mutex srv_run_mutex;

// The side the calling thread is bound to (none until it first takes a run mutex outside
// single-thread mode). Threads started for one side bind themselves at once.
run_side thread_side();
void bind_thread_side(run_side side);

// Writer of depth alerts (mutex name or nullptr, text); the composition root installs the
// logging module's log_alert, which appends "ALERT: %s: %s\n" (or "ALERT: %s\n") to the open
// log file and flushes. Default: the same line on stderr.
using mutex_alert_writer = void (*)(const char* name, const char* text);
void set_mutex_alert_writer(mutex_alert_writer w);
void mutex_alert(const char* name, const char* text);

// yield_thread(ms): releases ctrl_run_mutex, sleeps ms milliseconds and takes it again.
void yield_thread(int ms);
