// What the template language, its directives and the form saves share: escaping, the rows a
// page is about (checked against the session's level), the elements of the lists that loops
// and option lists walk, and the translations.
//
// ctrl side: everything here runs under ctrl_run_mutex, like the tables it reads.
#pragma once

#include <map>
#include <vector>

#include "base/str.h"
#include "web/web_request.h"

// ---- Escaping ----------------------------------------------------------------------------
// & < > " ' as entities: safe inside element text and quoted attribute values.
str html_escape(const str& v);
// Percent-encoding of everything but letters, digits and "-_.~" (query parameters).
str url_encode(const str& v);

// ---- The rows a page is about ---------------------------------------------------------------
// The domain in view: a domain administrator's and a user's own; for the system administrator
// the request's "domain" argument when it names a domain, else the session's "domain". 0: none.
int context_domain(const web_request& r);
// Whether the session may see and change the domain (the system administrator every domain, a
// domain administrator his own, a user none).
bool may_manage_domain(const web_request& r, int domain);
// Whether the request's "domain", "account", "trunk" or "dialplan" argument names a row the
// session may not manage (or that does not exist): such a form is refused as a whole (403), and
// so is a page asked for with GET, never shown for the session's own rows instead.
bool names_foreign_rows(const web_request& r);
// The account (users row) in view: a user's own; for administrators the request's "account"
// argument when it is an account of a domain they manage. 0: none.
int context_account(const web_request& r);
// A trunk or dial plan of the request's "trunk" / "dialplan" argument that the session may
// manage; 0 otherwise. Global rows belong to the system administrator.
int context_trunk(const web_request& r);
int context_dialplan(const web_request& r);

// The value of a named variable as the directives read it:
//   row.X   field X of the loop element being rendered (the innermost loop that has it)
//   cfg.X   the system setting X (system administrator only; never the password digest)
//   dom.X   column X of the domain in view          ext.X   column X of the account's extension
//   att.X   column X of the account's auto attendant
//   usr.X   column X of the account's users row     trunk.X / dp.X   the trunk / dial plan in view
//   acc.name / acc.display   the account's primary name and display name
// anything else is the session variable of that name. Empty when it is not there or not the
// session's to see.
str page_value(const str& name, web_request& r);

// ---- Loops ------------------------------------------------------------------------------------
using page_row = std::map<str, str>;
// Renders body once per element of the list named by the first word of arguments; logs
// "Unknown loop type %s" for a list it does not know.
void handle_loop(const str& arguments, const str& body, web_request& r);
// The elements of a list; false when the list type is unknown. Elements the session may not
// see are left out.
bool loop_rows(const str& type, const std::vector<str>& args, web_request& r,
               std::vector<page_row>& out);
// The fields of the loop elements being rendered, innermost last (empty outside loops).
const std::vector<const page_row*>& loop_stack();

// ---- Option lists ------------------------------------------------------------------------------
// Appends the option lines of an option-list directive; false when name is none.
bool handle_list(const str& name, const std::vector<str>& args, web_request& r);
// One option line; selected marks the current value.
void append_option(str& out, const str& value, const str& label, bool selected);

// ---- Page furniture
// ------------------------------------------------------------------------------ header1 / header2
// / copyright / login / web / help; false when name is none of them.
bool handle_furniture(const str& name, const std::vector<str>& args, web_request& r);

// ---- Translations ------------------------------------------------------------------------------
// The session's web language ("lang", else the setting language_web, else "en").
str page_language(const web_request& r);
// The text of key in lang: the dictionary of that language (the file "lang_<lang>.txt" of the
// web folder, lines "key=text", read once), else the built-in English one, else the key itself.
str translate(const str& key, const str& lang);
// The languages the pages can be shown in: "en" and every "lang_<code>.txt" of the web folder.
std::vector<str> web_languages();
// The web folder: --http-dir when given, else "web/" of the working directory.
str web_folder();
// Forgets the dictionaries read so far (a new translation was uploaded; tests).
void reset_translations();
