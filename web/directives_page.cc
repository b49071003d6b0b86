// Page furniture (the menu bars, footer and product texts) and the translations of {lng KEY}.
// ctrl side, under ctrl_run_mutex.

#include <map>

#include "base/version.h"
#include "db/schema.h"
#include "frame/options.h"
#include "frame/settings.h"
#include "web/pages.h"

namespace {

// The built-in English texts; other languages are files of the web folder that may cover any
// part of them (what they lack is shown in English).
const std::map<str, str>& english() {
  static const std::map<str, str> d = {
      {"account", "Account"},
      {"accounts", "Accounts"},
      {"action", "Action"},
      {"add", "Add"},
      {"add_account", "New extension"},
      {"add_alias", "Add alias"},
      {"add_dialplan", "New dial plan"},
      {"add_domain", "New domain"},
      {"add_entry", "Add rule"},
      {"add_trunk", "New trunk"},
      {"address", "Address"},
      {"addresses", "Addresses"},
      {"administrator", "Administrator"},
      {"alias", "Alias"},
      {"aliases", "Aliases"},
      {"audio", "Recording"},
      {"auto_attendant", "Auto attendant"},
      {"backup", "Backup"},
      {"backup_download", "Download the whole database as an archive"},
      {"backup_restore", "Restore an archive (replaces every setting and account)"},
      {"backup_text",
       "The archive holds the settings, every domain, account, trunk, dial plan and "
       "recording."},
      {"busy", "When busy"},
      {"call_lists", "Call lists"},
      {"calls", "Calls"},
      {"cancel", "Cancel"},
      {"certificate_download", "The system's certificate, for phones and browsers to trust"},
      {"chart_note", "Registrations and calls per domain right now."},
      {"chart_title", "Registrations and calls per domain"},
      {"cmc", "Flag"},
      {"completion", "An extension is complete after (digits, or pound; empty: automatic)"},
      {"confirm_delete", "Delete this entry?"},
      {"contact", "Contact"},
      {"dashboard", "Overview"},
      {"date", "Date"},
      {"delete", "Delete"},
      {"destination", "Destination"},
      {"dialed", "Dialed"},
      {"dialplan", "Dial plan"},
      {"dialplan_test", "Try a number"},
      {"dialplans", "Dial plans"},
      {"disabled", "Disabled"},
      {"display", "Display name"},
      {"dnd", "Do not disturb"},
      {"dnd_forward", "While not disturbed, forward to"},
      {"domain", "Domain"},
      {"domain_admin", "Administrator of the domain (logs in to the domain's pages)"},
      {"domain_download", "Download the domain as an archive (to move it to another system)"},
      {"domains", "Domains"},
      {"duration", "Duration"},
      {"edit", "Edit"},
      {"email", "E-mail"},
      {"email_address", "E-mail address"},
      {"email_vmail", "Send voicemail by e-mail"},
      {"entries", "Rules"},
      {"error_archive", "The archive could not be restored."},
      {"error_limit", "The domain has no room for another account."},
      {"error_name", "That name is empty, too long or taken."},
      {"error_password", "An extension needs a password."},
      {"error_trunk", "Choose a trunk of this domain."},
      {"excluded", "Accounts callers may not dial"},
      {"expires", "Expires (s)"},
      {"extension", "Extension"},
      {"first_name", "First name"},
      {"forward_all", "Forward all calls to"},
      {"forwarding", "Forwarding"},
      {"from", "From"},
      {"global", "All domains"},
      {"graphs", "Graphs"},
      {"hangup_seconds", "Hang up after seconds without input (0: never)"},
      {"help", "Help"},
      {"history_title", "The last 48 hours"},
      {"key", "Key or input"},
      {"language", "Language"},
      {"language_de", "Deutsch"},
      {"language_en", "English"},
      {"last_name", "Last name"},
      {"legs", "Call legs"},
      {"level", "Level"},
      {"live_calls", "Live calls"},
      {"log", "Log"},
      {"log_empty", "The log is empty."},
      {"login", "Log in"},
      {"login_account", "Account"},
      {"login_auto", "Automatic"},
      {"login_failed", "Username or password are not correct"},
      {"login_password", "Password"},
      {"login_system", "System administrator"},
      {"login_title", "Log in to the PBX"},
      {"login_type", "Log in as"},
      {"login_user", "Domain or user account"},
      {"login_welcome", "Please log in."},
      {"logout", "Log out"},
      {"mailbox", "Voicemail"},
      {"mailbox_enable", "Voicemail box on"},
      {"mailbox_pin", "Voicemail PIN"},
      {"mailbox_timeout", "Voicemail after (s)"},
      {"max_accounts", "Most accounts"},
      {"max_calls", "Most calls"},
      {"media_load", "% media thread load"},
      {"menu", "Menu"},
      {"menu_text",
       "A caller who presses the key (or types the input) of an entry goes to its destination: an "
       "extension, a number, or another account of the domain."},
      {"messages", "Messages"},
      {"min_digits", "Fewest digits of an extension"},
      {"missed", "Missed"},
      {"moh", "Music on hold"},
      {"name", "Name"},
      {"name_trigger", "Key for dial by name (start: at once)"},
      {"new", "New"},
      {"mos", "Call quality (MOS)"},
      {"night", "Night destination"},
      {"no_answer", "When not answered"},
      {"no_answer_timeout", "Not answered after (s)"},
      {"none", "Nothing here yet."},
      {"now", "now"},
      {"number", "Number"},
      {"number_free", "The number is free."},
      {"number_taken", "The number is taken."},
      {"operator", "Operator"},
      {"parties", "Parties"},
      {"password", "SIP password"},
      {"pattern", "Pattern"},
      {"preference", "Order"},
      {"product_site", "Product site"},
      {"received", "Received"},
      {"registrar", "Registrar / proxy"},
      {"registrations", "Registrations"},
      {"replacement", "Replacement"},
      {"restore", "Restore"},
      {"save", "Save"},
      {"saved", "Saved."},
      {"settings", "Settings"},
      {"settings_email", "E-mail"},
      {"settings_logging", "Logging"},
      {"settings_media", "Media"},
      {"settings_ports", "Network ports"},
      {"settings_security", "Security and address lists"},
      {"settings_sip", "SIP"},
      {"state", "State"},
      {"status", "Status"},
      {"system", "System"},
      {"text", "Text"},
      {"time", "Time"},
      {"timeout_seconds", "Seconds without input before the operator"},
      {"timezone", "Time zone"},
      {"to", "To"},
      {"trunk", "Trunk"},
      {"trunks", "Trunks"},
      {"type", "Type"},
      {"user_agent", "Telephone"},
      {"user_name", "User name"},
      {"web_password", "Web password"},
      {"your_settings", "Your settings"},
  };
  return d;
}

std::map<str, std::map<str, str>>& loaded() {
  static std::map<str, std::map<str, str>> dictionaries;
  return dictionaries;
}

// Reads "key=text" lines (blank lines and lines starting with "#" skipped).
const std::map<str, str>& dictionary(const str& lang) {
  auto& all = loaded();
  auto it = all.find(lang);
  if (it != all.end()) return it->second;
  std::map<str, str>& d = all[lang];
  const str text = str::read_file(web_folder() + "lang_" + lang + ".txt", false);
  for (size_t pos = 0; pos < text.length();) {
    const long nl = text.find('\n', pos);
    const size_t end = nl < 0 ? text.length() : static_cast<size_t>(nl);
    const str line = text.substr(pos, end - pos).strip();
    pos = end + 1;
    const long eq = line.find('=');
    if (line.starts_with("#") || eq <= 0) continue;
    d[line.leftstr(eq).strip()] = line.substr(eq + 1).strip();
  }
  return d;
}

struct menu_item {
  const char* page;
  const char* key;
};
const menu_item system_menu[] = {{"reg_index.htm", "dashboard"},
                                 {"reg_settings.htm", "settings"},
                                 {"reg_registrations.htm", "registrations"},
                                 {"reg_calls.htm", "live_calls"},
                                 {"reg_log.htm", "log"},
                                 {"reg_backup.htm", "backup"}};
const menu_item domain_menu[] = {
    {"dom_index.htm", "accounts"},      {"dom_trunks.htm", "trunks"},
    {"dom_dialplans.htm", "dialplans"}, {"dom_registrations.htm", "registrations"},
    {"dom_calls.htm", "live_calls"},    {"dom_settings.htm", "settings"}};
const menu_item user_menu[] = {{"usr_index.htm", "your_settings"}, {"usr_calls.htm", "call_lists"}};

template <size_t N>
void menu(const menu_item (&items)[N], const str& selected, const str& query, const char* cls,
          web_request& r) {
  r.out.appendf("<nav class=\"%S\">", cls);
  for (const menu_item& m : items) {
    const bool sel = selected == m.key;
    r.out.appendf("<a href=\"%S%s\"%S>%s</a>", m.page, query, sel ? " class=\"sel\"" : "",
                  html_escape(translate(m.key, page_language(r))));
  }
  r.out += "</nav>\n";
}

str product_name() {
  const str p = ctrl_read_registry(ctrl_settings::app_product);
  return p.empty() ? str("telmond") : p;
}

}  // namespace

str web_folder() { return http_root.empty() ? str("web/") : http_root; }

void reset_translations() { loaded().clear(); }

str page_language(const web_request& r) {
  str l = r.s ? r.s->var("lang") : str();
  if (l.empty()) l = ctrl_read_registry(ctrl_settings::language_web);
  return l.empty() ? str("en") : l;
}

str translate(const str& key, const str& lang) {
  if (lang != "en") {
    const auto& d = dictionary(lang);
    auto it = d.find(key);
    if (it != d.end()) return it->second;
  }
  auto it = english().find(key);
  return it == english().end() ? key : it->second;
}

std::vector<str> web_languages() {
  std::vector<str> out{"en"};
  for (const str& f : str::get_dir(web_folder())) {
    if (f.starts_with("lang_") && f.ends_with(".txt") && f.length() > 9)
      out.push_back(f.substr(5, f.length() - 9));
  }
  return out;
}

bool handle_furniture(const str& name, const std::vector<str>& a, web_request& r) {
  const str selected = a.size() > 1 ? a[1] : r.s->var("selected");
  str kind = r.s->var("menu");
  if (kind.empty()) {
    kind = r.s->type == session_system_admin   ? "system"
           : r.s->type == session_domain_admin ? "domain"
                                               : "user";
  }
  if (name == "header1" || name == "header1_v4") {
    const int d = context_domain(r);
    str who = html_escape(r.s->var("login_name"));
    if (d && r.s->type != session_system_admin)
      who += " @ " + html_escape(domains.get(d, domains_name));
    r.out.appendf(
        "<header class=\"top\"><span class=\"brand\">%s</span><span class=\"who\">%s</span>"
        "<a class=\"logout\" href=\"logout.htm\">%s</a></header>\n",
        html_escape(product_name()), who, html_escape(translate("logout", page_language(r))));
    if (kind == "system") menu(system_menu, selected, str(), "menu", r);
    if (kind == "domain") menu(domain_menu, selected, str(), "menu", r);
    if (kind == "user") menu(user_menu, selected, str(), "menu", r);
  } else if (name == "header2" || name == "header2_v4") {
    // The domain's own menu for a system administrator who is looking into a domain.
    const int d = context_domain(r);
    if (r.s->type != session_system_admin || !d) return true;
    r.out.appendf("<div class=\"crumb\">%s: <b>%s</b></div>\n",
                  html_escape(translate("domain", page_language(r))),
                  html_escape(domains.get(d, domains_name)));
    menu(domain_menu, selected, str::sprintf("?domain=%d", d), "submenu", r);
  } else if (name == "copyright") {
    const str footer = ctrl_read_registry(ctrl_settings::app_footer);
    r.out += footer.empty() ? html_escape(product_name() + " " + TELMOND_VERSION) : footer;
  } else if (name == "login") {
    const str text = ctrl_read_registry(ctrl_settings::app_login_text);
    r.out += html_escape(text.empty() ? translate("login_welcome", page_language(r)) : text);
  } else if (name == "web" || name == "help") {
    const str link =
        ctrl_read_registry(name == "web" ? ctrl_settings::app_link : ctrl_settings::app_help);
    const str label =
        translate(name == "web" ? str("product_site") : str("help"), page_language(r));
    if (!link.empty())
      r.out.appendf("<a href=\"%s\">%s</a>", html_escape(link), html_escape(label));
  } else {
    return false;
  }
  return true;
}
