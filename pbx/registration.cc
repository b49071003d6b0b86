#include "pbx/registration.h"

#include <algorithm>
#include <map>
#include <vector>

#include "base/log.h"
#include "db/schema.h"
#include "frame/queues.h"
#include "frame/settings.h"
#include "frame/side_context.h"
#include "pbx/accounts.h"
#include "sip/from_to_spec.h"
#include "sip/notify_body.h"
#include "sip/sip_messages.h"

namespace {

// Answers go to the SIP half through the side's post (ctrl_context).
void post_to_sip(const str& text) { ctrl_ctx().post(text); }

void clamp_expires(int& expires) {
  int min_e = std::max(1, setting_value(ctrl_settings::min_expires, 30));
  int max_e = std::max(min_e, setting_value(ctrl_settings::max_expires, 360));
  expires = std::max(min_e, std::min(max_e, expires));
}

// The expiry of a binding granted expires seconds: the relative date, and the absolute one
// (empty unless save_registration is "true").
void expiry_dates(int expires, str& rdate, str& adate) {
  rtimestamp until = clock_now() + s2ticks(expires > 0 ? expires + 15 : 0);
  rdate = rtimestamp_serialize(until);
  adate.clear();
  if (ctrl_read_registry(ctrl_settings::save_registration) == "true") {
    atimestamp abs = wall_now() + int64_t(expires > 0 ? expires + 15 : 0) * 1000;
    adate = atimestamp_serialize(abs);
  }
}

void set_dates(int row, int expires) {
  str rdate, adate;
  expiry_dates(expires, rdate, adate);
  registrations.set(row, registrations_rdate, rdate);
  if (!adate.empty()) registrations.set(row, registrations_adate, adate);
}

std::vector<int> rows_where(const str& col, const str& val) {
  std::vector<int> out;
  for (int r = registrations.first(col, val); r; r = registrations.next(r, col)) {
    if (registrations.get(r, col) == val) out.push_back(r);
  }
  return out;
}

bool token_listed(const str& list, const char* token) {
  for (size_t i = 0;; i++) {
    str item = list.get_field(i, ',');
    if (item.empty() && list.get_rest(i, ',').empty()) return false;
    if (item.strip().icmp(token)) return true;
  }
}

}  // namespace

str voicemail_summary(int account) {
  int counts[4] = {0, 0, 0, 0};  // new, old, urgent new, urgent old (urgent ones in the totals)
  const str owner = id_text(account);
  for (int r = messages.first(messages_user, owner); r; r = messages.next(r, messages_user)) {
    if (messages.get(r, messages_user) != owner) continue;
    if (messages.get(r, messages_type) == "com") continue;  // still being recorded
    const bool is_new = messages.get(r, messages_new) == "true";
    const bool urgent = messages.get(r, messages_attribute) == "urgent";
    counts[is_new ? 0 : 1]++;
    if (urgent) counts[is_new ? 2 : 3]++;
  }
  const int domain = users.get(account, users_domain).value();
  str mailbox = domains.get(domain, domains_mb_prefix) + account_name(account);
  return message_summary_body(mailbox, counts[0], counts[1], counts[2], counts[3]);
}

bool send_mwi(int account) {
  if (!is_extension(account)) return false;
  const int e = extension_row(account);
  if (extensions.get(e, extensions_mwi) == "false") return false;
  int counts[4] = {0, 0, 0, 0};
  const str owner = id_text(account);
  for (int r = messages.first(messages_user, owner); r; r = messages.next(r, messages_user)) {
    if (messages.get(r, messages_user) != owner) continue;
    if (messages.get(r, messages_type) == "com") continue;  // still being recorded
    const bool is_new = messages.get(r, messages_new) == "true";
    counts[is_new ? 0 : 1]++;
    if (messages.get(r, messages_attribute) == "urgent") counts[is_new ? 2 : 3]++;
  }
  const str summary = str::sprintf("%d/%d (%d/%d)", counts[0], counts[1], counts[2], counts[3]);
  if (summary == extensions.get(e, extensions_vm_indicator)) {
    log_printf(log_application, 5, "Nothing changed in the MWI state %s on user %s", summary,
               account_name(account));
    return false;
  }
  extensions.set(e, extensions_vm_indicator, summary);
  const str body = voicemail_summary(account);
  for (int r = registrations.first(registrations_tuser, owner); r;
       r = registrations.next(r, registrations_tuser)) {
    if (registrations.get(r, registrations_tuser) != owner) continue;
    if (registrations.get(r, registrations_event) != c_message_summary) continue;
    post_to_sip(soap_write(msg::subscription_notify{registrations.get(r, registrations_callid),
                                                    c_message_summary,
                                                    c_application_message_summary, body}));
  }
  return true;
}

// The accounts named in a list column of an extension (buddies, presence): names separated by
// commas or white space, each looked up in the domain; names that do not resolve are left out.
static std::vector<int> listed_accounts(const str& list, int domain) {
  std::vector<int> out;
  for (size_t i = 0;; i++) {
    str name = list.get_field(i, ", \t");
    if (name.empty()) return out;
    if (int a = account_by_name(name, domain)) out.push_back(a);
  }
}

// Whether a list column of an extension account names account. A non-extension lists none.
static bool lists_account(int owner, const str& column, int account) {
  if (!is_extension(owner)) return false;
  const str list = extensions.get(extension_row(owner), column);
  for (int a : listed_accounts(list, account_domain(owner)))
    if (a == account) return true;
  return false;
}

bool may_watch_dialogs(int watcher, int watched) {
  if (!watcher || !watched || account_domain(watcher) != account_domain(watched)) return false;
  if (watcher == watched || !is_extension(watched)) return true;
  return lists_account(watcher, extensions_buddies, watched) ||
         lists_account(watched, extensions_buddies, watcher);
}

static bool has_plain_binding(int account) {
  for (int r : rows_where(registrations_tuser, id_text(account)))
    if (registrations.get(r, registrations_event).empty()) return true;
  return false;
}

// The RFC 4235 state and direction of an account's calls, from the legs that belong to it: a
// leg in a call (connected or on hold on either side) is "confirmed", one that rings "early";
// without such a leg the account is idle (no dialog). A leg that called in was placed by the
// account ("initiator"); one the PBX started rings it ("recipient").
struct account_dialog {
  str state, direction;
};
static account_dialog dialog_of(int account) {
  account_dialog d;
  const str id = id_text(account);
  for (int l = legs.first(leg_extension, id); l; l = legs.next(l, leg_extension)) {
    if (legs.get(l, leg_extension) != id) continue;
    const str state = legs.get(l, leg_state);
    const bool in_call = state == "connected" || state == "holding" || state == "onhold";
    const bool ringing = state == "alerting" || state == "ringback";
    if (!in_call && (!ringing || !d.state.empty())) continue;
    d.state = in_call ? "confirmed" : "early";
    d.direction = legs.get(l, leg_inbound) == "true" ? "initiator" : "recipient";
    if (in_call) break;
  }
  return d;
}

// The NOTIFY version of a subscription: counted in its row's dv column.
static int next_dialog_version(const str& call_id) {
  int row = registrations.first(registrations_callid, call_id);
  int version = registrations.get(row, registrations_dialog_version).value();
  if (row) registrations.set(row, registrations_dialog_version, id_text(version + 1));
  return version;
}

// The feature state of an account (as-feature-event): do-not-disturb and the three kinds of
// forwarding, one document each. An account that is not an extension has none of them on.
static std::vector<std::pair<str, str>> feature_state(int account) {
  const str device = account_name(account);
  str dnd, cfa, cfb, cfn;
  if (is_extension(account)) {
    int e = extension_row(account);
    dnd = extensions.get(e, extensions_dnd);
    cfa = extensions.get(e, extensions_cfa).strip();
    cfb = extensions.get(e, extensions_cfb).strip();
    cfn = extensions.get(e, extensions_cfn).strip();
  }
  return {{c_application_feature_event, dnd_event_body(device, dnd == "true")},
          {c_application_feature_event,
           forwarding_event_body(device, "forwardImmediate", !cfa.empty(), cfa)},
          {c_application_feature_event,
           forwarding_event_body(device, "forwardBusy", !cfb.empty(), cfb)},
          {c_application_feature_event,
           forwarding_event_body(device, "forwardNoAns", !cfn.empty(), cfn)}};
}

// Applies the feature change an as-feature-event SUBSCRIBE carries to the account (an
// extension); false when body is no change this system knows.
static bool apply_feature_change(int account, const str& body) {
  feature_change c;
  if (!is_extension(account) || !parse_feature_change(body, c)) return false;
  int e = extension_row(account);
  if (c.dnd) {
    extensions.set(e, extensions_dnd, c.on ? str_t : str_f);
    log_printf(log_registrations, 5, "Account %s turned do not disturb %S", account_name(account),
               c.on ? "on" : "off");
    return true;
  }
  const str& column = c.forwarding_type == "forwardImmediate" ? extensions_cfa
                      : c.forwarding_type == "forwardBusy"    ? extensions_cfb
                                                              : extensions_cfn;
  // Switching on without a destination keeps the one stored.
  if (!c.on) {
    extensions.set(e, column, str());
  } else if (!c.destination.empty()) {
    extensions.set(e, column, c.destination);
  }
  log_printf(log_registrations, 5, "Account %s changed %s to \"%s\"", account_name(account),
             c.forwarding_type, extensions.get(e, column));
  return true;
}

// The NOTIFYs that follow the answer to a new subscription (content type, body), by event;
// account is the account subscribed to.
static std::vector<std::pair<str, str>> initial_notify(const registration_request_input& in,
                                                       int account) {
  const str event = in.event.get_field(0, ';').strip().tolower();
  const str entity = from_to_spec(in.to).addr_spec().serialize();
  const bool eventlist = token_listed(in.supported, "eventlist");
  if (event == c_message_summary)
    return {{c_application_message_summary, voicemail_summary(account)}};
  if ((event == "dialog" || event == "presence") && eventlist) {
    // The list of the accounts the subscriber watches: its buddies (dialog state) or its
    // presence list.
    resolved_account from = resolve_account(in.from);
    str list =
        is_extension(from.account)
            ? extensions.get(extension_row(from.account),
                             event == "dialog" ? extensions_buddies : extensions_presence_buddies)
            : str();
    std::vector<list_resource> resources;
    for (int a : listed_accounts(list, from.domain)) {
      str uri = account_uri(a);
      if (event == "dialog") {
        const account_dialog d = dialog_of(a);
        resources.push_back(
            {uri, c_application_dialog_info, dialog_info_body(uri, 0, d.state, d.direction)});
      } else {
        resources.push_back({uri, c_application_pidf, pidf_body(uri, has_plain_binding(a))});
      }
    }
    str content_type;
    str body = rlmi_list_body(entity, next_dialog_version(in.call_id), resources, content_type);
    return {{content_type, body}};
  }
  if (event == "dialog") {
    const account_dialog d = dialog_of(account);
    return {{c_application_dialog_info,
             dialog_info_body(entity, next_dialog_version(in.call_id), d.state, d.direction)}};
  }
  if (event == "presence")
    return {{c_application_pidf, pidf_body(entity, has_plain_binding(account))}};
  if (event == c_as_feature_event) return feature_state(account);
  // presence.winfo and x-tapi: nothing.
  return {};
}

resolved_account resolve_account(const str& address) {
  from_to_spec name_addr(address);
  resolved_account r;
  r.domain = domain_by_name(name_addr.addr_spec().get_host());
  r.account = account_by_name(name_addr.addr_spec().get_user(), r.domain);
  return r;
}

// Steps 2 to 4 of the decision, those that need only the two addresses: the From account
// resolves and is enabled, the To account resolves (an orbit through the domain's park code),
// both lie in one domain, and the From account is an extension. {0, ""} when all hold; from
// and to are resolved on the way.
static address_refusal check_addresses(const str& from_text, const str& to_text,
                                       resolved_account& from, resolved_account& to) {
  from = resolve_account(from_text);
  to = resolve_account(to_text);
  if (!to.account && to.domain) {
    str code = domains.get(to.domain, domains_code_park);
    str user = from_to_spec(to_text).addr_spec().get_user();
    if (!code.empty() && user.starts_with(code))
      to.account = account_by_name(user.substr(code.length()), to.domain);
  }
  if (!from.account || users.get(from.account, users_disabled) == "true") {
    if (!from.domain && domains.size() == 1) {
      log_printf(log_registrations, 5,
                 "You have only one domain and the domain %s cannot be found, consider using "
                 "\"localhost\" as the domain name",
                 from_to_spec(from_text).addr_spec().get_host());
    }
    return {404, "Not Found"};
  }
  if (!to.account) return {404, "Not Found"};
  if (from.domain != to.domain) return {403, "Forbidden"};
  if (!is_extension(from.account)) return {404, "Registration Not Possible"};
  return {};
}

register_policy get_register_policy(const get_register_policy_input& in) {
  register_policy p;
  resolved_account to, from;
  p.refusal = check_addresses(in.from, in.to, from, to);
  p.found = to.account != 0;
  if (p.refusal.code) {
    log_printf(log_registrations, 5, "Refusing registration from %s (From %s, To %s): %d %s",
               in.adr, in.from, in.to, p.refusal.code, p.refusal.reason);
    return p;
  }
  from_to_spec name_addr(in.from);
  p.permitted = extensions.get(extension_row(from.account), extensions_auth_adr);
  p.realm = name_addr.addr_spec().get_host();
  p.user = name_addr.addr_spec().get_user();
  p.password = extensions.get(extension_row(from.account), extensions_password);
  return p;
}

// The events a subscription may name; the empty event is a plain registration.
static bool known_event(const str& event) {
  return event.empty() || event == "message-summary" || event == "dialog" ||
         event == "as-feature-event" || event == "x-tapi" || event == "presence" ||
         event == "presence.winfo";
}

// Contact: * removes every binding of the account for this event; only with expires 0.
static registration_answer remove_all_bindings(const str& event, const resolved_account& to,
                                               int expires) {
  if (expires != 0) {
    log_printf(log_registrations, 5,
               "Registration: Cannot remove all registrations after a duration");
    return {200, "OK", 0};
  }
  if (event.empty()) {
    log_printf(log_registrations, 5, "Account %s requested clearing of registration database",
               account_name(to.account));
  }
  for (int r : rows_where(registrations_tuser, id_text(to.account)))
    if (registrations.get(r, registrations_event) == event) registrations.delete_row(r);
  return {200, "OK", 0};
}

// The row of the binding this request refreshes: by instance, else by Call-ID, else by the
// account's contact; 0 for a new binding.
static int find_binding(const registration_request_input& in, const str& event, const str& tuser) {
  auto of_event = [&](int r) { return registrations.get(r, registrations_event) == event; };
  int row = 0;
  if (!in.instance.empty()) {
    for (int r : rows_where(registrations_instance, in.instance))
      if (of_event(r) && registrations.get(r, registrations_tuser) == tuser) row = r;
  }
  if (row) return row;
  for (int r : rows_where(registrations_callid, in.call_id))
    if (of_event(r)) row = r;
  if (row) return row;
  for (int r : rows_where(registrations_tuser, tuser))
    if (of_event(r) && registrations.get(r, registrations_contact) == in.contact) row = r;
  return row;
}

// max_regs: the setting, overridden by the domain's, overridden by the extension's.
static bool binding_limit_reached(const resolved_account& to) {
  int limit = setting_value(ctrl_settings::max_regs, 5);
  str d = domains.get(to.domain, domains_max_regs).strip();
  if (d.is_number()) limit = d.value();
  str e = is_extension(to.account)
              ? extensions.get(extension_row(to.account), extensions_max_regs).strip()
              : str();
  if (e.is_number()) limit = e.value();
  int count = 0;
  for (int r : rows_where(registrations_tuser, id_text(to.account)))
    if (registrations.get(r, registrations_event).empty()) count++;
  return count >= limit;
}

// Writes every column of the binding's row at once. The row keeps its texts for the binding's
// lifetime: they are packed into one buffer of their own (the input's texts are windows on the
// whole message they arrived in).
static void write_binding(int row, const registration_request_input& in, const str& event,
                          const resolved_account& from, const resolved_account& to, int expires) {
  str rdate, adate;
  expiry_dates(expires, rdate, adate);
  const bool buttons = event.empty() && (token_listed(in.proxy_require, "buttons") ||
                                         token_listed(in.supported, "buttons"));
  struct cell {
    const str& column;
    str text;
    bool only_when_set = false;  // an empty text leaves the stored value
  } cells[] = {{registrations_domain, id_text(from.domain)},
               {registrations_from, in.from},
               {registrations_to, in.to},
               {registrations_fuser, id_text(from.account)},
               {registrations_tuser, id_text(to.account)},
               {registrations_event, event},
               {registrations_parameter, in.event_parameters},
               {registrations_callid, in.call_id},
               {registrations_instance, in.instance},
               {registrations_contact, in.contact},
               {registrations_www, in.www},
               {registrations_user_agent, in.user_agent},
               {registrations_adr, in.adr},
               // A phone that asks for buttons is marked; the button profile decides what it
               // is sent.
               {registrations_buttons, buttons ? str_t : str(), true},
               {registrations_rdate, rdate},
               {registrations_adate, adate, true}};
  std::vector<str*> texts;
  for (cell& c : cells) texts.push_back(&c.text);
  pack_texts(texts);
  for (const cell& c : cells) {
    if (!c.text.empty() || !c.only_when_set) registrations.set(row, c.column, c.text, false);
  }
  registrations.write_row(row);
}

registration_answer registration_request(const registration_request_input& in) {
  const str event = in.event.get_field(0, ';').strip().tolower();
  if (!known_event(event)) return {489, "Bad Event", 0};
  resolved_account from, to;
  const address_refusal refused = check_addresses(in.from, in.to, from, to);
  if (refused.code) return {refused.code, refused.reason, 0};
  if (event == "dialog" && !may_watch_dialogs(from.account, to.account)) {
    log_printf(log_registrations, 5, "Account %s may not watch the calls of account %s",
               account_name(from.account), account_name(to.account));
    return {403, "Forbidden", 0};
  }

  if (!in.expires.strip().is_number()) {
    log_printf(log_registrations, 3, "Registration: Cannot handle expiration %s", in.expires);
  }
  int expires = in.expires.strip().value();
  const bool plain = event.empty();
  if (in.contact.strip() == "*") return remove_all_bindings(event, to, expires);

  int row = find_binding(in, event, id_text(to.account));
  if (expires == 0) {
    if (row) {
      if (plain) {
        log_printf(log_registrations, 5, "Account %s is removing a registration",
                   account_name(to.account));
      }
      registrations.delete_row(row);
    }
    return {200, "OK", 0};
  }
  if (!row && plain) {
    if (binding_limit_reached(to)) return {403, "Too Many Registrations", 0};
    log_printf(log_registrations, 5, "Account %s is registering a new contact (%s)",
               account_name(to.account), in.contact);
  }
  const bool is_new = row == 0;
  if (!row) row = registrations.add_row(false);
  clamp_expires(expires);
  write_binding(row, in, event, from, to, expires);
  if (event == c_as_feature_event && !in.body.strip().empty())
    apply_feature_change(from.account, in.body);
  return {200, "OK", expires, is_new && !plain, to.account};
}

void registration_request_update(const str& call_id, unsigned, const str& expires,
                                 const str& body) {
  int e = expires.strip().value();
  clamp_expires(e);
  for (int r : rows_where(registrations_callid, call_id)) {
    set_dates(r, e);
    registrations.write_row(r);
    // A refreshing as-feature-event SUBSCRIBE may carry a change too; the phone learns the
    // new state from the NOTIFYs that follow.
    if (registrations.get(r, registrations_event) != c_as_feature_event || body.strip().empty())
      continue;
    if (!apply_feature_change(registrations.get(r, registrations_fuser).value(), body)) continue;
    for (const auto& [ct, b] : feature_state(registrations.get(r, registrations_tuser).value())) {
      post_to_sip(soap_write(msg::subscription_notify{call_id, c_as_feature_event, ct, b}));
    }
  }
}

void registration_expires(const str& call_id) {
  for (int r : rows_where(registrations_callid, call_id)) {
    if (registrations.get(r, registrations_event).empty()) {
      int account = registrations.get(r, registrations_tuser).value();
      log_printf(log_registrations, 5, "Registration for account %s expired, removing contact %s",
                 account_name(account), registrations.get(r, registrations_contact));
    }
    delete_a_registration(r);
  }
}

bool registration_still_valid(int row, const rtimestamp& now) {
  if (!registrations.has_row(row)) return false;
  rtimestamp until = rtimestamp_parse(registrations.get(row, registrations_rdate));
  if (until != 0 && until >= now) return true;
  delete_a_registration(row);
  return false;
}

void delete_a_registration(int row) { registrations.delete_row(row); }

std::vector<kept_registration> registrations_after_restart(const rtimestamp& now) {
  std::vector<int> rows;
  for (int r = registrations.first(); r; r = registrations.next(r)) rows.push_back(r);
  std::vector<kept_registration> out;
  for (int r : rows) {
    if (!registration_still_valid(r, now)) continue;
    // The date is on the monotonic clock, which starts again when the host reboots; no binding
    // has more left than the longest expiry granted.
    rtimestamp until = rtimestamp_parse(registrations.get(r, registrations_rdate));
    int64_t longest_ms = int64_t(setting_value(ctrl_settings::max_expires, 360) + 15) * 1000;
    out.push_back(
        {registrations.get(r, registrations_callid), registrations.get(r, registrations_from),
         registrations.get(r, registrations_to), registrations.get(r, registrations_event),
         registrations.get(r, registrations_adr), registrations.get(r, registrations_contact),
         std::min((until - now) / ns_per_ms, longest_ms)});
  }
  return out;
}

bool registration_on_soap(const str& text) {
  soap_envelope e;
  return soap_parse(text, e) && registration_on_soap(e);
}

bool registration_on_soap(const soap_envelope& e) {
  if (msg::get_register_policy m; soap_read(e, m)) {
    register_policy p = get_register_policy({m.call_id, m.adr, m.to, m.from});
    post_to_sip(soap_write(msg::set_register_policy{m.call_id, p.found ? str_t : str_f, p.permitted,
                                                    p.realm, p.user, p.password,
                                                    id_text(p.refusal.code), p.refusal.reason}));
    return true;
  }
  if (msg::register_request m; soap_read(e, m)) {
    registration_request_input in;
    in.adr = m.adr;
    in.from = m.from;
    in.to = m.to;
    in.call_id = m.call_id;
    in.cseq = m.cseq.uvalue();
    in.expires = m.expires;
    in.contact = m.contact;
    in.event = m.event;
    in.event_parameters = m.event_parameters;
    in.instance = m.instance;
    in.www = m.www;
    in.user_agent = m.user_agent;
    in.supported = m.supported;
    in.proxy_require = m.proxy_require;
    in.body = m.body;
    registration_answer a = registration_request(in);
    post_to_sip(soap_write(
        msg::register_response{in.call_id, m.cseq, id_text(a.code), a.reason, id_text(a.expires)}));
    const str event = in.event.get_field(0, ';').strip().tolower();
    // A new subscription gets its initial state; an as-feature-event SUBSCRIBE that carried a
    // change gets the state after it.
    const bool changed = event == c_as_feature_event && !in.body.strip().empty();
    if (a.code < 300 && a.expires > 0 && (a.new_subscription || changed)) {
      for (const auto& [ct, body] : initial_notify(in, a.account)) {
        post_to_sip(soap_write(msg::subscription_notify{in.call_id, event, ct, body}));
      }
    }
    return true;
  }
  if (msg::rru m; soap_read(e, m)) {
    registration_request_update(m.call_id, m.cseq.uvalue(), m.expires, m.body);
    return true;
  }
  if (msg::register_expires m; soap_read(e, m)) {
    registration_expires(m.call_id);
    return true;
  }
  return false;
}

void install_registration() {
  set_soap_on_request([](const str& text) { registration_on_soap(text); });
}

// The dialog state each dialog subscription was last told ("direction state"), while it is
// not idle: a change that leaves the state as it was sends nothing, and the end of a call is
// told as a terminated dialog before the watched account shows no dialog again.
static std::map<str, str>& told_dialog_states() {
  static std::map<str, str> told;
  return told;
}

void dialog_state_changed(int account) {
  if (!account) return;
  const account_dialog d = dialog_of(account);
  for (int r : rows_where(registrations_tuser, id_text(account))) {
    const str event = registrations.get(r, registrations_event);
    const str call_id = registrations.get(r, registrations_callid);
    const str entity = from_to_spec(registrations.get(r, registrations_to)).addr_spec().serialize();
    if (event == "dialog") {
      auto told = told_dialog_states().find(call_id);
      const str before = told == told_dialog_states().end() ? str() : told->second;
      const str now = d.state.empty() ? str() : d.direction + " " + d.state;
      if (now == before) continue;
      str state = d.state, direction = d.direction;
      if (now.empty()) {
        // The call ended: its dialog is told terminated once.
        direction = before.get_field(0);
        state = "terminated";
        told_dialog_states().erase(told);
      } else {
        told_dialog_states()[call_id] = now;
      }
      str body = dialog_info_body(entity, next_dialog_version(call_id), state, direction);
      post_to_sip(
          soap_write(msg::subscription_notify{call_id, event, c_application_dialog_info, body}));
    } else if (event == "presence") {
      post_to_sip(soap_write(msg::subscription_notify{
          call_id, event, c_application_pidf, pidf_body(entity, has_plain_binding(account))}));
    }
  }
}
