// semaphore: a counting semaphore on a POSIX mutex and condition variable. Timer threads sleep
// on one until their next due time or until an earlier timeout is inserted; connection
// threads use one to hand over an accepted socket.
//
// Side-neutral.
#pragma once

#include <pthread.h>

#include <cstdint>

class semaphore {
 public:
  semaphore();
  ~semaphore();
  semaphore(const semaphore&) = delete;
  semaphore& operator=(const semaphore&) = delete;

  // Increments the counter and wakes one waiter.
  void signal();
  // Blocks until the counter is positive and decrements it. 2 on success, 0 when the wait
  // itself failed.
  int wait();
  // Waits at most ms milliseconds (wall clock). 2 when a signal was consumed, 1 when the time
  // ran out, 0 on any other error. A negative ms (the "-1 as unsigned" of an empty timer queue)
  // waits until signalled.
  int wait(int64_t ms);
  // Consumes a signal when one is pending; never blocks. true when it consumed one.
  bool try_wait();
  int count();

 private:
  pthread_mutex_t mutex_;
  pthread_cond_t cond_;
  int count_ = 0;
};
