#include "frame/semaphore.h"

#include <gtest/gtest.h>

// Waking a waiter on another thread is covered where threads meet: timer_test's real timer
// thread and threads_test's thread creation.
TEST(Semaphore, CountsSignals) {
  semaphore s;
  EXPECT_FALSE(s.try_wait());
  s.signal();
  s.signal();
  EXPECT_EQ(s.count(), 2);
  EXPECT_EQ(s.wait(), 2);
  EXPECT_EQ(s.wait(int64_t{1000}), 2);  // consumes the pending signal without waiting
  EXPECT_EQ(s.count(), 0);
  // Nothing pending and no time to wait: the time ran out.
  EXPECT_EQ(s.wait(int64_t{0}), 1);
}
