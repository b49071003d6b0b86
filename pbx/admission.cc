#include "pbx/admission.h"

#include <regex.h>

#include <ctime>
#include <set>
#include <vector>

#include "base/log.h"
#include "db/schema.h"
#include "frame/clock.h"
#include "frame/settings.h"
#include "pbx/accounts.h"
#include "pbx/call_app.h"
#include "pbx/call_state.h"
#include "pbx/dial_plan.h"
#include "pbx/dialog_events.h"
#include "pbx/email.h"
#include "pbx/number_forms.h"
#include "pbx/trunks.h"
#include "sip/from_to_spec.h"
#include "sip/sip_uri.h"

namespace {

str ext_setting(int account, const str& column) {
  return extensions.get(extension_row(account), column);
}

int domain_of(const sip_uri& uri) { return domain_by_name(uri.get_host()); }

// The account a SIP address names: its user part in the domain of its host.
int account_of(const sip_uri& uri) { return account_by_name(uri.get_user(), domain_of(uri)); }

// The account a user part names in a domain: by name, by its local form, or, for a global
// number, system-wide.
int resolve_account(const str& user, int domain) {
  if (int a = account_by_name(user, domain)) return a;
  if (!user.starts_with("+")) return 0;
  if (int a = account_by_name(get_local_number(domain, user), domain)) return a;
  return account_by_global_number(user);
}

str display_name(int account) {
  if (!is_extension(account)) return str();
  return (ext_setting(account, extensions_first_name) + " " +
          ext_setting(account, extensions_last_name))
      .strip();
}

// The account as a name-addr: its display name and canonical URI; the tag of the header and
// its other parameters stay.
void set_canonical(from_to_spec& header, int account) {
  header.set_display_name(display_name(account));
  header.set_addr_spec(sip_uri(account_uri(account)));
}

// The user part of the address in global form; "user=phone" added where no "user" parameter
// is present and add_user_phone says so.
void globalise(sip_uri& uri, const str& cc, const str& ac, bool plus_first, bool add_user_phone) {
  if (add_user_phone && !uri.has_parameter("user")) uri.set_parameter("user", "phone");
  str user = uri.get_user();
  if (plus_first && !user.empty() && !user.starts_with("+")) user = "+" + user;
  str global = get_global_number(cc, ac, user);
  if (global != uri.get_user()) uri.set_user(global);
}

void globalise(from_to_spec& header, const str& cc, const str& ac, bool plus_first,
               bool add_user_phone) {
  sip_uri uri = header.addr_spec();
  globalise(uri, cc, ac, plus_first, add_user_phone);
  if (uri.is_modified()) header.set_addr_spec(uri);
}

// SetDialogState with a final code for a leg that has no row yet.
void refuse(const str& call_id, int code, const char* reason) {
  post_command(dialog_state_command(call_id, code, reason));
}

// ---- Star codes ----

// A star code of the domain: anything starting with "*", the codes that need not start with
// it, or an emergency number (emergency then is its position, from 1).
bool is_starcode(int domain, const str& number, int& emergency) {
  emergency = check_e911(domain, number);
  if (emergency || number.starts_with("*")) return true;
  for (const str* c : {&domains_code_govm, &domains_code_wakeup, &domains_code_credit})
    if (number == domains.get(domain, *c)) return true;
  for (const str* c : {&domains_code_intercom, &domains_code_callcell}) {
    str code = domains.get(domain, *c);
    if (!code.empty() && number.starts_with(code)) return true;
  }
  return false;
}

str local_time_text(const char* format) {
  time_t t = static_cast<time_t>(get_time(wall_now()));
  struct tm tm_local;
  localtime_r(&t, &tm_local);
  char buf[16];
  strftime(buf, sizeof buf, format, &tm_local);
  return str(buf);
}

// The administrators (the addresses of email_list_performance) are told of an emergency call
// by mail through the spool, from the caller's domain; the log keeps a line of it too.
void emergency_mail(int caller, int domain, const str& number) {
  if (!ctrl_read_registry(ctrl_settings::email_emergency_call).is_true()) return;
  str name = account_name(caller);
  str subject = str::sprintf("%s is calling %s!", name, number);
  str text = str::sprintf("Account %s is calling the emergency number %s at %s/%s/%s %s", name,
                          number, local_time_text("%m"), local_time_text("%d"),
                          local_time_text("%Y"), local_time_text("%H:%M"));
  log_printf(log_email, 3, "%s: %s", subject, text);
  const str list = ctrl_read_registry(ctrl_settings::email_list_performance);
  for (size_t i = 0; !list.get_field(i, " ,;").empty(); i++)
    send_email(domain, list.get_field(i, " ,;"), subject, "text/plain; charset=utf-8", str(),
               text + "\r\n");
}

// A feature code (call forwarding, parking, pick-up, ...): the class of the "starcode" type
// takes the call when one is registered (call_app.h). True when it took it.
bool handle_starcodes(int caller, int cobj, const str& number) {
  std::unique_ptr<call_app> app = make_call_app(str("starcode"), cobj);
  if (!app) return false;
  set_ivr_user(cobj, caller, "starcode");
  app->start(caller, number);
  return true;
}

// A dialled destination as a URI: a name-addr or URI as written, a bare number in the domain.
sip_uri destination_uri(const str& text, int domain) {
  if (text.contains_char('<')) return from_to_spec(text).addr_spec();
  if (text.contains_char(':')) return sip_uri(text);
  return sip_uri("sip", text, domains.get(domain, domains_name), str());
}

// The primary leg shows the call object's parties anew.
void tell_identity(int cobj) {
  msg::set_dialog_cid m;
  m.call_id = legs.get(primary_leg(cobj), leg_call_id);
  m.from = cobjs.get(cobj, cobj_from);
  m.to = cobjs.get(cobj, cobj_to);
  m.silent = "false";
  post_command(m);
}

// A speed-dial entry of the address book for the code: the caller's own, else the domain's.
int speed_dial_entry(int domain, int caller, const str& code) {
  if (code.empty()) return 0;
  if (int e = adrbook.search(adrbook_domain, id_text(domain), adrbook_speed, code, adrbook_user,
                             id_text(caller)))
    return e;
  return adrbook.search(adrbook_domain, id_text(domain), adrbook_speed, code, adrbook_user, str());
}

void release_seized_lines(int account) {
  if (!account) return;
  for (int c = colines.first(coline_seized_user, id_text(account)); c;
       c = colines.first(coline_seized_user, id_text(account))) {
    colines.set(c, coline_seized_user, str());
    colines.set(c, coline_seized_timestamp, str());
  }
}

// The application that serves each type of account.
const char* app_of_type(const str& type) {
  // clang-format off
  static const struct {
    const char* type;
    const char* app;
  } table[] = {{"extensions", "attendant"},  {"attendants", "attendant"},
               {"callingcards", "extcall"},  {"hunts", "hunt"},
               {"conferences", "conference"}, {"orbits", "orbit"},
               {"hoots", "hoot"},             {"acds", "acd"},
               {"srvflags", "srvflag"},       {"ivrnodes", "ivrnode"}};
  // clang-format on
  for (const auto& e : table)
    if (type == e.type) return e.app;
  return nullptr;
}

// Hands the call object to the application of type; 404 "Not Found" when no class serves it.
void start_app(int cobj, const char* type, int account, int iu, const str& number) {
  set_ivr_user(cobj, iu, type);
  std::unique_ptr<call_app> app = make_call_app(str(type), cobj);
  if (!app) {
    cobj_hangup(cobj, 404, "Not Found");
    return;
  }
  app->start(account, number);
}

// ---- Trunks ----

// An account as a trunk names it: by EPID when the trunk uses them, then by name in the trunk's
// domain (in every domain for a global trunk).
int trunk_account(int trunk, const str& name) {
  if (name.empty()) return 0;
  if (trunks.get(trunk, trunks_use_epid) == "true")
    if (int a = users.first(users_epid, name)) return a;
  if (trunks.get(trunk, trunks_global) != "true") return account_by_name(name, trunk_domain(trunk));
  int a = user_alias.first(user_alias_name, name);
  return a ? user_alias.get(a, user_alias_user).value() : 0;
}

// subject with the first match of the extended regular expression replaced ("\0".."\9" name the
// groups); false when the pattern does not compile or does not match.
bool substitute(const str& pattern, const str& replacement, const str& subject, str& out) {
  regex_t re;
  if (regcomp(&re, pattern.c_str(), REG_EXTENDED) != 0) return false;
  regmatch_t m[10];
  bool hit = regexec(&re, subject.c_str(), 10, m, 0) == 0;
  regfree(&re);
  if (!hit) return false;
  out = subject.leftstr(m[0].rm_so);
  for (size_t i = 0; i < replacement.length(); i++) {
    char c = replacement[i];
    if (c == '\\' && i + 1 < replacement.length() && replacement[i + 1] >= '0' &&
        replacement[i + 1] <= '9') {
      const regmatch_t& g = m[replacement[++i] - '0'];
      if (g.rm_so >= 0) out += subject.substr(g.rm_so, g.rm_eo - g.rm_so);
    } else {
      out += c;
    }
  }
  out += subject.substr(m[0].rm_eo);
  return true;
}

// The destination account of a trunk call by the trunk's dial_extension rules (or the URI user
// itself without rules); sips set when the rule asks for it.
int dial_extension_account(int trunk, const sip_uri& uri, const from_to_spec& to, bool& sips) {
  std::vector<str> rules = words(trunks.get(trunk, trunks_dial_extension));
  if (rules.empty()) return trunk_account(trunk, uri.get_user());
  for (const str& rule : rules) {
    std::vector<str> part(4);
    const char delimiter = rule[0];
    for (size_t i = 0; i < 4; i++) part[i] = rule.substr(1).get_field(i, delimiter);
    if (rule.length() < 4 || part[0].empty() || part[1].empty()) {
      str name = rule.length() < 4 ? rule : part[3];
      if (int a = trunk_account(trunk, name)) return a;
      continue;
    }
    const str& flags = part[2];
    str subject = flags.contains_char('t') ? to.addr_spec().get_user() : uri.get_user();
    str name;
    int a = substitute(part[0], part[1], subject, name) ? trunk_account(trunk, name) : 0;
    if (!a) a = trunk_account(trunk, part[3]);
    if (a) {
      sips = flags.contains_char('s');
      return a;
    }
  }
  return 0;
}

// The shared line of the request URI, or the lines the caller seized, for the new call.
void bind_shared_lines(int cobj, int leg, int caller, const str& coline) {
  if (!coline.empty()) {
    if (colines.has_row(coline.value())) {
      colines.set(coline.value(), coline_leg, id_text(leg));
      cobjs.set(cobj, cobj_co_preference, coline);
    }
    return;
  }
  if (!caller) return;
  for (int c = colines.first(); c; c = colines.next(c))
    if (colines.get(c, coline_seized_user) == id_text(caller) && colines.get(c, coline_leg).empty())
      cobjs.set(cobj, cobj_co_preference, id_text(c));
}

// Replaces: the leg of the domain's call that the new leg takes the place of.
int replaced_leg(int domain, const str& replaces) {
  int found = search_callid(domain, replaces.get_field(0, ';'), str(), str());
  if (!found) return 0;
  str state = legs.get(found, leg_state);
  if (state == leg_onhold || state == leg_alerting) return call_other_side(leg_cobj(found), found);
  if (state == leg_holding) return found;
  return 0;
}

}  // namespace

void trunk_or_user(int& trunk, int& user) {
  if (!trunk || !user) return;
  if (trunks.get(trunk, trunks_associated_addresses).empty())
    trunk = 0;
  else
    user = 0;
}

bool check_additional_call(int domain, int count) {
  str system = ctrl_read_registry(ctrl_settings::max_calls).strip();
  if (system.is_number() && cobjs.size() + count > system.value()) return false;
  str own = domains.get(domain, domains_max_calls).strip();
  if (own.is_number() && cobjs.count(cobj_domain, id_text(domain)) + count >= own.value())
    return false;
  return true;
}

bool extension_call_have_more_calls(int extension, bool check_call_waiting, bool require_idle) {
  if (!extension) return true;
  // The legs themselves are gathered only to count their calls against "lines".
  const str ext = id_text(extension);
  if (check_call_waiting && ext_setting(extension, extensions_callwaiting) == "false")
    return !extension_has_legs(ext);
  str lines = ext_setting(extension, extensions_lines).strip();
  if (lines.empty()) return true;
  if (require_idle) return !extension_has_legs(ext);
  std::set<int> calls;
  for (int leg : legs_of_extension(ext)) calls.insert(leg_cobj(leg));
  return static_cast<int>(calls.size()) < lines.value();
}

bool check_loop_count(int cobj) {
  int loop = cobj_int(cobj, cobj_loop);
  if (loop > setting_value(ctrl_settings::max_loop, 10)) {
    log_printf(log_application, 4, "Too many redirection loops");
    cobj_hangup(cobj, 482, "Loop Detected");
    return false;
  }
  cobjs.set(cobj, cobj_loop, id_text(loop + 1));
  return true;
}

int check_e911(int domain, const str& number) {
  if (number.empty()) return 0;
  std::vector<str> numbers = words(domains.get(domain, domains_emergency_numbers));
  for (size_t i = 0; i < numbers.size(); i++)
    if (numbers[i] == number) return static_cast<int>(i) + 1;
  return 0;
}

int is_direct_mailbox(int domain, const str& number) {
  str prefix = domains.get(domain, domains_mb_prefix);
  if (prefix.empty() || !number.starts_with(prefix)) return 0;
  int account = account_by_name(number.substr(prefix.length()), domain);
  if (!is_extension(account) || ext_setting(account, extensions_mb_enable) == "false") return 0;
  return account;
}

void dial_a_number(int caller, int cobj, const str& uri_text, const str& to) {
  if (!check_loop_count(cobj)) return;
  int primary = primary_leg(cobj);
  dialog_hangup_all_others(cobj, primary);
  send_moh(primary, str());

  const int cobj_domain_row = cobjs.get(cobj, cobj_domain).value();
  sip_uri uri = destination_uri(uri_text, cobj_domain_row);
  str number = uri.get_user();
  const bool extension_caller = is_extension(caller);
  const int caller_domain = caller ? account_domain(caller) : cobj_domain_row;
  bool in_caller_domain = false;
  int emergency = 0;

  if (extension_caller && !number.empty() && is_starcode(caller_domain, number, emergency)) {
    auto code = [&](const str& column) { return domains.get(caller_domain, column); };
    str destination;
    if (emergency) {
      emergency_mail(caller, caller_domain, number);
      std::vector<str> edest = words(ext_setting(caller, extensions_emergency_destination));
      if (!edest.empty())
        destination = emergency <= static_cast<int>(edest.size()) ? edest[emergency - 1] : edest[0];
      if (!destination.empty()) {
        log_printf(log_application, 5, "Calling emergency number %s from extension %s", number,
                   account_name(caller));
        cobjs.set(cobj, cobj_to,
                  "<" + destination_uri(destination, caller_domain).serialize() + ">");
        tell_identity(cobj);
      }
      cobjs.set(cobj, cobj_priority, "911");
      in_caller_domain = true;
    } else if (number == code(domains_code_return)) {
      destination = ext_setting(caller, extensions_call_return);
    } else if (number == code(domains_code_redial)) {
      destination = ext_setting(caller, extensions_call_redial);
    } else if (!code(domains_code_intercom).empty() &&
               number.starts_with(code(domains_code_intercom))) {
      str target = number.substr(code(domains_code_intercom).length());
      int account = account_by_name(target, caller_domain);
      if (is_extension(account) &&
          check_permission(target, ext_setting(caller, extensions_intercom), false)) {
        start_app(cobj, "attendant", account, account, number);
        return;
      }
      log_printf(log_application, 5, "No permission to intercom to %s", target);
    } else if (!code(domains_code_callcell).empty() &&
               number.starts_with(code(domains_code_callcell))) {
      str target = number.substr(code(domains_code_callcell).length());
      int account = target.empty() ? caller : account_by_name(target, caller_domain);
      if (account == caller ||
          check_permission(target, ext_setting(caller, extensions_callcell), false)) {
        int cell = account ? cells.first(cells_user, id_text(account)) : 0;
        destination = cells.get(cell, cells_number);
      } else {
        log_printf(log_application, 5, "No permission to call the cell phone to %s", target);
      }
    } else if (int entry = speed_dial_entry(caller_domain, caller, number.lstrip('*'))) {
      // Speed dial: what follows the star is the entry's speed code.
      destination = adrbook.get(entry, adrbook_number);
      str name =
          (adrbook.get(entry, adrbook_first_name) + " " + adrbook.get(entry, adrbook_last_name))
              .strip();
      from_to_spec shown(
          sip_uri("sip", destination, domains.get(caller_domain, domains_name), str()));
      if (!name.empty()) shown.set_display_name(name);
      cobjs.set(cobj, cobj_to, shown.angle_content());
      tell_identity(cobj);
    }
    if (destination.empty() && !emergency && handle_starcodes(caller, cobj, number)) return;
    if (!destination.empty()) {
      uri = destination_uri(destination, caller_domain);
      number = uri.get_user();
    }
  } else if (extension_caller) {
    extensions.set(extension_row(caller), extensions_call_redial, to);
  }

  // An emergency number routed as dialled never reaches an account of that name.
  const bool as_dialled = emergency && check_e911(caller_domain, uri.get_user());
  int domain = in_caller_domain ? caller_domain : domain_of(uri);
  int account = domain && !as_dialled ? resolve_account(uri.get_user(), domain) : 0;
  if (account) {
    release_seized_lines(extension_caller ? caller : 0);
    const char* app = app_of_type(account_type(account));
    if (!app) {
      cobj_hangup(cobj, 404, "Not Found");
      return;
    }
    start_app(cobj, app, account, account, number);
    return;
  }
  int mailbox = as_dialled ? 0 : is_direct_mailbox(domain ? domain : cobj_domain_row, number);
  if (mailbox) {
    cobjs.set(cobj, cobj_diversion, "unconditional");
    start_app(cobj, "mailbox", mailbox, mailbox, number);
    return;
  }
  start_app(cobj, "extcall", 0, caller, uri.serialize());
}

void get_dialog_state(const msg::get_dialog_state& in) {
  from_to_spec from(in.from), to(in.to);
  sip_uri uri(in.uri);

  // The caller: an extension, a trunk or the loopback trunk.
  int caller =
      account_of(in.identity.empty() ? from.addr_spec() : from_to_spec(in.identity).addr_spec());
  if (caller && !is_extension(caller)) {
    log_printf(log_application, 5, "Call from account %s: Not an extension", account_name(caller));
    caller = 0;
  }
  const bool loopback = in.trunk == "lo";
  int trunk = !loopback && trunks.has_row(in.trunk.value()) ? in.trunk.value() : 0;
  if (loopback)
    caller = 0;
  else
    trunk_or_user(trunk, caller);

  // Hot desking: the extension a phone is logged in as is named by the `cfr` setting of the
  // extension the phone belongs to.
  if (caller) {
    int seat = account_by_name(ext_setting(caller, extensions_cfr), account_domain(caller));
    const int d = account_domain(caller);
    const str dialled = to.addr_spec().get_user();
    if (seat && seat != caller && is_extension(seat) && !check_e911(d, dialled) &&
        dialled != domains.get(d, domains_code_cfr)) {
      log_printf(log_application, 5, "Calling from Hot Desking extension %s", account_name(seat));
      caller = seat;
    }
  }

  str charge_remote;
  int loop_domain = 0;
  if (caller) {
    set_canonical(from, caller);
  } else if (loopback) {
    log_printf(log_application, 5, "Call from a loopback trunk");
    loop_domain = domain_of(uri);
    str cc = domains.get(loop_domain, domains_country_code);
    str ac = domains.get(loop_domain, domains_area_code);
    globalise(from, cc, ac, false, true);
    globalise(to, cc, ac, false, true);
    globalise(uri, cc, ac, false, true);
    charge_remote = from.addr_spec().get_user();
  } else if (!trunk) {
    log_printf(log_application, 5,
               "Received incoming call without trunk information and user has not been found");
    refuse(in.call_id, 404, "Not Found");
    return;
  }

  int destination = 0;
  str diversion;
  if (trunk) {
    const int d = trunk_domain(trunk);
    str cc = domains.get(d, domains_country_code), ac = domains.get(d, domains_area_code);
    str glob = trunks.get(trunk, trunks_glob);
    if (glob == "nanpa" || glob == "nanpa2") {
      cc = "1";
      ac = str();
    }
    const bool plus = glob == "noplus";
    const bool tel = trunks.get(trunk, trunks_tel) != "false";
    globalise(from, cc, ac, plus, tel);
    globalise(to, cc, ac, plus, tel);
    globalise(uri, cc, ac, plus, tel);
    uri.set_host(domains.get(d, domains_name));
    const msg::set_dialog_credentials credentials = trunk_credentials(trunk, in.call_id);
    if (!credentials.username.empty()) post_command(credentials);
    str from_user = trunks.get(trunk, trunks_from_user);
    if (!from_user.empty()) {
      log_printf(log_application, 5, "Trunk: Changing the user to %s", from_user);
      destination = account_by_name(from_user, d);
      diversion = "unconditional";
    }
  }

  const int calling_domain = caller     ? account_domain(caller)
                             : loopback ? loop_domain
                                        : trunk_domain(trunk);
  if (!destination && !trunk) destination = resolve_account(uri.get_user(), domain_of(uri));
  if (!caller && !destination && to.addr_spec().get_user().starts_with("+") &&
      to.addr_spec().get_parameter("user") == "phone")
    destination = account_by_global_number(to.addr_spec().get_user());
  if (destination && (check_e911(calling_domain, account_name(destination)) ||
                      check_e911(calling_domain, uri.get_user()))) {
    log_printf(log_application, 5, "Calling user %s conflicts with emergency number",
               account_name(destination));
    destination = 0;
  }
  const str coline = uri.get_parameter("coline");
  if (destination) {
    set_canonical(to, destination);
    str global = get_global_number(account_domain(destination), uri.get_user());
    if (global != uri.get_user()) uri.set_user(global);
  } else if (caller) {
    sip_uri seen = to.addr_spec();
    seen.set_host(domains.get(account_domain(caller), domains_name));
    to.set_addr_spec(seen);
  }

  if (trunk && !destination) {
    bool sips = false;
    const bool global = trunks.get(trunk, trunks_global) == "true";
    const str trunk_name = trunks.get(trunk, trunks_name);
    const str trunk_domain_name = domains.get(trunk_domain(trunk), domains_name);
    destination = dial_extension_account(trunk, uri, to, sips);
    if (destination) {
      log_printf(log_application, 5, "%S trunk %s@%s sends call to %s in domain %s",
                 global ? "Global" : "Domain", trunk_name, trunk_domain_name,
                 account_name(destination), domains.get(account_domain(destination), domains_name));
      uri = account_uri(destination);
      if (sips) uri.set_scheme("sips");
    } else {
      log_printf(log_application, 5, "%S trunk %s@%s could not identify user for %s",
                 global ? "Global" : "Domain", trunk_name, trunk_domain_name, uri.get_user());
      if (trunks.get(trunk, trunks_dialplan) != "true") uri.clear();
    }
  }

  if (uri.empty()) {
    refuse(in.call_id, 404, "Not Found");
    return;
  }
  const bool secure = uri.get_scheme().tolower() == "sips";
  if (trunk && !search_free_trunkline(trunk)) {
    refuse(in.call_id, 500, "Line Unavailable");
    return;
  }

  int domain = caller     ? account_domain(caller)
               : loopback ? loop_domain
               : trunk    ? (destination ? account_domain(destination) : trunk_domain(trunk))
                          : 0;
  if (!domains.has_row(domain)) domain = domain_by_name("localhost");
  if (!domain) {
    log_printf(log_application, 4, "Call Reject: Could not identify domain for the call %s",
               in.sip_id);
    refuse(in.call_id, 404, "Not Found");
    return;
  }

  if (!check_additional_call(domain, 1)) {
    log_printf(log_application, 4, "Call Reject: Too many calls (domain %s)",
               domains.get(domain, domains_name));
    refuse(in.call_id, 503, "Service Unavailable");
    return;
  }
  if (caller && !extension_call_have_more_calls(caller, false, false)) {
    log_printf(log_application, 4, "Call Reject: Too many calls for extension %s",
               account_name(caller));
    refuse(in.call_id, 503, "Service Unavailable");
    return;
  }

  const int cobj = cobj_create(in.sip_id, from.content(), to.content(), domain);
  const int leg =
      leg_create(true, in.call_id, in.sip_id, from.content(), to.content(), cobj, secure);
  cobjs.set(cobj, cobj_primary_leg, id_text(leg));
  if (!charge_remote.empty()) legs.set(leg, leg_charge_remote_party, charge_remote);

  str codecs, codec_lock;
  if (caller) {
    legs.set(leg, leg_extension, id_text(caller));
    legs.set(leg, leg_charge_user, id_text(caller));
    legs.set(leg, leg_call_type, cobjs.get(cobj, cobj_ivr_type));
    cobjs.set(cobj, cobj_lang, ext_setting(caller, extensions_language_audio));
    codecs = ext_setting(caller, extensions_codecs);
    codec_lock = ctrl_read_registry(ctrl_settings::codec_lock) == "true" ? "true" : "false";
  } else if (trunk) {
    legs.set(leg, leg_trunk, id_text(trunk));
    legs.set(leg, leg_call_type, "trunk");
    codecs = trunks.get(trunk, trunks_codecs);
    codec_lock = trunks.get(trunk, trunks_codec_lock) == "false" ? "false" : "true";
  }
  if (!codecs.empty()) {
    post_command(msg::set_codecs{in.call_id, codecs, codec_lock});
  }

  if (!in.id.empty()) legs.set(leg, leg_registration, in.id);
  if (in.privacy == "true") cobjs.set(cobj, cobj_clip, "true");
  legs.set(leg, leg_source, in.transport);
  if (!diversion.empty()) cobjs.set(cobj, cobj_diversion, diversion);
  bind_shared_lines(cobj, leg, caller, coline);

  if (!in.replaces.empty() && caller) {
    if (int found = replaced_leg(domain, in.replaces)) {
      replace_call(found, leg, true);
      msg::dialog_response ok;
      ok.call_id = in.call_id;
      ok.code = "200";
      ok.method = "INVITE";
      ok.explanation = "Ok";
      dialog_response(ok);
    } else {
      cobj_hangup(cobj, 404, "Not Available");
    }
    return;
  }
  dial_a_number(caller, cobj, uri.serialize(), to.content());
}
