// Transactions under a manual clock (retransmission, 408, repetitions, CANCEL, fail-over), the
// routing of requests and responses over scripted DNS answers (resolve lists, NAPTR/SRV/A/AAAA
// order, the step budget, SRV ordering, ENUM, connections) and process_pdu's hand-over upwards.
#include "sip/transaction.h"

#include <gtest/gtest.h>
#include <rapidcheck.h>

#include <algorithm>
#include <map>
#include <sstream>
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

// A request of the peer bob (From tag "theirs") to alice, with the given Via, Call-ID, CSeq and
// To tag.
str peer_request(const char* method, const char* via, const char* call_id, int cseq,
                 const char* to_tag = "") {
  return crlf(str::sprintf("%S sip:alice@192.0.2.1 SIP/2.0\nVia: %S\nFrom: <sip:bob@example.com>;"
                           "tag=theirs\nTo: <sip:alice@example.org>%S%S\nCall-ID: %S\n"
                           "CSeq: %d %S\nContent-Length: 0\n\n",
                           method, via, *to_tag ? ";tag=" : "", to_tag, call_id, cseq, method)
                  .c_str());
}

sip_message received_request(const char* via) {
  sip_message m(peer_request("OPTIONS", via, "resp-1", 9));
  m.port_name = "udp0";
  return m;
}

str response_text(const fake_send& request, int code, const char* reason,
                  const char* to_tag = "theirs") {
  sip_message req = request.parsed();
  sip_message response(code, reason, req);
  response.to.set_tag(to_tag);
  return response.serialize(request.destination, transport_type::udp);
}

// Most cases: the fakes installed, the receive hooks for what comes from the peer, and the log
// lines captured.
class Transactions : public ::testing::Test {
 protected:
  transaction_env env;
  receive_scope hooks{k_peer.address};
  log_capture logs{9};
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
      ASSERT_EQ(env.user.backward.size(), 1u);
      const sip_message& r = env.user.backward[0];
      EXPECT_EQ(std::to_string(r.code) + " " + std::string((r.reason + " " + r.call_id).view()),
                "408 Request Timeout call-1");
    }
    env.run_until(40000);
    EXPECT_EQ(instants(env.transport.sent), c.sent_at);
    for (const fake_send& s : env.transport.sent) {
      EXPECT_EQ(s.destination, k_peer);
      EXPECT_EQ(s.port_name, "udp0");
      EXPECT_EQ(s.text, env.transport.sent[0].text);  // the same bytes each time
    }
    EXPECT_EQ(env.user.backward.size(), c.ends_at < 0 ? 0u : 1u);
    EXPECT_EQ(transaction_meminfo(), k_meminfo_empty);
  }
}

// A response to nothing of ours goes up unchanged. (Answers to our requests, what reaches the
// call leg and what stops the retransmission: PropertyEveryTransactionEndsOnce.)
TEST_F(Transactions, AnswerToNothingOfOursGoesUp) {
  sip_message unknown(200, "OK", received_request("SIP/2.0/UDP 192.0.2.1;branch=z9hG4bK-x"));
  receive(unknown.serialize(k_peer, transport_type::udp));
  ASSERT_EQ(flow(env), "| 0 1");
  EXPECT_EQ(env.user.backward[0].call_id, "resp-1");
}

// A challenge its owner does not answer goes up. (One it answers is consumed, the owner given
// the request without the Via this layer added: TrunkTest.RegisterChallengeKeepAliveAndRefresh
// and CallPortWire.ChallengedInviteIsSentAgainAndTheByeCarriesCredentials.)
TEST_F(Transactions, ChallengeTheOwnerDoesNotAnswerGoesUp) {
  send_packet(test_request(m_register, "sip:192.0.2.5"));
  receive(response_text(env.transport.sent[0], 401, "Unauthorized"));
  EXPECT_EQ(env.user.events.back(), "challenge 401 REGISTER vias 0");
  EXPECT_EQ(flow(env), "REGISTER | 0 1");
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

const str k_bye =
    peer_request("BYE", "SIP/2.0/UDP 10.0.0.8:5062;branch=z9hG4bKbye1;rport", "dlg-7", 21, "ours");

// A repeated BYE is answered from the stored 200, whose packet was slimmed to the bytes to
// resend (keep_resend_bytes_only) as it left: the repeats must not tell the difference.
TEST_F(Transactions, RepeatedByeGetsTheStoredBytesOfASlimmedOk) {
  // Before any answer exists a repeat is new to this layer: it goes up again (and is counted).
  const uint64_t before = sip_receive;
  receive(k_bye);
  receive(k_bye);
  EXPECT_EQ(sip_receive, before + 2);
  ASSERT_EQ(flow(env), "| 2 0");
  sip_message ok(200, "OK", env.user.forwarded[0]);
  const int number = send_packet(ok);
  ASSERT_NE(number, 0);
  // A final answer to a BYE is slimmed as it is sent: nothing of the received BYE is kept alive
  // by the packet or its Call-ID link.
  const pending_packet& p = *find_pending_packet(number);
  const str& received = env.user.forwarded[0].call_id;
  EXPECT_FALSE(p.message);  // the message itself is gone
  EXPECT_EQ(p.call_id() + str::sprintf(" %u ", p.cseq()) + p.cseq_method() +
                str::sprintf(" %d", p.code()),
            "dlg-7 21 BYE 200");
  EXPECT_FALSE(p.call_id().shares_with(received));
  EXPECT_FALSE(p.from_tag().shares_with(received));
  EXPECT_FALSE(pending_packet_callids.find(received)->first.shares_with(received));
  receive(k_bye);
  // A newer response of the transaction replaces the stored one.
  sip_message again(200, "OK", env.user.forwarded[0]);
  again.add_other_header("Subject", "", "newer");
  send_packet(again);
  EXPECT_EQ(pending_packets.size(), 1u);
  EXPECT_FALSE(pending_packets.begin()->second.message);  // slimmed as it left
  receive(k_bye);
  // Still answered from the stored 200 until the transaction ends, then new again.
  env.run_until(31000);
  receive(k_bye);
  EXPECT_EQ(flow(env), "200 200= 200 200= 200= | 2 0");
  // rport and received written by the receive path take the answers to the real source.
  for (const fake_send& f : env.transport.sent) EXPECT_EQ(f.destination, k_peer);
  env.run_until(33000);
  receive(k_bye);
  EXPECT_EQ(flow(env), "200 200= 200 200= 200= | 3 0");
  EXPECT_EQ(transaction_meminfo(), k_meminfo_empty);
  // Neither is a request slimmed, nor a response whose destination is still being resolved.
  EXPECT_FALSE(keep_resend_bytes_only(send_packet(test_request(m_options, "sip:192.0.2.9"))));
  sip_message resolving(404, "Not Found", env.user.forwarded[0]);
  resolving.via[0] = "SIP/2.0/UDP phone.example.org;branch=z9hG4bKres";
  EXPECT_FALSE(keep_resend_bytes_only(send_packet(resolving)));
  EXPECT_EQ(env.dns.queries.size(), 1u);
}

const str k_invite =
    peer_request("INVITE", "SIP/2.0/UDP 192.0.2.5:5060;branch=z9hG4bKinv1", "dlg-8", 5);

TEST_F(Transactions, RepetitionsFinalResponseToInviteIsRetransmittedUntilTheAck) {
  receive(k_invite);
  ASSERT_EQ(env.user.forwarded.size(), 1u);
  sip_message ok(200, "OK", env.user.forwarded[0]);
  ok.to.set_tag("ours");
  // Retransmitted until the ACK: it keeps its message.
  EXPECT_FALSE(keep_resend_bytes_only(send_packet(ok)));
  env.run_until(4000);  // sent at 0, 500, 1500, 3500 (the schedule: MissingAckEndsTheCallLeg)
  // A repeated INVITE while the 200 is still being retransmitted is not a repetition here.
  receive(k_invite);
  EXPECT_EQ(env.user.forwarded.size(), 2u);
  receive(peer_request("ACK", "SIP/2.0/UDP 192.0.2.5:5060;branch=z9hG4bKack", "dlg-8", 5, "ours"));
  EXPECT_EQ(env.user.forwarded.size(), 3u);  // the ACK itself goes up
  // Acknowledged, the 200 keeps only its bytes, which still answer a repeated INVITE.
  EXPECT_FALSE(pending_packets.begin()->second.message);
  receive(k_invite);
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
    receive(k_invite);
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
  receive(k_invite);
  ASSERT_EQ(env.user.forwarded.size(), 1u);
  sip_message ringing(180, "Ringing", env.user.forwarded[0]);
  ringing.add_other_header("RSeq", str(), "1");
  send_packet(ringing);
  // A 100 replaces the 180 as the transaction's newest response.
  send_packet(sip_message(100, "Trying", env.user.forwarded[0]));
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

// example.com without NAPTR and with a SRV record for UDP only, whose records follow.
const std::string k_srv_only =
    "NAPTR example.com=|SRV _sips._tcp.example.com=|SRV _sip._tcp.example.com=|"
    "SRV _sip._udp.example.com=";

TEST_F(Transactions, CancelGoesExactlyWhereTheInviteWentWithItsVia) {
  register_dialog("call-1", "ours");
  env.dns.cache_all(k_srv_only + "1 0 proxy.example.com 5080|A proxy.example.com=198.51.100.7");
  send_packet(test_request(m_invite, "sip:bob@example.com"));
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
  env.dns.cache_all(k_srv_only +
                    "10 0 one.example.com 5060\n20 0 two.example.com 5070|"
                    "A one.example.com=192.0.2.1|A two.example.com=192.0.2.2");
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
  // Without a registered dialog every number is a new random one from 1 to 32768.
  for (int i = 0; i < 100; ++i) EXPECT_LE(get_dialog_cseq(m_invite, "c", "t") - 1, 32767u);
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
    if (at < 32000) receive(response_text(env.transport.sent[0], code, "Answer"));
    const size_t sent_at_answer = env.transport.sent.size();
    env.run_until(40000);
    const bool final_before_end = at < 32000 && code >= 200;
    RC_ASSERT(env.user.backward.size() ==
              size_t(final_before_end ? 1 : (at < 32000 && code == 180 ? 2 : 1)));
    if (at < 32000) RC_ASSERT(env.transport.sent.size() == sent_at_answer);
    RC_ASSERT(pending_packets.empty());
  }));
}

// ---- Routing over scripted DNS answers ---------------------------------------------------------

ip_port addr(const char* text, uint16_t port) { return ip_port(ip_address_parse(text), port); }

using Routing = Transactions;

// Joined with "; ": every connection opened ("open name transport server_name"), then every
// send ("port transport destination" and the Via's protocol).
std::string what_went_out(const transaction_env& env) {
  std::string out;
  for (const std::string& o : env.transport.opened)
    out += (out.empty() ? "" : "; ") + ("open " + o);
  for (const fake_send& s : env.transport.sent) {
    const str via = s.parsed().via.empty() ? str() : s.parsed().via[0];
    out += (out.empty() ? "" : "; ") + std::string(s.port_name.view()) + " " + s.transport.name() +
           " " + std::string(s.destination.readable().view()) + " " +
           std::string(via.substr(0, via.find(' ')).view());
  }
  return out;
}

// Requests to one target each: the cached DNS answers ("TYPE name=records|...", ALIAS for an
// alias), which must be looked up exactly in the order written (aliases are not looked up),
// what went out and the log lines expected among others ("group:level text|...").
TEST(RoutingTable, TargetFromUriDnsRouteAndProxy) {
  const struct {
    const char* uri;
    void (*adjust)(sip_message&);  // nullptr: the plain request
    const char *dns, *out, *logs = "";
  } cases[] = {
      // Literal hosts need no DNS; sips goes over TLS to 5061.
      {"sip:bob@192.0.2.5", nullptr, "", "udp0 udp 192.0.2.5:5060 SIP/2.0/UDP"},
      {"sip:bob@[2001:db8::1]", nullptr, "", "udp1 udp [2001:db8::1]:5060 SIP/2.0/UDP"},
      {"sips:bob@192.0.2.5", nullptr, "",
       "open 192.0.2.5:5061 tls 192.0.2.5; 192.0.2.5:5061 tls 192.0.2.5:5061 SIP/2.0/TLS"},
      // sips without NAPTR: SRV over TLS, then the addresses on 5061.
      {"sips:bob@example.com", nullptr,
       "NAPTR example.com=|SRV _sips._tcp.example.com=|AAAA example.com=|A example.com=192.0.2.8",
       "open 192.0.2.8:5061 tls example.com; 192.0.2.8:5061 tls 192.0.2.8:5061 SIP/2.0/TLS"},
      // Without NAPTR, SRV and addresses nothing is sent.
      {"sip:bob@example.com", nullptr,
       "NAPTR example.com=|SRV _sips._tcp.example.com=|SRV _sip._tcp.example.com=|"
       "SRV _sip._udp.example.com=|AAAA example.com=|A example.com=",
       "", "1:6 Could not determine destination address on 1"},
      // NAPTR records are collected, then pushed so that the last record runs first.
      {"sip:bob@example.com", nullptr,
       "NAPTR example.com=10 50 s SIP+D2T - _sip._tcp.example.com\n"
       "20 50 s SIP+D2U - _sip._udp.example.com\n30 50 u http+E2U - http.example.com|"
       "SRV _sip._udp.example.com=|SRV _sip._tcp.example.com=0 0 sip1.example.com 5080|"
       "A sip1.example.com=192.0.2.21",
       "open 192.0.2.21:5080 tcp example.com; 192.0.2.21:5080 tcp 192.0.2.21:5080 SIP/2.0/TCP"},
      // The NAPTR "a" flag puts the A of a host before its AAAA.
      {"sip:bob@example.com", nullptr,
       "NAPTR example.com=10 10 a SIP+D2U - host.example.com|A host.example.com=|"
       "AAAA host.example.com=2001:db8::5",
       "udp1 udp [2001:db8::5]:5060 SIP/2.0/UDP"},
      // SRV targets in priority order, each with its address lookups.
      {"sip:example.com", [](sip_message& m) { m.destinations = "srv udp _sip._udp.example.com"; },
       "SRV _sip._udp.example.com=20 0 b.example.com 5062\n10 0 a.example.com 5061\n"
       "30 0 192.0.2.30 5063|A a.example.com=|AAAA a.example.com=|A b.example.com=|"
       "AAAA b.example.com=",
       "udp0 udp 192.0.2.30:5063 SIP/2.0/UDP"},
      // An alias and a CNAME answer are followed; the first address is taken.
      {"sip:www.example.com:5060", nullptr,
       "ALIAS www.example.com=real.example.com|A real.example.com=other.example.com|"
       "A other.example.com=192.0.2.77\n192.0.2.78",
       "udp0 udp 192.0.2.77:5060 SIP/2.0/UDP"},
      // The transport parameter: A then AAAA of the host, port 5060 for tcp; maddr wins.
      {"sip:bob@example.com;transport=TCP", nullptr, "A example.com=192.0.2.40",
       "open 192.0.2.40:5060 tcp example.com; 192.0.2.40:5060 tcp 192.0.2.40:5060 SIP/2.0/TCP"},
      {"sip:bob@example.com;maddr=192.0.2.44;transport=tls", nullptr, "",
       "open 192.0.2.44:5061 tls example.com; 192.0.2.44:5061 tls 192.0.2.44:5061 SIP/2.0/TLS"},
      // A Route set sends to the first Route, unless route_by_uri.
      {"sip:bob@192.0.2.50",
       [](sip_message& m) { m.route.push_back(from_to_spec("<sip:192.0.2.60:5090;lr>")); }, "",
       "udp0 udp 192.0.2.60:5090 SIP/2.0/UDP"},
      {"sip:bob@192.0.2.50",
       [](sip_message& m) {
         m.route.push_back(from_to_spec("<sip:192.0.2.60:5090;lr>"));
         m.route_by_uri = 1;
       },
       "", "udp0 udp 192.0.2.50:5060 SIP/2.0/UDP"},
      // An outbound proxy without scheme, and the loopback proxy.
      {"sip:bob@example.com", [](sip_message& m) { m.outbound_proxy = "192.0.2.99:5070"; }, "",
       "udp0 udp 192.0.2.99:5070 SIP/2.0/UDP"},
      {"sip:bob@example.com", [](sip_message& m) { m.outbound_proxy = "sip:loopback"; }, "",
       "udp0 udp 127.0.0.1:5060 SIP/2.0/UDP"},
      // Unreadable steps are logged and skipped.
      {"sip:bob@example.com",
       [](sip_message& m) {
         m.destinations =
             "bogus 1\na sctp example.com 5060\nsrv xyz _sip._udp.example.com\nudp 192.0.2.3 5060";
       },
       "", "udp0 udp 192.0.2.3:5060 SIP/2.0/UDP",
       "1:0 Internal error: Unknown DNS resolve type bogus|1:0 Unknown transport layer sctp|"
       "1:0 Unknown transport layer xyz"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.uri);
    transaction_env env;
    log_capture quiet{9};
    env.transport.ipv6 = true;
    random_seed(1);
    env.dns.cache_all(c.dns);
    sip_message m = test_request(m_options, c.uri);
    if (c.adjust) c.adjust(m);
    send_packet(m);
    std::string lookups, cached;
    for (const std::string& l : env.dns.lookups) lookups += l + "|";
    std::istringstream answers(c.dns);
    for (std::string a; std::getline(answers, a, '|');)
      if (a.rfind("ALIAS", 0) != 0) cached += a.substr(0, a.find('=')) + "|";
    EXPECT_EQ(lookups, cached);
    EXPECT_EQ(what_went_out(env), c.out);
    std::istringstream logs(c.logs);
    for (std::string line; std::getline(logs, line, '|');)
      EXPECT_TRUE(log_capture::mentions(line)) << line;
  }
}

// (Fail-over along them: SocketTransport.SendsFromTheSipSocketAndFailsOverOnRefusal.)
TEST_F(Routing, ExplicitDestinationsAddToTheBudget) {
  sip_message m = test_request(m_options, "sip:bob@example.com");
  m.destinations = "udp 192.0.2.1 5060\r\n\r\nudp 192.0.2.2 5061\r\n";
  const int number = send_packet(m);
  ASSERT_NE(find_pending_packet(number), nullptr);
  EXPECT_EQ(find_pending_packet(number)->steps_left, 50 + 8 - 1);
}

TEST_F(Routing, SecureOnlySkipsUdpSteps) {
  sip_message m = test_request(m_options, "sip:bob@example.com");
  m.destinations = "udp 192.0.2.1 5060\ntls 192.0.2.1 5061";
  m.secure_only = 1;
  send_packet(m);
  EXPECT_EQ(what_went_out(env),
            "open 192.0.2.1:5061 tls example.com; 192.0.2.1:5061 tls 192.0.2.1:5061 SIP/2.0/TLS");
  // Over TCP/TLS there is no retransmission, only the transaction end.
  env.run_until(32000);
  EXPECT_EQ(env.transport.sent.size(), 1u);
  EXPECT_EQ(env.user.backward.size(), 1u);
}

TEST_F(Routing, BudgetStopsAResolutionLoop) {
  env.dns.cache[{"loop.example.com", dns_type::a}] = "loop.example.com";
  send_packet(test_request(m_options, "sip:bob@loop.example.com:5060"));
  EXPECT_TRUE(env.transport.sent.empty());
  EXPECT_EQ(env.dns.lookups.size(), 49u);  // the url step took one of the 50
  EXPECT_TRUE(log_capture::contains(
      "Cannot route packet 1 (too many iterations): a udp loop.example.com 5060", 1));
}

TEST_F(Routing, MissingHeadersSendNothing) {
  for (const char* header : {"Call-ID", "To", "From"}) {
    sip_message m = test_request(m_options, "sip:192.0.2.1");
    if (*header == 'C') m.call_id = str();
    if (*header == 'T') m.to = from_to_spec();
    if (*header == 'F') m.from = from_to_spec();
    EXPECT_EQ(send_packet(m), 0);
    EXPECT_TRUE(
        log_capture::contains(std::string("send_packet: ") + header + " missing OPTIONS", 0));
  }
  EXPECT_TRUE(pending_packets.empty());
  EXPECT_TRUE(env.transport.sent.empty());
}

TEST_F(Routing, EnumTurnsTheNumberIntoAUri) {
  env.dns.cache[{"3.2.1.0.3.9.4.e164.arpa", dns_type::naptr}] =
      "100 10 u E2U+sip !^\\+49(.*)$!sip:\\1@192.0.2.44! .";
  send_packet(test_request(m_invite, "sip:+4930123@example.com;enum=true"));
  EXPECT_TRUE(log_capture::contains("Converting phone +4930123 into 3.2.1.0.3.9.4.e164.arpa", 8));
  ASSERT_EQ(what_went_out(env), "udp0 udp 192.0.2.44:5060 SIP/2.0/UDP");
  EXPECT_EQ(env.transport.sent[0].parsed().request_uri.serialize(), "sip:30123@192.0.2.44");

  EXPECT_EQ(enum_domain("+49 (30) 123-4"), "4.3.2.1.0.3.9.4.e164.arpa");
  EXPECT_EQ(enum_domain("alice"), "");
  const struct {
    const char *rule, *result;
  } rules[] = {{"!^.*$!sip:info@example.com!", "sip:info@example.com"},
               {"/^\\+1(.*)$/sip:\\1@gw/i", "sip:555@gw"},
               {"!^\\+44!x!", ""},
               {"!(!x!", ""},  // unreadable pattern
               {"!x", ""}};
  for (const auto& r : rules) EXPECT_EQ(apply_naptr_regexp(r.rule, "+1555"), r.result) << r.rule;
}

TEST_F(Routing, ResponsesRoutedByReceivedAndRport) {
  env.dns.cache_all("AAAA phone.example.com=|A phone.example.com=192.0.2.12");
  const struct {
    const char *via, *destination;
  } cases[] = {{"SIP/2.0/UDP 10.0.0.1:5060;rport=7000;received=192.0.2.9", "192.0.2.9:7000"},
               {"SIP/2.0/UDP 192.0.2.10", "192.0.2.10:5060"},
               {"SIP/2.0/UDP 192.0.2.10:5062;maddr=192.0.2.11;received=1.1.1.1", "192.0.2.11:5062"},
               {"SIP/2.0/UDP phone.example.com:5064", "192.0.2.12:5064"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.via);
    env.transport.sent.clear();
    send_packet(sip_message(200, "OK", received_request(c.via)));
    EXPECT_EQ(what_went_out(env), std::string("udp0 udp ") + c.destination + " SIP/2.0/UDP");
  }
}

TEST_F(Routing, ConnectionsByPortNameAndTheirLimits) {
  // A response over the connection the request came on, a request over the one it names: at
  // once, without DNS.
  env.transport.connections["192.0.2.20:40000"] = {transport_type::tls, addr("192.0.2.20", 40000)};
  sip_message req = received_request("SIP/2.0/TLS 192.0.2.20:5061");
  req.port_name = "192.0.2.20:40000";
  send_packet(sip_message(200, "OK", req));
  sip_message notify = test_request(m_notify, "sip:bob@example.com");
  notify.port_name = req.port_name;
  send_packet(notify);
  EXPECT_EQ(what_went_out(env),
            "192.0.2.20:40000 tls 192.0.2.20:40000 SIP/2.0/TLS; "
            "192.0.2.20:40000 tls 192.0.2.20:40000 SIP/2.0/TLS");
  EXPECT_TRUE(env.dns.lookups.empty());
  // The connection is gone: a TLS response is not sent anywhere else.
  env.transport.connections.clear();
  send_packet(sip_message(200, "OK", req));
  EXPECT_EQ(env.transport.sent.size(), 2u);
  EXPECT_TRUE(log_capture::contains(
      "Response to 192.0.2.20:40000 must be sent over existing connection", 6));
  // Responses to ACK are never sent; a response without Via is logged.
  sip_message ack_response(200, "OK", req);
  ack_response.cseq_method = m_ack;
  EXPECT_EQ(send_packet(ack_response), 0);
  sip_message no_via(200, "OK", req);
  no_via.via.clear();
  EXPECT_EQ(send_packet(no_via), 0);
  EXPECT_TRUE(log_capture::contains("Via is empty, cannot send reply", 3));
  send_packet(sip_message(200, "OK", received_request("SIP/2.0/SCTP 192.0.2.20")));
  EXPECT_TRUE(log_capture::contains("Unsupported transport layer in SIP/2.0/SCTP 192.0.2.20", 0));
  EXPECT_TRUE(log_capture::contains("Unsupported transport layer SCTP", 5));
  EXPECT_EQ(env.transport.sent.size(), 2u);
}

TEST(ResortList, PermutesWithinAscendingPriorities) {
  EXPECT_TRUE(rc::check([](std::vector<std::pair<uint8_t, uint8_t>> weights) {
    std::vector<str> records;
    for (size_t i = 0; i < weights.size(); ++i)
      records.push_back(str::sprintf("%d %d t%d.example.com 5060", int(weights[i].first % 4),
                                     int(weights[i].second % 5), int(i)));
    std::vector<str> out = resort_list(records);
    RC_ASSERT(out.size() == records.size());
    std::vector<str> a = records, b = out;
    std::sort(a.begin(), a.end());
    std::sort(b.begin(), b.end());
    RC_ASSERT(a == b);
    for (size_t i = 1; i < out.size(); ++i)
      RC_ASSERT(out[i - 1].get_field(0).value() <= out[i].get_field(0).value());
  }));
}

TEST(ResortList, WeightsDecideTheFirstChoice) {
  random_seed(99);
  std::map<std::string, int> first;
  for (int i = 0; i < 4000; ++i) {
    std::vector<str> out =
        resort_list({"10 10 light 5060", "10 30 heavy 5060", "10 0 zero 5060", "5 0 top 5060"});
    ASSERT_EQ(out[0], "5 0 top 5060");
    ++first[std::string(out[1].get_field(2).view())];
  }
  EXPECT_GT(first["heavy"], 2800);  // about 3/4
  EXPECT_LT(first["heavy"], 3200);
  EXPECT_GT(first["light"], 800);
  EXPECT_LT(first["zero"], 10);  // weight 0 only on a draw of 0
  // All weights 0: list order.
  EXPECT_EQ(resort_list({"1 0 a 1", "1 0 b 1", "1 0 c 1"}),
            (std::vector<str>{"1 0 a 1", "1 0 b 1", "1 0 c 1"}));
}

// Any mix of steps and cached answers (including answers that point back at their own names)
// ends within the budget: at most 50 dispatches plus 4 per explicit destination line, and at
// most one send.
TEST(RoutingProperty, ResolutionAlwaysEnds) {
  EXPECT_TRUE(rc::check([](const std::vector<uint8_t>& steps, const std::vector<uint8_t>& answers) {
    transaction_env env;
    log_capture quiet{9};
    env.transport.ipv6 = true;
    const char* names[] = {"a.example", "b.example", "c.example"};
    const char* vocabulary[] = {
        "url sip:x@a.example", "url sips:x@b.example:5070", "naptr a.example",
        "naptrs b.example",    "srv udp b.example",         "a tcp c.example 5060",
        "aaaa tls a.example",  "udp 192.0.2.1 5060",        "enum 1.2.3.e164.arpa",
        "discover c.example",  "tcp [2001:db8::2] 5061"};
    const char* records[] = {"",
                             "192.0.2.9",
                             "2001:db8::9",
                             "a.example",
                             "1 1 b.example 5060\n2 0 c.example 5061",
                             "10 10 s SIP+D2U - b.example\n10 20 a SIPS+D2T - c.example",
                             "10 10 u SIP+D2T - sip:x@a.example\n5 5 p SIP+D2U - q"};
    const dns_type types[] = {dns_type::a, dns_type::aaaa, dns_type::srv, dns_type::naptr};
    for (size_t i = 0; i + 1 < answers.size(); i += 2)
      env.dns.cache[{names[answers[i] % 3], types[(answers[i] / 3) % 4]}] =
          records[answers[i + 1] % 7];
    sip_message m = test_request(m_options, "sip:+1@a.example");
    for (uint8_t s : steps) m.destinations += str(vocabulary[s % 11]) + "\n";
    const int number = send_packet(m);
    // Unanswered queries: answer each negatively until none is left.
    for (int round = 0; round < 200 && !env.dns.waiting.empty(); ++round) {
      auto key = env.dns.waiting.begin()->first;
      env.dns.answer(key.first, key.second, "");
    }
    RC_ASSERT(env.dns.waiting.empty());
    RC_ASSERT(env.dns.lookups.size() <= 50 + 4 * steps.size());
    RC_ASSERT(env.transport.sends <= 1u);
    if (pending_packet* p = find_pending_packet(number)) RC_ASSERT(p->steps_left >= 0);
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

// A request goes forward with rport and received written; a response goes backward, with the
// tags swapped for find_call_port and without a report to the address-based access control.
TEST_F(ProcessPdu, RequestsGoForwardResponsesBackward) {
  hooks.call_port = 12;
  process_pdu("udp0",
              peer_request("BYE", "SIP/2.0/UDP 10.1.1.1;branch=z9hG4bK7;rport", "c1", 3, "ours"),
              k_src, transport_type::udp);
  EXPECT_EQ(hooks.events, (std::vector<std::string>{"report 198.51.100.20:5099", "count", "find c1",
                                                    "trace 12 Rx udp"}));
  EXPECT_EQ(hooks.last_local_tag + " " + hooks.last_remote_tag, "ours theirs");
  ASSERT_EQ(hooks.forwarded.size(), 1u);
  const sip_message& m = hooks.forwarded[0];
  EXPECT_EQ(hooks.raws[0], m.raw);
  EXPECT_EQ(str::sprintf("%d ", m.call_port_index) + m.port_name + " " + m.transport.name() + " " +
                m.peer.readable() + " " + m.via[0] + " " + m.received,
            "12 udp0 udp 198.51.100.20:5099 SIP/2.0/UDP 10.1.1.1;branch=z9hG4bK7;rport=5099;"
            "received=198.51.100.20 198.51.100.20");
  hooks.events.clear();
  process_pdu("tcp:1",
              crlf("SIP/2.0 180 Ringing\nVia: SIP/2.0/TCP 192.0.2.1;branch=z9hG4bK1\n"
                   "From: <sip:a@h>;tag=mine\nTo: <sip:b@h>;tag=theirs\nCall-ID: c2\n"
                   "CSeq: 1 INVITE\n\n"),
              k_src, transport_type::tcp);
  EXPECT_EQ(hooks.events[0], "count");
  EXPECT_EQ(hooks.last_local_tag + " " + hooks.last_remote_tag, "mine theirs");
  ASSERT_EQ(hooks.backward.size(), 1u);
  EXPECT_EQ(hooks.backward[0].code, 180);
  EXPECT_EQ(hooks.backward[0].via[0], "SIP/2.0/TCP 192.0.2.1;branch=z9hG4bK1");
}

// (Repetitions dropped: the Transactions cases, through the real hooks.)
TEST_F(ProcessPdu, DropsShortAndRefusedPackets) {
  process_pdu("udp0", "INV\r", k_src, transport_type::udp);
  EXPECT_TRUE(hooks.events.empty());
  hooks.valid = false;
  process_pdu("udp0", crlf("OPTIONS sip:a@b SIP/2.0\n\n"), k_src, transport_type::udp);
  EXPECT_TRUE(hooks.events.empty());
  // OPTIONS, PING and SERVICE are not counted as failed authentication.
  hooks.valid = true;
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
