// Logging and SIP trace: the one facility through which every component reports.
//
// A message has a module (log group, 0..14) and a level (0 most severe .. 9). Callers filter
// with log_check_condition (base/log.h) before they format anything, so a suppressed call costs
// one comparison. A message that passes is collapsed when it repeats, kept in a bounded
// in-memory buffer (read by the web interface) and queued for the logging thread, which writes
// it to the daily log file, to stderr when the process runs in the foreground, and to a remote
// syslog server over UDP.
//
// Side-neutral: any thread of either side may log. log_add_message holds the buffer lock only
// for the list operations; file and network work happens on the logging thread only.
//
// Start-up order (the process's composition root calls these):
//   init_logging()            installs the sink behind log_printf; from then on messages are kept
//   init_syslog(), send_syslog("Starting up")   the local system log
//   apply_log_settings()      after the settings are loaded (and again after a restart)
//   set_log_stderr(true)      when not daemonised
//   set_log_level(n)          for --log
//   logging_loop              thread entry (start_logging_thread() creates it detached)
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "base/log.h"
#include "base/str.h"
#include "frame/clock.h"

struct log_entry {
  int level = 0;
  atimestamp time = 0;
  str text;
  str attachment;  // e.g. the full SIP message of a trace line; may be empty
};

// ---- Set-up and control ----------------------------------------------------------------------

// Installs the module as the sink of log_write (base/log.h) and as the writer of mutex alerts.
// Idempotent.
void init_logging();
// Reads log_level, log_filename, log_length, the log_event_* switches and syslog_server_ip
// from the settings and applies them.
void apply_log_settings();

// One of the log_event_* settings: enables (value not "false") or disables its module(s).
void apply_log_switch(int setting, const str& value);

void set_log_level(int n);
int get_log_level();
// Modules outside 0..14 are ignored (they are never filtered by group).
void set_log_group(int module, bool on);
bool get_log_group(int module);
// Capacity of the in-memory buffer; negative means unbounded.
void set_log_length(int n);
void set_log_stderr(bool on);
// File name pattern; the first "$" stands for the entry's local date (YYYY-MM-DD). Empty: no
// log file.
void set_log_file(const str& pattern);
// Closes the log file and empties the in-memory buffer.
void clear_log();

// ---- Recording ---------------------------------------------------------------------------------

// Records one message (the caller has tested log_check_condition). Never fails.
void log_add_message(int module, int level, const str& text, const str& attachment = str());

// Snapshot of the in-memory buffer, oldest first (web interface), and its size (meminfo).
std::vector<log_entry> get_log_entries();
size_t get_log_entry_count();

// "[<level>] YYYYMMDDhhmmss: <text>" in local time, then LF and the attachment when there is
// one.
str get_log_line(const log_entry& e);
// The log file name for an instant: the first "$" of the pattern replaced by the local date.
str get_log_file_name(const str& pattern, atimestamp t);

// Mutex alerts: "ALERT: <name>: <text>\n" (or "ALERT: <text>\n" without a name) appended to the
// open log file at once, bypassing the buffer, and to stderr in the foreground. init_logging
// installs it as the mutex alert writer.
void log_alert(const char* name, const char* text);

// ---- The logging thread --------------------------------------------------------------------

// Writes every queued entry: file (with the daily switch and log_keep deletion), stderr,
// syslog. One pass of the logging thread; tests call it directly.
void log_write_pending();
// The logging thread's loop: waits (at most 60 s) for entries and writes them. Returns only
// when stop is given and becomes true (tests); the process's thread never returns.
void run_logging_loop(const std::atomic<bool>* stop = nullptr);
// Thread entry (pthread signature) and a helper that starts it detached.
void* logging_loop(void*);
bool start_logging_thread();
// Blocks until the logging thread has written every entry queued so far (tests, and the exit
// path that wants its last lines on disk).
void log_wait_written();

// ---- Remote syslog over UDP -------------------------------------------------------------------

// The network seam of the syslog client: the real one uses a UDP socket; tests install one
// that captures the datagrams.
class syslog_transport {
 public:
  virtual ~syslog_transport() = default;
  // Opens a UDP socket bound to the any-address of the family, local port local_port (falling
  // back to an ephemeral port when that one cannot be bound).
  virtual bool open(bool ipv6, int local_port) = 0;
  virtual void close() = 0;
  // address: 4 or 16 bytes binary. A failed send is lost.
  virtual void send_to(const str& address, int port, const str& bytes) = 0;
  // The system host name; empty when it cannot be read.
  virtual str host_name() = 0;
  // The address of a host name (4 or 16 bytes); empty when it does not resolve. May block on
  // the system resolver: called only when the destination is set (start, a settings change).
  virtual str resolve(const str& name) = 0;
};

std::unique_ptr<syslog_transport> make_udp_syslog_transport();

class syslog_client {
 public:
  syslog_client();
  ~syslog_client();
  // Replaces the transport (before init; tests).
  void set_transport(std::unique_ptr<syslog_transport> t);
  // An empty address disables the client. Otherwise a numeric address "a.b.c.d", "v6" or
  // "[v6]", or a host name, resolved here once, optionally followed by ":port" (default 514);
  // anything else, or a name that does not resolve (unresolved()), disables the client.
  void init(const str& address);
  // Sends one entry when enabled (at most the first 1024 bytes of the datagram).
  void send(const log_entry& e);
  bool enabled() const { return enabled_; }
  bool unresolved() const { return unresolved_; }
  // The local port init binds (514; tests use 0).
  void set_local_port(int port) { local_port_ = port; }
  const str& host_name() const { return host_name_; }

  // "<PRI>Mmm dd hh:mm:ss host text attachment", not yet cut to 1024 bytes.
  static str format(int level, atimestamp t, const str& host, const str& text,
                    const str& attachment);
  // Facility 16; severity from the log level: 0-4 unchanged, 5-6 -> 5, 7 -> 6, above -> 7.
  static int priority(int level);

 private:
  bool enabled_ = false;
  bool unresolved_ = false;
  str host_name_;
  str address_;
  int port_ = 514;
  int local_port_ = 514;
  std::unique_ptr<syslog_transport> transport_;
};

// (Re)initialises the process's syslog client (setting syslog_server_ip). Logs "syslog is
// disabled on the PBX", "syslog messages will be sent to %s", or at level 1 that a host name
// does not resolve.
void set_syslog_server_ip(const str& address);
// Installs the transport of the process's syslog client (tests); nullptr restores the real one.
void set_syslog_transport(std::unique_ptr<syslog_transport> t);

// ---- Local system log --------------------------------------------------------------------------

// Opens the system log as "PBX" with the process id, facility daemon.
void init_syslog();
// Writes "PBX: <text>" with priority notice.
void send_syslog(const str& text);
// Seam for tests: receives (priority, line) instead of the system log. nullptr: the real one.
using local_syslog_fn = void (*)(int priority, const str& line);
void set_local_syslog_writer(local_syslog_fn fn);

// ---- SIP trace ---------------------------------------------------------------------------------

// Traces one SIP message. method: the request method, or the CSeq method of a response.
// call_leg: the index (0..511) of the call leg the message belongs to, or -1. address_text:
// the transport and readable address of the peer ("udp:1.2.3.4:5060"). direction: "Rx", "Tx"
// or "Tr". A message of a call leg goes to that leg's own trace (through the hook below);
// others are logged at module 1, level 5 when their setting (log_sip_register, log_sip_subnot,
// log_sip_dialog) says so or the peer's host is on log_sip_watchlist.
void add_trace(const str& method, int call_leg, const str& address_text, const str& direction,
               const str& raw);
// The call-leg layer registers where a leg's messages go.
using call_leg_trace_fn = void (*)(int call_leg, const str& direction, const str& address_text,
                                   const str& raw);
void set_call_leg_trace(call_leg_trace_fn fn);
// The host of an address text: without a leading transport field ("udp:", "tls "...) and
// without the port ("[::1]:5060" -> "::1", "1.2.3.4:5060" -> "1.2.3.4").
str trace_address_host(const str& address_text);

// Back to the state at start (empty buffers, no repetition, defaults, no file, client off);
// used by restart paths and tests.
void log_reset();
