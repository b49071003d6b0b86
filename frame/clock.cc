#include "frame/clock.h"

#include <time.h>

#include "base/log.h"
#include "base/str.h"

// The clock id of the process clock; init_timestamps falls back to CLOCK_REALTIME when the
// monotonic clock's resolution cannot be read.
int used_clock = CLOCK_MONOTONIC;

namespace {

class real_clock : public clock_source {
 public:
  rtimestamp monotonic() override {
    timespec ts;
    clock_gettime(used_clock, &ts);
    return static_cast<rtimestamp>(ts.tv_sec) * ns_per_second + ts.tv_nsec + 1;
  }
  atimestamp wall() override {
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<atimestamp>(ts.tv_sec) * 1000 + ts.tv_nsec / ns_per_ms;
  }
};

real_clock the_real_clock;
std::atomic<clock_source*> current{&the_real_clock};

}  // namespace

clock_source& system_clock_source() { return the_real_clock; }

clock_source* set_clock(clock_source* c) { return current.exchange(c ? c : &the_real_clock); }

rtimestamp clock_now() { return current.load(std::memory_order_relaxed)->monotonic(); }

atimestamp wall_now() { return current.load(std::memory_order_relaxed)->wall(); }

// ---- Time-stamp text forms and set-up ---------------------------------------------------------

int64_t rtimestamp_cpu_offset_us = 0;
rtimestamp rtimestamp_ticks10 = 10 * ns_per_ms;

str rtimestamp_serialize(rtimestamp t) {
  static const char hex[] = "0123456789abcdef";
  char out[16];
  uint64_t v = static_cast<uint64_t>(t);
  for (int i = 0; i < 8; i++) {
    uint8_t b = static_cast<uint8_t>(v >> (8 * i));
    out[2 * i] = hex[b >> 4];
    out[2 * i + 1] = hex[b & 15];
  }
  return str(out, 16);
}

rtimestamp rtimestamp_parse(const str& text) {
  if (text.length() != 16) return 0;
  uint64_t v = 0;
  for (int i = 0; i < 8; i++) {
    int nib[2];
    for (int k = 0; k < 2; k++) {
      uint8_t c = text[2 * i + k];
      if (c >= '0' && c <= '9') {
        nib[k] = c - '0';
      } else if (c >= 'a' && c <= 'f') {
        nib[k] = c - 'a' + 10;
      } else if (c >= 'A' && c <= 'F') {
        nib[k] = c - 'A' + 10;
      } else {
        return 0;
      }
    }
    v |= static_cast<uint64_t>(nib[0] << 4 | nib[1]) << (8 * i);
  }
  return static_cast<rtimestamp>(v);
}

str atimestamp_serialize(atimestamp a) {
  uint64_t v = static_cast<uint64_t>(a);
  return str::from_uint64(v / 1000) + "." + str::from_uint64(v % 1000);
}

atimestamp atimestamp_parse(const str& text) {
  long dot = text.find('.');
  str secs = dot < 0 ? text : text.leftstr(static_cast<size_t>(dot));
  str ms = dot < 0 ? str() : text.substr(static_cast<size_t>(dot) + 1);
  return static_cast<atimestamp>(secs.uvalue64() * 1000 + ms.uvalue64());
}

void init_timestamps() {
  timespec res;
  if (clock_getres(CLOCK_MONOTONIC, &res) == 0) {
    used_clock = CLOCK_MONOTONIC;
  } else {
    used_clock = CLOCK_REALTIME;
    if (clock_getres(CLOCK_REALTIME, &res) != 0) res = timespec{0, 1000};
  }
  rtimestamp_cpu_offset_us =
      (static_cast<int64_t>(res.tv_sec) * ns_per_second + res.tv_nsec) / 1000;
  rtimestamp_ticks10 = ms2ticks(10);
}

void show_timer_features() {
  log_printf(log_general, 8, "Scheduler precision is %d us",
             static_cast<int>(rtimestamp_cpu_offset_us));
}
