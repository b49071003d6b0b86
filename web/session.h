// The sessions of the web server: the map of logged-in parties by their 20-character
// identifier, their idle timers and the two counters, the logins of the three levels and the
// login cookie (making it, and restoring a session from it after the session is gone).
//
// ctrl side: everything here runs under ctrl_run_mutex. The idle timers run on the ctrl side's
// timer queue (ctrl_ctx().queue: http_thread_queue in the daemon), which takes the same lock.
#pragma once

#include <map>
#include <memory>

#include "base/str.h"
#include "frame/timeout.h"
#include "web/web_request.h"

// A session as the server keeps it: the session the pages see and its idle timer.
struct session_entry {
  session s;
  timeout idle;
};

extern std::map<str, std::unique_ptr<session_entry>> sessions;
// Live sessions whose "type" variable is "pac", and all others.
extern int pac_sessions;
extern int web_sessions;

// A fresh identifier (20 letters and digits) that no live session has.
str new_session_id();
// The session with that identifier, nullptr when there is none.
session* find_session(const str& id);
// Stores s under id (replacing a session of that id), counts it and arms its idle timer with
// session_timeout seconds (values below 1 mean 3600).
session* setup_session(const session& s, const str& id);
// Re-arms the idle timer of the session id (nothing when there is none).
void refresh_timeout(const str& id);
// Logs "Remove http session %s", uncounts and erases the session (nothing when there is none).
void remove_session(const str& id);

// ---- Logins ------------------------------------------------------------------------------------

// The system administrator's credentials: the account must equal pw_user, and the password is
// right when pw_pass is empty and the password too, or when pw_pass is the lower-case
// hexadecimal MD5 digest of the password.
bool admin_password_ok(const str& account, const str& password);

// The session a login of account in the domain named host gives: a system administrator
// (login_type "auto" or "system") or, unless login_type is "system", the domain administrator
// (extensions marked admin) or user of the extension. False when the credentials fit nothing.
// The session's identifier is left empty.
bool login_session(const str& account, const str& password, const str& login_type, const str& host,
                   session& out);

// The account's web password in the domain named host; false when the account is no extension
// of that domain or has none.
bool account_web_password(const str& account, const str& host, str& password);

// The login cookie's value: identifier, account, type word ("domain", "user"; empty for the
// system administrator, whose sessions are never restored from a cookie) and the lower-case
// hexadecimal MD5 digest of account ":" password ":" identifier.
str login_cookie_value(const session& s, const str& account, const str& password);

// The Set-Cookie value for that cookie: "session=" + value, expires (now plus cookie_duration
// seconds, in the HTTP date form), path "/" and, for a host name with a dot that is not an
// address, domain "." + host (browsers drop cookies whose domain is an address or a single
// label, and the login would never stick).
str login_set_cookie(const str& value, const str& host, int64_t now_s);

// Restores the session that the cookie value names (its identifier at least 20 characters, a
// third field, the digest matching the account's current web password) and sets it up under
// the cookie's identifier; logs "Restoring existing session %s" or "Session could not be
// restored". nullptr when it could not be restored.
session* restore_session(const str& cookie_value, const str& host);
