#include "frame/sip_loop.h"

#include <gtest/gtest.h>

#include <string>

#include "base/log_capture_test_util.h"
#include "frame/stun.h"

namespace {

// What the dispatch did, one line each: answers sent and calls of the SIP layer's hooks.
std::string events;

bool fake_send(int index, const str& data, const ip_port& dest) {
  events += "sent " + std::to_string(index) + " " + std::string(dest.readable().view()) + " " +
            std::string(data.view()) + "\n";
  return true;
}

// A stand-in SIP framer: a message is everything up to and including the blank line.
str frame_first(const str& d) {
  long end = d.find(str("\r\n\r\n"));
  return end < 0 ? str() : d.leftstr(static_cast<size_t>(end) + 4);
}
void on_pdu(int index, const str& m, const ip_port& src) {
  events += "pdu " + std::to_string(index) + " " + std::string(src.readable().view()) + " " +
            std::string(m.view()) + "\n";
}
void on_refused(const ip_port& dst) {
  events += "refused " + std::string(dst.readable().view()) + "\n";
}
void on_stun_response(const str& d, const ip_port&) {
  events += "stun-response " + std::to_string(d.length()) + "\n";
}

class SipLoopTest : public ::testing::Test {
 protected:
  void SetUp() override {
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

// What one datagram on a socket index leads to: answers sent, calls of the SIP layer's hooks
// and log lines, one a line. What any datagram gets back is stun_fuzz's.
TEST_F(SipLoopTest, EachKindOfDatagramGoesWhereItBelongs) {
  str success = binding_request();
  success.set_character(0, 1);
  success.set_character(1, 1);
  const str stun_answer = stun_binding_response(binding_request(), src_);
  const struct {
    int index;
    str datagram;
    std::string outcome;
  } cases[] = {
      // A binding request is answered on the same socket; a success goes to the trunks.
      {2, binding_request(), "sent 2 127.0.0.9:5070 " + std::string(stun_answer.view()) + "\n"},
      {0, success, "stun-response 20\n"},
      {0, str::bytes({0, 1, 0, 0, 0x21, 0x12, 0xa4}),  // seven bytes starting with 0: no STUN
       "log 1:8 Illegal pdu(127.0.0.9:5070=7): 000100002112a4\n"},
      {0, str::bytes({2, 1, 0, 0, 0, 0, 0, 0}),  // nor is a first byte above 1
       "log 1:8 Illegal pdu(127.0.0.9:5070=8): 0201000000000000\n"},
      // Only the first message of a datagram is delivered.
      {1, str("OPTIONS sip:a SIP/2.0\r\n\r\ngarbage"),
       "pdu 1 127.0.0.9:5070 OPTIONS sip:a SIP/2.0\r\n\r\n\n"},
      // Short noise (keep-alive CR LF) is dropped silently. Longer noise (SipCorpusE2E) and an
      // empty read, a refusal (SipPorts tests), are walked on the SIP side.
      {1, str("\r\n\r"), ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.outcome);
    events.clear();
    log_.clear();
    handle_sip_udp_datagram(c.index, c.datagram, src_, fake_send);
    std::string outcome = events;
    for (const log_line& l : log_.lines())
      outcome +=
          "log " + std::to_string(l.group) + ":" + std::to_string(l.level) + " " + l.text + "\n";
    EXPECT_EQ(outcome, c.outcome);
  }
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
