#include "frame/startup.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/reboot.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "base/log.h"
#include "base/version.h"
#include "frame/log.h"
#include "frame/mutex.h"
#include "frame/net.h"
#include "frame/queues.h"
#include "frame/settings.h"
#include "frame/sip_loop.h"
#include "frame/threads.h"
#include "frame/timeout.h"

rtimestamp start_time = 0;
command_line startup_options;

namespace {

void call(void (*f)()) {
  if (f) f();
}

void real_fatal_exit(int status) { process_exit(status); }
void (*fatal_exit)(int) = real_fatal_exit;

void real_reboot() {
  sync();
  reboot(RB_AUTOBOOT);
}
void (*system_reboot)() = real_reboot;

std::vector<meminfo_fn>& meminfo_sources() {
  static std::vector<meminfo_fn> v;
  return v;
}

timeout& keep_alive = *new timeout;
rtimestamp last_statistics_sample = 0;

void email_admins(const char* subject, const char* body) {
  if (ctrl_read_registry(ctrl_settings::email_restart_system) == "false") return;
  if (frame_hooks().email_admins) frame_hooks().email_admins(str(subject), str(body));
}

// Seeds rand() with four bytes of /dev/urandom, most significant first.
void seed_random() {
  int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return;
  unsigned char b[4] = {0, 0, 0, 0};
  if (read(fd, b, 4) == 4) {
    srand(static_cast<unsigned>(b[0]) << 24 | static_cast<unsigned>(b[1]) << 16 |
          static_cast<unsigned>(b[2]) << 8 | b[3]);
  }
  close(fd);
}

void write_stderr(const str& s) {
  if (s.length()) fwrite(s.cbuffer(), 1, s.length(), stderr);
  fflush(stderr);
}

str current_directory() {
  char buf[4096];
  return getcwd(buf, sizeof(buf)) ? str(buf) : str();
}

}  // namespace

startup_hooks& frame_hooks() {
  static startup_hooks h;
  return h;
}

namespace {

sigset_t termination_signals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  return set;
}

// The one thread that receives SIGTERM and SIGINT: the files still queued reach the disk and
// the log its last lines, then the process ends with the signal's own status.
void* termination_loop(void*) {
  sigset_t set = termination_signals();
  int sig = 0;
  while (sigwait(&set, &sig) != 0) {
  }
  log_printf(log_general, 1, "Stopping on signal %d", sig);
  call(frame_hooks().flush_files);
  if (log_up) log_write_pending();
  log_up = false;
  signal(sig, SIG_DFL);
  pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
  raise(sig);
  return nullptr;
}

}  // namespace

void block_termination_signals() {
  sigset_t set = termination_signals();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

bool start_termination_thread() {
  pthread_t t;
  if (pthread_create(&t, nullptr, termination_loop, nullptr) != 0) return false;
  pthread_setname_np(t, "signals");
  pthread_detach(t);
  return true;
}

void process_exit(int status) {
  call(frame_hooks().flush_files);
  // The last lines (a FATAL port error) reach the log file and stderr before the process goes,
  // whether or not the logging thread runs yet.
  if (log_up) log_write_pending();
  log_up = false;
  fflush(stdout);
  fflush(stderr);
  _exit(status);
}

void set_fatal_exit(void (*f)(int)) { fatal_exit = f ? f : real_fatal_exit; }
void set_system_reboot(void (*f)()) { system_reboot = f ? f : real_reboot; }

void fatal_port_error(const str& text) {
  log_printf(log_general, 0, "%s", text);
  if (!check_ports) return;
  text.write_file(str("pbx_startup_err.txt"));
  fatal_exit(1);
}

void daemonise(const str& pid_file) {
  // The standard streams go to /dev/null rather than staying closed, so that no socket or
  // file opened later can become descriptor 0, 1 or 2.
  int null_fd = open("/dev/null", O_RDWR);
  if (null_fd >= 0) {
    dup2(null_fd, 0);
    dup2(null_fd, 1);
    dup2(null_fd, 2);
    if (null_fd > 2) close(null_fd);
  }
  pid_t pid = fork();
  if (pid < 0) process_exit(2);
  if (pid > 0) {
    if (!pid_file.empty()) {
      int fd = open(pid_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
      if (fd >= 0) {
        fchmod(fd, 0666);
        str text = str::sprintf("%d", static_cast<int>(pid));
        ssize_t ignored = write(fd, text.cbuffer(), text.length());
        (void)ignored;
        close(fd);
      }
    }
    _exit(0);
  }
}

bool enable_core_dumps() {
  rlimit r{RLIM_INFINITY, RLIM_INFINITY};
  return setrlimit(RLIMIT_CORE, &r) == 0;
}

int raise_open_file_limit(int connections) {
  rlimit r;
  if (getrlimit(RLIMIT_NOFILE, &r) != 0) return -1;
  const rlim_t wanted = static_cast<rlim_t>(std::max(connections, 0)) + open_file_reserve;
  if (r.rlim_cur >= wanted) return static_cast<int>(std::min<rlim_t>(r.rlim_cur, INT32_MAX));
  rlimit more{wanted, std::max(r.rlim_max, wanted)};
  if (r.rlim_max == RLIM_INFINITY) more.rlim_max = RLIM_INFINITY;
  if (setrlimit(RLIMIT_NOFILE, &more) != 0) {
    more = rlimit{r.rlim_max, r.rlim_max};
    if (setrlimit(RLIMIT_NOFILE, &more) != 0) more = r;
  }
  if (more.rlim_cur < wanted) {
    log_printf(log_general, 1, "Could not raise the open-file limit to %d, it stays at %d",
               static_cast<int>(wanted), static_cast<int>(more.rlim_cur));
  }
  return static_cast<int>(std::min<rlim_t>(more.rlim_cur, INT32_MAX));
}

void reload_config() {
  init_config();
  call(frame_hooks().init_tables);
  apply_log_settings();
  if (!daemon_profile) set_log_stderr(true);
  call(frame_hooks().clear_call_rows);
  call(frame_hooks().fix_upgrades);
  call(frame_hooks().rebuild_domain_index);
}

int telmond_main(int argc, char** argv) {
  // Every thread started from here on inherits the blocked termination signals; only the
  // termination thread (started after daemonising) receives them.
  block_termination_signals();
  // 1. The command line.
  str bad;
  parse_status status = parse_command_line(argc, argv, startup_options, bad);
  if (status == parse_status::version) {
    write_stderr(version_text());
    return 0;
  }
  if (status == parse_status::error) {
    write_stderr(parse_error_text(bad) + usage_text());
    return 1;
  }
  apply_command_line_flags(startup_options);

  // 2. Start-up notices.
  if (!daemon_profile) write_stderr(str("Starting up\n"));
  init_logging();
  init_syslog();
  send_syslog(str("Starting up"));

  // 3.
  seed_random();

  // 4.
  if (daemon_profile) daemonise(startup_options.pid_file);

  // 5.
  init_timestamps();
  system_ipv4 = use_system_ipv4.load();
  system_ipv6 = use_system_ipv6.load();
  signal(SIGHUP, SIG_IGN);
  signal(SIGPIPE, SIG_IGN);
  signal(SIGXFSZ, SIG_IGN);
  start_termination_thread();
  enable_core_dumps();

  // 6. IPv6 probe.
  if (system_ipv6) {
    int fd = udp_open(ip_port(any_address(true), 0));
    system_ipv6 = fd >= 0;
    close_socket(fd);
  }

  // 7. The AES tables are OpenSSL's; nothing to build.
  log_up = true;
  call(frame_hooks().load_certs);
  reload_config();
  raise_open_file_limit(ctrl_read_registry(ctrl_settings::sip_threads).value());

  // 8.
  if (startup_options.log_level >= 0) set_log_level(startup_options.log_level);
  if (!startup_options.http_port.empty()) {
    ctrl_write_setting(ctrl_settings::ip_http_port, startup_options.http_port);
  }
  if (!startup_options.https_port.empty()) {
    ctrl_write_setting(ctrl_settings::ip_https_port, startup_options.https_port);
  }

  // 9.
  log_printf(log_general, 1, "Starting up version %S", TELMOND_VERSION);
  call(frame_hooks().init_web_pages);
  call(frame_hooks().init_ip);

  // 10.
  call(frame_hooks().init_setup);

  // 11.
  call(frame_hooks().init_codecs);
  call(frame_hooks().read_descriptions);
  call(frame_hooks().init_timezones);
  call(frame_hooks().init_dialplans);
  call(frame_hooks().rebuild_wakeup_list);
  call(frame_hooks().init_certificates);
  call(frame_hooks().fix_addressbook);
  show_timer_features();

  // 12.
  log_printf(log_general, 1, "Working Directory is %s", current_directory());
  call(frame_hooks().init_lang_dict);
  start_time = clock_now();

  // 13.
  call(frame_hooks().setup_multicast_ports);
  run_server();
}

// ---- restart and house-keeping
// -------------------------------------------------------------------

namespace {

void reopen_sip_ports() { sip_set_port(); }

}  // namespace

void restart() {
  ctrl_run_mutex.must_own("restart");
  call(frame_hooks().clear_call_rows);
  call(frame_hooks().reset_soap);
  reload_config();
  http_set_port();
  // The SIP sockets belong to the srv side: re-opened on the SIP timer thread.
  static timeout& reopen = *new timeout;
  reopen.callback(sip_thread_queue, 0, callback_argument(reopen_sip_ports));
  email_admins("Restart", "System restart");
  log_printf(log_general, 0, "Restart");
}

void keep_alive_timer() {
  ctrl_run_mutex.must_own("keep_alive_timer");
  int next_s = frame_hooks().update_night_service ? frame_hooks().update_night_service() : 60;
  if (next_s <= 0) next_s = 60;
  rtimestamp now = clock_now();
  if (last_statistics_sample == 0 || now - last_statistics_sample > s2ticks(240)) {
    last_statistics_sample = now;
    call(frame_hooks().sample_statistics);
  }
  call(frame_hooks().process_wakeups);
  keep_alive.callback(http_thread_queue, s2ticks(next_s), callback_argument(keep_alive_timer));
}

void schedule_keep_alive() {
  keep_alive.callback(http_thread_queue, s2ticks(10), callback_argument(keep_alive_timer));
}

void add_meminfo_source(meminfo_fn f) { meminfo_sources().push_back(f); }

str get_meminfo() {
  str out;
  auto line = [&out](const char* name, int64_t n) {
    out.appendf("%S: %s\r\n", name, str::from_int64(n));
  };
  line("sip_connections", static_cast<int64_t>(sip_threads.size()));
  line("http_threads", num_http_threads.load());
  line("log_entries", static_cast<int64_t>(get_log_entry_count()));
  line("sip_thread_queue", static_cast<int64_t>(sip_thread_queue.size()));
  line("rtp_thread_queue", static_cast<int64_t>(rtp_thread_queue.size()));
  line("http_thread_queue", static_cast<int64_t>(http_thread_queue.size()));
  line("callback_objects", callback_objects.load());
  line("timeout_objects", timeout_objects.load());
  line("srv_queue", static_cast<int64_t>(srv_queue_size()));
  line("ctrl_queue", static_cast<int64_t>(ctrl_queue_size()));
  for (meminfo_fn f : meminfo_sources()) f(out);
  return out;
}

// ---- midnight
// ---------------------------------------------------------------------------------------

int midnight_sleep_seconds(int local_minute) { return (15 - local_minute % 15) * 60; }

bool midnight_pass(int local_hour, int local_minute) {
  if (ctrl_read_registry(ctrl_settings::reboot) == "next") {
    int legs = frame_hooks().call_leg_count ? frame_hooks().call_leg_count() : 0;
    if (legs == 0) {
      ctrl_write_registry(ctrl_settings::reboot, str(), true);
      log_printf(log_general, 0, "Automatic reboot");
      return true;
    }
  }
  if (local_hour == 0 && local_minute < 15) call(frame_hooks().system_midnight_events);
  call(frame_hooks().domain_midnight_events);
  return false;
}

void* midnight_loop(void*) {
  bind_thread_side(run_side::ctrl);
  sleep(10);
  {
    mutex_lock l(ctrl_run_mutex);
    call(frame_hooks().load_cdr_tables);
  }
  sleep(10);
  for (;;) {
    time_t now = time(nullptr);
    tm local;
    localtime_r(&now, &local);
    sleep(static_cast<unsigned>(midnight_sleep_seconds(local.tm_min)));
    now = time(nullptr);
    localtime_r(&now, &local);
    bool reboot_now;
    {
      mutex_lock l(ctrl_run_mutex);
      reboot_now = midnight_pass(local.tm_hour, local.tm_min);
    }
    if (reboot_now) {
      sleep(10);
      system_reboot();
      sleep(60);
    }
  }
}
