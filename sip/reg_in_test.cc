// The srv half of the registrar under a manual clock: responses and the messages to the PBX
// half are captured; the PBX half's answers are fed in as the texts it would post.
#include "sip/reg_in.h"

#include <gtest/gtest.h>
#include <rapidcheck.h>

#include <string>
#include <vector>

#include "base/file_system.h"
#include "base/log.h"
#include "base/log_capture_test_util.h"
#include "frame/clock.h"
#include "frame/settings.h"
#include "sip/address_list.h"
#include "sip/digest_auth.h"
#include "sip/notify_body.h"
#include "sip/pending_packet.h"
#include "sip/registrar_user.h"
#include "sip/sip_connection.h"
#include "sip/sip_messages.h"
#include "sip/sip_transport.h"
#include "sip/srv_context.h"
#include "sip/transaction_test_fakes.h"

namespace {

std::vector<sip_message> sent;
std::vector<str> posted;

int capture_send(const sip_message& m) {
  sent.push_back(m);
  return 0;
}
void capture_post(const str& t) { posted.push_back(t); }

class RegInTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sent.clear();
    posted.clear();
    init_config();
    registrar_clear();
    clear_pending_packets();
    bw_clear();
    use_send(capture_send);
    set_auth_hooks(&registrar_auth_hooks());
  }
  void TearDown() override {
    registrar_clear();
    use_context.reset();
    set_auth_hooks(nullptr);
  }

  // The side's context of the test: messages to the PBX half and the removal timers captured;
  // requests and responses sent through send (capture_send, or the real transaction layer).
  void use_send(int (*send)(const sip_message&)) {
    use_context.reset();
    srv_context c;
    c.post = capture_post;
    c.send = send;
    c.queue = &queue;
    use_context = std::make_unique<scoped_srv_context>(c);
  }
  std::unique_ptr<scoped_srv_context> use_context;
  log_capture log;

  // Runs every timer that is due now.
  void run_timers() {
    while (queue.size() && queue.first_due() <= clock_now()) queue.next();
  }

  // The phone's Via with branch z9hG4bK<branch>.
  static std::string via(const std::string& branch) {
    return "SIP/2.0/UDP 127.0.0.5:5070;branch=z9hG4bK" + branch;
  }
  static str request_text(unsigned cseq, const std::string& extra = "",
                          const std::string& via = RegInTest::via("1"),
                          const char* method = "REGISTER") {
    std::string t = std::string(method) + " sip:localhost SIP/2.0\r\nVia: " + via +
                    "\r\nFrom: <sip:100@localhost>;tag=f1\r\nTo: <sip:100@localhost>\r\n"
                    "Call-ID: c1@x\r\nCSeq: " +
                    std::to_string(cseq) + " " + method +
                    "\r\nContact: <sip:100@127.0.0.5:5070>\r\n" + extra + "\r\n";
    return str(t);
  }
  static sip_message request(unsigned cseq, const std::string& extra = "",
                             const std::string& via = RegInTest::via("1"),
                             const char* method = "REGISTER") {
    sip_message m{request_text(cseq, extra, via, method)};
    m.peer = ip_port::from_text("127.0.0.5:5070");
    m.transport = transport_type::udp;
    return m;
  }
  static str authorization(const sip_message& m, const str& nonce, const char* password) {
    str uri = m.request_uri.serialize();
    return str::sprintf(
        "Digest username=\"100\",realm=\"localhost\",nonce=\"%s\",uri=\"%s\",response=\"%s\","
        "algorithm=MD5",
        nonce, uri, auth_md5_hex(nonce, "100", "localhost", password, m.method, uri, "", "", ""));
  }
  // The last message posted to the PBX half, read as M.
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
  static void answer_policy(bool found = true) {
    ASSERT_TRUE(registrar_on_soap(soap_write(msg::set_register_policy{
        "c1@x", found ? "true" : "false", "", "localhost", "100", "sip100", "", ""})));
  }
  static void answer_register(unsigned cseq, int code, const char* reason, int expires) {
    ASSERT_TRUE(registrar_on_soap(soap_write(
        msg::register_response{"c1@x", str::sprintf("%u", cseq), str::sprintf("%d", code), reason,
                               str::sprintf("%d", expires)})));
  }
  // The nonce of the challenge sent last.
  str last_nonce() {
    return parse_auth_header(sent.back().get_other_header("WWW-Authenticate", "")).get("nonce");
  }
  // Receives r; returns the nonce of the 401 it got.
  str challenged(sip_message r) {
    registrar_receive(r);
    EXPECT_FALSE(sent.empty());
    if (sent.empty()) return str();
    EXPECT_EQ(sent.back().code, 401);
    return last_nonce();
  }
  // Receives first, answers the policy with the account's credentials and receives second
  // with an Authorization made with password for the nonce of the challenge.
  void authenticate(sip_message first, sip_message second, const char* password = "sip100") {
    registrar_receive(first);
    answer_policy();
    second.add_other_header("Authorization", "", authorization(second, last_nonce(), password));
    registrar_receive(second);
  }
  void authenticate(const std::string& extra, const std::string& via,
                    const char* method = "REGISTER") {
    authenticate(request(1, extra, via, method), request(2, extra, via, method));
  }
  // The whole first registration: policy, challenge, answer, decision; returns the 200.
  sip_message registered(const std::string& extra = "", int granted = 360) {
    authenticate(request(1, extra), request(2, extra));
    answer_register(2, 200, "OK", granted);
    return sent.back();
  }
  // Receives a request made on the spot.
  static void receive(sip_message m) { registrar_receive(m); }

  manual_clock clock;
  scoped_clock use_clock{&clock};
  memory_file_system mfs;
  scoped_file_system use_fs{&mfs};
  timeout_queue queue;
};

TEST_F(RegInTest, PolicyChallengeDecisionAndOk) {
  sip_message first = request(1, "Expires: 3600\r\n");
  registrar_receive(first);
  // Nothing is answered before the policy is known; the PBX half is asked once.
  EXPECT_TRUE(sent.empty());
  auto ask = last_posted<msg::get_register_policy>();
  EXPECT_EQ(ask.call_id, "c1@x");
  EXPECT_EQ(ask.adr, "127.0.0.5");
  // A new request (new branch) while the policy is still unknown waits as well.
  receive(request(1, "Expires: 3600\r\n", via("9")));
  EXPECT_EQ(posted.size(), 1u);
  EXPECT_EQ(reg_ins["c1@x"]->policy_queue().size(), 2u);

  answer_policy();
  ASSERT_EQ(sent.size(), 2u);  // both waiting requests challenged
  EXPECT_EQ(sent[0].code, 401);
  EXPECT_EQ(reg_ins["c1@x"]->removal_seconds(), 15);

  str nonce = last_nonce();
  sip_message second = request(2, "Expires: 3600\r\n");
  second.add_other_header("Authorization", "", authorization(second, nonce, "sip100"));
  registrar_receive(second);
  ASSERT_EQ(sent.size(), 2u);
  auto rr = last_posted<msg::register_request>();
  EXPECT_EQ(rr.expires, "3600");
  EXPECT_EQ(rr.cseq, "2");
  EXPECT_EQ(rr.contact, "<sip:100@127.0.0.5:5070>");
  EXPECT_EQ(rr.from, "<sip:100@localhost>;tag=f1");
  EXPECT_EQ(reg_ins["c1@x"]->removal_seconds(), 1);

  answer_register(2, 200, "OK", 360);
  ASSERT_EQ(sent.size(), 3u);
  const sip_message& ok = sent.back();
  EXPECT_EQ(ok.code, 200);
  EXPECT_FALSE(ok.to.tag().empty());
  ASSERT_EQ(ok.contact.size(), 1u);
  int announced = ok.contact[0].extract_parameter("expires").value();
  EXPECT_GE(announced, 358);
  EXPECT_LE(announced, 362);
  // The first 200 after an authentication carries the clock's time as an HTTP date in GMT.
  EXPECT_EQ(ok.get_other_header("Date", ""), "Thu, 01 Jan 2026 00:00:00 GMT");
  EXPECT_EQ(reg_ins["c1@x"]->removal_seconds(), 375);
  EXPECT_TRUE(reg_ins["c1@x"]->bound);
}

TEST_F(RegInTest, RefreshIsAnsweredAtOnceWithoutChallengeOrDecision) {
  registered();
  size_t posts = posted.size();
  receive(request(3));
  ASSERT_EQ(posted.size(), posts + 1);
  auto rru = last_posted<msg::rru>();
  EXPECT_EQ(rru.call_id, "c1@x");
  EXPECT_EQ(rru.cseq, "3");
  EXPECT_TRUE(rru.body.empty());
  EXPECT_EQ(sent.back().code, 200);
  EXPECT_EQ(sent.back().cseq, 3u);
  EXPECT_EQ(sent.back().get_other_header("Date", ""), "");  // only after an authentication

  // A changed Contact is a new decision, still without a challenge.
  receive(request(4, "User-Agent: other\r\n"));
  EXPECT_EQ(last_name(), "RegisterRequest");
  EXPECT_EQ(sent.back().cseq, 3u);
}

TEST_F(RegInTest, ReauthenticationAfterTheBudget) {
  registered();
  reg_in& r = *reg_ins["c1@x"];
  EXPECT_GE(r.reauth_counter, 95);
  EXPECT_LE(r.reauth_counter, 158);
  r.reauth_counter = 0;
  receive(request(3));
  EXPECT_EQ(sent.back().code, 401);
}

TEST_F(RegInTest, WrongPasswordGetsWarning) {
  authenticate(request(1), request(2), "wrong");
  EXPECT_EQ(sent.back().code, 401);
  EXPECT_EQ(sent.back().get_other_header("Warning", ""), "399 localhost Password does not match");
  EXPECT_EQ(last_name(), "GetRegisterPolicy");
}

TEST_F(RegInTest, NatTreatment) {
  // rport differing from the Via's own port: behind NAT, granted nat_udp.
  registered("", 30);
  registrar_clear();
  authenticate("Expires: 3600\r\n",
               "SIP/2.0/UDP 10.0.0.1:5060;rport=40000;received=127.0.0.5;branch=z9");
  EXPECT_EQ(last_posted<msg::register_request>().expires, "30");
  EXPECT_TRUE(reg_ins["c1@x"]->keep_alive);

  // Through a proxy (two Vias) there is no NAT treatment while register_via_count is true.
  registrar_clear();
  authenticate("Expires: 3600\r\nVia: SIP/2.0/UDP 10.0.0.1:5060;rport=1;branch=z2\r\n",
               "SIP/2.0/UDP 127.0.0.9:5060;received=127.0.0.5;branch=z1");
  EXPECT_EQ(last_posted<msg::register_request>().expires, "3600");
  EXPECT_FALSE(reg_ins["c1@x"]->keep_alive);
}

TEST_F(RegInTest, RejectionCarriesRetryAfterAndExpiresTheBinding) {
  authenticate(request(1), request(2));
  answer_register(2, 403, "Too Many Registrations", 0);
  EXPECT_EQ(sent.back().code, 403);
  EXPECT_EQ(sent.back().reason, "Too Many Registrations");
  EXPECT_EQ(sent.back().get_other_header("Retry-After", ""), "3600");

  // An answer for a request that is not queued.
  answer_register(9, 200, "OK", 60);
  EXPECT_EQ(log_capture::lines().back().text, "RegisterResponse 9 not found");

  clock.advance_ms(999);
  run_timers();
  EXPECT_EQ(reg_ins.count("c1@x"), 1u);
  clock.advance_ms(1);
  run_timers();
  EXPECT_EQ(reg_ins.count("c1@x"), 0u);
  EXPECT_EQ(last_name(), "RegisterExpires");
  EXPECT_TRUE(ipadr2regs.empty());
  remove_registration("c1@x");
  EXPECT_EQ(log_capture::lines().back().text, "Cannot find registration c1@x");
}

// A refusal that the PBX half decides from the addresses alone (unknown account, From in
// another domain, unknown From user, From not an extension) is answered at once, without a
// challenge: with the empty credentials of such a policy the request used to be dropped
// without an answer. The binding goes a second later.
TEST_F(RegInTest, RefusalOfThePolicyIsAnsweredBeforeAnyChallenge) {
  const struct {
    bool found;
    int code;
    const char* reason;
  } refusals[] = {{false, 404, nullptr},
                  {true, 403, "Forbidden"},
                  {true, 404, "Not Found"},
                  {true, 404, "Registration Not Possible"}};
  for (const auto& r : refusals) {
    SCOPED_TRACE(r.code);
    sent.clear();
    sip_message first = request(1);
    registrar_receive(first);
    msg::set_register_policy refusal;
    refusal.call_id = "c1@x";
    refusal.found = r.found ? "true" : "false";
    refusal.code = r.reason ? str::sprintf("%d", r.code) : str();
    refusal.reason = r.reason ? r.reason : "";
    ASSERT_TRUE(registrar_on_soap(soap_write(refusal)));
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].code, r.code);
    if (r.reason) {
      EXPECT_EQ(sent[0].reason, r.reason);
    }
    EXPECT_EQ(sent[0].get_other_header("Retry-After", ""), "3600");
    clock.advance_ms(1000);
    run_timers();
    EXPECT_TRUE(reg_ins.empty());
  }
}

// A REGISTER binds its first sip/sips Contact (one binding per Call-ID); the 200 lists just
// that one, so a phone that sent two does not believe both bound.
TEST_F(RegInTest, OfTwoContactsTheFirstIsBoundAndListed) {
  const sip_message ok = registered("Contact: <sip:100@192.0.2.8:5080>\r\n");
  ASSERT_EQ(ok.code, 200);
  ASSERT_EQ(ok.contact.size(), 1u);
  EXPECT_EQ(ok.contact[0].addr_spec().serialize(), "sip:100@127.0.0.5:5070");
  EXPECT_FALSE(ok.contact[0].extract_parameter("expires").empty());
  msg::register_request decision;
  ASSERT_TRUE(soap_read(posted[1], decision));
  EXPECT_EQ(decision.contact, "<sip:100@127.0.0.5:5070>");
}

// A phone retransmits its REGISTER every 500 ms until it hears something. While the request
// waits for the PBX half no response exists that the transaction layer could repeat, so the
// repeats reach the registrar; they are dropped there: one challenge, one decision, one 200.
TEST_F(RegInTest, RetransmissionsWhileWaitingAreAbsorbed) {
  receive(request(1));
  clock.advance_ms(500);
  run_timers();
  sip_message repeat = request(1);
  registrar_receive(repeat);
  EXPECT_EQ(reg_ins["c1@x"]->policy_queue().size(), 1u);
  EXPECT_EQ(posted.size(), 1u);
  answer_policy();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].code, 401);
  EXPECT_EQ(reg_ins["c1@x"]->credentials.nonces.size(), 1u);  // no second challenge issued

  str nonce = parse_auth_header(sent[0].get_other_header("WWW-Authenticate", "")).get("nonce");
  const str authorization_value = authorization(request(2), nonce, "sip100");
  auto with_credentials = [&](unsigned cseq, const std::string& extra, const std::string& branch) {
    sip_message m = request(cseq, extra, branch);
    m.add_other_header("Authorization", "", authorization_value);
    return m;
  };
  sip_message second = with_credentials(2, "", via("2"));
  registrar_receive(second);
  ASSERT_EQ(posted.size(), 2u);
  EXPECT_EQ(last_name(), "RegisterRequest");
  for (int i = 0; i < 2; i++) {
    clock.advance_ms(400);  // inside the second the binding waits for its decision
    run_timers();
    receive(with_credentials(2, "", via("2")));
  }
  EXPECT_EQ(posted.size(), 2u);
  EXPECT_EQ(sent.size(), 1u);
  EXPECT_EQ(reg_ins["c1@x"]->decision_queue().size(), 1u);
  answer_register(2, 200, "OK", 360);
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[1].code, 200);
  EXPECT_TRUE(reg_ins["c1@x"]->decision_queue().empty());

  // A refresh that needs a decision (the User-Agent changed): its repeat must not be taken
  // for a plain refresh of the fingerprint just stored and answered at once.
  receive(request(3, "User-Agent: other\r\n", via("3")));
  ASSERT_EQ(posted.size(), 3u);
  EXPECT_EQ(last_name(), "RegisterRequest");
  receive(request(3, "User-Agent: other\r\n", via("3")));
  EXPECT_EQ(posted.size(), 3u);
  EXPECT_EQ(sent.size(), 2u);
  answer_register(3, 200, "OK", 360);
  EXPECT_EQ(sent.size(), 3u);
  EXPECT_EQ(sent.back().code, 200);
  // The same CSeq under another branch is another transaction, not a repeat: answered (as a
  // refresh of the fingerprint now stored).
  receive(request(3, "User-Agent: other\r\n", via("4")));
  EXPECT_EQ(sent.size(), 4u);
}

// pack_texts: the values stay, the non-empty ones end up in one buffer that fits them, and a
// text that was a window on something else no longer keeps that alive.
TEST(PackTexts, ValuesKeptInOneBufferOfTheirOwn) {
  rc::check([](const std::vector<std::string>& values) {
    const str packet(std::string(4000, 'p'));
    std::vector<str> texts;
    size_t total = 0;
    for (const std::string& v : values) {
      texts.push_back(v.empty() ? str() : str(packet + str(v)).substr(4000));
      total += v.size();
    }
    std::vector<str*> pointers;
    for (str& t : texts) pointers.push_back(&t);
    pack_texts(pointers);
    const str* first = nullptr;
    for (size_t i = 0; i < values.size(); i++) {
      RC_ASSERT(texts[i].view() == values[i]);
      if (texts[i].empty()) continue;
      if (!first) first = &texts[i];
      RC_ASSERT(texts[i].shares_with(*first));
      RC_ASSERT(texts[i].capacity() <= str::class_capacity(str::block_class(total + 1)));
    }
  });
}

TEST_F(RegInTest, BoundExpiresAfterGrantPlus15Seconds) {
  registered();
  clock.advance_ms(374000);
  run_timers();
  EXPECT_EQ(reg_ins.size(), 1u);
  clock.advance_ms(1000);
  run_timers();
  EXPECT_TRUE(reg_ins.empty());
}

TEST_F(RegInTest, QueuesHoldTenRequests) {
  for (unsigned i = 1; i <= 11; i++) {
    receive(request(i));
  }
  EXPECT_EQ(reg_ins["c1@x"]->policy_queue().size(), 10u);
  EXPECT_EQ(reg_ins["c1@x"]->policy_queue().front().request.cseq, 2u);
  EXPECT_EQ(log_capture::lines().back().text, "Security has 10 pending packets");
}

TEST_F(RegInTest, SubscribeForDialogWithEventlist) {
  std::string extra = "Event: dialog;x=1\r\nSupported: eventlist, path\r\nExpires: 100\r\n";
  EXPECT_EQ(check_for_eventlist(request(1, extra, via("1"), "SUBSCRIBE")), "eventlist");
  EXPECT_EQ(check_for_eventlist(request(1, "Event: presence\r\nSupported: eventlist\r\n")), "");
  authenticate(extra, via("1"), "SUBSCRIBE");
  auto rr = last_posted<msg::register_request>();
  EXPECT_EQ(rr.event, "dialog");
  EXPECT_EQ(rr.event_parameters, "x=1");
  EXPECT_EQ(rr.expires, "100");
  answer_register(2, 200, "OK", 100);
  const sip_message& ok = sent.back();
  EXPECT_EQ(ok.code, 200);
  EXPECT_EQ(ok.get_other_headers("Require", "").back(), "eventlist");
  EXPECT_EQ(ok.get_other_header("Supported", "k"), "path");
  EXPECT_GE(ok.expires.value(), 98);
  EXPECT_LE(ok.expires.value(), 102);
  ASSERT_EQ(ok.contact.size(), 1u);
  EXPECT_EQ(ok.contact[0].addr_spec().get_host(), "{x-pre-adr}");
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

TEST_F(RegInTest, NotifyInTheSubscriptionDialog) {
  std::string extra = "Event: message-summary\r\nExpires: 100\r\n";
  sip_message s = request(1, extra, via("1"), "SUBSCRIBE");
  s.add_record_route("<sip:10.0.0.7;lr>");
  sip_message s2 = s;
  s2.cseq = 2;
  authenticate(s, s2);
  answer_register(2, 200, "OK", 100);
  str tag = sent.back().to.tag();
  ASSERT_TRUE(registrar_on_soap(soap_write(
      msg::subscription_notify{"c1@x", "message-summary", "application/simple-message-summary",
                               "Messages-Waiting: no\r\n"})));
  const sip_message& n = sent.back();
  // No local address is installed here: the Contact's placeholders expand to nothing.
  EXPECT_EQ(n.serialize(ip_port::from_text("127.0.0.5:5070"), transport_type::udp),
            "NOTIFY sip:100@127.0.0.5:5070 SIP/2.0\r\nRoute: <sip:10.0.0.7;lr>\r\n"
            "From: <sip:100@localhost>;tag=" +
                tag +
                "\r\nTo: <sip:100@localhost>;tag=f1\r\n"
                "Call-ID: c1@x\r\nCSeq: 0 NOTIFY\r\nMax-Forwards: 70\r\n"
                "Contact: <sip::;transport=udp>\r\nEvent: message-summary\r\n"
                "Subscription-State: active;expires=115\r\n"
                "Content-Type: application/simple-message-summary\r\nContent-Length: 22\r\n\r\n"
                "Messages-Waiting: no\r\n");
  EXPECT_EQ(n.outbound_proxy, "");  // no keep-alive: routed by URI and Route

  // Another event: terminated.
  reg_ins["c1@x"]->send_notify("dialog", "", "");
  EXPECT_EQ(sent.back().get_other_header("Subscription-State", ""), "terminated;reason=noresource");
  EXPECT_EQ(dialog_cseq_count(), 0u);  // the dialog ended with it

  // Without a route set nothing is sent.
  size_t n_sent = sent.size();
  reg_ins["c1@x"]->route_set.clear();
  reg_ins["c1@x"]->send_notify("message-summary", "", "");
  EXPECT_EQ(sent.size(), n_sent);
  EXPECT_EQ(log_capture::lines().back().text, "Empty Route set, not sending NOTIFY");

  // A registration on a flow sends along the flow.
  reg_in& r = *reg_ins["c1@x"];
  r.route_set = "<sip:100@192.0.2.1:5060>";
  r.keep_alive = true;
  r.send_notify("message-summary", "", "");
  EXPECT_EQ(sent.back().outbound_proxy, "sip:127.0.0.5:5070;transport=udp");
  EXPECT_EQ(find_registration(sent.back()), &r);
  sip_message stranger = request(1);
  stranger.call_id = "nobody";
  EXPECT_EQ(find_registration(stranger), nullptr);
  EXPECT_EQ(log_capture::lines().back().text,
            "Cannot determine from what registration the request was sent");
}

TEST_F(RegInTest, BindingOnAKeptTcpConnection) {
  const str name = "127.0.0.5:40001";
  sip_connections[name] =
      std::make_unique<sip_connection>(name, ip_port::from_text(name), false, true, -1);
  auto over_tcp = [&](unsigned cseq) {
    sip_message m = request(cseq, "Expires: 3600\r\n", "SIP/2.0/TCP 127.0.0.5:5070;branch=z9t");
    m.transport = transport_type::tcp;
    m.port_name = name;
    return m;
  };
  authenticate(over_tcp(1), over_tcp(2));
  // nat_tcp (180) is a number: the phone keeps its connection and refreshes every 180 s.
  EXPECT_EQ(last_posted<msg::register_request>().expires, "180");
  EXPECT_EQ(sip_connections[name]->registrations.count("c1@x"), 1u);
  answer_register(2, 200, "OK", 180);
  EXPECT_GE(sip_connections[name]->idle_timeout, 178 + 8);

  // The connection ends: so does the binding.
  registrar_connection_closed(*sip_connections[name]);
  EXPECT_TRUE(reg_ins.empty());
  EXPECT_EQ(last_name(), "RegisterExpires");
  EXPECT_TRUE(sip_connections[name]->registrations.empty());
  sip_connections.clear();
}

TEST_F(RegInTest, RegisterWithoutContactQueriesWithoutChange) {
  registered();
  size_t posts = posted.size();
  std::string t =
      "REGISTER sip:localhost SIP/2.0\r\nVia: SIP/2.0/UDP 127.0.0.5:5070;branch=z9q\r\n"
      "From: <sip:100@localhost>;tag=f1\r\nTo: <sip:100@localhost>\r\nCall-ID: c1@x\r\n"
      "CSeq: 3 REGISTER\r\n\r\n";
  sip_message q{str(t)};
  q.peer = ip_port::from_text("127.0.0.5:5070");
  q.transport = transport_type::udp;
  registrar_receive(q);
  EXPECT_EQ(sent.back().code, 200);
  EXPECT_EQ(sent.back().cseq, 3u);
  EXPECT_EQ(posted.size(), posts);  // the PBX half is not involved
  EXPECT_EQ(reg_ins["c1@x"]->removal_seconds(), 375);
}

// What a REGISTER's headers change: the Contact's expires parameter over the Expires header,
// outbound (kept flow, no NAT expiry, Require: outbound), path (Path copied, Supported: path),
// the web address (WWW-Contact, https preferred) and the instance.
TEST_F(RegInTest, RegisterHeaderDetails) {
  std::string extra =
      "Expires: 100\r\nSupported: outbound, path\r\nPath: <sip:edge.example;lr>\r\n"
      "WWW-Contact: <http://127.0.0.5/>\r\nWWW-Contact: <https://127.0.0.5/>\r\n"
      "Contact: <http://127.0.0.5:8080/>\r\n";
  sip_message first =
      request(1, extra, "SIP/2.0/UDP 10.0.0.1:5060;rport=40000;received=127.0.0.5;branch=z");
  first.contact[0] = from_to_spec(
      str("<sip:100@127.0.0.5:5070>;expires=200;+sip.instance=\"<urn:uuid:1>\";reg-id=1"));
  sip_message second = first;
  second.cseq = 2;
  authenticate(first, second);
  auto rr = last_posted<msg::register_request>();
  EXPECT_EQ(rr.expires, "200");            // outbound: no nat_udp
  EXPECT_EQ(rr.instance, "<urn:uuid:1>");  // unquoted
  EXPECT_EQ(rr.www, "https://127.0.0.5/");
  EXPECT_EQ(rr.contact,
            "<sip:edge.example;lr>, "
            "<sip:100@127.0.0.5:5070>;expires=200;+sip.instance=\"<urn:uuid:1>\";reg-id=1");
  reg_in& r = *reg_ins["c1@x"];
  EXPECT_TRUE(r.outbound);
  EXPECT_TRUE(r.path);
  EXPECT_TRUE(r.keep_alive);

  answer_register(2, 200, "OK", 200);
  const sip_message& ok = sent.back();
  ASSERT_EQ(ok.path.size(), 1u);
  EXPECT_EQ(ok.path[0].addr_spec().get_host(), "edge.example");
  EXPECT_EQ(ok.get_other_header("Require", ""), "outbound");
  EXPECT_EQ(ok.get_other_header("Supported", "k"), "path");
  // The bound Contact is returned with only its expires parameter; the http one is not bound.
  ASSERT_EQ(ok.contact.size(), 1u);
  EXPECT_EQ(ok.contact[0].extract_parameter("+sip.instance"), "");
  EXPECT_NE(ok.contact[0].extract_parameter("expires"), "");
}

// The call logic behind the registrar: counts what it is handed.
struct counting_user : sip_transaction_user {
  int forwarded = 0;
  void travel_forward(sip_message&, const str&) override { forwarded++; }
};

TEST_F(RegInTest, OtherRequestsInTheBindingsDialog) {
  str tag = registered().to.tag();
  counting_user calls;
  registrar_transaction_user user(calls);
  auto in_dialog = [&](const char* method, const char* to_tag) {
    sip_message m = request(10, "", via("9"), method);
    if (*to_tag) m.to.set_tag(to_tag);
    sent.clear();
    user.travel_forward(m, str());
    return m;
  };

  // NOTIFY: 200, with or without the dialog's tag; ACK: nothing; others in the dialog: 405.
  const struct {
    const char* method;
    bool tagged;
    int code;  // 0: no answer
  } cases[] = {{"NOTIFY", false, 200}, {"OPTIONS", true, 200}, {"ACK", true, 0},
               {"MESSAGE", true, 405}, {"INFO", true, 405},    {"PUBLISH", true, 405},
               {"BYE", true, 405}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.method);
    in_dialog(c.method, c.tagged ? tag.c_str() : "");
    ASSERT_EQ(sent.size(), c.code ? 1u : 0u);
    if (!c.code) continue;
    EXPECT_EQ(sent[0].code, c.code);
    EXPECT_EQ(sent[0].cseq_method, c.method);
    if (c.code != 405) continue;
    EXPECT_EQ(sent[0].reason, "Method Not Allowed");
    EXPECT_EQ(sent[0].get_other_header("Allow", ""), "REGISTER, SUBSCRIBE, NOTIFY, OPTIONS");
    EXPECT_EQ(sent[0].to.tag(), tag);
  }
  EXPECT_EQ(calls.forwarded, 0);

  // Outside the dialog (another tag, none) the call logic gets it; the binding is untouched.
  in_dialog("INVITE", "");
  in_dialog("INFO", "other");
  EXPECT_TRUE(sent.empty());
  EXPECT_EQ(calls.forwarded, 2);
  EXPECT_TRUE(reg_ins["c1@x"]->bound);
  EXPECT_EQ(reg_ins["c1@x"]->removal_seconds(), 375);
}

TEST_F(RegInTest, ListNotifyLeavesWithItsMultipartBodyIntact) {
  std::string extra = "Event: dialog\r\nSupported: eventlist\r\nExpires: 100\r\n";
  authenticate(extra, via("1"), "SUBSCRIBE");
  answer_register(2, 200, "OK", 100);

  str ct;
  str body = rlmi_list_body("sip:100@localhost", 0,
                            {{"sip:101@localhost", c_application_dialog_info,
                              dialog_info_body("sip:101@localhost", 0, false)}},
                            ct);
  ASSERT_TRUE(registrar_on_soap(soap_write(msg::subscription_notify{"c1@x", "dialog", ct, body})));
  const sip_message& n = sent.back();
  ASSERT_TRUE(n.is_request);
  EXPECT_EQ(n.get_other_header("Subscription-State", ""), "active;expires=115");
  str text = n.serialize(ip_port::from_text("127.0.0.5:5070"), transport_type::udp);
  EXPECT_NE(text.find(str("Content-Type: ") + ct + "\r\n"), -1) << text.c_str();
  EXPECT_NE(text.find(str::sprintf("Content-Length: %u\r\n", unsigned(body.length()))), -1);
  EXPECT_TRUE(text.ends_with(body));
  // What the phone receives splits into the RLMI document and the resource's part.
  sip_message received(text);
  EXPECT_EQ(received.bodies.size(), 2u);
}

// A phone at 127.0.0.5:5070 that registers or subscribes through the real transaction layer
// over the fake transport: what the registrar sends is read back from env.transport.
class ThroughTransactions : public RegInTest {
 protected:
  void SetUp() override {
    RegInTest::SetUp();
    set_sip_transaction_user(&user);
    install_transaction_receive_hooks();
    bw_add_source(phone.address, 32, true);
    use_send(srv_context::send_default);
  }
  void TearDown() override {
    set_sip_receive_hooks(nullptr);
    bw_clear();
    RegInTest::TearDown();
  }
  void receive(const str& text) { process_pdu("udp0", text, phone, transport_type::udp); }
  str subscribe_text(unsigned cseq, const std::string& authorization = "") {
    return request_text(cseq, "Event: message-summary\r\nExpires: 100\r\n" + authorization,
                        via("s" + std::to_string(cseq)), "SUBSCRIBE");
  }
  // Step by step: challenged, subscribed with credentials, decided 200.
  void subscribe() {
    receive(subscribe_text(1));
    answer_policy();
    const str nonce =
        parse_auth_header(last_sent().get_other_header("WWW-Authenticate", "")).get("nonce");
    sip_message with = request(2, "", "SIP/2.0/UDP 127.0.0.5:5070", "SUBSCRIBE");
    receive(subscribe_text(
        2, "Authorization: " + std::string(authorization(with, nonce, "sip100").view()) + "\r\n"));
    answer_register(2, 200, "OK", 100);
    ASSERT_EQ(last_sent().code, 200);
  }
  void notify(const char* body) {
    ASSERT_TRUE(registrar_on_soap(soap_write(msg::subscription_notify{
        "c1@x", "message-summary", "application/simple-message-summary", body})));
  }
  sip_message last_sent() const { return env.transport.sent.back().parsed(); }
  std::vector<sip_message> notifies() const {
    std::vector<sip_message> out;
    for (const fake_send& s : env.transport.sent)
      if (s.parsed().method == m_notify) out.push_back(s.parsed());
    return out;
  }
  // The phone's answer to a NOTIFY (a 401 challenges it).
  str answer_text(const sip_message& n, int code) const {
    sip_message r(code, code == 401 ? "Unauthorized" : "OK", n);
    if (code == 401)
      r.add_other_header("WWW-Authenticate", "", "Digest realm=\"phone\",nonce=\"n1\"");
    return r.serialize(phone, transport_type::udp);
  }

  transaction_env env;
  registrar_transaction_user user{env.user};
  const ip_port phone = ip_port::from_text("127.0.0.5:5070");
};

// The dialog's CSeq: every NOTIFY of one subscription takes the next number, across
// a refresh of the subscription, and the dialog ends with the terminating NOTIFY.
TEST_F(ThroughTransactions, NotifiesTakeIncreasingCSeqs) {
  subscribe();
  notify("Messages-Waiting: no\r\n");
  notify("Messages-Waiting: yes\r\n");
  receive(subscribe_text(3));  // the refresh: answered at once
  ASSERT_EQ(last_sent().code, 200);
  notify("Messages-Waiting: no\r\n");
  reg_ins["c1@x"]->send_notify("dialog", "", "");  // terminated
  const std::vector<sip_message> sent_notifies = notifies();
  ASSERT_EQ(sent_notifies.size(), 4u);
  for (size_t i = 1; i < sent_notifies.size(); i++)
    EXPECT_EQ(sent_notifies[i].cseq, sent_notifies[i - 1].cseq + 1) << i;
  EXPECT_EQ(dialog_cseq_count(), 0u);
}

// A challenged NOTIFY is sent once more, with credentials, the next CSeq and a branch
// of its own; a challenge to that copy, or a repeat of the first challenge, is not answered.
TEST_F(ThroughTransactions, ChallengedNotifyIsSentOnceMoreWithCredentials) {
  subscribe();
  notify("Messages-Waiting: yes\r\n");
  ASSERT_EQ(notifies().size(), 1u);
  const sip_message first = notifies()[0];
  receive(answer_text(first, 401));
  ASSERT_EQ(notifies().size(), 2u);
  const sip_message copy = notifies()[1];
  EXPECT_EQ(copy.cseq, first.cseq + 1);
  EXPECT_NE(get_via_parameter(copy.via[0], "branch"), get_via_parameter(first.via[0], "branch"));
  const auth_header_value h = parse_auth_header(copy.get_other_header("Authorization", ""));
  const str uri = copy.request_uri.serialize();
  EXPECT_EQ(h.get("response"),
            auth_md5_hex("n1", "100", "phone", "sip100", "NOTIFY", uri, "", "", ""));

  receive(answer_text(copy, 401));
  receive(answer_text(first, 401));  // the phone repeats its first challenge
  env.run_until(40000);
  EXPECT_EQ(notifies().size(), 2u);
}

// The same through the stack below the registrar: process_pdu and the transaction layer on a
// fake transport, the registrar as its transaction user, responses through send_packet. A
// repeat while the PBX half decides is dropped by the registrar; a repeat after the answer is
// answered by the transaction layer with the very bytes sent, from the slimmed packet.
TEST_F(ThroughTransactions, RepeatsGetOneAnswerEach) {
  receive(request_text(1));
  receive(request_text(1));
  EXPECT_EQ(posted.size(), 1u);
  answer_policy();
  ASSERT_EQ(env.transport.sent.size(), 1u);
  const sip_message challenge = env.transport.sent[0].parsed();
  EXPECT_EQ(challenge.code, 401);
  receive(request_text(1));
  ASSERT_EQ(env.transport.sent.size(), 2u);
  EXPECT_EQ(env.transport.sent[1].text, env.transport.sent[0].text);

  str nonce = parse_auth_header(challenge.get_other_header("WWW-Authenticate", "")).get("nonce");
  const std::string credentials =
      "Authorization: " + std::string(authorization(request(2), nonce, "sip100").view()) + "\r\n";
  const std::string via2 = via("2");
  receive(request_text(2, credentials, via2));
  ASSERT_EQ(posted.size(), 2u);
  env.run_until(500);
  receive(request_text(2, credentials, via2));
  EXPECT_EQ(posted.size(), 2u);
  EXPECT_EQ(env.transport.sent.size(), 2u);
  answer_register(2, 200, "OK", 360);
  ASSERT_EQ(env.transport.sent.size(), 3u);
  EXPECT_EQ(env.transport.sent[2].parsed().code, 200);
  env.run_until(1000);
  receive(request_text(2, credentials, via2));
  ASSERT_EQ(env.transport.sent.size(), 4u);
  EXPECT_EQ(env.transport.sent[3].text, env.transport.sent[2].text);
  EXPECT_EQ(posted.size(), 2u);
  EXPECT_TRUE(env.user.forwarded.empty());

  // Both transactions end 32 s after their answers; the binding stays.
  env.run_until(33500);
  EXPECT_TRUE(pending_packets.empty());
  EXPECT_EQ(reg_ins.count("c1@x"), 1u);
}

}  // namespace
