// The seams of the transaction layer: what send_packet and the retransmission code reach
// below them (local UDP ports, TCP/TLS connections, the DNS cache) and above them (the
// registrar, trunks and call legs that receive new messages and are told about time-outs).
//
// Each seam is an interface with one installed instance. The process installs the real ones
// (SIP UDP sockets of the socket loop, the global DNS resolver, the call-leg layer); unit
// tests and benchmarks install fakes, so that a transaction is driven under a manual clock
// with scripted DNS answers and every sent byte is visible.
//
// srv side: every call happens under srv_run_mutex (SIP socket thread, SIP timer thread,
// connection threads). Nothing here locks.
#pragma once

#include <cstdint>
#include <vector>

#include "base/ip_port.h"
#include "base/str.h"
#include "frame/sip_loop.h"
#include "frame/timeout.h"
#include "sip/dns_wire.h"
#include "sip/sip_environment.h"
#include "sip/transport_type.h"

class sip_message;

// Local SIP UDP ports and TCP/TLS signalling connections. A UDP port is known by its port
// name (sip_message::port_name); a connection by its name, the readable remote address and
// port ("192.0.2.1:5060", "[2001:db8::1]:5061").
class sip_transport {
 public:
  virtual ~sip_transport() = default;

  // True when a local UDP port of that name is open.
  virtual bool has_udp_port(const str& port_name) = 0;
  // Sends one datagram from that local UDP port. False when the port does not exist or the
  // send failed.
  virtual bool send_udp(const str& port_name, const ip_port& destination, const str& text) = 0;
  // The local UDP port (its name) to use towards destination: a bound port of the
  // destination's IP version; empty when there is none.
  virtual str default_udp_binding(const ip_port& destination) = 0;
  // The port number of the first local UDP port bound to the any-address or the loopback
  // address of that family; 0 when there is none.
  virtual uint16_t loopback_udp_port(bool ipv6) = 0;

  // True when a connection of that name exists.
  virtual bool has_connection(const str& name) = 0;
  // Its transport (tcp or tls) and remote address; none and an empty address when unknown.
  virtual transport_type connection_transport(const str& name) = 0;
  virtual ip_port connection_address(const str& name) = 0;
  // Queues text on the existing connection (through its TLS engine when TLS). False when
  // there is no such connection.
  virtual bool send_on_connection(const str& name, const str& text) = 0;
  // Opens a connection to destination (tcp or tls) under name, with an idle time-out of 60 s,
  // queues text on it and starts its connection thread. For TLS, server_name is the name the
  // client handshake announces and no certificate is verified. False when it could not be
  // created (nothing was queued then).
  virtual bool open_connection(const str& name, const ip_port& destination,
                               transport_type transport, const str& server_name,
                               const str& text) = 0;

  // The destinations whose ICMP refusals are queued on the local UDP ports (and forgets
  // them). Empty when the transport cannot tell.
  virtual std::vector<ip_port> take_refused_destinations() { return {}; }

  // Whether the IP versions are enabled (system_ipv4 / system_ipv6).
  virtual bool ipv4_enabled() = 0;
  virtual bool ipv6_enabled() = 0;
};

// The DNS cache as request routing uses it (the resolver of sip/dns_resolver.h).
class sip_dns {
 public:
  virtual ~sip_dns() = default;
  // The canonical name when a CNAME is cached, else the name.
  virtual str resolve_alias(const str& name) = 0;
  // True when an unexpired answer is cached; result then holds the records one per line
  // (sip/dns_wire.h), empty for a negative answer.
  virtual bool cache_lookup(const str& name, dns_type type, str& result) = 0;
  // Starts a query; callback runs once the answer (or the failure) is cached.
  virtual void request_dns(const str& name, dns_type type, const callback_argument& callback) = 0;
};

// The layers above: the registrar, trunks and call legs. The defaults do nothing (a message
// with no one above it is dropped), so a partial stack still links and runs.
class sip_transaction_user {
 public:
  virtual ~sip_transaction_user() = default;
  // Every new (not repeated) received request and response, and the locally made 408 of a
  // request whose transaction timed out.
  virtual void travel_forward(sip_message& request, const str& raw);
  virtual void travel_backward(sip_message& response);
  // A 401/407 to request, a request this side sent: true when the owner of the request
  // answered the challenge by sending the request again with credentials (the response is
  // then consumed).
  virtual bool check_authentication(const sip_message& response, const sip_message& request);
  // The call leg of a dialog, or -1 (for the trace and for call_port_index of received
  // messages).
  virtual int find_call_port(const str& call_id, const str& local_tag, const str& remote_tag);
  // No ACK came for a final response to INVITE of call leg index: the leg is told through
  // ack_no_ok_timeout when it has no connect time yet (has_connect_time false), otherwise
  // through send_hangup with the reason time-out.
  virtual bool has_connect_time(int call_port_index);
  virtual void ack_no_ok_timeout(int call_port_index);
  virtual void send_hangup_timeout(int call_port_index);
  // A request was sent to destination: the address-based access control accepts traffic
  // from there.
  virtual void report_destination(const ip_port& destination);
  // DISCOVER: an address found for the discovery request, and the end of the discovery (the
  // resolve list ran out).
  virtual void add_trusted_address(const sip_message& request, transport_type transport,
                                   const ip_port& address);
  virtual void discovery_complete(const sip_message& request);
};

// A user that takes some messages and hands everything else to the user installed before it:
// the base of the registrar's and the call legs' places in the chain.
class forwarding_transaction_user : public sip_transaction_user {
 public:
  explicit forwarding_transaction_user(sip_transaction_user& next) : next_(next) {}
  void travel_forward(sip_message& request, const str& raw) override {
    next_.travel_forward(request, raw);
  }
  void travel_backward(sip_message& response) override { next_.travel_backward(response); }
  bool check_authentication(const sip_message& response, const sip_message& request) override {
    return next_.check_authentication(response, request);
  }
  int find_call_port(const str& call_id, const str& local_tag, const str& remote_tag) override {
    return next_.find_call_port(call_id, local_tag, remote_tag);
  }
  bool has_connect_time(int index) override { return next_.has_connect_time(index); }
  void ack_no_ok_timeout(int index) override { next_.ack_no_ok_timeout(index); }
  void send_hangup_timeout(int index) override { next_.send_hangup_timeout(index); }
  void report_destination(const ip_port& d) override { next_.report_destination(d); }
  void add_trusted_address(const sip_message& r, transport_type t, const ip_port& a) override {
    next_.add_trusted_address(r, t, a);
  }
  void discovery_complete(const sip_message& request) override {
    next_.discovery_complete(request);
  }

 protected:
  sip_transaction_user& next_;
};

// Installed instances (not owned). nullptr restores the process default: the SIP sockets of
// frame/sip_loop.h without connections, global_dns_resolver, and a user that drops
// everything.
void set_sip_transport(sip_transport* transport);
sip_transport& get_sip_transport();
void set_sip_dns(sip_dns* dns);
sip_dns& get_sip_dns();
void set_sip_transaction_user(sip_transaction_user* user);
sip_transaction_user& get_sip_transaction_user();

// The queue of the retransmission and transaction timers (nullptr: sip_thread_queue).
void set_transaction_queue(timeout_queue* queue);
timeout_queue& transaction_queue();

// The hooks process_pdu hands every received message to: address policy, counting, call-leg
// lookup and trace, then message_repetition, then travel_forward / travel_backward of the
// installed user. install_transaction_receive_hooks installs them with set_sip_receive_hooks
// (the composition root calls it once).
sip_receive_hooks& transaction_receive_hooks();
void install_transaction_receive_hooks();

// Wires the transaction layer into the process: the receive hooks above, the local
// information of the SIP port bindings for serialisation (sip_port_info), and the socket
// loop's UDP refusal hook (on_udp_connection_refused) into udp; SIP UDP sockets opened from
// then on report ICMP refusals (sip_udp_report_refusals). The composition root calls it
// once, after fill_sip_udp_receive_hooks and before set_sip_udp_hooks.
void install_transaction_layer(sip_udp_hooks& udp);

// The trace of one message sent or received: transport and readable peer ("udp:1.2.3.4:5060").
void trace_sip_message(const sip_message& message, const char* direction, transport_type transport,
                       const ip_port& peer, const str& text);
