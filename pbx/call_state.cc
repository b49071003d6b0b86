#include "pbx/call_state.h"

#include <algorithm>
#include <cstdint>

#include "base/log.h"
#include "base/random.h"
#include "db/file_writer.h"
#include "db/schema.h"
#include "frame/clock.h"
#include "pbx/accounts.h"
#include "pbx/call_records.h"
#include "pbx/charging.h"
#include "pbx/number_forms.h"
#include "pbx/registration.h"
#include "sip/call_messages.h"
#include "sip/from_to_spec.h"

namespace {

const str str_true("true");
const str str_false("false");

const str& flag_text(bool b) { return b ? str_true : str_false; }
str now_text() { return atimestamp_serialize(wall_now()); }

// A lower bound of the "start" of every leg row (leg_create is its only writer), so that the
// collection after each call looks at the legs only when one of them may have expired: the
// earliest start the last full look kept, lowered by every leg created since.
bool leg_start_bound_known = false;
atimestamp leg_start_bound = 0;

void lower_leg_start_bound(atimestamp start) {
  if (start && start < leg_start_bound) leg_start_bound = start;
}

// The rows of table t whose column holds value, in row order.
std::vector<int> rows_with(const table& t, const str& column, const str& value) {
  std::vector<int> out;
  for (int r = t.first(column, value); r; r = t.next(r, column)) {
    if (t.get(r, column) == value) out.push_back(r);
  }
  return out;
}

// The account a leg belongs to, for its watchers: the "ext" column.
int leg_account(int leg) { return legs.get(leg, leg_extension).value(); }

// A URI from a Contact value, which may be a name-addr with parameters.
str contact_uri(const str& contact) {
  if (contact.find(str("<")) < 0) return contact.strip();
  return from_to_spec(contact).addr_spec().serialize();
}

// A name-addr with its user part in the local form of the domain, as a phone of it shows it.
str local_form(const str& name_addr, int domain) {
  from_to_spec party(name_addr);
  sip_uri uri = party.addr_spec();
  const str local = get_local_number(domain, uri.get_user());
  if (local == uri.get_user()) return name_addr;
  uri.set_user(local);
  party.set_addr_spec(uri);
  return party.content();
}

}  // namespace

// ---- Rows ----

int cobj_create(const str& sip_id, const str& from, const str& to, int domain) {
  int c = cobjs.add_row(false);
  cobjs.set(c, cobj_cid, sip_id, false);
  cobjs.set(c, cobj_from, from, false);
  cobjs.set(c, cobj_to, to, false);
  cobjs.set(c, cobj_domain, id_text(domain), false);
  cobjs.set(c, cobj_state, str("idle"), false);
  cobjs.set(c, cobj_segment_start, now_text(), false);
  cobjs.write_row(c);
  return c;
}

int leg_create(bool inbound, const str& leg_id, const str& call_id, const str& from, const str& to,
               int cobj, bool secure) {
  int l = legs.add_row(false);
  legs.set(l, leg_call_id, leg_id, false);
  legs.set(l, leg_sip_id, call_id, false);
  legs.set(l, leg_reference, id_text(cobj), false);
  legs.set(l, leg_secure, flag_text(secure), false);
  legs.set(l, leg_inbound, flag_text(inbound), false);
  legs.set(l, leg_from, from, false);
  legs.set(l, leg_to, to, false);
  const str start = now_text();
  legs.set(l, leg_start, start, false);
  lower_leg_start_bound(atimestamp_parse(start));
  legs.write_row(l);
  return l;
}

int leg_by_id(const str& id) { return id.empty() ? 0 : legs.first(leg_call_id, id); }

void leg_update_id(const str& call_id, const str& port) {
  if (int l = leg_by_id(call_id)) legs.set(l, leg_call_id, port);
}

int cobj_int(int cobj, const str& column) { return cobjs.get(cobj, column).value(); }
int leg_int(int leg, const str& column) { return legs.get(leg, column).value(); }
bool leg_flag(int leg, const str& column) { return legs.get(leg, column) == str_true; }
int leg_cobj(int leg) { return leg_int(leg, leg_reference); }
int primary_leg(int cobj) { return cobj_int(cobj, cobj_primary_leg); }

std::vector<int> legs_of(int cobj) {
  if (!cobj) return {};
  return rows_with(legs, leg_reference, id_text(cobj));
}

std::vector<int> legs_of_extension(const str& extension) {
  if (extension.empty()) return {};
  return rows_with(legs, leg_extension, extension);
}

bool extension_has_legs(const str& extension) {
  return !extension.empty() && legs.first(leg_extension, extension) != 0;
}

int call_other_side(int cobj, int leg) {
  const int primary = primary_leg(cobj);
  if (leg != primary) return legs.has_row(primary) ? primary : 0;
  int candidate = 0;
  for (int l : legs_of(cobj)) {
    if (l == leg) continue;
    const str state = legs.get(l, leg_state);
    if (state == leg_terminated) continue;
    if (state == leg_connected || state == leg_onhold || state == leg_holding) return l;
    if (!candidate) candidate = l;
  }
  return candidate;
}

int search_callid(int domain, const str& call_id, const str& from_tag, const str& to_tag) {
  for (int l : rows_with(legs, leg_sip_id, call_id)) {
    if (domain && cobj_int(leg_cobj(l), cobj_domain) != domain) continue;
    // The tags, when given, must be those of the leg's dialog in either direction.
    if (!from_tag.empty() || !to_tag.empty()) {
      const str f = from_to_spec(legs.get(l, leg_from)).tag();
      const str t = from_to_spec(legs.get(l, leg_to)).tag();
      const bool known = !f.empty() || !t.empty();
      if (known && !((f == from_tag && t == to_tag) || (f == to_tag && t == from_tag))) continue;
    }
    return l;
  }
  return 0;
}

// ---- State ----

void set_leg_state(int leg, const str& state) {
  if (!legs.has_row(leg)) return;
  const str old = legs.get(leg, leg_state);
  if (old == leg_terminated || old == state) return;
  legs.set(leg, leg_state, state);
  if (state == leg_terminated) charge_end(leg);
  if (int account = leg_account(leg)) dialog_state_changed(account);
}

void set_cobj_state(int cobj, const str& state) {
  if (cobjs.has_row(cobj) && cobjs.get(cobj, cobj_state) != state)
    cobjs.set(cobj, cobj_state, state);
}

void set_ivr_user(int cobj, int account, const str& type) {
  cobjs.set(cobj, cobj_ivr_user, account ? id_text(account) : str(), false);
  cobjs.set(cobj, cobj_ivr_type, type, false);
  cobjs.write_row(cobj);
}

// ---- Commands to a leg ----

msg::set_dialog_state dialog_state_command(const str& leg_id, int code, const str& reason,
                                           const leg_play& play) {
  msg::set_dialog_state m;
  m.call_id = leg_id;
  m.play_file = play.file;
  m.play_loop = flag_text(play.loop);
  m.play_alert = flag_text(play.alert);
  m.conf_dest = play.conf_dest;
  m.analyse_dtmf = flag_text(play.analyse_dtmf);
  if (play.cache) m.cache = str_true;
  m.state_code = id_text(code);
  if (code == 180) m.ring180 = str_true;
  if (code == 183) m.ring180 = str_false;
  m.state_reason = reason;
  m.picture = play.picture;
  m.moderator = flag_text(play.moderator);
  return m;
}

void send_dialog_state(int leg, int code, const str& reason, const leg_play& play) {
  if (!legs.has_row(leg)) return;
  const msg::set_dialog_state m =
      dialog_state_command(legs.get(leg, leg_call_id), code, reason, play);
  if (code >= 200 && code <= 299 && legs.get(leg, leg_connect).empty())
    legs.set(leg, leg_connect, now_text());
  if (code >= 101 && code <= 199) {
    set_leg_state(leg, leg_flag(leg, leg_inbound) ? leg_ringback : leg_alerting);
  } else if (code >= 200 && code <= 299) {
    const str state = legs.get(leg, leg_state);
    if (state.empty() || state == leg_alerting || state == leg_ringback)
      set_leg_state(leg, leg_connected);
  }
  post_command(m);
}

void send_play_file(int leg, const leg_play& play) {
  if (!legs.has_row(leg)) return;
  msg::set_playfile m;
  m.call_id = legs.get(leg, leg_call_id);
  m.file = play.file;
  m.loop = flag_text(play.loop);
  m.alert = flag_text(play.alert);
  m.cache = flag_text(play.cache);
  post_command(m);
}

void play_prompts(int cobj, int leg, const str& files, bool loop) {
  leg_play p;
  p.file = files;
  p.loop = loop;
  p.alert = true;
  p.analyse_dtmf = true;
  if (cobjs.get(cobj, cobj_state) == "connected" || legs.get(leg, leg_state) == leg_connected) {
    send_play_file(leg, p);
  } else {
    // The application answers its caller: the call is in the IVR from now on.
    if (leg == primary_leg(cobj)) begin_cdr_segment(cobj, cdr_ivr);
    set_cobj_state(cobj, "connected");
    send_dialog_state(leg, 200, "Ok", p);
  }
}

void send_moh(int leg, const str& file) {
  if (legs.has_row(leg)) post_command(msg::set_moh_file{legs.get(leg, leg_call_id), file});
}

void set_leg_timer(int leg, const str& name, int ms, const str& arg) {
  if (!legs.has_row(leg)) return;
  post_command(msg::set_dialog_timeout{legs.get(leg, leg_call_id), id_text(ms), name, arg});
}

void clear_leg_timer(int leg, const str& name) {
  if (legs.has_row(leg)) post_command(msg::clear_dialog_timeout{legs.get(leg, leg_call_id), name});
}

// ---- Calls ----

void leg_hangup(int cobj, int leg, int code, const str& reason) {
  if (!legs.has_row(leg) || (cobj && leg_cobj(leg) != cobj)) return;
  if (legs.get(leg, leg_state) == leg_terminated) return;
  send_dialog_state(leg, code, reason);
  set_leg_state(leg, leg_terminated);
}

void connect_two_calls(int cobj, int primary, int answering) {
  if (int ext = leg_account(answering); ext && is_extension(ext))
    extensions.set(extension_row(ext), extensions_call_return, str());
  clear_leg_timer(primary, str());
  for (int l : legs_of(cobj)) {
    if (l != primary && l != answering)
      leg_hangup(cobj, l, code_completed_elsewhere, "Request Terminated");
  }
  post_command(
      msg::connect_calls{legs.get(primary, leg_call_id), legs.get(answering, leg_call_id)});
  if (legs.get(primary, leg_state) != leg_connected) send_dialog_state(primary, 200, "Ok");
  set_cobj_state(cobj, leg_connected);
  begin_cdr_segment(cobj, cdr_talking);
}

void cobj_hangup(int cobj, int code, const str& reason) {
  const int primary = primary_leg(cobj);
  for (int l : legs_of(cobj)) {
    if (l == primary) {
      leg_hangup(cobj, l, code, reason);
    } else {
      leg_hangup(cobj, l, 486, "Busy Here");
    }
  }
}

void dialog_hangup_all_others(int cobj, int keep) {
  for (int l : legs_of(cobj)) {
    if (l != keep) leg_hangup(cobj, l, 486, "Busy Here");
  }
}

void replace_call(int old_leg, int new_leg, bool bridge) {
  const int cobj = leg_cobj(old_leg);
  const int new_cobj = leg_cobj(new_leg);
  const int other = call_other_side(cobj, old_leg);
  legs.set(new_leg, leg_reference, id_text(cobj));
  if (primary_leg(cobj) == old_leg) cobjs.set(cobj, cobj_primary_leg, id_text(new_leg));
  move_ivr(old_leg, new_leg);
  leg_hangup(cobj, old_leg, 486, "Busy Here");
  if (bridge && other) {
    post_command(msg::connect_calls{legs.get(new_leg, leg_call_id), legs.get(other, leg_call_id)});
  }
  if (new_cobj && new_cobj != cobj && legs_of(new_cobj).empty())
    cobj_last_reference_deleted(new_cobj);
}

void move_ivr(int from_leg, int to_leg) {
  if (from_leg == to_leg || !legs.has_row(from_leg) || !legs.has_row(to_leg)) return;
  post_command(msg::move_ivr{legs.get(from_leg, leg_call_id), legs.get(to_leg, leg_call_id)});
  for (const str* column : {&leg_rec, &leg_dtmf_digits, &leg_dtmf_stamp}) {
    legs.set(to_leg, *column, legs.get(from_leg, *column), false);
    legs.set(from_leg, *column, str(), false);
  }
  legs.write_row(from_leg);
  legs.write_row(to_leg);
}

std::vector<ring_target> registrations_of(int account) {
  std::vector<ring_target> out;
  const rtimestamp now = clock_now();
  for (int r : rows_with(registrations, registrations_tuser, id_text(account))) {
    if (!registrations.get(r, registrations_event).empty()) continue;
    if (registrations.get(r, registrations_contact).empty()) continue;
    if (!registration_still_valid(r, now)) continue;
    out.push_back({r, account});
  }
  return out;
}

std::vector<int> initiate_call_to_all_registered_extensions(const std::vector<ring_target>& targets,
                                                            int cobj, int primary,
                                                            const str& caller, const str& callee,
                                                            const str& alert_info) {
  std::vector<int> out;
  const bool secure = leg_flag(primary, leg_secure);
  const str type = cobjs.get(cobj, cobj_ivr_type);
  const int domain = cobj_int(cobj, cobj_domain);
  const str from = local_form(caller, domain), to = local_form(callee, domain);
  for (const ring_target& t : targets) {
    const int ext = extension_row(t.extension);
    const str id = new_leg_call_id();
    const int l = leg_create(false, id, id, from, to, cobj, secure);
    legs.set(l, leg_extension, id_text(t.extension), false);
    legs.set(l, leg_registration, registrations.get(t.registration, registrations_callid), false);
    legs.set(l, leg_picture, extensions.get(ext, extensions_picture), false);
    legs.set(l, leg_call_type, type, false);
    legs.write_row(l);
    msg::start_dialog m;
    m.call_id = id;
    m.uri = contact_uri(registrations.get(t.registration, registrations_contact));
    m.from = from;
    m.to = to;
    m.alert_info = alert_info;
    m.registration = legs.get(l, leg_registration);
    m.secure = flag_text(secure);
    m.other_side = legs.get(primary, leg_call_id);
    m.username = account_name(t.extension);
    m.password = extensions.get(ext, extensions_password);
    m.codec = extensions.get(ext, extensions_codecs);
    if (!m.codec.empty())
      m.codec_lock = flag_text(ctrl_read_registry(ctrl_settings::codec_lock) != str_false);
    if (cobjs.get(cobj, cobj_clip) == str_true) m.clip = str_false;
    post_command(m);
    out.push_back(l);
  }
  return out;
}

// ---- Ends of rows ----

namespace {

// Counted for the management statistics: call objects that ended before they were answered,
// and the others.
struct call_counts {
  uint64_t attempts = 0;
  uint64_t calls = 0;
} counts;

// The text a leg left behind when it expired: one "name: value" line per column.
str expired_leg_text(int leg) {
  static const std::pair<const char*, const str*> lines[] = {
      {"reference", &leg_reference},
      {"call_id", &leg_sip_id},
      {"extension", &leg_extension},
      {"trunk", &leg_trunk},
      {"registration", &leg_registration},
      {"inbound", &leg_inbound},
      {"from", &leg_from},
      {"to", &leg_to},
      {"state", &leg_state},
      {"start", &leg_start},
      {"connect", &leg_connect},
      {"dtmf_digits", &leg_dtmf_digits},
      {"dtmf_stamp", &leg_dtmf_stamp},
      {"connect_symbol", &leg_connect_symbol},
      {"charge_user", &leg_charge_user},
      {"charge_remote_party", &leg_charge_remote_party},
      {"charge_price", &leg_charge_price},
      {"charge_duration", &leg_charge_duration},
      {"charge_cost", &leg_charge_cost},
      {"secure", &leg_secure},
      {"codec", &leg_codec},
      {"tap", &leg_tap},
      {"listener", &leg_listener},
      {"source", &leg_source},
      {"rec", &leg_rec},
      {"picture", &leg_picture},
      {"dp_prio", &leg_dp_prio},
      {"tapi", &leg_tapi},
  };
  str out;
  for (const auto& [name, column] : lines) out.appendf("%S: %s\r\n", name, legs.get(leg, *column));
  return out;
}

// Removes the row of a leg; with the last leg of its call object, the call object too.
void remove_leg_row(int leg, bool collect) {
  const int cobj = leg_cobj(leg);
  if (legs.get(leg, leg_state) != leg_terminated) set_leg_state(leg, leg_terminated);
  legs.delete_row(leg);
  if (cobj && cobjs.has_row(cobj) && legs_of(cobj).empty()) {
    if (collect) {
      cobj_last_reference_deleted(cobj);
    } else {
      cobjs.delete_row(cobj);
    }
  }
}

}  // namespace

void leg_removed(int leg) {
  if (legs.has_row(leg)) remove_leg_row(leg, true);
}

void cobj_last_reference_deleted(int cobj) {
  if (!cobjs.has_row(cobj)) return;
  const str state = cobjs.get(cobj, cobj_state);
  const int served = cobj_int(cobj, cobj_ivr_user);
  begin_cdr_segment(cobj, str());
  cobjs.delete_row(cobj);
  if (state == "alerting" || state == "idle") {
    counts.attempts++;
  } else {
    counts.calls++;
  }
  if (served) dialog_state_changed(served);
  dialog_garbage_collection();
}

void dialog_garbage_collection() {
  int limit = setting_value(ctrl_settings::max_call_duration, 7200);
  const int64_t max_age_s = limit > 0 ? int64_t(limit) + 600 : 28800;
  const atimestamp now = wall_now();
  if (leg_start_bound_known && diff_s(now, leg_start_bound) <= max_age_s) return;
  std::vector<int> expired;
  leg_start_bound_known = true;
  leg_start_bound = INT64_MAX;
  for (int l = legs.first(); l; l = legs.next(l)) {
    const atimestamp start = atimestamp_parse(legs.get(l, leg_start));
    if (start && diff_s(now, start) > max_age_s) {
      expired.push_back(l);
    } else {
      lower_leg_start_bound(start);
    }
  }
  for (int l : expired) {
    write_whole_file(str::sprintf("expired-%d.txt", l), expired_leg_text(l));
    log_printf(log_application, 4, "Removing expired call");
    legs.set(l, leg_disconnect_reason, str("timeout"), false);
    send_dialog_state(l, 408, "Request Timeout");
    remove_leg_row(l, false);
  }
}

str new_leg_call_id() { return random_token(24); }
