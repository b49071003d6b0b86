// Phase accounting under the manual clock: scripts of phases, holds and pauses, and the IVR
// record each call object leaves.
#include "pbx/call_records.h"

#include <sstream>

#include "pbx/call_state.h"
#include "pbx/pbx_test_util.h"

namespace {

using CallRecordsTest = pbx_test::call_test;

// Steps: a phase opens, seconds pass, a hold opens or closes, the call object ends. The record
// shows di/dr/dt/dh.
TEST_F(CallRecordsTest, PhasesAndHoldsGoIntoTheRecord) {
  const struct {
    const char *script, *record;
  } cases[] = {
      {"dw 5 dr 3 dr 2 dt 4 hold 6 end", "5000/5000/10000/6000/"},
      {"dw 7 end", "7000////"},  // never rang, never talked
      {"dt 2 hold 3 resume 4 hold 1 end", "//10000/4000/"},
      {"2 end", "none"},  // no phase ever opened: nothing to close
  };
  for (const auto& c : cases) {
    const int before = ivr_cdr.size();
    const int cobj = cobj_create("id-1", "<sip:100@localhost>", "<sip:800@localhost>", domain);
    std::istringstream words(c.script);
    for (std::string w; words >> w;) {
      if (isdigit(w[0])) clock.advance_ms(std::stoi(w) * 1000);
      if (w == "hold") cobjs.set(cobj, cobj_hold_start, atimestamp_serialize(wall_now()));
      if (w == "resume") close_cdr_hold(cobj);
      if (w[0] == 'd') begin_cdr_segment(cobj, str(w.c_str()));
      if (w == "end") begin_cdr_segment(cobj, str());
    }
    str record = ivr_cdr.size() == before ? str("none") : str();
    for (const str* column : {&ivr_cdr_duration_ivr, &ivr_cdr_duration_ring, &ivr_cdr_duration_talk,
                              &ivr_cdr_duration_hold})
      if (ivr_cdr.size() > before) record += ivr_cdr.get(ivr_cdr.last(), *column) + "/";
    EXPECT_EQ(record, c.record) << c.script;
  }
}

// A new record removes those older than cdr_keep, oldest first.
TEST_F(CallRecordsTest, OldRecordsLeaveWithTheNextOne) {
  for (int days : {9, 6})
    ivr_cdr.set(ivr_cdr.add_row(), ivr_cdr_time_start,
                atimestamp_serialize(wall_now() - days * 86400000LL));
  const int cobj = cobj_create("id-2", "<sip:1@x>", "<sip:2@x>", domain);
  begin_cdr_segment(cobj, cdr_ivr);
  begin_cdr_segment(cobj, str());
  EXPECT_EQ(ivr_cdr.size(), 2);
  EXPECT_EQ(ivr_cdr.get(ivr_cdr.last(), ivr_cdr_primary_cid), "id-2");
  const std::pair<const char*, int64_t> keep[] = {
      {"7d", 604800000}, {"90m", 5400000}, {"2w", 1209600000}, {"3", 259200000}, {"x", 0}, {"", 0}};
  for (auto [setting, ms] : keep) EXPECT_EQ(cdr_keep_ms(setting), ms) << setting;
}

}  // namespace
