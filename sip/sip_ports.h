// The SIP port bindings (sip_set_port): the settings ip_sip_udp_port, ip_sip_tcp_port and
// ip_sip_tls_port turned into the SIP sockets of the socket loop (frame/sip_loop.h
// sip_sockets).
//
// Each setting is a list separated by spaces. An entry is a port number, meaning the IPv4
// any-address (when IPv4 is enabled) and the IPv6 any-address (when IPv6 is enabled), or an
// address with a colon and a port ("192.0.2.1:5060", "[2001:db8::1]:5060"). A port outside
// 1..65535 is replaced by the default (5060, for TLS 5061) with "SIP: UDP port number %d is
// invalid, taking %d instead" or "SIP: Port number %d is invalid, taking %d instead".
//
// srv side: called by the SIP socket thread at start and on a restart, under srv_run_mutex.
#pragma once

#include <cstdint>
#include <map>
#include <vector>

#include "base/ip_port.h"
#include "base/str.h"
#include "frame/sip_loop.h"
#include "sip/sip_environment.h"
#include "sip/transport_type.h"

struct sip_port_binding {
  sip_socket::kind_t kind = sip_socket::udp;
  ip_port local;
};

// The bindings of the three lists, UDP first, then TCP, then TLS, each in list order.
std::vector<sip_port_binding> parse_sip_port_bindings(const str& udp, const str& tcp,
                                                      const str& tls, bool ipv4, bool ipv6);

// Where sip_set_port_bindings opens and closes sockets. The default uses frame/net.h.
class sip_port_opener {
 public:
  virtual ~sip_port_opener() = default;
  virtual int open_udp(const ip_port& local) = 0;  // -1 on failure
  virtual int open_tcp(const ip_port& local) = 0;  // listening; -1 on failure
  virtual void close(int fd) = 0;
  virtual void set_tos(int fd, int tos) = 0;
  virtual void join_sip_multicast(int fd) = 0;  // 224.0.1.75 on an IPv4 UDP socket
  virtual void pause_ms(int ms) = 0;
};
sip_port_opener& default_sip_port_opener();

// The default opener asks for ICMP errors on its UDP sockets (IP_RECVERR) only when this is
// set: the errors are queued on the socket and must be read (the transaction layer does, in
// sip_transport::take_refused_destinations), or they would fill its receive buffer.
// install_transaction_layer sets it.
extern bool sip_udp_report_refusals;

// sip_set_port: when none of the three settings changed since the last call nothing
// happens; otherwise every SIP socket is closed (with a pause of 2 ms when any existed) and
// the bindings are opened again. A socket that cannot be bound goes to fatal_port_error with
// "FATAL: Could not open UDP port %s:%d for SIP" or "FATAL: Could not open TCP port %d for
// SIP". Type of service from tos_sip; IPv4 UDP sockets join the SIP multicast group unless
// sip_mcast_net is "false". Returns true when the sockets were opened anew.
bool sip_set_port_bindings(sip_port_opener& opener = default_sip_port_opener());
// Forgets the remembered settings, so that the next call opens again (tests, restart).
void reset_sip_port_bindings();

// The address half of sip_local_info, from the SIP sockets: the local port is the port of the
// socket that serves the destination (the default UDP binding of its IP version, or the
// listening socket of that transport and version); the local address is that socket's address
// unless it is the any-address, in which case it is the source address the system routes
// towards the destination with (remembered per destination). The settings half (short
// headers, replacement list, RTP bindings) comes from sip_settings_local_info.
class sip_port_local_info : public sip_settings_local_info {
 public:
  str local_sip_address(const ip_port& destination, transport_type transport) override;
  uint16_t local_sip_port(const ip_port& destination, transport_type transport) override;
  // "http://ADDRESS:PORT" or "https://ADDRESS:PORT" with the first port of ip_http_port or
  // ip_https_port (the port is left out when it is the scheme's default).
  str web_address(const ip_port& destination, bool https) override;
  // Forgets the remembered routes (after the ports or the interfaces changed).
  void clear_routes() { routes_.clear(); }

 private:
  const sip_socket* socket_for(const ip_port& destination, transport_type transport) const;
  std::map<str, str> routes_;
};
sip_port_local_info& sip_port_info();
