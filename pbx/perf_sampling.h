// What the ctrl side feeds into the statistics over time (frame/perf_history.h): the periodic
// sample of the calls, call legs and registrations with the RTP thread's load, and the
// listening-quality score of every connected leg that ends.
//
// ctrl side, under ctrl_run_mutex (the tables are read).
#pragma once

#include "base/str.h"

// The keep_alive_timer's sample (startup_hooks::sample_statistics): call objects, legs and
// bound registrations (subscriptions left out) now, with rtp_active_ticks and rtp_idle_ticks.
void perf_sample_now();

// The score (MOS, tenths) of a voice-quality report: the MOSLQ of the report's first
// QualityEst line, which is the local measurement of what the leg received. -1 when the report
// carries none.
int report_mos_tenths(const str& report);

// A leg ended with its voice-quality report: counted in the current interval when the leg was
// connected and the report carries a score.
void perf_leg_ended(int leg, const str& report);
