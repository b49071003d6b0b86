// The logging entry point that every layer calls.
//
// A log call first tests log_check_condition(group, level), which is a few inline comparisons
// against globals that the logging module of frame/ maintains, and only then formats its text
// with str::sprintf. The formatted line goes to the sink that frame/ installs; until then (and
// in unit tests that install none) lines go to stderr.
//
// Side-neutral.
#pragma once

#include <atomic>
#include <cstdint>

#include "base/str.h"

// Log groups.
enum log_group : int {
  log_general = 0,
  log_sip = 1,
  log_media = 2,
  log_application = 3,
  log_email = 4,
  log_web = 5,
  log_registrations = 6,
  log_snmp = 7,
  log_trunks = 8,
  log_soap = 9,
  log_tftp = 10,
  log_pstn = 12,
  log_tls = 13,
  log_ldap = 14,
};

// Filter state, owned by frame/log.cc. log_up: logging may be used at all; log_level: the
// highest level that is written (0 most severe, 9 least); log_groups: bit g set when group g is
// enabled.
extern std::atomic<bool> log_up;
extern std::atomic<int> log_level_max;
extern std::atomic<uint32_t> log_groups_enabled;

// The level is tested first: a call above the configured level (the common case of a
// suppressed message) costs one load and one comparison.
inline bool log_check_condition(int group, int level) {
  return level <= log_level_max.load(std::memory_order_relaxed) &&
         log_up.load(std::memory_order_relaxed) &&
         (log_groups_enabled.load(std::memory_order_relaxed) >> (group & 31) & 1u);
}

// Receives one formatted message (without line end).
using log_sink_fn = void (*)(int group, int level, const str& text);
void set_log_sink(log_sink_fn sink);
void log_write(int group, int level, const str& text);

// log_printf(group, level, format, args...): formats and writes only when the condition holds.
#define log_printf(group, level, ...)                              \
  do {                                                             \
    if (log_check_condition((group), (level)))                     \
      log_write((group), (level), str::sprintf(__VA_ARGS__));      \
  } while (0)
