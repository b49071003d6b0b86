// The fixed threads of the process and the acceptance of HTTP/HTTPS and SIP TCP/TLS
// connections.
//
// start_threads creates, in this order: qthread_rtp_func (RTP, srv), qthread_sip_sockets (SIP
// sockets, srv), qthread_sip_timer (SIP timer, srv), cthread_func (control timer, ctrl),
// email_loop, web_loop, midnight_loop, logging_loop, audio_func. The main thread stays in
// run_server (ctrl). HTTP/HTTPS connections are served by the web layer's event loops, SIP
// connections by the SIP layer's.
//
// Every thread holds its side's run mutex except while it blocks in select, a semaphore wait or
// a sleep. The services of other layers (mail, web client, audio, the HTTP request handler,
// the SIP connections, SNMP/NTP/TFTP sockets) are reached through the hooks below, which
// the composition root installs; a hook left empty does nothing.
//
// Side: each thread belongs to the side named above; the HTTP part of this file is ctrl, the
// SIP TCP/TLS part srv.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <map>

#include "base/ip_port.h"
#include "base/str.h"
#include "frame/clock.h"
#include "frame/connection_admission.h"
#include "frame/mutex.h"
#include "frame/semaphore.h"

// ---- Thread creation ----------------------------------------------------------------------------

// Stack of a connection thread in MiB: the setting's value when in 1..10, else 4.
int thread_stack_mib(const str& setting_value);
// Creates a thread named name (at most 15 characters, shown by top -H and perf); stack_bytes 0
// keeps the default. Returns 0 or the pthread error.
int create_thread(void* (*fn)(void*), void* arg, bool detached, size_t stack_bytes,
                  const char* name);

// Clears single_thread_mode and creates the fixed threads.
void start_threads();

// Thread entries.
void* qthread_rtp_func(void*);
void* qthread_sip_sockets(void*);
void* qthread_sip_timer(void*);
void* cthread_func(void*);
void* midnight_loop(void*);

// ---- Accept throttling
// ----------------------------------------------------------------------------

// Milliseconds to wait before the listening sockets may be watched again (<= 0: watch them
// now). active/max: connection threads running and allowed; gap_ms: the minimum time between
// two accepts; last_accept: time of the previous accept (0: none).
int64_t accept_wait_ms(int active, int max, int64_t gap_ms, rtimestamp last_accept, rtimestamp now);

// Tracks consecutive select time-outs of a loop: returns true when "... waited for %d sec!"
// is due (the count before this time-out is a multiple of 15 and the count after it at least
// 2); seconds is then half the count.
struct select_timeout_counter {
  int count = 0;
  bool on_timeout(int& seconds);
  void reset() { count = 0; }
};

// ---- HTTP/HTTPS connections (ctrl side)
// ------------------------------------------------------------------

// A deliberate deviation from the connection threads this part of the frame used to start, as
// for SIP below: an HTTP or HTTPS connection no longer gets a thread of its own. The web layer
// serves every connection on a small fixed set of event loops (web/http_loops.h). Setting
// http_threads (default 1000) now limits the open connections; at the limit the listening
// sockets are not watched. Setting http_rate paces each source address (one connection taken
// into service per 1000 / http_rate ms per address) instead of all accepts together, and an
// address has at most http_connections_per_address (a setting; 0: no limit) connections open
// (white access-list entries are exempt from both), so that one address cannot keep the web port
// from others.

// Open HTTP/HTTPS connections, their limit and the per-address pacing gap in ms.
extern std::atomic<int> num_http_threads;
extern int max_http_threads;  // setting http_threads (default 1000)
extern int64_t http_wait;     // ms between two connections of an address: 1000 / http_rate
// Per source address: the limit above and the pacing of http_rate. Under ctrl_run_mutex.
extern connection_admission http_admission;

// One accepted HTTP/HTTPS connection, handed to the web layer.
struct http_connection_entry {
  int fd = -1;
  ip_port peer;
  bool tls = false;
  rtimestamp start = 0;   // when its service may begin (the per-address pacing)
  bool admitted = false;  // counted in http_admission
};

// Takes an accepted connection into service and returns at once (under ctrl_run_mutex). It
// owns e.fd from then on and calls end_http_connection when it closed it. The web layer
// installs it; without one a connection is closed right away.
using http_serve_fn = void (*)(const http_connection_entry& e);
void set_http_serve(http_serve_fn f);

// A connection served by the web layer has ended and its socket is closed (under
// ctrl_run_mutex): the count and the address's admission are given back.
void end_http_connection(const http_connection_entry& e);

// Called by run_server (under ctrl_run_mutex) for a ready listening socket: accepts, refuses a
// connection over its address's limit ("HTTP connection limit %d reached for %s, closing
// connection", level 4), and hands the others to the web layer.
void fork_http(int listen_fd, bool tls);

// ---- SIP TCP/TLS connections (srv side)
// ------------------------------------------------------------------

// A deliberate deviation from the connection threads this part of the frame used to start: a
// SIP TCP/TLS connection no longer gets a thread of its own. The SIP layer serves every
// connection on a small fixed set of event loops (sip/connection_loops.h), so that ten
// thousand connected phones cost ten thousand sockets and connection objects rather than ten
// thousand stacks. Numbers, the sip_threads map and the log texts ("Received SIP connection %d
// from %s", "Release SIP thread %d", the limit warning) stay as they were.

struct sip_thread_entry {
  str remote;  // readable remote address
  int fd = -1;
  bool tls = false;
  ip_port peer;
  rtimestamp start = 0;   // when its service may begin (the per-address accept pacing)
  bool admitted = false;  // counted in sip_admission (accepted connections)
};
// Connection number -> entry; guarded by srv_run_mutex.
extern std::map<int, sip_thread_entry> sip_threads;
extern int sip_thread_number;
// Setting sip_threads (default 10000): the limit on open SIP TCP/TLS connections. At the limit
// the listening sockets are not watched, so further connections wait in the kernel's backlog.
extern int max_sip_threads;
// Per source address: setting sip_connections_per_address and the pacing of sip_rate.
extern connection_admission sip_admission;

// The SIP layer's connection handling: create the connection object for a new number (under
// srv_run_mutex), serve it (hand it to an event loop, which ends it with end_sip_connection),
// and release it (remove the registrations bound to it, erase the object). Without serve, a
// connection is ended right after create.
struct sip_tcp_hooks {
  void (*create)(int number, int fd, const ip_port& remote, bool tls) = nullptr;
  void (*serve)(int number) = nullptr;
  void (*release)(int number) = nullptr;
};
void set_sip_tcp_hooks(const sip_tcp_hooks& h);

// Decides whether a connection from remote may be served (the address access list); the
// composition root installs it. A connection it refuses is closed right after the accept,
// before any number, connection object or byte exists for it. Null (default): every source
// passes. Called under srv_run_mutex; it must not block.
using sip_source_check_fn = bool (*)(const ip_port& remote);
void set_sip_source_check(sip_source_check_fn f);
// Decides whether remote is exempt from the per-address limit and pacing (a white access-list
// entry). Null (default): no address is.
void set_sip_source_exempt(sip_source_check_fn f);

// Accepts on a ready SIP TCP/TLS listening socket (under srv_run_mutex). True when a
// connection was taken into service; false when nothing was accepted or the connection was
// refused at the accept: its source blocked ("Refused SIP connection from %s", level 8), or its
// address at its limit ("SIP connection limit %d reached for %s, closing connection", level 4).
bool fork_sip_tcp(int listen_fd, bool tls);

// Prepares a connection's socket for the event loops: non-blocking, type of service from
// setting tos_sip, lingering, and moved to a descriptor number above select()'s range, so that
// thousands of connections leave the low numbers to the loops that still use select (RTP,
// timers, HTTP). Returns the descriptor to use (fd itself when it could not be moved).
int prepare_sip_connection_socket(int fd);

// Ends connection number (under srv_run_mutex): the release hook, "Release SIP thread %d",
// closes the socket, forgets the entry and gives the address's count back.
void end_sip_connection(int number);

// ---- Service threads of other layers ------------------------------------------------------------

// Thread bodies started by start_threads in their place in the order; null: not started.
struct service_thread_entries {
  void* (*email_loop)(void*) = nullptr;
  void* (*web_loop)(void*) = nullptr;
  void* (*audio_func)(void*) = nullptr;
};
void set_service_threads(const service_thread_entries& e);
