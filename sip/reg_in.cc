#include "sip/reg_in.h"

#include <ctime>

#include "base/digest.h"
#include "base/log.h"
#include "base/random.h"
#include "frame/clock.h"
#include "frame/queues.h"
#include "frame/settings.h"
#include "sip/address_list.h"
#include "sip/sip_messages.h"
#include "sip/srv_context.h"
#include "sip/send_packet.h"
#include "sip/sip_connection.h"
#include "sip/transaction.h"

std::map<str, std::unique_ptr<reg_in>> reg_ins;
std::map<str, std::set<str>> ipadr2regs;

namespace {

constexpr size_t max_pending = 10;

// Sends through the side's transaction layer (which keeps only the bytes of a final response
// for answering repeats).
void send_out(const sip_message& m) { srv_ctx().send(m); }
void post_to_pbx(const str& text) { srv_ctx().post(text); }

timeout_queue& removal_queue() { return *srv_ctx().queue; }

class hooks_impl : public auth_hooks {
 public:
  void send_response(const sip_message& response, const sip_message&) override { send_out(response); }
  void send_request(const sip_message& request) override { send_out(request); }
  void store_call_port_challenge(int, const stored_challenge&) override {}
  void store_trunk_challenge(const str&, const stored_challenge&) override {}
};

str setting(ctrl_settings::setting s) { return ctrl_read_registry(s).strip(); }

// The comma-separated tokens of a list, parameters after ';' dropped, trimmed.
bool list_has_token(const str& list, const char* token) {
  for (size_t i = 0;; i++) {
    str item = list.get_field(i, ',');
    if (item.empty() && list.get_rest(i, ',').empty()) return false;
    long semi = item.find(';');
    if (semi >= 0) item = item.substr(0, size_t(semi));
    if (item.strip().icmp(token)) return true;
  }
}

// The port of a Via's sent-by (5060 when none is written).
int via_own_port(const str& via) {
  str sent_by = via.get_field(1, " \t");
  long semi = sent_by.find(';');
  if (semi >= 0) sent_by = sent_by.substr(0, size_t(semi));
  long bracket = sent_by.find(']');
  long colon = sent_by.find(':', bracket >= 0 ? size_t(bracket) : 0);
  return colon >= 0 ? sent_by.substr(size_t(colon) + 1).value() : 5060;
}

// Current time as an HTTP date ("Sat, 05 Dec 2026 17:03:09 GMT").
str http_date() {
  time_t t = static_cast<time_t>(get_time(wall_now()));
  struct tm tm_value;
  gmtime_r(&t, &tm_value);
  char text[64];
  size_t n = strftime(text, sizeof text, "%a, %d %b %Y %H:%M:%S GMT", &tm_value);
  return str(text, n);
}

// The lines of a text of single-line entries (route_set, addresses), as windows on it.
std::vector<str> lines_of(const str& text) {
  std::vector<str> out;
  size_t at = 0;
  while (at < text.length()) {
    long end = text.find('\n', at);
    size_t stop = end < 0 ? text.length() : size_t(end);
    out.push_back(text.substr(at, stop - at));
    at = stop + 1;
  }
  return out;
}

void add_line(str& text, const str& line) {
  if (!text.empty()) text += '\n';
  text += line;
}

str join_routes(const str& route_set) {
  str out;
  for (const str& r : lines_of(route_set)) {
    if (!out.empty()) out += ", ";
    out += r;
  }
  return out;
}

void push_bounded(std::vector<reg_pending>& q, reg_pending&& p, const char* log_format) {
  if (q.size() >= max_pending) {
    log_printf(log_sip, 4, log_format, int(q.size()));
    q.erase(q.begin());
  }
  q.push_back(std::move(p));
}

// The Contact that binds: the first sip/sips one, or "*" (remove all; star is set then).
// A binding is one Call-ID with one Contact (the registrations row holds one); further
// Contacts of the request are not bound, and the 200 does not list them.
const from_to_spec* binding_contact(const sip_message& request, bool& star) {
  star = false;
  for (const from_to_spec& c : request.contact) {
    const str& scheme = c.addr_spec().get_scheme();
    if (scheme.icmp("sip") || scheme.icmp("sips")) return &c;
    if (c.content().strip() == "*") {
      star = true;
      return &c;
    }
  }
  return nullptr;
}

str top_branch(const sip_message& m) {
  return m.via.empty() ? str() : get_via_parameter(m.via.front(), "branch");
}

// A fresh buffer of its own: a key kept for the binding's lifetime must not be a window on
// the packet it came in.
str own_copy(const str& s) { return str(s.cbuffer(), s.length()); }

}  // namespace

reg_in::reg_in(const str& id) : call_id(id) {}
reg_in::~reg_in() { removal_timer.clear(); }

void reg_in::list_address() {
  str key = str::sprintf("%s:%s", transport.serialize(), source.readable_address());
  if (ipadr2regs[key].insert(call_id).second) add_line(addresses, key);
}

void reg_in::set_removal(int64_t ms) {
  removal_timer.callback(removal_queue(), ms2ticks(ms),
                         callback_argument(remove_registration, call_id));
}

void reg_in::send_error(const sip_message& request, int code, const str& reason) {
  sip_message response(code, reason, request);
  if (!to_tag.empty()) response.to.set_tag(to_tag);
  if (code >= 400 && code < 500) response.add_other_header("Retry-After", "", "3600");
  send_out(response);
}

void reg_in::handle_register_request(sip_message& request) {
  if (!removal_timer.pending()) set_removal(15000);

  // Web address: WWW-Contact first, else an http(s) Contact; https preferred.
  www.clear();
  for (const str& w : request.get_other_headers("WWW-Contact", "", true)) {
    str uri = w.strip().strip("<>");
    if (www.empty() || uri.istarts_with("https")) www = uri;
  }
  if (www.empty()) {
    for (const from_to_spec& c : request.contact) {
      const str& scheme = c.addr_spec().get_scheme();
      if (!scheme.icmp("http") && !scheme.icmp("https")) continue;
      if (www.empty() || scheme.icmp("https")) www = c.addr_spec().serialize();
    }
  }
  process(request, false);
}

// The dialog's texts: the To tag generated here, From and To, the event and the route set
// towards the phone (Path or Record-Route, then the bound Contact).
void reg_in::note_dialog(const sip_message& request, const from_to_spec* contact, bool star) {
  const bool is_register = request.method == m_register;
  if (request.to.tag().empty() && to_tag.empty()) to_tag = str::sprintf("%u", random_uint32());
  if (!request.to.tag().empty() && to_tag.empty()) to_tag = request.to.tag();
  if (from.empty()) {
    from = request.from.content();
    from_to_spec tagged = request.to;
    tagged.set_tag(to_tag);
    to = tagged.content();
  }
  if (is_register) {
    event.clear();
    event_parameters.clear();
  } else {
    str e = request.get_other_header("Event", "o");
    long semi = e.find(';');
    event = (semi >= 0 ? e.substr(0, size_t(semi)) : e).strip().tolower();
    event_parameters = semi >= 0 ? e.substr(size_t(semi) + 1).strip() : str();
  }
  route_set.clear();
  for (const from_to_spec& r : is_register ? request.path : request.record_route)
    add_line(route_set, r.content());
  if (contact && !star) add_line(route_set, contact->content());
}

// The policy of the PBX half (asked for once; the request waits for it), its refusal, and the
// phone's credentials. False when the request was answered, queued or dropped here;
// authenticated_now tells whether this request passed a challenge.
bool reg_in::admit(const sip_message& request, bool& authenticated_now) {
  authenticated_now = false;
  if (!policy_known) {
    if (!policy_asked) {
      policy_asked = true;
      post_to_pbx(soap_write(msg::get_register_policy{call_id, request.peer.readable_address(),
                                                 request.to.content(), request.from.content()}));
    }
    push_bounded(queues().policy, reg_pending{request, false}, "Security has %d pending packets");
    return false;
  }
  if (!found || refused_code) {
    send_error(request, found ? refused_code : 404, found ? refused_reason : str("Not Found"));
    set_removal(1000);
    return false;
  }
  if (reauth_counter == 0) {
    if (registration_security_policy(request, false, credentials)) {
      set_removal(15000);
      return false;
    }
    reauth_counter = 96 + int(random_below(64));
    just_authenticated = true;
    authenticated_now = true;
    set_removal(1000);
  }
  reauth_counter--;
  return true;
}

// Where the phone is and how it keeps its flow open: source and transport, the headers that
// matter, keep-alive for a phone behind NAT or on a kept connection (which then carries the
// binding), and the address lists.
void reg_in::note_flow(const sip_message& request, const from_to_spec* contact) {
  source = request.peer;
  transport = request.transport;
  supported = request.get_other_header("Supported", "k");
  proxy_require = request.get_other_header("Proxy-Require", "");
  user_agent = request.get_other_header("User-Agent", "");
  outbound = list_has_token(supported, "outbound");
  path = list_has_token(supported, "path");
  keep_alive = false;
  if (outbound) {
    keep_alive = true;
  } else if (request.via.size() == 1 ||
             (request.via.size() > 1 && setting(ctrl_settings::register_via_count) == "false")) {
    const str& top = request.via.front();
    if (transport == transport_type::udp) {
      str rport = get_via_parameter(top, "rport");
      keep_alive = !get_via_parameter(top, "received").empty() ||
                   (!rport.empty() && rport.value() != via_own_port(top));
    } else if (transport.is_reliable()) {
      keep_alive = setting(ctrl_settings::nat_tcp).is_number() ||
                   (contact && !contact->extract_parameter("reg-id").empty());
    }
  }
  if (keep_alive && transport.is_reliable()) {
    if (sip_connection* c = find_sip_connection(request.port_name)) {
      c->registrations.insert(call_id);
      connection = request.port_name;
    }
  }
  list_address();
}

// The expiry the phone asked for (the Contact's expires parameter before the Expires header,
// 3600 without either), replaced by nat_udp or nat_tcp for a phone kept alive without
// outbound. Returns it as a number; text is the form handed to the PBX half.
int reg_in::requested_expiry(const sip_message& request, const from_to_spec* contact,
                             str& text) const {
  text = request.expires.strip();
  if (request.method == m_register && contact) {
    str p = contact->extract_parameter("expires");
    if (!p.empty()) text = p;
  }
  if (text.empty()) text = "3600";
  int requested = text.value();
  if (keep_alive && !outbound && requested != 0) {
    str nat = setting(transport.is_reliable() ? ctrl_settings::nat_tcp : ctrl_settings::nat_udp);
    if (nat.is_number()) {
      requested = nat.value();
      text = nat;
    }
  }
  return requested;
}

void reg_in::process(sip_message& request, bool) {
  const bool is_register = request.method == m_register;
  bool star = false;
  const from_to_spec* contact = binding_contact(request, star);
  note_dialog(request, contact, star);
  bool authenticated_now;
  if (!admit(request, authenticated_now)) return;
  if (is_register && request.contact.empty()) {
    // A query of the bindings: answered without changing them. The bindings themselves live
    // in the PBX half; the answer lists none.
    sip_message response(200, "OK", request);
    response.to.set_tag(to_tag);
    send_out(response);
    if (!bound) set_removal(1000);
    return;
  }
  note_flow(request, contact);
  str expires_text;
  const int requested = requested_expiry(request, contact, expires_text);
  const str contact_text = star ? str("*") : join_routes(route_set);
  const str instance =
      is_register && contact ? contact->extract_parameter("+sip.instance") : str();
  const str fp =
      md5(source.readable() + "\n" + request.from.content() + "\n" + request.to.content() + "\n" +
          call_id + "\n" + event + "\n" + event_parameters + "\n" + instance + "\n" +
          contact_text + "\n" + user_agent + "\n" + supported + "\n" + proxy_require);
  const str body = request.bodies.empty() ? str() : request.bodies.front();

  // A refresh that changes nothing but the time: answered at once, the PBX half told after.
  if (!authenticated_now && fp == fingerprint && requested > 0 && bound) {
    post_to_pbx(soap_write(msg::rru{call_id, str::sprintf("%u", request.cseq), expires_text, body}));
    expires = std::max(min_expires, std::min(max_expires, requested));
    send_ok(request, check_for_eventlist(request));
    return;
  }

  // Anything else waits for the PBX half's decision.
  str min_text = setting(ctrl_settings::min_expires),
      max_text = setting(ctrl_settings::max_expires);
  min_expires = std::max(1, min_text.is_number() ? min_text.value() : 30);
  max_expires = std::max(min_expires, max_text.is_number() ? max_text.value() : 360);
  push_bounded(queues().decision, reg_pending{request, true}, "%d registration messages pending");
  msg::register_request rr;
  rr.adr = source.readable_address();
  rr.from = request.from.content();
  rr.to = request.to.content();
  rr.call_id = call_id;
  rr.cseq = str::sprintf("%u", request.cseq);
  rr.expires = expires_text;
  rr.contact = contact_text;
  rr.event = event;
  rr.event_parameters = event_parameters;
  rr.instance = instance;
  rr.www = www;
  rr.user_agent = user_agent;
  rr.supported = supported;
  rr.proxy_require = proxy_require;
  rr.body = body;
  post_to_pbx(soap_write(rr));
  fingerprint = fp;
}

void reg_in::set_register_policy(bool is_found, const str& permitted, const str& realm,
                                 const str& user, const str& password, int code,
                                 const str& reason) {
  policy_known = true;
  found = is_found;
  refused_code = code;
  refused_reason = reason;
  credentials.permitted = permitted;
  credentials.realm = realm;
  credentials.user = user;
  credentials.password = password;
  std::vector<reg_pending> ready;
  if (waiting) ready.swap(waiting->policy);
  release_queues();
  for (reg_pending& p : ready) process(p.request, p.authenticated);
}

void reg_in::register_response(unsigned cseq, int code, const str& reason, int granted) {
  std::vector<reg_pending>& decision = queues().decision;
  auto it = decision.begin();
  while (it != decision.end() && it->request.cseq != cseq) ++it;
  if (it == decision.end()) {
    release_queues();
    log_printf(log_sip, 4, "RegisterResponse %d not found", int(cseq));
    return;
  }
  sip_message request = std::move(it->request);
  decision.erase(it);
  release_queues();
  if (code >= 300) {
    send_error(request, code, reason);
    set_removal(1000);
    return;
  }
  expires = granted;
  send_ok(request, check_for_eventlist(request));
}

void reg_in::send_ok(const sip_message& request, const str& require) {
  set_removal(expires > 0 ? int64_t(expires + 15) * 1000 : 0);
  bound = true;
  announced = expires > 0 ? std::max(1, expires + int(random_below(5)) - 2) : 0;
  authentication_result(clock_now(), request.peer.address, true, "sip");

  sip_message response(200, "OK", request);
  response.to.set_tag(to_tag);
  if (request.method == m_register) {
    response.path.clear();
    bool star = false;
    const from_to_spec* bound_contact = binding_contact(request, star);
    if (expires > 0) {
      response.path = request.path;
      // Only what was bound: a phone that read a further Contact back with an expiry would
      // believe it bound too (a deliberate narrowing, docs/registrar.md).
      if (bound_contact && !star) {
        from_to_spec copy = *bound_contact;
        copy.clear_other_parameters();
        copy.set_parm("expires", str::sprintf("%d", announced));
        response.contact.push_back(copy);
      }
      if (request.transport.is_reliable()) {
        if (sip_connection* c = find_sip_connection(request.port_name))
          c->idle_timeout = std::max(c->idle_timeout, announced + 8);
      }
    }
  } else {
    // From the 200 on, the subscription is a dialog of this side: the transaction layer
    // numbers its NOTIFYs in the dialog, each one above the last.
    register_dialog(call_id, to_tag);
    response.expires = str::sprintf("%d", announced);
    response.contact.push_back(
        from_to_spec(str("<sip:{x-pre-adr}:{x-pre-port};transport={x-pre-trans}>")));
  }
  if (outbound) response.add_other_header("Require", "", "outbound");
  if (path) response.add_other_header("Supported", "k", "path");
  if (just_authenticated) {
    response.add_other_header("Date", "", http_date());
    just_authenticated = false;
  }
  if (!require.empty()) response.add_other_header("Require", "", require);
  send_out(response);
}

void reg_in::send_notify(const str& notify_event, const str& content_type, const str& body) {
  if (route_set.empty()) {
    log_printf(log_sip, 5, "Empty Route set, not sending NOTIFY");
    return;
  }
  from_to_spec local(to);
  local.set_tag(to_tag);
  // The CSeq comes from the dialog counter registered with the 200 (send_packet).
  sip_message n(m_notify, local, from_to_spec(from), call_id);
  const std::vector<str> routes = lines_of(route_set);
  n.request_uri = from_to_spec(routes.back()).addr_spec();
  for (size_t i = 0; i + 1 < routes.size(); i++) n.route.push_back(from_to_spec(routes[i]));
  n.contact.push_back(from_to_spec(str("<sip:{x-pre-adr}:{x-pre-port};transport={x-pre-trans}>")));
  n.add_other_header("Event", "o", notify_event);
  const bool active = notify_event == event && removal_timer.pending();
  n.add_other_header("Subscription-State", "",
                     active ? str::sprintf("active;expires=%d", int(removal_timer.seconds()))
                            : str("terminated;reason=noresource"));
  if (!body.empty()) {
    n.content_type = content_type;
    n.bodies.push_back(body);
  }
  send_request(n);
  if (!active) {
    unregister_dialog(call_id, to_tag);
    to_tag.clear();
  }
}

void reg_in::send_request(sip_message& request) {
  if (keep_alive && source.valid()) {
    str flow = str("sip:") + source.readable() + ";transport=" + transport.serialize();
    log_printf(log_sip, 9, "Using outbound proxy %s because of flow-label", flow);
    request.outbound_proxy = flow;
  }
  send_out(request);
}

void reg_in::subscribe_notify(const sip_message& notify) {
  sip_message response(200, "OK", notify);
  send_out(response);
}

bool reg_in::in_dialog(const sip_message& request) const {
  return !to_tag.empty() && request.to.tag() == to_tag;
}

bool reg_in::is_waiting(const sip_message& request) const {
  const str branch = top_branch(request);
  auto same = [&](const std::vector<reg_pending>& q) {
    for (const reg_pending& p : q) {
      if (p.request.cseq == request.cseq && p.request.cseq_method == request.cseq_method &&
          top_branch(p.request) == branch)
        return true;
    }
    return false;
  };
  return same(policy_queue()) || same(decision_queue());
}

namespace {
const std::vector<reg_pending> no_requests;
}

const std::vector<reg_pending>& reg_in::policy_queue() const {
  return waiting ? waiting->policy : no_requests;
}
const std::vector<reg_pending>& reg_in::decision_queue() const {
  return waiting ? waiting->decision : no_requests;
}

reg_in::waiting_requests& reg_in::queues() {
  if (!waiting) waiting = std::make_unique<waiting_requests>();
  return *waiting;
}

void reg_in::release_queues() {
  if (waiting && waiting->policy.empty() && waiting->decision.empty()) waiting.reset();
}

void reg_in::pack() {
  std::vector<str*> texts = {&from,
                             &to,
                             &to_tag,
                             &event,
                             &event_parameters,
                             &source.address,
                             &user_agent,
                             &supported,
                             &proxy_require,
                             &www,
                             &fingerprint,
                             &connection,
                             &credentials.realm,
                             &credentials.user,
                             &credentials.password,
                             &credentials.permitted,
                             &refused_reason,
                             &route_set,
                             &addresses};
  pack_texts(texts);
}

void reg_in::handle_other_request(sip_message& request) {
  if (request.method == m_notify) {
    subscribe_notify(request);
    return;
  }
  if (request.method == m_ack) return;
  if (request.method == m_options) {
    sip_message response(200, "OK", request);
    send_out(response);
    return;
  }
  sip_message response(405, "Method Not Allowed", request);
  response.add_other_header("Allow", "", "REGISTER, SUBSCRIBE, NOTIFY, OPTIONS");
  send_out(response);
}

reg_in* find_registration(const sip_message& request) {
  auto it = reg_ins.find(request.call_id);
  if (it == reg_ins.end()) {
    log_printf(log_sip, 5, "Cannot determine from what registration the request was sent");
    return nullptr;
  }
  return it->second.get();
}

bool registrar_check_authentication(const sip_message& response, const sip_message& request) {
  auto it = reg_ins.find(request.call_id);
  if (it == reg_ins.end() || request.method != m_notify) return false;
  reg_in& r = *it->second;
  sip_message again;
  return answer_challenge(response, request, r.credentials.user, r.credentials.password, -1, again);
}

void registrar_receive(sip_message& request) {
  if (request.call_id.empty()) return;
  auto it = reg_ins.find(request.call_id);
  if (it == reg_ins.end()) {
    const str id = own_copy(request.call_id);
    it = reg_ins.emplace(id, std::make_unique<reg_in>(id)).first;
  } else if (it->second->is_waiting(request)) {
    return;
  }
  it->second->handle_register_request(request);
  // The request may have ended the binding (a removal timer of 0 ms runs later, not here).
  it->second->pack();
}

void reg_in::keep_bound(int64_t remaining_ms) {
  bound = true;
  expires = int(std::max<int64_t>(0, remaining_ms / 1000 - 15));
  announced = expires;
  set_removal(remaining_ms);
}

void registrar_restore(const str& call_id, const str& from, const str& to, const str& event,
                       const str& adr, const str& contact, int64_t remaining_ms) {
  if (call_id.empty() || remaining_ms <= 0 || reg_ins.count(call_id)) return;
  auto r = std::make_unique<reg_in>(own_copy(call_id));
  r->from = from;
  r->to = to;
  r->event = event;
  r->transport = transport_type::udp;
  str port = from_to_spec(contact.get_field(0, ',')).addr_spec().get_port();
  r->source = ip_port(ip_address_parse(adr), uint16_t(port.is_number() ? port.value() : 5060));
  r->list_address();
  r->keep_bound(remaining_ms);
  r->pack();
  const str id = r->call_id;
  reg_ins[id] = std::move(r);
}

void remove_registration(const str& call_id) {
  auto it = reg_ins.find(call_id);
  if (it == reg_ins.end()) {
    log_printf(log_sip, 5, "Cannot find registration %s", call_id);
    return;
  }
  post_to_pbx(soap_write(msg::register_expires{call_id}));
  if (!it->second->event.empty()) unregister_dialog(call_id, it->second->to_tag);
  if (!it->second->connection.empty()) {
    if (sip_connection* c = find_sip_connection(it->second->connection))
      c->registrations.erase(call_id);
  }
  for (const str& key : lines_of(it->second->addresses)) {
    auto listed = ipadr2regs.find(key);
    if (listed == ipadr2regs.end()) continue;
    listed->second.erase(call_id);
    if (listed->second.empty()) ipadr2regs.erase(listed);
  }
  reg_ins.erase(it);
}

str check_for_eventlist(const sip_message& request) {
  str e = request.get_other_header("Event", "o");
  long semi = e.find(';');
  if (semi >= 0) e = e.substr(0, size_t(semi));
  if (!e.strip().icmp("dialog")) return str();
  return list_has_token(request.get_other_header("Supported", "k"), "eventlist") ? str("eventlist")
                                                                                 : str();
}

bool registrar_on_soap(const str& text) {
  soap_envelope e;
  if (!soap_parse(text, e)) return false;
  // The answer's reg_in, by the Call-ID it names; true once the message was taken.
  auto deliver = [](const str& call_id, auto&& apply) {
    auto it = reg_ins.find(call_id);
    if (it == reg_ins.end()) {
      log_printf(log_sip, 5, "Cannot find registration %s", call_id);
      return true;
    }
    apply(*it->second);
    it->second->pack();
    return true;
  };
  if (msg::set_register_policy m; soap_read(e, m)) {
    return deliver(m.call_id, [&](reg_in& r) {
      r.set_register_policy(m.found == "true", m.permitted, m.realm, m.user, m.password,
                            m.code.value(), m.reason);
    });
  }
  if (msg::register_response m; soap_read(e, m)) {
    return deliver(m.call_id, [&](reg_in& r) {
      r.register_response(m.cseq.uvalue(), m.code.value(), m.reason, m.expires.value());
    });
  }
  if (msg::subscription_notify m; soap_read(e, m)) {
    return deliver(m.call_id,
                   [&](reg_in& r) { r.send_notify(m.event, m.content_type, m.body); });
  }
  return false;
}

void registrar_connection_closed(sip_connection& connection) {
  std::set<str> bound;
  bound.swap(connection.registrations);
  for (const str& call_id : bound) remove_registration(call_id);
}

void registrar_clear() {
  reg_ins.clear();
  ipadr2regs.clear();
}


auth_hooks& registrar_auth_hooks() {
  static hooks_impl hooks;
  return hooks;
}
