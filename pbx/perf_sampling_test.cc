#include "pbx/perf_sampling.h"

#include <gtest/gtest.h>

#include "frame/perf_history.h"
#include "pbx/pbx_test_util.h"

namespace {

using db_test::add_row;

class PerfSamplingTest : public pbx_test::call_test {};

// The local score is the first QualityEst line; only connected legs count.
TEST_F(PerfSamplingTest, ScoresOfConnectedLegsAndTheSample) {
  const str report =
      "VQSessionReport: CallTerm\r\nLocalMetrics:\r\nQualityEst:MOSLQ=3.7 MOSCQ=3.6\r\n"
      "RemoteMetrics:\r\nQualityEst:MOSLQ=4.1 MOSCQ=4.0\r\n";
  const struct {
    str text;
    int tenths;
  } cases[] = {
      {report, 37}, {"QualityEst:MOSLQ=4 MOSCQ=4", 40}, {"QualityEst:MOSLQ=x.5", -1}, {"", -1}};
  for (const auto& c : cases) EXPECT_EQ(report_mos_tenths(c.text), c.tenths) << c.text.view();

  system_perf_history().clear();
  const int connected = add_row(legs, {{leg_connect, "1767225600.0"}}), ringing = legs.add_row();
  perf_leg_ended(connected, report);
  perf_leg_ended(ringing, "QualityEst:MOSLQ=1.0 MOSCQ=1.0");
  add_registration(add_extension("100"), "c1", "<sip:100@127.0.0.1>");
  add_row(registrations, {{registrations_event, "presence"}});  // a subscription: not counted
  perf_sample_now();
  const perf_interval now = system_perf_history().snapshot(wall_now()).back();
  EXPECT_EQ(now.mos(), 37);
  EXPECT_EQ(now.legs, 2);
  EXPECT_EQ(now.registrations, 1);
}

}  // namespace
