#include "pbx/perf_sampling.h"

#include "frame/perf_history.h"
#include "pbx/pbx_test_util.h"

namespace {

class PerfSamplingTest : public pbx_test::call_test {};

// The local score is the report's first QualityEst line; only connected legs count.
TEST_F(PerfSamplingTest, ScoresOfConnectedLegsAndTheSample) {
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
