#include "sip/sip_ports.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "base/log.h"
#include "frame/net.h"
#include "frame/options.h"
#include "frame/settings.h"
#include "frame/startup.h"

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
  int open_udp(const ip_port& local) override { return udp_open(local); }
  int open_tcp(const ip_port& local) override { return tcp_listen(local); }
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
