// The files the web server hands out under fixed names beside the pages:
//   certificate.cert  the system's certificate (PEM), for anyone, so that a telephone or a
//                     browser can be told to trust it;
//   domain.tar        the archive of the domain in view (db/domain_export.h), for its domain
//                     administrator or the system administrator;
//   message.wav?id=N  voicemail message N of the session's account;
//   playback.wav      what the session's account recorded for its mailbox: the name, or with
//                     ?greeting=N its greeting N;
//   post.htm?user=U&pass=P&file=F  a file of account U, for programs that fetch without a
//                     login: U and P are checked like a user's login in the domain named by the
//                     Host header, F is "msgN", "name" or "greetingN" (the three above).
// A file of another account is never served; wrong credentials count as a failed
// authentication of the peer's address, like a wrong SIP password.
//
// ctrl side, under ctrl_run_mutex.
#pragma once

#include "base/str.h"
#include "web/web_request.h"

struct fixed_file {
  str status = "200 Ok";  // else "403 Permission Denied" or "404 Not Found"
  str type;               // the Content-Type of a 200
  str body;               // the file, or the message of the error page
};

// False when path is none of the names above; otherwise out holds the answer.
bool serve_fixed_name(const str& path, web_request& r, fixed_file& out);

// The file of account that name ("msgN", "name", "greetingN") stands for, relative to the
// working directory; empty when there is none such of that account.
str account_file(int account, const str& name);
