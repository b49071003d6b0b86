// try_external_number (dial_plan.h): the outbound leg of an external call.
#include <cstdlib>

#include "base/log.h"
#include "db/schema.h"
#include "pbx/accounts.h"
#include "pbx/admission.h"
#include "pbx/call_state.h"
#include "pbx/charging.h"
#include "pbx/dial_pattern.h"
#include "pbx/dial_plan.h"
#include "pbx/number_forms.h"
#include "pbx/trunks.h"
#include "sip/call_messages.h"
#include "sip/from_to_spec.h"
#include "sip/sip_uri.h"

namespace {

const str& flag_text(bool b) { return b ? str_t : str_f; }

str strip_angles(const str& name_addr) {
  const str s = name_addr.strip();
  return s.starts_with("<") && s.ends_with(">") ? s.substr(1, s.length() - 2) : s;
}

str ext_setting(int account, const str& column) {
  return is_extension(account) ? extensions.get(extension_row(account), column) : str();
}

// Whether the caller asked to hide his number: the call object's "clip", a calling card's
// block_cid, or an extension's block_cid (never for an emergency call).
bool cid_blocked(int cobj, int user, bool emergency) {
  if (cobjs.get(cobj, cobj_clip) == str_t) return true;
  const str type = account_type(user);
  if (type == "callingcards")
    return callingcards.get(extension_row(user), callingcards_block_cid) == str_t;
  return type == "extensions" && !emergency && ext_setting(user, extensions_block_cid) == str_t;
}

// A new outbound leg of the call object, secure like the primary leg, its id a fresh Call-ID.
int new_leg(int cobj, int primary, const str& from, const str& to) {
  const str id = new_leg_call_id();
  return leg_create(false, id, id, from, to, cobj, leg_flag(primary, leg_secure));
}

void set_leg_columns(int leg, int user, const str& local, const str& key, const str& number,
                     const str& type) {
  if (user) legs.set(leg, leg_charge_user, id_text(user), false);
  legs.set(leg, leg_charge_remote_party, local, false);
  legs.set(leg, leg_connect_symbol, key, false);
  legs.set(leg, leg_number, number, false);
  legs.set(leg, leg_call_type, type, false);
}

// Whether the caller may call global on the trunk by its rates: a trunk without rates takes
// every call; otherwise the destination needs a rate, and a caller with a credit needs at
// least the price of the first period (the upfront periods when set).
bool rate_allows(int trunk, int user, const str& global) {
  bool has_rates = false;
  for (int r = rates.first(); r && !has_rates; r = rates.next(r))
    has_rates = rates.get(r, rate_trunk) == id_text(trunk);
  if (!has_rates) return true;
  const str trunk_name = trunks.get(trunk, trunks_name);
  const int rate = rate_for(trunk, global);
  if (!rate) {
    log_printf(log_application, 5, "No rate found for destination %s on trunk %s", global,
               trunk_name);
    return false;
  }
  const str credit = users.get(user, users_credit).strip();
  if (!user || credit.empty()) return true;
  const double price = std::strtod(rates.get(rate, rate_price).c_str(), nullptr);
  const str upfront = rates.get(rate, rate_upfront).strip();
  const double needed = price * (upfront.is_number() && upfront.value() > 0 ? upfront.value() : 1);
  if (std::strtod(credit.c_str(), nullptr) >= needed) return true;
  log_printf(log_application, 5,
             "Extension %s has not enough credit for destination %s on trunk %s",
             account_name(user), global, trunk_name);
  return false;
}

// The caller as the trunk presents him. The user part is the trunk's from_user when set, else
// the caller's number on the trunk (get_trunk_ani), else the caller's own user part; a redirected
// call (the primary leg is not the routing user's) keeps the original caller's number when the
// trunk passes redirected calls on ("redirect"). The host is the trunk's registrar. A trusted
// trunk gets the caller in Identity as well; a hidden caller is anonymous in From unless the
// trunk is trusted, which then gets CLIP "false" and the trunk's privacy style.
void trunk_identity(msg::start_dialog& m, int trunk, int cobj, int primary, int user,
                    bool emergency) {
  auto col = [trunk](const str& column) { return trunks.get(trunk, column); };
  const from_to_spec caller(cobjs.get(cobj, cobj_from));
  str number = col(trunks_from_user);
  if (number.empty()) number = get_trunk_ani(trunk, user, emergency);
  const bool redirected = user && legs.get(primary, leg_extension).value() != user;
  if (redirected && col(trunks_redirect) == str_t) {
    number = caller.addr_spec().get_user();
    log_printf(log_application, 5, "Using %s as redirect source address", number);
  }
  if (number.empty()) number = caller.addr_spec().get_user();
  str host = col(trunks_reg_registrar);
  if (host.empty()) host = domains.get(cobj_int(cobj, cobj_domain), domains_name);
  from_to_spec from(sip_uri("sip", number, host, str()));
  if (!caller.display_name().empty()) from.set_display_name(caller.display_name());
  const bool trusted = col(trunks_trusted) == str_t;
  const bool blocked = cid_blocked(cobj, user, emergency);
  if (trusted) m.identity = from.content();
  if (blocked && !trusted) {
    m.from = "\"Anonymous\" <sip:anonymous@anonymous.invalid>";
  } else {
    m.from = from.content();
  }
  if (blocked) m.clip = str_f;
  if (trusted || blocked) m.privacy_style = col(trunks_privacy);
}

int start_loopback(int& leg, int cobj, int primary, int user, const str& destination,
                   const str& local, const str& key, const str& number, bool emergency) {
  from_to_spec from(cobjs.get(cobj, cobj_from));
  const str ani = users.get(user, users_ani);
  if (user && !ani.empty()) {
    sip_uri u = from.addr_spec();
    u.set_user(ani);
    from.set_addr_spec(u);
  }
  leg = new_leg(cobj, primary, from.content(), cobjs.get(cobj, cobj_to));
  legs.set(leg, leg_trunk, "lo", false);
  legs.set(leg, leg_inbound, str_f, false);
  set_leg_columns(leg, user, local, key, number, cobjs.get(cobj, cobj_ivr_type));
  legs.write_row(leg);
  msg::start_dialog m;
  m.call_id = legs.get(leg, leg_call_id);
  m.uri = strip_angles(destination);
  m.from = from.content();
  m.to = cobjs.get(cobj, cobj_to);
  m.trunk = "lo";
  m.privacy_style = "rfc3325";
  m.secure = flag_text(leg_flag(primary, leg_secure));
  m.other_side = legs.get(primary, leg_call_id);
  if (cid_blocked(cobj, user, emergency)) m.clip = str_f;
  post_command(m);
  return ext_started;
}

int start_extension(int& leg, int cobj, int primary, int user, const str& name, int domain) {
  const int account = account_by_name(name, domain);
  if (!is_extension(account)) {
    dial_a_number(user, cobj, name, "<sip:" + name + "@" + domains.get(domain, domains_name) + ">");
    return ext_handed_on;
  }
  std::vector<ring_target> targets = registrations_of(account);
  if (targets.empty() || !extension_call_have_more_calls(account, true, false)) {
    log_printf(log_application, 5,
               "Could not start call to extension %s because there is no registration or the "
               "extension is busy",
               name);
    return ext_unreachable;
  }
  std::vector<int> started = initiate_call_to_all_registered_extensions(
      targets, cobj, primary, cobjs.get(cobj, cobj_from), "<" + account_uri(account) + ">");
  leg = started.empty() ? 0 : started.front();
  return ext_started;
}

}  // namespace

int try_external_number(int& leg, int cobj, int primary, int user, const str& number,
                        const str& key, int min_preference) {
  leg = 0;
  const int domain = cobj_int(cobj, cobj_domain);
  const str domain_name = domains.get(domain, domains_name);
  const str bare = strip_angles(number);
  sip_uri uri;
  if (bare.istarts_with("sip:") || bare.istarts_with("sips:")) {
    uri = sip_uri(bare);
  } else {
    uri = sip_uri("sip", bare.contains_char(':') ? uri_user(bare) : bare, domain_name, str());
  }
  if (uri.get_user().empty()) return ext_empty;
  const str global = get_global_number(domain, uri.get_user());
  const str local = get_local_number(domain, global);
  if (global != uri.get_user()) uri.set_user(global);

  dialplan_route route;
  const int coline = cobj_int(cobj, cobj_co_preference);
  if (!find_extension_dialplan_entry(user, uri.serialize(), coline, route, min_preference, primary))
    return ext_no_route;
  const bool emergency = cobjs.get(cobj, cobj_priority) == "911";
  if (route.loopback)
    return start_loopback(leg, cobj, primary, user, route.destination, local, key, number,
                          emergency);
  if (!route.trunk) {
    const int d = user ? account_domain(user) : domain;
    return start_extension(leg, cobj, primary, user, route.destination, d);
  }

  const int t = route.trunk;
  auto col = [t](const str& column) { return trunks.get(t, column); };
  if (!rate_allows(t, user, global)) return ext_no_route;
  int line = route.coline;
  if (!line && !search_free_trunkline(t, &line)) {
    if (try_failover(t, 500, "Line Unavailable"))
      return try_external_number(leg, cobj, primary, user, number, key, route.preference);
    return ext_no_route;
  }
  if (user && legs.get(primary, leg_extension).value() != user && legs.has_row(primary))
    log_printf(log_application, 5, "Charge user %s for redirecting calls", account_name(user));

  const str to = route.destination;
  leg = new_leg(cobj, primary, str(), to);
  msg::start_dialog m;
  m.call_id = legs.get(leg, leg_call_id);
  m.uri = strip_angles(route.destination);
  trunk_identity(m, t, cobj, primary, user, emergency);
  m.to = to;
  m.outbound_proxy = col(trunks_outbound_proxy);
  m.trunk = id_text(t);
  m.secure = flag_text(leg_flag(primary, leg_secure));
  if (col(trunks_redirect) == str_t) m.accept_redirect = str_t;
  m.other_side = legs.get(primary, leg_call_id);
  m.username = col(trunks_reg_user).empty() ? col(trunks_reg_account) : col(trunks_reg_user);
  m.password = col(trunks_reg_pass);
  m.codec = col(trunks_codecs);
  if (!m.codec.empty()) m.codec_lock = flag_text(col(trunks_codec_lock) != str_f);
  if (col(trunks_analog) == str_t) m.hangup_tone = str_t;

  legs.set(leg, leg_from, m.from, false);
  legs.set(leg, leg_trunk, id_text(t), false);
  legs.set(leg, leg_dp_prio, id_text(route.preference), false);
  set_leg_columns(leg, user, local, key, number, "trunk");
  legs.write_row(leg);
  if (line) colines.set(line, coline_leg, id_text(leg));
  post_command(m);
  const str timeout = col(trunks_request_timeout).strip();
  if (timeout.is_number() && timeout.value() > 0)
    set_leg_timer(leg, "request-timeout", timeout.value() * 1000);
  return ext_started;
}
