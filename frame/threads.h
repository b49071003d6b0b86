// The fixed threads of the process, the HTTP connection threads and the acceptance of SIP
// TCP/TLS connections.
//
// start_threads creates, in this order: qthread_rtp_func (RTP, srv), qthread_sip_sockets (SIP
// sockets, srv), qthread_sip_timer (SIP timer, srv), cthread_func (control timer, ctrl),
// email_loop, web_loop, midnight_loop, logging_loop, audio_func. The main thread stays in
// run_server (ctrl). Per HTTP connection: http_thread_func (ctrl), detached, with a stack of
// setting thread_stack_size MiB. SIP connections are served by the SIP layer's event loops.
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

// ---- HTTP connection threads (ctrl side)
// ----------------------------------------------------------

extern std::atomic<int> num_http_threads;
extern int max_http_threads;  // setting http_threads (default 50)
extern int64_t http_wait;     // ms between two accepts: 1000 / http_rate, 0 when rate <= 0
extern semaphore http_thread_accepted;

// Serves one accepted HTTP/HTTPS connection on its own thread, under ctrl_run_mutex (releasing
// it while waiting, e.g. with wait_socket) and closes fd at the end. The web layer installs
// it; the default reads and drops until the peer closes or 30 s pass without data.
using http_serve_fn = void (*)(int fd, const ip_port& remote, bool tls);
void set_http_serve(http_serve_fn f);

// Called by run_server (under ctrl_run_mutex) for a ready listening socket.
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
