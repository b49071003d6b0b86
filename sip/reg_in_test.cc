// The srv half of the registrar under a manual clock: responses and the messages to the PBX
// half are captured; the PBX half's answers are fed in as the texts it would post. Then the
// messages between the sides: every kind round-trips, the queue's text is exact, and a message
// that lost a required field is refused with a log line rather than read as empty.
#include "sip/reg_in.h"

#include <gtest/gtest.h>
#include <rapidcheck.h>

#include <string>
#include <tuple>
#include <vector>

#include "base/file_system.h"
#include "base/log_capture_test_util.h"
#include "frame/clock.h"
#include "frame/settings.h"
#include "sip/address_list.h"
#include "sip/call_messages.h"
#include "sip/digest_auth.h"
#include "sip/notify_body.h"
#include "sip/pending_packet.h"
#include "sip/registrar_user.h"
#include "sip/sip_messages.h"
#include "sip/srv_context.h"
#include "sip/transaction_test_fakes.h"

namespace {

std::vector<sip_message> sent;
std::vector<str> posted;
int64_t waiting = 0;  // the backlog the registrar's overload check sees

class RegInTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sent.clear(), posted.clear(), waiting = 0;
    init_config();
    registrar_clear();
    clear_pending_packets();
    use_send([](const sip_message& m) { return sent.push_back(m), 0; });  // captured
    set_auth_hooks(&registrar_auth_hooks());
  }
  void TearDown() override {
    registrar_clear();
    bw_clear();
    use_context.reset();
    set_auth_hooks(nullptr);
  }
  // The side's context: messages to the PBX half and the removal timers captured; requests and
  // responses sent through send (captured, or the real transaction layer).
  void use_send(int (*send)(const sip_message&)) {
    use_context.reset();
    use_context = std::make_unique<scoped_srv_context>(srv_context{
        .post = [](const str& t) { posted.push_back(t); }, .send = send, .queue = &queue});
  }
  void advance_ms(int64_t ms) { run_timers_until(clock, queue, clock_now() + ms2ticks(ms)); }

  static std::string via(const std::string& branch) {
    return "SIP/2.0/UDP 127.0.0.5:5070;branch=z9hG4bK" + branch;
  }
  static str request_text(unsigned cseq, const std::string& extra = "",
                          const std::string& via = RegInTest::via("1"),
                          const char* method = "REGISTER", const char* call_id = "c1@x") {
    return str(std::string(method) + " sip:localhost SIP/2.0\r\nVia: " + via +
               "\r\nFrom: <sip:100@localhost>;tag=f1\r\nTo: <sip:100@localhost>\r\nCall-ID: " +
               call_id + "\r\nCSeq: " + std::to_string(cseq) + " " + method +
               "\r\nContact: <sip:100@127.0.0.5:5070>\r\n" + extra + "\r\n");
  }
  static sip_message request(unsigned cseq, const std::string& extra = "",
                             const std::string& via = RegInTest::via("1"),
                             const char* method = "REGISTER") {
    sip_message m{request_text(cseq, extra, via, method)};
    m.peer = ip_port::from_text("127.0.0.5:5070");
    m.transport = transport_type::udp;
    return m;
  }
  static str authorization(const sip_message& m, const str& nonce) {
    str uri = m.request_uri.serialize();
    return str::sprintf(
        "Digest username=\"100\",realm=\"localhost\",nonce=\"%s\",uri=\"%s\",response=\"%s\","
        "algorithm=MD5",
        nonce, uri, auth_md5_hex(nonce, "100", "localhost", "sip100", m.method, uri, "", "", ""));
  }
  template <class M>
  static M last_posted() {
    M m;
    EXPECT_TRUE(!posted.empty() && soap_read(posted.back(), m)) << last_name().c_str();
    return m;
  }
  static str last_name() {
    soap_envelope e;
    return !posted.empty() && soap_parse(posted.back(), e) ? e.name : str();
  }
  static void answer_policy() {
    ASSERT_TRUE(registrar_on_soap(soap_write(
        msg::set_register_policy{"c1@x", "true", "", "localhost", "100", "sip100", "", ""})));
  }
  static void answer_register(unsigned cseq, int code, const char* reason, int expires) {
    ASSERT_TRUE(registrar_on_soap(soap_write(
        msg::register_response{"c1@x", str::sprintf("%u", cseq), str::sprintf("%d", code), reason,
                               str::sprintf("%d", expires)})));
  }
  static str last_nonce() {
    return parse_auth_header(sent.back().get_other_header("WWW-Authenticate", "")).get("nonce");
  }
  // The last response sent: "code reason CSeq", then its Retry-After and Date if it has them.
  static std::string status() {
    const sip_message& m = sent.back();
    std::string out =
        std::to_string(m.code) + " " + std::string(m.reason.view()) + " " + std::to_string(m.cseq);
    for (const char* h : {"Retry-After", "Date"})
      if (const str v = m.get_other_header(h, ""); !v.empty())
        out += std::string(" ") + h + ": " + std::string(v.view());
    return out;
  }
  // Receives first, answers the policy with the account's credentials and receives second
  // with an Authorization for the nonce of the challenge.
  static void authenticate(sip_message first, sip_message second) {
    registrar_receive(first);
    answer_policy();
    second.add_other_header("Authorization", "", authorization(second, last_nonce()));
    registrar_receive(second);
  }
  static void authenticate(const std::string& extra, const std::string& via = RegInTest::via("1"),
                           const char* method = "REGISTER") {
    authenticate(request(1, extra, via, method), request(2, extra, via, method));
  }
  // The whole first registration (or subscription): policy, challenge, answer, decision granting
  // granted seconds; returns the 200.
  static sip_message registered(const std::string& extra = "", const char* method = "REGISTER",
                                int granted = 360) {
    authenticate(extra, via("1"), method);
    answer_register(2, 200, "OK", granted);
    return sent.back();
  }
  static void receive(sip_message m) { registrar_receive(m); }
  static reg_in& binding() { return *reg_ins["c1@x"]; }

  std::unique_ptr<scoped_srv_context> use_context;
  log_capture log;
  manual_clock clock;
  scoped_clock use_clock{&clock};
  memory_file_system mfs;
  scoped_file_system use_fs{&mfs};
  timeout_queue queue;
};

TEST_F(RegInTest, PolicyChallengeDecisionAndOk) {
  receive(request(1, "Expires: 3600\r\n"));
  // Nothing is answered before the policy is known; the PBX half is asked once, also when a
  // new request (new branch) arrives meanwhile.
  receive(request(1, "Expires: 3600\r\n", via("9")));
  EXPECT_TRUE(sent.empty());
  EXPECT_EQ(posted,
            std::vector<str>{soap_write(msg::get_register_policy{
                "c1@x", "127.0.0.5", "<sip:100@localhost>", "<sip:100@localhost>;tag=f1"})});
  EXPECT_EQ(binding().policy_queue().size(), 2u);

  answer_policy();
  ASSERT_EQ(sent.size(), 2u);  // both waiting requests challenged
  EXPECT_EQ(sent[0].code, 401);
  EXPECT_EQ(binding().removal_seconds(), 15);

  sip_message second = request(2, "Expires: 3600\r\n");
  second.add_other_header("Authorization", "", authorization(second, last_nonce()));
  receive(second);
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(posted.back(),
            soap_write(msg::register_request{
                "127.0.0.5", "<sip:100@localhost>;tag=f1", "<sip:100@localhost>", "c1@x", "2",
                "3600", "<sip:100@127.0.0.5:5070>", "", "", "", "", "", "", "", ""}));
  EXPECT_EQ(binding().removal_seconds(), 1);

  answer_register(2, 200, "OK", 360);
  ASSERT_EQ(sent.size(), 3u);
  // The first 200 after an authentication carries the clock's time as an HTTP date in GMT.
  EXPECT_EQ(status(), "200 OK 2 Date: Thu, 01 Jan 2026 00:00:00 GMT");
  EXPECT_FALSE(sent.back().to.tag().empty());
  EXPECT_EQ(sent.back().contact.size(), 1u);  // its expires: AnnouncedExpiryStaysWithinTwoSeconds
  EXPECT_EQ(binding().removal_seconds(), 375);
  EXPECT_TRUE(binding().bound);
}

// After the registration: a refresh is answered at once (no challenge, no decision, no Date), a
// query without Contact too (the PBX half not involved), a changed Contact is a new decision;
// the binding goes 15 s after its grant.
TEST_F(RegInTest, RefreshQueryNewDecisionAndExpiry) {
  registered();
  size_t posts = posted.size();
  receive(request(3));
  EXPECT_EQ(posted.back(), soap_write(msg::rru{"c1@x", "3", "3600", ""}));
  EXPECT_EQ(posted.size(), posts + 1);
  EXPECT_EQ(status(), "200 OK 3");

  sip_message query = request(4);
  query.contact.clear();
  receive(query);
  EXPECT_EQ(sent.back().cseq, 4u);
  EXPECT_EQ(posted.size(), posts + 1);
  EXPECT_EQ(binding().removal_seconds(), 375);

  receive(request(5, "User-Agent: other\r\n"));
  EXPECT_EQ(last_name(), "RegisterRequest");
  EXPECT_EQ(sent.back().cseq, 4u);
  answer_register(5, 200, "OK", 360);
  advance_ms(374000);
  EXPECT_EQ(reg_ins.size(), 1u);
  advance_ms(1000);
  EXPECT_TRUE(reg_ins.empty());
}

TEST_F(RegInTest, NatTreatment) {
  // rport differing from the Via's own port: behind NAT, granted nat_udp.
  authenticate("Expires: 3600\r\n",
               "SIP/2.0/UDP 10.0.0.1:5060;rport=40000;received=127.0.0.5;branch=z9");
  EXPECT_EQ(last_posted<msg::register_request>().expires, "30");
  EXPECT_TRUE(binding().keep_alive);

  // Through a proxy (two Vias) there is no NAT treatment while register_via_count is true.
  registrar_clear();
  authenticate("Expires: 3600\r\nVia: SIP/2.0/UDP 10.0.0.1:5060;rport=1;branch=z2\r\n",
               "SIP/2.0/UDP 127.0.0.9:5060;received=127.0.0.5;branch=z1");
  EXPECT_EQ(last_posted<msg::register_request>().expires, "3600");
  EXPECT_FALSE(binding().keep_alive);
}

// A refusal, whether the PBX half decides it from the addresses alone (no such account, or a
// code and reason of its own: answered at once, without a challenge) or after the
// authentication, carries Retry-After; the binding goes a second later.
TEST_F(RegInTest, RefusalsCarryRetryAfterAndExpireTheBinding) {
  const struct {
    int policy_found;  // -1: the policy grants, the decision refuses
    int code;
    const char* reason;
  } refusals[] = {
      {0, 404, "Not Found"}, {1, 403, "Forbidden"}, {-1, 403, "Too Many Registrations"}};
  for (const auto& r : refusals) {
    SCOPED_TRACE(r.reason);
    sent.clear();
    if (r.policy_found < 0) {
      authenticate(request(1), request(2));
      answer_register(2, r.code, r.reason, 0);
      answer_register(9, 200, "OK", 60);  // not queued
      EXPECT_EQ(log_capture::lines().back().text, "RegisterResponse 9 not found");
    } else {
      receive(request(1));
      ASSERT_TRUE(registrar_on_soap(soap_write(msg::set_register_policy{
          "c1@x", r.policy_found ? "true" : "false", "", "", "", "",
          r.policy_found ? str::sprintf("%d", r.code) : str(), r.policy_found ? r.reason : ""})));
    }
    EXPECT_EQ(sent.size(), r.policy_found < 0 ? 2u : 1u);
    EXPECT_EQ(status(), std::to_string(r.code) + " " + r.reason +
                            (r.policy_found < 0 ? " 2" : " 1") + " Retry-After: 3600");
    advance_ms(999);
    EXPECT_EQ(reg_ins.count("c1@x"), 1u);
    advance_ms(1);
    EXPECT_EQ(reg_ins.count("c1@x"), 0u);
  }
  EXPECT_EQ(last_name(), "RegisterExpires");
  EXPECT_TRUE(ipadr2regs.empty());
  remove_registration("c1@x");
  EXPECT_EQ(log_capture::lines().back().text, "Cannot find registration c1@x");
}

// A refresh that needs a decision (the User-Agent changed) is repeated by the phone while the
// PBX half decides: the repeat must not be taken for a plain refresh of the fingerprint just
// stored. The same CSeq under another branch is another transaction, answered as a refresh.
TEST_F(RegInTest, RepeatOfARefreshWaitingForItsDecisionIsAbsorbed) {
  registered();
  const size_t posts = posted.size(), sends = sent.size();
  receive(request(3, "User-Agent: other\r\n", via("3")));
  advance_ms(400);
  receive(request(3, "User-Agent: other\r\n", via("3")));
  EXPECT_EQ(posted.size(), posts + 1);
  EXPECT_EQ(last_name(), "RegisterRequest");
  EXPECT_EQ(sent.size(), sends);
  EXPECT_EQ(binding().decision_queue().size(), 1u);
  answer_register(3, 200, "OK", 360);
  EXPECT_EQ(sent.size(), sends + 1);
  EXPECT_EQ(sent.back().code, 200);
  EXPECT_TRUE(binding().decision_queue().empty());
  receive(request(3, "User-Agent: other\r\n", via("4")));
  EXPECT_EQ(sent.size(), sends + 2);
}

TEST_F(RegInTest, QueuesHoldTenRequests) {
  for (unsigned i = 1; i <= 11; i++) receive(request(i));
  EXPECT_EQ(binding().policy_queue().size(), 10u);
  EXPECT_EQ(binding().policy_queue().front().request.cseq, 2u);
  EXPECT_EQ(log_capture::lines().back().text, "Security has 10 pending packets");
}

TEST_F(RegInTest, AnnouncedExpiryStaysWithinTwoSeconds) {
  EXPECT_TRUE(rc::check([](int granted) {
    granted = 1 + std::abs(granted % 100000);
    sent.clear();
    reg_in r("p@x");
    r.expires = granted;
    sip_message m = request(1);
    r.send_ok(m, str());
    RC_ASSERT(sent.size() == 1u);
    int a = sent[0].contact[0].extract_parameter("expires").value();
    RC_ASSERT(a >= std::max(1, granted - 2));
    RC_ASSERT(a <= granted + 2);
  }));
}

// What a REGISTER's headers change: the Contact's expires parameter over the Expires header,
// outbound (kept flow, no NAT expiry, Require: outbound), path (Path copied, Supported: path),
// the web address (WWW-Contact, https preferred) and the instance. Only the first sip Contact is
// bound (one binding per Call-ID) and listed in the 200, so that a phone that sent two does not
// believe both bound.
TEST_F(RegInTest, RegisterHeaderDetails) {
  std::string extra =
      "Expires: 100\r\nSupported: outbound, path\r\nPath: <sip:edge.example;lr>\r\n"
      "WWW-Contact: <http://127.0.0.5/>\r\nWWW-Contact: <https://127.0.0.5/>\r\n"
      "Contact: <http://127.0.0.5:8080/>\r\nContact: <sip:100@192.0.2.8:5080>\r\n";
  sip_message first =
      request(1, extra, "SIP/2.0/UDP 10.0.0.1:5060;rport=40000;received=127.0.0.5;branch=z");
  first.contact[0] = from_to_spec(
      str("<sip:100@127.0.0.5:5070>;expires=200;+sip.instance=\"<urn:uuid:1>\";reg-id=1"));
  sip_message second = first;
  second.cseq = 2;
  authenticate(first, second);
  auto rr = last_posted<msg::register_request>();
  // Outbound: no nat_udp expiry; the instance unquoted.
  EXPECT_EQ(rr.expires + " " + rr.instance + " " + rr.www, "200 <urn:uuid:1> https://127.0.0.5/");
  EXPECT_EQ(rr.contact,
            "<sip:edge.example;lr>, "
            "<sip:100@127.0.0.5:5070>;expires=200;+sip.instance=\"<urn:uuid:1>\";reg-id=1");
  EXPECT_TRUE(binding().outbound && binding().path && binding().keep_alive);

  answer_register(2, 200, "OK", 200);
  const sip_message& ok = sent.back();
  ASSERT_EQ(ok.path.size(), 1u);
  EXPECT_EQ(ok.path[0].addr_spec().get_host(), "edge.example");
  EXPECT_EQ(ok.get_other_header("Require", "") + " " + ok.get_other_header("Supported", "k"),
            "outbound path");
  // The bound Contact is returned with only its expires parameter.
  ASSERT_EQ(ok.contact.size(), 1u);
  EXPECT_EQ(ok.contact[0].addr_spec().serialize(), "sip:100@127.0.0.5:5070");
  const str params = ok.contact[0].get_parameters_as_string();
  EXPECT_TRUE(params.starts_with(str("expires=")) && params.find(str(" ")) < 0) << params.c_str();
}

TEST_F(RegInTest, OtherRequestsInTheBindingsDialogAndReauthentication) {
  const str tag = registered().to.tag();
  fake_user calls;
  registrar_transaction_user user(calls);
  // Hands over the request method with the To tag to_tag; what was answered ("" for nothing).
  auto in_dialog = [&](const char* method, const str& to_tag) {
    sip_message m = request(10, "", via("9"), method);
    if (!to_tag.empty()) m.to.set_tag(to_tag);
    sent.clear();
    user.travel_forward(m, str());
    return sent.empty() ? std::string() : status() + " " + std::string(sent[0].cseq_method.view());
  };
  // NOTIFY: 200, with or without the dialog's tag; ACK: nothing; others in the dialog: 405 with
  // the dialog's tag and what it allows.
  EXPECT_EQ(in_dialog("NOTIFY", ""), "200 OK 10 NOTIFY");
  EXPECT_EQ(in_dialog("OPTIONS", tag), "200 OK 10 OPTIONS");
  EXPECT_EQ(in_dialog("ACK", tag), "");
  EXPECT_EQ(in_dialog("MESSAGE", tag), "405 Method Not Allowed 10 MESSAGE");
  EXPECT_EQ(sent[0].get_other_header("Allow", ""), "REGISTER, SUBSCRIBE, NOTIFY, OPTIONS");
  EXPECT_EQ(sent[0].to.tag(), tag);
  EXPECT_TRUE(calls.forwarded.empty());
  // Outside the dialog (another tag, none) the call logic gets it; the binding is untouched.
  EXPECT_EQ(in_dialog("INVITE", "") + in_dialog("INFO", "other"), "");
  EXPECT_EQ(calls.forwarded.size(), 2u);
  EXPECT_TRUE(binding().bound);
  EXPECT_EQ(binding().removal_seconds(), 375);
  // A request after the reauthentication budget is challenged.
  EXPECT_GE(binding().reauth_counter, 95);
  EXPECT_LE(binding().reauth_counter, 158);
  binding().reauth_counter = 0;
  receive(request(3));
  EXPECT_EQ(sent.back().code, 401);
}

// A SUBSCRIBE for dialog events of a list: its decision and 200 (Require: eventlist), the list
// NOTIFY in the subscription's dialog with its multipart body intact. A NOTIFY of another event
// ends the subscription; without a route set nothing is sent; on a flow it goes along the flow.
TEST_F(RegInTest, SubscriptionForAListAndItsNotifies) {
  std::string extra =
      "Event: dialog;x=1\r\nSupported: eventlist, path\r\nExpires: 100\r\n"
      "Record-Route: <sip:10.0.0.7;lr>\r\n";
  EXPECT_EQ(check_for_eventlist(request(1, extra, via("1"), "SUBSCRIBE")), "eventlist");
  EXPECT_EQ(check_for_eventlist(request(1, "Event: presence\r\nSupported: eventlist\r\n")), "");
  const sip_message ok = registered(extra, "SUBSCRIBE", 100);
  auto rr = last_posted<msg::register_request>();
  EXPECT_EQ(rr.event + " " + rr.event_parameters + " " + rr.expires, "dialog x=1 100");
  EXPECT_EQ(ok.get_other_headers("Require", "").back(), "eventlist");
  EXPECT_EQ(ok.get_other_header("Supported", "k"), "path");
  EXPECT_GE(ok.expires.value(), 98);
  EXPECT_LE(ok.expires.value(), 102);
  ASSERT_EQ(ok.contact.size(), 1u);
  EXPECT_EQ(ok.contact[0].addr_spec().get_host(), "{x-pre-adr}");

  str ct;
  str body = rlmi_list_body("sip:100@localhost", 0,
                            {{"sip:101@localhost", c_application_dialog_info,
                              dialog_info_body("sip:101@localhost", 0, false)}},
                            ct);
  ASSERT_TRUE(registrar_on_soap(soap_write(msg::subscription_notify{"c1@x", "dialog", ct, body})));
  const str text = sent.back().serialize(ip_port::from_text("127.0.0.5:5070"), transport_type::udp);
  // No local address is installed here: the Contact's placeholders expand to nothing.
  EXPECT_EQ(text,
            "NOTIFY sip:100@127.0.0.5:5070 SIP/2.0\r\nRoute: <sip:10.0.0.7;lr>\r\n"
            "From: <sip:100@localhost>;tag=" +
                ok.to.tag() +
                "\r\nTo: <sip:100@localhost>;tag=f1\r\n"
                "Call-ID: c1@x\r\nCSeq: 0 NOTIFY\r\nMax-Forwards: 70\r\n"
                "Contact: <sip::;transport=udp>\r\nEvent: dialog\r\n"
                "Subscription-State: active;expires=115\r\nContent-Type: " +
                ct + str::sprintf("\r\nContent-Length: %u\r\n\r\n", unsigned(body.length())) +
                body);
  EXPECT_EQ(sent.back().outbound_proxy, "");  // no keep-alive: routed by URI and Route
  // What the phone receives splits into the RLMI document and the resource's part.
  EXPECT_EQ(sip_message(text).bodies.size(), 2u);

  // Another event: terminated, and the dialog ends with it. Then the route set is gone.
  binding().send_notify("message-summary", "", "");
  EXPECT_EQ(sent.back().get_other_header("Subscription-State", ""), "terminated;reason=noresource");
  EXPECT_EQ(dialog_cseq_count(), 0u);

  size_t n_sent = sent.size();
  binding().route_set.clear();
  binding().send_notify("dialog", "", "");
  EXPECT_EQ(sent.size(), n_sent);
  EXPECT_EQ(log_capture::lines().back().text, "Empty Route set, not sending NOTIFY");

  // A registration on a flow sends along the flow.
  reg_in& r = binding();
  r.route_set = "<sip:100@192.0.2.1:5060>";
  r.keep_alive = true;
  r.send_notify("dialog", "", "");
  EXPECT_EQ(sent.back().outbound_proxy, "sip:127.0.0.5:5070;transport=udp");
  EXPECT_EQ(find_registration(sent.back()), &r);
  sip_message stranger = request(1);
  stranger.call_id = "nobody";
  EXPECT_EQ(find_registration(stranger), nullptr);
  EXPECT_EQ(log_capture::lines().back().text,
            "Cannot determine from what registration the request was sent");
}

// A phone at 127.0.0.5:5070 that registers through the real transaction layer over the fake
// transport: what the registrar sends is read back from env.transport.
class ThroughTransactions : public RegInTest {
 protected:
  void SetUp() override {
    RegInTest::SetUp();
    set_sip_transaction_user(&user);
    use_send([](const sip_message& m) { return sent.push_back(m), srv_context::send_default(m); });
  }
  void receive(const str& text) { process_pdu("udp0", text, phone, transport_type::udp); }
  // What went out, in order: each response's code, with "=" when its bytes repeat the previous
  // one's; then "/" and the number of messages posted to the PBX half.
  std::string wire() const {
    std::string out;
    for (size_t i = 0; i < env.transport.sent.size(); i++)
      out += std::to_string(env.transport.sent[i].parsed().code) +
             (i && env.transport.sent[i].text == env.transport.sent[i - 1].text ? "= " : " ");
    return out + "/" + std::to_string(posted.size());
  }
  transaction_env env;
  registrar_transaction_user user{env.user, [] { return waiting; }};
  const ip_port phone = ip_port::from_text("127.0.0.5:5070");
  receive_scope hooks{phone.address};
};

// The phone repeats its REGISTER every 500 ms until it hears something. A repeat while the PBX
// half decides (policy or decision) has no response the transaction layer could repeat: the
// registrar drops it. A repeat after the answer gets the same bytes (the transaction layer's
// RepeatedByeGetsTheStoredBytesOfASlimmedOk).
TEST_F(ThroughTransactions, RepeatsGetOneAnswerEach) {
  receive(request_text(1));
  env.run_until(500);
  receive(request_text(1));
  EXPECT_EQ(binding().policy_queue().size(), 1u);
  answer_policy();
  EXPECT_EQ(binding().credentials.nonces.size(), 1u);  // no second challenge issued
  receive(request_text(1));
  EXPECT_EQ(wire(), "401 401= /1");

  const str second = request_text(
      2, "Authorization: " + std::string(authorization(request(2), last_nonce()).view()) + "\r\n",
      via("2"));
  for (int64_t at : {500, 900, 1300}) {  // inside the second the binding waits for its decision
    env.run_until(at);
    receive(second);
  }
  EXPECT_EQ(binding().decision_queue().size(), 1u);
  EXPECT_EQ(wire(), "401 401= /2");
  answer_register(2, 200, "OK", 360);
  EXPECT_EQ(wire(), "401 401= 200 /2");
  EXPECT_TRUE(env.user.forwarded.empty());
}

// While more than overload_backlog_bytes wait, a new Call-ID gets 503 with Retry-After (its
// repeat the same bytes, nothing reaches the PBX half); a Call-ID already being served goes on,
// and once the backlog is gone new ones are served again.
TEST_F(ThroughTransactions, NewRegistrationsRefusedWhileBehindOthersServed) {
  receive(request_text(1, "", via("1"), "REGISTER", "served@x"));
  waiting = overload_backlog_bytes + 1;
  receive(request_text(1, "", via("2"), "REGISTER", "new@x"));
  receive(request_text(1, "", via("2"), "REGISTER", "new@x"));
  receive(request_text(1, "", via("3"), "REGISTER", "served@x"));  // waits: absorbed
  EXPECT_EQ(wire(), "503 503= /1");
  const sip_message refused = env.transport.sent[0].parsed();
  EXPECT_EQ(refused.reason, "Service Unavailable");
  const int retry_after = refused.get_other_header("Retry-After", "").value();
  EXPECT_GE(retry_after, 5);
  EXPECT_LE(retry_after, 30);
  EXPECT_EQ(env.transport.sent[0].destination, phone);
  EXPECT_TRUE(!reg_ins.count("new@x") && reg_ins.count("served@x"));
  waiting = overload_backlog_bytes;
  receive(request_text(1, "", via("4"), "REGISTER", "later@x"));
  EXPECT_EQ(wire(), "503 503= /2");
}

// ---- The messages between the sides ----------------------------------------------------------

template <class M>
void round_trip_and_refusals() {
  SCOPED_TRACE(M::soap_name);
  M m, back;
  int i = 0;  // every field a text of its own, with the characters XML must escape
  for (const auto& f : M::soap_fields()) m.*f.member = str::sprintf("%S %d <&\"'>", f.name, i++);
  const str text = soap_write(m);
  ASSERT_TRUE(soap_read(text, back));
  EXPECT_EQ(back, m);
  // Each required field in turn misspelled: refused, and the log names message and field.
  for (const auto& f : M::soap_fields()) {
    if (f.optional) continue;
    std::string t(text.view());
    for (std::string tag : {std::string("<") + f.name + ">", std::string("</") + f.name + ">"}) {
      size_t at = t.find(tag);
      ASSERT_NE(at, std::string::npos) << tag;
      t.replace(at, tag.size(), tag.substr(0, tag.size() - 1) + "x>");
    }
    log_capture::clear();
    EXPECT_FALSE(soap_read(str(t), back)) << f.name;
    EXPECT_EQ(log_capture::texts(), std::vector<std::string>{std::string("Message ") +
                                                             M::soap_name + " without " + f.name});
  }
}

TEST(SipMessages, EveryKindRoundTripsAndRefusesAMissingField) {
  log_capture logs;
  using registrar =
      std::tuple<msg::get_register_policy, msg::set_register_policy, msg::register_request,
                 msg::register_response, msg::rru, msg::register_expires, msg::subscription_notify,
                 msg::black_list_adr>;
  const auto all = [](auto... m) { (round_trip_and_refusals<decltype(m)>(), ...); };
  std::apply(all, registrar());
  std::apply(all, msg::call_events());
  std::apply(all, msg::call_commands());
}

// The bytes on the queue: the envelope, the element names of each message (RRU's "Call-ID",
// SetDialogCredentials' "CallID"), children in order, escaped values, and optional children
// left out when empty. Another message is not read as this one, and nothing is logged for it.
TEST(SipMessages, QueueTextAndOtherMessages) {
  const std::string envelope =
      "<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n"
      "<env:Envelope xmlns:env=\"http://schemas.xmlsoap.org/soap/envelope/\" "
      "xmlns:t=\"urn:telmond\"><env:Body>";
  const std::pair<str, std::string> cases[] = {
      {soap_write(msg::rru{"c1@x", "3", "360", ""}),
       "<t:RRU><Call-ID>c1@x</Call-ID><CSeq>3</CSeq><Expires>360</Expires></t:RRU>"},
      {soap_write(msg::black_list_adr{"192.0.2.1", "true", "a<b"}),
       "<t:BlackListAdr><Adr>192.0.2.1</Adr><State>true</State><Reason>a&lt;b</Reason>"
       "</t:BlackListAdr>"},
      {soap_write(msg::get_dialog_state{"7", "a@b", "<sip:1@x>;tag=1", "<sip:2@x>", "sip:2@x",
                                        "udp:127.0.0.1:5060", "0", "", "", "", "", "true"}),
       "<t:GetDialogState><Call-ID>7</Call-ID><SIP-ID>a@b</SIP-ID><From>&lt;sip:1@x&gt;;tag=1"
       "</From><To>&lt;sip:2@x&gt;</To><URI>sip:2@x</URI><Transport>udp:127.0.0.1:5060"
       "</Transport><Codec>0</Codec><Privacy>true</Privacy></t:GetDialogState>"},
      {soap_write(msg::set_dialog_credentials{"3", "carrier.test", "pbx", "p&w"}),
       "<t:SetDialogCredentials><CallID>3</CallID><Realm>carrier.test</Realm><Username>pbx"
       "</Username><Password>p&amp;w</Password></t:SetDialogCredentials>"}};
  for (const auto& [text, body] : cases)
    EXPECT_EQ(text.view(), envelope + body + "</env:Body></env:Envelope>\r\n");
  log_capture logs;
  msg::register_expires e;
  EXPECT_FALSE(soap_read(soap_write(msg::rru{"c1@x", "3", "360", ""}), e));
  EXPECT_FALSE(soap_read(str("not a message"), e));
  EXPECT_TRUE(log_capture::lines().empty());
}

}  // namespace
