#include "pbx/trunks.h"

#include <set>
#include <vector>

#include "base/log.h"
#include "base/random.h"
#include "db/schema.h"
#include "frame/settings.h"
#include "pbx/accounts.h"
#include "pbx/call_state.h"

namespace {

// Adds the words of a space-separated list that out does not hold yet, in their order.
void add_words(std::vector<str>& out, std::set<str>& seen, const str& list) {
  size_t i = 0;
  while (i < list.length()) {
    while (i < list.length() && list[i] == ' ') i++;
    const size_t start = i;
    while (i < list.length() && list[i] != ' ') i++;
    const str w = list.substr(start, i - start);
    if (!w.empty() && seen.insert(w).second) out.push_back(w);
  }
}

str joined(const std::vector<str>& words) {
  str out;
  for (const str& w : words) {
    if (!out.empty()) out += ' ';
    out += w;
  }
  return out;
}

str flag(const str& value) { return value == str_t ? str_t : str_f; }

// The names of the domain: its name (which may list several) and its aliases.
str domain_names(int domain) {
  std::vector<str> out;
  std::set<str> seen;
  add_words(out, seen, domains.get(domain, domains_name));
  for (int a = domain_alias.first(); a; a = domain_alias.next(a))
    if (domain_alias.get(a, domain_alias_domain).value() == domain)
      add_words(out, seen, domain_alias.get(a, domain_alias_name));
  return joined(out);
}

// The numbers a trunk of the domain answers for: every alias of the domain's accounts; only the
// global ones ("+") when the domain has a country code.
str domain_dids(int domain) {
  const bool global_only = !domains.get(domain, domains_country_code).empty();
  std::vector<str> out;
  std::set<str> seen;
  for (int a = user_alias.first(); a; a = user_alias.next(a)) {
    if (user_alias.get(a, user_alias_domain).value() != domain) continue;
    const str name = user_alias.get(a, user_alias_name);
    if (global_only && !name.starts_with("+")) continue;
    add_words(out, seen, name);
  }
  return joined(out);
}

str numeric_or(const str& value, const str& fallback) {
  const str v = value.strip();
  return v.is_number() ? v : fallback;
}

bool in_trigger = false;

}  // namespace

int trunk_domain(int trunk) {
  const str d = trunks.get(trunk, trunks_domain);
  return d.is_number() ? d.value() : domain_by_name(d);
}

bool search_free_trunkline(int trunk, int* line) {
  if (line) *line = 0;
  const str key = id_text(trunk);
  if (!colines.first(coline_trunk, key)) return true;
  for (int c = colines.first(); c; c = colines.next(c)) {
    if (colines.get(c, coline_trunk) != key || !colines.get(c, coline_leg).empty()) continue;
    if (line) *line = c;
    return true;
  }
  return false;
}

str get_trunk_ani(int trunk, int account, bool emergency) {
  if (!users.has_row(account)) return str();
  if (emergency && is_extension(account)) {
    const str eani = extensions.get(extension_row(account), extensions_emergency_ani);
    if (!eani.empty()) return eani;
  }
  if (trunks.get(trunk, trunks_use_epid) == str_t) {
    str epid = users.get(account, users_epid);
    if (epid.empty()) {
      // Ten digits that no other account has.
      do {
        epid = str::sprintf("%d%09d", random_range(1, 9), random_range(0, 999999999));
      } while (users.first(users_epid, epid));
      users.set(account, users_epid, epid);
      log_printf(log_trunks, 5, "Generated EPID %s for user %s", epid, account_name(account));
    }
    return epid;
  }
  const str ani = users.get(account, users_ani);
  if (!ani.empty()) return ani;
  return domains.get(account_domain(account), domains_ani);
}

msg::setup_trunk trunk_setup_message(int t) {
  auto col = [t](const str& column) { return trunks.get(t, column); };
  const int d = trunk_domain(t);
  msg::setup_trunk m;
  m.key = id_text(t);
  m.name = col(trunks_name);
  m.reg_display = col(trunks_reg_display);
  m.account = col(trunks_reg_account);
  m.registrar = col(trunks_reg_registrar);
  m.auth_user = col(trunks_reg_user).empty() ? m.account : col(trunks_reg_user);
  m.password = col(trunks_reg_pass);
  m.expires = numeric_or(col(trunks_expires), "3600");
  m.keep = numeric_or(col(trunks_reg_keep), str());
  m.request_timeout = numeric_or(col(trunks_request_timeout),
                                 id_text(setting_value(ctrl_settings::max_ring_duration, 60) + 32));
  m.outbound_proxy = col(trunks_outbound_proxy);
  m.aadr = col(trunks_associated_addresses);
  m.domain_names = domain_names(d);
  m.dids = domain_dids(d);
  m.country_code = domains.get(d, domains_country_code);
  m.area_code = domains.get(d, domains_area_code).lstrip('0');
  m.direction = col(trunks_direction);
  m.disabled = flag(col(trunks_disabled));
  m.require = col(trunks_require);
  m.rfcrtp = flag(col(trunks_rfcrtp));
  m.analog = flag(col(trunks_analog));
  m.dtmf = flag(col(trunks_dtmf));
  m.use_uuid = col(trunks_use_uuid) == str_f ? str_f : str_t;
  m.uuid = col(trunks_uuid);
  m.icid = col(trunks_icid_value);
  return m;
}

void setup_trunk(int trunk) {
  if (!trunks.has_row(trunk) || trunks.get(trunk, trunks_name).empty()) {
    post_command(msg::delete_trunk{id_text(trunk)});
    return;
  }
  post_command(trunk_setup_message(trunk));
}

void trunk_trigger(const str&, int trunk) {
  // Setting a trunk up writes no trunks row today; should it ever, the write must not set the
  // trunk up again from inside.
  if (in_trigger) return;
  in_trigger = true;
  setup_trunk(trunk);
  in_trigger = false;
}

void init_trunks() {
  for (int t = trunks.first(); t; t = trunks.next(t)) setup_trunk(t);
  trunks.set_trigger(trunk_trigger);
}

void trunk_status(const msg::trunk_status& in) {
  const int t = in.key.is_number() ? in.key.value() : 0;
  if (!trunks.has_row(t)) {
    log_printf(log_trunks, 4, "Status of unknown trunk %s", in.key);
    return;
  }
  str status = in.status;
  if (!in.text.empty()) status += status.empty() ? in.text : " (" + in.text + ")";
  trunks.set(t, trunks_status, status, true, false);
}

bool trunks_on_soap(const str& text) {
  msg::trunk_status m;
  if (!soap_read(text, m)) return false;
  trunk_status(m);
  return true;
}

msg::set_dialog_credentials trunk_credentials(int trunk, const str& leg_id) {
  const str account = trunks.get(trunk, trunks_reg_account);
  const str user = trunks.get(trunk, trunks_reg_user);
  const long at = account.find('@');
  return {leg_id, at >= 0 ? account.substr(at + 1) : trunks.get(trunk, trunks_reg_registrar),
          user.empty() ? account : user, trunks.get(trunk, trunks_reg_pass)};
}
