// The 10 ms clock of media-aware sending: one timer on the RTP thread's queue that serves
// every leg that is sending and not in RTP pass-through. Each tick adds 10 ms to such a
// leg's elapsed time; when that reaches the leg's packet length the leg sends one packet
// (rtp_stream::send_rtp). The ticks follow each other at 10 ms steps of the schedule, not of
// the moment a tick ran, so they do not drift; a clock more than 40 ms behind is re-based to
// now plus 10 ms instead of catching up in a burst. A tick that serves no leg stops the
// clock; restart_rtp_clock starts it again.
//
// Time comes from the process clock (frame/clock.h) and the timer from the queue of the
// installed rtp_clock_context, so that a test drives the clock with a manual clock and a
// queue of its own.
//
// srv side: the RTP thread under srv_run_mutex (and the SIP threads that start a leg's
// sending under the same mutex).
#pragma once

#include "frame/clock.h"
#include "frame/side_context.h"
#include "frame/timeout.h"

struct rtp_clock_context {
  timeout_queue* queue = &rtp_thread_queue;  // the daemon: the RTP thread's queue
};
using scoped_rtp_clock_context = scoped_context<rtp_clock_context>;

// Starts the clock when it is not running: the next tick is now plus 10 ms.
void restart_rtp_clock();
// One tick (the timer's callback): serves the legs, schedules the next tick or stops.
void next_rtp_batch();
// Stops the clock (the timer is cleared).
void stop_rtp_clock();
bool rtp_clock_running();
// The due time of the next tick (next_rtp_packet), 0 when stopped.
rtimestamp next_rtp_packet();
