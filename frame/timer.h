// The timer-thread loop shared by the SIP timer thread (sip_thread_queue, srv_run_mutex) and
// the control timer thread (http_thread_queue, ctrl_run_mutex): sleep until the first element
// is due, woken early when an earlier element is inserted, then run it under the run mutex.
//
// The sleep goes through a timer_waiter so that tests drive the loop under a manual clock
// without sleeping.
//
// Side: the loop belongs to the side of its run mutex.
#pragma once

#include <cstdint>

#include "frame/mutex.h"
#include "frame/semaphore.h"
#include "frame/timeout.h"

class timer_waiter {
 public:
  virtual ~timer_waiter() = default;
  // Waits on s for at most ms milliseconds (negative: until signalled). 2 when a signal was
  // consumed, 1 when the time ran out, 0 on error.
  virtual int wait(semaphore& s, int64_t ms) = 0;
};

// The real one: semaphore::wait(ms).
timer_waiter& real_timer_waiter();

class timer_thread {
 public:
  timer_thread(timeout_queue& queue, mutex& run_mutex) : queue_(queue), run_(run_mutex) {}

  // One pass of the loop, called with the run mutex held. Returns true when an element ran.
  bool run_once(timer_waiter& w);
  // The thread body: binds the thread to the run mutex's side, takes the run mutex and loops
  // for ever.
  [[noreturn]] void run();

  semaphore& sema() { return sema_; }

 private:
  timeout_queue& queue_;
  mutex& run_;
  semaphore sema_;
};
