// The one clock of the process: monotonic time (rtimestamp, nanoseconds) and wall-clock time
// (atimestamp, milliseconds since 1970). Every timer, time-out and time stamp reads it through
// clock_now()/wall_now(), so that tests can replace it with a manual_clock and drive time by
// hand without sleeping.
//
// Side-neutral.
#pragma once

#include <atomic>
#include <cstdint>

// Monotonic time in nanoseconds; 0 means unset.
using rtimestamp = int64_t;
// Wall-clock time in milliseconds since 1970-01-01 UTC; 0 means unset.
using atimestamp = int64_t;

constexpr rtimestamp ns_per_ms = 1000000;
constexpr rtimestamp ns_per_second = 1000000000;

class clock_source {
 public:
  virtual ~clock_source() = default;
  virtual rtimestamp monotonic() = 0;
  virtual atimestamp wall() = 0;
};

// The real clock (clock_gettime CLOCK_MONOTONIC and CLOCK_REALTIME).
clock_source& system_clock_source();

// Installs c as the process clock (nullptr: the real one); returns the previous one.
clock_source* set_clock(clock_source* c);

rtimestamp clock_now();  // never 0
atimestamp wall_now();

// A clock for tests: starts at the given instants and moves only when told.
class manual_clock : public clock_source {
 public:
  explicit manual_clock(rtimestamp mono = ns_per_second, atimestamp wall = 1767225600000)
      : mono_(mono), wall_(wall) {}
  rtimestamp monotonic() override { return mono_.load(); }
  atimestamp wall() override { return wall_.load(); }
  // Moves both clocks forward.
  void advance_ns(rtimestamp ns) {
    mono_ += ns;
    wall_ += ns / ns_per_ms;
  }
  void advance_ms(int64_t ms) { advance_ns(ms * ns_per_ms); }
  void set_wall(atimestamp w) { wall_ = w; }

 private:
  std::atomic<rtimestamp> mono_;
  std::atomic<atimestamp> wall_;
};

// Installs a clock for the lifetime of the object (tests).
class scoped_clock {
 public:
  explicit scoped_clock(clock_source* c) : prev_(set_clock(c)) {}
  ~scoped_clock() { set_clock(prev_); }

 private:
  clock_source* prev_;
};

// ---- Time-stamp conversions and text forms ---------------------------------------------------

class str;

inline constexpr rtimestamp ms2ticks(int64_t ms) { return ms * ns_per_ms; }
inline constexpr rtimestamp s2ticks(int64_t s) { return s * ns_per_second; }
// Rounded to the nearest millisecond / second (signed division, as the timers expect).
inline constexpr int64_t ticks2ms(rtimestamp t) { return (t + 500000) / 1000000; }
inline constexpr int64_t ticks2s(rtimestamp t) { return (t + 500000000) / 1000000000; }
// The 8 kHz sample clock of the media layer.
inline int64_t get_rtp_timestamp() { return clock_now() / 125000; }

// rtimestamp text form: the 8 bytes of the value, least significant first, as 16 lower-case
// hex digits. Parsing anything but exactly that gives 0 (unset).
str rtimestamp_serialize(rtimestamp t);
rtimestamp rtimestamp_parse(const str& text);

// atimestamp helpers (milliseconds since 1970).
inline constexpr atimestamp atimestamp_from_seconds(int64_t s) { return s * 1000; }
inline constexpr int64_t get_time(atimestamp a) { return a / 1000; }  // Unix seconds
inline constexpr int get_ms(atimestamp a) { return static_cast<int>(a % 1000); }
inline constexpr atimestamp add_s(atimestamp a, int64_t n) { return a + n * 1000; }
inline constexpr int32_t diff_ms(atimestamp a, atimestamp b) { return static_cast<int32_t>(a - b); }
inline constexpr int64_t diff_s(atimestamp a, atimestamp b) { return (a - b) / 1000; }
// Text form "<seconds>.<milliseconds>" with no leading zeros in the milliseconds ("12.5" is
// 12 s + 5 ms); parsing takes the unsigned decimals before and after the first ".".
str atimestamp_serialize(atimestamp a);
atimestamp atimestamp_parse(const str& text);

// ---- Process clock set-up ---------------------------------------------------------------------

// The clock id in use (CLOCK_MONOTONIC, or CLOCK_REALTIME when the monotonic clock's
// resolution cannot be read), its resolution in microseconds and the ticks of 10 ms.
extern int used_clock;
extern int64_t rtimestamp_cpu_offset_us;
extern rtimestamp rtimestamp_ticks10;
void init_timestamps();
// Logs "Scheduler precision is %d us" at level 8.
void show_timer_features();
