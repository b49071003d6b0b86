// External calls through the dial plan: the whole StartDialog of a trunk leg (an analog one
// listens for the hangup tone) and a number that no entry routes. Failover to the next trunk:
// tests/e2e/trunk_test.cc.
#include "apps/extcall.h"

#include "pbx/dialog_events.h"
#include "pbx/pbx_test_util.h"

namespace {

using db_test::add_row;

class ExtcallTest : public pbx_test::call_test {
 protected:
  void SetUp() override {
    call_test::SetUp();
    install_extcall();
    caller = add_extension("40");
    users.set(caller, users_ani, "4930123");
    const int plan = add_row(dial_plan, {{dial_plan_name, "P"}});
    users.set(caller, users_dial_plan, id_text(plan));
    a = add_row(trunks,
                "name=A|reg_registrar=127.0.0.9|reg_account=acct|reg_pass=pw|"
                "outbound_proxy=sip:127.0.0.8|codecs=0 8|request_timeout=30|analog=true");
    add_row(dial_plan_entry,
            "id=" + id_text(plan) + "|preference=10|trunk=" + id_text(a) + "|pattern=9*");
  }
  // Extension 40 (or the caller from) dials number from port 7, or reaches the calling card
  // card; the commands of the start are returned.
  std::vector<str> call(const char* number, int card = 0, const char* from = "40") {
    incoming(str::sprintf("\"Al\" <sip:%S@localhost>", from), "<sip:x@localhost>");
    if (str(from) == "40") legs.set(primary, leg_extension, id_text(caller));
    set_ivr_user(cobj, card ? card : caller, "extcall");
    make_call_app("extcall", cobj)->start(card, card ? str() : str("sip:") + number + "@localhost");
    return take();
  }
  // The StartDialog of the newest leg, which went out on trunk t.
  msg::start_dialog outbound(int t, const char* uri, const str& from) {
    msg::start_dialog m =
        ring(legs.get(legs_of(cobj).back(), leg_call_id), uri, from, str("<") + uri + ">");
    m.trunk = id_text(t);
    return m;
  }
  int caller = 0, a = 0;
};

TEST_F(ExtcallTest, TrunkLegAndUnroutedNumber) {
  const std::vector<str> started = call("912345");
  msg::start_dialog m =
      outbound(a, "sip:12345@127.0.0.9;user=phone", "\"Al\" <sip:4930123@127.0.0.9>");
  m.outbound_proxy = "sip:127.0.0.8";
  m.username = "acct";
  m.password = "pw";
  m.codec = "0 8";
  m.codec_lock = "true";
  m.hangup_tone = "true";  // A is analog
  EXPECT_EQ(started, texts(msg::clear_dialog_timeout{"7", ""}, m,
                           msg::set_dialog_timeout{m.call_id, "30000", "request-timeout", ""}));

  EXPECT_EQ(call("777"),
            texts(msg::clear_dialog_timeout{"7", ""}, dialog_state_command("7", 404, "Not Found")));
}

TEST_F(ExtcallTest, CostCentreCodeBeforeALoopbackLeg) {
  add_account("0307", "extensions", extensions, add_row(domains, {{domains_name, "b.example"}}));
  add_row(dial_plan_entry,
          "id=" + users.get(caller, users_dial_plan) + "|preference=90|trunk=*|pattern=*|cmc=c");
  EXPECT_EQ(call("0307"), texts(msg::clear_dialog_timeout{"7", ""},
                                answer("7", 200, "Ok", "$a/ex_enter_cost_code.wav")));
  for (const char* key : {"4", "2", "#"}) dialog_dtmf({"7", key});
  msg::start_dialog m =
      outbound(0, "sip:0307@b.example;user=phone", "\"Al\" <sip:4930123@localhost>");
  m.to = "<sip:x@localhost>";
  m.trunk = "lo";
  m.privacy_style = "rfc3325";
  EXPECT_EQ(take(), texts(m, msg::set_playfile{"7", "$t/ringback.wav", "true", "true", "false"}));
  EXPECT_EQ(cobjs.get(cobj, cobj_cmc), "42");
}

TEST_F(ExtcallTest, CallingCardCallersEnterWhatTheyLack) {
  const int card = add_account("88", "callingcards", callingcards);
  cells.set(cells.add_row(), cells_user, id_text(caller));
  cells.set(cells.first(), cells_number, "0171555");
  // clang-format off
  struct { const char *from, *trust, *state, *prompt; } cases[] = {
      {"40", "", "numw", "aa_outbound"},        {"0171555", "true", "numw", "aa_outbound"},
      {"0171555", "", "enter_pin", "ex_enter_access_code"},
      {"0999", "true", "enter_extension", "ex_enter_extension_number"},
  };
  // clang-format on
  for (const auto& c : cases) {
    domains.set(domain, domains_trust_callerid, c.trust);
    EXPECT_EQ(call("", card, c.from), texts(msg::clear_dialog_timeout{"7", ""},
                                            answer("7", 200, "Ok", str("$a/") + c.prompt + ".wav")))
        << c.from;
    EXPECT_EQ(cobjs.get(cobj, cobj_ivr_state), c.state);
  }
}

}  // namespace
