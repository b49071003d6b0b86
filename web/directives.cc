// The directives of the template language: conditions, value output, form state and access,
// and the rows a page is about. Page furniture, option lists and loops have files of their own.
// ctrl side, under ctrl_run_mutex.

#include <cctype>
#include <cstring>

#include "base/log.h"
#include "db/schema.h"
#include "db/xml_text.h"
#include "frame/clock.h"
#include "frame/perf_history.h"
#include "frame/settings.h"
#include "pbx/accounts.h"
#include "pbx/trunks.h"
#include "web/graphs.h"
#include "web/pages.h"
#include "web/template.h"

str html_escape(const str& v) {
  str out;
  out.reserve(v.length());
  for (size_t i = 0; i < v.length(); i++) {
    const char c = static_cast<char>(v[i]);
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&#39;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

str url_encode(const str& v) {
  str out;
  for (size_t i = 0; i < v.length(); i++) {
    const unsigned char c = v[i];
    if (isalnum(c) || std::strchr("-_.~", c)) {
      out += static_cast<char>(c);
    } else {
      out.appendf("%%%c%c", "0123456789ABCDEF"[c >> 4], "0123456789ABCDEF"[c & 15]);
    }
  }
  return out;
}

namespace {

int arg_row(const web_request& r, const char* name) {
  auto it = r.args.find(name);
  return it == r.args.end() ? 0 : it->second.strip().value();
}

int session_number(const web_request& r, const char* name) {
  return r.s ? r.s->var(name).strip().value() : 0;
}

// A domain reference as rows store it: the row number, or (older rows) the name.
int domain_ref(const str& v) { return v.is_number() ? v.value() : domain_by_name(v); }

}  // namespace

int context_domain(const web_request& r) {
  if (!r.s) return 0;
  int d = session_number(r, "domain");
  if (r.s->type == session_system_admin && arg_row(r, "domain")) d = arg_row(r, "domain");
  return domains.has_row(d) ? d : 0;
}

bool may_manage_domain(const web_request& r, int domain) {
  if (!r.s || !domains.has_row(domain)) return false;
  if (r.s->type == session_system_admin) return true;
  return r.s->type == session_domain_admin && session_number(r, "domain") == domain;
}

bool names_foreign_rows(const web_request& r) {
  auto arg = [&](const char* name) {
    auto it = r.args.find(name);
    return it == r.args.end() ? str() : it->second.strip();
  };
  const str d = arg("domain"), a = arg("account");
  if (!d.empty() && !may_manage_domain(r, d.value())) return true;
  if (!a.empty() && context_account(r) != a.value()) return true;
  if (!arg("trunk").empty() && !context_trunk(r)) return true;
  return !arg("dialplan").empty() && !context_dialplan(r);
}

int context_account(const web_request& r) {
  if (!r.s) return 0;
  if (r.s->type == session_user) {
    const int a = session_number(r, "user");
    return users.has_row(a) ? a : 0;
  }
  const int a = arg_row(r, "account");
  return users.has_row(a) && may_manage_domain(r, account_domain(a)) ? a : 0;
}

int context_trunk(const web_request& r) {
  const int t = arg_row(r, "trunk");
  if (!trunks.has_row(t)) return 0;
  if (trunks.get(t, trunks_global) == "true") return r.has_root_permission() ? t : 0;
  return may_manage_domain(r, trunk_domain(t)) ? t : 0;
}

int context_dialplan(const web_request& r) {
  const int p = arg_row(r, "dialplan");
  if (!dial_plan.has_row(p)) return 0;
  if (dial_plan.get(p, dial_plan_global) == "true") return r.has_root_permission() ? p : 0;
  return may_manage_domain(r, domain_ref(dial_plan.get(p, dial_plan_domain))) ? p : 0;
}

str page_value(const str& name, web_request& r) {
  const long dot = name.find('.');
  if (!r.s || dot <= 0) return r.s ? r.s->var(name) : str();
  const str scope = name.leftstr(dot), field = name.substr(dot + 1);
  if (scope == "row") {
    const auto& stack = loop_stack();
    for (auto it = stack.rbegin(); it != stack.rend(); ++it) {
      auto f = (*it)->find(field);
      if (f != (*it)->end()) return f->second;
    }
    return str();
  }
  if (scope == "cfg") {
    const int s = ctrl_variable_lookup(field);
    if (!r.has_root_permission() || s == ctrl_settings::pw_pass) return str();
    return ctrl_read_registry(s);
  }
  if (scope == "dom") {
    const int d = context_domain(r);
    if (!d || (r.s->type == session_user && field != domains_name)) return str();
    return field == "id" ? id_text(d) : domains.get(d, field);
  }
  const int a = context_account(r);
  if (scope == "ext") return is_extension(a) ? extensions.get(extension_row(a), field) : str();
  if (scope == "att")
    return a && account_type(a) == "attendants" ? attendants.get(extension_row(a), field) : str();
  if (scope == "usr") return a ? users.get(a, field) : str();
  if (scope == "acc") {
    if (!a) return str();
    if (field == "name") return account_name(a);
    if (field == "id") return id_text(a);
    const int alias = user_alias.first(user_alias_user, id_text(a));
    return field == "display" && alias ? user_alias.get(alias, user_alias_display_name) : str();
  }
  if (scope == "trunk") {
    const int t = context_trunk(r);
    return !t ? str() : field == "id" ? id_text(t) : trunks.get(t, field);
  }
  if (scope == "dp") {
    const int p = context_dialplan(r);
    return !p ? str() : field == "id" ? id_text(p) : dial_plan.get(p, field);
  }
  return r.s ? r.s->var(name) : str();
}

namespace {

// The condition directives; false when name is none of them. They change the suppression
// depth whether or not output is suppressed, so that they nest.
bool handle_condition(const str& name, const std::vector<str>& a, web_request& r) {
  const str subject = a.size() > 1 ? a[1] : str();
  const str wanted = a.size() > 2 ? a[2] : str();
  bool fails;
  if (name == "if" || name == "fi") {
    fails = page_value(subject, r) != wanted;
  } else if (name == "ifn" || name == "fin") {
    fails = page_value(subject, r) == wanted;
  } else if (name == "lang_on" || name == "lang_off") {
    fails = page_language(r) != subject;
  } else {
    return false;
  }
  const bool opens = name == "if" || name == "ifn" || name == "lang_on";
  if (fails) r.depth += opens ? 1 : (r.depth > 0 ? -1 : 0);
  return true;
}

// "allow LEVEL": the page is for that level (system, domain or user) and above; a session
// below it ends the rendering with 403.
void handle_allow(const std::vector<str>& a, web_request& r) {
  const str level = a.size() > 1 ? a[1] : str("system");
  bool ok = r.has_root_permission();
  if (level == "domain") ok = r.has_domain_permission();
  if (level == "user") ok = r.s && r.s->type != session_console;
  // A form post was checked before it acted (apply_form) and may have removed the rows it
  // names; a page that is only looked at must not name rows of others.
  if (!ok || (r.method != "POST" && names_foreign_rows(r))) r.status = 403;
}

}  // namespace

int handle_ssi(const str& directive, web_request& r) {
  const std::vector<str> a = words(directive);
  const str name = a.empty() ? str() : a[0];
  if (handle_condition(name, a, r)) return 0;
  if (r.depth > 0) return 0;
  if (!r.s) {
    log_printf(log_web, 0, "Need a session");
    return 0;
  }
  const str subject = a.size() > 1 ? a[1] : str();
  if (name == "var") {
    r.out += page_value(subject, r);
  } else if (name == "varh") {
    const str v = html_escape(page_value(subject, r));
    for (size_t i = 0; i < v.length(); i++) {
      if (v[i] == '\n') {
        r.out += "<br>";
      } else if (v[i] != '\r') {
        r.out += static_cast<char>(v[i]);
      }
    }
  } else if (name == "varv") {
    r.out += html_escape(page_value(subject, r));
  } else if (name == "varx") {
    r.out += xml_escape(page_value(subject, r));
  } else if (name == "varu") {
    r.out += url_encode(page_value(subject, r));
  } else if (name == "arg") {
    auto it = r.args.find(subject);
    if (it != r.args.end()) r.out += html_escape(it->second);
  } else if (name == "check" || name == "sel" || name == "checkn") {
    const bool equal = page_value(subject, r) == (a.size() > 2 ? a[2] : str());
    return equal != (name == "checkn") ? 2 : 1;
  } else if (name == "allow") {
    handle_allow(a, r);
  } else if (name == "history_chart") {  // statistics over time: the system administrator's
    if (r.has_root_permission()) history_chart(system_perf_history().snapshot(wall_now()), r);
  } else if (!handle_furniture(name, a, r) && !handle_list(name, a, r)) {
    log_printf(log_web, 2, "Unknown directive %s", name);
    r.status = 500;
  }
  return 0;
}
