// The fixed threads of the process and the per-connection threads.
//
// start_threads creates, in this order: qthread_rtp_func (RTP, srv), qthread_sip_sockets (SIP
// sockets, srv), qthread_sip_timer (SIP timer, srv), cthread_func (control timer, ctrl),
// email_loop, web_loop, midnight_loop, logging_loop, audio_func. The main thread stays in
// run_server (ctrl). Per connection: http_thread_func (ctrl) and sip_tcp_thread_func (srv),
// detached, with a stack of setting thread_stack_size MiB.
//
// Every thread holds its side's run mutex except while it blocks in select, a semaphore wait or
// a sleep. The services of other layers (mail, web client, audio, the HTTP request handler,
// the SIP connection loop, SNMP/NTP/TFTP sockets) are reached through the hooks below, which
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

// ---- SIP TCP/TLS connection threads (srv side)
// -------------------------------------------------------

struct sip_thread_entry {
  str remote;  // readable remote address
  int fd = -1;
  bool tls = false;
  ip_port peer;
};
// Thread number -> entry; guarded by srv_run_mutex.
extern std::map<int, sip_thread_entry> sip_threads;
extern int sip_thread_number;
extern int max_sip_threads;  // setting sip_threads (default 100)

// The SIP layer's connection handling: create the connection object for a new thread number
// (under srv_run_mutex, before the thread starts), run the connection loop on the thread
// (sip_tcp_loop: releases srv_run_mutex while waiting), and drop it afterwards (registrations
// bound to it, the connection object). Defaults: no object; a loop that reads and discards
// until the peer closes or nat_tcp seconds pass idle.
struct sip_tcp_hooks {
  void (*create)(int number, int fd, const ip_port& remote, bool tls) = nullptr;
  void (*loop)(int number) = nullptr;
  void (*release)(int number) = nullptr;
};
void set_sip_tcp_hooks(const sip_tcp_hooks& h);

// Decides whether a connection from remote may be served (the address access list); the
// composition root installs it. A connection it refuses is closed right after the accept,
// before any thread, connection object or byte exists for it. Null (default): every source
// passes. Called under srv_run_mutex; it must not block.
using sip_source_check_fn = bool (*)(const ip_port& remote);
void set_sip_source_check(sip_source_check_fn f);

// Accepts on a ready SIP TCP/TLS listening socket (under srv_run_mutex). True when a
// connection was taken into service; false when nothing was accepted or the connection was
// refused at the accept (its source blocked) or its thread could not start. Only the former
// counts for the accept pacing (see run_pbxsrv_sip).
bool fork_sip_tcp(int listen_fd, bool tls);

// The life of one SIP connection thread, accepted or opened by this side: takes
// srv_run_mutex, sets type of service and lingering on the socket of sip_threads[number], runs
// loop, then release, closes the socket and forgets the thread. Called first thing in the new
// thread.
void run_sip_connection_thread(int number, void (*loop)(int number), void (*release)(int number));

// ---- Service threads of other layers ------------------------------------------------------------

// Thread bodies started by start_threads in their place in the order; null: not started.
struct service_thread_entries {
  void* (*email_loop)(void*) = nullptr;
  void* (*web_loop)(void*) = nullptr;
  void* (*audio_func)(void*) = nullptr;
};
void set_service_threads(const service_thread_entries& e);
