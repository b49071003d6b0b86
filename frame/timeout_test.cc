#include <gtest/gtest.h>
#include <rapidcheck.h>

#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "frame/timeout_test_util.h"

namespace {

std::vector<std::string> calls;

void f1() { calls.push_back("f1"); }
void f2(const str& a) { calls.push_back("f2:" + std::string(a.view())); }
void f3(int i) { calls.push_back("f3:" + std::to_string(i)); }
void f4(const str& a, const str& b) {
  calls.push_back("f4:" + std::string(a.view()) + "," + std::string(b.view()));
}
void f5(const str& a, int i) {
  calls.push_back("f5:" + std::string(a.view()) + "," + std::to_string(i));
}
void f6(const str& a, const str& b, const str& c) {
  calls.push_back("f6:" + std::string(a.view()) + "," + std::string(b.view()) + "," +
                  std::string(c.view()));
}

class TimeoutTest : public ::testing::Test {
 protected:
  void SetUp() override { calls.clear(); }
  manual_clock clock_{s2ticks(100)};
  scoped_clock sc_{&clock_};
  timeout_queue q_;
};

}  // namespace

// Each arity calls its function with its own copies of the arguments, counted while they
// live; the default is empty.
TEST_F(TimeoutTest, CallbackArguments) {
  callback_argument a0;
  EXPECT_TRUE(a0.empty());
  a0.call();
  const int64_t before = callback_objects.load();
  {
    str text("abc");
    callback_argument a(f2, text), b = a;
    text.buffer()[0] = 'x';
    a = callback_argument(f3, 1);
    EXPECT_EQ(callback_objects.load(), before + 2);
    b.call();
    a.call();
  }
  EXPECT_EQ(callback_objects.load(), before);
  for (callback_argument a :
       {callback_argument(f1), callback_argument(f4, str("a"), str("b")),
        callback_argument(f5, str("a"), 9), callback_argument(f6, str("a"), str("b"), str("c"))})
    a.call();
  EXPECT_EQ(calls,
            (std::vector<std::string>{"f2:abc", "f3:1", "f1", "f4:a,b", "f5:a,9", "f6:a,b,c"}));
}

// A timeout is at most one element of one queue: a move to another queue takes it out of the
// first (a clear is the model property's, a destruction the copy test's).
TEST_F(TimeoutTest, AMoveToAnotherQueueTakesItOut) {
  timeout a;
  a.clear();  // idle: nothing to do
  a.callback(q_, ms2ticks(50), callback_argument(f3, 1));
  timeout_queue other;
  a.callback(other, ms2ticks(5), callback_argument(f3, 3));
  EXPECT_EQ(q_.size(), 0u);
  EXPECT_EQ(other.size(), 1u);
  clock_.advance_ms(50);
  EXPECT_EQ(run_due(q_), 0);
  EXPECT_EQ(run_due(other), 1);
  EXPECT_EQ(calls, (std::vector<std::string>{"f3:3"}));
  EXPECT_EQ(a.ms(), 0);
  EXPECT_EQ(a.serialize(), "");
}

// Copies are live timeouts of their own (and counted as such).
TEST_F(TimeoutTest, CopyOfAPendingTimeoutIsPendingIndependently) {
  const int64_t live = timeout_objects.load();
  auto a = std::make_unique<timeout>();
  a->callback(q_, ms2ticks(10), callback_argument(f2, str("x")));
  timeout b(*a);
  timeout c;
  c.callback(q_, ms2ticks(99), callback_argument(f1));
  c = *a;  // clears c's own element first
  EXPECT_TRUE(q_.size() == 3 && timeout_objects.load() == live + 3 && b.due() == a->due());
  a.reset();  // destroyed: unscheduled, no longer counted
  EXPECT_TRUE(timeout_objects.load() == live + 2 && b.pending() && c.pending());
  clock_.advance_ms(10);
  EXPECT_EQ(run_due(q_), 2);
  EXPECT_EQ(calls, (std::vector<std::string>{"f2:x", "f2:x"}));
  clock_.advance_ms(100);
  EXPECT_EQ(run_due(q_), 0);  // c's old element is gone
}

TEST_F(TimeoutTest, MsSecondsAndSerialize) {
  timeout a;
  a.callback(q_, ms2ticks(1499), callback_argument(f1));
  EXPECT_EQ(a.ms(), 1499);
  EXPECT_EQ(a.seconds(), 1);
  a.callback(q_, ms2ticks(1500), callback_argument(f1));
  EXPECT_EQ(a.seconds(), 2);
  EXPECT_EQ(rtimestamp_parse(a.serialize()), clock_now() + ms2ticks(1500));
  a.callback_at(q_, clock_now() + s2ticks(3), callback_argument(f1));
  EXPECT_EQ(a.ms(), 3000);
}

// The delay to the first element: rounded, or rounded up when precise; a non-positive delay
// means now (an empty queue's is TimerThreadTest.SleepsUntilTheFirstDueTimeAndRunsIt's).
TEST_F(TimeoutTest, DelayOfTheFirstElement) {
  timeout a;
  a.callback(q_, -5, callback_argument(f1));
  rtimestamp now;
  uint64_t id;
  EXPECT_EQ(q_.delay(now, id), 0);
  EXPECT_TRUE(now == clock_now() && id == q_.wait_id());
  EXPECT_TRUE(q_.next() && !q_.next() && calls.size() == 1);
  a.callback(q_, ms2ticks(10) + 300000, callback_argument(f1));  // 10.3 ms
  EXPECT_EQ(q_.delay(now, id, false), 10);
  EXPECT_EQ(q_.delay(now, id, true), 11);
}

TEST_F(TimeoutTest, WakeupOnlyWhenANewFirstElementArrives) {
  semaphore s;
  q_.register_wakeup(s);
  timeout a, b, c;
  a.callback(q_, ms2ticks(100), callback_argument(f1));  // first element of an empty queue
  EXPECT_TRUE(s.try_wait());
  b.callback(q_, ms2ticks(200), callback_argument(f1));  // later: no wake-up
  EXPECT_FALSE(s.try_wait());
  c.callback(q_, ms2ticks(50), callback_argument(f1));  // earlier: wakes
  q_.trigger_wakeup();  // wake-ups not yet consumed coalesce into one
  EXPECT_TRUE(s.count() == 1 && s.try_wait());
  q_.register_wakeup();
  c.callback(q_, ms2ticks(1), callback_argument(f1));
  q_.trigger_wakeup();
  EXPECT_EQ(s.count(), 0);
}

// Against a model: any sequence of schedule/clear/advance steps runs exactly the timeouts a
// sorted list of (due, insertion order) says, in that order (equal times in scheduling order).
TEST_F(TimeoutTest, MatchesAModelUnderRandomOperations) {
  EXPECT_TRUE(rc::check([this](const std::vector<std::tuple<uint8_t, uint8_t, uint16_t>>& ops) {
    calls.clear();
    manual_clock c(s2ticks(10));
    scoped_clock sc(&c);
    timeout_queue q;
    std::vector<timeout> ts(8);
    std::map<std::pair<rtimestamp, uint64_t>, int> model;  // (due, scheduling order) -> index
    uint64_t seq = 0;
    std::vector<std::string> expected;
    for (auto [op, idx8, amount] : ops) {
      const int idx = idx8 % 8;
      if (op % 3 < 2) std::erase_if(model, [idx](const auto& e) { return e.second == idx; });
      if (op % 3 == 0) {
        model[{clock_now() + ms2ticks(amount % 100), seq++}] = idx;
        ts[idx].callback(q, ms2ticks(amount % 100), callback_argument(f3, idx));
      } else if (op % 3 == 1) {
        ts[idx].clear();
      } else {
        c.advance_ms(amount % 50);
        for (; !model.empty() && model.begin()->first.first <= clock_now();
             model.erase(model.begin()))
          expected.push_back("f3:" + std::to_string(model.begin()->second));
        run_due(q);
      }
      RC_ASSERT(q.size() == model.size());
    }
    RC_ASSERT(calls == expected);
  }));
}

TEST_F(TimeoutTest, ConcurrentScheduleAndClearFromManyThreads) {
  single_thread_mode = false;
  std::vector<std::thread> threads;
  std::vector<timeout> ts(400);
  for (int t = 0; t < 4; t++) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < 200; round++) {
        for (int i = t * 100; i < t * 100 + 100; i++) {
          ts[i].callback(q_, ms2ticks(i % 17), callback_argument(f1));
          if (i % 3 == 0) ts[i].clear();
        }
      }
    });
  }
  for (auto& th : threads) th.join();
  single_thread_mode = true;
  size_t pending = 0;
  for (auto& t : ts) pending += t.pending();
  EXPECT_EQ(q_.size(), pending);
  EXPECT_EQ(pending, 400u - 134u);
}
