// The lists of the pages: the elements that loops render (domains, accounts, registrations,
// calls, trunks, dial plans, messages, call lists, the log) and the option lists of the forms.
// ctrl side, under ctrl_run_mutex.

#include <time.h>

#include <algorithm>

#include "db/schema.h"
#include "frame/clock.h"
#include "frame/log.h"
#include "frame/rtp_loop.h"
#include "pbx/accounts.h"
#include "pbx/trunks.h"
#include "web/pages.h"

namespace {

str number(int64_t n) { return str::from_int64(n); }

// Local date and time of a wall-clock instant (milliseconds since 1970), "YYYY-MM-DD hh:mm".
str date_text(atimestamp t) {
  if (t <= 0) return str();
  const time_t s = static_cast<time_t>(get_time(t));
  struct tm tm {};
  localtime_r(&s, &tm);
  char b[32];
  strftime(b, sizeof b, "%Y-%m-%d %H:%M", &tm);
  return str(b);
}

// The user part of a SIP address ("Name" <sip:user@host>;tag=... -> user), else the text.
str address_user(const str& a) {
  long s = a.find("sip:");
  if (s < 0) return a.strip();
  str rest = a.substr(s + 4);
  long e = 0;
  while (e < static_cast<long>(rest.length()) && !str::one_of(rest[e], "@>;")) e++;
  return rest.leftstr(e);
}

bool wants_domain_filter(const std::vector<str>& args, const web_request& r) {
  return !r.has_root_permission() ||
         std::find(args.begin(), args.end(), str("domain")) != args.end();
}

int registration_domain(int reg) {
  const int account = registrations.get(reg, registrations_tuser).value();
  return account ? account_domain(account) : registrations.get(reg, registrations_domain).value();
}

int count_of(table& t, const str& column, int id) { return t.count(column, id_text(id)); }

int registered_count(int domain) {
  int n = 0;
  for (int g = registrations.first(); g; g = registrations.next(g))
    if (registrations.get(g, registrations_event).empty() && registration_domain(g) == domain) n++;
  return n;
}

void domain_rows(web_request& r, std::vector<page_row>& out) {
  for (int d = domains.first(); d; d = domains.next(d)) {
    if (!may_manage_domain(r, d)) continue;
    out.push_back({{"id", id_text(d)},
                   {"name", domains.get(d, domains_name)},
                   {"display", domains.get(d, domains_display_name)},
                   {"accounts", number(count_of(users, users_domain, d))},
                   {"registrations", number(registered_count(d))},
                   {"calls", number(count_of(cobjs, cobj_domain, d))}});
  }
}

void account_rows(web_request& r, std::vector<page_row>& out) {
  const int d = context_domain(r);
  if (!may_manage_domain(r, d)) return;
  std::vector<std::pair<str, int>> sorted;
  for (int a = users.first(); a; a = users.next(a))
    if (account_domain(a) == d) sorted.emplace_back(account_name(a), a);
  std::sort(sorted.begin(), sorted.end());
  for (const auto& [name, a] : sorted) {
    const int alias = user_alias.first(user_alias_user, id_text(a));
    const int e = extension_row(a);
    int regs = 0;
    for (int g = registrations.first(registrations_tuser, id_text(a)); g;
         g = registrations.next(g, registrations_tuser))
      if (registrations.get(g, registrations_tuser) == id_text(a) &&
          registrations.get(g, registrations_event).empty())
        regs++;
    page_row row{{"id", id_text(a)},
                 {"name", name},
                 {"display", alias ? user_alias.get(alias, user_alias_display_name) : str()},
                 {"type", account_type(a)},
                 {"registrations", number(regs)}};
    if (is_extension(a)) {
      for (const str* c :
           {&extensions_first_name, &extensions_last_name, &extensions_dnd, &extensions_cfa,
            &extensions_cfb, &extensions_cfn, &extensions_mb_enable, &extensions_email_address})
        row[*c] = extensions.get(e, *c);
    }
    out.push_back(std::move(row));
  }
}

void registration_rows(const std::vector<str>& args, web_request& r, std::vector<page_row>& out) {
  const bool filter = wants_domain_filter(args, r);
  const int d = context_domain(r);
  if (filter && !may_manage_domain(r, d)) return;
  const rtimestamp now = clock_now();
  for (int g = registrations.first(); g; g = registrations.next(g)) {
    const int rd = registration_domain(g);
    if (filter && rd != d) continue;
    const int account = registrations.get(g, registrations_tuser).value();
    const rtimestamp until = rtimestamp_parse(registrations.get(g, registrations_rdate));
    const str event = registrations.get(g, registrations_event);
    out.push_back(
        {{"id", id_text(g)},
         {"account", account ? account_name(account) : str()},
         {"domain", domains.get(rd, domains_name)},
         {"event", event.empty() ? str("register") : event},
         {"contact", registrations.get(g, registrations_contact)},
         {"address", registrations.get(g, registrations_adr)},
         {"user_agent", registrations.get(g, registrations_user_agent)},
         {"expires", until ? number(std::max<int64_t>(0, ticks2s(until - now))) : str()}});
  }
}

void call_rows(const std::vector<str>& args, web_request& r, std::vector<page_row>& out) {
  const bool filter = wants_domain_filter(args, r);
  const int d = context_domain(r);
  if (filter && !may_manage_domain(r, d)) return;
  const atimestamp now = wall_now();
  for (int c = cobjs.first(); c; c = cobjs.next(c)) {
    const int cd = cobjs.get(c, cobj_domain).value();
    if (filter && cd != d) continue;
    str parties;
    atimestamp start = 0;  // the call's: the start of its earliest leg
    for (int l = legs.first(leg_reference, id_text(c)); l; l = legs.next(l, leg_reference)) {
      if (legs.get(l, leg_reference) != id_text(c)) continue;
      const atimestamp leg_began = atimestamp_parse(legs.get(l, leg_start));
      if (leg_began && (!start || leg_began < start)) start = leg_began;
      if (!parties.empty()) parties += ", ";
      const int t = legs.get(l, leg_trunk).value();
      parties += t ? trunks.get(t, trunks_name) : address_user(legs.get(l, leg_to));
      parties += str(" (") + legs.get(l, leg_state);
      if (!legs.get(l, leg_codec).empty()) parties += str(" ") + legs.get(l, leg_codec);
      parties += ")";
    }
    out.push_back({{"id", id_text(c)},
                   {"from", address_user(cobjs.get(c, cobj_from))},
                   {"to", address_user(cobjs.get(c, cobj_to))},
                   {"state", cobjs.get(c, cobj_state)},
                   {"domain", domains.get(cd, domains_name)},
                   {"legs", parties},
                   {"duration", start ? number(std::max<int64_t>(0, diff_s(now, start))) : str()}});
  }
}

void trunk_rows(web_request& r, std::vector<page_row>& out) {
  const int d = context_domain(r);
  for (int t = trunks.first(); t; t = trunks.next(t)) {
    const bool global = trunks.get(t, trunks_global) == "true";
    if (global ? !r.has_root_permission() : (trunk_domain(t) != d || !may_manage_domain(r, d)))
      continue;
    out.push_back({{"id", id_text(t)},
                   {"name", trunks.get(t, trunks_name)},
                   {"type", trunks.get(t, trunks_type)},
                   {"to", trunks.get(t, trunks_to)},
                   {"account", trunks.get(t, trunks_reg_account)},
                   {"status", trunks.get(t, trunks_status)},
                   {"disabled", trunks.get(t, trunks_disabled)},
                   {"global", global ? str("true") : str()}});
  }
}

str trunk_label(const str& ref) {
  if (ref == "-") return "refuse";
  if (ref == "+") return "extension";
  if (ref == "*") return "loopback";
  return trunks.has_row(ref.value()) ? trunks.get(ref.value(), trunks_name) : ref;
}

void dialplan_rows(web_request& r, std::vector<page_row>& out) {
  const int d = context_domain(r);
  for (int p = dial_plan.first(); p; p = dial_plan.next(p)) {
    const bool global = dial_plan.get(p, dial_plan_global) == "true";
    const str pd = dial_plan.get(p, dial_plan_domain);
    const int owner = pd.is_number() ? pd.value() : domain_by_name(pd);
    if (global ? !r.has_root_permission() : (owner != d || !may_manage_domain(r, d))) continue;
    out.push_back({{"id", id_text(p)},
                   {"name", dial_plan.get(p, dial_plan_name)},
                   {"global", global ? str("true") : str()},
                   {"entries", number(count_of(dial_plan_entry, dial_plan_entry_id, p))}});
  }
}

void dialplan_entry_rows(web_request& r, std::vector<page_row>& out) {
  const int p = context_dialplan(r);
  if (!p) return;
  std::vector<std::pair<int, int>> sorted;
  for (int e = dial_plan_entry.first(); e; e = dial_plan_entry.next(e))
    if (dial_plan_entry.get(e, dial_plan_entry_id) == id_text(p))
      sorted.emplace_back(dial_plan_entry.get(e, dial_plan_entry_preference).value(), e);
  std::stable_sort(sorted.begin(), sorted.end(),
                   [](const auto& x, const auto& y) { return x.first < y.first; });
  for (const auto& [pref, e] : sorted) {
    const str trunk = dial_plan_entry.get(e, dial_plan_entry_trunk);
    out.push_back({{"id", id_text(e)},
                   {"preference", dial_plan_entry.get(e, dial_plan_entry_preference)},
                   {"pattern", dial_plan_entry.get(e, dial_plan_entry_pattern)},
                   {"replacement", dial_plan_entry.get(e, dial_plan_entry_replacement)},
                   {"trunk", trunk},
                   {"trunk_name", trunk_label(trunk)},
                   {"cmc", dial_plan_entry.get(e, dial_plan_entry_cmc)}});
  }
}

void message_rows(web_request& r, std::vector<page_row>& out) {
  const int a = context_account(r);
  if (!a) return;
  for (int m = messages.first(); m; m = messages.next(m)) {
    if (messages.get(m, messages_user) != id_text(a) || messages.get(m, messages_type) != "vmail")
      continue;
    out.push_back({{"id", id_text(m)},
                   {"from", address_user(messages.get(m, messages_from))},
                   {"date", date_text(atimestamp_parse(messages.get(m, messages_start)))},
                   {"duration", messages.get(m, messages_duration)},
                   {"new", messages.get(m, messages_new)},
                   {"file", messages.get(m, messages_filename)}});
  }
}

// Call lists of the account from the extension call records: "dialed" are its outgoing calls,
// "received" the incoming ones that were answered, "missed" those that were not.
void call_list_rows(const str& type, web_request& r, std::vector<page_row>& out) {
  const int a = context_account(r);
  if (!a) return;
  for (int c = ext_cdr.last(); c; c = ext_cdr.prev(c)) {
    if (ext_cdr.get(c, ext_cdr_extension) != id_text(a)) continue;
    const bool outgoing = ext_cdr.get(c, ext_cdr_direction) == "o";
    const bool answered = !ext_cdr.get(c, ext_cdr_connect).empty();
    const str kind = outgoing ? "dialed" : answered ? "received" : "missed";
    if (kind != type) continue;
    out.push_back({{"id", id_text(c)},
                   {"party", address_user(ext_cdr.get(c, outgoing ? ext_cdr_to : ext_cdr_from))},
                   {"date", date_text(atimestamp_parse(ext_cdr.get(c, ext_cdr_start)))}});
  }
}

void log_rows(const std::vector<str>& args, web_request& r, std::vector<page_row>& out) {
  if (!r.has_root_permission()) return;
  const std::vector<log_entry> entries = get_log_entries();
  const size_t limit = args.size() > 1 && args[1].value() > 0 ? args[1].value() : 500;
  for (size_t k = entries.size(); k > 0 && out.size() < limit; k--) {
    const log_entry& e = entries[k - 1];
    out.push_back({{"level", number(e.level)},
                   {"time", date_text(e.time)},
                   {"text", e.text},
                   {"attachment", e.attachment}});
  }
}

void access_rows(web_request& r, std::vector<page_row>& out) {
  if (!r.has_root_permission()) return;
  for (int g = accesslist.first(); g; g = accesslist.next(g)) {
    out.push_back({{"id", id_text(g)},
                   {"address", accesslist.get(g, accesslist_adr)},
                   {"mask", accesslist.get(g, accesslist_mask)},
                   {"type", accesslist.get(g, accesslist_type)},
                   {"reason", accesslist.get(g, accesslist_reason)}});
  }
}

void alias_rows(web_request& r, std::vector<page_row>& out) {
  const int d = context_domain(r);
  if (!may_manage_domain(r, d)) return;
  for (int g = domain_alias.first(); g; g = domain_alias.next(g))
    if (domain_alias.get(g, domain_alias_domain) == id_text(d))
      out.push_back({{"id", id_text(g)}, {"name", domain_alias.get(g, domain_alias_name)}});
}

// A few common zones; the stored value may be any name the system knows.
const char* const timezones[] = {"UTC",
                                 "Europe/London",
                                 "Europe/Berlin",
                                 "Europe/Paris",
                                 "Europe/Madrid",
                                 "Europe/Moscow",
                                 "America/New_York",
                                 "America/Chicago",
                                 "America/Denver",
                                 "America/Los_Angeles",
                                 "America/Sao_Paulo",
                                 "Asia/Kolkata",
                                 "Asia/Shanghai",
                                 "Asia/Tokyo",
                                 "Australia/Sydney",
                                 "Africa/Johannesburg"};

// Bars of the registrations and calls of every domain the session sees, now.
void chart(web_request& r) {
  std::vector<page_row> rows;
  domain_rows(r, rows);
  int top = 1;
  for (auto& d : rows) top = std::max({top, d["registrations"].value(), d["calls"].value()});
  const int bar = 14, gap = 10, label = 120, width = 320;
  const int height = static_cast<int>(rows.size()) * (2 * bar + gap) + 30;
  str& o = r.out;
  o.appendf("<svg class=\"chart\" viewBox=\"0 0 %d %d\" role=\"img\" aria-label=\"%s\">\n",
            label + width + 40, height, translate("chart_title", page_language(r)));
  int y = 4;
  for (auto& d : rows) {
    o.appendf("<text x=\"0\" y=\"%d\" class=\"chart-label\">%s</text>\n", y + bar + 2,
              html_escape(d["name"]));
    const char* kinds[] = {"registrations", "calls"};
    for (const char* k : kinds) {
      const int n = d[k].value();
      const int w = n * width / top;
      o.appendf("<rect x=\"%d\" y=\"%d\" width=\"%d\" height=\"%d\" class=\"bar-%S\"/>", label, y,
                std::max(w, 1), bar, k);
      o.appendf("<text x=\"%d\" y=\"%d\" class=\"chart-value\">%d</text>\n", label + w + 4,
                y + bar - 3, n);
      y += bar;
    }
    y += gap;
  }
  o.appendf(
      "<rect x=\"%d\" y=\"%d\" width=\"10\" height=\"10\" class=\"bar-registrations\"/>"
      "<text x=\"%d\" y=\"%d\" class=\"chart-label\">%s</text>",
      label, y + 4, label + 14, y + 13, translate("registrations", page_language(r)));
  o.appendf(
      "<rect x=\"%d\" y=\"%d\" width=\"10\" height=\"10\" class=\"bar-calls\"/>"
      "<text x=\"%d\" y=\"%d\" class=\"chart-label\">%s</text>\n</svg>\n",
      label + 140, y + 4, label + 154, y + 13, translate("calls", page_language(r)));
}

}  // namespace

bool loop_rows(const str& type, const std::vector<str>& args, web_request& r,
               std::vector<page_row>& out) {
  if (type == "domains") {
    domain_rows(r, out);
  } else if (type == "domain_aliases") {
    alias_rows(r, out);
  } else if (type == "accounts") {
    account_rows(r, out);
  } else if (type == "registrations") {
    registration_rows(args, r, out);
  } else if (type == "calls") {
    call_rows(args, r, out);
  } else if (type == "trunks") {
    trunk_rows(r, out);
  } else if (type == "dialplans") {
    dialplan_rows(r, out);
  } else if (type == "dialplan_entries") {
    dialplan_entry_rows(r, out);
  } else if (type == "messages") {
    message_rows(r, out);
  } else if (type == "missed" || type == "dialed" || type == "received") {
    call_list_rows(type, r, out);
  } else if (type == "log") {
    log_rows(args, r, out);
  } else if (type == "accesslist") {
    access_rows(r, out);
  } else {
    return false;
  }
  return true;
}

void append_option(str& out, const str& value, const str& label, bool selected) {
  out.appendf(selected ? "<option value=\"%s\" selected>%s</option>\n"
                       : "<option value=\"%s\">%s</option>\n",
              html_escape(value), html_escape(label));
}

bool handle_list(const str& name, const std::vector<str>& args, web_request& r) {
  const str current = args.size() > 1 ? page_value(args[1], r) : str();
  str& o = r.out;
  std::vector<page_row> rows;
  if (name == "list_timezones") {
    bool found = current.empty();
    for (const char* z : timezones) found = found || current == z;
    if (!found) append_option(o, current, current, true);
    for (const char* z : timezones) append_option(o, z, z, current == z);
  } else if (name == "list_domains") {
    domain_rows(r, rows);
    for (auto& d : rows) append_option(o, d["id"], d["name"], current == d["id"]);
  } else if (name == "list_users") {
    account_rows(r, rows);
    for (auto& a : rows) {
      const str label = a["display"].empty() ? a["name"] : a["name"] + " (" + a["display"] + ")";
      append_option(o, a["name"], label, current == a["name"]);
    }
  } else if (name == "list_dialplans") {
    dialplan_rows(r, rows);
    append_option(o, str(), str(), current.empty());
    for (auto& p : rows) append_option(o, p["id"], p["name"], current == p["id"]);
  } else if (name == "list_trunks") {
    for (const char* s : {"-", "+", "*"}) append_option(o, s, trunk_label(s), current == s);
    trunk_rows(r, rows);
    for (auto& t : rows) append_option(o, t["id"], t["name"], current == t["id"]);
  } else if (name == "list_languages") {
    for (const str& l : web_languages())
      append_option(o, l, translate(str("language_") + l, page_language(r)), current == l);
  } else if (name == "list_moh") {
    const int d = context_domain(r);
    append_option(o, str(), str(), current.empty());
    for (int m = mohs.first(); m; m = mohs.next(m)) {
      const str md = mohs.get(m, mohs_domain);
      if (!md.empty() && md.value() != d) continue;
      append_option(o, id_text(m), mohs.get(m, mohs_name), current == id_text(m));
    }
  } else if (name == "count") {
    if (!loop_rows(args.size() > 1 ? args[1] : str(), {args.begin() + 1, args.end()}, r, rows))
      return false;
    o += number(static_cast<int64_t>(rows.size()));
  } else if (name == "media_load") {
    // The share of the media thread's time spent working since start, in percent.
    const int64_t busy = rtp_active_ticks.load(), idle = rtp_idle_ticks.load();
    o += number(busy + idle > 0 ? (busy * 100 + (busy + idle) / 2) / (busy + idle) : 0);
  } else if (name == "chart") {
    chart(r);
  } else {
    return false;
  }
  return true;
}
