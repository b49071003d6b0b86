#include "media/rtp_clock.h"

#include "media/rtp_stream.h"

namespace {

constexpr rtimestamp tick = 10 * ns_per_ms;
constexpr rtimestamp max_lag = 40 * ns_per_ms;

timeout rtp_timeout;  // the clock's timer; pending while the clock runs
rtimestamp next_tick = 0;

void schedule(rtimestamp due) {
  next_tick = due;
  rtp_timeout.callback_at(*scoped_rtp_clock_context::current().queue, due,
                          callback_argument(next_rtp_batch));
}

}  // namespace

void restart_rtp_clock() {
  if (rtp_timeout.pending()) return;
  schedule(clock_now() + tick);
}

void stop_rtp_clock() {
  rtp_timeout.clear();
  next_tick = 0;
}

bool rtp_clock_running() { return rtp_timeout.pending(); }

rtimestamp next_rtp_packet() { return rtp_timeout.pending() ? next_tick : 0; }

void next_rtp_batch() {
  int served = 0;
  for (int i = 0; i < rtp_stream_count; ++i) {
    rtp_stream* s = rtp_stream_of(i);
    if (!s || !s->sending || s->pass_through) continue;
    ++served;
    s->elapsed_ms += 10;
    if (s->elapsed_ms < s->packet_length()) continue;
    s->elapsed_ms = 0;
    s->send_rtp();
  }
  if (served == 0) {
    stop_rtp_clock();
    return;
  }
  const rtimestamp now = clock_now();
  rtimestamp due = next_tick + tick;
  if (now - due > max_lag) due = now + tick;
  schedule(due);
}
