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
