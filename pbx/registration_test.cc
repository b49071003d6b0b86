// The PBX half of the registrar over an in-memory table store, the round trip of both halves
// through their message texts, and the access list's blocked addresses across a restart.
#include "pbx/registration.h"

#include <rapidcheck.h>

#include <map>
#include <regex>

#include "pbx/address_list_table.h"
#include "pbx/pbx_test_util.h"
#include "sip/address_list.h"
#include "sip/digest_auth.h"
#include "sip/notify_body.h"
#include "sip/reg_in.h"
#include "sip/sip_messages.h"
#include "sip/srv_context.h"

namespace {

std::deque<str> to_ctrl;
std::vector<sip_message> sent;
void post_ctrl(const str& t) { to_ctrl.push_back(t); }
int capture_send(const sip_message& m) {
  sent.push_back(m);
  return 0;
}
// The PBX half's answers to the SIP half, as call_test records them.
std::deque<str>& to_srv = pbx_test::posted();
using notify = msg::subscription_notify;

// A SUBSCRIBE for the PBX half, as the SIP half writes it.
str subscription(const char* call_id, const char* event, const char* supported,
                 const char* to = "<sip:101@localhost>", const str& body = str(),
                 const char* cseq = "1") {
  return soap_write(msg::register_request{"", "<sip:100@localhost>;tag=1", to, call_id, cseq,
                                          "3600", str::sprintf("<sip:100-%S@127.0.0.5>", call_id),
                                          event, "", "", "", "", supported, "", body});
}

// Domain 1 "localhost" (park code *85) with extensions 100 and 101, domain 2 "other.example"
// with extension 200; passwords "sip<name>".
class RegistrationTest : public pbx_test::call_test {
 protected:
  void SetUp() override {
    call_test::SetUp();
    domains.set(domain, domains_code_park, "*85");
    other_domain = db_test::add_row(domains, {{domains_name, "other.example"}});
    ext100 = add_extension("100", "sip100");
    ext101 = add_extension("101", "sip101");
    ext200 = add_account("200", "extensions", extensions, other_domain);
    extensions.set(extension_row(ext200), extensions_password, "sip200");
    to_ctrl.clear();
    sent.clear();
  }
  void TearDown() override {
    registrar_clear();
    set_auth_hooks(nullptr);
    call_test::TearDown();
  }
  // The SIP half's context of a test that joins both halves: its messages to the PBX half
  // and its sends captured, its timers on q.
  static srv_context srv_half(timeout_queue& q) {
    return {.post = post_ctrl, .send = capture_send, .queue = &q};
  }
  // A REGISTER (a SUBSCRIBE with an event) of 100 from 127.0.0.5, as the SIP half passes it.
  static registration_request_input reg(const str& call_id, const str& contact,
                                        const str& expires = "3600", const str& event = str(),
                                        const str& to = "<sip:100@localhost>",
                                        const str& from = "<sip:100@localhost>;tag=1") {
    return {"127.0.0.5", from, to, call_id, 1, expires, contact, event};
  }
  // Extension 101 binds <sip:101@127.0.0.6> (Call-ID r101).
  static void register_101() {
    ASSERT_EQ(registration_request(reg("r101", "<sip:101@127.0.0.6>", "3600", "",
                                       "<sip:101@localhost>", "<sip:101@localhost>;tag=2"))
                  .code,
              200);
  }
  // The answer the PBX half gives a new subscription of this file (CSeq 1, 360 s granted).
  static msg::register_response granted(const char* call_id) {
    return {call_id, "1", "200", "OK", "360"};
  }
  int plain_bindings() { return registrations.count(registrations_event, ""); }

  int other_domain = 0, ext100 = 0, ext101 = 0, ext200 = 0;
};

TEST_F(RegistrationTest, Policy) {
  register_policy p = get_register_policy(
      {"c", "127.0.0.5", "<sip:100@localhost>", "\"A\" <sip:100@LocalHost>;tag=x"});
  EXPECT_EQ(str::sprintf("%d %s %s %s %d", p.found, p.realm, p.user, p.password, p.refusal.code),
            "1 LocalHost 100 sip100 0");  // the realm as sent

  // What the addresses alone refuse comes with the policy, without credentials, and is logged
  // (an unknown From: tests/e2e/phone_journeys_test.cc).
  const std::tuple<const char*, const char*, bool, int, const char*> refusals[] = {
      {"<sip:100@localhost>", "<sip:200@other.example>", true, 403, "Forbidden"},
      {"<sip:999@localhost>", "<sip:100@localhost>", false, 404, "Not Found"}};
  for (const auto& [to, from, found, code, reason] : refusals) {
    p = get_register_policy({"c", "127.0.0.9", to, from});
    EXPECT_EQ(str::sprintf("%d %d %s [%s]", p.found, p.refusal.code, p.refusal.reason, p.password),
              str::sprintf("%d %d %S []", found, code, reason));
    EXPECT_EQ(log_capture::lines().back().text,
              str::sprintf("Refusing registration from 127.0.0.9 (From %S, To %S): %d %S", from, to,
                           code, reason)
                  .view());
  }
}

TEST_F(RegistrationTest, DecisionRulesAndRowColumns) {
  registration_request_input in = reg("c1", "<sip:100@127.0.0.5:5070>");
  std::tie(in.www, in.user_agent, in.supported) =
      std::tuple("http://127.0.0.5/", "phone", "path, buttons");
  registration_answer a = registration_request(in);
  EXPECT_EQ(a.code, 200);
  int row = registrations.first(registrations_callid, "c1");
  ASSERT_NE(row, 0);
  // The row as stored: ext100 (user 1) in domain 1, no adate (save_registration is false).
  EXPECT_EQ(registrations.row_content(row),
            "<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n<row><adr>127.0.0.5</adr>"
            "<buttons>true</buttons><callid>c1</callid><contact>&lt;sip:100@127.0.0.5:5070&gt;"
            "</contact><date>00b0588b57000000</date><domain>1</domain><from>&lt;sip:100@"
            "localhost&gt;;tag=1</from><fuser>1</fuser><to>&lt;sip:100@localhost&gt;</to>"
            "<tuser>1</tuser><user_agent>phone</user_agent><www>http://127.0.0.5/</www></row>");

  // Variations of one request (Expires, Event, To): the answer and the duration granted.
  const std::tuple<const char*, const char*, const char*, int, const char*, int> variations[] = {
      {"5", "", "<sip:100@localhost>", 200, "OK", 30},  // min_expires
      {"3600", "unknown", "<sip:100@localhost>", 489, "Bad Event", 0},
      {"3600", "", "<sip:*85101@localhost>", 200, "OK", 360},  // park
  };
  for (const auto& [expires, event, to, code, reason, granted] : variations) {
    SCOPED_TRACE(std::string(to) + event + expires);
    const registration_answer a =
        registration_request(reg("c2", "<sip:x@1.2.3.4>", expires, event, to));
    EXPECT_EQ(str::sprintf("%d %s %d", a.code, a.reason, a.code == 200 ? a.expires : 0),
              str::sprintf("%d %S %d", code, reason, granted));
    registrations.delete_row(registrations.first(registrations_callid, "c2"));
  }
  EXPECT_EQ(registration_request(reg("c3", "<sip:x@1.2.3.4>", "3600", "Message-Summary")).code,
            200);
  EXPECT_EQ(registrations.get(registrations.first(registrations_callid, "c3"), registrations_event),
            "message-summary");
  users.set(ext100, users_disabled, "true");
  EXPECT_EQ(registration_request(reg("c5", "<sip:y@1.2.3.4>")).code, 404);
}

TEST_F(RegistrationTest, LimitsRefreshRemovalAndClearing) {
  for (int i = 0; i < 5; i++) {
    const str contact = str::sprintf("<sip:100@127.0.0.%d>", i + 1);
    EXPECT_EQ(registration_request(reg(str::sprintf("c%d", i), contact)).code, 200);
  }
  // The extension's own limit replaces the system's (5: BindingLimitHoldsForAnySequence).
  extensions.set(extension_row(ext100), extensions_max_regs, "6");
  EXPECT_EQ(registration_request(reg("c6", "<sip:100@127.0.0.9>")).code, 200);
  EXPECT_EQ(plain_bindings(), 6);

  clock.advance_ms(100000);
  registration_request_update("c1", 2, "3600", str());
  int row = registrations.first(registrations_callid, "c1");
  EXPECT_EQ(rtimestamp_parse(registrations.get(row, registrations_rdate)),
            clock_now() + s2ticks(375));
  EXPECT_TRUE(registration_still_valid(row, clock_now()));
  int r0 = registrations.first(registrations_callid, "c0");
  EXPECT_FALSE(registration_still_valid(r0, clock_now() + s2ticks(376)));
  EXPECT_FALSE(registrations.has_row(r0));

  // Unregistering one binding, and Contact: * with a duration (nothing; with 0, everything:
  // tests/e2e/register_test.cc, like the expiry of a binding).
  EXPECT_EQ(registration_request(reg("c3", "<sip:100@127.0.0.4>", "0")).expires, 0);
  EXPECT_EQ(registrations.first(registrations_callid, "c3"), 0);
  EXPECT_TRUE(log_capture::contains("Account 100 is removing a registration"));
  int before = plain_bindings();
  EXPECT_EQ(registration_request(reg("c9", "*", "60")).code, 200);
  EXPECT_EQ(plain_bindings(), before);
  EXPECT_TRUE(
      log_capture::contains("Registration: Cannot remove all registrations after a duration"));
}

// Both halves joined through their message texts: the phone's two REGISTERs end in a 200 and a
// row whose texts, like the binding's, sit in small buffers of their own.
TEST_F(RegistrationTest, RoundTripThroughTheMessages) {
  timeout_queue q;
  scoped_srv_context use_srv(srv_half(q));
  set_auth_hooks(&registrar_auth_hooks());
  bw_clear();
  // The SIP half takes a REGISTER, the halves exchange their messages; the answer's code.
  auto exchange = [](sip_message& m) {
    const size_t answers = sent.size();
    registrar_receive(m);
    while (!to_ctrl.empty() || !to_srv.empty()) {
      const bool to_pbx = !to_ctrl.empty();
      const str t = to_pbx ? to_ctrl.front() : to_srv.front();
      (to_pbx ? to_ctrl : to_srv).pop_front();
      EXPECT_TRUE(to_pbx ? registration_on_soap(t) : registrar_on_soap(t));
    }
    return sent.size() == answers + 1 ? sent.back().code : 0;
  };
  auto make = [](unsigned cseq) {
    sip_message m(str::sprintf(
        "REGISTER sip:localhost SIP/2.0\r\nVia: SIP/2.0/UDP 127.0.0.5:5070;branch=z%u\r\n"
        "From: <sip:100@localhost>;tag=f\r\nTo: <sip:100@localhost>\r\nCall-ID: rt\r\nCSeq: %u "
        "REGISTER\r\nContact: <sip:100@127.0.0.5:5070>\r\nExpires: 3600\r\n\r\n",
        cseq, cseq));
    m.peer = ip_port::from_text("127.0.0.5:5070");
    m.transport = transport_type::udp;
    return m;
  };
  sip_message first = make(1);
  ASSERT_EQ(exchange(first), 401);
  str nonce = parse_auth_header(sent[0].get_other_header("WWW-Authenticate", "")).get("nonce");
  sip_message second = make(2);
  second.add_other_header("Authorization", "",
                          auth_credentials_value("localhost", nonce, "100", "sip100", "REGISTER",
                                                 "sip:localhost", "", "", "", ""));
  EXPECT_EQ(exchange(second), 200);
  EXPECT_EQ(plain_bindings(), 1);
  // What each half keeps for the binding's lifetime sits in one small buffer of its own, never
  // in a window on a REGISTER or on the message text that carried it across.
  const int row = registrations.first(registrations_callid, "rt");
  const str row_from = registrations.get(row, registrations_from);
  EXPECT_TRUE(row_from.shares_with(registrations.get(row, registrations_contact)));
  EXPECT_TRUE(row_from.shares_with(registrations.get(row, registrations_callid)));
  EXPECT_LE(row_from.capacity(), str::class_capacity(1));
  const reg_in& binding = *reg_ins.at("rt");
  EXPECT_FALSE(binding.from.shares_with(first.from.content()));
  EXPECT_EQ(binding.route_set, "<sip:100@127.0.0.5:5070>");
  EXPECT_FALSE(binding.route_set.shares_with(second.contact[0].content()));
  EXPECT_TRUE(binding.from.shares_with(binding.route_set));
  EXPECT_TRUE(binding.from.shares_with(binding.credentials.password));
  EXPECT_LE(binding.from.capacity(), str::class_capacity(1));
  registrar_clear();  // its timers live in q
}

// Any sequence of registrations and removals over a few Call-IDs and contacts keeps at most
// max_regs plain bindings, one row per Call-ID, and answers each over-limit new binding with
// 403 "Too Many Registrations".
TEST_F(RegistrationTest, BindingLimitHoldsForAnySequence) {
  ctrl_write_setting(ctrl_settings::save_registration, "true");
  EXPECT_TRUE(rc::check([this](const std::vector<std::pair<uint8_t, bool>>& ops) {
    registrations.delete_row();
    for (const auto& [who, remove] : ops) {
      const int k = who % 8;
      str call_id = str::sprintf("c%d", k), contact = str::sprintf("<sip:100@127.0.0.%d>", k);
      int before = plain_bindings();
      bool existed = registrations.first(registrations_callid, call_id) != 0;
      registration_answer a = registration_request(reg(call_id, contact, remove ? "0" : "60"));
      if (!remove && !existed && before >= 5) {
        RC_ASSERT(a.code == 403);
        RC_ASSERT(a.reason == str("Too Many Registrations"));
      } else {
        RC_ASSERT(a.code == 200);
      }
      RC_ASSERT(plain_bindings() <= 5);
      RC_ASSERT(registrations.count(registrations_callid, call_id) <= 1);
    }
    for (int r = registrations.first(); r; r = registrations.next(r))
      RC_ASSERT(!registrations.get(r, registrations_adate).empty());
  }));
}

TEST_F(RegistrationTest, InitialNotifyBodiesByEvent) {
  domains.set(domain, domains_mb_prefix, "vm");
  for (auto [is_new, attribute] :
       {std::pair{"true", "urgent"}, {"true", ""}, {"false", ""}, {"false", "private"}})
    db_test::add_row(messages,
                     "user=" + id_text(ext100) + "|new=" + is_new + "|urgent=" + attribute);
  db_test::add_row(messages, {{messages_user, id_text(ext101)}, {messages_new, "true"}});
  extensions.set(extension_row(ext100), extensions_buddies, "101");
  // The subscriber's own messages; a refresh (CSeq 2) is no new subscription.
  for (const char* cseq : {"1", "2"})
    ASSERT_TRUE(registration_on_soap(
        subscription("s1", "message-summary", "", "<sip:100@localhost>", str(), cseq)));
  EXPECT_EQ(take(), texts(granted("s1"),
                          notify{"s1", "message-summary", "application/simple-message-summary",
                                 "Messages-Waiting: yes\r\nMessage-Account: vm100\r\n"
                                 "Voice-Message: 2/2 (1/0)\r\n"},
                          msg::register_response{"s1", "2", "200", "OK", "360"}));
  ASSERT_TRUE(registration_on_soap(subscription("d1", "dialog", "")));
  EXPECT_EQ(take(), texts(granted("d1"), notify{"d1", "dialog", c_application_dialog_info,
                                                dialog_info_body("sip:101@localhost", 0, false)}));
  EXPECT_EQ(registrations.get(registrations.first(registrations_callid, "d1"),
                              registrations_dialog_version),
            "1");
  // Presence: closed while 101 has no plain binding, open once it has one.
  ASSERT_TRUE(registration_on_soap(subscription("p1", "presence", "")));
  EXPECT_EQ(take(), texts(granted("p1"), notify{"p1", "presence", c_application_pidf,
                                                pidf_body("sip:101@localhost", false)}));
  register_101();
  take();
  ASSERT_TRUE(registration_on_soap(subscription("p2", "presence", "")));
  EXPECT_EQ(take(), texts(granted("p2"), notify{"p2", "presence", c_application_pidf,
                                                pidf_body("sip:101@localhost", true)}));
  // Lists, presence.winfo and x-tapi: the answer alone.
  for (const char* e : {"presence.winfo", "x-tapi"}) {
    ASSERT_TRUE(registration_on_soap(subscription(e, e, "")));
    EXPECT_EQ(take(), texts(granted(e))) << e;
  }
}

// The resource URIs of the RLMI document of a list NOTIFY body.
std::vector<std::string> rlmi_resources(const str& body) {
  const std::string b(body.view());
  const std::regex resource("<resource uri=\"([^\"]*)\"");
  std::vector<std::string> out;
  for (std::sregex_iterator i(b.begin(), b.end(), resource), end; i != end; ++i)
    out.push_back((*i)[1]);
  return out;
}

// A new subscription to a list of event: the NOTIFY that follows the answer.
notify list_notify(const char* id, const char* event, const char* to = "<sip:101@localhost>") {
  to_srv.clear();
  notify m;
  EXPECT_TRUE(registration_on_soap(subscription(id, event, "eventlist", to)));
  EXPECT_TRUE(to_srv.size() == 2 && soap_read(to_srv[1], m)) << id;
  return m;
}

TEST_F(RegistrationTest, EventlistSubscriptionsGetTheWatchedAccounts) {
  int e100 = extension_row(ext100);
  db_test::set_row(extensions, e100, "buddies=101, nobody  100|presence=101");
  register_101();

  const notify d = list_notify("d2", "dialog", "<sip:100@localhost>");
  EXPECT_EQ(d.event, "dialog");
  EXPECT_TRUE(d.content_type.starts_with("multipart/related;type=\"application/rlmi+xml\""));
  EXPECT_EQ(rlmi_resources(d.body),
            (std::vector<std::string>{"sip:101@localhost", "sip:100@localhost"}));
  EXPECT_NE(d.body.find("Content-Type: application/dialog-info+xml"), std::string::npos);
  EXPECT_NE(d.body.find("entity=\"sip:101@localhost\""), std::string::npos);

  const notify p = list_notify("p3", "presence");
  EXPECT_EQ(rlmi_resources(p.body), std::vector<std::string>{"sip:101@localhost"});
  EXPECT_NE(p.body.find("<basic>open</basic>"), std::string::npos);

  // An empty list is still answered with a (empty) list.
  extensions.set(e100, extensions_buddies, "");
  EXPECT_TRUE(rlmi_resources(list_notify("d3", "dialog", "<sip:100@localhost>").body).empty());
}

// The feature state NOTIFYs (as-feature-event) of an account, as texts: do-not-disturb, then
// forwarding immediate, on busy and on no answer; after the answer to a new subscription when
// one is given.
std::vector<str> features(const char* id, const char* device, bool dnd, const char* cfa,
                          const char* cfb, const msg::register_response* answer = nullptr) {
  std::vector<str> out;
  if (answer) out.push_back(soap_write(*answer));
  for (const str& body :
       {dnd_event_body(device, dnd), forwarding_event_body(device, "forwardImmediate", *cfa, cfa),
        forwarding_event_body(device, "forwardBusy", *cfb, cfb),
        forwarding_event_body(device, "forwardNoAns", false, "")})
    out.push_back(soap_write(notify{id, "as-feature-event", c_application_feature_event, body}));
  return out;
}

TEST_F(RegistrationTest, FeatureEventsReportAndApplyDoNotDisturbAndForwarding) {
  const int e100 = extension_row(ext100), e101 = extension_row(ext101);
  db_test::set_row(extensions, e101, "dnd=true|cfb=300");

  // A new subscription: the state of the account subscribed to.
  ASSERT_TRUE(registration_on_soap(subscription("f1", "as-feature-event", "")));
  const msg::register_response f1 = granted("f1"), f2 = granted("f2");
  EXPECT_EQ(take(), features("f1", "101", true, "", "300", &f1));

  // A SUBSCRIBE with a change: applied to the subscriber, and the state after it reported.
  ASSERT_TRUE(registration_on_soap(subscription(
      "f2", "as-feature-event", "", "<sip:100@localhost>",
      "<SetDoNotDisturb xmlns=\"http://www.ecma-international.org/standards/ecma-323/csta/ed3\">"
      "<device>100</device><doNotDisturbOn>true</doNotDisturbOn></SetDoNotDisturb>")));
  EXPECT_EQ(extensions.get(e100, extensions_dnd), "true");
  EXPECT_EQ(take(), features("f2", "100", true, "", "", &f2));

  // A refresh (RRU) with a change: forwarding on, then off again.
  auto refresh = [](const char* id, const str& body) {
    ASSERT_TRUE(registration_on_soap(soap_write(msg::rru{id, "2", "3600", body})));
  };
  for (const char* to : {"555", ""}) {
    refresh("f2", str::sprintf("<SetForwarding><device>100</device><forwardingType>"
                               "forwardImmediate</forwardingType><activateForward>%S"
                               "</activateForward><forwardDN>%S</forwardDN></SetForwarding>",
                               *to ? "true" : "false", to));
    EXPECT_EQ(extensions.get(e100, extensions_cfa), to);
    EXPECT_EQ(take(), features("f2", "100", true, to, ""));
  }
  // Nothing this system knows, or a body on a refresh of another event: nothing changes, nothing
  // is sent.
  ASSERT_TRUE(registration_on_soap(subscription("d9", "dialog", "")));
  take();
  refresh("f2", "<SetForwarding><forwardingType>forwardElsewhere</forwardingType></SetForwarding>");
  refresh("f2", "not xml");
  refresh("d9", "<SetDoNotDisturb><doNotDisturbOn>false</doNotDisturbOn></SetDoNotDisturb>");
  EXPECT_TRUE(take().empty());
  EXPECT_EQ(extensions.get(e100, extensions_dnd), "true");
}

// A dialog subscription is allowed for the account itself and a buddy either way; every change of
// an account's calls reaches its watchers.
TEST_F(RegistrationTest, DialogWatchersArePermittedAndNotified) {
  // To, the buddies of 100 and of 101, the event, the answer.
  const std::tuple<const char*, const char*, const char*, const char*, int> cases[] = {
      {"100", "", "", "dialog", 200},        {"101", "", "", "dialog", 403},
      {"101", "101", "", "dialog", 200},     {"101", "", "100", "dialog", 200},
      {"101", "102", "1000", "dialog", 403}, {"101", "", "", "presence", 200}};
  int i = 0;
  for (const auto& [to, buddies100, buddies101, event, code] : cases) {
    extensions.set(1, extensions_buddies, buddies100);
    extensions.set(2, extensions_buddies, buddies101);
    str id = str::sprintf("w%d", i++);
    const str watched = str::sprintf("<sip:%S@localhost>", to);
    EXPECT_EQ(registration_request(reg(id, id, "3600", event, watched)).code, code) << i;
  }
  const int leg = db_test::add_row(legs, {{leg_extension, str::sprintf("%d", ext101)}});
  // The end of the call is told once as a terminated dialog; a change that keeps the state
  // tells the dialog watchers nothing.
  const char* steps[][3] = {{"alerting", "early", "recipient"},
                            {"onhold", "confirmed", "recipient"},
                            {"holding", "", ""},
                            {"terminated", "terminated", "recipient"}};
  for (int v = 0, version = 0; v < 4; v++) {
    legs.set(leg, leg_state, steps[v][0]);
    to_srv.clear();
    dialog_state_changed(ext101);
    const bool told = steps[v][1][0] != 0;
    str body =
        dialog_info_body("sip:101@localhost", told ? version++ : 0, steps[v][1], steps[v][2]);
    auto dialog = [&](const char* id) {
      return soap_write(notify{id, "dialog", c_application_dialog_info, body});
    };
    const str presence = soap_write(
        notify{"w5", "presence", c_application_pidf, pidf_body("sip:101@localhost", false)});
    const std::deque<str> expected =
        told ? std::deque<str>{dialog("w2"), dialog("w3"), presence} : std::deque<str>{presence};
    EXPECT_EQ(to_srv, expected) << v;
  }
}

void ignore_report(const str&, bool, const str&) {}
void ignore_mail(const str&, const str&) {}

class AccessListTable : public db_test::store_test {
 protected:
  void SetUp() override {
    store_test::SetUp();
    bw_clear();
    set_blacklist_report(ignore_report);
    set_admin_mail(ignore_mail);
  }
  void TearDown() override {
    bw_clear();
    set_blacklist_report(nullptr);
    set_admin_mail(nullptr);
  }
  manual_clock clock_;
  scoped_clock use_clock_{&clock_};
};

TEST_F(AccessListTable, BlockSurvivesRestartAndExpires) {
  access_list_table store;
  store.write({0, "10.0.0.0", "8", "true", "office", ""});
  black_list_adr("198.51.100.23", true, "sip", store, wall_now());
  black_list_adr("198.51.100.23", true, "web", store, wall_now());
  // A restart: the table is read back from its files and fills the lists.
  db_test::reset_store();
  bw_clear();
  ASSERT_EQ(accesslist.size(), 2);
  access_list_table reloaded;
  access_list_load(reloaded);
  EXPECT_FALSE(bw_valid_source(ip_address_parse("198.51.100.23")));
  EXPECT_TRUE(bw_white_source(ip_address_parse("10.1.2.3")));
  int id = accesslist.first(accesslist_adr, "198.51.100.23");
  ASSERT_NE(id, 0);
  EXPECT_EQ(accesslist.get(id, accesslist_reason) + accesslist.get(id, accesslist_type) +
                accesslist.get(id, accesslist_mask),
            "webfalse32");

  EXPECT_EQ(access_list_expire(reloaded, wall_now() + 3601 * 1000), 1);
  EXPECT_TRUE(bw_valid_source(ip_address_parse("198.51.100.23")));
  db_test::reset_store();  // the expired row's file is gone too
  EXPECT_EQ(accesslist.size(), 1);
}

}  // namespace

// A restart: rows whose date passed are deleted, the others come back as bound reg_ins with the
// time they have left.
TEST_F(RegistrationTest, BindingsOutliveARestartUntilTheirDate) {
  timeout_queue q;
  scoped_srv_context use_srv(srv_half(q));
  ASSERT_EQ(registration_request(reg("short", "<sip:100@127.0.0.5:5070>", "60")).code, 200);
  ASSERT_EQ(registration_request(reg("long", "<sip:100@127.0.0.5:5072>", "3600")).code, 200);
  ASSERT_EQ(
      registration_request(reg("sub", "<sip:100@127.0.0.5:5070>", "300", "message-summary")).code,
      200);

  clock.advance_ms(100000);  // "short" had 75 s, "sub" 315 s, "long" 375 s
  std::vector<kept_registration> kept = registrations_after_restart(clock_now());
  ASSERT_EQ(kept.size(), 2u);
  EXPECT_EQ(registrations.first(registrations_callid, "short"), 0);
  for (const kept_registration& k : kept)
    registrar_restore(k.call_id, k.from, k.to, k.event, k.adr, k.contact, k.remaining_ms);
  ASSERT_EQ(reg_ins.size(), 2u);
  // Bound, source, user, removal and expiry of each.
  for (const auto& [id, expected] : {std::pair{"long", "1 127.0.0.5:5072 100 275 260 "},
                                     {"sub", "1 127.0.0.5:5070 100 215 200 message-summary"}}) {
    const reg_in& r = *reg_ins.at(id);
    EXPECT_EQ(str::sprintf("%d %s %s %d %d %s", r.bound, r.source.readable(),
                           from_to_spec(r.to).addr_spec().get_user(),
                           static_cast<int>(r.removal_seconds()), r.expires, r.event),
              expected);
  }
  // A date far ahead (the monotonic clock started again after a reboot) is cut to the longest
  // expiry.
  int far = registrations.first(registrations_callid, "long");
  registrations.set(far, registrations_rdate, rtimestamp_serialize(clock_now() + s2ticks(100000)));
  int64_t remaining = 0;
  for (const kept_registration& k : registrations_after_restart(clock_now()))
    if (k.call_id == "long") remaining = k.remaining_ms;
  EXPECT_EQ(remaining, 375000);
  // A second restore of the same Call-ID leaves the binding alone.
  registrar_restore("long", "<sip:100@localhost>", "<sip:100@localhost>", "", "127.0.0.9",
                    "<sip:100@127.0.0.9>", 5000);
  EXPECT_EQ(reg_ins.at("long")->source.readable_address(), "127.0.0.5");

  registrar_clear();  // its timers live in q; their end: tests/e2e/register_test.cc
}
