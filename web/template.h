// The template language of the web pages: HTML with directives in braces.
//   {ssi NAME ARGS}            a server-side directive (handle_ssi); inside an HTML comment
//                              ("<!-- {ssi ...} -->") the comment goes with it
//   {lng KEY}                  the translation of KEY in the session's web language
//   {loop start LIST ARGS} ... {loop end}   the body once per element of LIST
// Conditions nest and are evaluated even while output is suppressed: if/fi NAME VALUE,
// ifn/fin NAME VALUE, lang_on/lang_off LANG. A lone "{" is copied.
//
// ctrl side.
#pragma once

#include "base/str.h"
#include "web/web_request.h"

// Renders text into r.out with r's session and arguments.
void filter_file(const str& text, web_request& r);

// One directive (the text between "{ssi " and "}", trimmed): 0 keeps what was emitted before
// it; 1 removes the output back to and including the last space and skips a double quote
// right after the directive (the attribute it stood in disappears); 2 removes the output back
// to the last equals sign and skips a following double quote (the bare attribute name stays).
int handle_ssi(const str& directive, web_request& r);

// Form saves: applies the POSTed form of r selected by action (the parameter "action" or the
// name of the submit button), after checking r's session level; the page to show next (empty:
// the requested one). Writes go through the table store.
str apply_form(const str& action, web_request& r);
