// The PBX's answers to the call legs' events, compared as whole command texts.
#include "pbx/dialog_events.h"

#include "pbx/pbx_test_util.h"

namespace {

// What the application of "attendant" calls was told.
std::vector<str> app_calls;
template <class... A>
void note(const char* f, const A&... a) {
  app_calls.push_back(str::sprintf(f, a...));
}
struct fake_app : call_app {
  using call_app::call_app;
  void on_error(int l, int c, const msg::dialog_response&) override { note("error %d %d", l, c); }
  void on_dtmf(const str& d) override { note("dtmf %s", d); }
  void on_dtmf_ext(int l, const str& d) override { note("ext %d %s", l, d); }
};

// Extension 100 (leg "5", the primary leg, connected) calls 101 (leg "6", alerting).
class DialogEventsTest : public pbx_test::call_test {
 protected:
  void SetUp() override {
    call_test::SetUp();
    app_calls.clear();
    use_app<fake_app>("attendant", ev_error | ev_dtmf | ev_dtmf_ext);
    const int music = db_test::add_row(mohs, {{mohs_name, "Soft"}, {mohs_string, "moh.wav"}});
    db_test::set_row(domains, domain, "moh=" + id_text(music) + "|record_start=*1");
    const int u100 = add_extension("100", "pw"), u101 = add_extension("101");
    extensions.set(extension_row(u100), extensions_auth_adr, "127.0.0.9");
    incoming("<sip:100@localhost>", "<sip:101@localhost>", "5", "sip-1", "<sip:101@localhost>");
    answering =
        leg_create(false, "6", "sip-2", "<sip:100@localhost>", "<sip:101@localhost>", cobj, false);
    db_test::set_row(legs, primary, {{leg_extension, id_text(u100)}, {leg_state, leg_connected}});
    db_test::set_row(legs, answering, {{leg_extension, id_text(u101)}, {leg_state, leg_alerting}});
  }
  int answering = 0;
};

msg::set_dialog_policy no_challenge(const char* found, const char* trunk) {
  return {"7", found, "", "", "", "", "", trunk, ""};
}

TEST_F(DialogEventsTest, PolicyForExtensionsUnknownCallersAndTrunks) {
  db_test::add_row(trunks, "redirect=true|aadr=x|analog=true");
  for (auto [from, trunk] : {std::pair{"<sip:100@localhost>;tag=1", ""},
                             {"<sip:999@localhost>", ""},
                             {"<sip:999@localhost>", "4"},
                             {"<sip:100@localhost>", "lo"},
                             {"<sip:100@localhost>", "1"}})
    ASSERT_TRUE(
        dialog_events_on_soap(soap_write(msg::get_dialog_policy{"7", from, "", "", trunk})));
  const msg::set_dialog_policy yes = no_challenge("true", "true");
  msg::set_dialog_policy analog = yes;  // the trunk's gateway: listen for the hangup tone
  analog.hangup_tone = "true";
  EXPECT_EQ(take(), texts(msg::set_dialog_policy{"7", "true", "127.0.0.9", "localhost", "100", "pw",
                                                 "", "false", ""},
                          no_challenge("false", ""), yes, yes, analog));
  EXPECT_EQ(log.texts(), (std::vector<std::string>{
                             "No authentication of user because call comes from loopback trunk",
                             "No authentication of user because call comes from trusted trunk"}));
}

TEST_F(DialogEventsTest, DigitsAreBufferedClearedAfterFiveSecondsAndDispatched) {
  cobjs.set(cobj, cobj_ivr_type, "attendant");
  for (const char* d : {"1", "2"}) dialog_dtmf({"6", d});
  EXPECT_EQ(legs.get(answering, leg_dtmf_digits), "12");
  clock.advance_ms(6000);
  for (const char* d : {"*", "1", "3"}) dialog_dtmf({"5", d});
  dialog_dtmf({"6", "4"});
  EXPECT_EQ(app_calls, (std::vector<str>{"ext 2 1", "ext 2 2", "dtmf *", "dtmf 3", "ext 2 4"}));
  // The buffer started again; "*1" turned recording on, into a file named by the time.
  const str file = "recordings/call-20260101-000006-5.wav";
  EXPECT_EQ(legs.get(answering, leg_dtmf_digits) + legs.get(primary, leg_rec), "4" + file);
  EXPECT_TRUE(log.contains("Received no DTMF for 6 seconds, clearing input"));
  EXPECT_EQ(take(), texts(msg::set_recording{"5", file, "both"}));
}

TEST_F(DialogEventsTest, ConfirmationKeyHoldsTheBridgeUntilPressed) {
  cobjs.set(cobj, cobj_ivr_type, "extcall");
  legs.set(answering, leg_connect_symbol, "5 x");
  dialog_response({"6", "1", "200", "INVITE", "", "", "OK", "true"});
  msg::set_dialog_state options = answer("6", 200, "Ok",
                                         "space10 $a/aa_trying_to_reach.wav $a/1.wav $a/0.wav "
                                         "$a/0.wav $a/aa_incoming_options.wav space20");
  options.play_alert = "false";  // the keys are analysed, but nothing follows the prompts
  EXPECT_EQ(take(), texts(options));
  dialog_dtmf({"6", "5"});
  EXPECT_EQ(take(), texts(msg::set_moh_file{"5", ""}, msg::clear_dialog_timeout{"5", ""},
                          msg::connect_calls{"5", "6"}));
  EXPECT_EQ(log.texts(), (std::vector<std::string>{"Connect ignored, waiting for confirmation key",
                                                   "Connect by confirmation key"}));
}

TEST_F(DialogEventsTest, HoldAndResumeCountTheHeldTime) {
  cobjs.set(cobj, cobj_ivr_type, "extcall");
  legs.set(answering, leg_state, leg_connected);
  for (auto [direction, states, moh, held] :
       {std::tuple{"sendonly", "holding onhold", "moh.wav", ""},
        {"sendrecv", "connected connected", "", "30000"}}) {
    dialog_hold({"5", direction});
    clock.advance_ms(30000);
    EXPECT_EQ(legs.get(primary, leg_state) + " " + legs.get(answering, leg_state), states);
    EXPECT_EQ(cobjs.get(cobj, cobj_duration_hold), held);
    EXPECT_EQ(take(),
              texts(msg::set_moh_file{"6", moh}, answer("5", 200, "Ok"), answer("6", 200, "Ok")));
  }
}

// REFER replacing a leg alone with its menu: the far party takes its place and IVR state.
TEST_F(DialogEventsTest, AttendedTransferHandsTheMenuToTheFarParty) {
  const int menu = cobj_create("sip-3", "<sip:101@localhost>", "<sip:800@localhost>", domain);
  const int replaced = leg_create(true, "8", "sip-3", "<sip:101@localhost>;tag=r",
                                  "<sip:800@localhost>;tag=m", menu, false);
  cobjs.set(menu, cobj_primary_leg, id_text(replaced));
  legs.set(replaced, leg_rec, "recordings/m.wav");
  dialog_refer({"6", "<sip:800@localhost?Replaces=sip-3%3Bto-tag%3Dm%3Bfrom-tag%3Dr>", "", ""});
  EXPECT_EQ(take(), texts(msg::move_ivr{"8", "5"}, answer("6", 486, "Busy Here"),
                          answer("8", 486, "Busy Here"), msg::set_moh_file{"5", ""}));
  EXPECT_EQ(leg_cobj(primary) * 100 + primary_leg(menu), menu * 100 + primary);
  EXPECT_EQ(legs.get(primary, leg_rec), "recordings/m.wav");
}

// Charging at each tick (60 s and 1 s steps, one upfront): cd, cc, credit, primary leg state.
TEST_F(DialogEventsTest, AnsweredTrunkLegIsChargedUntilTheCreditEnds) {
  db_test::set_row(domains, domain, {{domains_country_code, "49"}, {domains_area_code, "30"}});
  const str t = id_text(db_test::add_row(trunks, {{trunks_name, "carrier"}}));
  for (auto [prefix, price, period] : {std::tuple{"49", "0.06", "60"}, {"4930", "0.03", "1"}}) {
    const int r = db_test::add_row(rates, {{rate_trunk, t}, {rate_prefix, prefix}});
    db_test::set_row(rates, r, {{rate_price, price}, {rate_period, period}, {rate_upfront, "1"}});
  }
  const str payer = legs.get(primary, leg_extension);
  db_test::set_row(legs, answering, {{leg_trunk, t}, {leg_charge_user, payer}});
  cobjs.set(cobj, cobj_ivr_type, "extcall");
  for (auto [number, credit, ticks, after] :
       {std::tuple{"089123", "1", 7, "120 0.12 0.88 connected"},
        {"5551234", "0.01", 5, "20 0.01 0 terminated"},
        {"5551234", "", 3, "30 0.015  connected"}}) {
    db_test::set_row(legs, answering, str("connect=|cp=|cc=|state=alerting|cr=") + number);
    legs.set(primary, leg_state, leg_connected);
    users.set(payer.value(), users_credit, credit);
    dialog_response({"6", "1", "200", "INVITE", "", "", "OK", "true"});
    for (int i = 0; i < ticks; i++) clock.advance_ms(10000), dialog_timeout({"6", "tocrg", ""});
    EXPECT_EQ(str::sprintf("%s %s %s %s", legs.get(answering, leg_charge_duration),
                           legs.get(answering, leg_charge_cost),
                           users.get(payer.value(), users_credit), legs.get(primary, leg_state)),
              after);
  }
  EXPECT_TRUE(log.contains("Credit of 100 exhausted, ending the call on trunk carrier"));
}

TEST_F(DialogEventsTest, ErrorsGoToTheApplicationOrEndTheCall) {
  const std::tuple<const char*, std::vector<str>, std::vector<str>> cases[] = {
      {"attendant", {"error 2 404"}, texts(answer("6", 486, "Busy Here"))},
      {"extcall", {}, texts(answer("5", 404, "Not Found"), answer("6", 486, "Busy Here"))}};
  for (const auto& [type, calls, commands] : cases) {
    app_calls.clear();
    db_test::set_row(legs, primary, {{leg_state, leg_connected}});
    db_test::set_row(legs, answering, {{leg_state, leg_alerting}});
    cobjs.set(cobj, cobj_ivr_type, type);
    dialog_response({"6", "1", "404", "INVITE", "", "", "Not Found", "false"});
    EXPECT_EQ(app_calls, calls) << type;
    EXPECT_EQ(take(), commands) << type;
  }
}

// A leg listening to the one that hangs up goes with it; a leg listening to another stays.
TEST_F(DialogEventsTest, ListenersOfAHungUpLegGoWithIt) {
  const int other = cobj_create("sip-3", "<sip:102@localhost>", "<sip:100@localhost>", domain);
  const int ear = leg_create(true, "8", "sip-3", "<sip:102@localhost>", "", other, false);
  const int elsewhere = leg_create(true, "9", "sip-4", "<sip:103@localhost>", "", other, false);
  db_test::set_row(legs, ear, {{leg_listener, id_text(answering)}, {leg_state, leg_connected}});
  db_test::set_row(legs, elsewhere, {{leg_listener, id_text(primary)}, {leg_state, leg_connected}});
  dialog_hangup({"6", "", ""});
  EXPECT_EQ(take().front(), texts(answer("8", 486, "Busy Here")).front());
  EXPECT_EQ(legs.get(ear, leg_state), leg_terminated);
  EXPECT_EQ(legs.get(elsewhere, leg_state), leg_connected);
}

TEST_F(DialogEventsTest, EventsOfUnknownLegsAreLogged) {
  for (const str& m : texts(msg::dialog_hangup{"77", "", ""}, msg::dialog_refer{"77", "", "", ""},
                            msg::dialog_hold{"77", ""}, msg::dialog_dtmf{"77", "1"},
                            msg::dialog_eof{"77", ""}, msg::dialog_timeout_report{"77", "", ""}))
    ASSERT_TRUE(dialog_events_on_soap(m));
  std::vector<std::string> lines;
  for (const char* e : {"Hangup", "Refer", "Hold", "DTMF", "EOF", "Timeout"})
    lines.push_back(std::string(e) + ": Call 77 not found");
  EXPECT_EQ(log.texts(), lines);
  EXPECT_TRUE(take().empty());
}

}  // namespace
