#include "frame/sip_loop.h"

#include <errno.h>
#include <poll.h>
#include <sys/select.h>

#include "base/log.h"
#include "frame/mutex.h"
#include "frame/net.h"
#include "frame/options.h"
#include "frame/settings.h"
#include "frame/startup.h"
#include "frame/stun.h"
#include "frame/threads.h"

std::vector<sip_socket> sip_sockets;
int dns_socket4 = -1;
int dns_socket6 = -1;

namespace {

sip_udp_hooks hooks;
sip_set_port_fn set_port_hook = nullptr;

// The most datagrams of one UDP socket handled per pass of the loop, so that the other
// sockets (and the DNS answers) still get their turn under a flood.
constexpr int udp_batch = 32;

// True when a connection waits in the listening socket's backlog (the socket blocks in accept).
bool listener_ready(int fd) {
  pollfd p{fd, POLLIN, 0};
  return poll(&p, 1, 0) == 1 && (p.revents & POLLIN);
}

}  // namespace

void set_sip_udp_hooks(const sip_udp_hooks& h) { hooks = h; }

bool sip_udp_send(int socket_index, const str& data, const ip_port& dest) {
  if (socket_index < 0 || socket_index >= static_cast<int>(sip_sockets.size())) return false;
  return udp_send(sip_sockets[socket_index].fd, data, dest);
}

void set_sip_set_port(sip_set_port_fn f) { set_port_hook = f; }

void sip_set_port() {
  srv_run_mutex.must_own("sip_set_port");
  if (set_port_hook) {
    set_port_hook();
    return;
  }
  for (sip_socket& s : sip_sockets) close_socket(s.fd);
  sip_sockets.clear();
  int udp_port = ctrl_read_registry(ctrl_settings::ip_sip_udp_port).value();
  int tcp_port = ctrl_read_registry(ctrl_settings::ip_sip_tcp_port).value();
  int tls_port = ctrl_read_registry(ctrl_settings::ip_sip_tls_port).value();
  if (udp_port > 0) {
    for (bool v6 : {false, true}) {
      if (v6 ? !system_ipv6.load() : !system_ipv4.load()) continue;
      ip_port local(any_address(v6), static_cast<uint16_t>(udp_port));
      int fd = udp_open(local);
      if (fd < 0) {
        fatal_port_error(str::sprintf("FATAL: Could not open UDP port %s:%d for SIP",
                                      local.readable_address(), udp_port));
        continue;
      }
      sip_sockets.push_back(sip_socket{sip_socket::udp, fd, local});
    }
  }
  for (auto [port, kind] : {std::pair{tcp_port, sip_socket::tcp}, {tls_port, sip_socket::tls}}) {
    if (port <= 0) continue;
    for (bool v6 : {false, true}) {
      if (v6 ? !system_ipv6.load() : !system_ipv4.load()) continue;
      ip_port local(any_address(v6), static_cast<uint16_t>(port));
      int fd = tcp_listen(local, sip_listen_backlog);
      if (fd < 0) {
        fatal_port_error(str::sprintf("FATAL: Could not open TCP port %d for SIP", port));
        continue;
      }
      sip_sockets.push_back(sip_socket{kind, fd, local});
    }
  }
}

void open_dns_sockets() {
  if (system_ipv4 && dns_socket4 < 0) dns_socket4 = udp_open(ip_port(any_address(false), 0));
  if (system_ipv6 && dns_socket6 < 0) dns_socket6 = udp_open(ip_port(any_address(true), 0));
}

void handle_sip_udp_datagram(int socket_index, const str& datagram, const ip_port& source,
                             sip_udp_sender send) {
  if (!send) send = sip_udp_send;
  if (datagram.empty()) {
    if (hooks.connection_refused) hooks.connection_refused(source);
    return;
  }
  if (is_stun(datagram)) {
    int type = stun_message_type(datagram);
    if (type == stun_binding_success) {
      if (hooks.stun_response) hooks.stun_response(datagram, source);
    } else if (type == stun_binding_request) {
      str answer = stun_binding_response(datagram, source);
      if (!answer.empty()) send(socket_index, answer, source);
    }
    return;
  }
  str message = hooks.get_first_packet ? hooks.get_first_packet(datagram) : str();
  if (!message.empty()) {
    if (hooks.process_pdu) hooks.process_pdu(socket_index, message, source);
  } else if (datagram.length() > 4) {
    log_printf(log_sip, 8, "Illegal pdu(%s=%d): %h", source.readable(),
               static_cast<int>(datagram.length()), datagram.leftstr(100));
  }
}

void run_pbxsrv_sip() {
  srv_run_mutex.must_own("run_pbxsrv_sip");
  sip_set_port();
  {
    int threads = ctrl_read_registry(ctrl_settings::sip_threads).value();
    if (threads > 0) max_sip_threads = threads;
  }
  select_timeout_counter timeouts;
  read_set rs;
  for (;;) {
    rs.clear();
    // sip_rate paces each source address on its own (fork_sip_tcp); here only the limit on
    // connections keeps the listening sockets out of the read set.
    int64_t wait =
        accept_wait_ms(static_cast<int>(sip_threads.size()), max_sip_threads, 0, 0, clock_now());
    for (const sip_socket& s : sip_sockets) {
      if (s.kind == sip_socket::udp || wait <= 0) rs.add(s.fd);
    }
    rs.add(dns_socket4);
    rs.add(dns_socket6);
    int n = rs.wait(wait <= 0 ? -1 : wait, srv_run_mutex);
    if (n < 0) {
      if (errno != EINTR && errno != EBADF) {
        log_printf(log_sip, 4, "select returns error %d (sip)", errno);
      }
      continue;
    }
    if (n == 0) {
      int secs;
      if (timeouts.on_timeout(secs)) log_printf(log_sip, 4, "SIP client waited for %d sec!", secs);
      continue;
    }
    timeouts.reset();
    // The socket list may change while a handler runs (a restart re-opens the ports): iterate
    // by index over a snapshot of the descriptors.
    std::vector<sip_socket> ready;
    for (const sip_socket& s : sip_sockets) {
      if (rs.ready(s.fd)) ready.push_back(s);
    }
    for (const sip_socket& s : ready) {
      if (s.kind == sip_socket::udp) {
        // What waits on the socket is taken in one pass (up to udp_batch datagrams), not one
        // datagram per select and per hand-over of the run lock; the socket is looked up
        // again before each, since a handler may re-open the ports.
        for (int taken = 0; taken < udp_batch; taken++) {
          int index = -1;
          for (size_t i = 0; i < sip_sockets.size(); i++) {
            if (sip_sockets[i].fd == s.fd) index = static_cast<int>(i);
          }
          str data;
          ip_port source;
          if (index < 0 || !udp_receive(s.fd, data, source)) break;
          handle_sip_udp_datagram(index, data, source);
        }
      } else if (wait <= 0) {
        // Several connections may wait in the backlog: take a few per pass, so that a
        // reconnect storm is not served one accept per select.
        for (int i = 0; i < 32; i++) {
          if (i > 0 &&
              (static_cast<int>(sip_threads.size()) >= max_sip_threads || !listener_ready(s.fd))) {
            break;
          }
          fork_sip_tcp(s.fd, s.kind == sip_socket::tls);
        }
      }
    }
    for (int fd : {dns_socket4, dns_socket6}) {
      if (rs.ready(fd)) {
        str data;
        ip_port source;
        if (udp_receive(fd, data, source) && hooks.dns_pdu) hooks.dns_pdu(data, source);
      }
    }
  }
}

void* qthread_sip_sockets(void*) {
  bind_thread_side(run_side::srv);
  srv_run_mutex.lock();
  open_dns_sockets();
  run_pbxsrv_sip();
}
