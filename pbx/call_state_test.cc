// The call state through one call's life: parallel ringing, the first answer bridged, the
// others ended as completed elsewhere; a leg that never ended, collected with its record.
#include "pbx/call_state.h"

#include <sstream>

#include "frame/perf_history.h"
#include "pbx/call_records.h"
#include "pbx/pbx_test_util.h"
#include "pbx/perf_sampling.h"

namespace {

class CallStateTest : public pbx_test::call_test {
 protected:
  // A call object of type "attendant" with its inbound primary leg on port 7.
  void incoming_call() {
    incoming("<sip:100@localhost>", "<sip:101@localhost>", "7", "abc@phone", "<sip:101@localhost>");
    cobjs.set(cobj, cobj_ivr_type, "attendant");
  }
};

TEST_F(CallStateTest, FirstAnswerOfParallelRingingIsBridged) {
  const int ext = add_extension("101", "pw101");
  add_registration(ext, "reg-a", "<sip:101@127.0.0.2:5062>;expires=60");
  add_registration(ext, "reg-b", "sip:101@127.0.0.3:5064");
  incoming_call();

  const std::vector<int> rung = initiate_call_to_all_registered_extensions(
      registrations_of(ext), cobj, primary, "<sip:100@localhost>", "<sip:101@localhost>");
  ASSERT_EQ(rung.size(), 2u);
  auto leg = [&](int i, const char* uri, const char* registration) {
    msg::start_dialog m =
        ring(legs.get(rung[i], leg_call_id), uri, "<sip:100@localhost>", "<sip:101@localhost>");
    std::tie(m.registration, m.username, m.password) = std::tuple(registration, "101", "pw101");
    return m;
  };
  EXPECT_EQ(take(), texts(leg(0, "sip:101@127.0.0.2:5062", "reg-a"),
                          leg(1, "sip:101@127.0.0.3:5064", "reg-b")));

  leg_update_id(legs.get(rung[0], leg_call_id), "8");
  leg_update_id(legs.get(rung[1], leg_call_id), "9");
  send_dialog_state(primary, 180, "Ringing");
  take();
  connect_two_calls(cobj, primary, rung[1]);
  EXPECT_EQ(take(),
            texts(msg::clear_dialog_timeout{"7", ""}, answer("8", 1487, "Request Terminated"),
                  msg::connect_calls{"7", "9"}, answer("7", 200, "Ok")));
  EXPECT_EQ(legs.get(rung[0], leg_state), leg_terminated);
  EXPECT_EQ(legs.get(primary, leg_state), leg_connected);
  EXPECT_EQ(call_other_side(cobj, primary), rung[1]);

  // A terminated leg stays terminated. (The call object going with its last leg: every next
  // call of tests/e2e/extension_calls_test.cc under a limit of one call.)
  set_leg_state(rung[0], leg_connected);
  EXPECT_EQ(legs.get(rung[0], leg_state), leg_terminated);
}

TEST_F(CallStateTest, LegOlderThanTheLongestCallIsCollectedWithItsRecord) {
  ctrl_write_registry(ctrl_settings::max_call_duration, "0");  // eight hours
  incoming_call();
  legs.set(primary, leg_state, leg_connected);
  clock.advance_ms(28800 * 1000LL);
  dialog_garbage_collection();
  EXPECT_TRUE(legs.has_row(primary));

  clock.advance_ms(1001);
  dialog_garbage_collection();
  EXPECT_FALSE(legs.has_row(primary));
  EXPECT_FALSE(cobjs.has_row(cobj));
  EXPECT_EQ(file(str::sprintf("expired-%d.txt", primary).c_str()),
            "reference: 1\r\ncall_id: abc@phone\r\nextension: \r\ntrunk: \r\nregistration: \r\n"
            "inbound: true\r\nfrom: <sip:100@localhost>;tag=1\r\nto: <sip:101@localhost>\r\n"
            "state: connected\r\nstart: 1767225600.0\r\nconnect: \r\ndtmf_digits: \r\n"
            "dtmf_stamp: \r\nconnect_symbol: \r\ncharge_user: \r\ncharge_remote_party: \r\n"
            "charge_price: \r\ncharge_duration: \r\ncharge_cost: \r\nsecure: false\r\n"
            "codec: \r\ntap: \r\nlistener: \r\nsource: \r\nrec: \r\npicture: \r\ndp_prio: \r\n"
            "tapi: \r\n");
}

// Phases, pauses, a hold and the end give di/dr/dt/dh; a 9-day-old record leaves with the first.
TEST_F(CallStateTest, PhasesAndHoldsGoIntoTheRecord) {
  ivr_cdr.set(ivr_cdr.add_row(), ivr_cdr_time_start, atimestamp_serialize(wall_now() - 777600000));
  const std::pair<const char*, const char*> cases[] = {
      {"dw 5 dr 3 dr 2 dt 4 hold 6 end", "5000/5000/10000/6000/"},
      {"dw 7 end", "7000////"},  // never rang, never talked
      {"2 end", "7000////"}};    // no phase ever opened: no record
  for (auto [script, record] : cases) {
    const int cobj = cobj_create("id-1", "<sip:100@localhost>", "<sip:800@localhost>", domain);
    std::istringstream words(script);
    for (std::string w; words >> w;) {
      if (isdigit(w[0])) clock.advance_ms(std::stoi(w) * 1000);
      if (w == "hold") cobjs.set(cobj, cobj_hold_start, atimestamp_serialize(wall_now()));
      if (w[0] == 'd' || w == "end") begin_cdr_segment(cobj, str(w == "end" ? "" : w.c_str()));
    }
    str last;
    for (const str* column : {&ivr_cdr_duration_ivr, &ivr_cdr_duration_ring, &ivr_cdr_duration_talk,
                              &ivr_cdr_duration_hold})
      last += ivr_cdr.get(ivr_cdr.last(), *column) + "/";
    EXPECT_EQ(last, record) << script;
  }
  EXPECT_EQ(ivr_cdr.size(), 2);
}

// The local score is the report's first QualityEst line; only connected legs count.
TEST_F(CallStateTest, VoiceScoresOfEndedLegsAndTheSample) {
  const str report = "LocalMetrics:\r\nQualityEst:MOSLQ=3.7 MOSCQ=3.6\r\nQualityEst:MOSLQ=4.1";
  EXPECT_EQ(str::sprintf("%d %d %d", report_mos_tenths(report),
                         report_mos_tenths("QualityEst:MOSLQ=4 MOSCQ=4"),
                         report_mos_tenths("QualityEst:MOSLQ=x.5")),
            "37 40 -1");
  system_perf_history().clear();
  perf_leg_ended(db_test::add_row(legs, {{leg_connect, "1767225600.0"}}), report);
  perf_leg_ended(legs.add_row(), "QualityEst:MOSLQ=1.0 MOSCQ=1.0");
  add_registration(add_extension("100"), "c1", "<sip:100@127.0.0.1>");
  db_test::add_row(registrations, "event=presence");  // not counted
  perf_sample_now();
  const perf_interval now = system_perf_history().snapshot(wall_now()).back();
  EXPECT_EQ(str::sprintf("%d %d %d", now.mos(), now.legs, now.registrations), "37 2 1");
}

}  // namespace
