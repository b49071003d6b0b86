// Transactions under a manual clock (retransmission, 408, repetitions, CANCEL, fail-over) and
// process_pdu's hand-over to the layers above.
#include "sip/transaction.h"

#include <gtest/gtest.h>
#include <rapidcheck.h>

#include <string>
#include <vector>

#include "base/digest.h"
#include "base/random.h"
#include "sip/send_packet.h"
#include "sip/sip_environment.h"
#include "sip/sip_message.h"
#include "sip/sip_test_print.h"
#include "sip/transaction_test_fakes.h"

namespace {

const ip_port k_peer(ip_address_parse("192.0.2.5"), 5060);

std::vector<int64_t> instants(const std::vector<fake_send>& sent) {
  std::vector<int64_t> out;
  for (const fake_send& s : sent) out.push_back(s.at_ms);
  return out;
}

// What went out from send number from on: "at_ms destination" each, joined by ", ".
std::string sends(const transaction_env& env, size_t from = 0) {
  std::string out;
  for (size_t i = from; i < env.transport.sent.size(); i++)
    out += (i > from ? ", " : "") + std::to_string(env.transport.sent[i].at_ms) + " " +
           std::string(env.transport.sent[i].destination.readable().view());
  return out;
}
// What went out (each request's method or response's code, "=" when its bytes repeat the
// previous send's), then how many messages went up forward and backward: "INVITE ACK ACK= | 0 1".
std::string flow(const transaction_env& env) {
  std::string out;
  for (size_t i = 0; i < env.transport.sent.size(); i++) {
    const sip_message m = env.transport.sent[i].parsed();
    out += (m.is_request ? std::string(m.method.view()) : std::to_string(m.code)) +
           (i && env.transport.sent[i].text == env.transport.sent[i - 1].text ? "= " : " ");
  }
  return out + "| " + std::to_string(env.user.forwarded.size()) + " " +
         std::to_string(env.user.backward.size());
}
const char* const k_meminfo_empty =
    "pending_packets: 0\r\npending_packet_callids: 0\r\ndialog_cseqs: 0\r\n";

// A message as it would come from the peer: its text through process_pdu with the installed
// receive hooks.
void receive(const str& text, const ip_port& source = k_peer) {
  process_pdu("udp0", text, source, transport_type::udp);
}

str response_text(const fake_send& request, int code, const char* reason,
                  const char* to_tag = "theirs") {
  sip_message req = request.parsed();
  sip_message response(code, reason, req);
  response.to.set_tag(to_tag);
  return response.serialize(request.destination, transport_type::udp);
}

// Most cases: the fakes installed, and the receive hooks for what comes from the peer.
class Transactions : public ::testing::Test {
 protected:
  transaction_env env;
  receive_scope hooks{k_peer.address};
};

// Unanswered requests: INVITE backs off without limit, other requests are capped at four
// seconds, a transaction time-out shortens the transaction, an ACK goes once; every one but the
// ACK ends in a locally made 408 at its end, and nothing is left behind.
TEST(Retransmission, SchedulesOfUnansweredRequests) {
  const struct {
    str method;
    int timeout_s;  // 0: the default of 32 s
    std::vector<int64_t> sent_at;
    int64_t ends_at;  // the 408; -1: none
  } cases[] = {
      {m_invite, 0, {0, 500, 1500, 3500, 7500, 15500, 31500}, 32000},
      {m_register, 0, {0, 500, 1500, 3500, 7500, 11500, 15500, 19500, 23500, 27500, 31500}, 32000},
      {m_options, 10, {0, 500, 1500, 3500, 7500}, 10000},
      {m_ack, 0, {0}, -1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.method.c_str());
    transaction_env env;
    sip_message m = test_request(c.method, "sip:bob@192.0.2.5");
    if (c.timeout_s) m.transaction_timeout = c.timeout_s;
    ASSERT_NE(send_packet(m), 0);
    if (c.ends_at > 0) {  // the 408 comes exactly at the end
      env.run_until(c.ends_at - 1);
      EXPECT_TRUE(env.user.backward.empty());
      env.run_until(c.ends_at);
      EXPECT_EQ(env.user.backward.size(), 1u);
    }
    env.run_until(40000);
    EXPECT_EQ(instants(env.transport.sent), c.sent_at);
    for (const fake_send& s : env.transport.sent) {
      EXPECT_EQ(s.destination, k_peer);
      EXPECT_EQ(s.port_name, "udp0");
      EXPECT_EQ(s.text, env.transport.sent[0].text);  // the same bytes each time
    }
    ASSERT_EQ(env.user.backward.size(), c.ends_at < 0 ? 0u : 1u);
    if (c.ends_at > 0) {
      const sip_message& r = env.user.backward[0];
      EXPECT_EQ(std::to_string(r.code) + " " + std::string((r.reason + " " + r.call_id).view()),
                "408 Request Timeout call-1");
    }
    EXPECT_EQ(transaction_meminfo(), k_meminfo_empty);
  }
}

// A response to nothing of ours goes up unchanged. (Answers to our requests, what reaches the
// call leg and what stops the retransmission: PropertyEveryTransactionEndsOnce.)
TEST_F(Transactions, AnswerToNothingOfOursGoesUp) {
  receive(
      crlf("SIP/2.0 200 OK\nVia: SIP/2.0/UDP 192.0.2.1;branch=z9hG4bK-x\nFrom: <sip:a@h>;tag=1\n"
           "To: <sip:b@h>;tag=2\nCall-ID: unknown\nCSeq: 1 OPTIONS\nContent-Length: 0\n\n"));
  ASSERT_EQ(flow(env), "| 0 1");
  EXPECT_EQ(env.user.backward[0].call_id, "unknown");
}

TEST_F(Transactions, AnswersChallengeAnsweredByTheOwnerIsConsumed) {
  send_packet(test_request(m_register, "sip:192.0.2.5"));
  env.user.answer_challenges = true;
  receive(response_text(env.transport.sent[0], 401, "Unauthorized"));
  EXPECT_TRUE(env.user.backward.empty());
  // The owner gets the request as it handed it over: without the Via this layer added.
  EXPECT_EQ(env.user.events.back(), "challenge 401 REGISTER vias 0");
  env.user.answer_challenges = false;
  send_packet(test_request(m_register, "sip:192.0.2.5", "call-2"));
  receive(response_text(env.transport.sent.back(), 401, "Unauthorized"));
  EXPECT_EQ(env.user.backward.size(), 1u);
}

TEST_F(Transactions, RepeatedOkIsAnsweredWithTheStoredAck) {
  register_dialog("call-1", "ours");
  send_packet(test_request(m_invite, "sip:bob@192.0.2.5"));
  const fake_send invite = env.transport.sent[0];
  receive(response_text(invite, 200, "OK"));
  send_packet(test_request(m_ack, "sip:bob@192.0.2.5"));
  EXPECT_EQ(flow(env), "INVITE ACK | 0 1");
  EXPECT_EQ(env.transport.sent[1].parsed().cseq, invite.parsed().cseq);
  // The answered INVITE keeps no bytes, the ACK only its bytes.
  ASSERT_EQ(pending_packets.size(), 2u);
  for (const auto& [number, p] : pending_packets)
    EXPECT_TRUE(!p.message && p.last_text.empty() == (p.cseq_method() == "INVITE"));
  receive(response_text(invite, 200, "OK"));  // the peer did not see the ACK
  EXPECT_EQ(flow(env), "INVITE ACK ACK= | 0 1");
}

const char* k_bye =
    "BYE sip:alice@192.0.2.1 SIP/2.0\nVia: SIP/2.0/UDP 10.0.0.8:5062;branch=z9hG4bKbye1;rport\n"
    "From: <sip:bob@example.com>;tag=theirs\nTo: <sip:alice@example.org>;tag=ours\nCall-ID: dlg-7\n"
    "CSeq: 21 BYE\nContent-Length: 0\n\n";

// A repeated BYE is answered from the stored 200, whose packet was slimmed to the bytes to
// resend (keep_resend_bytes_only) as it left: the repeats must not tell the difference.
TEST_F(Transactions, RepeatedByeGetsTheStoredBytesOfASlimmedOk) {
  // Before any answer exists a repeat is new to this layer: it goes up again (and is counted).
  const uint64_t before = sip_receive;
  receive(crlf(k_bye));
  receive(crlf(k_bye));
  EXPECT_EQ(sip_receive, before + 2);
  ASSERT_EQ(flow(env), "| 2 0");
  sip_message ok(200, "OK", env.user.forwarded[0]);
  const int number = send_packet(ok);
  ASSERT_NE(number, 0);
  {
    // A final answer to a BYE is slimmed as it is sent: nothing of the received BYE is kept
    // alive by the packet or its Call-ID link.
    const pending_packet& p = *find_pending_packet(number);
    const str& received = env.user.forwarded[0].call_id;
    EXPECT_FALSE(p.message);  // the message itself is gone
    EXPECT_EQ(p.call_id() + str::sprintf(" %u ", p.cseq()) + p.cseq_method() +
                  str::sprintf(" %d", p.code()),
              "dlg-7 21 BYE 200");
    EXPECT_FALSE(p.call_id().shares_with(received));
    EXPECT_FALSE(p.from_tag().shares_with(received));
    EXPECT_FALSE(pending_packet_callids.find(received)->first.shares_with(received));
  }
  receive(crlf(k_bye));
  // A newer response of the transaction replaces the stored one.
  sip_message again(200, "OK", env.user.forwarded[0]);
  again.add_other_header("Subject", "", "newer");
  send_packet(again);
  EXPECT_EQ(pending_packets.size(), 1u);
  EXPECT_FALSE(pending_packets.begin()->second.message);  // slimmed as it left
  receive(crlf(k_bye));
  // Still answered from the stored 200 until the transaction ends, then new again.
  env.run_until(31000);
  receive(crlf(k_bye));
  EXPECT_EQ(flow(env), "200 200= 200 200= 200= | 2 0");
  // rport and received written by the receive path take the answers to the real source.
  for (const fake_send& f : env.transport.sent) EXPECT_EQ(f.destination, k_peer);
  env.run_until(33000);
  receive(crlf(k_bye));
  EXPECT_EQ(flow(env), "200 200= 200 200= 200= | 3 0");
  EXPECT_EQ(transaction_meminfo(), k_meminfo_empty);
  // Neither is a request slimmed, nor a response whose destination is still being resolved.
  EXPECT_FALSE(keep_resend_bytes_only(send_packet(test_request(m_options, "sip:192.0.2.9"))));
  sip_message resolving(404, "Not Found", env.user.forwarded[0]);
  resolving.via[0] = "SIP/2.0/UDP phone.example.org;branch=z9hG4bKres";
  EXPECT_FALSE(keep_resend_bytes_only(send_packet(resolving)));
  EXPECT_EQ(env.dns.queries.size(), 1u);
}

const char* k_invite =
    "INVITE sip:alice@192.0.2.1 SIP/2.0\nVia: SIP/2.0/UDP 192.0.2.5:5060;branch=z9hG4bKinv1\n"
    "From: <sip:bob@example.com>;tag=theirs\nTo: <sip:alice@example.org>\nCall-ID: dlg-8\n"
    "CSeq: 5 INVITE\nContent-Length: 0\n\n";

TEST_F(Transactions, RepetitionsFinalResponseToInviteIsRetransmittedUntilTheAck) {
  receive(crlf(k_invite));
  ASSERT_EQ(env.user.forwarded.size(), 1u);
  sip_message ok(200, "OK", env.user.forwarded[0]);
  ok.to.set_tag("ours");
  // Retransmitted until the ACK: it keeps its message.
  EXPECT_FALSE(keep_resend_bytes_only(send_packet(ok)));
  env.run_until(4000);
  EXPECT_EQ(instants(env.transport.sent), (std::vector<int64_t>{0, 500, 1500, 3500}));
  // A repeated INVITE while the 200 is still being retransmitted is not a repetition here.
  receive(crlf(k_invite));
  EXPECT_EQ(env.user.forwarded.size(), 2u);
  receive(
      crlf("ACK sip:alice@192.0.2.1 SIP/2.0\nVia: SIP/2.0/UDP 192.0.2.5:5060;branch=z9hG4bKack\n"
           "From: <sip:bob@example.com>;tag=theirs\nTo: <sip:alice@example.org>;tag=ours\n"
           "Call-ID: dlg-8\nCSeq: 5 ACK\nContent-Length: 0\n\n"));
  EXPECT_EQ(env.user.forwarded.size(), 3u);  // the ACK itself goes up
  // Acknowledged, the 200 keeps only its bytes, which still answer a repeated INVITE.
  EXPECT_FALSE(pending_packets.begin()->second.message);
  receive(crlf(k_invite));
  EXPECT_EQ(env.user.forwarded.size(), 3u);
  EXPECT_EQ(env.transport.sent.back().text, env.transport.sent[0].text);
  env.run_until(40000);
  EXPECT_EQ(env.transport.sent.size(), 5u);
  EXPECT_TRUE(env.user.events.empty());  // acknowledged: the call leg is not told anything
}

TEST(Repetitions, MissingAckEndsTheCallLeg) {
  for (bool connected : {false, true}) {
    transaction_env env;
    receive_scope hooks(k_peer.address);
    receive(crlf(k_invite));
    ASSERT_EQ(env.user.forwarded.size(), 1u);
    sip_message ok(200, "OK", env.user.forwarded[0]);
    ok.call_port_index = 17;
    if (connected) env.user.connected_legs.insert(17);
    send_packet(ok);
    env.run_until(31999);
    EXPECT_EQ(
        instants(env.transport.sent),
        (std::vector<int64_t>{0, 500, 1500, 3500, 7500, 11500, 15500, 19500, 23500, 27500, 31500}));
    EXPECT_TRUE(env.user.events.empty());
    env.run_until(32000);
    EXPECT_EQ(env.user.events,
              std::vector<std::string>{connected ? "send_hangup 17" : "ack_no_ok_timeout 17"});
  }
}

TEST_F(Transactions, RepetitionsPrackStopsTheReliableProvisionalResponse) {
  receive(crlf(k_invite));
  ASSERT_EQ(env.user.forwarded.size(), 1u);
  sip_message ringing(180, "Ringing", env.user.forwarded[0]);
  ringing.add_other_header("RSeq", str(), "1");
  send_packet(ringing);
  sip_message trying(100, "Trying", env.user.forwarded[0]);
  send_packet(trying);  // replaces the 180 as the transaction's newest response
  env.run_until(5000);
  EXPECT_EQ(env.transport.sent.size(), 2u);

  sip_message again(183, "Session Progress", env.user.forwarded[0]);
  again.add_other_header("RSeq", str(), "2");
  send_packet(again);
  env.run_until(6000);
  EXPECT_EQ(env.transport.sent.size(), 4u);  // 0 and 500 ms
  stop_message_repetition("dlg-8", 5, m_invite);
  env.run_until(20000);
  EXPECT_EQ(env.transport.sent.size(), 4u);
}

TEST_F(Transactions, CancelGoesExactlyWhereTheInviteWentWithItsVia) {
  register_dialog("call-1", "ours");
  send_packet(test_request(m_invite, "sip:bob@example.com"));
  env.dns.answer("example.com", dns_type::naptr, "");
  env.dns.answer("_sips._tcp.example.com", dns_type::srv, "");
  env.dns.answer("_sip._tcp.example.com", dns_type::srv, "");
  env.dns.answer("_sip._udp.example.com", dns_type::srv, "1 0 proxy.example.com 5080");
  env.dns.answer("proxy.example.com", dns_type::a, "198.51.100.7");
  ASSERT_EQ(env.transport.sent.size(), 1u);
  const size_t lookups = env.dns.lookups.size();
  sip_message cancel = test_request(m_cancel, "sip:bob@example.com");
  cancel.same_branch_as_invite = true;
  send_packet(cancel);
  EXPECT_EQ(env.dns.lookups.size(), lookups);  // no DNS for the CANCEL
  ASSERT_EQ(env.transport.sent.size(), 2u);
  EXPECT_EQ(sends(env), "0 198.51.100.7:5080, 0 198.51.100.7:5080");
  EXPECT_EQ(env.transport.sent[1].transport, env.transport.sent[0].transport);
  const sip_message invite = env.transport.sent[0].parsed(), c = env.transport.sent[1].parsed();
  EXPECT_EQ(c.via, invite.via);
  EXPECT_EQ(c.cseq_method + str::sprintf(" %u", c.cseq), str::sprintf("CANCEL %u", invite.cseq));
}

TEST_F(Transactions, FailoverRefusedDestinationMovesToTheNextCandidate) {
  env.dns.cache[{"example.com", dns_type::naptr}] = "";
  env.dns.cache[{"_sips._tcp.example.com", dns_type::srv}] = "";
  env.dns.cache[{"_sip._tcp.example.com", dns_type::srv}] = "";
  env.dns.cache[{"_sip._udp.example.com", dns_type::srv}] =
      "10 0 one.example.com 5060\n20 0 two.example.com 5070";
  env.dns.cache[{"one.example.com", dns_type::a}] = "192.0.2.1";
  env.dns.cache[{"two.example.com", dns_type::a}] = "192.0.2.2";
  send_packet(test_request(m_invite, "sip:bob@example.com"));
  env.run_until(1000);
  const ip_port one(ip_address_parse("192.0.2.1"), 5060);
  const ip_port two(ip_address_parse("192.0.2.2"), 5070);
  on_connection_refused(transport_type::udp, one);
  env.run_until(2500);  // the back-off starts again for the new destination
  // The second refuses too: the last candidates (AAAA, A of the host) follow.
  env.dns.cache[{"example.com", dns_type::a}] = "192.0.2.3";
  on_connection_refused(transport_type::udp, two);
  EXPECT_EQ(sends(env),
            "0 192.0.2.1:5060, 500 192.0.2.1:5060, 1000 192.0.2.2:5070, "
            "1500 192.0.2.2:5070, 2500 192.0.2.2:5070, 2500 192.0.2.3:5060");
  // While the next candidate is still being looked up, a second refusal does not route the
  // packet a second time; a refusal from an address nothing was sent to changes nothing.
  env.dns.cache.erase({"example.com", dns_type::a});
  const size_t before = env.transport.sent.size();
  send_packet(test_request(m_invite, "sip:bob@example.com", "call-9"));
  on_connection_refused(transport_type::udp, one);
  on_connection_refused(transport_type::udp, two);  // now waits for A of example.com
  on_connection_refused(transport_type::udp, two);
  EXPECT_EQ(env.dns.waiting.size(), 1u);
  EXPECT_EQ(env.dns.waiting.begin()->second.size(), 1u);
  env.dns.answer("example.com", dns_type::a, "192.0.2.3");
  on_connection_refused(transport_type::udp, k_peer);
  EXPECT_EQ(sends(env, before), "2500 192.0.2.1:5060, 2500 192.0.2.2:5070, 2500 192.0.2.3:5060");
}

TEST_F(Transactions, FailoverResendOfAPacketWithoutRetransmissionTakesTheNextDestination) {
  sip_message m = test_request(m_message, "sip:bob@example.com");
  m.destinations = "tcp 192.0.2.1 5060\nudp 192.0.2.2 5060\nurl sip:192.0.2.3";
  const int number = send_packet(m);
  resend_packet(number);  // a TCP packet is not retransmitted: it moves on
  env.run_until(600);     // now over UDP, with retransmission
  // Unknown numbers are logged and ignored.
  resend_packet(-12345);
  route_pending_packet(-12345);
  pending_packet_timeout(-12345);
  EXPECT_EQ(sends(env), "0 192.0.2.1:5060, 0 192.0.2.2:5060, 500 192.0.2.2:5060");
  EXPECT_EQ(env.transport.sent[0].transport, transport_type::tcp);
  EXPECT_TRUE(env.transport.sent[1].parsed().via[0].starts_with("SIP/2.0/UDP "));
}

TEST_F(Transactions, DialogCseqCountsPerDialogAndRepeatsTheInviteForAckAndCancel) {
  random_seed(7);
  register_dialog("c", "t");
  const uint32_t first = get_dialog_cseq(m_invite, "c", "t");
  EXPECT_LE(first, 32767u);
  std::vector<uint32_t> after;  // counted from the first INVITE's
  for (const str& m : {m_ack, m_cancel, m_bye, m_info, m_ack, m_invite, m_ack})
    after.push_back(get_dialog_cseq(m, "c", "t") - first);
  register_dialog("c", "t");  // registering again keeps the counter
  after.push_back(get_dialog_cseq(m_bye, "c", "t") - first);
  EXPECT_EQ(after, (std::vector<uint32_t>{0, 0, 1, 2, 0, 3, 3, 4}));
  register_dialog("c", "");
  EXPECT_EQ(dialog_cseq_count(), 2u);
  unregister_dialog("c", "t");
  unregister_dialog("c", "");
  EXPECT_EQ(dialog_cseq_count(), 0u);
  for (int i = 0; i < 100; ++i) {
    uint32_t cseq = get_dialog_cseq(m_invite, "c", "t");
    EXPECT_GE(cseq, 1u);
    EXPECT_LE(cseq, 32768u);
  }
}

TEST(Branch, DigestOfCallIdCseqAndMethod) {
  sip_message m = test_request(m_cancel, "sip:b@h", "abc");
  m.cseq = 42;
  EXPECT_EQ(get_branch(m), md5_hex("abc 42CANCEL"));
  m.same_branch_as_invite = true;
  EXPECT_EQ(get_branch(m), md5_hex("abc 42INVITE"));
  m.via.push_back("SIP/2.0/UDP 10.0.0.1;branch=z9hG4bKup");
  EXPECT_EQ(get_branch(m), md5_hex("abc z9hG4bKup 42INVITE"));
  EXPECT_EQ(make_branch_param(m), ";branch=z9hG4bK-" + md5_hex("abc z9hG4bKup 42INVITE"));
}

// Whatever mix of answers arrives, a transaction ends exactly once: one 408 when nothing
// final came, none otherwise, and nothing is left behind.
TEST(Retransmission, PropertyEveryTransactionEndsOnce) {
  EXPECT_TRUE(rc::check([](bool invite, uint8_t answer_at_half_s, uint8_t code_kind) {
    transaction_env env;
    receive_scope hooks(k_peer.address);
    send_packet(test_request(invite ? m_invite : m_message, "sip:bob@192.0.2.5"));
    const int codes[] = {100, 180, 200, 486};
    const int code = codes[code_kind % 4];
    const int64_t at = int64_t(answer_at_half_s % 80) * 500 + 250;
    env.run_until(at);
    if (at < 32000) {
      receive(response_text(env.transport.sent[0], code, "Answer"));
    }
    const size_t sent_at_answer = env.transport.sent.size();
    env.run_until(40000);
    const bool final_before_end = at < 32000 && code >= 200;
    RC_ASSERT(env.user.backward.size() ==
              size_t(final_before_end ? 1 : (at < 32000 && code == 180 ? 2 : 1)));
    if (at < 32000) RC_ASSERT(env.transport.sent.size() == sent_at_answer);
    RC_ASSERT(pending_packets.empty());
  }));
}

// ---- process_pdu between a fake socket loop and fake upper layers -------------------------------

// The fake hooks installed as the receive path's upper layers for each case.
class ProcessPdu : public ::testing::Test {
 protected:
  void SetUp() override { set_sip_receive_hooks(&hooks); }
  void TearDown() override { set_sip_receive_hooks(nullptr); }
  recording_receive_hooks hooks;
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
  EXPECT_EQ(hooks.raws[0], m.raw);
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
  const std::string lines =
      "Via: SIP/2.0/UDP 198.51.100.20:5099;branch=z9hG4bKk\nFrom: <sip:x@y>;tag=1\nTo: <sip:a@b>\n"
      "Call-ID: ka\nCSeq: 5 NOTIFY\n";
  const str notify = crlf(("NOTIFY sip:a@b SIP/2.0\n" + lines + "Event: Keep-Alive\n\n").c_str());
  process_pdu("udp0", notify, k_src, transport_type::udp);
  ASSERT_EQ(hooks.sent.size(), 1u);
  EXPECT_EQ(hooks.events.back(), "send udp0 198.51.100.20:5099");
  EXPECT_EQ(hooks.sent[0],
            crlf(("SIP/2.0 200 Keep Alive\n" + lines + "Content-Length: 0\n\n").c_str()));
  EXPECT_TRUE(hooks.forwarded.empty());

  // Over TCP the keep-alive NOTIFY is an ordinary request.
  process_pdu("tcp:1", notify, k_src, transport_type::tcp);
  EXPECT_EQ(hooks.sent.size(), 1u);
  EXPECT_EQ(hooks.forwarded.size(), 1u);
  // PING: sip_connection_test (below the layers) and tests/e2e/sip_tcp_tls_test.cc.
}

}  // namespace
