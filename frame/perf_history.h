// perf_history: the system's statistics over time, for the graphs of the system administrator.
// A fixed ring of 576 intervals of 5 minutes (48 hours), each keeping the RTP thread's load
// (percent of its time spent working between two samples), the highest numbers of calls, call
// legs and registrations sampled in it, and the sum and count of the listening-quality scores
// (MOS, in tenths) of the calls that ended in it.
//
// Side-neutral: every member takes the lock of the object, so the ctrl side's sampling and
// hang-up handling and the pages that draw the graphs may run on any thread. Recording never
// allocates. Time is what the caller passes, the side's wall clock (a manual clock in tests);
// an interval is the 300 s of wall time it starts at, so a sample that lands in an interval
// last used 48 hours ago replaces it.
#pragma once

#include <array>
#include <cstdint>
#include <mutex>
#include <vector>

#include "frame/clock.h"

struct perf_interval {
  int64_t start = 0;     // Unix seconds of the interval's start
  bool sampled = false;  // counts and load were sampled in it
  int load = -1;         // percent; -1: the RTP thread neither worked nor waited in between
  int calls = 0, legs = 0, registrations = 0;
  int64_t mos_sum = 0;  // tenths
  int mos_count = 0;

  // The mean score in tenths, rounded; -1 when no call ended in the interval.
  int mos() const {
    return mos_count ? static_cast<int>((mos_sum + mos_count / 2) / mos_count) : -1;
  }
};

class perf_history {
 public:
  static constexpr int interval_s = 300;
  static constexpr int intervals = 48 * 3600 / interval_s;

  // A sample at now: the counts raise the interval's peaks; active_ticks and idle_ticks are
  // the RTP thread's running totals (rtp_active_ticks, rtp_idle_ticks), of which the part
  // since the previous sample gives the load (totals that went back, after performance_init,
  // count from zero).
  void sample(atimestamp now, int calls, int legs, int registrations, int64_t active_ticks,
              int64_t idle_ticks);
  // A call ended at now with the score mos_tenths (10..50; other values are ignored).
  void add_mos(atimestamp now, int mos_tenths);

  // The intervals of the 48 hours up to and including the one holding now, oldest first;
  // intervals without data carry only their start.
  std::vector<perf_interval> snapshot(atimestamp now) const;
  void clear();

 private:
  perf_interval& slot(atimestamp now);

  mutable std::mutex mutex_;
  std::array<perf_interval, intervals> ring_{};
  int64_t last_active_ = 0, last_idle_ = 0;
};

// The process's history: sampled by the ctrl side's keep_alive_timer (startup_hooks::
// sample_statistics), fed by the hang-ups of calls, drawn by the web pages.
perf_history& system_perf_history();
