#include "frame/timer.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace {

std::vector<int> fired;
void fire(int i) { fired.push_back(i); }

// Waits by advancing the manual clock; a signal that is already pending ends the wait at once
// (as the real semaphore would). A scripted "insert during the wait" runs before the wait
// decides.
class manual_waiter : public timer_waiter {
 public:
  explicit manual_waiter(manual_clock& c) : c_(c) {}
  int wait(semaphore& s, int64_t ms) override {
    waits.push_back(ms);
    if (during_wait) {
      auto f = during_wait;
      during_wait = nullptr;
      f();
    }
    if (s.try_wait()) return 2;
    if (ms < 0) return 0;  // would block for ever: the test ends it
    c_.advance_ms(ms);
    return 1;
  }
  std::vector<int64_t> waits;
  void (*during_wait)() = nullptr;

 private:
  manual_clock& c_;
};

timeout_queue* test_queue;
timeout* early;

// One timer thread's passes on a private queue, waiting by advancing the manual clock.
class TimerThreadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fired.clear();
    test_queue = &q;
  }
  manual_clock clock_{s2ticks(50)};
  scoped_clock sc_{&clock_};
  timeout_queue q;
  mutex run{"run"};
  timer_thread tt{q, run};
  manual_waiter w{clock_};
};

}  // namespace

TEST_F(TimerThreadTest, SleepsUntilTheFirstDueTimeAndRunsIt) {
  timeout a, b;
  a.callback(q, ms2ticks(250), callback_argument(fire, 1));
  b.callback(q, ms2ticks(400), callback_argument(fire, 2));
  tt.sema().try_wait();  // the insertion signals only a registered semaphore
  EXPECT_EQ(tt.sema().count(), 0);
  EXPECT_TRUE(tt.run_once(w) && tt.run_once(w));
  EXPECT_FALSE(tt.run_once(w));  // the queue is empty: an unbounded wait
  EXPECT_EQ(w.waits, (std::vector<int64_t>{250, 150, -1}));
  EXPECT_EQ(fired, (std::vector<int>{1, 2}));
}

TEST_F(TimerThreadTest, EarlierInsertionDuringTheSleepWakesAndRecomputes) {
  timeout late, e;
  early = &e;
  late.callback(q, s2ticks(10), callback_argument(fire, 1));
  w.during_wait = [] { early->callback(*test_queue, ms2ticks(30), callback_argument(fire, 2)); };
  EXPECT_FALSE(tt.run_once(w));  // woken by the insertion: nothing runs yet
  EXPECT_TRUE(tt.run_once(w));
  EXPECT_EQ(w.waits, (std::vector<int64_t>{10000, 30}));
  EXPECT_EQ(fired, (std::vector<int>{2}));
}

TEST_F(TimerThreadTest, ClearedJustBeforeItIsDueDoesNotRun) {
  timeout a, b;
  early = &a;
  a.callback(q, ms2ticks(20), callback_argument(fire, 1));
  b.callback(q, ms2ticks(20), callback_argument(fire, 2));
  w.during_wait = [] { early->clear(); };
  // The wait ran out but the first element is no longer the one waited for.
  EXPECT_FALSE(tt.run_once(w));
  EXPECT_TRUE(tt.run_once(w));
  EXPECT_EQ(fired, (std::vector<int>{2}));
}

// The real thread with the real semaphore: an insertion from another thread into an empty
// queue wakes it. Ends when the callback has run; no fixed sleeps.
TEST(TimerThreadReal, AnInsertionFromAnotherThreadWakesTheSleepingThread) {
  single_thread_mode = false;
  // The thread runs for ever: everything it uses is leaked on purpose.
  static timeout_queue& q = *new timeout_queue;
  static mutex& run = *new mutex("run_real");
  static semaphore& done = *new semaphore;
  static timer_thread* tt = new timer_thread(q, run);
  std::thread([] { tt->run(); }).detach();
  static timeout t;
  t.callback(q, 0, callback_argument([] { done.signal(); }));
  EXPECT_EQ(done.wait(int64_t{10000}), 2);
}
