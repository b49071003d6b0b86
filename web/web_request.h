// The contract between the web server (http_request.h: connections, framing, sessions, login,
// responses) and the pages (template.h: the template language and its directives; forms.h:
// form saves): one session of a logged-in party and the request a page is rendered for.
//
// ctrl side: everything here runs under ctrl_run_mutex.
#pragma once

#include <map>

#include "base/ip_port.h"
#include "base/str.h"

// Session levels; every page and every action is checked against them.
enum session_type {
  session_system_admin = 0,
  session_domain_admin = 1,
  session_user = 2,
  session_console = 4,  // never receives a login cookie
};

// A logged-in party, kept in the server's map of sessions by its 20-character identifier.
// vars holds what the pages need about it: "login_name", "lang", "langsel", "domain" (the
// domains row), "user" (the users row), "ext", "type", "reg_prefix", "dom_prefix",
// "usr_prefix", "wrong_password", "error_password", and whatever the pages keep between
// requests ("menu", "selected", ...).
struct session {
  str id;
  int type = session_user;
  std::map<str, str> vars;

  str var(const str& name) const {
    auto it = vars.find(name);
    return it == vars.end() ? str() : it->second;
  }
};

// One request as a page sees it. The server fills the request fields; rendering appends to out
// and leaves status at 200 while all goes well (another value stops the scan and the server
// answers with it).
struct web_request {
  session* s = nullptr;           // nullptr: the request has no session
  str method, path, host;         // path without the query, URL-decoded, without leading "/"
  std::map<str, str> args;        // query and form parameters, URL-decoded
  std::map<str, str> files;       // multipart parts that carried a filename: name -> content
  ip_port peer;

  int status = 200;
  int depth = 0;  // suppression depth of the template conditions (0: output enabled)
  str out;        // the page being rendered

  bool has_root_permission() const { return s && s->type == session_system_admin; }
  bool has_domain_permission() const {
    return s && (s->type == session_system_admin || s->type == session_domain_admin);
  }
};
