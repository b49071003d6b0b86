// A trunk's registration at its provider and the keep-alive of its flow: the REGISTER, the
// handling of its final answer, the refresh and retry timers, and TrunkStatus to the PBX side.
#include <algorithm>
#include <climits>

#include "base/log.h"
#include "base/random.h"
#include "frame/soap_message.h"
#include "frame/stun.h"
#include "sip/pending_packet.h"
#include "sip/sip_connection.h"
#include "sip/srv_context.h"
#include "sip/trunk.h"

namespace {

// A value of its own, not a window that keeps a whole received message alive.
str own_copy(const str& s) { return str(s.cbuffer(), s.length()); }

constexpr int retry_seconds = 60;
const str c_crlf_keep_alive("\r\n\r\n");

str decimal(unsigned n) { return str::sprintf("%d", int(n)); }

}  // namespace

from_to_spec trunk::get_from() const {
  from_to_spec from;
  if (!reg_display.empty()) from.set_display_name(reg_display);
  from.set_addr_spec(sip_uri(str::sprintf("sip:%s@%s", account, registrar)));
  from.set_tag(from_tag);
  return from;
}

str trunk::get_cnonce_string(const str& method, const str& uri) {
  return ::get_cnonce_string(challenge, method, uri);
}

void trunk::schedule_register(int seconds) {
  register_timer.callback(*srv_ctx().queue, rtimestamp(std::max(seconds, 1)) * ns_per_second,
                          callback_argument(refresh_procedure, key));
}

void trunk::send_register() {
  if (disabled) {
    log_printf(log_trunks, 5, "Trunk %s is disabled. Not sending registration", name);
    return;
  }
  register_timer.clear();
  const from_to_spec from = get_from();
  from_to_spec to = from;
  to.remove_tag();
  sip_message m(m_register, from, to, reg_call_id);
  m.request_uri = sip_uri("sip:" + registrar);

  // The transport layer fills the placeholders with the local address, port and transport of
  // the interface the REGISTER leaves on.
  const str user = auth_user.find('@') < 0 && !auth_user.empty() ? auth_user : account;
  const bool public_known = public_address.valid() && !public_address.is_any();
  str contact = str::sprintf(
      "<sip:%s@%s:%s;transport={x-pre-trans};line=%s>", user,
      public_known ? public_address.readable_host() : str("{x-pre-adr}"),
      public_known ? str::sprintf("%u", unsigned(public_address.port)) : str("{x-pre-port}"), line);
  if (use_uuid && !uuid.empty()) contact.appendf(";+sip.instance=\"<urn:uuid:%s>\"", uuid);
  m.contact.push_back(from_to_spec(contact));
  m.expires = str::sprintf("%d", expires);
  m.add_other_header("User-Agent", "", auth_user_agent());
  if (!require.empty()) m.add_other_header("Proxy-Require", "", require);
  if (flow_transport.valid()) {
    m.destinations = str::sprintf("%S %s %u", flow_transport.name(), flow_address.readable_host(),
                                  unsigned(flow_address.port));
    m.port_name = flow_port_name;
    m.add_other_header("Supported", "", "outbound");
  } else if (!outbound_proxy.empty()) {
    m.outbound_proxy = outbound_proxy;
  }
  if (!challenge.empty()) {
    const str value = get_cnonce_string(m.method, m.request_uri.serialize());
    if (!value.empty()) m.add_other_header(challenge.header_name, "", value);
  }
  m.cseq = peek_dialog_cseq(m.method, reg_call_id, from_tag);
  ++attempts;
  srv_ctx().send(m);
}

void trunk::post_status(const sip_message& response, const char* text) {
  srv_ctx().post(soap_write(
      msg::trunk_status{key, str::sprintf("%d %s", response.code, response.reason), str(text),
                        decimal(attempts), decimal(successes), decimal(failures)}));
}

void trunk::on_register_response(const sip_message& r) {
  if (r.code < 200) return;
  const bool ok = r.code < 300;
  if (ok) {
    flow_transport = r.transport;
    flow_address = r.peer;
    flow_port_name = own_copy(r.port_name);
  } else if (flow_transport.valid()) {
    log_printf(log_trunks, 5, "Clearing outbound proxy for trunk %s (%s)", name, key);
    flow_transport = transport_type();
    flow_address = ip_port();
    flow_port_name = str();
  }
  const str info = r.get_other_header("Authentication-Info", "");
  if (!info.empty() && !challenge.empty()) {
    const str next = parse_auth_header("Digest " + info).get("nextnonce");
    if (!next.empty()) {
      challenge.nonce = own_copy(next);
      challenge.nc = 0;
    }
  }
  if (!ok) {
    ++failures;
    log_printf(log_trunks, 5, "Registration on trunk %s (%s) failed. Retry in 60 seconds", name,
               key);
    keep_alive_timer.clear();
    schedule_register(retry_seconds);
    post_status(r, "Registration failed, retry after 60 seconds");
    return;
  }
  ++successes;

  // The granted interval: of the Contact with our line when the registrar lists several.
  const int header_expires = r.expires.strip().value();
  const auto granted = [&](const from_to_spec& c) {
    const str e = c.extract_parameter("expires");
    return e.empty() ? header_expires : e.value();
  };
  int interval = header_expires;
  if (r.contact.size() == 1) {
    interval = granted(r.contact.front());
  } else if (r.contact.size() > 1) {
    const from_to_spec* ours = nullptr;
    for (const from_to_spec& c : r.contact)
      if (c.addr_spec().get_parameter("line") == line) ours = &c;
    if (ours) {
      interval = granted(*ours);
    } else {
      log_printf(log_sip, 4, "Registrar returned %d bindings, but line parameter has been erased",
                 int(r.contact.size()));
      interval = INT_MAX;
      for (const from_to_spec& c : r.contact) interval = std::min(interval, granted(c));
    }
  }
  if (interval < 1) {
    schedule_register(retry_seconds);
    post_status(r, "No refresh interval");
  } else {
    schedule_register(interval / 2);
    if (flow_transport.is_reliable()) {
      if (sip_connection* c = find_sip_connection(flow_port_name)) {
        c->idle_timeout = std::max(c->idle_timeout, interval + 8);
      }
    }
    const str text = str::sprintf("Refresh interval %d seconds", interval / 2);
    post_status(r, text.c_str());
  }
  choose_keep_alive();
  if (keep_alive_type != keep_alive_none && keep_alive_interval > 0) {
    keep_alive_timer.callback(*srv_ctx().queue, rtimestamp(keep_alive_interval) * ns_per_second,
                              callback_argument(::send_keep_alive, key));
  } else {
    keep_alive_timer.clear();
  }
}

// The outbound proxy's keepalive parameter chooses STUN or CRLF with its interval parameter
// (60 s on TCP/TLS, 20 s on UDP); without it a reliable flow gets CRLF every 30 s. A configured
// keep-alive interval (reg_keep) sets the interval the parameter leaves open and asks for CRLF
// where nothing else is chosen.
void trunk::choose_keep_alive() {
  keep_alive_type = keep_alive_none;
  keep_alive_interval = 0;
  const bool reliable = flow_transport.is_reliable();
  str kind, interval;
  if (!outbound_proxy.empty()) {
    const sip_uri proxy(outbound_proxy.istarts_with("sip") ? outbound_proxy
                                                           : "sip:" + outbound_proxy);
    kind = proxy.get_parameter("keepalive").tolower();
    interval = proxy.get_parameter("interval");
  }
  if (kind == "stun") {
    keep_alive_type = keep_alive_stun;
  } else if (kind == "crlf") {
    keep_alive_type = keep_alive_crlf;
  }
  if (keep_alive_type != keep_alive_none) {
    keep_alive_interval = interval.is_number() && interval.value() > 0 ? interval.value()
                          : keep > 0                                   ? keep
                          : reliable                                   ? 60
                                                                       : 20;
  } else if (kind.empty() && reliable) {
    keep_alive_type = keep_alive_crlf;
    keep_alive_interval = keep > 0 ? keep : 30;
  } else if (kind.empty() && keep > 0) {
    keep_alive_type = keep_alive_crlf;
    keep_alive_interval = keep;
  }
}

bool trunk::send_stun(const str& port_name, const ip_port& destination) {
  if (!stun_transaction_id.empty()) {
    log_printf(log_trunks, 5, "No answer from STUN server %s", stun_server.readable());
  }
  // A binding request: type 0x0001, no attributes, the magic cookie, a fresh transaction id.
  str request("\x00\x01\x00\x00\x21\x12\xa4\x42", 8);
  request += random_bytes(12);
  stun_transaction_id = stun_transaction(request);
  stun_server = destination;
  if (!get_sip_transport().send_udp(port_name, destination, request)) {
    log_printf(log_trunks, 4, "Could not send STUN request");
    stun_transaction_id = str();
    return false;
  }
  return true;
}

void trunk::on_stun_response(const str& datagram) {
  stun_transaction_id = str();
  ip_port mapped;
  if (!stun_mapped_address(datagram, mapped) || mapped == public_address) return;
  public_address = mapped;
  if (!account.empty() && !registrar.empty()) send_register();
}

void trunk_stun_response(const str& datagram, const ip_port& source) {
  const str id = stun_transaction(datagram);
  for (auto& [key, t] : srvtrunks) {
    if (!id.empty() && t->stun_transaction_id == id && t->stun_server == source) {
      t->on_stun_response(datagram);
      return;
    }
  }
}

void trunk::send_keep_alive() {
  if (!flow_transport.valid() || keep_alive_type == keep_alive_none) return;
  sip_transport& tr = get_sip_transport();
  bool sent;
  if (flow_transport.is_reliable()) {
    const sip_connection* c = find_sip_connection(flow_port_name);
    sent = !(c && c->output_pending()) && tr.send_on_connection(flow_port_name, c_crlf_keep_alive);
  } else if (keep_alive_type == keep_alive_stun) {
    sent = send_stun(flow_port_name, flow_address);
  } else {
    sent = tr.send_udp(flow_port_name, flow_address, c_crlf_keep_alive);
  }
  if (!sent) {
    log_printf(log_trunks, 5, "Cannot send keep alive on trunk %s because socket is not clear",
               name);
  }
  keep_alive_timer.callback(*srv_ctx().queue, rtimestamp(keep_alive_interval) * ns_per_second,
                            callback_argument(::send_keep_alive, key));
}

void trunk::refresh_procedure(const str& key) {
  if (trunk* t = get_trunk(key)) t->send_register();
}

void send_keep_alive(const str& key) {
  if (trunk* t = get_trunk(key)) t->send_keep_alive();
}
