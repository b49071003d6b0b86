// Requests that reach the call legs: admission of a new INVITE, the gate every request of a
// port passes (capabilities, ACK matching, loops, policy, SDP, state), and the handlers by
// method.
#include <algorithm>

#include "base/log.h"
#include "base/random.h"
#include "frame/settings.h"
#include "sip/call_messages.h"
#include "sip/call_port.h"
#include "sip/pending_packet.h"
#include "sip/srv_context.h"
#include "sip/transaction.h"
#include "sip/trunk.h"

namespace {

str index_text(int index) { return str::sprintf("%d", index); }

// The rate limit of new INVITEs: time stamps of the accepted ones within the last second.
std::deque<rtimestamp> accepted;

bool too_many_requests() {
  const int limit = ctrl_read_registry(ctrl_settings::max_udp_invite).value();
  if (limit <= 0) return false;
  const rtimestamp now = clock_now();
  while (!accepted.empty() && now - accepted.front() > 999 * ns_per_ms) accepted.pop_front();
  if (accepted.size() >= 254 || int(accepted.size()) >= limit) return true;
  accepted.push_back(now);
  return false;
}

// The host of a Via's sent-by ("SIP/2.0/UDP 192.0.2.1:5060;branch=..." -> "192.0.2.1").
str via_host(const str& via) {
  str sent_by = via.get_field(1).get_field(0, ';');
  if (sent_by.starts_with(str("["))) {
    const long close = sent_by.find(']');
    return close > 0 ? sent_by.substr(1, size_t(close) - 1) : sent_by;
  }
  return sent_by.get_field(0, ':');
}

bool performance_break() {
  const int limit = ctrl_read_registry(ctrl_settings::performance_limit).value();
  if (limit < 1 || limit > 99 || !srv_ctx().cpu_meter) return false;
  const int meter = srv_ctx().cpu_meter();
  if (meter <= limit) return false;
  log_printf(log_sip, 2, "CPU limit exceeded, rejecting incoming call");
  srv_ctx().admin_mail(ctrl_read_registry(ctrl_settings::email_cpu_limit), "CPU Limit",
                       str::sprintf("CPU meter shows %d, which is over the threshold of %d. "
                                    "Therefore, a new call has been rejected",
                                    meter, limit),
                       str());
  return true;
}

void answer_stateless(const sip_message& request, int code, const str& reason) {
  sip_message response(code, reason, request);
  if (response.to.tag().empty()) response.to.set_tag(random_token(8));
  srv_ctx().send(response);
}

// The comma-separated tokens of every header of that name.
bool lists_token(const sip_message& m, const char* name, const char* short_name,
                 const char* token) {
  for (const str& v : m.get_other_headers(name, short_name, true)) {
    if (v.strip().icmp(token)) return true;
  }
  return false;
}

}  // namespace

void reset_invite_rate() { accepted.clear(); }

int admit_invite(sip_message& request) {
  if (!ctrl_read_registry(ctrl_settings::loop_detection).icmp("false")) {
    auto [first, last] = call_port_map.equal_range(request.call_id);
    for (auto it = first; it != last; ++it) {
      if (call_ports[it->second].local.tag() == request.from.tag()) {
        answer_stateless(request, 482, "Loop Detected");
        return -1;
      }
    }
  }
  if (too_many_requests()) {
    log_printf(log_sip, 2, "DoS protection: Not accepting more calls");
    answer_stateless(request, 501, "Temporarily Unavailable");
    return -1;
  }
  if (performance_break()) {
    answer_stateless(request, 501, "Temporarily Unavailable");
    return -1;
  }
  const int index = allocate_call_port(request.call_id);
  if (index < 0) {
    answer_stateless(request, 501, "Temporarily Unavailable");
    return -1;
  }
  call_port& p = call_ports[index];
  p.remote = request.from;
  p.local = request.to;
  p.local.set_tag(random_token(10));
  register_dialog(p.call_id, p.local.tag());  // the CSeqs of the requests this leg sends
  p.incoming = true;
  p.extract_routing(request);
  p.source = request.peer;
  p.transport = request.transport;
  p.port_name = request.port_name;
  // The trunk the call came on (empty: none); the PBX routes and authenticates by it.
  p.trunk = find_trunk(request);
  request.call_port_index = index;
  const bool stream = request.transport == transport_type::tcp ||
                      request.transport == transport_type::tls;
  const str sent_by = request.via.empty() ? str() : via_host(request.via.front());
  if (stream || (!sent_by.empty() && sent_by != request.peer.readable_host())) {
    p.outbound_proxy = str::sprintf("sip:%s;transport=%s", request.peer.readable(),
                                    request.transport.serialize());
    p.force_outbound_proxy = true;
    if (stream) {
      log_printf(log_sip, 6, "Using outbound proxy %s because of flow-label", p.outbound_proxy);
    } else {
      log_printf(log_sip, 6,
                 "Using outbound proxy %s because UDP packet source did not match the via header",
                 p.outbound_proxy);
    }
  }
  return index;
}

bool call_port_request(sip_message& request) {
  int index = request.call_port_index;
  if (index < 0) index = find_port(request.call_id, request.to.tag(), request.from.tag());
  if (index < 0) {
    if (request.method != m_invite || !request.to.tag().empty()) return false;
    index = admit_invite(request);
    if (index < 0) return true;
  }
  request.call_port_index = index;
  call_ports[index].handle_dialog_request(request);
  return true;
}

// ---- The gate ----------------------------------------------------------------------------

void call_port::check_supported(const sip_message& m) {
  for (const str& v : m.get_other_headers("Supported", "k", true)) {
    const str t = v.strip();
    if (t.icmp("callerid")) supports_callerid = true;
    if (t.icmp("100rel")) supports_100rel = true;
    if (t.icmp("from-change")) supports_from_change = true;
  }
  // A peer that requires reliable provisional responses need not list them as supported too.
  if (lists_token(m, "Require", "", "100rel")) supports_100rel = true;
  if (lists_token(m, "Allow-Events", "u", "telephone-event")) peer_telephone_event = true;
  if (ctrl_read_registry(ctrl_settings::support_update).is_true() &&
      lists_token(m, "Allow", "", "UPDATE")) {
    peer_update = true;
  }
  const str ua = m.get_other_header("User-Agent", "");
  if (!ua.empty()) user_agent = ua;
}

void call_port::send_trying(const sip_message& request) {
  if (trying_sent || request.method != m_invite) return;
  trying_sent = true;
  sip_message trying(100, "Trying", request);
  srv_ctx().send(trying);
}

bool call_port::apply_security_policy(const sip_message& request) {
  // A source on the policy's trusted list needs no challenge.
  if (!trusted.empty() && source_in_list(request.peer, trusted)) return false;
  return call_leg_security_policy(request, false, auth, credentials);
}

bool call_port::process_sdp(const sip_message& m) {
  if (m.sdps.empty()) return true;
  const auto result =
      media.set_remote_sdp(m.sdps.front(), m.transport == transport_type::tls, !linked.empty());
  if (result == remote_sdp_result::rejected) return false;
  if (result == remote_sdp_result::accepted) update_media_destination();
  // A peer that offers a key over TLS gets one of ours in the answer.
  if (!media.remote_key.empty() && media.srtp_local_key.empty()) media.new_srtp_key();
  if (result == remote_sdp_result::pass_through) {
    if (rtp_stream* s = stream()) s->open_transparent_ports(m.sdps.front(), media.relayed);
    for (int other : linked) {
      if (call_port* o = get_port(other)) o->send_update();
    }
  }
  return true;
}

int call_port::offered_codec() const {
  for (const m_line& m : media.remote.media) {
    if (m.media != sdp_audio || m.formats.empty()) continue;
    return media.codecs.find_local(m.formats.front().value());
  }
  return -1;
}

void call_port::request_dialog_state(const sip_message& request) {
  state_requested = true;
  bool privacy = false;
  for (const str& token : request.get_other_headers("Privacy", "", true, ' ')) {
    str t = token;
    const long semicolon = t.find(';');
    if (semicolon >= 0) t = t.leftstr(size_t(semicolon));
    if (t.strip().icmp("id")) privacy = true;
  }
  const auto bare = [](const from_to_spec& f) {
    from_to_spec b;
    b.set_display_name(f.display_name());
    b.set_addr_spec(f.addr_spec());
    return b.angle_content();
  };
  msg::get_dialog_state m;
  m.call_id = index_text(index);
  m.sip_id = call_id;
  m.from = bare(request.from);
  m.to = bare(request.to);
  m.uri = request.request_uri.serialize();
  m.transport = str::sprintf("%s:%s", request.transport.serialize(), request.peer.readable());
  m.codec = str::sprintf("%d", offered_codec());
  m.trunk = trunk;
  m.replaces = request.get_other_header("Replaces", "");
  m.identity = request.get_other_header("P-Preferred-Identity", "");
  m.id = registration;
  if (privacy) m.privacy = "true";
  srv_ctx().post(soap_write(m));
}

void call_port::handle_dialog_request(sip_message& request) {
  // 1. Capabilities and source.
  check_supported(request);
  source = request.peer;
  transport = request.transport;
  if (!request.port_name.empty()) port_name = request.port_name;
  // 2. Only the ACK of the INVITE being answered counts.
  if (request.method == m_ack) {
    if (invite_to_answer.method.empty() || request.cseq != invite_to_answer.cseq) return;
    invite_to_answer = sip_message();
    if (is_terminated()) {
      hangup_report(hangup_reject);
      erase_call_port(index);
      return;
    }
    process_sdp(request);
    return;
  }
  // 3. One of this leg's own requests came back.
  for (const sip_message* sent : {&last_invite, &last_request}) {
    if (!sent->method.empty() && sent->cseq == request.cseq && sent->method == request.method &&
        sent->from.tag() == request.from.tag()) {
      answer_stateless(request, 482, "Loop Detected");
      return;
    }
  }
  // 4. The policy gate of incoming legs.
  if (incoming && !policy_known) {
    if (!policy_requested) {
      policy_requested = true;
      str from = request.get_other_header("P-Preferred-Identity", "");
      if (from.empty()) from = request.from.content();
      srv_ctx().post(soap_write(msg::get_dialog_policy{
          index_text(index), from, request.to.content(),
          str::sprintf("%s:%s", request.transport.serialize(), request.peer.readable()), trunk}));
    }
    security_queue.push_back(request);
    if (security_queue.size() > 10) {
      security_queue.pop_front();
      log_printf(log_sip, 4, "Security has %d pending packets", int(security_queue.size()));
    }
    send_trying(request);
    return;
  }
  // 5. Authentication.
  if (incoming && apply_security_policy(request)) return;
  // 6. SDP.
  if (!process_sdp(request)) {
    log_printf(log_sip, 3, "process sdp returned failed");
    if (request.method == m_invite && !state_requested) {
      // A new call that cannot be had: refused like any other, its ACK (or the lack of one)
      // ends the leg.
      invite_to_answer = request;
      state_code = 415;
      state_reason = "Unsupported Media Type";
      hangup_sent = true;
      send_invite_response(415, state_reason, false);
      return;
    }
    send_general_response(415, "Unsupported Media Type", request);
    return;
  }
  // 7, 8. Waiting for the PBX's state.
  if (!state_known) {
    if (!state_requested) request_dialog_state(request);
    deferred.push_back(request);
    send_trying(request);
    return;
  }
  // 9.
  dispatch(request);
}

void call_port::dispatch(sip_message& request) {
  if (request.method == m_invite) {
    if (!invite_to_answer.method.empty() && request.cseq <= invite_to_answer.cseq) return;
    invite_to_answer = request;
    refresh_target(request);
    handle_dialog_invite_request(request);
    return;
  }
  if (!last_received.method.empty() && request.cseq <= last_received.cseq) return;
  last_received = request;
  if (request.method == m_cancel) {
    handle_cancel(request);
  } else if (request.method == m_bye) {
    handle_dialog_bye_request(request);
  } else if (request.method == m_info) {
    handle_dialog_info_request(request);
  } else if (request.method == m_refer) {
    handle_refer(request);
  } else if (request.method == m_prack) {
    handle_prack(request);
  } else if (request.method == m_update) {
    refresh_target(request);
    handle_update(request);
  } else if (request.method == m_options || request.method == m_notify) {
    send_general_response(200, "Ok", request);
  } else {
    send_general_response(501, "Not Implemented", request);
  }
}

void call_port::refresh_target(const sip_message& request) {
  if (request.to.tag().empty() || request.contact.empty()) return;
  auto set = route_sets.find(request.from.tag());
  if (set != route_sets.end() && !set->second.routes.empty()) {
    set->second.routes.back() = request.contact.front();
  }
}

// ---- Handlers ----------------------------------------------------------------------------

void call_port::handle_dialog_invite_request(sip_message&) {
  if (state_code < 200) {
    initial_invite_done = true;
    return;
  }
  if (is_terminated()) {
    send_invite_response(state_code, state_reason, false);
    return;
  }
  if (!initial_invite_done) {
    initial_invite_done = true;
    send_connected();
    return;
  }
  const int hold_seconds = ctrl_read_registry(ctrl_settings::timeout_hold).value();
  if (media.pass_through != 0) {
    arm_media_timer(hold_seconds);
    return;
  }
  media.update_codecs(hinted_codecs());
  const str direction = media.remote.get_sdp_state();
  const bool hold = direction == "recvonly" || direction == "sendonly" || direction == "inactive";
  const str before = media.local.serialize(true);
  // A held call with SRTP gets a new key as it is taken off hold.
  if (on_hold && !media.srtp_local_key.empty()) {
    media.new_srtp_key();
    media.update_sdp_crypto();
  }
  media.set_local_sdp();
  // A changed answer (a mirrored hold, a new key) is the next version of the session; phones
  // may ignore a changed SDP whose o= version did not change.
  if (media.local.serialize(true) != before) media.increase_version();
  send_update();
  srv_ctx().post(soap_write(msg::dialog_hold{index_text(index), direction}));
  on_hold = hold;
  if (hold) {
    arm_media_timer(hold_seconds);
  } else {
    arm_media_timer(ctrl_read_registry(ctrl_settings::timeout_connected).value());
  }
  redetermine_media();
}

void call_port::handle_cancel(sip_message& request) {
  send_general_response(200, "Ok", request);
  if (!connect_time) {
    if (!invite_to_answer.method.empty()) {
      hangup_sent = true;
      send_invite_response(487, "Request Terminated", false);
    }
    state_code = 487;
    state_reason = "Request Terminated";
  } else {
    send_bye();
  }
  hangup_report(hangup_cancel);
}

void call_port::handle_dialog_bye_request(sip_message& request) {
  sip_message ok(200, "Ok", request);
  ok.add_other_header("User-Agent", "", auth_user_agent());
  send_response(ok);
  if (is_terminated() && !connect_time) {
    hangup_report(hangup_reject);
    erase_call_port(index);
    return;
  }
  if (rtp_received() > 0 && linked.size() == 1) {
    const call_port* other = get_port(*linked.begin());
    const rtimestamp silent = other ? clock_now() - other->last_rtp_received() : 0;
    if (other && silent > 5000 * ns_per_ms) {
      log_printf(log_media, 4,
                 "The call port %d local sdp mode %s, remote sdp mode %s, other port %d local "
                 "sdp mode %s, remote sdp mode %s",
                 index, media.local.get_sdp_state(), media.remote.get_sdp_state(), other->index,
                 other->media.local.get_sdp_state(), other->media.remote.get_sdp_state());
      const int tenths = int(silent / (100 * ns_per_ms));
      srv_ctx().admin_mail(
          ctrl_read_registry(ctrl_settings::email_bye_no_media), "User disconnects call ",
          str::sprintf("One side of the call between %s and %s did not receive media for %d.%d "
                       "s and the other side of the call disconnected the call. The address of "
                       "the other side was %s (User-Agent=%s). You may use this email as hint "
                       "for a potential problem. The SIP messages are attached.\r\n\r\n",
                       local.content(), remote.content(), tenths / 10, tenths % 10,
                       source.readable(), user_agent),
          str::sprintf("\n\n%s\n\n==============================\n\n%s\n\n", sip_log,
                       other->sip_log));
    }
  }
  end_code = "AN";
  hangup_sent = true;
  disconnect_reason = hangup_bye;
  if (rtp_stream* s = stream()) s->send_rtcp_bye("Call Disconnected");
  hangup_report(hangup_bye);
  erase_call_port(index);
}

void call_port::handle_prack(sip_message& request) {
  send_general_response(200, "Ok", request);
  const str rack = request.get_other_header("RAck", "");
  stop_message_repetition(call_id, rack.get_field(1).uvalue(), rack.get_field(2));
}

void call_port::handle_update(sip_message& request) {
  const bool offer = !request.sdps.empty();
  if (offer) {
    media.update_codecs(hinted_codecs());
    media.increase_version();
    media.set_local_sdp();
    media.offer_answer_state = 5;
    media.determine_send_codec();
  }
  sip_message ok(200, "Ok", request);
  add_common_headers(ok);
  if (offer) ok.sdps.push_back(outgoing_sdp());
  send_response(ok);
  last_received = sip_message();
}

namespace {

// The event of a dtmf-relay Signal value: digits as such, * 10, # 11, A..D 12..15, else 16.
int dtmf_event(const str& signal) {
  const str s = signal.strip();
  if (s.is_number()) return s.value();
  if (s == "*") return 10;
  if (s == "#") return 11;
  if (s.length() == 1 && s[0] >= 'A' && s[0] <= 'D') return 12 + (s[0] - 'A');
  return 16;
}

}  // namespace

int dtmf_relay_event(const str& body) {
  for (size_t i = 0;; ++i) {
    const str line = body.get_line(i);
    if (line.empty() && i > 0 && body.get_line(i + 1).empty()) break;
    const long eq = line.find('=');
    if (eq < 0) continue;
    if (line.leftstr(size_t(eq)).strip().icmp("Signal")) return dtmf_event(line.substr(size_t(eq) + 1));
  }
  return -1;
}

void call_port::handle_dialog_info_request(sip_message& request) {
  str type = request.content_type.tolower();
  const long semicolon = type.find(';');
  if (semicolon >= 0) type = type.leftstr(size_t(semicolon));
  type = type.strip();
  const str body = request.bodies.empty() ? str() : request.bodies.front();
  if (!body.empty()) {
    if (type == "application/dtmf-relay") {
      const int event = dtmf_relay_event(body);
      if (event >= 0) {
        log_printf(log_sip, 6, "Received INFO DTMF %d", event);
        if (analyse_dtmf) handle_dtmf(event);
        send_telephony_event(event);
      }
    } else if (type == "application/vnd.etsi.aoc+xml") {
      for (int other : linked) {
        if (call_port* o = get_port(other)) o->send_aoc_info(body);
      }
    } else if (type == "text/plain") {
      for (int other : linked) {
        if (call_port* o = get_port(other)) o->forward_info(body);
      }
    }
  }
  const str client_code = request.get_other_header("X-ClientCode", "");
  if (!client_code.empty()) srv_ctx().post(soap_write(msg::cmc{index_text(index), client_code}));
  const str record = request.get_other_header("Record", "");
  if (!record.empty()) {
    srv_ctx().post(soap_write(msg::dialog_rec{index_text(index), record}));
    send_general_response(200, "Ok", request, "Record", record);
    return;
  }
  send_general_response(200, "Ok", request);
}

void call_port::handle_refer(sip_message& request) {
  send_general_response(202, "Accepted", request);
  const str refer_to = request.get_other_header("Refer-To", "r");
  const str referred_by = request.get_other_header("Referred-By", "b");
  refer_sub = request.get_other_header("Refer-Sub", "");
  if (!refer_sub.icmp("false")) {
    sip_message notify = new_request(m_notify);
    notify.add_other_header("Event", "o", "refer");
    notify.add_other_header("Subscription-State", "", "terminated;reason=noresource");
    notify.content_type = "message/sipfrag";
    notify.bodies.push_back("SIP/2.0 200 Ok\r\n");
    send_request(notify);
  }
  srv_ctx().post(soap_write(msg::dialog_refer{index_text(index), refer_to, referred_by,
                                              request.get_other_header("User-Agent", "")}));
}
