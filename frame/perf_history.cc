#include "frame/perf_history.h"

#include <algorithm>

namespace {

int64_t interval_start(atimestamp now) {
  const int64_t s = get_time(now);
  return s - s % perf_history::interval_s;
}

}  // namespace

perf_interval& perf_history::slot(atimestamp now) {
  const int64_t start = interval_start(now);
  perf_interval& p = ring_[static_cast<size_t>(start / interval_s % intervals)];
  if (p.start != start) {
    p = perf_interval();
    p.start = start;
  }
  return p;
}

void perf_history::sample(atimestamp now, int calls, int legs, int registrations,
                          int64_t active_ticks, int64_t idle_ticks) {
  std::lock_guard<std::mutex> lock(mutex_);
  perf_interval& p = slot(now);
  if (active_ticks < last_active_ || idle_ticks < last_idle_) last_active_ = last_idle_ = 0;
  const int64_t busy = active_ticks - last_active_, idle = idle_ticks - last_idle_;
  last_active_ = active_ticks;
  last_idle_ = idle_ticks;
  if (busy + idle > 0) {
    const int load = static_cast<int>((busy * 100 + (busy + idle) / 2) / (busy + idle));
    p.load = std::max(p.load, load);
  }
  p.calls = std::max(p.calls, calls);
  p.legs = std::max(p.legs, legs);
  p.registrations = std::max(p.registrations, registrations);
  p.sampled = true;
}

void perf_history::add_mos(atimestamp now, int mos_tenths) {
  if (mos_tenths < 10 || mos_tenths > 50) return;
  std::lock_guard<std::mutex> lock(mutex_);
  perf_interval& p = slot(now);
  p.mos_sum += mos_tenths;
  p.mos_count++;
}

std::vector<perf_interval> perf_history::snapshot(atimestamp now) const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<perf_interval> out(intervals);
  const int64_t last = interval_start(now);
  for (int i = 0; i < intervals; i++) {
    const int64_t start = last - static_cast<int64_t>(intervals - 1 - i) * interval_s;
    const perf_interval& p = ring_[static_cast<size_t>(start / interval_s % intervals)];
    if (p.start == start) {
      out[i] = p;
    } else {
      out[i].start = start;
    }
  }
  return out;
}

void perf_history::clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  ring_.fill(perf_interval());
  last_active_ = last_idle_ = 0;
}

perf_history& system_perf_history() {
  static perf_history& h = *new perf_history;  // never destroyed: threads may record at exit
  return h;
}
