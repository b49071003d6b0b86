// The RTP thread (srv side, real-time round-robin at minimum priority, pinned by setting
// affinity_mask): all media sockets in one select loop, with rtp_thread_queue run between the
// waits. It never sleeps longer than 300 ms without re-checking its timers, and subtracts the
// clock resolution from each wait so that media timers fire on time.
#pragma once

#include <atomic>
#include <cstdint>

#include "base/str.h"
#include "frame/clock.h"
#include "frame/net.h"
#include "frame/semaphore.h"

// The media layer's sockets: fill adds every socket to watch (call ports, music on hold,
// multicast paging); serve handles every ready one. Defaults: no sockets.
struct rtp_socket_hooks {
  void (*fill)(read_set& watch) = nullptr;
  void (*serve)(const read_set& ready) = nullptr;
};
void set_rtp_socket_hooks(const rtp_socket_hooks& h);

// The load of the RTP thread: total work and idle ticks.
extern std::atomic<int64_t> rtp_active_ticks;
extern std::atomic<int64_t> rtp_idle_ticks;
// t0: end of the previous pass's work, t1: start of the wait, t2: end of the wait. Counted
// only when all three are set, both differences are non-negative and the work is at most
// 50 ms.
void performance_statistics(rtimestamp t0, rtimestamp t1, rtimestamp t2);
void performance_init();

// Pins the calling thread to the CPUs of mask_text (an unsigned number, bits 0..31; empty or
// not a number: 1, the first CPU). Logs "Set process affinity to %d" (level 5) or "Set
// process affinity to %d failed" (level 2). The no-argument form reads affinity_mask.
bool process_affinity(const str& mask_text);
bool process_affinity();

// The wait of one pass, from the delay d (ms, -1 for an empty queue) to the first element:
// above 300 (or none) it is cut to 200 ms and the element is not run afterwards; the wait in
// microseconds is d * 1000 minus the clock resolution, at least 100.
struct rtp_wait {
  int64_t ms;
  int64_t us;
  bool may_run;
};
rtp_wait rtp_wait_for(int64_t d, int64_t resolution_us);

// The thread's semaphore (used instead of select when there is no socket to watch).
extern semaphore rtp_semaphore;

// One pass of the loop (under srv_run_mutex): watch the sockets (or the semaphore) until the
// first timer element is due, then serve the ready sockets or run that element. work_end: end
// of the previous pass's work, updated.
void rtp_loop_pass(rtimestamp& work_end);
[[noreturn]] void run_pbxsrv_rtp();
