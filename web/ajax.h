// The AJAX requests of the pages: "ajax.htm?action=NAME&...". Each action checks the session's
// level before it reads anything and answers a small fragment:
//   verify_extension  number            text "free", "taken" or "invalid" (domain in view)
//   get_user_id       [name]            text: the users row of the session's account, or for an
//                                       administrator that of the account name in the domain
//   get_user_type     [name]            text: "system", "domain" or "user" for the session, or
//                                       the type of the named account (administrators)
//   search_suggest    q                 HTML options: up to 10 accounts of the domain in view
//                                       whose name begins with q (no case)
//   call_list         [type] [count]    HTML table rows: the session account's missed, received
//                                       or dialled calls (all three without type), newest first
//   dialplan_test     dialplan number [account]   text: the route the number takes
//   load_translation  keys [lang]       text lines "key=text" for the comma-separated keys
// An action the session's level does not allow answers 403; an unknown action 404 "Unknown
// AJAX action NAME".
//
// ctrl side, under ctrl_run_mutex.
#pragma once

#include "base/str.h"
#include "web/web_request.h"

class http_request;

struct ajax_answer {
  int code = 200;  // 200, 403 or 404
  str content_type = "text/plain";
  str body;
};

// The answer of the action named by r's "action" argument.
ajax_answer ajax_action(web_request& r);
// Answers r on h: 200 with the fragment, or the error page of 403 or 404.
void answer_ajax(http_request& h, web_request& r);
