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
  // Registered before the delay is computed: an insertion by a thread of the other side (which
  // does not hold our run mutex) between the two would otherwise be missed.
  queue_.register_wakeup(sema_);
  int64_t d = queue_.delay(now, id, false);
  if (d != 0) {
    int result;
    {
      mutex_unlock u(run_);
      // An empty queue gives -1: wait until an insertion signals.
      result = w.wait(sema_, d);
    }
    queue_.register_wakeup();
    if (result != 1) return false;  // signalled (or failed): recompute
  } else {
    queue_.register_wakeup();
  }
  if (queue_.wait_id() == id && id != 0) return queue_.next();
  return false;
}

void timer_thread::run() {
  bind_thread_side(run_.side());
  run_.lock();
  for (;;) run_once(real_timer_waiter());
}
