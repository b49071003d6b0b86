// semaphore: a counting semaphore on a Linux futex. Timer threads sleep on one until their next
// due time or until an earlier timeout is inserted; connection threads use one to hand over an
// accepted socket.
//
// Signalling costs one atomic operation, plus one system call only when a thread sleeps on
// it; waiting sleeps in the kernel only when no signal is pending. Timed waits measure the
// monotonic clock, so a change of the wall clock neither ends nor stretches them.
//
// Side-neutral.
#pragma once

#include <atomic>
#include <cstdint>

class semaphore {
 public:
  semaphore() = default;
  semaphore(const semaphore&) = delete;
  semaphore& operator=(const semaphore&) = delete;

  // Increments the counter and wakes one waiter.
  void signal();
  // Sets the counter to 1 unless it is positive already, and wakes a waiter only then: a
  // wake-up flag for a thread that re-examines its whole state when woken, so that a burst of
  // wake-ups costs one.
  void wake();
  // Blocks until the counter is positive and decrements it. 2 on success, 0 when the wait
  // itself failed.
  int wait();
  // Waits at most ms milliseconds. 2 when a signal was consumed, 1 when the time ran out, 0 on
  // any other error. A negative ms (the "-1 as unsigned" of an empty timer queue) waits until
  // signalled.
  int wait(int64_t ms);
  // Consumes a signal when one is pending; never blocks. true when it consumed one.
  bool try_wait();
  int count() const { return count_.load(); }

 private:
  void wake_one();

  std::atomic<int> count_{0};
  std::atomic<int> waiters_{0};  // threads inside the futex wait (or about to enter it)
};
