// The PBX's commands to the call legs (sip/call_messages.h), read from the srv queue and
// applied to the leg they name. CallID names a leg by its port index; a SIP Call-ID is
// accepted too (the PBX may speak of a leg it started before it learnt its index).
#include "base/log.h"
#include "base/random.h"
#include "frame/settings.h"
#include "frame/soap_message.h"
#include "sip/call_messages.h"
#include "sip/call_port.h"
#include "sip/pending_packet.h"
#include "sip/srv_context.h"
#include "sip/trunk.h"

namespace {

call_port* find_leg(const str& id) {
  if (!id.empty() && id.is_number() && id.length() <= 3) return get_port(id.value());
  auto it = call_port_map.find(id);
  return it == call_port_map.end() ? nullptr : get_port(it->second);
}

bool flag(const str& v) { return v == "true"; }

// SetDialogPolicy: how the leg's requests are authenticated; the queued requests run again.
void dialog_policy(const msg::set_dialog_policy& m) {
  call_port* p = find_leg(m.call_id);
  if (!p) return;
  p->policy_known = true;
  const bool challenge = flag(m.found) && !flag(m.trunk) && !m.password.empty();
  p->auth.require_authentication = challenge;
  p->credentials.realm = m.realm;
  p->credentials.user = m.username;
  p->credentials.password = m.password;
  p->trusted = m.trusted;
  if (rtp_stream* s = p->stream()) s->dtmf.hangup_tone = flag(m.hangup_tone);
  std::deque<sip_message> queued;
  queued.swap(p->security_queue);
  const int index = p->index;
  for (sip_message& request : queued) {
    if (!get_port(index)) break;
    call_ports[index].handle_dialog_request(request);
  }
}

void dialog_state(const msg::set_dialog_state& m) {
  call_port* p = find_leg(m.call_id);
  const int code = m.state_code.value();
  if (!p) {
    if (code < 300) {
      log_printf(log_sip, 4, "Not setting dialog state of non-existing call port (call-id=%s)",
                 m.call_id);
    }
    return;
  }
  if (p->media_only) {
    if (code >= 300) {
      p->hangup_report(hangup_bye);
      erase_call_port(p->index);
    }
    return;
  }
  p->state_known = true;
  p->play_file = m.play_file;
  p->cache = flag(m.cache);
  p->conf_dest = m.conf_dest;
  p->analyse_dtmf = flag(m.analyse_dtmf);
  p->play_loop = flag(m.play_loop);
  p->play_alert = flag(m.play_alert);
  if (!m.ring180.empty()) p->ring_180 = flag(m.ring180);
  if (!m.picture.empty()) p->picture = m.picture;
  const int index = p->index;
  p->set_state_code(code, m.state_reason);
  if (!get_port(index)) return;
  p->moderator = flag(m.moderator);
  p->play();
  if (!p->hangup_sent) p->start_sending();
}

void start_dialog(const msg::start_dialog& m) {
  const int index = allocate_call_port(m.call_id);
  if (index < 0) {
    log_printf(log_sip, 2, "Cannot allocate Call-ID %s", m.call_id);
    return;
  }
  srv_ctx().post(soap_write(msg::update_call_id{m.call_id, str::sprintf("%d", index)}));
  call_port& p = call_ports[index];
  p.state_known = true;
  p.policy_known = true;
  p.set_trunk(m.trunk);
  p.secure = flag(m.secure);
  if (p.secure) p.media.new_srtp_key();  // offered in an "a=crypto" line over RTP/SAVP
  if (!m.alert_info.empty()) p.alert_info = m.alert_info;
  p.diversion = m.diversion;
  p.picture = m.picture;
  p.set_codecs(m.codec, flag(m.codec_lock));
  p.analyse_dtmf = flag(m.analyse_dtmf);
  if (rtp_stream* s = p.stream()) s->dtmf.hangup_tone = flag(m.hangup_tone);
  if (!m.other_side.empty()) {
    const int other = m.other_side.value();
    p.codec_hint = other;
    const call_port* o = get_port(other);
    if (o && !p.trunk.empty() && o->trunk.empty()) p.related = o->call_id;
  }
  p.contact_user = m.username;
  p.auth_user = m.username;
  p.auth_password = m.password;
  p.accept_redirect = flag(m.accept_redirect);
  p.identity = m.identity;
  p.privacy_style = m.privacy_style;
  p.anonymous = m.clip == "false";
  if (m.uri.empty()) {
    // A media-only leg: it sends to the destination at once and never signals.
    p.media_only = true;
    p.sdp_dest = m.media_destination;
    p.media.media_destination = m.media_destination;
    p.media.send_codec = m.codec.value();
    p.update_media_destination();
    p.start_sending();
    p.arm_media_timer(ctrl_read_registry(ctrl_settings::timeout_conference).value());
    return;
  }
  p.local = from_to_spec(m.from.empty() ? m.uri : m.from);
  p.local.set_tag(random_token(10));
  register_dialog(p.call_id, p.local.tag());  // the CSeqs of the requests this leg sends
  p.remote = from_to_spec(m.to.empty() ? m.uri : m.to);
  p.remote.remove_tag();
  std::vector<from_to_spec> routes{from_to_spec(str::sprintf("<%s>", m.uri))};
  // A leg on a trunk goes to the trunk's outbound proxy or registrar unless the PBX names a
  // proxy of its own.
  str proxy = m.outbound_proxy;
  if (const trunk* t = proxy.empty() ? get_trunk(m.trunk) : nullptr) proxy = t->next_hop();
  p.set_initial_route(routes, proxy, m.registration);
  p.set_state_code(100, "Trying");
  if (get_port(index)) p.start_sending();
}

// Applies one command of kind M through apply when text is one; true when it was.
template <class M, class F>
bool command(const soap_envelope& e, F apply) {
  M m;
  if (e.name != M::soap_name) return false;
  if (soap_read(e, m)) apply(m);
  return true;
}

// The commands that name a leg and act on it.
template <class M, class F>
bool leg_command(const soap_envelope& e, F apply) {
  return command<M>(e, [&](const M& m) {
    if (call_port* p = find_leg(m.call_id)) apply(*p, m);
  });
}

}  // namespace

bool call_port_on_soap(const str& text) {
  soap_envelope e;
  if (!soap_parse(text, e)) return false;
  return command<msg::set_dialog_state>(e, dialog_state) ||
         command<msg::set_dialog_policy>(e, dialog_policy) ||
         command<msg::start_dialog>(e, start_dialog) ||
         leg_command<msg::set_codecs>(e,
                                      [](call_port& p, const msg::set_codecs& m) {
                                        p.set_codecs(m.codecs, flag(m.codec_lock));
                                      }) ||
         leg_command<msg::send_refer>(e,
                                      [](call_port& p, const msg::send_refer& m) {
                                        p.send_refer(m.refer_to, m.referred_by);
                                      }) ||
         leg_command<msg::send_reinvite>(
             e, [](call_port& p, const msg::send_reinvite&) { p.send_reinvite(); }) ||
         leg_command<msg::set_recording>(e,
                                         [](call_port& p, const msg::set_recording& m) {
                                           p.set_recording(m.file, m.mode);
                                         }) ||
         leg_command<msg::change_record_filename>(
             e, [](call_port& p, const msg::change_record_filename& m) {
               p.change_record_filename(m.file);
             }) ||
         leg_command<msg::fax_detection>(e,
                                         [](call_port& p, const msg::fax_detection& m) {
                                           p.fax_detection = flag(m.enable);
                                           if (rtp_stream* s = p.stream()) {
                                             s->dtmf.fax_detection = p.fax_detection;
                                           }
                                         }) ||
         leg_command<msg::set_playfile>(e,
                                        [](call_port& p, const msg::set_playfile& m) {
                                          p.play_file = m.file;
                                          p.play_loop = flag(m.loop);
                                          p.play_alert = flag(m.alert);
                                          p.cache = flag(m.cache);
                                          p.play();
                                        }) ||
         leg_command<msg::set_moh_file>(
             e, [](call_port& p, const msg::set_moh_file& m) { p.set_moh(m.file); }) ||
         leg_command<msg::change_rtp_dest>(e,
                                           [](call_port& p, const msg::change_rtp_dest& m) {
                                             p.sdp_dest = m.destination;
                                             p.media.media_destination = m.destination;
                                             p.update_media_destination();
                                           }) ||
         leg_command<msg::connect_calls>(e,
                                         [](call_port& p, const msg::connect_calls& m) {
                                           call_port* o = find_leg(m.other_side);
                                           if (!o || o == &p) return;
                                           p.linked.insert(o->index);
                                           o->linked.insert(p.index);
                                           // Each stream relays what the other receives.
                                           if (p.stream() && o->stream()) {
                                             p.stream()->linked.insert(o->index);
                                             o->stream()->linked.insert(p.index);
                                           }
                                           p.redetermine_media();
                                           o->redetermine_media();
                                         }) ||
         leg_command<msg::set_dialog_timeout>(
             e,
             [](call_port& p, const msg::set_dialog_timeout& m) {
               call_port::dialog_timer& t = p.dialog_timers[m.arg1];
               t.arg2 = m.arg2;
               t.t.callback(*srv_ctx().queue, ms2ticks(m.timeout.value()),
                            callback_argument(dialog_timeout_proc, m.arg1, p.index));
             }) ||
         leg_command<msg::clear_dialog_timeout>(
             e, [](call_port& p, const msg::clear_dialog_timeout& m) {
               if (m.arg1.empty()) {
                 p.dialog_timers.clear();
               } else {
                 p.dialog_timers.erase(m.arg1);
               }
             }) ||
         leg_command<msg::set_playback_speed>(
             e,
             [](call_port& p, const msg::set_playback_speed& m) {
               p.set_playback_speed(m.speed);
             }) ||
         leg_command<msg::send_notify>(e,
                                       [](call_port& p, const msg::send_notify& m) {
                                         p.send_notify(m.event, m.content_type, m.body);
                                       }) ||
         leg_command<msg::send_notify_talk>(
             e, [](call_port& p, const msg::send_notify_talk& m) { p.notify_talk(m.event); }) ||
         leg_command<msg::play_conference_announcement>(
             e, [](call_port& p, const msg::play_conference_announcement& m) {
               p.play_file = m.file;
             }) ||
         leg_command<msg::set_dialog_cid>(e,
                                          [](call_port& p, const msg::set_dialog_cid& m) {
                                            p.send_cid(m.from, m.to, flag(m.silent));
                                          }) ||
         leg_command<msg::set_listener>(e,
                                        [](call_port& p, const msg::set_listener& m) {
                                          p.listener = m.mode.empty() ? str() : m.listener;
                                          p.listener_mode = m.mode;
                                        }) ||
         leg_command<msg::set_dialog_credentials>(
             e,
             [](call_port& p, const msg::set_dialog_credentials& m) {
               // What answer_challenge uses for this leg's own requests (call_port_user.cc).
               p.auth_user = m.username;
               p.auth_password = m.password;
             }) ||
         command<msg::move_ivr>(e, [](const msg::move_ivr& m) {
           call_port* from = find_leg(m.from);
           call_port* to = find_leg(m.to);
           if (from && to) to->take_ivr(*from);
         });
}
