#include "frame/sip_loop.h"

#include <gtest/gtest.h>
#include <rapidcheck.h>

#include <string>
#include <vector>

#include "base/log_capture_test_util.h"
#include "frame/stun.h"

namespace {

struct sent_datagram {
  int index;
  std::string bytes;
  ip_port dest;
};
std::vector<sent_datagram> sent;
std::vector<std::string> events;

bool fake_send(int index, const str& data, const ip_port& dest) {
  sent.push_back({index, std::string(data.view()), dest});
  return true;
}

// A stand-in SIP framer: a message is everything up to and including the blank line.
str frame_first(const str& d) {
  long end = d.find(str("\r\n\r\n"));
  return end < 0 ? str() : d.leftstr(static_cast<size_t>(end) + 4);
}
void on_pdu(int index, const str& m, const ip_port& src) {
  events.push_back("pdu " + std::to_string(index) + " " + std::string(src.readable().view()) + " " +
                   std::string(m.view()));
}
void on_refused(const ip_port& dst) {
  events.push_back("refused " + std::string(dst.readable().view()));
}
void on_stun_response(const str& d, const ip_port&) {
  events.push_back("stun-response " + std::to_string(d.length()));
}

class SipLoopTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sent.clear();
    events.clear();
    sip_udp_hooks h;
    h.get_first_packet = frame_first;
    h.process_pdu = on_pdu;
    h.connection_refused = on_refused;
    h.stun_response = on_stun_response;
    set_sip_udp_hooks(h);
    log_level_max = 9;
  }
  void TearDown() override {
    set_sip_udp_hooks(sip_udp_hooks());
    log_level_max = 5;
  }
  log_capture log_;
  ip_port src_ = ip_port::from_text(str("127.0.0.9:5070"));
};

str binding_request() {
  return str::bytes({0, 1, 0, 0, 0x21, 0x12, 0xa4, 0x42}) + str("ABCDEFGHIJKL");
}

}  // namespace

TEST_F(SipLoopTest, BindingRequestIsAnsweredOnTheSameSocket) {
  handle_sip_udp_datagram(2, binding_request(), src_, fake_send);
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].index, 2);
  EXPECT_EQ(sent[0].dest, src_);
  EXPECT_EQ(sent[0].bytes, stun_binding_response(binding_request(), src_).view());
  EXPECT_TRUE(events.empty());
}

TEST_F(SipLoopTest, BindingSuccessGoesToTheTrunksAndIsNotAnswered) {
  str resp = binding_request();
  resp.set_character(0, 1);
  resp.set_character(1, 1);
  handle_sip_udp_datagram(0, resp, src_, fake_send);
  EXPECT_TRUE(sent.empty());
  EXPECT_EQ(events, (std::vector<std::string>{"stun-response 20"}));
}

TEST_F(SipLoopTest, SevenBytesStartingWithZeroAreNotStun) {
  handle_sip_udp_datagram(0, str::bytes({0, 1, 0, 0, 0x21, 0x12, 0xa4}), src_, fake_send);
  EXPECT_TRUE(sent.empty());
  EXPECT_TRUE(events.empty());
  ASSERT_EQ(log_.lines().size(), 1u);
  const log_line l = log_.lines()[0];
  EXPECT_EQ(std::to_string(l.group) + ":" + std::to_string(l.level) + " " + l.text,
            "1:8 Illegal pdu(127.0.0.9:5070=7): 000100002112a4");
}

TEST_F(SipLoopTest, OnlyTheFirstMessageOfADatagramIsDelivered) {
  handle_sip_udp_datagram(1, str("OPTIONS sip:a SIP/2.0\r\n\r\ngarbage"), src_, fake_send);
  EXPECT_EQ(events,
            (std::vector<std::string>{"pdu 1 127.0.0.9:5070 OPTIONS sip:a SIP/2.0\r\n\r\n"}));
  // Short noise (keep-alive CR LF) is dropped silently; longer noise is logged.
  handle_sip_udp_datagram(1, str("\r\n\r"), src_, fake_send);
  EXPECT_TRUE(log_.lines().empty());
  handle_sip_udp_datagram(1, str("hello"), src_, fake_send);
  EXPECT_EQ(log_.lines().size(), 1u);
}

TEST_F(SipLoopTest, EmptyReadMeansTheDestinationRefused) {
  handle_sip_udp_datagram(0, str(), src_, fake_send);
  EXPECT_EQ(events, (std::vector<std::string>{"refused 127.0.0.9:5070"}));
}

TEST_F(SipLoopTest, ArbitraryDatagramsNeverCrashTheDispatch) {
  EXPECT_TRUE(rc::check([this](const std::string& bytes) {
    sent.clear();
    handle_sip_udp_datagram(0, str(bytes.data(), bytes.size()), src_, fake_send);
    for (auto& s : sent) RC_ASSERT(s.bytes.size() >= 20u);
  }));
}

TEST(SipPorts, TheSipLayersBindingReplacesTheBuiltInOne) {
  static int calls = 0;
  set_sip_set_port([] { calls++; });
  sip_sockets.push_back(sip_socket{sip_socket::udp, -1, ip_port()});
  sip_set_port();
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(sip_sockets.size(), 1u);  // left to the hook
  set_sip_set_port(nullptr);
  sip_sockets.clear();
}
