#include "sip/dns_resolver.h"

#include <algorithm>
#include <set>

#include "base/log.h"
#include "base/random.h"
#include "frame/net.h"
#include "frame/sip_loop.h"

namespace {

// Longest CNAME chain followed in an answer or through the cached aliases.
constexpr int max_alias_depth = 8;
// Upper bound of any cache lifetime (a bogus TTL near 2^32 would otherwise pin an entry).
constexpr int64_t max_ttl_s = 7 * 86400;
// Expired entries are swept at most this often.
constexpr rtimestamp sweep_interval = s2ticks(60);

// Live resolvers by instance number, so that a timer (which carries only numbers) finds its
// resolver. Touched only under srv_run_mutex, like the resolvers themselves.
std::map<int, dns_resolver*>& instances() {
  static auto* m = new std::map<int, dns_resolver*>();
  return *m;
}
int next_instance = 0;

dns_socket_transport& default_transport() {
  static auto* t = new dns_socket_transport();
  return *t;
}

}  // namespace

dns_resolver& global_dns_resolver = *new dns_resolver();

void dns_pdu_available(const str& datagram, const ip_port& source) {
  global_dns_resolver.on_pdu_available(datagram, source);
}

bool dns_socket_transport::send(const str& datagram, const ip_port& server) {
  int fd = server.is_ipv4() ? (explicit_ ? fd4_ : dns_socket4) : (explicit_ ? fd6_ : dns_socket6);
  if (fd < 0 || !server.valid()) return false;
  return udp_send(fd, datagram, server);
}

std::vector<ip_port> dns_parse_resolv_conf(const str& text) {
  std::vector<ip_port> out;
  size_t pos = 0;
  while (pos < text.length()) {
    long nl = text.find('\n', pos);
    size_t end = nl < 0 ? text.length() : static_cast<size_t>(nl);
    str line = text.substr(pos, end - pos).strip();
    pos = end + 1;
    if (!line.get_field(0, " \t").icmp("nameserver")) continue;
    str addr = line.get_field(1, " \t");
    long zone = addr.find('%');
    if (zone >= 0) addr = addr.leftstr(static_cast<size_t>(zone));
    ip_port server;
    if (!server.parse(addr, dns_resolver::dns_port)) continue;
    if (std::find(out.begin(), out.end(), server) == out.end()) out.push_back(server);
  }
  return out;
}

dns_resolver::dns_resolver(timeout_queue* queue) : instance_(++next_instance), queue_(queue) {
  instances()[instance_] = this;
}

dns_resolver::~dns_resolver() {
  instances().erase(instance_);
  queries_.clear();  // unschedules the retry timers
}

timeout_queue& dns_resolver::queue() { return queue_ ? *queue_ : sip_thread_queue; }

dns_transport& dns_resolver::transport() { return transport_ ? *transport_ : default_transport(); }

void dns_resolver::set_servers(const std::vector<ip_port>& servers) {
  servers_ = servers;
  servers_explicit_ = !servers.empty();
  servers_read_ = servers_explicit_;
}

const std::vector<ip_port>& dns_resolver::servers() {
  if (!servers_read_) read_resolv_conf();
  return servers_;
}

void dns_resolver::read_resolv_conf() {
  if (servers_explicit_) return;
  servers_read_ = true;
  str text;
  if (str::read_file(resolv_conf_, text, false)) servers_ = dns_parse_resolv_conf(text);
}

str dns_resolver::cache_key(const str& name, dns_type type) {
  return str::sprintf("%u %s", static_cast<unsigned>(type), name);
}

str dns_resolver::resolve_alias(const str& name) {
  str current = dns_normalize_name(name);
  rtimestamp now = clock_now();
  for (int depth = 0; depth < max_alias_depth; depth++) {
    auto it = aliases_.find(current);
    if (it == aliases_.end() || it->second.expires <= now) break;
    current = it->second.data;
  }
  return current;
}

bool dns_resolver::cache_lookup(const str& name, dns_type type, str& result) {
  rtimestamp now = clock_now();
  str n = dns_normalize_name(name);
  for (const str& candidate : {n, resolve_alias(n)}) {
    auto it = cache_.find(cache_key(candidate, type));
    if (it != cache_.end() && it->second.expires > now) {
      result = it->second.data;
      return true;
    }
  }
  return false;
}

int dns_resolver::query_id(const str& name, dns_type type) const {
  str n = dns_normalize_name(name);
  for (const auto& [key, q] : queries_) {
    if (q.type == type && q.name == n) return q.id;
  }
  return -1;
}

void dns_resolver::clear_cache() {
  cache_.clear();
  aliases_.clear();
}

uint16_t dns_resolver::new_id() {
  for (;;) {
    uint16_t id = static_cast<uint16_t>(random_uint32());
    bool used = false;
    for (const auto& [key, q] : queries_) used = used || q.id == id;
    if (!used) return id;
  }
}

void dns_resolver::request_dns(const str& name, dns_type type, const callback_argument& callback) {
  str cached;
  if (cache_lookup(name, type, cached)) {
    callback.call();
    return;
  }
  str n = dns_normalize_name(name);
  for (auto& [key, q] : queries_) {
    if (q.type == type && q.name == n) {
      q.callbacks.push_back(callback);
      return;
    }
  }
  int key = ++next_key_;
  query& q = queries_[key];
  q.name = n;
  q.type = type;
  q.id = new_id();
  q.callbacks.push_back(callback);
  if (dns_encode_query(q.id, n, type).empty()) {
    // A name that cannot be asked for never resolves: fail it now rather than after 19.5 s.
    log_printf(log_sip, 4, "DNS: Cannot query %s %s", n, dns_type_name(type));
    add_entry(n, type, str(), failure_ttl_s);
    complete(key);
    return;
  }
  if (!servers_read_) read_resolv_conf();
  send_attempt(key, q);
}

void dns_resolver::send_attempt(int key, query& q) {
  str datagram = dns_encode_query(q.id, q.name, q.type);
  for (const ip_port& server : servers_) {
    transport().send(datagram, server);
    if (std::find(q.sent_to.begin(), q.sent_to.end(), server) == q.sent_to.end()) {
      q.sent_to.push_back(server);
    }
  }
  q.timer.callback(
      queue(), ms2ticks(retry_intervals_ms[q.attempts]),
      callback_argument(&dns_resolver::on_retry_timer, str::sprintf("%d", instance_), key));
  q.attempts++;
}

void dns_resolver::on_retry_timer(const str& instance, int key) {
  auto it = instances().find(instance.value());
  if (it != instances().end()) it->second->on_retry(key);
}

void dns_resolver::on_retry(int key) {
  auto it = queries_.find(key);
  if (it == queries_.end()) return;
  query& q = it->second;
  if (q.attempts >= retry_count) {
    log_printf(log_sip, 4, "DNS: No answer for %s %s", q.name, dns_type_name(q.type));
    add_entry(q.name, q.type, str(), failure_ttl_s);
    complete(key);
    return;
  }
  if (q.attempts == 1) read_resolv_conf();
  send_attempt(key, q);
}

void dns_resolver::on_pdu_available(const str& datagram, const ip_port& source) {
  dns_answer answer;
  if (!dns_decode_answer(datagram, answer) || !answer.response) return;
  ip_port from = source.unmapped();
  for (auto& [key, q] : queries_) {
    if (q.id != answer.id) continue;
    // Only the servers asked may answer, and only this question: a forged or stale datagram
    // that happens to hit the id is dropped.
    if (std::find(q.sent_to.begin(), q.sent_to.end(), from) == q.sent_to.end()) return;
    if (answer.question_name != q.name || answer.question_type != q.type) return;
    if (answer.truncated) return;
    if (answer.rcode != 0 && answer.rcode != 3) return;
    accept_answer(key, answer);
    return;
  }
}

void dns_resolver::accept_answer(int key, const dns_answer& answer) {
  query& q = queries_[key];
  // Follow the CNAME chain of the answer from the question name.
  std::vector<const dns_record*> chain;
  std::set<str> seen{q.name};
  str current = q.name;
  for (int depth = 0;; depth++) {
    const dns_record* next = nullptr;
    for (const dns_record& r : answer.records) {
      if (r.type == dns_type::cname && r.name == current) {
        next = &r;
        break;
      }
    }
    if (!next) break;
    if (depth >= max_alias_depth || !seen.insert(next->data).second) return;  // a loop
    chain.push_back(next);
    current = next->data;
  }

  str data;
  int64_t ttl = -1;
  for (const dns_record& r : answer.records) {
    if (r.type != q.type || r.name != current) continue;
    if (r.type == dns_type::srv && r.data.get_field(3).uvalue() == 0) {
      log_printf(log_sip, 3, "Received DNS SRV answer with port set to zero for domain %s", q.name);
      continue;
    }
    if (!data.empty()) data += '\n';
    data += r.data;
    if (ttl < 0 || r.ttl < ttl) ttl = r.ttl;
  }
  if (data.empty()) ttl = answer.negative_ttl >= 0 ? answer.negative_ttl : failure_ttl_s;
  for (const dns_record* r : chain) add_alias(r->name, r->data, r->ttl);
  add_entry(current, q.type, data, ttl);
  complete(key);
}

void dns_resolver::add_entry(const str& name, dns_type type, const str& data, int64_t ttl_s) {
  rtimestamp now = clock_now();
  sweep(now);
  if (ttl_s > max_ttl_s) ttl_s = max_ttl_s;
  log_printf(log_sip, 7, "DNS: Add %s %s (ttl=%d)", name, dns_type_name(type),
             static_cast<int>(ttl_s));
  entry& e = cache_[cache_key(name, type)];
  e.data = data;
  e.expires = now + s2ticks(ttl_s > 0 ? ttl_s : 1);
}

void dns_resolver::add_alias(const str& name, const str& target, int64_t ttl_s) {
  rtimestamp now = clock_now();
  if (ttl_s > max_ttl_s) ttl_s = max_ttl_s;
  log_printf(log_sip, 7, "DNS: Add %s %s (ttl=%d)", name, dns_type_name(dns_type::cname),
             static_cast<int>(ttl_s));
  entry& e = aliases_[name];
  e.data = target;
  e.expires = now + s2ticks(ttl_s > 0 ? ttl_s : 1);
}

void dns_resolver::complete(int key) {
  auto it = queries_.find(key);
  if (it == queries_.end()) return;
  std::vector<callback_argument> callbacks = std::move(it->second.callbacks);
  queries_.erase(it);
  for (const callback_argument& c : callbacks) c.call();
}

void dns_resolver::sweep(rtimestamp now) {
  if (now < next_sweep_) return;
  next_sweep_ = now + sweep_interval;
  for (auto* m : {&cache_, &aliases_}) {
    for (auto it = m->begin(); it != m->end();) {
      it = it->second.expires <= now ? m->erase(it) : std::next(it);
    }
  }
}
