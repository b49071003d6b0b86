// process_pdu between a fake socket loop and a fake transaction layer.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sip/sip_environment.h"
#include "sip/sip_message.h"
#include "sip/sip_test_print.h"
#include "sip/sip_udp_receive.h"

namespace {

struct fake_hooks : sip_receive_hooks {
  bool valid = true;
  bool repetition = false;
  int call_port = -1;
  std::vector<std::string> events;
  std::vector<str> sent;
  std::vector<sip_message> forwarded, backward;
  str last_local_tag, last_remote_tag;

  bool valid_source(const ip_port&) override { return valid; }
  void report_request(const ip_port& s) override {
    events.push_back("report " + std::string(s.readable().view()));
  }
  void count_received() override { events.push_back("count"); }
  int find_call_port(const str& call_id, const str& local_tag, const str& remote_tag) override {
    events.push_back("find " + std::string(call_id.view()));
    last_local_tag = local_tag;
    last_remote_tag = remote_tag;
    return call_port;
  }
  void trace(int index, const sip_message&, const char* direction, transport_type t,
             const ip_port&) override {
    events.push_back("trace " + std::to_string(index) + " " + direction + " " + t.name());
  }
  bool message_repetition(sip_message&, transport_type) override { return repetition; }
  void send_on_interface(const str& port_name, const ip_port& address, const str& text,
                         transport_type) override {
    events.push_back("send " + std::string(port_name.view()) + " " +
                     std::string(address.readable().view()));
    sent.push_back(text);
  }
  void travel_forward(sip_message& request, const str& raw) override {
    EXPECT_EQ(raw, request.raw);
    forwarded.push_back(request);
  }
  void travel_backward(sip_message& response) override { backward.push_back(response); }
};

// The fake hooks installed as the receive path's upper layers for each case.
class ProcessPdu : public ::testing::Test {
 protected:
  void SetUp() override { set_sip_receive_hooks(&hooks); }
  void TearDown() override { set_sip_receive_hooks(nullptr); }
  fake_hooks hooks;
};

const ip_port k_src(ip_address_parse("198.51.100.20"), 5099);

TEST_F(ProcessPdu, RequestGoesForwardWithViaReceived) {
  hooks.call_port = 12;
  process_pdu("udp0",
              crlf("BYE sip:b@h SIP/2.0\nVia: SIP/2.0/UDP 10.1.1.1;branch=z9hG4bK7;rport\n"
                   "From: <sip:a@h>;tag=remote\nTo: <sip:b@h>;tag=local\nCall-ID: c1\n"
                   "CSeq: 3 BYE\nContent-Length: 0\n\n"),
              k_src, transport_type::udp);
  EXPECT_EQ(hooks.events, (std::vector<std::string>{"report 198.51.100.20:5099", "count", "find c1",
                                                    "trace 12 Rx udp"}));
  EXPECT_EQ(hooks.last_local_tag + " " + hooks.last_remote_tag, "local remote");
  ASSERT_EQ(hooks.forwarded.size(), 1u);
  const sip_message& m = hooks.forwarded[0];
  EXPECT_EQ(str::sprintf("%d ", m.call_port_index) + m.port_name + " " + m.transport.name() + " " +
                m.peer.readable() + " " + m.via[0] + " " + m.received,
            "12 udp0 udp 198.51.100.20:5099 SIP/2.0/UDP 10.1.1.1;branch=z9hG4bK7;rport=5099;"
            "received=198.51.100.20 198.51.100.20");
}

TEST_F(ProcessPdu, ResponseGoesBackwardWithTagsSwapped) {
  process_pdu("tcp:1",
              crlf("SIP/2.0 180 Ringing\nVia: SIP/2.0/TCP 192.0.2.1;branch=z9hG4bK1\n"
                   "From: <sip:a@h>;tag=mine\nTo: <sip:b@h>;tag=theirs\nCall-ID: c2\n"
                   "CSeq: 1 INVITE\n\n"),
              k_src, transport_type::tcp);
  // Responses are not reported to the address-based access control.
  EXPECT_EQ(hooks.events[0], "count");
  EXPECT_EQ(hooks.last_local_tag + " " + hooks.last_remote_tag, "mine theirs");
  ASSERT_EQ(hooks.backward.size(), 1u);
  EXPECT_EQ(hooks.backward[0].code, 180);
  EXPECT_EQ(hooks.backward[0].via[0], "SIP/2.0/TCP 192.0.2.1;branch=z9hG4bK1");
}

TEST_F(ProcessPdu, DropsShortRefusedAndRepeatedPackets) {
  process_pdu("udp0", "INV\r", k_src, transport_type::udp);
  EXPECT_TRUE(hooks.events.empty());
  hooks.valid = false;
  process_pdu("udp0", crlf("OPTIONS sip:a@b SIP/2.0\n\n"), k_src, transport_type::udp);
  EXPECT_TRUE(hooks.events.empty());
  hooks.valid = true;
  hooks.repetition = true;
  process_pdu("udp0", crlf("INVITE sip:a@b SIP/2.0\nVia: SIP/2.0/UDP x\nCall-ID: r\n\n"), k_src,
              transport_type::udp);
  EXPECT_TRUE(hooks.forwarded.empty());
  EXPECT_EQ(hooks.events.back(), "trace -1 Rx udp");
  // OPTIONS, PING and SERVICE are not counted as failed authentication.
  hooks.repetition = false;
  hooks.events.clear();
  process_pdu("udp0", crlf("OPTIONS sip:a@b SIP/2.0\nVia: SIP/2.0/UDP x\n\n"), k_src,
              transport_type::udp);
  EXPECT_EQ(hooks.events[0], "count");
  EXPECT_EQ(hooks.forwarded.size(), 1u);
}

TEST_F(ProcessPdu, KeepAliveAnswers) {
  const str notify = crlf(
      "NOTIFY sip:a@b SIP/2.0\nVia: SIP/2.0/UDP 198.51.100.20:5099;branch=z9hG4bKk\n"
      "From: <sip:x@y>;tag=1\nTo: <sip:a@b>\nCall-ID: ka\nCSeq: 5 NOTIFY\nEvent: Keep-Alive\n\n");
  process_pdu("udp0", notify, k_src, transport_type::udp);
  ASSERT_EQ(hooks.sent.size(), 1u);
  EXPECT_EQ(hooks.events.back(), "send udp0 198.51.100.20:5099");
  EXPECT_EQ(hooks.sent[0],
            crlf("SIP/2.0 200 Keep Alive\nVia: SIP/2.0/UDP 198.51.100.20:5099;branch=z9hG4bKk\n"
                 "From: <sip:x@y>;tag=1\nTo: <sip:a@b>\nCall-ID: ka\nCSeq: 5 NOTIFY\n"
                 "Content-Length: 0\n\n"));
  EXPECT_TRUE(hooks.forwarded.empty());

  // Over TCP the keep-alive NOTIFY is an ordinary request.
  process_pdu("tcp:1", notify, k_src, transport_type::tcp);
  EXPECT_EQ(hooks.sent.size(), 1u);
  EXPECT_EQ(hooks.forwarded.size(), 1u);

  // PING with a Via is answered on any transport; without a Via it goes on.
  process_pdu("tcp:1",
              crlf("PING sip:a@b SIP/2.0\nVia: SIP/2.0/TCP h;branch=z9hG4bKp\nCall-ID: p\n"
                   "CSeq: 1 PING\n\n"),
              k_src, transport_type::tcp);
  EXPECT_EQ(hooks.sent.size(), 2u);
  process_pdu("udp0", crlf("PING sip:a@b SIP/2.0\nCall-ID: p2\n\n"), k_src, transport_type::udp);
  EXPECT_EQ(hooks.sent.size(), 2u);
  EXPECT_EQ(hooks.forwarded.size(), 2u);
}

// Through the SIP socket loop: a datagram with two messages yields only the first, with the
// socket's port name.
TEST_F(ProcessPdu, SocketLoopHandsTheFirstMessageOfADatagram) {
  sip_udp_hooks udp;
  fill_sip_udp_receive_hooks(udp);
  set_sip_udp_hooks(udp);
  const str datagram = crlf(
      "REGISTER sip:example.com SIP/2.0\nVia: SIP/2.0/UDP 198.51.100.20:5099;branch=z9hG4bK1\n"
      "Call-ID: first\nCSeq: 8 REGISTER\nContent-Length: 0\n\n\n"
      "INVITE sip:joe@example.com SIP/2.0\nCall-ID: second\nContent-Length: 0\n\n");
  auto no_send = [](int, const str&, const ip_port&) { return true; };
  handle_sip_udp_datagram(3, datagram, k_src, no_send);
  ASSERT_EQ(hooks.forwarded.size(), 1u);
  EXPECT_EQ(hooks.forwarded[0].call_id + " " + hooks.forwarded[0].port_name + " " +
                hooks.forwarded[0].transport.name(),
            "first udp3 udp");
  // A datagram that frames to nothing does not reach the SIP layer.
  handle_sip_udp_datagram(3, crlf("OPTIONS sip:a@b SIP/2.0\nContent-Length: 99\n\nshort"), k_src,
                          no_send);
  EXPECT_EQ(hooks.forwarded.size(), 1u);
  set_sip_udp_hooks(sip_udp_hooks());
}

}  // namespace
