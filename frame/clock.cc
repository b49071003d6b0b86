#include "frame/clock.h"

#include <time.h>

namespace {

class real_clock : public clock_source {
 public:
  rtimestamp monotonic() override {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
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

clock_source* set_clock(clock_source* c) {
  return current.exchange(c ? c : &the_real_clock);
}

rtimestamp clock_now() { return current.load(std::memory_order_relaxed)->monotonic(); }

atimestamp wall_now() { return current.load(std::memory_order_relaxed)->wall(); }
