// The PBX's answers to the call legs' events, compared as whole command texts.
#include "pbx/dialog_events.h"

#include <gtest/gtest.h>

#include "db/db_test_util.h"
#include "frame/clock.h"
#include "pbx/accounts.h"
#include "pbx/admission.h"
#include "pbx/call_app.h"
#include "pbx/call_state.h"

// Stand-ins for the admission of new calls, weak so that the real ones win once linked.
__attribute__((weak)) void get_dialog_state(const msg::get_dialog_state&) {}
__attribute__((weak)) void dial_a_number(int, int, const str&, const str&) {}
__attribute__((weak)) void trunk_or_user(int& trunk, int& user) {
  (trunks.get(trunk, trunks_associated_addresses).empty() ? trunk : user) = 0;
}

namespace {

std::vector<str> sent;
std::vector<std::string> app_calls;
struct fake_app : call_app {
  using call_app::call_app;
  void on_error(int leg, int code, const msg::dialog_response&) override {
    app_calls.push_back("error " + std::to_string(leg) + " " + std::to_string(code));
  }
  void on_dtmf(const str& d) override { app_calls.push_back("dtmf " + std::string(d.view())); }
  void on_dtmf_ext(int leg, const str& d) override {
    app_calls.push_back("ext " + std::to_string(leg) + " " + std::string(d.view()));
  }
};

str state(const char* id, const char* code, const char* reason, const char* file = "",
          const char* dtmf = "false") {
  return soap_write(msg::set_dialog_state{id, file, "false", "false", "", dtmf, "", code, "",
                                          reason, "", "false", ""});
}

class DialogEventsTest : public db_test::store_test {
 protected:
  void SetUp() override {
    store_test::SetUp();
    sent.clear();
    app_calls.clear();
    clear_call_apps();
    register_call_app(
        {"attendant", ev_error | ev_dtmf | ev_dtmf_ext,
         [](int c) -> std::unique_ptr<call_app> { return std::make_unique<fake_app>(c); }});
    domain = db_test::add_row(
        domains,
        {{domains_name, "localhost"}, {domains_moh, "moh.wav"}, {domains_record_start, "*1"}});
    int user[2], i = 0;
    for (const char* name : {"100", "101"}) {
      int e = db_test::add_row(extensions,
                               {{extensions_password, "pw"}, {extensions_auth_adr, "127.0.0.9"}});
      int u = db_test::add_row(users, {{users_type_name, "extensions"},
                                       {users_type_index, id_text(e)},
                                       {users_domain, id_text(domain)}});
      db_test::add_row(user_alias, {{user_alias_user, id_text(u)},
                                    {user_alias_domain, id_text(domain)},
                                    {user_alias_name, name}});
      user[i++] = u;
    }
    cobj = cobj_create("sip-1", "<sip:100@localhost>", "<sip:101@localhost>", domain);
    primary = leg_create(true, "5", "sip-1", "<sip:100@localhost>;tag=a", "<sip:101@localhost>",
                         cobj, false);
    answering =
        leg_create(false, "6", "sip-2", "<sip:100@localhost>", "<sip:101@localhost>", cobj, false);
    cobjs.set(cobj, cobj_primary_leg, id_text(primary));
    db_test::set_row(legs, primary,
                     {{leg_extension, id_text(user[0])}, {leg_state, leg_connected}});
    db_test::set_row(legs, answering,
                     {{leg_extension, id_text(user[1])}, {leg_state, leg_alerting}});
    sent.clear();
  }
  manual_clock clock;
  scoped_clock use_clock{&clock};
  scoped_ctrl_context use_ctrl{ctrl_context{[](const str& t) { sent.push_back(t); }, nullptr}};
  int domain = 0, cobj = 0, primary = 0, answering = 0;
};

TEST_F(DialogEventsTest, PolicyForExtensionsUnknownCallersAndTrunks) {
  int trunk =
      db_test::add_row(trunks, {{trunks_redirect, "true"}, {trunks_associated_addresses, "x"}});
  struct {
    const char *from, *trunk;
    msg::set_dialog_policy answer;
    const char* log;
  } cases[] = {{"<sip:100@localhost>;tag=1",
                "",
                {"7", "true", "127.0.0.9", "localhost", "100", "pw", "", "false"},
                ""},
               {"<sip:999@localhost>", "", {"7", "false", "", "", "", "", "", ""}, ""},
               {"<sip:999@localhost>", "4", {"7", "true", "", "", "", "", "", "true"}, ""},
               {"<sip:100@localhost>",
                "lo",
                {"7", "true", "", "", "", "", "", "true"},
                "No authentication of user because call comes from loopback trunk"},
               {"<sip:100@localhost>",
                "1",
                {"7", "true", "", "", "", "", "", "true"},
                "No authentication of user because call comes from trusted trunk"}};
  ASSERT_EQ(trunk, 1);
  for (const auto& c : cases) {
    sent.clear();
    log.clear();
    ASSERT_TRUE(
        dialog_events_on_soap(soap_write(msg::get_dialog_policy{"7", c.from, "", "", c.trunk})));
    EXPECT_EQ(sent, std::vector<str>{soap_write(c.answer)}) << c.from << " " << c.trunk;
    EXPECT_EQ(log.contains(c.log), *c.log != 0) << c.log;
  }
}

TEST_F(DialogEventsTest, DigitsAreBufferedClearedAfterFiveSecondsAndDispatched) {
  cobjs.set(cobj, cobj_ivr_type, "attendant");
  for (const char* d : {"1", "2"}) dialog_dtmf({"6", d});
  EXPECT_EQ(legs.get(answering, leg_dtmf_digits), "12");
  clock.advance_ms(6000);
  for (const char* d : {"*", "1", "3"}) dialog_dtmf({"5", d});
  dialog_dtmf({"6", "4"});
  EXPECT_EQ(app_calls,
            (std::vector<std::string>{"ext 2 1", "ext 2 2", "dtmf *", "dtmf 3", "ext 2 4"}));
  EXPECT_EQ(legs.get(answering, leg_dtmf_digits), "4");
  EXPECT_EQ(legs.get(primary, leg_rec), "true");  // "*1" turned recording on
  EXPECT_TRUE(log.contains("Received no DTMF for 6 seconds, clearing input"));
  EXPECT_TRUE(sent.empty());
}

TEST_F(DialogEventsTest, ConfirmationKeyHoldsTheBridgeUntilPressed) {
  cobjs.set(cobj, cobj_ivr_type, "extcall");
  legs.set(answering, leg_connect_symbol, "5 x");
  dialog_response({"6", "1", "200", "INVITE", "", "", "OK", "true"});
  EXPECT_EQ(sent, std::vector<str>{state("6", "200", "Ok",
                                         "space10 $a/aa_trying_to_reach.wav $a/1.wav $a/0.wav "
                                         "$a/0.wav $a/aa_incoming_options.wav space20",
                                         "true")});
  EXPECT_TRUE(log.contains("Connect ignored, waiting for confirmation key"));
  sent.clear();
  dialog_dtmf({"6", "5"});
  EXPECT_TRUE(log.contains("Connect by confirmation key"));
  EXPECT_EQ(sent, (std::vector<str>{soap_write(msg::set_moh_file{"5", ""}),
                                    soap_write(msg::clear_dialog_timeout{"5", ""}),
                                    soap_write(msg::connect_calls{"5", "6"})}));
}

TEST_F(DialogEventsTest, HoldAndResumeCountTheHeldTime) {
  cobjs.set(cobj, cobj_ivr_type, "extcall");
  legs.set(answering, leg_state, leg_connected);
  struct {
    const char *direction, *held, *other, *moh, *dh;
  } steps[] = {{"sendonly", leg_holding, leg_onhold, "moh.wav", ""},
               {"sendrecv", leg_connected, leg_connected, "", "30"}};
  for (const auto& s : steps) {
    sent.clear();
    dialog_hold({"5", s.direction});
    clock.advance_ms(30000);
    EXPECT_EQ(legs.get(primary, leg_state), s.held);
    EXPECT_EQ(legs.get(answering, leg_state), s.other);
    EXPECT_EQ(cobjs.get(cobj, cobj_duration_hold), s.dh);
    EXPECT_EQ(sent, (std::vector<str>{soap_write(msg::set_moh_file{"6", s.moh}),
                                      state("5", "200", "Ok"), state("6", "200", "Ok")}));
  }
}

TEST_F(DialogEventsTest, ErrorsGoToTheApplicationOrEndTheCall) {
  struct {
    const char* type;
    std::vector<std::string> calls;
    std::vector<str> commands;
  } cases[] = {{"attendant", {"error 2 404"}, {state("6", "486", "Busy Here")}},
               {"extcall", {}, {state("5", "404", "Not Found"), state("6", "486", "Busy Here")}}};
  for (const auto& c : cases) {
    SetUp();
    cobjs.set(cobj, cobj_ivr_type, c.type);
    dialog_response({"6", "1", "404", "INVITE", "", "", "Not Found", "false"});
    EXPECT_EQ(app_calls, c.calls) << c.type;
    EXPECT_EQ(sent, c.commands) << c.type;
  }
}

TEST_F(DialogEventsTest, EventsOfUnknownLegsAreLogged) {
  const std::pair<str, const char*> cases[] = {
      {soap_write(msg::dialog_hangup{"77", "bye", ""}), "Hangup: Call 77 not found"},
      {soap_write(msg::dialog_refer{"77", "<sip:1@x>", "", ""}), "Refer: Call 77 not found"},
      {soap_write(msg::dialog_hold{"77", "sendonly"}), "Hold: Call 77 not found"},
      {soap_write(msg::dialog_dtmf{"77", "1"}), "DTMF: Call 77 not found"},
      {soap_write(msg::dialog_eof{"77", "f"}), "EOF: Call 77 not found"},
      {soap_write(msg::dialog_timeout_report{"77", "a", "b"}), "Timeout: Call 77 not found"}};
  for (const auto& [text, line] : cases) {
    ASSERT_TRUE(dialog_events_on_soap(text));
    EXPECT_TRUE(log.contains(line)) << line;
  }
  EXPECT_TRUE(sent.empty());
}

}  // namespace
