// The trunks' set-up from the PBX side's messages, the recognition of the trunk an incoming
// request came on, the resolution of the provider's addresses, and the trunks' place in the
// SIP stack. Registration and keep-alive: trunk_register.cc.
#include "sip/trunk.h"

#include <algorithm>
#include <array>
#include <vector>

#include "base/global_number.h"
#include "base/log.h"
#include "base/random.h"
#include "frame/soap_message.h"
#include "sip/pending_packet.h"
#include "sip/srv_context.h"

std::map<str, std::unique_ptr<trunk>> srvtrunks;
std::map<str, str> trunk_lines;
std::map<str, str> trunk_call_ids;

namespace {

// A value of its own, not a window that keeps a whole received message alive.
str own_copy(const str& s) { return str(s.cbuffer(), s.length()); }

// The words of a list separated by white space or commas.
std::set<str> word_set(const str& list, bool lower) {
  std::set<str> out;
  for (size_t i = 0;; i++) {
    str word = list.get_field(i, " \t\r\n,");
    if (word.empty()) return out;
    out.insert(lower ? word.tolower() : own_copy(word));
  }
}

int number_or(const str& text, int fallback) {
  const str t = text.strip();
  return !t.empty() && t.is_number() ? t.value() : fallback;
}

trunk* trunk_of_call_id(const str& call_id) {
  auto it = trunk_call_ids.find(call_id);
  return it == trunk_call_ids.end() ? nullptr : get_trunk(it->second);
}

// The host of a registrar text ("host" or "host:port", IPv6 in brackets).
str registrar_host(const str& registrar) { return sip_uri("sip:" + registrar).get_host(); }

}  // namespace

// ---- Life cycle ------------------------------------------------------------------------------

trunk::~trunk() { stop(); }

trunk* get_trunk(const str& key) {
  if (key.empty()) return nullptr;
  auto it = srvtrunks.find(key);
  return it == srvtrunks.end() ? nullptr : it->second.get();
}

str trunk::make_callid() { return random_token(24); }

void trunk::update(const msg::setup_trunk& m) {
  // A new address of record is a new registration: the binding of the old one is left to
  // expire at the provider.
  const bool new_identity =
      reg_call_id.empty() || m.account != account || m.registrar.strip() != registrar;
  name = own_copy(m.name);
  reg_display = own_copy(m.reg_display);
  account = own_copy(m.account);
  registrar = own_copy(m.registrar.strip());
  auth_user = own_copy(m.auth_user.empty() ? m.account : m.auth_user);
  password = own_copy(m.password);
  expires = number_or(m.expires, 3600);
  keep = std::max(0, number_or(m.keep, 0));
  request_timeout = std::max(0, number_or(m.request_timeout, 0));
  outbound_proxy = own_copy(m.outbound_proxy.strip());
  aadr = own_copy(m.aadr);
  explicit_addresses = word_set(m.aadr, false);
  domain_names = word_set(m.domain_names, true);
  domain_name = m.domain_names.get_field(0, " \t\r\n,").tolower();
  dids = word_set(m.dids, false);
  country_code = own_copy(m.country_code.strip());
  area_code = m.area_code.strip().lstrip('0');
  outbound_only = m.direction == "o";
  disabled = m.disabled == "true";
  require = own_copy(m.require.strip());
  rfcrtp = m.rfcrtp == "true";
  analog = m.analog == "true";
  dtmf = m.dtmf == "true";
  use_uuid = m.use_uuid != "false";
  uuid = own_copy(m.uuid);
  icid = own_copy(m.icid);

  if (line.empty()) {
    do {
      line = random_token(10).tolower();
    } while (trunk_lines.count(line));
    trunk_lines[line] = key;
  }
  if (new_identity) {
    if (!reg_call_id.empty()) {
      trunk_call_ids.erase(reg_call_id);
      unregister_dialog(reg_call_id, from_tag);
    }
    reg_call_id = make_callid();
    from_tag = random_token(10);
    trunk_call_ids[reg_call_id] = key;
    // The REGISTERs of one Call-ID count their CSeq on (the transaction layer numbers them).
    register_dialog(reg_call_id, from_tag);
    challenge = stored_challenge();
    flow_transport = transport_type();
    flow_address = ip_port();
    flow_port_name = str();
  }
}

void trunk::stop() {
  register_timer.clear();
  keep_alive_timer.clear();
}

namespace {
bool ports_ready = false;

void start_trunk(trunk& t) {
  t.stop();
  if (!t.account.empty()) {
    t.start_register();
  } else {
    t.send_discover();
  }
}
}  // namespace

void trunks_ports_ready() {
  ports_ready = true;
  for (auto& [key, t] : srvtrunks) start_trunk(*t);
}

void setup_trunk(const msg::setup_trunk& m) {
  if (m.key.empty()) return;
  auto it = srvtrunks.find(m.key);
  if (it == srvtrunks.end()) {
    it = srvtrunks.emplace(own_copy(m.key), std::make_unique<trunk>()).first;
    it->second->key = it->first;
  }
  trunk& t = *it->second;
  t.stop();
  t.update(m);
  t.attempts = t.successes = t.failures = 0;
  if (ports_ready) start_trunk(t);
}

void delete_trunk(const str& key) {
  auto it = srvtrunks.find(key);
  if (it == srvtrunks.end()) return;
  trunk& t = *it->second;
  t.stop();
  trunk_lines.erase(t.line);
  trunk_call_ids.erase(t.reg_call_id);
  unregister_dialog(t.reg_call_id, t.from_tag);
  srvtrunks.erase(it);
}

void clear_trunks() {
  while (!srvtrunks.empty()) delete_trunk(srvtrunks.begin()->first);
  ports_ready = false;
}

bool trunk_on_soap(const str& text) {
  soap_envelope e;
  if (!soap_parse(text, e)) return false;
  if (e.name == msg::setup_trunk::soap_name) {
    msg::setup_trunk m;
    if (soap_read(e, m)) setup_trunk(m);
    return true;
  }
  if (e.name == msg::delete_trunk::soap_name) {
    msg::delete_trunk m;
    if (soap_read(e, m)) delete_trunk(m.key);
    return true;
  }
  return false;
}

// ---- Numbers -----------------------------------------------------------------------------

str trunk_global_number(const str& country_code, const str& area_code, const str& n) {
  const str global = to_global_number(country_code, area_code, n);
  return global.empty() ? n : global;
}

// ---- Recognition -------------------------------------------------------------------------

str find_trunk(const sip_message& request) {
  const sip_uri& uri = request.request_uri;
  const str line = uri.get_parameter("line");
  if (!line.empty()) {
    auto it = trunk_lines.find(line);
    if (trunk* t = it == trunk_lines.end() ? nullptr : get_trunk(it->second)) {
      log_printf(log_trunks, 5, "Identify trunk (line match) %s", t->name);
      return t->key;
    }
  }
  const ip_port source = request.peer.unmapped();
  const str source_address = source.readable_address();
  const str source_with_port = source.readable();
  const str host = uri.get_host().tolower();
  const str& user = uri.get_user();
  const bool literal_host = !ip_address_parse(host).empty();
  const str& from_user = request.from.addr_spec().get_user();
  const str from_host = request.from.addr_spec().get_host();

  // The categories in order of precedence; within one the last trunk examined wins.
  enum { ip_did, ip_from, ip_user, ipport_domain, ip_domain, ipport, ip, domain_only, count };
  static const char* const texts[count] = {"Identify trunk (IP address and DID match) %s",
                                           "Identify trunk (IP address and from match) %s",
                                           "Identify trunk (IP address and user match) %s",
                                           "Identify trunk (IP address/port and domain match) %s",
                                           "Identify trunk (IP address and domain match) %s",
                                           "Identify trunk (IP address/port match) %s",
                                           "Identify trunk (IP address match) %s",
                                           "Identify trunk (domain name match) %s"};
  std::array<trunk*, count> found{};

  for (auto& [key, owned] : srvtrunks) {
    trunk& t = *owned;
    if (t.outbound_only || t.disabled) continue;
    bool ip_match = false, ipport_match = false;
    if (t.explicit_addresses.empty()) {
      for (const str& entry : t.learned_addresses) {
        const long colon = entry.find(':');
        if (colon < 0 || transport_type(entry.leftstr(size_t(colon))) != request.transport) {
          continue;
        }
        const ip_port learned = ip_port::from_text(entry.substr(size_t(colon) + 1));
        if (learned.address != source.address) continue;
        ip_match = true;
        if (learned.port == 0 || learned.port == source.port) ipport_match = true;
      }
    } else if (t.explicit_addresses.count(source_with_port)) {
      ip_match = ipport_match = true;
    } else if (t.explicit_addresses.count(source_address) ||
               t.explicit_addresses.count(source.readable_host())) {
      ip_match = true;
    }
    const bool domain = t.domain_names.count(host) || t.domain_names.count(str("localhost"));
    const bool user_match = !t.account.empty() && t.account == user && literal_host;
    const bool from_match = !t.account.empty() && !t.registrar.empty() && from_user == t.account &&
                            from_host.icmp(registrar_host(t.registrar));
    const bool did =
        !t.dids.empty() && t.dids.count(trunk_global_number(t.country_code, t.area_code, user));
    const bool facts[count] = {
        ip_match && did,
        ip_match && from_match,
        ip_match && user_match,
        ipport_match && domain,
        ip_match && domain,
        ipport_match,
        ip_match,
        domain && t.learned_addresses.empty() && t.explicit_addresses.empty()};
    for (int c = 0; c < count; c++)
      if (facts[c]) found[c] = &t;
  }
  for (int c = 0; c < count; c++) {
    if (!found[c]) continue;
    log_printf(log_trunks, 5, texts[c], found[c]->name);
    return found[c]->key;
  }
  log_printf(log_trunks, 8, "Could not find a trunk (%d trunks)", int(srvtrunks.size()));
  return str();
}

// ---- Addresses -----------------------------------------------------------------------------

str trunk::next_hop() const {
  if (!outbound_proxy.empty()) return outbound_proxy;
  return registrar.empty() ? str() : "sip:" + registrar;
}

void trunk::send_discover() {
  learned_addresses.clear();
  std::vector<str> steps;
  const bool ipv6 = get_sip_transport().ipv6_enabled();
  for (const str& target : {registrar.empty() ? str() : "sip:" + registrar, outbound_proxy}) {
    if (target.empty()) continue;
    const sip_uri uri(target.istarts_with("sip") ? target : "sip:" + target);
    const str host = uri.get_host();
    if (host.empty()) continue;
    const str port = uri.get_port();
    const str name = uri.get_parameter("transport").tolower();
    const transport_type t =
        name.empty() ? transport_type(transport_type::udp) : transport_type(name);
    const str literal = ip_address_parse(host);
    if (!literal.empty()) {
      add_to_trusted(t.valid() ? t : transport_type(transport_type::udp),
                     ip_port(literal, uint16_t(port.value())));
    } else if (port.empty() && name.empty()) {
      steps.push_back("discover " + host);
    } else if (t.valid()) {
      const int p = !port.empty() ? port.value() : t == transport_type::tls ? 5061 : 5060;
      steps.push_back(str::sprintf("a %S %s %d", t.name(), host, p));
      if (ipv6) steps.push_back(str::sprintf("aaaa %S %s %d", t.name(), host, p));
    }
  }
  if (steps.empty()) {
    finish_trusted_address();
    return;
  }
  discovering = true;
  from_to_spec from = get_from();
  from.remove_tag();  // outside the registration's CSeq count
  sip_message d(m_discover, from, from, reg_call_id);
  d.request_uri = sip_uri(next_hop());
  for (const str& s : steps) d.destinations += s + "\n";
  srv_ctx().send(d);
}

void trunk::start_register() { send_discover(); }

void trunk::add_to_trusted(transport_type transport, const ip_port& address) {
  const ip_port a = address.unmapped();
  learned_addresses.insert(
      str::sprintf("%S:%s:%u", transport.name(), a.readable_host(), unsigned(a.port)));
}

void trunk::finish_trusted_address() {
  discovering = false;
  str list;
  for (const str& a : learned_addresses) list += " " + a;
  log_printf(log_trunks, 8, "Trunk %s (%s) is associated with the following addresses:%s", name,
             key, list);
  if (!account.empty() && !registrar.empty()) send_register();
}

void add_to_trusted(const str& key, transport_type transport, const ip_port& address) {
  if (trunk* t = get_trunk(key)) t->add_to_trusted(transport, address);
}

void finish_trusted_address(const str& key) {
  if (trunk* t = get_trunk(key)) t->finish_trusted_address();
}

// ---- In the SIP stack ------------------------------------------------------------------------

void trunk_transaction_user::travel_backward(sip_message& response) {
  trunk* t = response.cseq_method == m_register ? trunk_of_call_id(response.call_id) : nullptr;
  if (!t) {
    next_.travel_backward(response);
    return;
  }
  t->on_register_response(response);
}

bool trunk_transaction_user::check_authentication(const sip_message& response,
                                                  const sip_message& request) {
  trunk* t = request.method == m_register ? trunk_of_call_id(request.call_id) : nullptr;
  if (!t) return next_.check_authentication(response, request);
  sip_message again;
  return answer_challenge(response, request, t->auth_user, t->password, -1, again);
}

void trunk_transaction_user::add_trusted_address(const sip_message& request,
                                                 transport_type transport, const ip_port& address) {
  trunk* t = request.method == m_discover ? trunk_of_call_id(request.call_id) : nullptr;
  if (!t) {
    next_.add_trusted_address(request, transport, address);
    return;
  }
  t->add_to_trusted(transport, address);
}

void trunk_transaction_user::discovery_complete(const sip_message& request) {
  trunk* t = request.method == m_discover ? trunk_of_call_id(request.call_id) : nullptr;
  if (!t) {
    next_.discovery_complete(request);
    return;
  }
  t->finish_trusted_address();
}

void trunk_auth_hooks::send_response(const sip_message& response, const sip_message& request) {
  if (next_) next_->send_response(response, request);
}

void trunk_auth_hooks::send_request(const sip_message& request) {
  if (next_) next_->send_request(request);
}

void trunk_auth_hooks::store_call_port_challenge(int index, const stored_challenge& c) {
  if (next_) next_->store_call_port_challenge(index, c);
}

void trunk_auth_hooks::store_trunk_challenge(const str& call_id, const stored_challenge& c) {
  if (trunk* t = trunk_of_call_id(call_id)) {
    t->challenge = c;
  } else if (next_) {
    next_->store_trunk_challenge(call_id, c);
  }
}

void install_trunks() {
  static trunk_transaction_user user(get_sip_transaction_user());
  set_sip_transaction_user(&user);
  static trunk_auth_hooks hooks(get_auth_hooks());
  set_auth_hooks(&hooks);
}
