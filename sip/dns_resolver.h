// The DNS client of the SIP layer: an asynchronous resolver with a cache, used by request
// routing (NAPTR, SRV, A and AAAA lookups, CNAME aliases).
//
// srv side. Every member runs under srv_run_mutex: queries are started by the routing code,
// answers arrive on the SIP socket thread (on_pdu_available), retries fire on the SIP timer
// thread (sip_thread_queue). There is no lock of its own.
//
// Contract:
// - request_dns sends one query to every configured server and returns at once. The callback
//   runs (on the thread that completes the query) when an answer has been cached, or when the
//   query failed, in which case a negative entry is cached. After the callback a cache_lookup
//   of the name (or of its alias) succeeds for at least one second.
// - Queries are re-sent after 500, 1000, 2000, 4000, 4000, 4000 and 4000 ms; the server list
//   is re-read from resolv.conf before the second attempt (unless servers were set
//   explicitly). After the seventh interval a negative answer with a lifetime of 60 s is
//   cached and the callbacks run.
// - An answer is taken only when it comes from a server the query was sent to, carries the
//   query's id and question, is not truncated, has rcode NOERROR or NXDOMAIN and has no CNAME
//   loop. Anything else is dropped and the query keeps waiting: another server or a later
//   attempt may still answer.
// - Answers are cached for their TTL (the smallest TTL of the records used; a TTL of 0 is held
//   for one second so that the waiting callbacks can read it); negative answers for the SOA
//   minimum of the answer, else 60 s. SRV records with port 0 are not used.
#pragma once

#include <cstdint>
#include <map>
#include <unordered_map>
#include <vector>

#include "base/ip_port.h"
#include "base/str.h"
#include "frame/clock.h"
#include "frame/timeout.h"
#include "sip/dns_wire.h"

// Where the resolver's query datagrams go. Tests install a fake that records them.
class dns_transport {
 public:
  virtual ~dns_transport() = default;
  // Sends one datagram to server; false when it could not be sent.
  virtual bool send(const str& datagram, const ip_port& server) = 0;
};

// Sends on UDP sockets: the SIP socket thread's DNS client sockets (dns_socket4/dns_socket6 of
// frame/sip_loop.h) by default, or the given descriptors (-1: that family is not sent to).
class dns_socket_transport : public dns_transport {
 public:
  dns_socket_transport() = default;
  dns_socket_transport(int fd4, int fd6) : explicit_(true), fd4_(fd4), fd6_(fd6) {}
  bool send(const str& datagram, const ip_port& server) override;

 private:
  bool explicit_ = false;
  int fd4_ = -1;
  int fd6_ = -1;
};

class dns_resolver {
 public:
  // Retry intervals in milliseconds; the query is sent once at the start and once after each
  // interval but the last, whose end fails the query.
  static constexpr int retry_intervals_ms[] = {500, 1000, 2000, 4000, 4000, 4000, 4000};
  static constexpr int retry_count = 7;
  static constexpr int failure_ttl_s = 60;
  static constexpr uint16_t dns_port = 53;

  // queue: where retries are scheduled (nullptr: sip_thread_queue, looked up on use).
  explicit dns_resolver(timeout_queue* queue = nullptr);
  ~dns_resolver();
  dns_resolver(const dns_resolver&) = delete;
  dns_resolver& operator=(const dns_resolver&) = delete;

  // Not owned; nullptr: the default dns_socket_transport.
  void set_transport(dns_transport* transport) { transport_ = transport; }
  // Fixes the server list (no re-reading); an empty list goes back to resolv.conf.
  void set_servers(const std::vector<ip_port>& servers);
  // The file the server list is read from (through the file layer); default /etc/resolv.conf.
  void set_resolv_conf(const str& path) { resolv_conf_ = path; }
  // The current server list (reads resolv.conf when it was never read).
  const std::vector<ip_port>& servers();

  // The canonical name when a CNAME of name is cached (followed through cached chains), else
  // name. Normalised (lower case, no trailing dot).
  str resolve_alias(const str& name);
  // true when an unexpired answer for name (or its alias) and type is cached; result is then
  // the records, one per line (dns_wire.h), empty for a negative answer.
  bool cache_lookup(const str& name, dns_type type, str& result);
  // Starts a query (or joins the one outstanding for the same name and type) and runs callback
  // when it completes. A cached answer runs the callback at once.
  void request_dns(const str& name, dns_type type, const callback_argument& callback);
  // One datagram received on a DNS client socket.
  void on_pdu_available(const str& datagram, const ip_port& source);

  void clear_cache();
  size_t cache_size() const { return cache_.size() + aliases_.size(); }
  size_t pending_queries() const { return queries_.size(); }
  // The message id of the outstanding query for name and type, -1 when there is none.
  int query_id(const str& name, dns_type type) const;

  // Timer callback (kind 5: instance number, query key).
  static void on_retry_timer(const str& instance, int key);

 private:
  struct query {
    str name;  // normalised
    dns_type type = dns_type::a;
    uint16_t id = 0;
    int attempts = 0;              // datagrams sent so far (per server)
    std::vector<ip_port> sent_to;  // every server this query went to
    std::vector<callback_argument> callbacks;
    timeout timer;
  };
  struct entry {
    str data;
    rtimestamp expires = 0;
  };

  static str cache_key(const str& name, dns_type type);
  timeout_queue& queue();
  dns_transport& transport();
  void read_resolv_conf();
  void send_attempt(int key, query& q);
  void on_retry(int key);
  void accept_answer(int key, const dns_answer& answer);
  void add_entry(const str& name, dns_type type, const str& data, int64_t ttl_s);
  void add_alias(const str& name, const str& target, int64_t ttl_s);
  // Erases the query and runs its callbacks (after the erase, so that they may start queries).
  void complete(int key);
  void sweep(rtimestamp now);
  uint16_t new_id();

  int instance_;
  timeout_queue* queue_;
  dns_transport* transport_ = nullptr;
  std::vector<ip_port> servers_;
  bool servers_explicit_ = false;
  bool servers_read_ = false;
  str resolv_conf_{"/etc/resolv.conf"};
  std::map<int, query> queries_;
  int next_key_ = 0;
  std::unordered_map<str, entry, str_hash> cache_;    // key: cache_key
  std::unordered_map<str, entry, str_hash> aliases_;  // name -> canonical name
  rtimestamp next_sweep_ = 0;
};

// The process's resolver (srv side).
extern dns_resolver& global_dns_resolver;

// For set_sip_udp_hooks (frame/sip_loop.h): hands a DNS client socket's datagram to
// global_dns_resolver.
void dns_pdu_available(const str& datagram, const ip_port& source);

// Parses resolv.conf text: the address of every "nameserver" line (port 53, IPv6 zone ids
// dropped), in file order, without duplicates.
std::vector<ip_port> dns_parse_resolv_conf(const str& text);
