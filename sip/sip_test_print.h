// Test-only helpers of the sip tests: GoogleTest printing of str values, SIP text written with
// \n turned into the CR LF the wire uses, a manual clock moved through a timer queue, and the
// capture of log lines.
#pragma once

#include <ostream>

#include "base/log.h"
#include "base/log_capture_test_util.h"
#include "base/str.h"
#include "frame/clock.h"
#include "frame/timeout.h"

inline void PrintTo(const str& s, std::ostream* os) { *os << '"' << s.view() << '"'; }

inline str crlf(const char* text) {
  str out;
  for (const char* p = text; *p; ++p) {
    if (*p == '\n') out += '\r';
    out += *p;
  }
  return out;
}

// Moves the manual clock to target, running every timer of q that is due on the way at its own
// instant, as the timer thread would.
inline void run_timers_until(manual_clock& clock, timeout_queue& q, rtimestamp target) {
  for (;;) {
    rtimestamp due = q.first_due();
    if (due == 0 || due > target) break;
    if (due > clock_now()) clock.advance_ns(due - clock_now());
    rtimestamp now;
    uint64_t id;
    while (q.delay(now, id) == 0) q.next();
  }
  if (target > clock_now()) clock.advance_ns(target - clock_now());
}
