#include "frame/semaphore.h"

#include <errno.h>
#include <linux/futex.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

// A signaller increments the counter before it looks for waiters; a waiter announces itself
// before it reads the counter it will sleep on. With both orders sequentially consistent one
// of them sees the other: either the signaller finds the waiter and wakes it, or the waiter
// finds the new count (and the futex refuses to sleep on a value that changed).

namespace {

int* futex_word(std::atomic<int>& a) { return reinterpret_cast<int*>(&a); }

int64_t monotonic_ns() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

}  // namespace

void semaphore::wake_one() {
  if (waiters_.load() > 0) {
    syscall(SYS_futex, futex_word(count_), FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
  }
}

void semaphore::signal() {
  count_.fetch_add(1);
  wake_one();
}

void semaphore::wake() {
  int idle = 0;
  if (count_.compare_exchange_strong(idle, 1)) wake_one();
}

bool semaphore::try_wait() {
  int c = count_.load();
  while (c > 0) {
    if (count_.compare_exchange_weak(c, c - 1)) return true;
  }
  return false;
}

int semaphore::wait() { return wait(int64_t{-1}); }

int semaphore::wait(int64_t ms) {
  // Thirty years at most, so that the deadline in nanoseconds cannot overflow.
  constexpr int64_t max_ms = int64_t{1000000000000};
  if (ms > max_ms) ms = max_ms;
  int64_t deadline = ms >= 0 ? monotonic_ns() + ms * 1000000 : 0;
  for (;;) {
    if (try_wait()) return 2;
    timespec rel{};
    if (ms >= 0) {
      int64_t left = deadline - monotonic_ns();
      if (left <= 0) return 1;
      rel.tv_sec = static_cast<time_t>(left / 1000000000);
      rel.tv_nsec = static_cast<long>(left % 1000000000);
    }
    waiters_.fetch_add(1);
    long rc = 0;
    if (count_.load() <= 0) {
      rc = syscall(SYS_futex, futex_word(count_), FUTEX_WAIT_PRIVATE, 0, ms >= 0 ? &rel : nullptr,
                   nullptr, 0);
    }
    waiters_.fetch_sub(1);
    if (rc != 0 && errno != EAGAIN && errno != EINTR && errno != ETIMEDOUT) return 0;
  }
}
