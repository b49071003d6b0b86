#include "frame/perf_history.h"

#include <gtest/gtest.h>

#include "base/str.h"

namespace {

constexpr atimestamp t0 = 1767225600000, minute = 60000;  // t0: an interval's start

// The last n intervals up to now as "load calls legs registrations mos", "-" for no data.
str tail(const perf_history& h, atimestamp now, size_t n) {
  const std::vector<perf_interval> v = h.snapshot(now);
  str out = str::sprintf("%d:", static_cast<int>(v.size()));
  for (size_t i = v.size() - n; i < v.size(); i++) {
    const perf_interval& p = v[i];
    out += !p.sampled && !p.mos_count
               ? str("|-")
               : str::sprintf("|%d %d %d %d %d", p.load, p.calls, p.legs, p.registrations, p.mos());
  }
  return out;
}

TEST(PerfHistory, IntervalsKeepPeaksLoadScoresAndWrapAfterTwoDays) {
  perf_history h;
  h.sample(t0, 3, 6, 10, 100, 300);              // load 25 from the totals since start
  h.sample(t0 + 4 * minute, 5, 4, 8, 150, 350);  // 50 of the 100 ticks since: 50
  h.sample(t0 + 6 * minute, 1, 2, 7, 150, 350);  // next interval, no ticks: no load
  h.sample(t0 + 11 * minute, 1, 2, 7, 10, 30);   // totals went back: 10 of 40
  for (int tenths : {41, 38, 9, 51, 36}) h.add_mos(t0 + 7 * minute, tenths);
  EXPECT_EQ(tail(h, t0 + 12 * minute, 4), "576:|-|50 5 6 10 -1|-1 1 2 7 38|25 1 2 7 -1");
  // 48 hours later the first day's slots hold the new data only; the oldest interval shown is
  // the one 575 intervals back.
  const atimestamp later = t0 + 48 * 60 * minute;
  h.sample(later, 2, 2, 2, 10, 30);
  EXPECT_EQ(tail(h, later + 6 * minute, 576).substr(0, 16), "576:|25 1 2 7 -1");
  EXPECT_EQ(tail(h, later + 6 * minute, 2), "576:|-1 2 2 2 -1|-");
}

}  // namespace
