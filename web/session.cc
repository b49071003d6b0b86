#include "web/session.h"

#include "base/digest.h"
#include "base/ip_port.h"
#include "base/log.h"
#include "base/random.h"
#include "db/schema.h"
#include "frame/clock.h"
#include "frame/mutex.h"
#include "frame/settings.h"
#include "frame/side_context.h"
#include "pbx/accounts.h"
#include "web/http_date.h"

std::map<str, std::unique_ptr<session_entry>> sessions;
int pac_sessions = 0;
int web_sessions = 0;

namespace {

int& counter_of(const session& s) { return s.var("type") == "pac" ? pac_sessions : web_sessions; }

int64_t session_timeout_ms() {
  int s = ctrl_read_registry(ctrl_settings::session_timeout).value();
  return static_cast<int64_t>(s < 1 ? 3600 : s) * 1000;
}

void arm(const str& id, session_entry& e) {
  e.idle.callback(*ctrl_ctx().queue, ms2ticks(session_timeout_ms()),
                  callback_argument(remove_session, id));
}

// The fields of a cookie value, separated by single spaces (an empty type word stays a field).
str cookie_field(const str& value, int n) {
  size_t from = 0;
  for (int i = 0; i < n; i++) {
    long sp = value.find(' ', from);
    if (sp < 0) return str();
    from = static_cast<size_t>(sp) + 1;
  }
  long end = value.find(' ', from);
  return end < 0 ? value.substr(from) : value.substr(from, static_cast<size_t>(end) - from);
}

bool password_matches(const str& given, const str& stored) {
  return !stored.empty() && (given == stored || md5_hex(given) == stored.tolower());
}

str web_language(int extension, int domain) {
  str lang = extensions.get(extension, extensions_language_web);
  if (lang.empty()) lang = domains.get(domain, domains_language_web);
  return lang.empty() ? str("en") : lang;
}

void fill_common(session& s, const str& account) {
  s.vars["login_name"] = account;
  s.vars["reg_prefix"] = "reg_";
  s.vars["dom_prefix"] = "dom_";
  s.vars["usr_prefix"] = "usr_";
}

// The session of the extension account of the domain host at the given level (1 or 2).
bool account_session(const str& account, const str& host, int type, session& out) {
  int domain = domain_by_name(host);
  int acct = domain ? account_by_name(account, domain) : 0;
  if (!acct || !is_extension(acct)) return false;
  int ext = extension_row(acct);
  out = session();
  out.type = type;
  fill_common(out, account);
  out.vars["domain"] = id_text(domain);
  out.vars["user"] = id_text(acct);
  out.vars["ext"] = account_name(acct);
  out.vars["lang"] = out.vars["langsel"] = web_language(ext, domain);
  out.vars["type"] = type == session_domain_admin ? "domain" : "user";
  out.vars["start"] = type == session_domain_admin ? "dom_index.htm" : "usr_index.htm";
  return true;
}

}  // namespace

str new_session_id() {
  for (;;) {
    str id = random_token(20);
    if (!sessions.count(id)) return id;
  }
}

session* find_session(const str& id) {
  auto it = sessions.find(id);
  return it == sessions.end() ? nullptr : &it->second->s;
}

session* setup_session(const session& s, const str& id) {
  ctrl_run_mutex.must_own("setup_session");
  remove_session(id);
  auto e = std::make_unique<session_entry>();
  e->s = s;
  e->s.id = id;
  counter_of(e->s)++;
  arm(id, *e);
  session* result = &e->s;
  sessions[id] = std::move(e);
  return result;
}

void refresh_timeout(const str& id) {
  auto it = sessions.find(id);
  if (it != sessions.end()) arm(id, *it->second);
}

void remove_session(const str& id) {
  ctrl_run_mutex.must_own("remove_session");
  auto it = sessions.find(id);
  if (it == sessions.end()) return;
  log_printf(log_web, 8, "Remove http session %s", id);
  counter_of(it->second->s)--;
  sessions.erase(it);
}

bool admin_password_ok(const str& account, const str& password) {
  const str pw_pass = ctrl_read_registry(ctrl_settings::pw_pass);
  // An empty password opens only while none is set, whatever digest pw_pass holds.
  bool ok = pw_pass.empty() ? password.empty()
                            : !password.empty() && md5_hex(password) == pw_pass.tolower();
  return ok && account == ctrl_read_registry(ctrl_settings::pw_user);
}

bool account_web_password(const str& account, const str& host, str& password) {
  int domain = domain_by_name(host);
  int acct = domain ? account_by_name(account, domain) : 0;
  if (!acct || !is_extension(acct)) return false;
  password = extensions.get(extension_row(acct), extensions_web_password);
  return !password.empty();
}

bool login_session(const str& account, const str& password, const str& login_type, const str& host,
                   session& out) {
  const bool system = login_type == "system";
  if ((system || login_type == "auto" || login_type.empty()) &&
      admin_password_ok(account, password)) {
    out = session();
    out.type = session_system_admin;
    fill_common(out, account);
    out.vars["lang"] = out.vars["langsel"] = "en";
    out.vars["type"] = "admin";
    out.vars["start"] = "reg_index.htm";
    return true;
  }
  str stored;
  if (system || !account_web_password(account, host, stored) || !password_matches(password, stored))
    return false;
  int domain = domain_by_name(host);
  bool admin =
      extensions.get(extension_row(account_by_name(account, domain)), extensions_admin).is_true();
  // An administrator who asks for the user pages gets them; nobody else gets more than he is.
  int type = admin && login_type != "user" ? session_domain_admin : session_user;
  if (login_type == "domain" && !admin) return false;
  return account_session(account, host, type, out);
}

str login_cookie_value(const session& s, const str& account, const str& password) {
  const char* word = s.type == session_domain_admin ? "domain"
                     : s.type == session_user       ? "user"
                                                    : "";
  return str::sprintf("%s %s %S %s", s.id, account, word,
                      md5_hex(account + ":" + password + ":" + s.id));
}

str login_set_cookie(const str& value, const str& host, int64_t now_s) {
  int64_t duration = ctrl_read_registry(ctrl_settings::cookie_duration).value64();
  str c = "session=" + value + "; expires=" + http_date(now_s + duration) + "; path=\"/\"";
  bool address = ip_address_parse(host).length() != 0;
  if (!address && host.find('.') > 0) c += "; domain=." + host;
  return c;
}

session* restore_session(const str& cookie_value, const str& host) {
  const str id = cookie_field(cookie_value, 0), account = cookie_field(cookie_value, 1);
  const str word = cookie_field(cookie_value, 2), digest = cookie_field(cookie_value, 3);
  str password;
  session s;
  if (id.length() == 20 && !word.empty() && account_web_password(account, host, password) &&
      md5_hex(account + ":" + password + ":" + id) == digest &&
      account_session(account, host, word == "domain" ? session_domain_admin : session_user, s) &&
      (word != "domain" ||
       extensions
           .get(extension_row(account_by_name(account, domain_by_name(host))), extensions_admin)
           .is_true())) {
    log_printf(log_web, 5, "Restoring existing session %s", id);
    return setup_session(s, id);
  }
  log_printf(log_web, 5, "Session could not be restored");
  return nullptr;
}
