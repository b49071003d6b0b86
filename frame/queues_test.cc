#include "frame/queues.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "frame/timeout_test_util.h"

namespace {

std::vector<std::string> srv_got, ctrl_got;
int breaths = 0;

int srv_handler(const str& m) {
  srv_got.push_back(std::string(m.view()));
  if (m == "echo") out_post(str("echoed"));  // a handler may post to the other side
  if (m == "repost") pbxsrv_post(str("again"));
  return m == "busy" ? 1 : 0;
}
void ctrl_handler(const str& m) { ctrl_got.push_back(std::string(m.view())); }
void count_breath(int ms) { breaths += ms; }

class QueuesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    srv_got.clear();
    ctrl_got.clear();
    breaths = 0;
    set_handle_ssoap(srv_handler);
    set_soap_on_request(ctrl_handler);
    set_srv_breathe(count_breath);
  }
  void TearDown() override {
    run_due(sip_thread_queue);
    run_due(http_thread_queue);
    set_handle_ssoap(nullptr);
    set_soap_on_request(nullptr);
    set_srv_breathe(nullptr);
  }
  manual_clock clock_;
  scoped_clock sc_{&clock_};
};

}  // namespace

TEST_F(QueuesTest, PostsAreDeliveredInOrderOnTheReceivingTimerQueueByHandlersThatMayPost) {
  pbxsrv_post(str("a"));
  pbxsrv_post(str("b"));
  out_post(str("x"));
  // One drain on each side's timer queue however many messages.
  EXPECT_EQ(str::sprintf("%d %d %d %d", int(srv_queue_size()), int(sip_thread_queue.size()),
                         int(http_thread_queue.size()), int(srv_got.size())),
            "2 1 1 0");
  EXPECT_EQ(run_due(sip_thread_queue), 1);
  EXPECT_EQ(srv_got, (std::vector<std::string>{"a", "b"}));
  EXPECT_TRUE(ctrl_got.empty());  // the other side's queue is drained by its own thread
  EXPECT_EQ(run_due(http_thread_queue), 1);
  EXPECT_EQ(ctrl_got, (std::vector<std::string>{"x"}));
  EXPECT_EQ(srv_queue_size() + ctrl_queue_size(), 0u);
  // A handler may post to either side; a busy one lets the side breathe.
  srv_got.clear();
  ctrl_got.clear();
  pbxsrv_post(str("echo"));
  pbxsrv_post(str("busy"));
  pbxsrv_post(str("repost"));
  run_due(sip_thread_queue);
  EXPECT_EQ(srv_got, (std::vector<std::string>{"echo", "busy", "repost", "again"}));
  EXPECT_EQ(breaths, 5);
  run_due(http_thread_queue);
  EXPECT_EQ(ctrl_got, (std::vector<std::string>{"echoed"}));
}

TEST_F(QueuesTest, ConcurrentPostersLoseNothing) {
  single_thread_mode = false;
  std::vector<std::thread> ts;
  for (int t = 0; t < 4; t++) {
    ts.emplace_back([t] {
      for (int i = 0; i < 500; i++) {
        if (t % 2) {
          pbxsrv_post(str::sprintf("%d", i));
        } else {
          out_post(str::sprintf("%d", i));
        }
      }
    });
  }
  for (auto& t : ts) t.join();
  single_thread_mode = true;
  run_due(sip_thread_queue);
  run_due(http_thread_queue);
  EXPECT_EQ(srv_got.size(), 1000u);
  EXPECT_EQ(ctrl_got.size(), 1000u);
}
