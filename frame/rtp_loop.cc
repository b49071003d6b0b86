#include "frame/rtp_loop.h"

#include <errno.h>
#include <pthread.h>
#include <sched.h>

#include "base/log.h"
#include "frame/mutex.h"
#include "frame/settings.h"
#include "frame/threads.h"
#include "frame/timeout.h"

std::atomic<int64_t> rtp_active_ticks{0};
std::atomic<int64_t> rtp_idle_ticks{0};
semaphore rtp_semaphore;

namespace {

rtp_socket_hooks hooks;

}  // namespace

void set_rtp_socket_hooks(const rtp_socket_hooks& h) { hooks = h; }

void performance_init() {
  rtp_active_ticks = 0;
  rtp_idle_ticks = 0;
}

void performance_statistics(rtimestamp t0, rtimestamp t1, rtimestamp t2) {
  if (!t0 || !t1 || !t2) return;
  rtimestamp work = t1 - t0;
  rtimestamp idle = t2 - t1;
  if (work < 0 || idle < 0 || work > ms2ticks(50)) return;
  rtp_active_ticks += work;
  rtp_idle_ticks += idle;
}

bool process_affinity(const str& mask_text) {
  str t = mask_text.strip();
  uint32_t mask = t.is_number() ? static_cast<uint32_t>(t.uvalue64()) : 1u;
  cpu_set_t set;
  CPU_ZERO(&set);
  for (int cpu = 0; cpu < 32; cpu++) {
    if (mask >> cpu & 1u) CPU_SET(cpu, &set);
  }
  if (sched_setaffinity(0, sizeof(set), &set) == 0) {
    log_printf(log_general, 5, "Set process affinity to %d", static_cast<int>(mask));
    return true;
  }
  log_printf(log_general, 2, "Set process affinity to %d failed", static_cast<int>(mask));
  return false;
}

bool process_affinity() {
  return process_affinity(ctrl_read_registry(ctrl_settings::affinity_mask));
}

rtp_wait rtp_wait_for(int64_t d, int64_t resolution_us) {
  rtp_wait w{d, 0, true};
  if (d < 0 || d > 300) {
    w.ms = 200;
    w.may_run = false;
  }
  w.us = w.ms * 1000 - resolution_us;
  if (w.us < 100) w.us = 100;
  return w;
}

void rtp_loop_pass(rtimestamp& work_end) {
  static thread_local read_set rs;  // its storage serves every pass
  rs.clear();
  if (hooks.fill) hooks.fill(rs);
  int maxfd = rs.max_fd();
  rtimestamp now = 0;
  uint64_t id = 0;
  int64_t d = rtp_thread_queue.delay(now, id, false);
  rtp_wait w = rtp_wait_for(d, rtimestamp_cpu_offset_us);
  int n = 0;
  if (maxfd < 0) {
    rtp_thread_queue.register_wakeup(rtp_semaphore);
    int r = 1;
    if (d != 0) {
      mutex_unlock u(srv_run_mutex);
      r = rtp_semaphore.wait((w.us + 999) / 1000);
    }
    rtp_thread_queue.register_wakeup();
    if (r != 1) return;  // a new first element: recompute
  } else {
    timeval tv{0, 0};  // d == 0: poll
    if (d != 0) {
      tv = timeval{static_cast<time_t>(w.us / 1000000), static_cast<suseconds_t>(w.us % 1000000)};
    }
    rtimestamp t1 = clock_now();
    n = rs.select_for(&tv, srv_run_mutex);
    rtimestamp t2 = clock_now();
    performance_statistics(work_end, t1, t2);
    if (n < 0) {
      if (errno != EINTR && errno != EBADF) {
        log_printf(log_media, 4, "select returns error %d (rtp)", errno);
      }
      n = 0;
    }
  }
  if (n == 0) {
    if (w.may_run && id != 0 && rtp_thread_queue.wait_id() == id) rtp_thread_queue.next();
  } else if (hooks.serve) {
    hooks.serve(rs);
  }
  work_end = clock_now();
}

void run_pbxsrv_rtp() {
  srv_run_mutex.must_own("run_pbxsrv_rtp");
  rtimestamp work_end = 0;
  for (;;) rtp_loop_pass(work_end);
}

void* qthread_rtp_func(void*) {
  bind_thread_side(run_side::srv);
  sched_param p{};
  p.sched_priority = sched_get_priority_min(SCHED_RR);
  if (pthread_setschedparam(pthread_self(), SCHED_RR, &p) == 0) {
    log_printf(log_media, 5, "Set scheduling priority to %d", p.sched_priority);
  } else {
    log_printf(log_media, 0, "Could not set scheduling priority");
  }
  process_affinity();
  srv_run_mutex.lock();
  run_pbxsrv_rtp();
}
