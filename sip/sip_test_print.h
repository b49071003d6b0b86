// Test-only helpers of the sip tests: GoogleTest printing of str values, SIP text written with
// \n turned into the CR LF the wire uses, a manual clock moved through a timer queue, and the
// capture of log lines.
#pragma once

#include <algorithm>
#include <ostream>
#include <string>
#include <vector>

#include "base/log.h"
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

// Captures the log lines written while it lives (one capture at a time). With level_max the
// log level is raised to it meanwhile and put back to the default 5 after.
class log_capture {
 public:
  struct line {
    int group, level;
    std::string text;
  };
  explicit log_capture(int level_max = -1) : level_max_(level_max) {
    lines().clear();
    set_log_sink(sink);
    if (level_max_ >= 0) log_level_max = level_max_;
  }
  ~log_capture() {
    set_log_sink(nullptr);
    if (level_max_ >= 0) log_level_max = 5;
  }
  log_capture(const log_capture&) = delete;
  log_capture& operator=(const log_capture&) = delete;
  static std::vector<line>& lines() {
    static std::vector<line> captured;
    return captured;
  }
  // The texts in order; with with_level each after its level ("2 text").
  static std::vector<std::string> texts(bool with_level = false) {
    std::vector<std::string> out;
    for (const line& l : lines())
      out.push_back((with_level ? std::to_string(l.level) + " " : std::string()) + l.text);
    return out;
  }
  // A line of exactly this text (at this level when one is given).
  static bool has(const std::string& text, int level = -1) {
    return std::any_of(lines().begin(), lines().end(), [&](const line& l) {
      return l.text == text && (level < 0 || l.level == level);
    });
  }
  // A line whose "group:level text" contains fragment.
  static bool contains(const std::string& fragment) {
    for (const line& l : lines())
      if ((std::to_string(l.group) + ":" + std::to_string(l.level) + " " + l.text).find(fragment) !=
          std::string::npos)
        return true;
    return false;
  }

 private:
  static void sink(int group, int level, const str& text) {
    lines().push_back({group, level, std::string(text.view())});
  }
  int level_max_;
};
