// New calls through admission and routing (the call limits and an unknown number:
// tests/e2e/extension_calls_test.cc), with a recording class standing in for the attendant.
#include "pbx/admission.h"

#include "pbx/pbx_test_util.h"

namespace {

struct start_record {
  int cobj, account;
  str type;
  bool operator==(const start_record&) const = default;
};
std::vector<start_record> starts;

class recording_app : public call_app {
 public:
  using call_app::call_app;
  void start(int account, const str&) override {
    starts.push_back({cobj_, account, cobjs.get(cobj_, cobj_ivr_type)});
  }
};

class AdmissionTest : public pbx_test::call_test {
 protected:
  void SetUp() override {
    call_test::SetUp();
    log_level_max = 9;  // the routine lines too; the capture restores the level
    starts.clear();
    use_app<recording_app>("attendant");
    ext100 = add_extension("100");
    ext101 = add_extension("101");
  }
  // Port `port` receives an INVITE from `from` to user `to` of localhost.
  void call(int port, const char* from, const char* to, const char* trunk = "",
            const char* replaces = "") {
    get_dialog_state({id_text(port), str::sprintf("sip-%d", port),
                      str::sprintf("<sip:%S@localhost>;tag=t%d", from, port),
                      str::sprintf("<sip:%S@localhost>", to), str::sprintf("sip:%S@localhost", to),
                      "", "", trunk, replaces});
  }
  static str refusal(int port, int code, const char* reason) {
    return soap_write(answer(id_text(port), code, reason));
  }
  int ext100 = 0, ext101 = 0;
};

TEST_F(AdmissionTest, UnknownCallerIs404) {
  call(7, "999", "101");  // no such user, no trunk
  EXPECT_EQ(take(), std::vector<str>{refusal(7, 404, "Not Found")});
  EXPECT_TRUE(starts.empty());
}

TEST_F(AdmissionTest, ElevenRoutingsThenLoopDetected) {
  call(7, "100", "101");
  const int cobj = cobjs.first();
  for (int i = 0; i < 11; i++)
    dial_a_number(ext100, cobj, "sip:101@localhost", "<sip:101@localhost>");
  EXPECT_EQ(starts, std::vector<start_record>(11, {cobj, ext101, "attendant"}));
  EXPECT_EQ(take().back(), refusal(7, 482, "Loop Detected"));
  EXPECT_TRUE(log.contains("Too many redirection loops"));
}

TEST_F(AdmissionTest, LoopbackTrunkNeverNamesTheCaller) {
  db_test::set_row(domains, domain, "country_code=49|area_code=30");
  add_account("+49301234567", "attendants", attendants);
  call(7, "100", "1234567", "lo");
  const int leg = legs.first();
  EXPECT_EQ(legs.get(leg, leg_extension), "");
  EXPECT_EQ(legs.get(leg, leg_charge_remote_party), "100");
  EXPECT_EQ(starts.size(), 1u);
  EXPECT_EQ(account_type(starts[0].account), "attendants");
}

TEST_F(AdmissionTest, TrunkRuleFindsTheExtension) {
  db_test::set_row(domains, domain, "country_code=49|area_code=30");
  const int trunk = db_test::add_row(
      trunks, "name=carrier|domain=" + id_text(domain) +
                  "|dial_extension=!^\\+4930555(.*)$!\\1!!|reg_account=p@c|reg_pass=w");
  call(7, "0891234567", "555101", id_text(trunk).c_str());
  EXPECT_EQ(take().front(), soap_write(msg::set_dialog_credentials{"7", "c", "p@c", "w"}));
  EXPECT_EQ(starts, std::vector<start_record>(1, {cobjs.first(), ext101, "attendant"}));
  EXPECT_EQ(legs.get(legs.first(), leg_call_type), "trunk");
  EXPECT_TRUE(log.contains("Domain trunk carrier@localhost sends call to 101 in domain localhost"));
}

TEST_F(AdmissionTest, EmergencyNumberIsNeverTheExtensionOfThatName) {
  db_test::set_row(domains, domain, "e911=112 911|email_from=pbx@pbx.test");
  ctrl_write_setting(ctrl_settings::email_list_performance, "admin@pbx.test");
  add_extension("911");
  // 100's emergency destination, the attendant starts for extension 101.
  for (auto [edest, started] : {std::pair{"", 0u}, {"100 101", 1u}, {"101", 1u}}) {
    starts.clear();
    extensions.set(extension_row(ext100), extensions_emergency_destination, edest);
    call(7, "100", "911");
    EXPECT_EQ(starts.size(), started) << edest;
    for (const auto& s : starts) EXPECT_EQ(s.account, ext101);
    EXPECT_EQ(cobjs.get(cobjs.last(), cobj_priority), "911");
  }
  EXPECT_TRUE(log.contains("Calling user 911 conflicts with emergency number"));
  const std::string mail = file("spool/0000003-00.msg");  // one for each call
  EXPECT_NE(mail.find("Subject: 100 is calling 911!"), mail.npos);
  EXPECT_NE(mail.find("Account 100 is calling the emergency number 911 at "), mail.npos);
}

TEST_F(AdmissionTest, UnknownStarCodeGoesToTheFeatureCodes) {
  use_app<recording_app>("starcode");
  call(7, "100", "*77");
  EXPECT_EQ(starts, std::vector<start_record>(1, {cobjs.first(), ext100, "starcode"}));
}

TEST_F(AdmissionTest, ReplacesTakesTheHoldingLegOrEnds404) {
  const int held = cobj_create("a@x", "<sip:100@localhost>", "<sip:101@localhost>", domain);
  const int first = leg_create(true, "5", "a@x", "<sip:100@localhost>", "", held, false);
  const int holding = leg_create(false, "6", "b@x", "<sip:101@localhost>", "", held, false);
  cobjs.set(held, cobj_primary_leg, id_text(first));
  set_leg_state(holding, leg_holding);
  call(7, "100", "101", "", "b@x;to-tag=1;from-tag=2");
  EXPECT_EQ(leg_cobj(leg_by_id("7")), held);
  EXPECT_EQ(legs.get(holding, leg_state), leg_terminated);
  EXPECT_TRUE(starts.empty());
  EXPECT_EQ(take().front(), soap_write(msg::move_ivr{"6", "7"}));
  call(8, "100", "101", "", "c@x");
  EXPECT_EQ(take().back(), refusal(8, 404, "Not Available"));
}

}  // namespace
