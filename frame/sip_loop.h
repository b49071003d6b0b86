// The SIP socket thread (srv side): the SIP UDP sockets, the SIP TCP/TLS listening sockets and
// the two DNS client sockets, served by one select loop under srv_run_mutex.
//
// A UDP datagram is either STUN (answered here, or handed to the trunks) or SIP: the SIP layer
// cuts the first complete message from it (get_first_packet) and processes it (process_pdu).
// Both arrive through hooks, so that this loop does not depend on the SIP layer.
#pragma once

#include <vector>

#include "base/ip_port.h"
#include "base/str.h"

struct sip_socket {
  enum kind_t { udp, tcp, tls };
  kind_t kind = udp;
  int fd = -1;
  ip_port local;  // bound address and port
};

// Backlog of the SIP TCP/TLS listening sockets: after a restart thousands of phones reconnect
// at once, and the kernel must hold them until the accept loop takes them.
constexpr int sip_listen_backlog = 1024;

// The SIP sockets opened by sip_set_port; guarded by srv_run_mutex.
extern std::vector<sip_socket> sip_sockets;
// The DNS client sockets (-1 when not open).
extern int dns_socket4;
extern int dns_socket6;

// Opens the SIP UDP (IPv4 and, when enabled, IPv6), TCP and TLS listening sockets on the ports
// of settings ip_sip_udp_port, ip_sip_tcp_port and ip_sip_tls_port (0: not opened), closing
// any opened before. A port that cannot be opened logs "FATAL: Could not open UDP port %s:%d
// for SIP" or "FATAL: Could not open TCP port %d for SIP" and goes to fatal_port_error.
void sip_set_port();
// The SIP layer's own binding of the ports (address lists, multicast, type of service)
// replaces the built-in one above when installed. nullptr: the built-in one.
using sip_set_port_fn = void (*)();
void set_sip_set_port(sip_set_port_fn f);
// Opens the DNS client sockets (ephemeral ports of the any-addresses).
void open_dns_sockets();

// The hooks of the SIP layer. get_first_packet: the first complete SIP message of a datagram,
// empty when there is none. process_pdu: one message from the socket with that index.
// connection_refused: an ICMP refusal for a UDP destination. stun_response: a Binding Success
// Response (for the trunks). dns_pdu: a datagram on a DNS client socket.
struct sip_udp_hooks {
  str (*get_first_packet)(const str& datagram) = nullptr;
  void (*process_pdu)(int socket_index, const str& message, const ip_port& source) = nullptr;
  void (*connection_refused)(const ip_port& destination) = nullptr;
  void (*stun_response)(const str& datagram, const ip_port& source) = nullptr;
  void (*dns_pdu)(const str& datagram, const ip_port& source) = nullptr;
};
void set_sip_udp_hooks(const sip_udp_hooks& h);

// Sends on a SIP UDP socket; the seam through which handle_sip_udp_datagram answers.
using sip_udp_sender = bool (*)(int socket_index, const str& data, const ip_port& dest);
bool sip_udp_send(int socket_index, const str& data, const ip_port& dest);

// Dispatches one datagram read from SIP UDP socket socket_index (see the file comment). An
// empty datagram means the destination refused. Answers go through send (default
// sip_udp_send).
void handle_sip_udp_datagram(int socket_index, const str& datagram, const ip_port& source,
                             sip_udp_sender send = nullptr);

// The loop body (never returns).
[[noreturn]] void run_pbxsrv_sip();
