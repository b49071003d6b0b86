#include "frame/perf_history.h"

#include <gtest/gtest.h>

namespace {

constexpr atimestamp t0 = 1767225600000;  // an interval's start
constexpr atimestamp minute = 60000;

TEST(PerfHistory, IntervalsKeepPeaksLoadScoresAndWrapAfterTwoDays) {
  perf_history h;
  h.sample(t0, 3, 6, 10, 100, 300);              // load 25 from the totals since start
  h.sample(t0 + 4 * minute, 5, 4, 8, 150, 350);  // 50 of the 100 ticks since: 50
  h.sample(t0 + 6 * minute, 1, 2, 7, 150, 350);  // next interval, no ticks: no load
  h.sample(t0 + 11 * minute, 1, 2, 7, 10, 30);   // totals went back: 10 of 40
  for (int tenths : {41, 38, 9, 51, 36}) h.add_mos(t0 + 7 * minute, tenths);

  const std::vector<perf_interval> v = h.snapshot(t0 + 12 * minute);
  ASSERT_EQ(v.size(), size_t(perf_history::intervals));
  struct row {
    int load, calls, legs, registrations, mos;
  };
  const row expected[] = {{50, 5, 6, 10, -1}, {-1, 1, 2, 7, 38}, {25, 1, 2, 7, -1}};
  for (int i = 0; i < 3; i++) {
    const perf_interval& p = v[v.size() - 3 + i];
    EXPECT_EQ(p.start, t0 / 1000 + i * 300) << i;
    EXPECT_TRUE(p.sampled) << i;
    const row got{p.load, p.calls, p.legs, p.registrations, p.mos()};
    EXPECT_EQ(std::tie(got.load, got.calls, got.legs, got.registrations, got.mos),
              std::tie(expected[i].load, expected[i].calls, expected[i].legs,
                       expected[i].registrations, expected[i].mos))
        << i;
  }
  EXPECT_FALSE(v[v.size() - 4].sampled);
  EXPECT_EQ(v[v.size() - 4].start, t0 / 1000 - 300);

  // 48 hours later the same slots hold the new day's data only.
  const atimestamp later = t0 + 48 * 60 * minute;
  h.sample(later, 2, 2, 2, 10, 30);
  const std::vector<perf_interval> w = h.snapshot(later + 6 * minute);
  EXPECT_EQ(w[w.size() - 2].calls, 2);
  EXPECT_EQ(w[w.size() - 2].mos(), -1);
  EXPECT_FALSE(w.back().sampled);
  EXPECT_EQ(w.back().mos(), -1);                // the old scores of that slot are gone
  EXPECT_EQ(w.front().start, t0 / 1000 + 600);  // the oldest still shown: 576 intervals back
  EXPECT_EQ(w.front().load, 25);
}

}  // namespace
