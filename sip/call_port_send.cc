// What a call leg sends: requests with their identity, routes and credentials, the answers to
// the INVITE, and the handling of the responses to its own requests.
#include "base/log.h"
#include "base/random.h"
#include "frame/settings.h"
#include "media/dtmf.h"
#include "sip/call_messages.h"
#include "sip/call_port.h"
#include "sip/pending_packet.h"
#include "sip/reg_in.h"
#include "sip/sip_transport.h"
#include "sip/transaction.h"
#include "sip/srv_context.h"
#include "sip/trunk.h"

namespace {

str index_text(int index) { return str::sprintf("%d", index); }

const str c_anonymous_uri("sip:anonymous@anonymous.invalid");

int send_out(const sip_message& m) { return srv_ctx().send(m); }

}  // namespace

// ---- Routing -----------------------------------------------------------------------------

void call_port::extract_routing(const sip_message& m) {
  // The route set of the dialog with this remote tag: a request's Record-Route in order, a
  // response's reversed, the remote Contact last. A request's, and a 2xx's, is fixed.
  route_set& set = route_sets[m.is_request ? m.from.tag() : m.to.tag()];
  if (set.fixed) return;
  if (m.is_request) {
    set.routes = m.record_route;
  } else {
    set.routes.assign(m.record_route.rbegin(), m.record_route.rend());
  }
  if (!m.contact.empty()) set.routes.push_back(m.contact.front());
  set.fixed = m.is_request || (m.code >= 200 && m.code < 300);
}

void call_port::set_initial_route(const std::vector<from_to_spec>& routes, const str& proxy,
                                  const str& registration_id) {
  route_sets[str()].routes = routes;
  outbound_proxy = proxy;
  registration = registration_id;
  // A phone that keeps its connection (or its NAT binding) open as the path to it is called
  // along that path, for every request of the leg.
  auto binding = reg_ins.find(registration_id);
  if (binding != reg_ins.end()) {
    const reg_in& r = *binding->second;
    if (user_agent.empty()) user_agent = r.user_agent;
    const bool stream = r.transport.is_reliable();
    if ((r.keep_alive || r.outbound) &&
        (!stream || get_sip_transport().has_connection(r.connection))) {
      outbound_proxy =
          str::sprintf("sip:%s;transport=%s", r.source.readable(), r.transport.serialize());
      force_outbound_proxy = true;
      log_printf(log_sip, 6, "Using outbound proxy %s because of flow-label", outbound_proxy);
    }
  }
  log_printf(log_sip, 8, "%s", show_routes());
}

str call_port::show_routes() const {
  str out;
  for (const auto& [tag, set] : route_sets) {
    if (tag.empty()) {
      out.appendf("Route Set for %s:", call_id);
    } else {
      out.appendf("Route Set for %s (tag=%s):", call_id, tag);
    }
    if (set.fixed) out += " (fixed)";
    out += "\r\n";
    for (const from_to_spec& r : set.routes) out.appendf("Route %s:\r\n", r.angle_content());
  }
  out.appendf("Outbound Proxy: %s\r\n", outbound_proxy);
  return out;
}

sip_message call_port::new_request(const str& method) const {
  sip_message m(method, local, remote, call_id);
  m.request_uri = remote.addr_spec();  // replaced by the route set's target when there is one
  m.call_port_index = index;
  return m;
}

void call_port::add_common_headers(sip_message& m) const {
  m.add_other_header("Supported", "k", "100rel, replaces, norefersub");
  m.add_other_header("Allow-Events", "u", "refer");
  m.add_other_header("Allow", "", "INVITE, ACK, CANCEL, BYE, REFER, PRACK, INFO, UPDATE");
  m.add_other_header("Accept", "", "application/sdp");
  m.add_other_header("User-Agent", "", auth_user_agent());
  if (!picture.empty()) {
    m.add_other_header("Call-Info", "", str::sprintf("<%s>;purpose=icon", picture));
  }
}

void call_port::send_request(sip_message& m) {
  // 1. The caller identity by privacy style.
  const str style = privacy_style.tolower();
  const auto anonymous_from = [&] {
    const str tag = m.from.tag();
    m.from = from_to_spec();
    m.from.set_display_name("Anonymous");
    m.from.set_addr_spec(sip_uri(c_anonymous_uri));
    m.from.set_tag(tag);
  };
  if (style == "t" || style == "rpi") {
    if (!identity.empty()) {
      from_to_spec rpid(identity);
      rpid.remove_tag();
      rpid.set_parm("party", incoming ? "called" : "calling");
      rpid.set_parm("screen", "yes");
      if (anonymous) rpid.set_parm("privacy", "full");
      m.add_other_header("Remote-Party-ID", "", rpid.angle_content());
      const str tag = m.from.tag();
      m.from = from_to_spec(identity);
      m.from.set_tag(tag);
    }
  } else if (style == "nohide") {
    if (!identity.empty()) m.add_other_header("P-Preferred-Identity", "", identity);
    if (anonymous) m.add_other_header("Privacy", "", "id");
  } else if (style == "f") {
    if (!identity.empty()) {
      const str tag = m.from.tag();
      m.from = from_to_spec(identity);
      m.from.set_tag(tag);
    }
    if (anonymous) anonymous_from();
  } else {
    if (!identity.empty()) {
      m.add_other_header(style == "rfc3325" ? "P-Preferred-Identity" : "P-Asserted-Identity", "",
                         identity);
    }
    if (anonymous) {
      m.add_other_header("Privacy", "", "id");
      anonymous_from();
    }
  }
  // 2. Charging vector.
  if (!icid_value.empty() && !orig_ioi.empty()) {
    m.add_other_header("P-Charging-Vector", "",
                       str::sprintf("icid-value=%s;icid-generated-at={x-pre-adr};orig-ioi=%s",
                                    icid_value, orig_ioi));
  }
  // 3. Routes.
  auto set = route_sets.find(m.to.tag());
  if (set == route_sets.end()) set = route_sets.find(str());
  if (set != route_sets.end() && !set->second.routes.empty()) {
    std::vector<from_to_spec> routes = set->second.routes;
    if (routes.front().addr_spec().has_parameter("lr") || routes.size() == 1) {
      m.request_uri = routes.back().addr_spec();
      routes.pop_back();
    } else {
      m.request_uri = routes.front().addr_spec();
      routes.erase(routes.begin());
    }
    m.route = routes;
  }
  // 4. Contact, next hop, credentials.
  const str user = contact_user.empty() ? m.from.addr_spec().get_user() : contact_user;
  m.contact.clear();
  m.contact.push_back(from_to_spec(str::sprintf(
      "<sip:%s@{x-pre-adr}:{x-pre-port};transport={x-pre-trans}>", user)));
  if ((m.to.tag().empty() || force_outbound_proxy) && !outbound_proxy.empty()) {
    m.outbound_proxy = outbound_proxy;
  }
  if (m.method != m_ack && m.method != m_cancel) {
    const class trunk* t = get_trunk(trunk);
    if (t && !t->require.empty()) m.set_other_header("Proxy-Require", "", t->require);
  }
  if (!challenge.empty() && m.method != m_ack && m.method != m_cancel) {
    const str value = get_cnonce_string(challenge, m.method, m.request_uri.serialize());
    if (!value.empty()) m.set_other_header(challenge.header_name, "", value);
  }
  m.call_port_index = index;
  // The CSeq the transaction layer is about to give it, so that its response finds it.
  m.cseq = peek_dialog_cseq(m.method, call_id, local.tag());
  // 5. Remembered until the final response.
  if (m.method == m_invite) {
    if (!last_invite.method.empty()) {
      log_printf(log_sip, 5, "Call %s: Last INVITE request not finished", call_id);
    }
    last_invite = m;
  } else if (m.method != m_ack) {
    if (!last_request.method.empty()) {
      log_printf(log_sip, 5, "Call %s: Last request not finished", call_id);
    }
    last_request = m;
  }
  srv_ctx().send(m);
}

void call_port::send_response(sip_message& response) {
  response.call_port_index = index;
  send_out(response);
}

// ---- Requests ----------------------------------------------------------------------------

sdp call_port::outgoing_sdp() const {
  if (media.pass_through >= 2 && linked.size() == 1) {
    if (const call_port* other = get_port(*linked.begin())) {
      if (!other->media.relayed.empty()) return other->media.relayed;
    }
  }
  return media.local;
}

void call_port::send_invite() {
  sip_message invite = new_request(m_invite);
  add_common_headers(invite);
  if (!alert_info.empty()) invite.add_other_header("Alert-Info", "", alert_info);
  if (!diversion.empty() && (trunk.empty() || accept_redirect)) {
    invite.add_other_header("Diversion", "", diversion);
  }
  if (!related.empty()) invite.add_other_header("Related-Call-ID", "", related);
  media.offer_answer_state = 3;
  media.set_offer_answer_hint();
  invite.sdps.push_back(media.local);
  invite.content_type = "application/sdp";
  if (!first_invite_sent) {
    first_invite_sent = true;
    const int ring = ctrl_read_registry(ctrl_settings::max_ring_duration).value();
    if (ring >= 1) {
      ring_timer.callback(*srv_ctx().queue, rtimestamp(ring) * ns_per_second,
                          callback_argument(cancel_timeout_proc, index));
      // In seconds, as the transaction layer reads it.
      if (trunk.empty()) invite.transaction_timeout = ring + 32;
    }
    // A provider gets the trunk's request time-out to give a final answer.
    const class trunk* t = get_trunk(trunk);
    if (t && t->request_timeout > 0) invite.transaction_timeout = t->request_timeout;
  }
  invite_pending = true;
  send_request(invite);
}

void call_port::send_update() {
  if (state_code <= 100) return;
  if (state_code >= 300) {
    log_printf(log_sip, 5, "Update: Don't update codecs because call is in state %d", state_code);
    return;
  }
  if (is_ringing() && ring_180) {
    if (!invite_to_answer.method.empty()) send_invite_response(180, "Ringing", false);
    return;
  }
  if (media.pass_through == 0 && media.available_codecs.empty()) return;
  switch (media.offer_answer_state) {
    case 0:
    case 2:
    case 3:
      media.offer_answer_state = 3;
      break;
    case 1:
      media.offer_answer_state = state_code < 200 ? 4 : 5;
      break;
    case 4:
      if (state_code >= 200) {
        media.offer_answer_state = 5;
        if (!invite_to_answer.method.empty()) {
          send_invite_response(state_code, state_reason);
          return;
        }
      }
      break;
    default:
      break;
  }
  if ((media.offer_answer_state == 4 || media.offer_answer_state == 5) && media.pass_through == 0) {
    media.determine_send_codec();
  }
  media.set_offer_answer_hint();
  if (!invite_to_answer.method.empty()) {
    send_invite_response(state_code, state_reason);
    return;
  }
  if (peer_update) {
    sip_message update = new_request(m_update);
    add_common_headers(update);
    update.sdps.push_back(outgoing_sdp());
    update.content_type = "application/sdp";
    send_request(update);
  } else if (state_code >= 200) {
    sip_message reinvite = new_request(m_invite);
    add_common_headers(reinvite);
    reinvite.sdps.push_back(outgoing_sdp());
    reinvite.content_type = "application/sdp";
    invite_pending = true;
    send_request(reinvite);
  }
}

void call_port::send_reinvite() {
  if (linked.size() != 1 || !get_port(*linked.begin())) {
    log_printf(log_sip, 4, "Re-INVITE is not possible because there is no other side");
    return;
  }
  call_port& other = call_ports[*linked.begin()];
  const auto answered = [](const call_port& p) {
    return p.media.offer_answer_state == 4 || p.media.offer_answer_state == 5;
  };
  call_port* chosen = nullptr;
  if (trunk.empty() && other.trunk.empty()) {
    chosen = answered(*this) ? this : answered(other) ? &other : nullptr;
  } else if (trunk.empty()) {
    chosen = this;
  } else if (other.trunk.empty()) {
    chosen = &other;
  } else {
    log_printf(log_sip, 5, "Re-INVITE on trunk");
    if (ctrl_read_registry(ctrl_settings::trunk_reinvite) == "true") chosen = this;
  }
  if (!chosen) {
    log_printf(log_sip, 4, "Cannot perform Re-INVITE");
    return;
  }
  if (chosen->media.offer_answer_state == 3 && !chosen->peer_update) {
    log_printf(log_sip, 4,
               "Cannot send Re-INVITE (offer has already been sent and UA does not support "
               "UPDATE)");
    return;
  }
  log_printf(log_sip, 6, "Performing Re-INVITE");
  chosen->media.update_codecs(chosen->hinted_codecs());
  chosen->media.increase_version();
  chosen->media.set_local_sdp();
  chosen->send_update();
}

void call_port::send_cancel() {
  if (!trunk.empty() && post_dial_delay < 0) ++trunk_failures;
  if (!invite_pending || last_invite.method.empty()) return;
  sip_message cancel = last_invite;
  cancel.method = m_cancel;
  cancel.cseq_method = m_cancel;
  cancel.sdps.clear();
  cancel.bodies.clear();
  cancel.content_type = str();
  cancel.other_headers.clear();
  cancel.to.remove_tag();
  if (completed_elsewhere) {
    cancel.add_other_header("Reason", "", "SIP;cause=200;text=\"Call completed elsewhere\"");
  }
  cancel.call_port_index = index;
  send_out(cancel);
}

void call_port::send_bye(const str& tag) {
  sip_message bye = new_request(m_bye);
  if (!tag.empty()) bye.to.set_tag(tag);
  if (!reason_header.empty()) bye.add_other_header("Reason", "", reason_header);
  bye_time = clock_now();
  send_request(bye);
}

void call_port::send_prack(const sip_message& response) {
  sip_message prack = new_request(m_prack);
  prack.to.set_tag(response.to.tag());
  prack.add_other_header("RAck", "",
                         str::sprintf("%s %u %s", response.get_other_header("RSeq", "").strip(),
                                      unsigned(response.cseq), response.cseq_method));
  send_request(prack);
}

void call_port::send_cid(const str& from, const str& to, bool silent) {
  const auto replace = [](from_to_spec& party, const str& value) {
    const str tag = party.tag();
    party = from_to_spec(value);
    party.set_tag(tag);
  };
  if (supports_callerid) {
    sip_message info = new_request(m_info);
    info.content_type = "message/sipfrag";
    info.bodies.push_back(str::sprintf("From: %s\r\nTo: %s\r\n", from, to));
    send_request(info);
    return;
  }
  replace(local, incoming ? to : from);
  replace(remote, incoming ? from : to);
  if (supports_from_change && !silent) {
    sip_message info = new_request(m_info);
    send_request(info);
  }
}

void call_port::notify_talk(const str& event) {
  sip_message notify = new_request(m_notify);
  notify.add_other_header("Event", "o", event);
  send_request(notify);
}

void call_port::send_notify(const str& event, const str& content_type, const str& body) {
  sip_message notify = new_request(m_notify);
  notify.add_other_header("Event", "o", event);
  notify.add_other_header("Subscription-State", "", "active");
  if (!body.empty()) {
    notify.content_type = content_type;
    notify.bodies.push_back(body);
  }
  send_request(notify);
}

void call_port::send_refer(const str& refer_to, const str& referred_by) {
  sip_message refer = new_request(m_refer);
  refer.add_other_header("Refer-To", "r", refer_to);
  if (!referred_by.empty()) refer.add_other_header("Referred-By", "b", referred_by);
  send_request(refer);
}

void call_port::forward_info(const str& text) {
  sip_message info = new_request(m_info);
  info.content_type = "text/plain";
  info.bodies.push_back(text);
  send_request(info);
}

void call_port::send_aoc_info(const str& body) {
  sip_message info = new_request(m_info);
  info.content_type = "application/vnd.etsi.aoc+xml";
  info.bodies.push_back(body);
  send_request(info);
}

void call_port::send_telephone_event(int event) {
  if (rtp_stream* s = stream()) s->send_event(event);
}

void call_port::send_dtmf_info(int event) {
  sip_message info = new_request(m_info);
  info.content_type = "application/dtmf-relay";
  info.bodies.push_back(dtmf_relay_info_body(event));
  send_request(info);
}

void call_port::handle_dtmf(int event) {
  const char c = dtmf_report_char(event);
  if (c) srv_ctx().post(soap_write(msg::dialog_dtmf{str::sprintf("%d", index), str(&c, 1)}));
}

void call_port::send_telephony_event(int event) {
  const rtp_stream* s = stream();
  const bool peer_sends_events = s && s->telephone_event_pt >= 0;
  for (int other : linked) {
    call_port* o = get_port(other);
    if (!o) continue;
    if (peer_sends_events) continue;  // its RFC 4733 packets reach o through the media path
    if (o->peer_telephone_event) o->send_dtmf_info(event);
    o->send_telephone_event(event);
  }
}

void call_port::on_media_dtmf(int event) {
  if (event == 'F') {
    handle_dtmf(event);
    return;
  }
  if (analyse_dtmf) handle_dtmf(event);
  send_telephony_event(event);
}

// ---- Answers -----------------------------------------------------------------------------

void call_port::send_invite_response(int code, const str& reason, bool with_sdp) {
  if (invite_to_answer.method.empty()) return;
  if (code >= 200 && code == last_code && invite_to_answer.cseq == last_code_cseq) return;
  last_code = code;
  last_code_cseq = invite_to_answer.cseq;
  sip_message response(code, reason, invite_to_answer);
  response.to.set_tag(local.tag());
  add_common_headers(response);
  response.contact.push_back(from_to_spec(str::sprintf(
      "<sip:%s@{x-pre-adr}:{x-pre-port};transport={x-pre-trans}>",
      contact_user.empty() ? local.addr_spec().get_user() : contact_user)));
  if (supports_100rel && code > 100 && code < 200) {
    response.add_other_header("Require", "", "100rel");
    response.add_other_header("RSeq", "", "1");
  }
  if (with_sdp && code < 300 && code != 100 && !(code == 180 && ring_180)) {
    response.sdps.push_back(outgoing_sdp());
    response.content_type = "application/sdp";
  }
  send_response(response);
  if (code >= 200 && code < 300 && !connect_time) connect_time = clock_now();
}

void call_port::send_general_response(int code, const str& reason, const sip_message& request,
                                      const str& header, const str& value) {
  sip_message response(code, reason, request);
  if (response.to.tag().empty()) response.to.set_tag(local.tag());
  if (!header.empty()) response.add_other_header(header, "", value);
  send_response(response);
}

// ---- Responses ---------------------------------------------------------------------------

bool call_port_response(sip_message& response) {
  int index = response.call_port_index;
  if (index < 0) index = find_port(response.call_id, response.from.tag(), str());
  call_port* p = get_port(index);
  if (!p) return false;
  p->handle_dialog_response(response);
  return true;
}

void call_port::handle_dialog_response(sip_message& response) {
  const bool local_response = response.raw.empty();
  if (response.code >= 180 && response.code < 300 && service_access == "NR") {
    post_dial_delay = int((clock_now() - invite_time) / ns_per_ms);
    service_access = "RG";
    trunk_failures = 0;
  }
  if (local_response && response.code >= 300 && response.cseq_method == m_invite) send_cancel();
  if (response.code >= 200) {
    if (!last_request.method.empty() && last_request.cseq == response.cseq &&
        last_request.method == response.cseq_method) {
      last_request = sip_message();
    } else if (!last_invite.method.empty() && last_invite.cseq == response.cseq &&
               response.cseq_method == m_invite) {
      last_invite = sip_message();
    } else {
      log_printf(log_sip, 5, "Call %s: Response does not correspond to open request", call_id);
    }
  }
  if (!process_sdp(response)) log_printf(log_sip, 3, "process sdp returned failed");
  check_supported(response);
  const str info = response.get_other_header("Authentication-Info", "");
  if (!info.empty()) {
    const long at = info.find(str("nextnonce="));
    if (at >= 0) next_nonce = info.substr(size_t(at) + 10).get_field(0, ",").strip("\" ");
  }
  if (response.cseq_method == m_bye && response.code >= 200) {
    if (bye_time) bye_delay = int((clock_now() - bye_time) / ns_per_ms);
    log_printf(log_sip, 6, "BYE Response: Terminate %s", call_id);
    hangup_report(disconnect_reason.empty() ? hangup_bye : disconnect_reason);
    erase_call_port(index);
    return;
  }
  if (response.cseq_method != m_invite) return;
  handle_invite_response(response);
}

void call_port::handle_invite_response(sip_message& response) {
  const bool local_response = response.raw.empty();
  // Only a dialog's responses say where its requests go (a 3xx Contact is a new target).
  if (!local_response && response.code < 300) extract_routing(response);
  for (const str& v : response.get_other_headers("Require", "", true)) {
    if (v.strip().icmp("100rel")) {
      send_prack(response);
      break;
    }
  }
  const int code = response.code;
  if (code >= 200 && code < 300) {
    ring_timer.clear();
    sip_message ack = new_request(m_ack);
    ack.to = response.to;
    ack.cseq = response.cseq;
    if (hangup_sent) {
      log_printf(log_sip, 5, "Call %s disconnected, sending BYE", call_id);
      remote = response.to;
      send_request(ack);
      send_bye();
      invite_pending = false;
      return;
    }
    start_connected_timers();
    remote.set_tag(response.to.tag());
    send_request(ack);
    invite_pending = false;
    if (secure && media.remote_key.empty()) {
      send_bye();
      log_printf(log_sip, 3, "Did not receive a SRTP key, sending 415 Unsupported Media Type");
      sip_message refused = response;
      refused.code = 415;
      refused.reason = "Unsupported Media Type";
      dialog_response(refused);
      return;
    }
    log_printf(log_media, 7, "Determine pass-through mode after receiving response");
    redetermine_media();
    for (int other : linked) {
      if (call_port* o = get_port(other)) o->redetermine_media();
    }
    dialog_response(response);
    return;
  }
  if (code >= 300) {
    invite_pending = false;
    ring_timer.clear();
    if (!local_response) {
      // The ACK of a failure belongs to the INVITE's transaction: its branch and its target.
      sip_message ack = new_request(m_ack);
      ack.to = response.to;
      ack.same_branch_as_invite = true;
      send_request(ack);
    }
    if (accept_redirect && code < 400 && response.contact.size() == 1) {
      log_printf(log_sip, 5, "Redirecting call");
      route_sets.clear();
      route_sets[str()].routes = {response.contact.front()};
      outbound_proxy = str();
      force_outbound_proxy = false;
      send_invite();
      return;
    }
    dialog_response(response);
    if (!connect_time) {
      log_printf(log_sip, 6, "INVITE Response %d %s: Terminate %s", code, response.reason,
                 call_id);
      state_code = code;
      hangup_report(disconnect_reason.empty() ? hangup_reject : disconnect_reason);
      erase_call_port(index);
    }
    return;
  }
  dialog_response(response);
}

void call_port::dialog_response(const sip_message& response) {
  msg::dialog_response m;
  m.call_id = index_text(index);
  m.cseq = str::sprintf("%u", unsigned(response.cseq));
  m.code = str::sprintf("%d", response.code);
  m.method = response.cseq_method;
  m.state = media.remote.empty() ? str("sendrecv") : media.remote.get_sdp_state();
  m.redirect = response.contact.size() == 1 ? response.contact.front().content() : str();
  m.explanation = response.reason;
  m.has_sdp = response.sdps.empty() ? "false" : "true";
  srv_ctx().post(soap_write(m));
}

void call_port::redetermine_media() {
  ++media_mode_changes;
  rtp_stream* s = stream();
  if (!s) return;
  s->on_hold = on_hold;
  s->local_media = !play_file.empty() || !moh_file.empty() || !record_file.empty() ||
                   !listener.empty() || !conf_dest.empty();
  s->determine_pt_mode();
}
