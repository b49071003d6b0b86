#include "frame/semaphore.h"

#include <gtest/gtest.h>
#include <rapidcheck.h>

#include <thread>

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

TEST(Semaphore, WakesAWaiterOnAnotherThread) {
  semaphore s;
  semaphore started;
  int result = -1;
  std::thread t([&] {
    started.signal();
    result = s.wait(int64_t{-1});  // unbounded
  });
  started.wait();
  s.signal();
  t.join();
  EXPECT_EQ(result, 2);
  EXPECT_EQ(s.count(), 0);
}
