#include "pbx/perf_sampling.h"

#include "db/schema.h"
#include "frame/clock.h"
#include "frame/perf_history.h"
#include "frame/rtp_loop.h"

void perf_sample_now() {
  int bound = 0;
  for (int g = registrations.first(); g; g = registrations.next(g))
    if (registrations.get(g, registrations_event).empty()) bound++;
  system_perf_history().sample(wall_now(), cobjs.count(), legs.count(), bound,
                               rtp_active_ticks.load(), rtp_idle_ticks.load());
}

int report_mos_tenths(const str& report) {
  static const char key[] = "QualityEst:MOSLQ=";
  const long at = report.find(key);
  if (at < 0) return -1;
  const str value = report.substr(at + sizeof key - 1).get_field(0, " \r\n");
  const long dot = value.find('.');
  const str whole = dot < 0 ? value : value.leftstr(dot);
  const str tenth = dot < 0 ? str("0") : value.substr(dot + 1, 1);
  if (!whole.is_number() || !tenth.is_number()) return -1;
  return whole.value() * 10 + tenth.value();
}

void perf_leg_ended(int leg, const str& report) {
  if (!legs.has_row(leg) || legs.get(leg, leg_connect).empty()) return;
  const int mos = report_mos_tenths(report);
  if (mos >= 0) system_perf_history().add_mos(wall_now(), mos);
}
