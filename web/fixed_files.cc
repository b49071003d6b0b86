#include "web/fixed_files.h"

#include "base/log.h"
#include "db/domain_export.h"
#include "db/schema.h"
#include "frame/clock.h"
#include "pbx/accounts.h"
#include "pbx/address_list_table.h"
#include "web/pages.h"
#include "web/session.h"

namespace {

const char denied[] = "Please log in with the appropriate permissions";

str arg(const web_request& r, const char* name) {
  auto it = r.args.find(name);
  return it == r.args.end() ? str() : it->second;
}

void refuse(fixed_file& out, const str& status, const str& message) {
  out.status = status;
  out.body = message;
}

// The account file as the answer (404 when it has none such).
void send_account_file(int account, const str& name, const web_request& r, fixed_file& out) {
  const str file = account_file(account, name);
  if (file.empty() || !str::read_file(file, out.body, false)) {
    log_printf(log_web, 3, "Webserver: Could not read file %s", r.path);
    refuse(out, "404 Not Found", "File " + html_escape(r.path) + " not found");
    return;
  }
  out.type = "audio/wav";
}

// The user session that the credentials of post.htm give, or none.
bool credentials_ok(const web_request& r, session& s) {
  const str user = arg(r, "user"), pass = arg(r, "pass");
  if (!user.empty() && login_session(user, pass, "user", r.host, s)) return true;
  log_printf(log_web, 3, "Login attempt with wrong password");
  authentication_result(clock_now(), r.peer.unmapped().address, false, "web");
  return false;
}

}  // namespace

str account_file(int account, const str& name) {
  if (!users.has_row(account)) return str();
  if (name == "name") return str::sprintf("recordings/name-%d.wav", account);
  const str number = name.substr(name.starts_with("msg") ? 3 : 8);
  if (!number.is_number() || number.value() < 1) return str();
  if (name.starts_with("greeting"))
    return str::sprintf("recordings/greeting-%d-%d.wav", account, number.value());
  const int m = number.value();
  if (!name.starts_with("msg") || !messages.has_row(m) ||
      messages.get(m, messages_user) != id_text(account) ||
      messages.get(m, messages_type) != "vmail")
    return str();
  return messages.get(m, messages_filename);
}

bool serve_fixed_name(const str& path, web_request& r, fixed_file& out) {
  out = fixed_file();
  if (path == "certificate.cert") {
    for (int id = certificates.first(); id && out.body.empty(); id = certificates.next(id))
      if (certificates.get(id, certificate_type) == "sip")
        out.body = certificates.get(id, certificate_public);
    if (out.body.empty()) refuse(out, "404 Not Found", "File certificate.cert not found");
    out.type = "application/x-x509-ca-cert";
    return true;
  }
  if (path == "domain.tar") {
    const int d = context_domain(r);
    if (!r.has_domain_permission() || !may_manage_domain(r, d)) {
      refuse(out, "403 Permission Denied", denied);
      return true;
    }
    out.body = save_domain(d);
    out.type = "application/x-tar";
    return true;
  }
  if (path == "message.wav" || path == "playback.wav") {
    const int a = r.s ? context_account(r) : 0;
    if (!a) {
      refuse(out, "403 Permission Denied", denied);
      return true;
    }
    const str greeting = arg(r, "greeting");
    send_account_file(a,
                      path == "message.wav" ? "msg" + arg(r, "id")
                      : greeting.empty()    ? str("name")
                                            : "greeting" + greeting,
                      r, out);
    return true;
  }
  if (path == "post.htm") {
    session s;
    if (!credentials_ok(r, s)) {
      refuse(out, "403 Permission Denied", denied);
      return true;
    }
    send_account_file(s.var("user").value(), arg(r, "file"), r, out);
    return true;
  }
  return false;
}
