#include "sip/send_packet.h"

#include <regex>
#include <string>

#include "base/log.h"
#include "base/random.h"
#include "sip/sip_transport.h"
#include "sip/transaction.h"

namespace {

const str c_via_prefix("SIP/2.0/XXX {x-pre-adr}:{x-pre-port}");

enum class step_result { finished, next };

str word(const str& step, size_t i) { return step.get_field(i); }

bool is_direct_kind(const str& kind) { return kind == "udp" || kind == "tcp" || kind == "tls"; }

transport_type transport_of(const str& name) {
  if (name == "udp") return transport_type::udp;
  if (name == "tcp") return transport_type::tcp;
  if (name == "tls") return transport_type::tls;
  return transport_type::none;
}

// An address literal in the form steps carry: IPv6 in brackets.
str step_host(const str& host) {
  str binary = ip_address_parse(host);
  if (binary.length() == 16) return ip_port(binary, 0).readable_host();
  return host;
}

str make_step(const char* kind, const char* transport, const str& host, int port) {
  str s(kind);
  s += ' ';
  s += transport;
  s += ' ';
  s += step_host(host);
  if (port > 0) s.appendf(" %d", port);
  return s;
}

str direct_step(transport_type t, const str& host, int port) {
  return str::sprintf("%S %s %d", t.name(), step_host(host), port);
}

void set_via_protocol(sip_message& m, transport_type t) {
  if (!m.is_request || m.via.empty()) return;
  str& top = m.via[0];
  if (top.length() < 11 || !top.istarts_with("SIP/2.0/")) return;
  const char* name = t == transport_type::tls ? "TLS" : t == transport_type::tcp ? "TCP" : "UDP";
  if (top.substr(8, 3) == name) return;
  str rebuilt("SIP/2.0/");
  rebuilt += name;
  rebuilt += top.substr(11);
  top = rebuilt;
}

void start_transaction_timer(pending_packet& p, int transaction_timeout) {
  int ms = transaction_timeout > 0 ? transaction_timeout * 1000 : pending_default_timeout_ms;
  p.transaction_timer.callback(transaction_queue(), ms2ticks(ms),
                               callback_argument(pending_packet_timeout, p.number));
}

void start_retransmission(pending_packet& p) {
  if (!p.retransmit) return;
  p.interval = 1;
  p.retransmit_timer.callback(transaction_queue(), ms2ticks(500),
                              callback_argument(resend_packet, p.number));
}

bool is_discover(const pending_packet& p) {
  return p.is_request() && p.message && p.message->method == m_discover;
}

// ---- Step handlers ----------------------------------------------------------------------------

step_result handle_direct(pending_packet& p, transport_type t) {
  str step = p.resolve_list.front();
  p.resolve_list.pop_front();
  ip_port destination;
  transport_type parsed;
  if (!parse_direct_step(step, parsed, destination)) return step_result::next;
  if (is_discover(p)) {
    get_sip_transaction_user().add_trusted_address(*p.message, t, destination);
    return step_result::next;
  }
  if (t == transport_type::udp && p.message->secure_only) return step_result::next;
  if (!send_to_destination(p, t, destination, "Tx")) return step_result::next;
  if (t == transport_type::udp) start_retransmission(p);
  return step_result::finished;
}

// The steps derived from a URI.
step_result handle_url(pending_packet& p) {
  str step = p.resolve_list.front();
  p.resolve_list.pop_front();
  sip_uri uri(step.get_rest(1));
  const str transport = uri.get_parameter("transport").tolower();
  const str& host = uri.get_host();
  if (host.empty()) return step_result::next;
  const bool sips = uri.get_scheme().icmp("sips");
  const str& port_text = uri.get_port();
  sip_transport& tr = get_sip_transport();
  std::vector<str> steps;
  if (!transport.empty()) {
    int port = !port_text.empty() ? port_text.value() : transport == "tls" ? 5061 : 5060;
    if (tr.ipv4_enabled()) steps.push_back(make_step("a", transport.c_str(), host, port));
    if (tr.ipv6_enabled()) steps.push_back(make_step("aaaa", transport.c_str(), host, port));
  } else if (!ip_address_parse(host).empty()) {
    int port = !port_text.empty() ? port_text.value() : sips ? 5061 : 5060;
    steps.push_back(direct_step(sips ? transport_type::tls : transport_type::udp, host, port));
  } else if (port_text.empty()) {
    steps.push_back(str(sips ? "naptrs " : "naptr ") + host);
  } else {
    const char* t = sips ? "tls" : "udp";
    if (tr.ipv4_enabled()) steps.push_back(make_step("a", t, host, port_text.value()));
    if (tr.ipv6_enabled()) steps.push_back(make_step("aaaa", t, host, port_text.value()));
  }
  p.resolve_list.insert(p.resolve_list.begin(), steps.begin(), steps.end());
  return step_result::next;
}

// Looks name up in the cache; on a miss starts the query (resuming this packet) and returns
// false.
bool lookup(pending_packet& p, const str& name, dns_type type, str& result) {
  sip_dns& dns = get_sip_dns();
  str canonical = dns.resolve_alias(name);
  if (dns.cache_lookup(canonical, type, result)) return true;
  p.awaiting_dns = true;
  dns.request_dns(canonical, type, callback_argument(route_pending_packet, p.number));
  return false;
}

bool check_transport(const str& t) {
  if (transport_of(t).valid()) return true;
  log_printf(log_sip, 0, "Unknown transport layer %s", t);
  return false;
}

step_result handle_address(pending_packet& p, bool ipv6) {
  const str step = p.resolve_list.front();
  const str t = word(step, 1);
  const str host = word(step, 2);
  const str port_text = word(step, 3);
  if (!check_transport(t) || host.empty()) {
    p.resolve_list.pop_front();
    return step_result::next;
  }
  const int port = port_text.empty() ? 5060 : port_text.value();
  const str literal = ip_address_parse(host);
  if (!literal.empty()) {
    p.resolve_list.pop_front();
    // A literal of the other family has no such record: the step of its own family sends it.
    if ((literal.length() == 16) != ipv6) return step_result::next;
    p.resolve_list.push_front(direct_step(transport_of(t), host, port));
    return step_result::next;
  }
  str result;
  if (!lookup(p, host, ipv6 ? dns_type::aaaa : dns_type::a, result)) {
    return step_result::finished;
  }
  p.resolve_list.pop_front();
  str first = result.get_line(0).strip();
  if (first.empty()) return step_result::next;
  if (!ip_address_parse(first).empty()) {
    p.resolve_list.push_front(direct_step(transport_of(t), first, port));
  } else {
    p.resolve_list.push_front(make_step("a", t.c_str(), first, port));
  }
  return step_result::next;
}

step_result handle_srv(pending_packet& p) {
  const str step = p.resolve_list.front();
  const str t = word(step, 1);
  const str name = word(step, 2);
  if (!check_transport(t) || name.empty()) {
    p.resolve_list.pop_front();
    return step_result::next;
  }
  str result;
  if (!lookup(p, name, dns_type::srv, result)) return step_result::finished;
  p.resolve_list.pop_front();
  std::vector<str> records;
  for (size_t i = 0;; ++i) {
    str line = result.get_line(i).strip();
    if (line.empty()) break;
    records.push_back(line);
  }
  sip_transport& tr = get_sip_transport();
  std::vector<str> steps;
  for (const str& r : resort_list(records)) {
    str target = r.get_field(2);
    int port = r.get_field(3).value();
    if (target.empty()) continue;
    if (is_discover(p)) p.steps_left += 4;
    if (!ip_address_parse(target).empty()) {
      steps.push_back(direct_step(transport_of(t), target, port));
      continue;
    }
    if (tr.ipv4_enabled()) steps.push_back(make_step("a", t.c_str(), target, port));
    if (tr.ipv6_enabled()) steps.push_back(make_step("aaaa", t.c_str(), target, port));
  }
  p.resolve_list.insert(p.resolve_list.begin(), steps.begin(), steps.end());
  return step_result::next;
}

// True when the NAPTR service names SIP or SIPS (tokens separated by ':' or '+').
bool sip_service(const str& service) {
  for (size_t i = 0;; ++i) {
    str token = service.get_field(i, ":+");
    if (token.empty()) return false;
    if (token.icmp("sip") || token.icmp("sips")) return true;
  }
}

step_result handle_naptr(pending_packet& p, const str& kind) {
  const str step = p.resolve_list.front();
  str host = word(step, 1);
  if (host.istarts_with("sip:") || host.istarts_with("sips:")) {
    host = sip_uri(host).get_host();
  }
  const bool is_enum = kind == "enum";
  if (host.empty()) {
    p.resolve_list.pop_front();
    return step_result::next;
  }
  if (is_enum && p.message->request_uri.get_user()[0] != '+') {
    log_printf(log_sip, 5,
               "ENUM: Routing call to Request-URI %s (leading '+' missing in the dial plan?)",
               p.message->request_uri.serialize());
  }
  str result;
  if (!lookup(p, host, dns_type::naptr, result)) return step_result::finished;
  p.resolve_list.pop_front();
  sip_transport& tr = get_sip_transport();
  std::vector<str> records;
  for (size_t i = 0;; ++i) {
    str line = result.get_line(i).strip();
    if (line.empty()) break;
    records.push_back(line);
  }
  if (records.empty()) {
    if (is_enum) return step_result::next;
    std::vector<str> steps;
    steps.push_back("srv tls _sips._tcp." + host);
    if (kind == "naptr") {
      steps.push_back("srv tcp _sip._tcp." + host);
      steps.push_back("srv udp _sip._udp." + host);
      if (tr.ipv6_enabled()) steps.push_back(make_step("aaaa", "udp", host, 5060));
      if (tr.ipv4_enabled()) steps.push_back(make_step("a", "udp", host, 5060));
    } else {
      if (tr.ipv6_enabled()) steps.push_back(make_step("aaaa", "tls", host, 5061));
      if (tr.ipv4_enabled()) steps.push_back(make_step("a", "tls", host, 5061));
    }
    p.resolve_list.insert(p.resolve_list.begin(), steps.begin(), steps.end());
    return step_result::next;
  }
  std::vector<str> collected;
  for (const str& r : resort_list(records)) {
    const str flags = r.get_field(2).tolower();
    const str service = r.get_field(3);
    str regexp = r.get_field(4);
    if (regexp == "-") regexp = str();
    const str replacement = r.get_field(5);
    if (!sip_service(service)) continue;
    const bool flag_s = flags.contains_char('s');
    const bool flag_a = flags.contains_char('a');
    const bool flag_u = flags.contains_char('u');
    const bool flag_p = flags.contains_char('p');
    if (flag_p) {
      log_printf(log_sip, 1, "P Flag on NAPTR record ignored");
      collected.push_back("url " + replacement);
      continue;
    }
    if (!flag_s && !flag_a && !flag_u) {
      log_printf(log_sip, 1, "NAPTR: No flag set");
      continue;
    }
    if (is_enum) {
      if (service.ifind("e2u") < 0) continue;
      if (flag_s) {
        collected.push_back("srv udp " + replacement);
      } else if (flag_a) {
        if (tr.ipv6_enabled()) collected.push_back(make_step("aaaa", "udp", replacement, 5060));
        if (tr.ipv4_enabled()) collected.push_back(make_step("a", "udp", replacement, 5060));
      } else {
        str uri = apply_naptr_regexp(regexp, p.message->request_uri.get_user());
        if (uri.empty()) continue;
        p.message->request_uri = uri;
        p.resolve_list.clear();
        collected.clear();
        collected.push_back("url " + uri);
        break;
      }
      continue;
    }
    const char* t;
    int port = 5060;
    if (service.icmp("sip+d2u")) {
      t = "udp";
    } else if (service.icmp("sip+d2t")) {
      t = "tcp";
    } else if (service.icmp("sips+d2t")) {
      t = "tls";
      port = 5061;
    } else {
      continue;
    }
    if (flag_s) {
      collected.push_back(str("srv ") + t + " " + replacement);
    } else if (flag_a) {
      if (tr.ipv6_enabled()) collected.push_back(make_step("aaaa", t, replacement, port));
      if (tr.ipv4_enabled()) collected.push_back(make_step("a", t, replacement, port));
    } else {
      collected.push_back("url " + replacement);
    }
  }
  // Each collected step goes to the front in turn: the last record's steps run first.
  for (const str& s : collected) p.resolve_list.push_front(s);
  return step_result::next;
}

step_result handle_discover(pending_packet& p) {
  const str host = word(p.resolve_list.front(), 1);
  p.resolve_list.pop_front();
  if (host.empty()) return step_result::next;
  if (!ip_address_parse(host).empty()) {
    p.resolve_list.push_front(direct_step(transport_type::udp, host, 5060));
  } else {
    p.resolve_list.push_front("naptr " + host);
  }
  return step_result::next;
}

// ---- Requests and responses -----------------------------------------------------------------

// The message's port_name names an open TCP/TLS connection (it came in over one).
bool on_open_connection(const sip_message& m) {
  return !m.port_name.empty() && get_sip_transport().has_connection(m.port_name);
}

void insert_via(sip_message& m, transport_type t) {
  str via = c_via_prefix;
  via += m.branch_param;
  via += ";rport";
  m.via.insert(m.via.begin(), via);
  if (t.valid()) set_via_protocol(m, t);
}

int send_on_connection_at_once(sip_message&& m, const str& name) {
  sip_transport& tr = get_sip_transport();
  pending_packet& p = new_pending_packet(m.call_id);
  const transport_type t = tr.connection_transport(name);
  // Nothing is retransmitted over a connection; the flag only tells what the packet is.
  p.retransmit = m.is_request && m.method != m_ack;
  start_transaction_timer(p, m.transaction_timeout);
  if (m.is_request) {
    if (m.branch_param.empty()) m.branch_param = make_branch_param(m);
    insert_via(m, t);
    p.via_added = true;
  }
  p.message = std::make_unique<sip_message>(std::move(m));
  p.port_name = name;
  p.destination = tr.connection_address(name);
  p.transport = t;
  p.last_text = p.message->serialize(p.destination, t);
  trace_sip_message(*p.message, "Tx", t, p.destination, p.last_text);
  ++sip_transmit;
  tr.send_on_connection(name, p.last_text);
  if (p.message->is_request) get_sip_transaction_user().report_destination(p.destination);
  return p.number;
}

int send_request(sip_message&& m) {
  sip_transport& tr = get_sip_transport();
  if (on_open_connection(m)) {
    m.cseq = get_dialog_cseq(m.method, m.call_id, m.from.tag());
    const str name = m.port_name;
    return send_on_connection_at_once(std::move(m), name);
  }
  if (m.from.empty()) {
    log_printf(log_sip, 0, "send_packet: From missing %s", m.method);
    return 0;
  }
  if (m.to.empty()) {
    log_printf(log_sip, 0, "send_packet: To missing %s", m.method);
    return 0;
  }
  if (m.call_id.empty()) {
    log_printf(log_sip, 0, "send_packet: Call-ID missing %s", m.method);
    return 0;
  }
  m.cseq = get_dialog_cseq(m.method, m.call_id, m.from.tag());
  pending_packet& p = new_pending_packet(m.call_id);
  p.retransmit = m.method != m_ack;
  start_transaction_timer(p, m.transaction_timeout);

  // The resolve list, first rule that applies.
  bool filled = false;
  for (str rest = m.destinations; !rest.empty();) {
    str line = rest.get_first_line().strip();
    if (line.empty()) continue;
    p.resolve_list.push_back(line);
    p.steps_left += 4;
    filled = true;
  }
  if (!filled && m.method == m_cancel) {
    const str& from_tag = m.from.tag();
    for_each_pending_packet(m.call_id, [&](int number) {
      pending_packet* invite = find_pending_packet(number);
      if (!invite || !invite->message || !invite->is_request() ||
          invite->message->method != m_invite || invite->message->cseq != m.cseq ||
          invite->message->from.tag() != from_tag || !invite->transport.valid()) {
        return true;
      }
      p.resolve_list.push_back(str::sprintf("%S %s %u", invite->transport.name(),
                                            invite->destination.readable_host(),
                                            unsigned(invite->destination.port)));
      m.branch_param = invite->message->branch_param;
      if (m.port_name.empty() && invite->transport == transport_type::udp) {
        m.port_name = invite->port_name;
      }
      filled = true;
      return false;
    });
  }
  if (!filled) {
    sip_uri target;
    const bool by_request_uri = m.route_by_uri || m.route.empty();
    if (by_request_uri) {
      target = m.request_uri;
      if (m.outbound_proxy == "sip:loopback") {
        uint16_t port = tr.loopback_udp_port(false);
        if (port) {
          p.resolve_list.push_back(str::sprintf("udp 127.0.0.1 %u", unsigned(port)));
          filled = true;
        } else if ((port = tr.loopback_udp_port(true)) != 0) {
          p.resolve_list.push_back(str::sprintf("udp [::1] %u", unsigned(port)));
          filled = true;
        }
      } else if (!m.outbound_proxy.empty()) {
        str proxy = m.outbound_proxy;
        if (proxy.find(':') < 0 || !(proxy.istarts_with("sip:") || proxy.istarts_with("sips:"))) {
          proxy = "sip:" + proxy;
        }
        target = proxy;
      } else if (m.request_uri.get_parameter("enum") == "true") {
        const str& user = m.request_uri.get_user();
        str domain = enum_domain(user);
        if (!domain.empty()) {
          log_printf(log_sip, 8, "Converting phone %s into %s", user, domain);
          p.resolve_list.push_back("enum " + domain);
          filled = true;
        }
      }
    } else {
      target = m.route[0].addr_spec();
    }
    if (!filled) {
      str maddr = target.get_parameter("maddr");
      if (!maddr.empty()) {
        str t = target.get_parameter("transport").tolower();
        if (t.empty()) t = "udp";
        const str& port_text = target.get_port();
        int port = !port_text.empty() ? port_text.value() : t == "tls" ? 5061 : 5060;
        p.resolve_list.push_back(make_step("aaaa", t.c_str(), maddr, port));
        p.resolve_list.push_back(make_step("a", t.c_str(), maddr, port));
      } else {
        p.resolve_list.push_back("url " + target.serialize());
      }
    }
  }

  if (m.branch_param.empty()) m.branch_param = make_branch_param(m);
  insert_via(m, transport_type::none);
  p.via_added = true;
  p.message = std::make_unique<sip_message>(std::move(m));
  const int number = p.number;
  route_pending_packet(number);
  // An ACK is never answered: once sent it only repeats for repeats of the 2xx.
  if (find_pending_packet(number) && find_pending_packet(number)->cseq_method() == m_ack)
    keep_resend_bytes_only(number);
  return number;
}

bool is_connection_name(const str& port_name) {
  ip_port parsed;
  return !port_name.empty() && parsed.parse(port_name);
}

int send_response(sip_message&& m) {
  if (m.cseq_method == m_ack) return 0;
  const str& from_tag = m.from.tag();
  for_each_pending_packet(m.call_id, [&](int number) {
    pending_packet* old = find_pending_packet(number);
    if (old && !old->is_request() && old->cseq() == m.cseq && old->cseq_method() == m.cseq_method &&
        old->from_tag() == from_tag) {
      erase_pending_packet(number);
    }
    return true;
  });
  if (on_open_connection(m)) {
    const str name = m.port_name;
    return send_on_connection_at_once(std::move(m), name);
  }
  if (m.via.empty()) {
    if (!m.peer.valid()) {
      log_printf(log_sip, 3, "Via is empty, cannot send reply");
    } else {
      log_printf(log_sip, 3, "Via is empty, cannot send reply to %s", m.peer.readable());
    }
    return 0;
  }
  pending_packet& p = new_pending_packet(m.call_id);
  const str top = m.via[0];
  const str protocol = top.get_field(0, " \t");
  transport_type t;
  if (protocol.icmp("SIP/2.0/UDP")) {
    t = transport_type::udp;
  } else if (protocol.icmp("SIP/2.0/TCP")) {
    t = transport_type::tcp;
  } else if (protocol.icmp("SIP/2.0/TLS")) {
    t = transport_type::tls;
  } else {
    log_printf(log_sip, 0, "Unsupported transport layer in %s", top);
  }
  const str t_name = t.valid() ? str(t.name()) : protocol.get_field(2, '/');
  str sent_by = top.get_rest(1, " \t");
  long semi = sent_by.find(';');
  if (semi >= 0) sent_by = sent_by.substr(0, size_t(semi));
  sent_by = sent_by.strip();
  str host = sent_by;
  str port_text;
  if (!sent_by.empty() && sent_by[0] == '[') {
    long close = sent_by.find(']');
    if (close >= 0) {
      host = sent_by.substr(0, size_t(close) + 1);
      if (sent_by[size_t(close) + 1] == ':') port_text = sent_by.substr(size_t(close) + 2);
    }
  } else {
    long colon = sent_by.find(':');
    if (colon >= 0) {
      host = sent_by.substr(0, size_t(colon));
      port_text = sent_by.substr(size_t(colon) + 1);
    }
  }
  int port = !port_text.empty() ? port_text.value() : t == transport_type::tls ? 5061 : 5060;
  str rport = get_via_parameter(top, "rport");
  if (!rport.empty() && rport.is_number()) port = rport.value();
  if (t.valid()) {
    const char* tn = t.name();
    str maddr = get_via_parameter(top, "maddr");
    str received = get_via_parameter(top, "received");
    if (is_connection_name(m.port_name) && t.is_reliable()) {
      ip_port connection = ip_port::from_text(m.port_name);
      p.resolve_list.push_back(direct_step(t, connection.readable_address(), connection.port));
    } else if (!maddr.empty()) {
      p.resolve_list.push_back(make_step("aaaa", tn, maddr, port));
      p.resolve_list.push_back(make_step("a", tn, maddr, port));
    } else if (!received.empty()) {
      p.resolve_list.push_back(direct_step(t, received, port));
    } else {
      p.resolve_list.push_back(make_step("aaaa", tn, host, port));
      p.resolve_list.push_back(make_step("a", tn, host, port));
    }
  } else {
    log_printf(log_sip, 5, "Unsupported transport layer %s", t_name);
  }
  const bool to_invite = m.cseq_method == m_invite;
  p.retransmit = to_invite && (m.code >= 200 || (m.code >= 180 && m.code <= 199 &&
                                                 (!m.get_other_header("RAck", str()).empty() ||
                                                  !m.get_other_header("RSeq", str()).empty())));
  start_transaction_timer(p, m.transaction_timeout);
  p.message = std::make_unique<sip_message>(std::move(m));
  const int number = p.number;
  route_pending_packet(number);
  // A final answer that no timer repeats only answers repeats of its request from now on.
  keep_resend_bytes_only(number);
  return number;
}

}  // namespace

ip_port last_udp_destination;

int send_packet(const sip_message& message) {
  sip_message m = message;
  return m.is_request ? send_request(std::move(m)) : send_response(std::move(m));
}

void route_pending_packet(int number) {
  pending_packet* p = find_pending_packet(number);
  if (!p) {
    log_printf(log_sip, 4, "Could not find packet with number %d", -number);
    return;
  }
  p->awaiting_dns = false;
  while (!p->resolve_list.empty()) {
    const str step = p->resolve_list.front();
    log_printf(log_sip, 9, "Resolve %d: %s", -number, step);
    if (p->steps_left <= 0) {
      log_printf(log_sip, 1, "Cannot route packet %d (too many iterations): %s", -number, step);
      p->resolve_list.clear();
      return;
    }
    --p->steps_left;
    const str kind = word(step, 0);
    step_result r;
    if (is_direct_kind(kind)) {
      r = handle_direct(*p, transport_of(kind));
    } else if (kind == "url") {
      r = handle_url(*p);
    } else if (kind == "a" || kind == "aaaa") {
      r = handle_address(*p, kind == "aaaa");
    } else if (kind == "srv") {
      r = handle_srv(*p);
    } else if (kind == "naptr" || kind == "naptrs" || kind == "enum") {
      r = handle_naptr(*p, kind);
    } else if (kind == "discover") {
      r = handle_discover(*p);
    } else {
      log_printf(log_sip, 0, "Internal error: Unknown DNS resolve type %s", kind);
      p->resolve_list.pop_front();
      r = step_result::next;
    }
    if (r == step_result::finished) return;
    p = find_pending_packet(number);
    if (!p) return;
  }
  if (is_discover(*p)) {
    get_sip_transaction_user().discovery_complete(*p->message);
    erase_pending_packet(number);
    return;
  }
  log_printf(log_sip, 6, "Could not determine destination address on %d", -number);
}

bool send_on_interface(const str& port_name, const ip_port& address, const str& text,
                       transport_type transport) {
  sip_transport& tr = get_sip_transport();
  if (!transport.is_reliable() && tr.has_udp_port(port_name)) {
    return tr.send_udp(port_name, address, text);
  }
  if (tr.has_connection(port_name)) return tr.send_on_connection(port_name, text);
  log_printf(log_sip, 3, "Could not send on socket %s", port_name);
  return false;
}

bool send_to_destination(pending_packet& p, transport_type t, const ip_port& destination,
                         const char* direction) {
  sip_transport& tr = get_sip_transport();
  set_via_protocol(*p.message, t);
  str text;
  str port_name;
  if (t == transport_type::udp) {
    port_name = p.message->port_name;
    if (port_name.empty() || is_connection_name(port_name)) {
      port_name = tr.default_udp_binding(destination);
    }
    text = p.message->serialize(destination, t);
    if (!send_on_interface(port_name, destination, text, t)) return false;
    last_udp_destination = destination;
  } else {
    if (destination.port == 0) return false;
    port_name = destination.readable();
    text = p.message->serialize(destination, t);
    if (tr.has_connection(port_name)) {
      if (!tr.send_on_connection(port_name, text)) return false;
    } else if (!p.message->is_request) {
      log_printf(log_sip, 6, "Response to %s must be sent over existing connection", port_name);
      return false;
    } else if (!tr.open_connection(port_name, destination, t, p.message->request_uri.get_host(),
                                   text)) {
      return false;
    }
  }
  p.last_text = text;
  p.port_name = port_name;
  p.destination = destination;
  p.transport = t;
  ++sip_transmit;
  trace_sip_message(*p.message, direction, t, destination, text);
  if (p.message->is_request) get_sip_transaction_user().report_destination(destination);
  return true;
}

bool parse_direct_step(const str& step, transport_type& transport, ip_port& destination) {
  transport = transport_of(word(step, 0));
  if (!transport.valid()) return false;
  str address = ip_address_parse(word(step, 1));
  if (address.empty()) return false;
  const str port_text = word(step, 2);
  int port = port_text.value();
  if (port <= 0 || port > 65535) return false;
  destination = ip_port(address, uint16_t(port));
  return true;
}

std::vector<str> resort_list(const std::vector<str>& records) {
  std::vector<std::pair<unsigned, str>> sorted;
  sorted.reserve(records.size());
  for (const str& r : records) sorted.emplace_back(r.get_field(0).uvalue(), r);
  std::stable_sort(sorted.begin(), sorted.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  std::vector<str> out;
  out.reserve(records.size());
  size_t i = 0;
  while (i < sorted.size()) {
    size_t end = i;
    while (end < sorted.size() && sorted[end].first == sorted[i].first) ++end;
    std::vector<std::pair<uint64_t, str>> group;
    uint64_t total = 0;
    for (size_t k = i; k < end; ++k) {
      uint64_t w = sorted[k].second.get_field(1).uvalue();
      group.emplace_back(w, sorted[k].second);
      total += w;
    }
    while (!group.empty()) {
      for (size_t k = 0; k < group.size();) {
        const uint64_t w = group[k].first;
        const uint64_t r = random_below(32768);
        if (total * r <= w * 32768) {
          out.push_back(group[k].second);
          total -= w;
          group.erase(group.begin() + long(k));
        } else {
          ++k;
        }
      }
    }
    i = end;
  }
  return out;
}

str enum_domain(const str& user) {
  str digits;
  for (size_t i = 0; i < user.length(); ++i) {
    char c = char(user[i]);
    if (c >= '0' && c <= '9') digits += c;
  }
  if (digits.empty()) return str();
  str out;
  for (size_t i = digits.length(); i-- > 0;) {
    out += char(digits[i]);
    out += '.';
  }
  out += "e164.arpa";
  return out;
}

str apply_naptr_regexp(const str& regexp, const str& text) {
  if (regexp.length() < 3) return str();
  const char delimiter = char(regexp[0]);
  long second = regexp.find(delimiter, 1);
  if (second < 0) return str();
  long third = regexp.find(delimiter, size_t(second) + 1);
  if (third < 0) return str();
  std::string pattern(regexp.substr(1, size_t(second) - 1).view());
  std::string replacement;
  str rep = regexp.substr(size_t(second) + 1, size_t(third - second - 1));
  for (size_t i = 0; i < rep.length(); ++i) {
    char c = char(rep[i]);
    if (c == '\\' && i + 1 < rep.length() && rep[i + 1] >= '0' && rep[i + 1] <= '9') {
      replacement += '$';
      replacement += char(rep[++i]);
    } else if (c == '$') {
      replacement += "$$";
    } else {
      replacement += c;
    }
  }
  const bool icase = regexp.substr(size_t(third) + 1).contains_char('i');
  try {
    std::regex re(pattern,
                  icase ? std::regex::ECMAScript | std::regex::icase : std::regex::ECMAScript);
    std::string subject(text.view());
    std::smatch match;
    if (!std::regex_search(subject, match, re)) return str();
    std::string out = match.format(replacement);
    return str(std::string_view(out));
  } catch (...) {
    return str();
  }
}
