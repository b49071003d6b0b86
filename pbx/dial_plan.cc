#include "pbx/dial_plan.h"

#include <algorithm>
#include <cstdlib>
#include <map>
#include <unordered_map>
#include <vector>

#include "base/log.h"
#include "db/schema.h"
#include "frame/settings.h"
#include "pbx/accounts.h"
#include "pbx/admission.h"
#include "pbx/call_state.h"
#include "pbx/dial_pattern.h"
#include "pbx/email.h"
#include "pbx/number_forms.h"
#include "pbx/trunks.h"
#include "sip/from_to_spec.h"
#include "sip/sip_uri.h"

namespace {

// ---- Telephone patterns ----

bool dialable(char c) { return (c >= '0' && c <= '9') || str::one_of(c, "#*+-"); }

bool match_set(const char* p, const char* end, char c) {
  if (p == end) return false;
  bool hit = false;
  while (p < end) {
    char lo = *p++;
    if (p + 1 < end && *p == '-') {
      char hi = p[1];
      if (hi <= lo) return false;
      hit = hit || (c >= lo && c <= hi);
      p += 2;
    } else {
      hit = hit || c == lo;
    }
  }
  return hit;
}

bool match_tel(const char* n, const char* p) {
  for (;; p++, n++) {
    switch (*p) {
      case 0:
        return *n == 0;
      case '*':
      case '%':
        for (const char* k = n;; k++) {
          if (match_tel(k, p + 1)) return true;
          if (!*k || (*p == '%' && !dialable(*k))) return false;
        }
      case '?':
        if (!*n) return false;
        break;
      case '$':
        if (!dialable(*n)) return false;
        break;
      case '[': {
        const char* end = p + 1;
        while (*end && *end != ']') end++;
        if (!*end || !*n || !match_set(p + 1, end, *n)) return false;
        p = end;
        break;
      }
      case '\\':
        if (p[1]) p++;
        [[fallthrough]];
      default:
        if (*n != *p) return false;
    }
  }
}

// ---- Dial plan entries ----

// An entry as routing uses it: its texts and its substitution expression, prepared once.
struct entry {
  int row;
  int preference;
  str trunk, cmc, expression;
  dial_expression evaluate;  // the substitution of the entry
  dial_expression match;     // the pattern alone, with a replacement that is never empty
};

str entry_text(int row, const str& column) { return dial_plan_entry.get(row, column); }

entry prepare(int row) {
  entry e;
  e.row = row;
  e.preference = static_cast<int>(
      std::strtol(entry_text(row, dial_plan_entry_preference).c_str(), nullptr, 10));
  e.trunk = entry_text(row, dial_plan_entry_trunk);
  e.cmc = entry_text(row, dial_plan_entry_cmc);
  const str pattern = expand_dial_pattern(entry_text(row, dial_plan_entry_pattern));
  const str written = entry_text(row, dial_plan_entry_replacement);
  // Without replacement, a "+" entry names the number itself and a "-" entry refuses whatever
  // its pattern matches.
  str replacement = written;
  if (e.trunk.is_number() || e.trunk == "*")
    replacement = expand_dial_replacement(written);
  else if (written.empty())
    replacement = e.trunk == "-" ? "-" : "\\1";
  e.expression = "!" + pattern + "!" + replacement + "!i";
  e.evaluate = dial_expression(e.expression);
  e.match = dial_expression("!" + pattern + "!m!i");
  return e;
}

// The prepared entries of each plan, by preference (equal preferences in row order). Every
// notified write of a dial_plan_entry row (the table's trigger) and every change of the
// table's size or next row number (a reload) prepares them again.
struct prepared_plans {
  unsigned generation = 1;
  struct plan {
    unsigned generation = 0;
    int size = 0, next_row = 0;
    std::vector<entry> entries;
  };
  std::unordered_map<int, plan> plans;
} prepared;

void entries_changed(const str&, int) { prepared.generation++; }

const std::vector<entry>& entries_of(int plan_row) {
  static bool watching = false;
  if (!watching) {
    dial_plan_entry.set_trigger(entries_changed);
    watching = true;
  }
  prepared_plans::plan& p = prepared.plans[plan_row];
  if (p.generation == prepared.generation && p.size == dial_plan_entry.size() &&
      p.next_row == dial_plan_entry.get_index())
    return p.entries;
  p.generation = prepared.generation;
  p.size = dial_plan_entry.size();
  p.next_row = dial_plan_entry.get_index();
  p.entries.clear();
  const str key = id_text(plan_row);
  for (int r = dial_plan_entry.first(dial_plan_entry_id, key); r;
       r = dial_plan_entry.next(r, dial_plan_entry_id)) {
    if (dial_plan_entry.get(r, dial_plan_entry_id) != key) break;
    p.entries.push_back(prepare(r));
  }
  std::stable_sort(p.entries.begin(), p.entries.end(), [](const entry& a, const entry& b) {
    return a.preference != b.preference ? a.preference < b.preference : a.row < b.row;
  });
  return p.entries;
}

// "\r" of a trunk: its registrar, else the host (and port) of its outbound proxy.
str trunk_host(int trunk) {
  const str registrar = trunks.get(trunk, trunks_reg_registrar);
  if (!registrar.empty()) return registrar;
  const str proxy = trunks.get(trunk, trunks_outbound_proxy);
  if (!proxy.istarts_with("sip:") && !proxy.istarts_with("sips:")) return proxy;
  const sip_uri uri(proxy);
  return uri.get_port().empty() ? uri.get_host() : uri.get_host() + ":" + uri.get_port();
}

// The domain a call is routed in: the caller's, else that of the trunk it came in on.
int routing_domain(int user, int trunk) {
  if (user) return account_domain(user);
  return trunk ? trunk_domain(trunk) : 0;
}

int leg_trunk_row(int leg) {
  const str t = legs.get(leg, leg_trunk);
  return t.is_number() && trunks.has_row(t.value()) ? t.value() : 0;
}

}  // namespace

bool dialplan_match_tel(const str& number, const str& pattern) {
  return match_tel(number.c_str(), pattern.c_str());
}

bool check_permission(const str& number, const str& list, bool fallback) {
  std::vector<str> items = words(list);
  if (items.empty()) return fallback;
  for (const str& item : items) {
    if (item == "*") return true;
    long dash = item.find('-');
    if (dash > 0) {
      str lo = item.leftstr(dash), hi = item.substr(dash + 1);
      if (lo.is_number() && hi.is_number()) {
        if (number.is_number() && number.value() >= lo.value() && number.value() <= hi.value())
          return true;
        continue;
      }
    }
    if (dialplan_match_tel(number, item)) return true;
  }
  return false;
}

int get_dial_plan(int user, int trunk) {
  if (user) {
    const int own = users.get(user, users_dial_plan).value();
    if (own && dial_plan.has_row(own)) return own;
    const int d = domains.get(account_domain(user), domains_default_dialplan).value();
    if (d && dial_plan.has_row(d)) return d;
    log_printf(log_application, 5, "No dial plan for user %s available", account_name(user));
    return 0;
  }
  if (trunk && trunks.get(trunk, trunks_dialplan) != str_t) {
    log_printf(log_application, 5,
               "Trunk %s may not be set to use domain dial plan for interoffice call",
               trunks.get(trunk, trunks_name));
    return 0;
  }
  const int d = trunk ? domains.get(trunk_domain(trunk), domains_default_dialplan).value() : 0;
  if (d && dial_plan.has_row(d)) return d;
  log_printf(log_application, 5, "No dial plan available");
  return 0;
}

bool find_extension_dialplan_entry(int user, const str& request_uri, int coline,
                                   dialplan_route& out, int min_preference, int leg) {
  out = dialplan_route();
  const int from_trunk = user ? 0 : leg_trunk_row(leg);
  const int plan = get_dial_plan(user, from_trunk);
  if (!plan) return false;
  return route_in_dial_plan(plan, user, routing_domain(user, from_trunk), request_uri, coline, out,
                            min_preference);
}

bool route_in_dial_plan(int plan, int user, int domain, const str& request_uri, int coline,
                        dialplan_route& out, int min_preference) {
  out = dialplan_route();
  if (!dial_plan.has_row(plan)) return false;
  auto plan_name = [plan] { return dial_plan.get(plan, dial_plan_name); };
  const sip_uri uri(request_uri);
  const str number = uri.get_user();
  const str subject = number + "@" + uri.get_host();
  // The variables of the calling user; only a matching entry needs them.
  auto user_vars = [user] {
    std::map<char, str> vars;
    if (user) {
      vars['x'] = users.get(user, users_param1);
      vars['y'] = users.get(user, users_param2);
      vars['z'] = users.get(user, users_param3);
    }
    return vars;
  };
  for (const entry& e : entries_of(plan)) {
    if (e.preference <= min_preference) continue;
    const str& trunk = e.trunk;
    const str& expression = e.expression;
    log_printf(log_application, 8, "Dialplan: Evaluating %s against %s", expression, subject);

    if (!e.match.matches(subject)) continue;
    if (trunk == "-" || trunk == "+") {
      const str result = e.evaluate.apply(subject, user_vars());
      if (result.empty()) continue;
      if (trunk == "-") {
        log_printf(log_application, 5, "Dialplan %s: %s is not allowed", plan_name(), number);
        return false;
      }
      const str name = result.contains_char(':') ? uri_user(result) : result;
      if (account_by_name(name, domain)) {
        log_printf(log_application, 5, "Dialplan \"%s\": %s goes to extension", plan_name(), name);
        out.destination = name;
        out.preference = e.preference;
        return true;
      }
      log_printf(log_application, 5, "Dialplan \"%s\": %s is not a known user in domain %s",
                 plan_name(), name, domains.get(domain, domains_name));
      continue;
    }
    if (trunk == "*") {
      std::map<char, str> loop_vars = user_vars();
      loop_vars['r'] = "localhost";
      loop_vars['a'] = str();
      loop_vars['c'] = str();
      const str result = e.evaluate.apply(subject, loop_vars);
      if (result.empty()) continue;
      const str global = get_global_number(domain, sip_uri(result).get_user());
      const int account = account_by_global_number(global);
      if (!account) {
        log_printf(log_application, 5,
                   "Dialplan \"%s\": %s not found in the local system for the Try Loopback",
                   plan_name(), global);
        continue;
      }
      out.destination = str::sprintf("<sip:%s@%s;user=phone>", global,
                                     domains.get(account_domain(account), domains_name));
      out.loopback = true;
      out.preference = e.preference;
      log_printf(log_application, 5, "Dialplan \"%s\": Match %s to %s on Try Loopback trunk",
                 plan_name(), number, out.destination);
      return true;
    }
    if (!trunk.is_number() || !trunks.has_row(trunk.value())) continue;
    const int t = trunk.value();
    int line = coline;
    if (coline && colines.get(coline, coline_trunk) != trunk) {
      log_printf(log_application, 5,
                 "Skipping pattern match because CO-line is not available for trunk %s",
                 trunks.get(t, trunks_name));
      continue;
    }
    if (!line) search_free_trunkline(t, &line);
    std::map<char, str> trunk_vars = user_vars();
    trunk_vars['r'] = trunk_host(t);
    trunk_vars['a'] = get_trunk_ani(t, user, user && check_e911(domain, number));
    trunk_vars['c'] = line ? id_text(line) : str();
    const str result = e.evaluate.apply(subject, trunk_vars);
    if (result.empty()) continue;
    out.trunk = t;
    out.destination = "<" + result + ">";
    out.preference = e.preference;
    out.coline = line;
    out.coline_name = trunk_vars['c'];
    log_printf(log_application, 5, "Dialplan \"%s\": Match %s to %s on trunk %s", plan_name(),
               number, result, trunks.get(t, trunks_name));
    return true;
  }
  return false;
}

str get_call_flag(int user, const str& number, int coline) {
  // A caller from a trunk has no code or PIN to enter.
  if (!user) return str();
  const int plan = get_dial_plan(user, 0);
  if (!plan) return str();
  const str subject = uri_user(number) + "@" + domains.get(routing_domain(user, 0), domains_name);
  for (const entry& e : entries_of(plan)) {
    if (coline && e.trunk.is_number() && colines.get(coline, coline_trunk) != e.trunk) continue;
    if (e.match.matches(subject)) return e.cmc;
  }
  return str();
}

void send_failover_email(int trunk, int code, const str& reason) {
  if (!ctrl_read_registry(ctrl_settings::email_trunk_failover).is_true()) return;
  const str name = trunks.get(trunk, trunks_name);
  log_printf(log_email, 3, "Trunk %s failed over after %d %s", name, code, reason);
  // To the trunk's own addresses, else to the administrators of email_list_performance.
  str list = trunks.get(trunk, trunks_send_email);
  if (!list.contains_char('@')) list = ctrl_read_registry(ctrl_settings::email_list_performance);
  const str subject = str::sprintf("Trunk %s failed over", name);
  const str body = str::sprintf(
      "The trunk %s answered a call with \"%d %s\". The call was tried on the next entry of the "
      "dial plan.\r\n",
      name, code, reason);
  for (size_t i = 0; !list.get_field(i, " ,;").empty(); i++)
    send_email(trunk_domain(trunk), list.get_field(i, " ,;"), subject, "text/plain; charset=utf-8",
               str(), body);
}

bool try_failover(int trunk, int code, const str& reason) {
  const str setting = trunks.get(trunk, trunks_failover);
  bool go_on = false;
  if (setting == "always") {
    go_on = true;
  } else if (setting == "only_5xx") {
    go_on = code >= 500 || code == 408;
  } else if (setting == "except_busy") {
    go_on = code != 486;
  }
  if (go_on) send_failover_email(trunk, code, reason);
  return go_on;
}
