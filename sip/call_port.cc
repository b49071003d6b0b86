// The table of call ports, the life of one port (state code, hangup, erase) and its timers.
#include "sip/call_port.h"

#include "base/log.h"
#include "frame/settings.h"
#include "sip/call_messages.h"
#include "sip/pending_packet.h"
#include "sip/srv_context.h"

const str hangup_bye("bye"), hangup_cancel("cancel"), hangup_timeout("timeout"),
    hangup_busy("busy"), hangup_nomedia("nomedia"), hangup_oneway("oneway"),
    hangup_duration("duration"), hangup_reject("reject");

call_port call_ports[call_port_count];
std::multimap<str, int> call_port_map;

namespace {

int allocation_cursor = 0;
int ports_in_use = 0;

int setting_int(int setting) { return ctrl_read_registry(setting).value(); }

}  // namespace

call_port* get_port(int index) {
  if (index < 0 || index >= call_port_count || call_ports[index].index < 0) return nullptr;
  return &call_ports[index];
}

int call_ports_in_use() { return ports_in_use; }

int allocate_call_port(const str& call_id) {
  for (int probe = 0; probe < call_port_count; ++probe) {
    const int slot = allocation_cursor;
    allocation_cursor = (allocation_cursor + 1) % call_port_count;
    call_port& p = call_ports[slot];
    if (p.index >= 0) continue;
    p.clear();
    p.index = slot;
    p.call_id = call_id;
    p.media.name = call_id;
    rtp_stream* stream = rtp_stream_open(slot, call_id, &p.media);
    stream->dtmf.on_dtmf = [slot](int event) {
      if (call_port* leg = get_port(slot)) leg->on_media_dtmf(event);
    };
    stream->dtmf.on_hangup_tone = [slot] {
      // The media timer drops to 0 and ends the call at once (rtp_hangup).
      if (call_port* leg = get_port(slot)) {
        leg->rtp_timer_seconds = 0;
        leg->rtp_timer.callback(*srv_ctx().queue, 0, callback_argument(rtp_hangup, slot));
      }
    };
    rtp_socket_ops* sockets = srv_ctx().rtp_sockets;
    p.rtp_port =
        sockets && stream->allocate_ports(*sockets) ? stream->local_port : get_random_rtp_port();
    p.media.set_rtp_port(p.rtp_port);
    p.media.set_codecs(str(), false);  // the system's preference until the PBX sets one
    call_port_map.emplace(call_id, slot);
    ++ports_in_use;
    return slot;
  }
  return -1;
}

int find_port(const str& call_id, const str& local_tag, const str& remote_tag) {
  auto [first, last] = call_port_map.equal_range(call_id);
  for (auto it = first; it != last; ++it) {
    const call_port& p = call_ports[it->second];
    if (!local_tag.empty() && p.local.tag() == local_tag) return it->second;
    if (!remote_tag.empty() && p.remote.tag() == remote_tag) return it->second;
  }
  return -1;
}

void erase_call_port(int index) {
  call_port* p = get_port(index);
  if (!p) return;
  // The leg that monitored this one ends with it.
  if (call_port* listener = p->listener.empty() ? nullptr : get_port(p->listener.value())) {
    log_printf(log_sip, 5, "Monitored call on %s ended", p->call_id);
    p->listener = str();
    if (listener != p) listener->send_hangup(hangup_bye);
  }
  for (int other : p->linked) {
    if (call_port* o = get_port(other)) o->linked.erase(index);
  }
  auto [first, last] = call_port_map.equal_range(p->call_id);
  for (auto it = first; it != last; ++it) {
    if (it->second == index) {
      call_port_map.erase(it);
      break;
    }
  }
  if (!p->local.tag().empty()) unregister_dialog(p->call_id, p->local.tag());
  rtp_stream_close(index);
  const std::set<int> others = p->linked;
  p->clear();
  --ports_in_use;
  // A leg left alone relays no more.
  for (int other : others) {
    if (call_port* o = get_port(other)) o->redetermine_media();
  }
  srv_ctx().post(soap_write(msg::dialog_end{str::sprintf("%d", index)}));
}

void call_port::leave_links() {
  std::set<int> others;
  others.swap(linked);
  rtp_stream* own = stream();
  for (int other : others) {
    call_port* o = get_port(other);
    if (!o) continue;
    o->linked.erase(index);
    if (rtp_stream* s = o->stream()) s->linked.erase(index);
    if (own) own->linked.erase(other);
    o->redetermine_media();
  }
}

void reset_call_ports() {
  for (int i = 0; i < call_port_count; ++i) {
    rtp_stream_close(i);
    call_ports[i].clear();
  }
  call_port_map.clear();
  allocation_cursor = 0;
  ports_in_use = 0;
  reset_invite_rate();
}

void call_port::clear() {
  // Timers first: a pending timer of the old leg must not fire for the next one.
  ring_timer.clear();
  rtp_timer.clear();
  abs_timer.clear();
  dialog_timers.clear();
  *this = call_port();
}

// ---- State and lifecycle -----------------------------------------------------------------

void call_port::set_state_code(int code, const str& reason) {
  if (state_code >= 300 || (state_code >= 200 && code < 200 && code > 0)) return;
  if (code > 1000) {
    code -= 1000;
    completed_elsewhere = true;
  }
  const int old = state_code;
  state_code = code;
  state_reason = reason;
  std::vector<sip_message> queued;
  queued.swap(deferred);
  for (sip_message& m : queued) dispatch(m);
  if (old == state_code) return;
  if (state_code >= 300) {
    leave_links();
    send_hangup(hangup_bye);
  } else if (state_code < 200) {
    if (!incoming) {
      media.update_codecs(hinted_codecs());
      media.set_local_sdp();
      invite_time = clock_now();
      service_access = "NR";
      if (!codecs_left("Available codec list is empty for %s")) return;
      send_invite();
    } else {
      send_ringing();
    }
  } else if (incoming) {
    send_connected();
  }
}

const codec_map* call_port::hinted_codecs() const {
  const call_port* hinted = get_port(codec_hint);
  return hinted ? &hinted->media.codecs : nullptr;
}

void call_port::prepare_local_sdp() {
  if (media.available_codecs.empty()) media.update_codecs(hinted_codecs());
  if (!media.local_built()) media.set_local_sdp();
}

bool call_port::codecs_left(const char* empty_log) {
  if (!media.available_codecs.empty() || media.pass_through != 0) return true;
  log_printf(log_sip, 3, empty_log, call_id);
  state_code = 415;
  state_reason = "Unsupported Media Type";
  send_hangup(hangup_bye);
  return false;
}

void call_port::send_ringing() {
  prepare_local_sdp();
  if (codecs_left("Available codec list is empty for %s")) send_update();
}

void call_port::send_connected() {
  prepare_local_sdp();
  if (!codecs_left("send_connected: available codec list is empty for %s")) return;
  start_connected_timers();
  send_update();
}

void call_port::start_connected_timers() {
  if (!connect_time) connect_time = clock_now();
  const int seconds = setting_int(ctrl_settings::max_call_duration);
  if (seconds > 0) {
    abs_timer.callback(*srv_ctx().queue, rtimestamp(seconds) * ns_per_second,
                       callback_argument(abs_hangup, index));
  }
  arm_media_timer(setting_int(ctrl_settings::timeout_connected));
}

void call_port::send_hangup(const str& reason) {
  if (hangup_sent) return;
  hangup_sent = true;
  disconnect_reason = reason;
  end_code = "OR";
  if (rtp_stream* s = stream()) s->send_rtcp_bye("Disconnect Call");
  if (connect_time) {
    send_bye();
  } else if (incoming) {
    if (!invite_to_answer.method.empty()) {
      send_invite_response(state_code >= 300 ? state_code : 480,
                           state_code >= 300 ? state_reason : str("Temporarily Unavailable"),
                           false);
    }
  } else {
    send_cancel();
  }
  // Media: stop sending, back to sendrecv, wait 8 s for the end of the dialog.
  sending = false;
  media.local.set_sdp_state("sendrecv");
  arm_media_timer(8);
}

void call_port::hangup_report(const str& reason) {
  str report;
  if (const rtp_stream* s = stream()) {
    // The report's times are wall-clock ones; the leg keeps monotonic times.
    const rtimestamp now = clock_now();
    const rtimestamp began = connect_time ? connect_time : invite_time ? invite_time : now;
    vq_sip_fields f;
    f.call_id = call_id;
    f.from = (incoming ? remote : local).content();
    f.to = (incoming ? local : remote).content();
    f.local_ip = expand_placeholders(str("{x-pre-adr}"),
                                     s->destination.valid() ? s->destination : source, transport);
    f.stop = wall_now();
    f.start = f.stop - ticks2ms(now - began);
    f.user_agent = auth_user_agent();
    f.service_access = service_access;
    f.post_dial_delay = post_dial_delay > 0 ? post_dial_delay : 0;
    f.trunk_failures = trunk_failures;
    f.end_code = end_code;
    f.bye_delay = bye_delay > 0 ? bye_delay : 0;
    f.disconnect_reason = disconnect_reason.empty() ? reason : disconnect_reason;
    report = s->get_vq_report(f);
  }
  srv_ctx().post(soap_write(msg::dialog_hangup{str::sprintf("%d", index), reason, report}));
}

void call_port::arm_media_timer(int seconds) {
  if (hangup_tone_detected() && !hangup_sent) return;
  if (seconds != 8 && seconds < 10) seconds = 10;
  rtp_timer_seconds = seconds;
  rtp_timer.callback(*srv_ctx().queue, rtimestamp(seconds) * ns_per_second,
                     callback_argument(rtp_hangup, index));
}

bool call_port::hangup_tone_detected() const {
  const rtp_stream* s = stream();
  return s && s->dtmf.tones.disconnected();
}

void call_port::start_sending() {
  sending = true;
  if (!sending_since) sending_since = clock_now();
  if (rtp_stream* s = stream()) s->start_sending();
}

rtimestamp call_port::last_rtp_received() const {
  const rtp_stream* s = stream();
  return s && s->last_received ? s->last_received : sending_since;
}

uint64_t call_port::rtp_received() const {
  const rtp_stream* s = stream();
  return s ? s->packets_received : 0;
}

uint64_t call_port::rtp_sent() const {
  const rtp_stream* s = stream();
  return s ? s->packets_sent : 0;
}

void call_port::update_media_destination() {
  rtp_stream* s = stream();
  if (!s) return;
  uint16_t port = 0;
  const str m_port = media.remote.get_port(sdp_audio).get_field(0, '/');
  if (!parse_port(m_port, port)) port = 0;
  ip_port dest;
  if (!dest.parse(media.media_destination, port) || dest.is_any() || !dest.port) dest = ip_port();
  s->set_sdp_dest(dest);
}

// ---- Timers ------------------------------------------------------------------------------

void cancel_timeout_proc(int index) {
  call_port* p = get_port(index);
  if (!p) return;
  p->send_hangup(hangup_timeout);
}

void rtp_hangup(int index) {
  call_port* p = get_port(index);
  if (!p) {
    log_printf(log_media, 5, "RTP Timeout: Call %d not found", index);
    return;
  }
  const rtimestamp deadline = (p->last_rtp_received() ? p->last_rtp_received() : clock_now()) +
                              rtimestamp(p->rtp_timer_seconds) * ns_per_second;
  const rtimestamp now = clock_now();
  if (p->last_rtp_received() && deadline > now) {
    p->rtp_timer.callback(*srv_ctx().queue, deadline - now, callback_argument(rtp_hangup, index));
    return;
  }
  if (p->hangup_sent) {
    // The 8 s after a hangup ran out: the dialog did not end by itself.
    p->hangup_report(p->disconnect_reason.empty() ? hangup_timeout : p->disconnect_reason);
    erase_call_port(index);
    return;
  }
  if (p->hangup_tone_detected()) {
    p->reason_header = "Preemption;cause=3;text=\"Busy Tone\"";
    log_printf(log_media, 4, "Tone: Hangup tone detected on call from %s to %s",
               (p->incoming ? p->remote : p->local).content(),
               (p->incoming ? p->local : p->remote).content());
    p->send_hangup(hangup_busy);
    return;
  }
  if (!p->is_connected() || !srv_ctx().media_running) return;
  str reason;
  if (p->rtp_sent() > 0) {
    p->reason_header = "Preemption;cause=3;text=\"No Media\"";
    reason = hangup_nomedia;
    log_printf(log_media, 4, "RTP timeout");
    srv_ctx().admin_mail(
        ctrl_read_registry(ctrl_settings::email_rtp_timeout), "RTP Timeout",
        str::sprintf("The call between %s and %s has been disconnected because of media timeout "
                     "(%d seconds), %d/%d packets have been received/sent\r\n",
                     p->local.content(), p->remote.content(), p->rtp_timer_seconds,
                     int(p->rtp_received()), int(p->rtp_sent())),
        p->sip_log);
  } else {
    p->reason_header = "Preemption;cause=3;text=\"Media Timeout\"";
    reason = hangup_oneway;
    srv_ctx().admin_mail(
        ctrl_read_registry(ctrl_settings::email_call_timeout), "Unconnected call",
        str::sprintf("The call between %s and %s has been disconnected because media session "
                     "was not established (source=%s).\r\n\r\n",
                     p->local.content(), p->remote.content(), p->source.readable()),
        p->sip_log);
  }
  p->send_hangup(reason);
}

void abs_hangup(int index) {
  call_port* p = get_port(index);
  if (!p) {
    log_printf(log_sip, 5, "Maximum call duration: Call %d not found", index);
    return;
  }
  p->reason_header = "Preemption;cause=3;text=\"Maximum Call Duration\"";
  p->send_hangup(hangup_duration);
}

void ack_no_ok_timeout(int index) {
  call_port* p = get_port(index);
  if (!p) return;
  p->disconnect_reason = hangup_timeout;
  p->end_code = "OR";
  p->hangup_report(hangup_timeout);
  erase_call_port(index);
}

void dialog_timeout_proc(const str& name, int index) {
  call_port* p = get_port(index);
  if (!p) return;
  auto it = p->dialog_timers.find(name);
  if (it == p->dialog_timers.end()) return;
  const str arg2 = it->second.arg2;
  p->dialog_timers.erase(it);
  srv_ctx().post(soap_write(msg::dialog_timeout_report{str::sprintf("%d", index), name, arg2}));
}
