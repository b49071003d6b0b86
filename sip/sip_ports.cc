#include "sip/sip_ports.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "base/log.h"
#include "frame/net.h"
#include "frame/options.h"
#include "frame/settings.h"
#include "frame/sip_loop.h"
#include "frame/startup.h"

bool sip_udp_report_refusals = false;

namespace {

bool g_opened = false;
str g_udp, g_tcp, g_tls;

void add_entries(std::vector<sip_port_binding>& out, sip_socket::kind_t kind, const str& list,
                 bool ipv4, bool ipv6) {
  const int fallback = kind == sip_socket::tls ? 5061 : 5060;
  for (size_t i = 0;; ++i) {
    str entry = list.get_field(i, " \t");
    if (entry.empty()) break;
    str address;
    str port_text = entry;
    long colon = -1;
    if (entry[0] == '[') {
      long close = entry.find(']');
      if (close >= 0 && entry[size_t(close) + 1] == ':') colon = close + 1;
    } else {
      colon = entry.find(':');
    }
    if (colon >= 0) {
      address = ip_address_parse(entry.substr(0, size_t(colon)));
      port_text = entry.substr(size_t(colon) + 1);
      if (address.empty()) continue;
    }
    int port = port_text.value();
    if (port < 1 || port > 65535) {
      if (kind == sip_socket::udp) {
        log_printf(log_sip, 2, "SIP: UDP port number %d is invalid, taking %d instead", port,
                   fallback);
      } else {
        log_printf(log_sip, 2, "SIP: Port number %d is invalid, taking %d instead", port, fallback);
      }
      port = fallback;
    }
    if (!address.empty()) {
      out.push_back({kind, ip_port(address, uint16_t(port))});
      continue;
    }
    if (ipv4) out.push_back({kind, ip_port(any_address(false), uint16_t(port))});
    if (ipv6) out.push_back({kind, ip_port(any_address(true), uint16_t(port))});
  }
}

class net_opener : public sip_port_opener {
 public:
  // With IP_RECVERR an ICMP refusal of an unconnected socket is reported to the next read
  // (the socket loop's refusal) and queued with its destination
  // (sip_transport::take_refused_destinations).
  int open_udp(const ip_port& local) override {
    int fd = udp_open(local);
    // Room for a burst: when a site's phones all register at once (after a power cut), the
    // datagrams wait in the kernel rather than being lost and retransmitted.
    if (fd >= 0) set_socket_receive_buffer(fd, 4 << 20);
    if (fd < 0 || !sip_udp_report_refusals) return fd;
    int on = 1;
    if (local.is_ipv6()) {
      setsockopt(fd, IPPROTO_IPV6, IPV6_RECVERR, &on, sizeof on);
    } else {
      setsockopt(fd, IPPROTO_IP, IP_RECVERR, &on, sizeof on);
    }
    return fd;
  }
  int open_tcp(const ip_port& local) override { return tcp_listen(local, sip_listen_backlog); }
  void close(int fd) override { close_socket(fd); }
  void set_tos(int fd, int tos) override {
    if (tos >= 0) set_socket_tos(fd, tos);
  }
  void join_sip_multicast(int fd) override {
    ip_mreq request{};
    inet_pton(AF_INET, "224.0.1.75", &request.imr_multiaddr);
    request.imr_interface.s_addr = htonl(INADDR_ANY);
    setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &request, sizeof request);
  }
  void pause_ms(int ms) override { usleep(useconds_t(ms) * 1000); }
};

}  // namespace

std::vector<sip_port_binding> parse_sip_port_bindings(const str& udp, const str& tcp,
                                                      const str& tls, bool ipv4, bool ipv6) {
  std::vector<sip_port_binding> out;
  add_entries(out, sip_socket::udp, udp, ipv4, ipv6);
  add_entries(out, sip_socket::tcp, tcp, ipv4, ipv6);
  add_entries(out, sip_socket::tls, tls, ipv4, ipv6);
  return out;
}

sip_port_opener& default_sip_port_opener() {
  static net_opener opener;
  return opener;
}

void reset_sip_port_bindings() {
  g_opened = false;
  g_udp = g_tcp = g_tls = str();
}

bool sip_set_port_bindings(sip_port_opener& opener) {
  const str udp = ctrl_read_registry(ctrl_settings::ip_sip_udp_port);
  const str tcp = ctrl_read_registry(ctrl_settings::ip_sip_tcp_port);
  const str tls = ctrl_read_registry(ctrl_settings::ip_sip_tls_port);
  if (g_opened && udp == g_udp && tcp == g_tcp && tls == g_tls) return false;
  g_opened = true;
  g_udp = udp;
  g_tcp = tcp;
  g_tls = tls;
  if (!sip_sockets.empty()) {
    for (sip_socket& s : sip_sockets) opener.close(s.fd);
    sip_sockets.clear();
    opener.pause_ms(2);
  }
  const int tos = tos_from_text(ctrl_read_registry(ctrl_settings::tos_sip));
  const bool multicast = ctrl_read_registry(ctrl_settings::sip_mcast_net) != "false";
  for (const sip_port_binding& b :
       parse_sip_port_bindings(udp, tcp, tls, system_ipv4.load(), system_ipv6.load())) {
    if (b.kind == sip_socket::udp) {
      int fd = opener.open_udp(b.local);
      if (fd < 0) {
        fatal_port_error(str::sprintf("FATAL: Could not open UDP port %s:%d for SIP",
                                      b.local.readable_address(), int(b.local.port)));
        continue;
      }
      opener.set_tos(fd, tos);
      if (multicast && b.local.is_ipv4()) opener.join_sip_multicast(fd);
      sip_sockets.push_back(sip_socket{sip_socket::udp, fd, b.local});
      continue;
    }
    int fd = opener.open_tcp(b.local);
    if (fd < 0) {
      fatal_port_error(
          str::sprintf("FATAL: Could not open TCP port %d for SIP", int(b.local.port)));
      continue;
    }
    opener.set_tos(fd, tos);
    sip_sockets.push_back(sip_socket{b.kind, fd, b.local});
  }
  return true;
}

const sip_socket* sip_port_local_info::socket_for(const ip_port& destination,
                                                  transport_type transport) const {
  const sip_socket::kind_t kind = transport == transport_type::tls   ? sip_socket::tls
                                  : transport == transport_type::tcp ? sip_socket::tcp
                                                                     : sip_socket::udp;
  const sip_socket* any_family = nullptr;
  for (const sip_socket& s : sip_sockets) {
    if (s.kind != kind) continue;
    if (s.local.is_ipv6() == destination.is_ipv6()) return &s;
    if (!any_family) any_family = &s;
  }
  return any_family;
}

str sip_port_local_info::local_sip_address(const ip_port& destination, transport_type transport) {
  const sip_socket* s = socket_for(destination, transport);
  if (s && !s->local.is_any()) return s->local.readable_address();
  if (!destination.valid()) return str();
  auto it = routes_.find(destination.address);
  if (it != routes_.end()) return it->second;
  // The source address of a connected (never used) datagram socket is the one the routing
  // table picks; connecting sends nothing.
  str found = destination.is_ipv6() ? "::1" : "127.0.0.1";
  sockaddr_storage ss;
  socklen_t len = ip_port(destination.address, 9).to_sockaddr(ss);
  int fd = len ? socket(ss.ss_family, SOCK_DGRAM, 0) : -1;
  if (fd >= 0) {
    if (connect(fd, reinterpret_cast<sockaddr*>(&ss), len) == 0) {
      sockaddr_storage local;
      socklen_t local_len = sizeof local;
      ip_port source;
      if (getsockname(fd, reinterpret_cast<sockaddr*>(&local), &local_len) == 0 &&
          source.from_sockaddr(reinterpret_cast<sockaddr*>(&local), local_len)) {
        found = source.unmapped().readable_address();
      }
    }
    ::close(fd);
  }
  if (routes_.size() >= 1024) routes_.clear();
  routes_[destination.address] = found;
  return found;
}

uint16_t sip_port_local_info::local_sip_port(const ip_port& destination, transport_type transport) {
  const sip_socket* s = socket_for(destination, transport);
  if (s) return s->local.port;
  return transport == transport_type::tls ? 5061 : 5060;
}

str sip_port_local_info::web_address(const ip_port& destination, bool https) {
  str ports =
      ctrl_read_registry(https ? ctrl_settings::ip_https_port : ctrl_settings::ip_http_port);
  str first = ports.get_field(0, " \t");
  long colon = first.find(':');
  int port = (colon >= 0 ? first.substr(size_t(colon) + 1) : first).value();
  str host = local_sip_address(destination, transport_type::tcp);
  if (host.contains_char(':')) host = "[" + host + "]";
  str out(https ? "https://" : "http://");
  out += host;
  if (port > 0 && port != (https ? 443 : 80)) out.appendf(":%d", port);
  return out;
}

sip_port_local_info& sip_port_info() {
  static sip_port_local_info info;
  return info;
}
