// The PBX half of the registrar: decides who may register or subscribe for what and keeps each
// binding as a row of the registrations table, which the call logic reads to reach registered
// telephones. The srv half (sip/reg_in.h) asks through GetRegisterPolicy and RegisterRequest,
// reports refreshes (RRU) and expiries (RegisterExpires); the answers go back with pbxsrv_post.
//
// ctrl side: every function runs under ctrl_run_mutex (control timer thread).
#pragma once

#include <vector>

#include "base/str.h"
#include "frame/clock.h"
#include "frame/soap_message.h"

struct get_register_policy_input {
  str call_id, adr, to, from;
};
// A refusal that the addresses alone decide (code 0: none).
struct address_refusal {
  int code = 0;
  str reason;
};
// The answer to GetRegisterPolicy. A refusal (403 "Forbidden", 404 "Not Found", 404
// "Registration Not Possible", logged "Refusing registration from ...") is answered by the srv
// half at once, before any challenge: without it such a request would meet the empty
// credentials and be dropped in silence, as an account without a password is.
struct register_policy {
  bool found = false;
  str permitted, realm, user, password;
  address_refusal refusal;
};

struct registration_request_input {
  str adr, from, to, call_id;
  unsigned cseq = 0;
  str expires, contact, event, event_parameters, instance, www, user_agent, supported,
      proxy_require, body;
};
struct registration_answer {
  int code = 200;
  str reason;
  int expires = 0;
  // A subscription that did not exist before (its initial NOTIFY follows the answer), and the
  // account subscribed to.
  bool new_subscription = false;
  int account = 0;
};

// The voicemail summary NOTIFY body of an account's mailbox (the messages rows it owns).
str voicemail_summary(int account);
// The mailbox of account changed: the summary "new/old (urgent new/urgent old)" is compared
// with the extension's `vm_indicator`; when it differs it is stored there and every
// message-summary subscription of the account gets a NOTIFY with voicemail_summary. Nothing is
// sent for an extension whose `mwi` is "false". True when NOTIFYs went out.
bool send_mwi(int account);

// An address (a From or To value) resolved to its account (users row) and domain (domains row);
// 0 where it does not resolve.
struct resolved_account {
  int account = 0;
  int domain = 0;
};
resolved_account resolve_account(const str& address);

register_policy get_register_policy(const get_register_policy_input& in);
registration_answer registration_request(const registration_request_input& in);
// A refresh of the binding with that Call-ID: its expiry moves.
void registration_request_update(const str& call_id, unsigned cseq, const str& expires,
                                 const str& body);
// The srv half removed the binding: its rows are deleted.
void registration_expires(const str& call_id);
// False (and the row deleted) when the row's date has passed.
bool registration_still_valid(int row, const rtimestamp& now);
void delete_a_registration(int row);

// Start-up: the bindings that outlive a restart. Every registrations row whose date has passed
// is deleted; the others are returned with the time they have left (at most setting
// max_expires + 15 seconds), for the srv half to re-create them (registrar_restore).
struct kept_registration {
  str call_id, from, to, event, adr, contact;
  int64_t remaining_ms = 0;
};
std::vector<kept_registration> registrations_after_restart(const rtimestamp& now);

// The calls of an account changed (a leg of it rang, was answered, held, ended): every dialog
// and presence subscription of the account gets a NOTIFY (SubscriptionNotify) with the new
// state: dialog-info "early" while a leg of it rings, "confirmed" while one is in a call
// (connected, holding or held), no dialog when it is idle; presence "open" while it has a plain
// registration.
void dialog_state_changed(int account);

// Who may watch whose calls (a dialog SUBSCRIBE): accounts of one domain only, and there the
// account itself; any account that is no extension (groups, orbits, attendants serve the
// whole domain); and an extension that is a buddy of the watcher, or whose buddies list
// names the watcher.
bool may_watch_dialogs(int watcher, int watched);

// The ctrl side's handler for the registrar's messages; true when text was one of them.
// Answers leave through the ctrl side's post (ctrl_context).
bool registration_on_soap(const str& text);
// The same for a message already read (the queue's dispatcher reads each message once).
bool registration_on_soap(const soap_envelope& e);

// Installs registration_on_soap as the receiver of the ctrl queue.
void install_registration();
