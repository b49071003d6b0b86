// The event loops that serve every SIP TCP and TLS connection, accepted or opened by this side.
//
// A deliberate deviation from one thread per connection: a small fixed set of loops (one per
// core, at least one and at most four), each an epoll instance on a thread of its own
// ("sip-conn-N"), serves all connections; a new connection goes to the loop that serves the
// fewest. Everything a connection thread did stays as it was: the log texts, the idle time-out
// of the connection (8 s accepted, 60 s opened, raised by registrations to their nat_tcp
// form), the 65,536-byte bound on unframed input, TLS through memory BIOs, the registrations
// bound to a connection removed when it closes, CRLF keep-alives, "Release SIP thread %d" when
// a connection ends. New with the loops: an accepted connection whose service start lies ahead
// (the per-address pacing of sip_rate) is read only from then on, and an accepted connection
// that has not completed its first SIP message within setting sip_first_message_timeout
// seconds (default 10; 0: no limit) is closed with "SIP transport layer timeout".
//
// srv side. A loop holds srv_run_mutex except while it waits in epoll_wait; every connection
// is read, framed, processed and closed under the mutex, as its thread did. A loop scans its
// connections for time-outs only when the earliest one may be due and at most once a second
// (time-outs are whole seconds, so one may be acted on up to a second late); paced
// connections start on time.
#pragma once

#include "frame/clock.h"

class sip_connection;

// Takes connection number (its entry in sip_threads and its object in sip_connections) into
// service on a loop, starting the loops at first use. Under srv_run_mutex. A connection whose
// object is missing or broken (TLS without a server certificate) is ended at once.
void serve_sip_connection(int number);

// What a connection's time-outs ask for at now. next is lowered to the earliest time at which
// one of them may become due (unchanged when none can).
enum class connection_due { nothing, connect_failed, idle, first_message };
connection_due check_connection_timeouts(const sip_connection& c, rtimestamp now,
                                         int first_message_timeout_s, rtimestamp& next);
