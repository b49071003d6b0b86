// Form saves. Every action names the lowest session level it serves and is refused before it
// reads or writes anything when the session is below it; the action then checks that the rows
// it touches are the session's to change (the domain in view, the account in view, ...).
// Every write goes through the table store (or the settings), so it persists like any other.
//
// Field names are the variable names the pages read (page_value): "ext.cfa", "dom.tz",
// "cfg.ip_http_port", "trunk.to", "dp.name", "acc.display". Fields of unknown columns, of
// columns the session may not change, and longer than max_field are ignored. A checkbox that
// is not ticked is not posted at all: the form lists its checkboxes in "checkboxes", and a
// listed one that is missing is stored as "false".
//
// ctrl side, under ctrl_run_mutex.

#include <set>

#include "base/digest.h"
#include "base/log.h"
#include "db/persistence.h"
#include "db/schema.h"
#include "db/tar.h"
#include "frame/log.h"
#include "frame/settings.h"
#include "pbx/accounts.h"
#include "web/pages.h"
#include "web/template.h"

namespace {

constexpr size_t max_field = 4096;

str arg(const web_request& r, const char* name) {
  auto it = r.args.find(name);
  return it == r.args.end() ? str() : it->second.strip();
}

void result(web_request& r, const char* key) {
  r.args["result"] = translate(key, page_language(r));
}

// The columns of the extension a user may change himself.
bool user_may_set(const str& column) {
  static const std::set<str> own = {
      extensions_cfa,           extensions_cfb,          extensions_cfn,
      extensions_cfn_timeout,   extensions_cfd,          extensions_dnd,
      extensions_mb_enable,     extensions_mb_pin,       extensions_mb_timeout,
      extensions_email_address, extensions_email_vmail,  extensions_first_name,
      extensions_last_name,     extensions_language_web, extensions_tz};
  if (column == extensions_web_password)
    return ctrl_read_registry(ctrl_settings::usr_change_webpass) != "false";
  if (column == extensions_password)
    return ctrl_read_registry(ctrl_settings::usr_change_sippass) == "true";
  return own.count(column) != 0;
}

// The domain columns a domain administrator may change; the rest (name, limits) are the
// system administrator's.
bool domain_admin_may_set(const str& column) {
  static const std::set<str> own = {
      domains_display_name,     domains_tz,         domains_language_web, domains_moh,
      domains_default_dialplan, domains_mb_timeout, domains_cfn_timeout,  domains_email_from,
      domains_email_smtp,       domains_email_user, domains_email_pass,   domains_area_code,
      domains_country_code};
  return own.count(column) != 0;
}

// A reference to another row must name one the session may use: a dial plan of the domain or a
// global one, a music-on-hold source of the domain or of the system.
bool valid_reference(const str& column, const str& value, web_request& r) {
  if (value.empty()) return true;
  const int row = value.value();
  if (column == domains_default_dialplan || column == extensions_dial_plan) {
    if (!dial_plan.has_row(row)) return false;
    if (dial_plan.get(row, dial_plan_global) == "true") return true;
    const str owner = dial_plan.get(row, dial_plan_domain);
    return may_manage_domain(r, owner.is_number() ? owner.value() : domain_by_name(owner));
  }
  if (column == domains_moh) {
    const str owner = mohs.get(row, mohs_domain);
    return mohs.has_row(row) && (owner.empty() || may_manage_domain(r, owner.value()));
  }
  return true;
}

template <class Allowed>
bool write_fields(table& t, int row, const str& scope, Allowed allowed, web_request& r) {
  if (!t.has_row(row)) return false;
  const str prefix = scope + ".";
  bool changed = false;
  auto put = [&](const str& column, const str& value) {
    if (!t.has_column(column) || !allowed(column) || value.length() > max_field ||
        !valid_reference(column, value, r))
      return;
    t.set(row, column, value, false, false);
    changed = true;
  };
  for (const auto& [name, value] : r.args)
    if (name.starts_with(prefix)) put(name.substr(prefix.length()), value);
  for (const str& box : words(arg(r, "checkboxes")))
    if (box.starts_with(prefix) && !r.args.count(box)) put(box.substr(prefix.length()), str_f);
  if (changed) t.write_row(row);
  return changed;
}

void save_settings(web_request& r) {
  bool changed = false;
  for (const auto& [name, value] : r.args) {
    if (!name.starts_with("cfg.") || value.length() > max_field) continue;
    const int s = ctrl_variable_lookup(name.substr(4));
    if (s >= ctrl_settings::setting_count || s == ctrl_settings::pw_pass) continue;
    ctrl_write_registry(s, value);
    changed = true;
  }
  for (const str& box : words(arg(r, "checkboxes"))) {
    const int s = box.starts_with("cfg.") ? ctrl_variable_lookup(box.substr(4)) : -1;
    if (s >= 0 && s < ctrl_settings::setting_count && !r.args.count(box)) {
      ctrl_write_registry(s, str_f);
      changed = true;
    }
  }
  const str pass = arg(r, "admin_password");
  if (!pass.empty()) {
    ctrl_write_registry(ctrl_settings::pw_pass, md5_hex(pass));
    changed = true;
  }
  if (changed) save_config();
}

// "save" (also "editdomain", "editaccount", "savetrunk"): every field of a scope the session
// may write.
str save(web_request& r) {
  const bool root = r.has_root_permission();
  if (root) save_settings(r);
  const int d = context_domain(r);
  if (may_manage_domain(r, d))
    write_fields(
        domains, d, "dom", [&](const str& c) { return root || domain_admin_may_set(c); }, r);
  if (const int a = context_account(r)) {
    const bool user = r.s->type == session_user;
    if (is_extension(a))
      write_fields(
          extensions, extension_row(a), "ext",
          [&](const str& c) { return !user || user_may_set(c); }, r);
    // The pages of the session follow its own account's language at once.
    auto lang = r.args.find("ext." + extensions_language_web);
    if (lang != r.args.end() && id_text(a) == r.s->var("user") && lang->second.length() <= 16)
      r.s->vars["lang"] = lang->second;
    if (!user && account_type(a) == "attendants")
      write_fields(
          attendants, extension_row(a), "att", [](const str&) { return true; }, r);
    const int alias = user_alias.first(user_alias_user, id_text(a));
    if (alias && r.args.count("acc.display") && !user)
      write_fields(
          user_alias, alias, "acc", [](const str& c) { return c == user_alias_display_name; }, r);
  }
  if (const int t = context_trunk(r))
    write_fields(
        trunks, t, "trunk",
        [&](const str& c) { return root || (c != trunks_domain && c != trunks_global); }, r);
  if (const int p = context_dialplan(r))
    write_fields(
        dial_plan, p, "dp", [](const str& c) { return c == dial_plan_name; }, r);
  result(r, "saved");
  return str();
}

str add_domain(web_request& r) {
  const str name = arg(r, "name").tolower();
  if (name.empty() || name.length() > 255 || domain_by_name(name)) {
    result(r, "error_name");
    return str();
  }
  const int d = create_default_domain(name);
  const str display = arg(r, "display");
  if (!display.empty()) domains.set(d, domains_display_name, display);
  log_printf(log_web, 4, "Created domain %s", name);
  result(r, "saved");
  return str();
}

void delete_account_rows(int a) {
  if (is_extension(a)) extensions.delete_row(extension_row(a));
  if (account_type(a) == "attendants") attendants.delete_row(extension_row(a));
  user_alias.delete_row(user_alias_user, id_text(a));
  registrations.delete_row(registrations_tuser, id_text(a));
  users.delete_row(a);
}

str delete_domain(web_request& r) {
  const int d = arg(r, "domain").value();
  if (!domains.has_row(d)) return str();
  const str key = id_text(d);
  std::vector<int> accounts;
  for (int a = users.first(); a; a = users.next(a))
    if (account_domain(a) == d) accounts.push_back(a);
  for (int a : accounts) delete_account_rows(a);
  domain_alias.delete_row(domain_alias_domain, key);
  trunks.delete_row(trunks_domain, key);
  for (int p = dial_plan.first(); p;) {
    const int next = dial_plan.next(p);
    if (dial_plan.get(p, dial_plan_domain) == key) {
      dial_plan_entry.delete_row(dial_plan_entry_id, id_text(p));
      dial_plan.delete_row(p);
    }
    p = next;
  }
  log_printf(log_web, 4, "Deleted domain %s", domains.get(d, domains_name));
  domains.delete_row(d);
  if (r.s->var("domain") == key) r.s->vars.erase("domain");
  return "reg_index.htm";
}

str add_account(web_request& r) {
  const int d = context_domain(r);
  if (!may_manage_domain(r, d)) return str();
  const str name = arg(r, "name");
  const int most = domains.get(d, domains_max_accounts).value();
  if (name.empty() || name.find(' ') >= 0 || name.length() > 64 || account_by_name(name, d)) {
    result(r, "error_name");
    return str();
  }
  if (most > 0 && users.count(users_domain, id_text(d)) >= most) {
    result(r, "error_limit");
    return str();
  }
  // An extension (with its passwords) or an auto attendant, whose menu is set on its own page.
  const bool attendant = arg(r, "type") == "attendants";
  if (!attendant && arg(r, "password").empty()) {
    result(r, "error_password");
    return str();
  }
  int e;
  if (attendant) {
    // A caller who types nothing is not held for ever.
    e = attendants.add_row(false);
    attendants.set(e, attendants_hangup, "120", false, false);
    attendants.write_row(e);
  } else {
    e = extensions.add_row(false);
    for (const char* c : {"password", "web_pass", "first_name", "display_name"}) {
      const str v = arg(r, c);
      if (!v.empty() && v.length() <= max_field) extensions.set(e, c, v, false, false);
    }
    extensions.set(e, extensions_mb_enable, str_t, false, false);
    extensions.write_row(e);
  }
  const int u = users.add_row(false);
  const int alias = user_alias.add_row(false);
  for (auto [column, value] :
       {std::pair{users_type_name, str(attendant ? "attendants" : "extensions")},
        {users_type_index, id_text(e)},
        {users_domain, id_text(d)},
        {users_alias, id_text(alias)}})
    users.set(u, column, value, false, false);
  users.write_row(u);
  user_alias.set(alias, user_alias_user, id_text(u), false, false);
  user_alias.set(alias, user_alias_domain, id_text(d), false, false);
  user_alias.set(alias, user_alias_name, name, false, false);
  const str display = arg(r, "display");
  if (!display.empty() && display.length() <= max_field)
    user_alias.set(alias, user_alias_display_name, display, false, false);
  user_alias.write_row(alias);
  result(r, "saved");
  return str();
}

str delete_accounts(web_request& r) {
  for (const str& id : words(arg(r, "selected") + " " + arg(r, "account"))) {
    const int a = id.value();
    if (users.has_row(a) && may_manage_domain(r, account_domain(a))) delete_account_rows(a);
  }
  return str();
}

// Trunks and dial plans of a domain administrator are allowed unless the system administrator
// turned them off (trunk_dom_admin, dp_dom_admin).
bool domain_may(web_request& r, ctrl_settings::setting s) {
  return r.has_root_permission() || ctrl_read_registry(s) != "false";
}

// A new named row of the domain in view in t (a trunk, a dial plan), when the session manages
// the domain and the system administrator allows the kind (403 otherwise) and the name is
// usable. Its row, written at the end of the caller's settings; 0 when refused.
int add_domain_row(web_request& r, table& t, const str& name_column, const str& domain_column,
                   ctrl_settings::setting allowed) {
  const int d = context_domain(r);
  const str name = arg(r, "name");
  if (!may_manage_domain(r, d) || !domain_may(r, allowed)) {
    r.status = 403;
    return 0;
  }
  if (name.empty() || name.length() > 255) {
    result(r, "error_name");
    return 0;
  }
  const int row = t.add_row(false);
  t.set(row, name_column, name, false, false);
  t.set(row, domain_column, id_text(d), false, false);
  return row;
}

str add_trunk(web_request& r) {
  const int t =
      add_domain_row(r, trunks, trunks_name, trunks_domain, ctrl_settings::trunk_dom_admin);
  if (!t) return str();
  for (const str* c : {&trunks_type, &trunks_to, &trunks_reg_account, &trunks_reg_user,
                       &trunks_reg_pass, &trunks_outbound_proxy}) {
    const str v = arg(r, c->c_str());
    if (!v.empty() && v.length() <= max_field) trunks.set(t, *c, v, false, false);
  }
  trunks.write_row(t);
  result(r, "saved");
  return str();
}

str delete_trunk(web_request& r) {
  if (const int t = context_trunk(r)) trunks.delete_row(t);
  return "dom_trunks.htm";
}

str add_dialplan(web_request& r) {
  const int p =
      add_domain_row(r, dial_plan, dial_plan_name, dial_plan_domain, ctrl_settings::dp_dom_admin);
  if (!p) return str();
  dial_plan.write_row(p);
  result(r, "saved");
  return str();
}

// The plan's name, and a new rule when a pattern is given.
str save_dialplan(web_request& r) {
  const int p = context_dialplan(r);
  if (!p) {
    r.status = 403;
    return str();
  }
  write_fields(
      dial_plan, p, "dp", [](const str& c) { return c == dial_plan_name; }, r);
  const str pattern = arg(r, "pattern"), trunk = arg(r, "trunk");
  if (!pattern.empty() && pattern.length() <= max_field) {
    const bool trunk_ok = trunk == "-" || trunk == "+" || trunk == "*" ||
                          (trunks.has_row(trunk.value()) && r.has_domain_permission());
    if (!trunk_ok) {
      result(r, "error_trunk");
      return str();
    }
    const int e = dial_plan_entry.add_row(false);
    dial_plan_entry.set(e, dial_plan_entry_id, id_text(p), false, false);
    dial_plan_entry.set(e, dial_plan_entry_preference,
                        str::sprintf("%d", arg(r, "preference").value()), false, false);
    dial_plan_entry.set(e, dial_plan_entry_pattern, pattern, false, false);
    dial_plan_entry.set(e, dial_plan_entry_replacement, arg(r, "replacement"), false, false);
    dial_plan_entry.set(e, dial_plan_entry_trunk, trunk, false, false);
    dial_plan_entry.write_row(e);
  }
  result(r, "saved");
  return str();
}

str delete_dialplan_entry(web_request& r) {
  const int p = context_dialplan(r);
  const int e = arg(r, "entry").value();
  if (p && dial_plan_entry.has_row(e) && dial_plan_entry.get(e, dial_plan_entry_id) == id_text(p))
    dial_plan_entry.delete_row(e);
  return str();
}

str delete_dialplan(web_request& r) {
  if (const int p = context_dialplan(r)) {
    dial_plan_entry.delete_row(dial_plan_entry_id, id_text(p));
    dial_plan.delete_row(p);
  }
  return "dom_dialplans.htm";
}

str delete_message(web_request& r) {
  const int a = context_account(r);
  const int m = arg(r, "message").value();
  if (!a || !messages.has_row(m) || messages.get(m, messages_user) != id_text(a)) return str();
  const str file = messages.get(m, messages_filename);
  if (!file.empty()) str::remove_file(file, false);
  messages.delete_row(m);
  return str();
}

str goto_domain(web_request& r) {
  const int d = arg(r, "domain").value();
  if (domains.has_row(d)) r.s->vars["domain"] = id_text(d);
  return "dom_index.htm";
}

// Another name of the domain in view (a host name its phones may use). Names are unique across
// domains and aliases, since a request's host picks the domain.
str add_domain_alias(web_request& r) {
  const int d = context_domain(r);
  const str name = arg(r, "alias").tolower();
  if (name.empty() || name.length() > 255 || name.find(' ') >= 0 || domain_by_name(name)) {
    result(r, "error_name");
    return str();
  }
  const int g = domain_alias.add_row(false);
  domain_alias.set(g, domain_alias_domain, id_text(d), false, false);
  domain_alias.set(g, domain_alias_name, name, false, false);
  domain_alias.write_row(g);
  log_printf(log_web, 4, "Added alias %s to domain %s", name, domains.get(d, domains_name));
  result(r, "saved");
  return str();
}

str delete_domain_alias(web_request& r) {
  const int g = arg(r, "alias").value();
  if (domain_alias.has_row(g) &&
      domain_alias.get(g, domain_alias_domain) == id_text(context_domain(r)))
    domain_alias.delete_row(g);
  return str();
}

str add_access(web_request& r) {
  const str adr = arg(r, "address"), type = arg(r, "type");
  if (adr.empty() || adr.length() > 64 || (type != "white" && type != "black")) {
    result(r, "error_name");
    return str();
  }
  const int g = accesslist.add_row(false);
  accesslist.set(g, accesslist_adr, adr, false, false);
  accesslist.set(g, accesslist_type, type, false, false);
  const str mask = arg(r, "mask");
  if (!mask.empty() && mask.length() <= 64) accesslist.set(g, accesslist_mask, mask, false, false);
  accesslist.write_row(g);
  return str();
}

str delete_access(web_request& r) {
  const int g = arg(r, "entry").value();
  if (accesslist.has_row(g)) accesslist.delete_row(g);
  return str();
}

str clear_the_log(web_request&) {
  clear_log();
  return str();
}

// The whole database from an uploaded archive; the settings and tables are read back at once.
str restore(web_request& r) {
  auto it = r.files.find("file");
  if (it == r.files.end() || !put_tar(it->second)) {
    result(r, "error_archive");
    return str();
  }
  init_config();
  db_load_tables();
  return "reg_index.htm";
}

struct action {
  const char* name;
  int level;  // the highest session type served: 0 system, 1 domain, 2 user
  str (*run)(web_request&);
};
const action actions[] = {
    {"save", session_user, save},
    {"editdomain", session_domain_admin, save},
    {"editaccount", session_domain_admin, save},
    {"savetrunk", session_domain_admin, save},
    {"adddomain", session_system_admin, add_domain},
    {"domaindel", session_system_admin, delete_domain},
    {"gotodomain", session_system_admin, goto_domain},
    {"addacc", session_domain_admin, add_account},
    {"delete_selected", session_domain_admin, delete_accounts},
    {"addtrunk", session_domain_admin, add_trunk},
    {"deletetrunk", session_domain_admin, delete_trunk},
    {"trunkdel", session_domain_admin, delete_trunk},
    {"adddialplan", session_domain_admin, add_dialplan},
    {"savedial", session_domain_admin, save_dialplan},
    {"dialentrydel", session_domain_admin, delete_dialplan_entry},
    {"dialplandel", session_domain_admin, delete_dialplan},
    {"msgdel", session_user, delete_message},
    {"addalias", session_system_admin, add_domain_alias},
    {"aliasdel", session_system_admin, delete_domain_alias},
    {"addaccess", session_system_admin, add_access},
    {"delete_address", session_system_admin, delete_access},
    {"clearlog", session_system_admin, clear_the_log},
    {"restore", session_system_admin, restore},
};

}  // namespace

str apply_form(const str& name, web_request& r) {
  for (const action& a : actions) {
    if (name != a.name) continue;
    if (!r.s || r.s->type > a.level || names_foreign_rows(r)) {
      log_printf(log_web, 3, "Refused form action %s for session type %d", name,
                 r.s ? r.s->type : -1);
      r.status = 403;
      return str();
    }
    return a.run(r);
  }
  log_printf(log_web, 5, "Form action %s is not served", name);
  return str();
}
