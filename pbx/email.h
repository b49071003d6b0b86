// Outgoing mail, producer side: the spool of message files and the helpers that build them.
//
// Producers never talk to a mail server. send_email writes one file per message into the
// spool folder of the working directory and wakes the mail thread (email_client.h), which
// delivers it later. The spool:
//   spool/index.txt        the number of the last message file created (decimal)
//   spool/NNNNNNN-RR.msg   one message: NNNNNNN its number (7 digits), RR the failed
//                          delivery attempts so far (2 digits; 00 for a new message)
// Files go through the file layer (base/file_system.h): written whole through a temporary
// file, new files 0600 and new folders 0700.
//
// Side: the send_email forms and email_get_title are ctrl (they read the tables under
// ctrl_run_mutex); the spool functions are side-neutral and take email_mutex themselves; the
// MIME helpers and the message format are pure.
#pragma once

#include <atomic>

#include "base/str.h"
#include "frame/mutex.h"
#include "frame/semaphore.h"

// One message as the spool holds it.
struct email {
  str from{};          // display name and <address>, or a bare address
  str to{};            // same form
  str user{};          // SMTP authentication user (empty: none)
  str password{};      // SMTP authentication password
  str subject{};       // unencoded
  str content_type{};  // with its parameters
  str body{};
  str transfer_encoding{};  // may be empty
  str auth_method{};        // "PLAIN" or "LOGIN" as the server offered; empty: none
  bool starttls_offered = false;
  bool tls_active = false;
  int domain = 0;  // whose mail server is used; 0: system mail
};

// Guards the spool folder and spool/index.txt. email_sema wakes the mail thread.
extern mutex email_mutex;
extern semaphore email_sema;

// Counters of the mail thread, shown on the status pages.
extern std::atomic<int> email_sent;
extern std::atomic<int> email_rejected;
extern std::atomic<bool> email_alert;

// ---- Message files ----

// The file text: the header lines that apply, an empty line, the body.
str email_serialize(const email& m);
// Parses a file text (header names as written, up to the first empty line; the rest is the
// body). Unknown header lines are ignored.
email email_parse(const str& text);

// ---- The spool (takes email_mutex) ----

// "spool/%07d-%02d.msg".
str email_spool_name(int number, int attempts);
// The number and attempt count of a spool file name (with or without the folder); false
// when the name is not of that form.
bool email_spool_parse_name(const str& name, int& number, int& attempts);
// Increments the counter of spool/index.txt (missing or empty counts as 0), past the number
// of any spool file still there, and writes it back; the new value, or 0 when it could not be
// written. Caller holds email_mutex.
int email_next_number();

// Spools one message; false (and nothing written) when from or to is empty or the files
// cannot be written. Signals email_sema.
bool send_email(int domain, const str& from, const str& to, const str& user, const str& password,
                const str& subject, const str& content_type, const str& transfer_encoding,
                const str& body);
// System mail (domain 0) or mail of a domain to one recipient, with the sender and
// credentials of the settings (email_global "true") or of the domain. ctrl.
bool send_email(int domain, const str& to, const str& subject, const str& content_type,
                const str& transfer_encoding, const str& body);
// Mail to the user of an account: one copy for each valid address of the extension's
// email_address column (separated by ";"). ctrl.
bool send_email(int account, const str& subject, const str& content_type,
                const str& transfer_encoding, const str& body);

// The text between the first <title> and the following </title> (tags in any case); empty
// (and a log line) when there is none.
str email_get_title(const str& html);

// ---- Addresses ----

// The address part of "Name <a@b>", "\"Name\" <a@b>" or "a@b" (without brackets).
str email_address_part(const str& text);
// A plausible mail address: one "@" with text on both sides, no white space or brackets.
bool email_valid_address(const str& address);

// ---- MIME for producers ----

// "b-" and 26 random letters and digits.
str mime_get_boundary();
// Appends "--" boundary CR LF.
void mime_section(str& text, const str& boundary);
// Appends name ": " value CR LF.
void mime_add_header(str& text, const str& name, const str& value);
// Appends "Content-Type: " type CR LF, an empty line, the body and CR LF. In text mode the
// body goes line by line with CR LF ends, a line of a single "." written as "..".
void mime_append(str& text, const str& content_type, const str& body, bool text_mode);
// Appends "--" boundary "--" CR LF.
void mime_terminate(str& text, const str& boundary);
