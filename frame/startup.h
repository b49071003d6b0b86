// Start-up of the process: the sequence from the command line to run_server, daemonising with
// the pid file, reload_config, restart, the fatal port rule, keep_alive_timer, the midnight
// loop and the memory dump.
//
// The steps that belong to other layers (tables, certificates, web pages, codecs, dial plans,
// e-mail, ...) are reached through startup_hooks, which the composition root (daemon/)
// fills; a hook left empty does nothing.
//
// Side: ctrl (start-up runs single-threaded on the main thread, which becomes the ctrl side's
// main loop).
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

#include "base/str.h"
#include "frame/clock.h"
#include "frame/options.h"

struct startup_hooks {
  // CA certificates; reload_config: init_tables, the database sanity checks
  // (fix_upgrades, fix_restart), deleting the call-leg and call-object rows of a previous run,
  // rebuilding the domain index.
  void (*load_certs)() = nullptr;
  void (*init_tables)() = nullptr;
  void (*clear_call_rows)() = nullptr;
  void (*fix_upgrades)() = nullptr;
  void (*rebuild_domain_index)() = nullptr;
  // The rest of the start-up sequence, run in this order.
  void (*init_web_pages)() = nullptr;
  void (*init_ip)() = nullptr;
  void (*init_setup)() = nullptr;
  void (*init_codecs)() = nullptr;
  void (*read_descriptions)() = nullptr;  // pnp_description, ring_description
  void (*init_timezones)() = nullptr;
  void (*init_dialplans)() = nullptr;
  void (*rebuild_wakeup_list)() = nullptr;
  void (*init_certificates)() = nullptr;  // certificate::init, load_certificates
  void (*fix_addressbook)() = nullptr;
  void (*init_lang_dict)() = nullptr;
  void (*setup_multicast_ports)() = nullptr;
  // run_server.
  void (*ntp_start)() = nullptr;
  void (*init_cdrs_tables)() = nullptr;
  void (*init_rate_table)() = nullptr;
  void (*init_trunks)() = nullptr;
  void (*snmp_set_port)() = nullptr;
  void (*init_tftp)() = nullptr;
  // E-mail to the administrators (subject, body), sent only when email_restart_system is not
  // "false", to email_list_performance.
  void (*email_admins)(const str& subject, const str& body) = nullptr;
  // Before the process ends (process_exit, SIGTERM, SIGINT): files still queued for writing
  // reach the disk.
  void (*flush_files)() = nullptr;
  // restart: reset the SOAP side.
  void (*reset_soap)() = nullptr;
  // keep_alive_timer: night service (returns seconds until the next run), the peak statistics
  // sample, due wake-up calls and coline states.
  int (*update_night_service)() = nullptr;
  void (*sample_statistics)() = nullptr;
  void (*process_wakeups)() = nullptr;
  // midnight_loop.
  void (*load_cdr_tables)() = nullptr;
  int (*call_leg_count)() = nullptr;
  void (*system_midnight_events)() = nullptr;
  void (*domain_midnight_events)() = nullptr;
};
startup_hooks& frame_hooks();

extern rtimestamp start_time;
extern command_line startup_options;

// The whole process: parses the command line and runs the start-up sequence; returns only
// with an exit status when start-up ends early (usage error, --version).
int telmond_main(int argc, char** argv);

// SIGTERM and SIGINT: blocked in the calling thread (and so in every thread it starts later);
// the termination thread waits for them, writes the queued files (flush_files) and the log,
// and ends the process with the signal's status. telmond_main does both.
void block_termination_signals();
bool start_termination_thread();

// Writes the queued files (flush_files) and log entries, clears log_up, flushes the standard
// streams and ends the process with status. The threads keep running until the process is gone, so
// static destructors are not run.
[[noreturn]] void process_exit(int status);

// A SIP or HTTP/HTTPS port could not be opened: logs text at level 0; with check_ports writes
// text to "pbx_startup_err.txt" and exits with status 1, otherwise start-up goes on.
void fatal_port_error(const str& text);
// Replaces the exit of fatal_port_error (tests).
void set_fatal_exit(void (*f)(int status));

// Daemonising: standard streams to /dev/null, fork; the parent writes the child's pid (decimal,
// no newline, mode 0666, truncated) to pid_file when given and ends with _exit(0); a failed
// fork exits with status 2. Returns in the child.
void daemonise(const str& pid_file);

// Raises the core-file size limit to unlimited.
bool enable_core_dumps();
// Raises the open-file limit so that connections sockets fit besides the process's other
// files (connections + open_file_reserve), up to the hard limit (or beyond it when the process
// may). Logs "Could not raise the open-file limit to %d, it stays at %d" (level 1) when the
// soft limit ends up lower than wanted. Returns the soft limit in force afterwards.
constexpr int open_file_reserve = 4096;
int raise_open_file_limit(int connections);

// Settings, tables and logging (again after a restart).
void reload_config();
// The management interface's restart (under ctrl_run_mutex).
void restart();
// The ctrl side's periodic house-keeping (first run 10 s after start).
void keep_alive_timer();

// One line per container ("name: count\r\n").
str get_meminfo();
// A source of further lines (call ports, connections, tables, ...), appended in the order added.
using meminfo_fn = void (*)(str& out);
void add_meminfo_source(meminfo_fn f);

// Minutes to the next quarter hour, in seconds: (15 - minute % 15) * 60.
int midnight_sleep_seconds(int local_minute);
// One pass of the midnight loop after its sleep, at local time hour:minute. With setting reboot
// "next" and no call legs it clears the setting, logs "Automatic reboot" and returns true
// (the caller reboots). Runs the system midnight events at 00:00..00:14 and the per-domain
// midnight events always.
bool midnight_pass(int local_hour, int local_minute);
// Reboots the system (sync, reboot); tests replace it.
void set_system_reboot(void (*f)());

// run_server (server_loop.cc): the main thread's loop; never returns.
[[noreturn]] void run_server();
// Opens the HTTP and HTTPS listening sockets (settings ip_http_port, ip_https_port; 0: none).
void http_set_port();
// SNMP, NTP and TFTP sockets served by run_server: handler(fd) runs under ctrl_run_mutex when
// fd is readable.
void add_main_loop_socket(int fd, void (*handler)(int fd));
void remove_main_loop_socket(int fd);
// The HTTP listening sockets (fd, tls).
struct http_listener {
  int fd;
  bool tls;
  int port;
};
extern std::vector<http_listener> http_listeners;
