#include "frame/timer.h"

namespace {

class real_waiter : public timer_waiter {
 public:
  int wait(semaphore& s, int64_t ms) override { return s.wait(ms); }
};

}  // namespace

timer_waiter& real_timer_waiter() {
  // Never destroyed: timer threads still use it while the process exits.
  static real_waiter* w = new real_waiter;
  return *w;
}

bool timer_thread::run_once(timer_waiter& w) {
  rtimestamp now = 0;
  uint64_t id = 0;
  // The wake-up is registered in the step that computes the delay: an insertion by a thread of
  // the other side (which does not hold our run mutex) between the two would otherwise be missed.
  int64_t d = queue_.arm(sema_, now, id);
  if (d != 0) {
    int result;
    {
      mutex_unlock u(run_);
      // An empty queue gives -1: wait until an insertion signals.
      result = w.wait(sema_, d);
    }
    if (result != 1) {  // signalled (or failed): recompute
      queue_.register_wakeup();
      return false;
    }
  }
  return id != 0 && queue_.next_if_first(id);
}

void timer_thread::run() {
  bind_thread_side(run_.side());
  run_.lock();
  for (;;) run_once(real_timer_waiter());
}
