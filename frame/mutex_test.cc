#include "frame/mutex.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

namespace {

std::vector<std::string> alerts;

void capture(const char* name, const char* text) {
  alerts.push_back(std::string(name ? name : "-") + "|" + text);
}

class MutexTest : public ::testing::Test {
 protected:
  void SetUp() override {
    single_thread_mode = false;
    alerts.clear();
    set_mutex_alert_writer(capture);
  }
  void TearDown() override {
    set_mutex_alert_writer(nullptr);
    single_thread_mode = true;
  }
};

}  // namespace

TEST_F(MutexTest, RecursiveTakeAndReleaseWriteDepthAlerts) {
  mutex named("test_mutex"), unnamed;
  for (mutex* m : {&named, &unnamed}) {
    m->lock();
    m->lock();  // only the recursive take and its release write an alert
    EXPECT_EQ(m->depth(), 2);
    m->unlock();
    m->unlock();
    EXPECT_EQ(m->depth(), 0);
  }
  EXPECT_EQ(alerts,
            (std::vector<std::string>{"test_mutex|Allocate Mutex", "test_mutex|Release Mutex",
                                      "-|Allocate Mutex", "-|Release Mutex"}));
  // In single-thread mode lock and unlock do nothing.
  single_thread_mode = true;
  named.lock();
  named.lock();
  EXPECT_EQ(named.depth(), 0);
  named.unlock();
  named.unlock();
  EXPECT_EQ(alerts.size(), 4u);
}

TEST_F(MutexTest, ThreadsBindToTheSideOfTheFirstRunMutex) {
  run_side seen = run_side::none;
  std::thread t([&] {
    ctrl_run_mutex.lock();
    seen = thread_side();
    {
      mutex_unlock u(ctrl_run_mutex);  // released around a blocking section
    }
    ctrl_run_mutex.unlock();
  });
  t.join();
  EXPECT_EQ(seen, run_side::ctrl);
}

#ifndef NDEBUG
TEST_F(MutexTest, TakingTheOtherSidesRunMutexAsserts) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        single_thread_mode = false;
        ctrl_run_mutex.lock();
        ctrl_run_mutex.unlock();
        srv_run_mutex.lock();
      },
      "bound_side");
  EXPECT_DEATH(
      {
        single_thread_mode = false;
        bind_thread_side(run_side::srv);
        ctrl_run_mutex.lock();
      },
      "bound_side");
}
#endif
