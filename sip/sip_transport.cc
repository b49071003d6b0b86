#include "sip/sip_transport.h"

#include <errno.h>
#include <linux/errqueue.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include "frame/log.h"
#include "frame/options.h"
#include "frame/settings.h"
#include "frame/sip_loop.h"
#include "sip/address_list.h"
#include "sip/dns_resolver.h"
#include "sip/pending_packet.h"
#include "sip/send_packet.h"
#include "sip/sip_message.h"
#include "sip/sip_ports.h"
#include "sip/sip_udp_receive.h"
#include "sip/transaction.h"

// ---- Defaults of the upper layer ----------------------------------------------------------------

void sip_transaction_user::travel_forward(sip_message&, const str&) {}
void sip_transaction_user::travel_backward(sip_message&) {}
bool sip_transaction_user::check_authentication(const sip_message&, const sip_message&) {
  return false;
}
int sip_transaction_user::find_call_port(const str&, const str&, const str&) { return -1; }
bool sip_transaction_user::has_connect_time(int) { return false; }
void sip_transaction_user::ack_no_ok_timeout(int) {}
void sip_transaction_user::send_hangup_timeout(int) {}
void sip_transaction_user::report_destination(const ip_port&) {}
void sip_transaction_user::add_trusted_address(const sip_message&, transport_type, const ip_port&) {
}
void sip_transaction_user::discovery_complete(const sip_message&) {}

namespace {

// The SIP UDP sockets of the socket loop (frame/sip_loop.h), named as the receive path names
// them (sip_udp_port_name: "udp" and the socket's index). It carries datagrams only: it knows
// no TCP/TLS connection and opens none (install_sip_connections wraps it in the transport that
// does), so without that layer requests to tcp/tls destinations fall through to the next
// candidate.
class socket_transport : public sip_transport {
 public:
  static int udp_index(const str& port_name) {
    if (!port_name.starts_with("udp")) return -1;
    str rest = port_name.substr(3);
    if (!rest.empty() && rest[0] == ':') rest = rest.substr(1);
    if (rest.empty() || !rest.is_number()) return -1;
    int index = rest.value();
    if (index < 0 || index >= int(sip_sockets.size())) return -1;
    return sip_sockets[size_t(index)].kind == sip_socket::udp ? index : -1;
  }
  bool has_udp_port(const str& port_name) override { return udp_index(port_name) >= 0; }
  bool send_udp(const str& port_name, const ip_port& destination, const str& text) override {
    int index = udp_index(port_name);
    return index >= 0 && sip_udp_send(index, text, destination);
  }
  str default_udp_binding(const ip_port& destination) override {
    for (size_t i = 0; i < sip_sockets.size(); ++i) {
      const sip_socket& s = sip_sockets[i];
      if (s.kind == sip_socket::udp && s.local.is_ipv6() == destination.is_ipv6()) {
        return sip_udp_port_name(int(i));
      }
    }
    return str();
  }
  uint16_t loopback_udp_port(bool ipv6) override {
    for (const sip_socket& s : sip_sockets) {
      if (s.kind == sip_socket::udp && s.local.is_ipv6() == ipv6 &&
          (s.local.is_any() || s.local.is_loopback())) {
        return s.local.port;
      }
    }
    return 0;
  }
  bool has_connection(const str&) override { return false; }
  transport_type connection_transport(const str&) override { return transport_type::none; }
  ip_port connection_address(const str&) override { return ip_port(); }
  bool send_on_connection(const str&, const str&) override { return false; }
  bool open_connection(const str&, const ip_port&, transport_type, const str&,
                       const str&) override {
    return false;
  }
  // The SIP UDP sockets are opened with IP_RECVERR (sip_ports.cc), so every ICMP error is
  // queued with the destination it refers to; reading that queue also keeps it from filling
  // the socket's receive buffer.
  std::vector<ip_port> take_refused_destinations() override {
    std::vector<ip_port> out;
    for (const sip_socket& s : sip_sockets) {
      if (s.kind != sip_socket::udp || s.fd < 0) continue;
      for (int i = 0; i < 64; ++i) {
        char data[512];
        char control[512];
        sockaddr_storage name;
        iovec io{data, sizeof data};
        msghdr msg{};
        msg.msg_name = &name;
        msg.msg_namelen = sizeof name;
        msg.msg_iov = &io;
        msg.msg_iovlen = 1;
        msg.msg_control = control;
        msg.msg_controllen = sizeof control;
        if (recvmsg(s.fd, &msg, MSG_ERRQUEUE | MSG_DONTWAIT) < 0) break;
        bool refused = false;
        for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
          if ((c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_RECVERR) ||
              (c->cmsg_level == IPPROTO_IPV6 && c->cmsg_type == IPV6_RECVERR)) {
            const sock_extended_err* e = reinterpret_cast<const sock_extended_err*>(CMSG_DATA(c));
            refused = refused || e->ee_errno == ECONNREFUSED;
          }
        }
        ip_port destination;
        if (refused &&
            destination.from_sockaddr(reinterpret_cast<sockaddr*>(&name), msg.msg_namelen)) {
          out.push_back(destination.unmapped());
        }
      }
    }
    return out;
  }
  bool ipv4_enabled() override { return system_ipv4.load(); }
  bool ipv6_enabled() override { return system_ipv6.load(); }
};

class resolver_dns : public sip_dns {
 public:
  str resolve_alias(const str& name) override { return global_dns_resolver.resolve_alias(name); }
  bool cache_lookup(const str& name, dns_type type, str& result) override {
    return global_dns_resolver.cache_lookup(name, type, result);
  }
  void request_dns(const str& name, dns_type type, const callback_argument& callback) override {
    global_dns_resolver.request_dns(name, type, callback);
  }
};

socket_transport default_transport;
resolver_dns default_dns;
sip_transaction_user default_user;
sip_transport* g_transport = nullptr;
sip_dns* g_dns = nullptr;
sip_transaction_user* g_user = nullptr;
timeout_queue* g_queue = nullptr;

class receive_hooks : public sip_receive_hooks {
 public:
  bool valid_source(const ip_port& source) override { return bw_valid_source(source.address); }
  void report_request(const ip_port& source) override {
    authentication_result(clock_now(), source.address, false, "sip");
  }
  void count_received() override { ++sip_receive; }
  int find_call_port(const str& call_id, const str& local_tag, const str& remote_tag) override {
    return get_sip_transaction_user().find_call_port(call_id, local_tag, remote_tag);
  }
  void trace(int, const sip_message& message, const char* direction, transport_type transport,
             const ip_port& source) override {
    trace_sip_message(message, direction, transport, source, message.raw);
  }
  bool message_repetition(sip_message& message, transport_type transport) override {
    return ::message_repetition(message, transport);
  }
  void send_on_interface(const str& port_name, const ip_port& address, const str& text,
                         transport_type transport) override {
    ::send_on_interface(port_name, address, text, transport);
  }
  void travel_forward(sip_message& request, const str& raw) override {
    get_sip_transaction_user().travel_forward(request, raw);
  }
  void travel_backward(sip_message& response) override {
    get_sip_transaction_user().travel_backward(response);
  }
};

receive_hooks g_receive_hooks;

}  // namespace

void set_sip_transport(sip_transport* transport) { g_transport = transport; }
sip_transport& get_sip_transport() { return g_transport ? *g_transport : default_transport; }
void set_sip_dns(sip_dns* dns) { g_dns = dns; }
sip_dns& get_sip_dns() { return g_dns ? *g_dns : default_dns; }
void set_sip_transaction_user(sip_transaction_user* user) { g_user = user; }
sip_transaction_user& get_sip_transaction_user() { return g_user ? *g_user : default_user; }
void set_transaction_queue(timeout_queue* queue) { g_queue = queue; }
timeout_queue& transaction_queue() { return g_queue ? *g_queue : sip_thread_queue; }

sip_receive_hooks& transaction_receive_hooks() { return g_receive_hooks; }
void install_transaction_receive_hooks() { set_sip_receive_hooks(&g_receive_hooks); }

void install_transaction_layer(sip_udp_hooks& udp) {
  install_transaction_receive_hooks();
  set_sip_local_info(&sip_port_info());
  sip_udp_report_refusals = true;
  udp.connection_refused = on_udp_connection_refused;
}

void trace_sip_message(const sip_message& message, const char* direction, transport_type transport,
                       const ip_port& peer, const str& text) {
  if (!log_up.load(std::memory_order_relaxed)) return;
  str address(transport.name());
  address += ':';
  address += peer.readable();
  add_trace(message.is_request ? message.method : message.cseq_method, message.call_port_index,
            address, direction, text);
}
