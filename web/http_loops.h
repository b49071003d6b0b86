// The event loops that serve every HTTP and HTTPS connection of the web server.
//
// A deliberate deviation from one thread per connection: a small fixed set of loops (one per
// core, at least one and at most four), each an epoll instance on a thread of its own
// ("http-conn-N"), serves all connections; a new connection goes to the loop that serves the
// fewest. What a connection thread did stays as it was: the responses and log texts, the
// 1 MiB / max_tcp_length bound on input, TLS through memory BIOs with the system's
// certificate on the HTTPS port, pipelined requests answered in order, HTTP/1.0 and
// "Connection: close" closing after the answer, the idle time-out (30 s; nat_tcp seconds in the
// XML stream mode). New with the loops: a connection whose service start lies ahead (the
// per-address pacing of http_rate) is read only from then on; a connection that has not
// completed a request within setting http_first_request_timeout seconds (0: no limit) is
// closed; and the 5-second
// delay after a wrong password no longer holds the connection's thread: the request is
// suspended, a timer of the control timer queue ends the suspension 5 s later, and the loop
// serves its other connections meanwhile.
//
// ctrl side. A loop holds ctrl_run_mutex except while it waits in epoll_wait and while it
// encrypts or decrypts TLS records; every request is handled under the mutex. Only its loop
// touches a connection; other threads hand it new connections and ended suspensions.
#pragma once

#include "frame/threads.h"

// Takes an accepted connection into service on a loop, starting the loops at first use
// (http_serve_fn, under ctrl_run_mutex).
void serve_http_connection(const http_connection_entry& e);
