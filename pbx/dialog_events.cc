#include "pbx/dialog_events.h"

#include <algorithm>
#include <ctime>
#include <vector>

#include "base/file_system.h"
#include "base/log.h"
#include "db/schema.h"
#include "frame/clock.h"
#include "pbx/accounts.h"
#include "pbx/admission.h"
#include "pbx/call_app.h"
#include "pbx/call_records.h"
#include "pbx/call_state.h"
#include "pbx/charging.h"
#include "pbx/perf_sampling.h"
#include "pbx/registration.h"
#include "sip/from_to_spec.h"
#include "sip/sip_uri.h"

namespace {

// The answering leg of a call waits this long at most between two digits of one input.
constexpr int64_t digit_gap_ms = 5000;

str cobj_text(int cobj, const str& column) { return cobjs.get(cobj, column); }
str leg_text(int leg, const str& column) { return legs.get(leg, column); }
str leg_id(int leg) { return legs.get(leg, leg_call_id); }
bool terminated(int leg) { return leg_text(leg, leg_state) == leg_terminated; }
bool type_is(const str& type, std::initializer_list<const char*> types) {
  for (const char* t : types)
    if (type == t) return true;
  return false;
}

// The party on the other end of a leg's SIP dialog, and the local one: an inbound leg was
// called by its From, an outbound leg calls its To.
str remote_party(int leg) {
  return leg_flag(leg, leg_inbound) ? leg_text(leg, leg_from) : leg_text(leg, leg_to);
}
str local_party(int leg) {
  return leg_flag(leg, leg_inbound) ? leg_text(leg, leg_to) : leg_text(leg, leg_from);
}

// ---- GetDialogPolicy ----

msg::set_dialog_policy no_challenge(const str& call_id) {
  msg::set_dialog_policy a;
  a.call_id = call_id;
  a.found = str_t;
  a.trunk = str_t;
  return a;
}

msg::set_dialog_policy not_found(const str& call_id) {
  msg::set_dialog_policy a;
  a.call_id = call_id;
  a.found = str_f;
  return a;
}

msg::set_dialog_policy decide_policy(const msg::get_dialog_policy& in) {
  const sip_uri from = from_to_spec(in.from).addr_spec();
  int account = account_by_name(from.get_user(), domain_by_name(from.get_host()));
  if (!account) {
    if (!in.trunk.empty()) return no_challenge(in.call_id);
    return not_found(in.call_id);
  }
  if (in.trunk == "lo") {
    log_printf(log_application, 5,
               "No authentication of user because call comes from loopback trunk");
    return no_challenge(in.call_id);
  }
  int trunk = trunks.has_row(in.trunk.value()) ? in.trunk.value() : 0;
  if (trunk) trunk_or_user(trunk, account);
  if (trunk && trunks.get(trunk, trunks_redirect) == "true") {
    log_printf(log_application, 5,
               "No authentication of user because call comes from trusted trunk");
    return no_challenge(in.call_id);
  }
  if (account && is_extension(account)) {
    const int e = extension_row(account);
    msg::set_dialog_policy a;
    a.call_id = in.call_id;
    a.found = str_t;
    a.trusted = extensions.get(e, extensions_auth_adr);
    a.realm = from.get_host();
    a.username = from.get_user();
    a.password = extensions.get(e, extensions_password);
    a.trunk = str_f;
    return a;
  }
  return not_found(in.call_id);
}

// ---- Answers on outbound legs ----

// A text as a list of prompts that say it character by character.
str spelled(const str& text) {
  str out;
  for (size_t i = 0; i < text.length(); i++) {
    char c = static_cast<char>(text[i]);
    if ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'))
      out.appendf(" $a/%c.wav", c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c);
  }
  return out;
}

// Who is calling, as the answering party of a call with a confirmation key hears it: the
// extension's recorded name (the file its mailbox records), else its name spelled; an external
// caller's number spelled.
str caller_name_prompts(int cobj) {
  const int primary = primary_leg(cobj);
  const int account = leg_int(primary, leg_extension);
  if (account && is_extension(account)) {
    if (extensions.get(extension_row(account), extensions_name_use) == "true")
      return str::sprintf(" recordings/name-%d.wav", account);
    return spelled(account_name(account));
  }
  return spelled(from_to_spec(leg_text(primary, leg_from)).addr_spec().get_user());
}

// The answering leg must press its key before it is bridged: it hears who calls and what to do.
void ask_for_confirmation(int cobj, int leg) {
  log_printf(log_application, 5, "Connect ignored, waiting for confirmation key");
  leg_play p;
  p.file = str("space10 $a/aa_trying_to_reach.wav") + caller_name_prompts(cobj) +
           " $a/aa_incoming_options.wav space20";
  p.analyse_dtmf = true;
  send_dialog_state(leg, 200, "Ok", p);
}

// Whether the flags of the extension (users row, may be 0) or of the domain ask for recording.
bool rec_flag(int account, const str& ext_column, int domain, const str& domain_column) {
  if (account && is_extension(account) &&
      extensions.get(extension_row(account), ext_column) == "true")
    return true;
  return domains.get(domain, domain_column) == "true";
}

// Starts (on) or stops the recording of a leg's call, both directions mixed, into
// "recordings/call-<date>-<time>-<leg>.wav" (UTC); the leg's "rec" names the file while it
// records. The call port reports the file as FileWritten when it closes.
void record_leg(int leg, bool on) {
  if (on == !leg_text(leg, leg_rec).empty()) return;
  str file;
  if (on) {
    const time_t now = time_t(wall_now() / 1000);
    tm utc{};
    gmtime_r(&now, &utc);
    file =
        str::sprintf("recordings/call-%04d%02d%02d-%02d%02d%02d-%s.wav", utc.tm_year + 1900,
                     utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, leg_id(leg));
    fs().mkdir("recordings");
  }
  legs.set(leg, leg_rec, file);
  post_command(msg::set_recording{leg_id(leg), file, on ? str("both") : str()});
  log_printf(log_application, 5, "Recording of call %s turned %S", leg_id(leg), on ? "on" : "off");
}

// The recording an answered call gets from the flags of its extensions, groups and domain.
void start_recording_if_asked(int cobj, int primary, int leg) {
  const int domain = cobj_int(cobj, cobj_domain);
  const str type = cobj_text(cobj, cobj_ivr_type);
  const int group = cobj_int(cobj, cobj_ivr_user);
  const int caller = leg_int(primary, leg_extension), callee = leg_int(leg, leg_extension);
  const bool external = !leg_text(primary, leg_trunk).empty() || !leg_text(leg, leg_trunk).empty();
  bool rec = false;
  if (type == "hunt") {
    rec = hunts.get(extension_row(group), hunts_rec) == "true" ||
          domains.get(domain, domains_rec_hunt) == "true";
  } else if (type == "acd") {
    rec = acds.get(extension_row(group), acd_rec) == "true" ||
          domains.get(domain, domains_rec_acd) == "true";
  } else if (external) {
    const bool emergency = cobj_text(cobj, cobj_priority) == "911";
    const str& ext_column = emergency ? extensions_rec_emergency : extensions_rec_external;
    const str& domain_column = emergency ? domains_rec_emergency : domains_rec_external;
    rec = rec_flag(caller, ext_column, domain, domain_column) ||
          rec_flag(callee, ext_column, domain, domain_column);
  } else {
    rec = rec_flag(caller, extensions_rec_internal, domain, domains_rec_internal) ||
          rec_flag(callee, extensions_rec_extension, domain, domains_rec_extension);
  }
  if (!rec) return;
  log_printf(log_application, 5, "Call %s is to be recorded", leg_id(leg));
  record_leg(leg, true);
}

// What the caller hears while an outbound leg alerts: 180 with ringback, or 183 when the
// primary leg came from a trunk that does not take a 180.
void play_ringback(int primary) {
  const int trunk = leg_int(primary, leg_trunk);
  const bool ring180 = !trunk || trunks.get(trunk, trunks_ring180) != "false";
  leg_play p;
  p.file = "$t/ringback.wav";
  p.loop = true;
  p.alert = true;
  if (ring180) {
    send_dialog_state(primary, 180, "Ringing", p);
  } else {
    send_dialog_state(primary, 183, "Session Progress", p);
  }
}

void on_provisional(int cobj, int primary, int leg, const msg::dialog_response& in) {
  set_leg_state(leg, leg_alerting);
  begin_cdr_segment(cobj, cdr_ringing);
  const str type = cobj_text(cobj, cobj_ivr_type);
  if (!type_is(type, {"acd", "caller", "hoot"})) send_moh(primary, str());
  if (auto app = make_call_app(cobj, ev_ringback)) {
    app->on_ringback(leg, in);
  } else if (type != "caller") {
    play_ringback(primary);
  }
}

void on_answer(int cobj, int primary, int leg, const msg::dialog_response& in) {
  if (leg_text(leg, leg_connect).empty())
    legs.set(leg, leg_connect, atimestamp_serialize(wall_now()));
  if (!leg_text(leg, leg_connect_symbol).get_field(0).empty()) {
    ask_for_confirmation(cobj, leg);
    return;
  }
  send_moh(primary, str());
  set_leg_state(leg, leg_connected);
  const str type = cobj_text(cobj, cobj_ivr_type);
  bool bridge = true;
  if (auto app = make_call_app(cobj, ev_connect)) {
    const bool answer = app->on_connect(leg, in);
    // Groups and the attendant decide; paging and call-backs bridge on their own.
    if (type_is(type, {"attendant", "hunt", "acd"}))
      bridge = answer;
    else
      bridge = type == "extcall";
  }
  if (!bridge || !legs.has_row(leg) || terminated(leg)) return;
  connect_two_calls(cobj, primary, leg);
  start_recording_if_asked(cobj, primary, leg);
  charge_start(leg);
}

void on_failure(int cobj, int leg, int code, const msg::dialog_response& in) {
  if (auto app = make_call_app(cobj, ev_error)) {
    app->on_error(leg, code, in);
  } else if (legs_of(cobj).size() < 3) {
    cobj_hangup(cobj, code, in.explanation);
  }
  if (legs.has_row(leg) && !terminated(leg)) leg_hangup(cobj, leg, 486, "Busy Here");
}

// ---- Transfers ----

// The target of a REFER: the URI of a name-addr or the bare URI, without its headers, on the
// call object's domain when it names no host; replaces gets the Replaces header.
sip_uri refer_target(const str& refer_to, int cobj, str& replaces) {
  sip_uri uri = refer_to.strip().ends_with(">") ? from_to_spec(refer_to).addr_spec()
                                                : sip_uri(refer_to.strip());
  replaces = deescape(uri.get_header("Replaces"));
  if (!uri.headers().empty()) uri.clear_headers();
  if (uri.get_host().empty()) uri.set_host(domains.get(cobj_int(cobj, cobj_domain), domains_name));
  return uri;
}

// The referring leg leaves; the other side becomes the call object's primary leg.
void hand_over(int cobj, int referring, int other) {
  leg_hangup(cobj, referring, 486, "Busy Here");
  cobjs.set(cobj, cobj_primary_leg, id_text(other));
}

// Parks the other side in the orbit named by name; false when there is no such orbit.
bool park(int cobj, int referring, int other, const str& name) {
  const int orbit = account_by_name(name, cobj_int(cobj, cobj_domain));
  if (!orbit || account_type(orbit) != "orbits") return false;
  auto app = make_call_app(str("orbit"), cobj);
  if (!app) return false;
  hand_over(cobj, referring, other);
  begin_cdr_segment(cobj, cdr_ivr);  // the talk is over; the orbit serves the parked party
  set_ivr_user(cobj, orbit, "orbit");
  app->start(orbit, name);
  return true;
}

void blind_transfer(int cobj, int leg, const sip_uri& target) {
  const int other = call_other_side(cobj, leg);
  if (!other) {
    log_printf(log_application, 4, "Refer: call %s has no other side", leg_id(leg));
    return;
  }
  int caller = leg_int(leg, leg_extension);
  if (const int trunk = leg_int(leg, leg_trunk)) {
    const int charged = leg_int(other, leg_charge_user);
    if (trunks.get(trunk, trunks_redirect) != "true" || !charged) {
      log_printf(log_application, 4,
                 "REFER without a valid extension is not accepted on trunk %d %d", trunk, charged);
      return;
    }
    caller = charged;
  }
  const str code = domains.get(cobj_int(cobj, cobj_domain), domains_code_park);
  const str& user = target.get_user();
  if (!code.empty() && user.starts_with(code) && park(cobj, leg, other, user.substr(code.length())))
    return;
  log_printf(log_application, 5, "Redirecting call to %s", target.serialize());
  hand_over(cobj, leg, other);
  dial_a_number(caller, cobj, target.serialize(), str("<") + target.serialize() + ">");
}

// Tells leg that it now talks to the party of peer.
void show_peer(int leg, int peer) {
  const str remote = remote_party(peer), local = local_party(leg);
  const bool inbound = leg_flag(leg, leg_inbound);
  post_command(
      msg::set_dialog_cid{leg_id(leg), inbound ? remote : local, inbound ? local : remote, str_f});
}

void attended_transfer(int cobj, int leg, const str& replaces) {
  const str call_id = replaces.get_field(0, ';');
  str from_tag, to_tag;
  for (size_t i = 1;; i++) {
    str p = replaces.get_field(i, ';').strip();
    if (p.empty()) break;
    if (p.istarts_with("from-tag=")) from_tag = p.substr(9);
    if (p.istarts_with("to-tag=")) to_tag = p.substr(7);
  }
  const int replaced = search_callid(cobj_int(cobj, cobj_domain), call_id, from_tag, to_tag);
  if (!replaced) {
    log_printf(log_application, 4, "Replaces: Call-ID %s not found", call_id);
    cobj_hangup(cobj, 486, "Busy Here");
    return;
  }
  const int replaced_cobj = leg_cobj(replaced);
  const int far = call_other_side(cobj, leg);
  const int near = call_other_side(replaced_cobj, replaced);
  // The far party takes the replaced leg's place: what that leg played, recorded or collected
  // for its application goes on with the far party.
  move_ivr(replaced, far);
  leg_hangup(cobj, leg, 486, "Busy Here");
  leg_hangup(replaced_cobj, replaced, 486, "Busy Here");
  if (far && !near && replaced_cobj != cobj) {
    // The replaced leg was alone with its application (a menu, a mailbox): the far party is
    // its caller from now on.
    legs.set(far, leg_reference, id_text(replaced_cobj));
    if (primary_leg(replaced_cobj) == replaced)
      cobjs.set(replaced_cobj, cobj_primary_leg, id_text(far));
    send_moh(far, str());
    set_leg_state(far, leg_connected);
    return;
  }
  if (!far || !near) return;
  // The two parties left are one call from now on, carried by the far party's call object:
  // either hanging up ends the other.
  legs.set(near, leg_reference, id_text(cobj));
  cobjs.set(cobj, cobj_primary_leg, id_text(far));
  for (int l : {far, near}) {
    const str state = leg_text(l, leg_state);
    if (state == leg_onhold || state == leg_connected) send_moh(l, str());
    set_leg_state(l, leg_connected);
  }
  post_command(msg::connect_calls{leg_id(far), leg_id(near)});
  show_peer(far, near);
  show_peer(near, far);
  post_command(msg::send_reinvite{leg_id(far)});
  post_command(msg::send_reinvite{leg_id(near)});
}

// ---- Hold ----

// A music-on-hold setting as the legs open it: a number names a mohs row, whose string
// ("moh.wav", "rtp:5000") or else file is the source; other text is a source already.
str moh_source(const str& setting) {
  if (!setting.is_number()) return setting;
  const int row = setting.value();
  if (!mohs.has_row(row)) return str();
  const str source = mohs.get(row, mohs_string);
  return source.empty() ? mohs.get(row, mohs_file) : source;
}

// The music a held party hears: the group's for hunt and agent groups, else the domain's, else
// the system's first music-on-hold source (the start-up repairs always leave one).
str moh_file(int cobj) {
  const str type = cobj_text(cobj, cobj_ivr_type);
  const int group = extension_row(cobj_int(cobj, cobj_ivr_user));
  str file;
  if (type == "hunt") file = moh_source(hunts.get(group, hunts_moh));
  if (type == "acd") file = moh_source(acds.get(group, acd_moh));
  if (file.empty()) file = moh_source(domains.get(cobj_int(cobj, cobj_domain), domains_moh));
  if (file.empty() && mohs.first()) file = moh_source(id_text(mohs.first()));
  return file;
}

bool is_hold(const str& direction) {
  return direction == "recvonly" || direction == "sendonly" || direction == "inactive";
}

// ---- Digits ----

// Collects the digit in an extension leg's input buffer; true when the buffer is a recording
// code of the domain, which the digit then only served.
bool collect_digit(int cobj, int leg, const str& digit) {
  const atimestamp now = wall_now();
  const atimestamp last = atimestamp_parse(leg_text(leg, leg_dtmf_stamp));
  str digits = leg_text(leg, leg_dtmf_digits);
  if (last && now - last > digit_gap_ms) {
    log_printf(log_application, 5, "Received no DTMF for %d seconds, clearing input",
               int(diff_s(now, last)));
    digits.clear();
  }
  digits += digit;
  legs.set(leg, leg_dtmf_stamp, atimestamp_serialize(now));
  const int domain = cobj_int(cobj, cobj_domain);
  const str start = domains.get(domain, domains_record_start);
  const str end = domains.get(domain, domains_record_end);
  const bool on = !start.empty() && digits == start;
  const bool off = !end.empty() && digits == end;
  if (on || off) {
    legs.set(leg, leg_dtmf_digits, str());
    record_leg(leg, on);
    return true;
  }
  legs.set(leg, leg_dtmf_digits, digits);
  return false;
}

// The leg of a policy message, 0 with the log line when it is unknown.
int known_leg(const str& id, const char* what) {
  const int leg = leg_by_id(id);
  if (!leg) log_printf(log_application, 4, "%S: Call %s not found", what, id);
  return leg;
}

}  // namespace

void get_dialog_policy(const msg::get_dialog_policy& in) {
  msg::set_dialog_policy a = decide_policy(in);
  // The gateway of an analog trunk passes the far end's hangup on as a busy or constant tone.
  const int trunk = in.trunk.value();
  if (trunk > 0 && trunks.has_row(trunk) && trunks.get(trunk, trunks_analog) == str_t)
    a.hangup_tone = str_t;
  post_command(a);
}

void dialog_response(const msg::dialog_response& in) {
  const int leg = leg_by_id(in.call_id);
  if (!leg || terminated(leg)) return;
  const int cobj = leg_cobj(leg);
  const int primary = primary_leg(cobj);
  if (leg == primary) {
    log_printf(log_application, 5, "Received response for primary call");
    return;
  }
  const int code = in.code.value();
  if (code >= 180 && code <= 199) on_provisional(cobj, primary, leg, in);
  if (code >= 200 && code <= 299) on_answer(cobj, primary, leg, in);
  if (code >= 300 && code <= 699) on_failure(cobj, leg, code, in);
}

void dialog_hangup(const msg::dialog_hangup& in) {
  const int leg = known_leg(in.call_id, "Hangup");
  if (!leg) return;
  perf_leg_ended(leg, in.report);
  const int cobj = leg_cobj(leg);
  // "listener" holds the row of the leg a listening leg listens to.
  const int listened = leg_int(leg, leg_listener);
  if (listened && leg_text(leg, leg_tap) == "listen" && legs.has_row(listened))
    post_command(msg::set_listener{leg_id(listened), leg_id(leg), str()});
  std::vector<int> listeners;
  const str self = id_text(leg);
  for (int l = legs.first(leg_listener, self); l; l = legs.next(l, leg_listener))
    if (l != leg && !terminated(l)) listeners.push_back(l);
  std::sort(listeners.begin(), listeners.end());  // hung up in row order
  for (int l : listeners) leg_hangup(leg_cobj(l), l, 486, "Busy Here");
  if (terminated(leg)) return;
  set_leg_state(leg, leg_terminated);
  // The first leg that goes names why the call ended.
  if (cobj_text(cobj, cobj_termination_reason).empty())
    cobjs.set(cobj, cobj_termination_reason, in.reason);
  if (auto app = make_call_app(cobj, ev_hangup)) {
    app->on_hangup(leg);
  } else {
    cobj_hangup(cobj, 486, "Busy Here");
  }
}

void dialog_refer(const msg::dialog_refer& in) {
  const int leg = known_leg(in.call_id, "Refer");
  if (!leg) return;
  const int cobj = leg_cobj(leg);
  str replaces;
  const sip_uri target = refer_target(in.refer_to, cobj, replaces);
  if (replaces.empty()) {
    blind_transfer(cobj, leg, target);
  } else {
    attended_transfer(cobj, leg, replaces);
  }
}

void dialog_hold(const msg::dialog_hold& in) {
  const int leg = known_leg(in.call_id, "Hold");
  if (!leg) return;
  if (!leg_text(leg, leg_trunk).empty()) {
    log_printf(log_application, 5, "Call hold from trunk");
    return;
  }
  const int cobj = leg_cobj(leg);
  const bool hold = is_hold(in.state);
  const atimestamp now = wall_now();
  if (hold) {
    set_leg_state(leg, leg_holding);
    cobjs.set(cobj, cobj_hold_start, atimestamp_serialize(now));
  } else {
    set_leg_state(leg, leg_connected);
    close_cdr_hold(cobj);
  }
  auto app = make_call_app(cobj, ev_hold);
  if (app && !app->on_hold(leg, in)) return;
  const int other = call_other_side(cobj, leg);
  if (!other) return;
  set_leg_state(other, hold ? leg_onhold : leg_connected);
  send_moh(other, hold ? moh_file(cobj) : str());
  send_dialog_state(leg, 200, "Ok");
  send_dialog_state(other, 200, "Ok");
}

void dialog_dtmf(const msg::dialog_dtmf& in) {
  const int leg = known_leg(in.call_id, "DTMF");
  if (!leg) return;
  const int cobj = leg_cobj(leg);
  const str symbol = leg_text(leg, leg_connect_symbol).get_field(0);
  if (!symbol.empty() && in.dtmf == symbol) {
    legs.set(leg, leg_connect_symbol, str());
    log_printf(log_application, 5, "Connect by confirmation key");
    dialog_response({in.call_id, str(), "200", "INVITE", str(), str(), "Ok", str_f});
    return;
  }
  if (leg_int(leg, leg_extension) && collect_digit(cobj, leg, in.dtmf)) return;
  if (leg != primary_leg(cobj)) {
    if (auto app = make_call_app(cobj, ev_dtmf_ext)) {
      app->on_dtmf_ext(leg, in.dtmf);
      return;
    }
  }
  if (auto app = make_call_app(cobj, ev_dtmf)) app->on_dtmf(in.dtmf);
}

void dialog_eof(const msg::dialog_eof& in) {
  const int leg = known_leg(in.call_id, "EOF");
  if (!leg) return;
  const int cobj = leg_cobj(leg);
  if (leg == primary_leg(cobj)) {
    if (auto app = make_call_app(cobj, ev_audio_end)) app->on_audio_end();
  } else if (auto app = make_call_app(cobj, ev_audio_end_ext)) {
    app->on_audio_end_ext(leg);
  }
}

void dialog_timeout(const msg::dialog_timeout_report& in) {
  const int leg = known_leg(in.call_id, "Timeout");
  if (!leg) return;
  // The charging timer belongs to the charging of the leg, never to the application.
  if (in.arg1 == "tocrg") return charge_leg(leg);
  if (auto app = make_call_app(leg_cobj(leg), ev_timeout)) app->on_timeout(leg, in.arg1, in.arg2);
}

namespace {

template <class M>
bool take(const soap_envelope& e, void (*handler)(const M&)) {
  M m;
  if (!soap_read(e, m)) return false;
  handler(m);
  return true;
}

void on_dialog_end(const msg::dialog_end& m) {
  if (const int leg = leg_by_id(m.call_id)) leg_removed(leg);
}
void on_update_call_id(const msg::update_call_id& m) { leg_update_id(m.call_id, m.port); }
void on_cmc(const msg::cmc& m) {
  if (const int leg = leg_by_id(m.call_id)) cobjs.set(leg_cobj(leg), cobj_cmc, m.code);
}
// A phone asks to record its call ("on") or to stop ("off"): the leg is marked as the digit
// codes of the domain mark it.
void on_dialog_rec(const msg::dialog_rec& m) {
  const int leg = leg_by_id(m.call_id);
  const str value = m.record.strip().tolower();
  if (!leg || (value != "on" && value != "off")) return;
  record_leg(leg, value == "on");
}

// A recording could not be written: the application recording it (the message being recorded
// is its "ia", a temporary file its "if") tells its caller, and whatever messages name the file
// are gone with it, their owners told by MWI.
void on_recording_failed(const str& file) {
  log_printf(log_application, 3, "Recording %s could not be written", file);
  std::vector<int> rows, owners;
  for (int r = messages.first(messages_filename, file); r; r = messages.next(r, messages_filename))
    if (messages.get(r, messages_filename) == file) rows.push_back(r);
  std::vector<int> recorders;
  for (int c = cobjs.first(); c; c = cobjs.next(c)) {
    const str message = cobj_text(c, cobj_ivr_extension);
    if (cobj_text(c, cobj_ivr_files) == file ||
        (message.is_number() && messages.get(message.value(), messages_filename) == file))
      recorders.push_back(c);
  }
  for (int c : recorders)
    if (auto app = make_call_app(c, ev_record_failed)) app->on_record_failed(file);
  for (int r : rows) {
    if (!messages.has_row(r)) continue;
    log_printf(log_application, 3, "Discarding message %d, its recording is lost", r);
    if (messages.get(r, messages_type) == "vmail")
      owners.push_back(messages.get(r, messages_user).value());
    messages.delete_row(r);
  }
  for (int owner : owners) send_mwi(owner);
}

// A recording closed. A voicemail message is complete only now, so its owners (the mailbox and
// the copies) hear of it by MWI. A mailbox recording that nothing refers to any more (a message
// discarded as too short, a name or greeting of a session that ended) is removed.
void on_file_written(const msg::file_written& m) {
  if (m.failed == "true") return on_recording_failed(m.file);
  bool used = false;
  std::vector<int> owners;
  for (int r = messages.first(messages_filename, m.file); r;
       r = messages.next(r, messages_filename)) {
    if (messages.get(r, messages_filename) != m.file) continue;
    used = true;
    if (messages.get(r, messages_type) == "vmail")
      owners.push_back(messages.get(r, messages_user).value());
  }
  for (int owner : owners) send_mwi(owner);
  const bool mailbox_file =
      m.file.starts_with("recordings/msg") || m.file.starts_with("recordings/mbtmp-");
  if (used || !mailbox_file || cobjs.first(cobj_ivr_files, m.file)) return;
  log_printf(log_application, 5, "Recording %s is not used, removing it", m.file);
  fs().remove(m.file);
}

}  // namespace

bool dialog_events_on_soap(const str& text) {
  soap_envelope e;
  return soap_parse(text, e) && dialog_events_on_soap(e);
}

bool dialog_events_on_soap(const soap_envelope& e) {
  return take(e, get_dialog_state) || take(e, get_dialog_policy) || take(e, dialog_response) ||
         take(e, dialog_hangup) || take(e, dialog_refer) || take(e, dialog_hold) ||
         take(e, dialog_dtmf) || take(e, dialog_eof) || take(e, dialog_timeout) ||
         take(e, on_dialog_end) || take(e, on_update_call_id) || take(e, on_cmc) ||
         take(e, on_dialog_rec) || take(e, on_file_written);
}
