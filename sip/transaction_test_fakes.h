// Test doubles for the transaction layer (header only, used by its unit tests and benchmark):
// a transport that records every send with the manual-clock instant, a DNS cache answered by
// the test, and an upper layer that records what reaches it. transaction_env installs them
// with a manual clock and a private timer queue and removes everything again on destruction.
// recording_receive_hooks stands in for every layer above process_pdu.
#pragma once

#include <map>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "base/log.h"
#include "frame/clock.h"
#include "frame/timeout.h"
#include "sip/address_list.h"
#include "sip/pending_packet.h"
#include "sip/send_packet.h"
#include "sip/sip_environment.h"
#include "sip/sip_message.h"
#include "sip/sip_test_print.h"
#include "sip/sip_transport.h"

// A request of alice@example.org (From tag "ours") to bob@example.com, sent to uri.
inline sip_message test_request(const str& method, const str& uri, const str& call_id = "call-1") {
  sip_message m(method, from_to_spec("<sip:alice@example.org>;tag=ours"),
                from_to_spec("<sip:bob@example.com>"), call_id);
  m.request_uri = uri;
  return m;
}

struct fake_send {
  int64_t at_ms;  // manual-clock time relative to the start of the environment
  str port_name;  // UDP port name or connection name
  ip_port destination;
  transport_type transport;
  str text;
  sip_message parsed() const { return sip_message(text); }
};

class fake_transport : public sip_transport {
 public:
  rtimestamp start = 0;
  bool ipv6 = false;
  bool record = true;  // benchmarks switch recording off
  size_t sends = 0;
  std::vector<fake_send> sent;
  std::map<str, std::pair<transport_type, ip_port>> connections;
  std::vector<std::string> opened;  // "name transport server_name"

  int64_t now_ms() const { return (clock_now() - start) / ns_per_ms; }

  bool has_udp_port(const str& name) override { return name == "udp0" || name == "udp1"; }
  bool send_udp(const str& name, const ip_port& destination, const str& text) override {
    ++sends;
    if (record) sent.push_back({now_ms(), name, destination, transport_type::udp, text});
    return true;
  }
  str default_udp_binding(const ip_port& destination) override {
    return destination.is_ipv6() ? "udp1" : "udp0";
  }
  uint16_t loopback_udp_port(bool v6) override { return v6 ? 5070 : 5060; }
  bool has_connection(const str& name) override { return connections.count(name) != 0; }
  transport_type connection_transport(const str& name) override {
    auto it = connections.find(name);
    return it == connections.end() ? transport_type::none : it->second.first;
  }
  ip_port connection_address(const str& name) override {
    auto it = connections.find(name);
    return it == connections.end() ? ip_port() : it->second.second;
  }
  bool send_on_connection(const str& name, const str& text) override {
    auto it = connections.find(name);
    if (it == connections.end()) return false;
    ++sends;
    if (record) sent.push_back({now_ms(), name, it->second.second, it->second.first, text});
    return true;
  }
  bool open_connection(const str& name, const ip_port& destination, transport_type t,
                       const str& server_name, const str& text) override {
    opened.push_back(std::string(name.view()) + " " + t.name() + " " +
                     std::string(server_name.view()));
    connections[name] = {t, destination};
    return send_on_connection(name, text);
  }
  bool ipv4_enabled() override { return true; }
  bool ipv6_enabled() override { return ipv6; }
};

// Answers come only from the test: a lookup of a name without an answer starts a "query"
// (recorded) whose callbacks run when the test calls answer().
class fake_dns : public sip_dns {
 public:
  std::map<std::pair<std::string, dns_type>, str> cache;
  std::map<std::string, std::string> aliases;
  std::vector<std::string> queries;  // "TYPE name" in the order asked
  std::vector<std::string> lookups;  // every cache lookup
  std::map<std::pair<std::string, dns_type>, std::vector<callback_argument>> waiting;

  str resolve_alias(const str& name) override {
    auto it = aliases.find(std::string(name.view()));
    return it == aliases.end() ? name : str(it->second.c_str());
  }
  bool cache_lookup(const str& name, dns_type type, str& result) override {
    lookups.push_back(std::string(dns_type_name(type).view()) + " " + std::string(name.view()));
    auto it = cache.find({std::string(name.view()), type});
    if (it == cache.end()) return false;
    result = it->second;
    return true;
  }
  void request_dns(const str& name, dns_type type, const callback_argument& callback) override {
    queries.push_back(std::string(dns_type_name(type).view()) + " " + std::string(name.view()));
    waiting[{std::string(name.view()), type}].push_back(callback);
  }
  // Caches answers written "TYPE name=records|..." (TYPE A, AAAA, SRV or NAPTR; ALIAS for an
  // alias; records joined by "\n", none for a negative answer).
  void cache_all(const std::string& answers) {
    const std::map<std::string, dns_type> types = {{"NAPTR", dns_type::naptr},
                                                   {"SRV", dns_type::srv},
                                                   {"AAAA", dns_type::aaaa},
                                                   {"A", dns_type::a}};
    std::istringstream in(answers);
    for (std::string e; std::getline(in, e, '|');) {
      const size_t space = e.find(' '), equals = e.find('=');
      const std::string type = e.substr(0, space), name = e.substr(space + 1, equals - space - 1);
      if (type == "ALIAS")
        aliases[name] = e.substr(equals + 1);
      else
        cache[{name, types.at(type)}] = str(e.substr(equals + 1).c_str());
    }
  }

  // Caches the records (empty: a negative answer) and runs the waiting callbacks.
  void answer(const std::string& name, dns_type type, const str& records) {
    cache[{name, type}] = records;
    auto it = waiting.find({name, type});
    if (it == waiting.end()) return;
    std::vector<callback_argument> callbacks = std::move(it->second);
    waiting.erase(it);
    for (const callback_argument& c : callbacks) c.call();
  }
};

class fake_user : public sip_transaction_user {
 public:
  std::vector<sip_message> forwarded;
  std::vector<sip_message> backward;
  std::vector<std::string> events;
  std::set<int> connected_legs;

  void travel_forward(sip_message& request, const str&) override { forwarded.push_back(request); }
  void travel_backward(sip_message& response) override { backward.push_back(response); }
  bool check_authentication(const sip_message& response, const sip_message& request) override {
    events.push_back("challenge " + std::to_string(response.code) + " " +
                     std::string(request.method.view()) + " vias " +
                     std::to_string(request.via.size()));
    return false;
  }
  bool has_connect_time(int index) override { return connected_legs.count(index) != 0; }
  void ack_no_ok_timeout(int index) override {
    events.push_back("ack_no_ok_timeout " + std::to_string(index));
  }
  void send_hangup_timeout(int index) override {
    events.push_back("send_hangup " + std::to_string(index));
  }
};

struct transaction_env {
  manual_clock clock;
  scoped_clock clock_scope{&clock};
  timeout_queue queue;
  fake_transport transport;
  fake_dns dns;
  fake_user user;

  transaction_env() {
    transport.start = clock_now();
    clear_pending_packets();
    set_transaction_queue(&queue);
    set_sip_transport(&transport);
    set_sip_dns(&dns);
    set_sip_transaction_user(&user);
  }
  ~transaction_env() {
    clear_pending_packets();
    set_transaction_queue(nullptr);
    set_sip_transport(nullptr);
    set_sip_dns(nullptr);
    set_sip_transaction_user(nullptr);
  }
  int64_t now_ms() const { return transport.now_ms(); }
  // Moves the clock to ms (relative to the start), running every timer due on the way at its
  // own instant.
  void run_until(int64_t ms) { run_timers_until(clock, queue, transport.start + ms2ticks(ms)); }
};

// The transaction layer's receive hooks installed, and source white-listed: the receive path
// counts every request of an unknown source as a failed authentication and would block it after
// a few. Both removed again on destruction.
struct receive_scope {
  explicit receive_scope(const str& source) {
    install_transaction_receive_hooks();
    bw_add_source(source, 32, true);
  }
  ~receive_scope() {
    set_sip_receive_hooks(nullptr);
    bw_clear();
  }
};

// The layers above process_pdu: records each call ("report addr", "count", "find call-id",
// "trace index Rx transport", "send port addr") and the messages and texts handed up or out.
// With pass_sends the texts also go to the real send_on_interface (the connections by name).
class recording_receive_hooks : public sip_receive_hooks {
 public:
  bool valid = true, pass_sends = false;
  int call_port = -1;
  std::vector<std::string> events;
  std::vector<str> sent, raws;
  std::vector<sip_message> forwarded, backward;
  str last_local_tag, last_remote_tag;

  bool valid_source(const ip_port&) override { return valid; }
  void report_request(const ip_port& s) override {
    events.push_back("report " + std::string(s.readable().view()));
  }
  void count_received() override { events.push_back("count"); }
  int find_call_port(const str& call_id, const str& local_tag, const str& remote_tag) override {
    events.push_back("find " + std::string(call_id.view()));
    last_local_tag = local_tag;
    last_remote_tag = remote_tag;
    return call_port;
  }
  void trace(int index, const sip_message&, const char* direction, transport_type t,
             const ip_port&) override {
    events.push_back("trace " + std::to_string(index) + " " + direction + " " + t.name());
  }
  bool message_repetition(sip_message&, transport_type) override { return false; }
  void send_on_interface(const str& port_name, const ip_port& address, const str& text,
                         transport_type t) override {
    events.push_back("send " + std::string(port_name.view()) + " " +
                     std::string(address.readable().view()));
    sent.push_back(text);
    if (pass_sends) ::send_on_interface(port_name, address, text, t);
  }
  void travel_forward(sip_message& request, const str& raw) override {
    raws.push_back(raw);
    forwarded.push_back(request);
  }
  void travel_backward(sip_message& response) override { backward.push_back(response); }
};
