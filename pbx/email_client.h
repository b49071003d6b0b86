// The mail thread: takes the spool's message files (email.h) one at a time, oldest first,
// attaches the voicemail recordings they name, delivers them to the SMTP server of their
// domain or of the system, and deletes them, or keeps them for a later attempt (at most 50).
//
// Side: its own thread ("email"), on neither side. It never holds ctrl_run_mutex while it
// waits or talks to a server; it takes it only for the moment of each table lookup (domain
// mail settings, message rows). It holds email_mutex while it works on the spool files and
// releases it while it waits on email_sema, pauses, looks up tables and talks to the server:
// producers take email_mutex under ctrl_run_mutex, so the two are never held together here.
#pragma once

#include <vector>

#include "base/str.h"
#include "pbx/email.h"

// The body of the mail thread; never returns.
void run_email_client();
// Thread entry for service_thread_entries::email_loop.
void* email_loop(void*);

// ---- Steps of one delivery (caller holds email_mutex only where said) ----

// The voicemail message rows named by the "audio/wav" parts of a multipart/mixed message.
std::vector<int> email_attachment_rows(const email& m);
// Puts each named recording into its part, base64 in lines of 72 characters; a part whose
// message row has gone is dropped. Rows of type "emailout" are added to emailout (deleted
// once the mail is gone). False when a recording cannot be read (try again later). Takes
// ctrl_run_mutex for the lookups.
bool email_attach(email& m, std::vector<int>& emailout);

// Where and how a message is delivered.
struct smtp_target {
  str server;  // "host" or "host:port"
  bool implicit_tls = false;
};
// Chooses the server and applies the domain's or the system's sender and credentials to m
// (takes ctrl_run_mutex for the domain's columns).
// email_global: the setting's value when the message was taken. False (and logged) when no
// server is configured.
bool email_choose_server(email& m, const str& email_global, smtp_target& t);
// Host and port of a server text; the port defaults to 465 with implicit TLS, else 25.
bool smtp_split_server(const str& server, bool implicit_tls, str& host, int& port);
// Connects and runs the dialogue; the final state (12, 13 or 14). Called without email_mutex.
int smtp_deliver(email& m, const smtp_target& t);

// After an attempt on spool file `file` ending in state 12, 13 or 14: the counters, then the
// file deleted, or for a transient failure with fewer than 49 failed attempts renamed to a
// fresh number with the attempt count raised. True when the message is finished (deleted):
// its emailout rows go too.
bool email_outcome(const str& file, int state);
// Deletes the message rows (and their recordings unless another row uses them). Takes
// ctrl_run_mutex; never called with email_mutex held.
void email_delete_messages(const std::vector<int>& rows);

// Delivers the first message of the spool; false when the spool holds none. Caller holds
// email_mutex.
bool email_process_next();
