#include "web/ajax.h"

#include <algorithm>
#include <vector>

#include "db/schema.h"
#include "pbx/accounts.h"
#include "pbx/dial_plan.h"
#include "web/http_request.h"
#include "web/pages.h"

namespace {

str arg(const web_request& r, const char* name) {
  auto it = r.args.find(name);
  return it == r.args.end() ? str() : it->second.strip();
}

// The level an action needs: an administrator of the domain in view, or any logged-in party.
enum need { domain_admin, anyone };

ajax_answer text(const str& body) { return ajax_answer{200, "text/plain", body}; }
ajax_answer html(const str& body) { return ajax_answer{200, "text/html", body}; }
ajax_answer forbidden() { return ajax_answer{403, "text/plain", str()}; }

ajax_answer verify_extension(web_request& r) {
  const str number = arg(r, "number");
  if (number.empty() || number.find(' ') >= 0 || number.length() > 64) return text("invalid");
  return text(account_by_name(number, context_domain(r)) ? "taken" : "free");
}

ajax_answer get_user_id(web_request& r) {
  const str name = arg(r, "name");
  if (name.empty()) return text(r.s->var("user"));
  if (!r.has_domain_permission()) return forbidden();
  const int a = account_by_name(name, context_domain(r));
  return text(a ? id_text(a) : str());
}

ajax_answer get_user_type(web_request& r) {
  const str name = arg(r, "name");
  if (name.empty()) {
    static const char* const level[] = {"system", "domain", "user"};
    return text(r.s->type <= session_user ? level[r.s->type] : "user");
  }
  if (!r.has_domain_permission()) return forbidden();
  const int a = account_by_name(name, context_domain(r));
  return text(a ? account_type(a) : str());
}

ajax_answer search_suggest(web_request& r) {
  const str prefix = arg(r, "q").tolower();
  const int d = context_domain(r);
  std::vector<std::pair<str, int>> found;
  for (int a = users.first(); a; a = users.next(a)) {
    if (account_domain(a) != d) continue;
    const str name = account_name(a);
    if (name.tolower().starts_with(prefix)) found.emplace_back(name, a);
  }
  std::sort(found.begin(), found.end());
  if (found.size() > 10) found.resize(10);
  str out;
  for (const auto& [name, a] : found) {
    const int alias = user_alias.first(user_alias_user, id_text(a));
    const str display = alias ? user_alias.get(alias, user_alias_display_name) : str();
    append_option(out, name, display.empty() ? name : name + " (" + display + ")", false);
  }
  return html(out);
}

ajax_answer call_list(web_request& r) {
  const str type = arg(r, "type");
  const int count = arg(r, "count").value() > 0 ? arg(r, "count").value() : 10;
  str out;
  for (const char* kind : {"missed", "received", "dialed"}) {
    if (!type.empty() && type != kind) continue;
    std::vector<page_row> rows;
    loop_rows(kind, {}, r, rows);
    if (rows.size() > static_cast<size_t>(count)) rows.resize(count);
    for (page_row& row : rows)
      out.appendf("<tr class=\"%s\"><td>%s</td><td>%s</td></tr>\n", str(kind),
                  html_escape(row["date"]), html_escape(row["party"]));
  }
  return html(out);
}

ajax_answer dialplan_test(web_request& r) {
  const int plan = context_dialplan(r);
  const str number = arg(r, "number");
  if (!plan || number.empty()) return text("");
  const int user = context_account(r);
  const int domain = user ? account_domain(user) : context_domain(r);
  const str host = domains.has_row(domain) ? domains.get(domain, domains_name) : str("localhost");
  const str uri = number.contains_char('@') ? "sip:" + number : "sip:" + number + "@" + host;
  dialplan_route route;
  if (!route_in_dial_plan(plan, user, domain, uri, 0, route)) return text("none");
  if (route.loopback) return text("loopback " + route.destination);
  if (route.trunk)
    return text("trunk " + trunks.get(route.trunk, trunks_name) + " " + route.destination);
  return text("extension " + route.destination);
}

ajax_answer load_translation(web_request& r) {
  const str lang = arg(r, "lang").empty() ? page_language(r) : arg(r, "lang");
  const str keys = arg(r, "keys");
  str out;
  for (size_t i = 0; !keys.get_field(i, ',').empty(); i++) {
    const str key = keys.get_field(i, ',').strip();
    out.appendf("%s=%s\n", key, translate(key, lang));
  }
  return text(out);
}

struct action {
  const char* name;
  need level;
  ajax_answer (*run)(web_request& r);
};

const action actions[] = {
    {"verify_extension", domain_admin, verify_extension},
    {"get_user_id", anyone, get_user_id},
    {"get_user_type", anyone, get_user_type},
    {"search_suggest", domain_admin, search_suggest},
    {"call_list", anyone, call_list},
    {"dialplan_test", domain_admin, dialplan_test},
    {"load_translation", anyone, load_translation},
};

}  // namespace

ajax_answer ajax_action(web_request& r) {
  const str name = arg(r, "action");
  for (const action& a : actions) {
    if (name != a.name) continue;
    const bool allowed =
        r.s && r.s->type != session_console &&
        (a.level == anyone || r.has_root_permission() || may_manage_domain(r, context_domain(r)));
    return allowed ? a.run(r) : forbidden();
  }
  return ajax_answer{404, "text/html", "Unknown AJAX action " + html_escape(name)};
}

void answer_ajax(http_request& h, web_request& r) {
  const ajax_answer a = ajax_action(r);
  if (a.code == 200) {
    h.send_file(a.body, a.content_type, 0, !h.close_after_response());
  } else if (a.code == 403) {
    h.error("403 Permission Denied", "Please log in with the appropriate permissions");
  } else {
    h.error("404 Not Found", a.body);
  }
}
