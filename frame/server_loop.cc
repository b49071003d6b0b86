#include <errno.h>
#include <sys/select.h>
#include <unistd.h>

#include <algorithm>

#include "base/log.h"
#include "frame/mutex.h"
#include "frame/net.h"
#include "frame/options.h"
#include "frame/rtp_loop.h"
#include "frame/settings.h"
#include "frame/startup.h"
#include "frame/threads.h"
#include "frame/timeout.h"

std::vector<http_listener> http_listeners;

void schedule_keep_alive();  // startup.cc

namespace {

struct main_loop_socket {
  int fd;
  void (*handler)(int fd);
};
std::vector<main_loop_socket> main_sockets;

}  // namespace

void add_main_loop_socket(int fd, void (*handler)(int fd)) {
  main_sockets.push_back(main_loop_socket{fd, handler});
}

void remove_main_loop_socket(int fd) {
  main_sockets.erase(std::remove_if(main_sockets.begin(), main_sockets.end(),
                                    [fd](const main_loop_socket& s) { return s.fd == fd; }),
                     main_sockets.end());
}

void http_set_port() {
  for (http_listener& l : http_listeners) close_socket(l.fd);
  http_listeners.clear();
  const ctrl_settings::setting settings[2] = {ctrl_settings::ip_http_port,
                                              ctrl_settings::ip_https_port};
  for (int i = 0; i < 2; i++) {
    // Empty or 0: no listener. Anything but a number from 1 to 65535 (70000, "8o8o") is refused
    // like a port that cannot be opened, rather than wrapped or cut to some other port.
    str text = ctrl_read_registry(settings[i]).strip();
    if (text.empty() || text == "0") continue;
    uint16_t port = 0;
    if (!parse_port(text, port) || port == 0) {
      log_printf(log_web, 0, "HTTP: Port number %s of %s is invalid", text,
                 ctrl_variable_lookup(settings[i]));
      fatal_port_error(str::sprintf("FATAL: Could not open TCP port %s for HTTP/HTTPS", text));
      continue;
    }
    bool opened = false;
    for (bool v6 : {false, true}) {
      if (v6 ? !system_ipv6.load() : !system_ipv4.load()) continue;
      int fd = tcp_listen(ip_port(any_address(v6), port));
      if (fd < 0) {
        if (!opened) {
          fatal_port_error(str::sprintf("FATAL: Could not open TCP port %d for HTTP/HTTPS", port));
        }
        break;
      }
      opened = true;
      http_listeners.push_back(http_listener{fd, i == 1, port});
    }
  }
}

void run_server() {
  // 1.
  if (frame_hooks().ntp_start) frame_hooks().ntp_start();
  ctrl_write_setting(ctrl_settings::reboot, str());
  if (ctrl_read_registry(ctrl_settings::email_restart_system) != "false" &&
      frame_hooks().email_admins) {
    frame_hooks().email_admins(str("PBX Start"), str("PBX system is started"));
  }
  if (frame_hooks().init_cdrs_tables) frame_hooks().init_cdrs_tables();
  if (frame_hooks().init_rate_table) frame_hooks().init_rate_table();
  start_threads();
  bind_thread_side(run_side::ctrl);
  if (frame_hooks().init_trunks) {
    // Trunks are srv-side objects: they are set up on the SIP timer thread.
    static timeout& t = *new timeout;
    t.callback(sip_thread_queue, 0, callback_argument(frame_hooks().init_trunks));
  }

  // 2.
  ctrl_run_mutex.lock();
  schedule_keep_alive();
  performance_init();
  http_set_port();
  if (frame_hooks().snmp_set_port) frame_hooks().snmp_set_port();
  if (frame_hooks().init_tftp) frame_hooks().init_tftp();
  int rate = ctrl_read_registry(ctrl_settings::http_rate).value();
  http_wait = rate > 0 ? 1000 / rate : 0;
  int threads = ctrl_read_registry(ctrl_settings::http_threads).value();
  if (threads > 0) max_http_threads = threads;

  // 3.
  rtimestamp last_accept = 0;
  select_timeout_counter timeouts;
  read_set rs;
  for (;;) {
    rs.clear();
    for (const main_loop_socket& s : main_sockets) rs.add(s.fd);
    // Accepts are paced per source address (fork_http); here only the connection limit holds.
    int64_t wait =
        accept_wait_ms(num_http_threads.load(), max_http_threads, 0, last_accept, clock_now());
    if (wait <= 0) {
      for (const http_listener& l : http_listeners) rs.add(l.fd);
    }
    int n = rs.wait(wait <= 0 ? -1 : wait, ctrl_run_mutex);
    if (n < 0) {
      if (errno != EINTR && errno != EBADF) {
        log_printf(log_general, 4, "select returns error %d", errno);
      }
      continue;
    }
    if (n == 0) {
      int secs;
      if (timeouts.on_timeout(secs)) {
        log_printf(log_general, 4, "HTTP/NTP/SNMP client waited for %d sec!", secs);
      }
      continue;
    }
    timeouts.reset();
    std::vector<main_loop_socket> ready;
    for (const main_loop_socket& s : main_sockets) {
      if (rs.ready(s.fd)) ready.push_back(s);
    }
    for (const main_loop_socket& s : ready) s.handler(s.fd);
    if (wait <= 0) {
      std::vector<http_listener> listeners = http_listeners;
      for (const http_listener& l : listeners) {
        if (rs.ready(l.fd)) {
          fork_http(l.fd, l.tls);
          last_accept = clock_now();
        }
      }
    }
  }
}
