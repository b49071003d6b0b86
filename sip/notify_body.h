// Bodies of the NOTIFY requests the registrar sends for subscriptions.
//
// Side-neutral: text formatting only.
#pragma once

#include "base/str.h"

// The voicemail summary of a mailbox (RFC 3842, application/simple-message-summary):
//   Messages-Waiting: yes|no CR LF
//   Message-Account: <account> CR LF
//   Voice-Message: new/old (urgent new/urgent old) CR LF
// "yes" when there is at least one new message. The Message-Account line is left out when
// account is empty.
str message_summary_body(const str& account, int new_messages, int old_messages, int urgent_new,
                         int urgent_old);

// The dialog state of one watched account (RFC 4235, application/dialog-info+xml), "full"
// state at the given version. Without a call the body lists no dialog.
str dialog_info_body(const str& entity, int version, bool in_call);
// The presence of one account (RFC 3863 PIDF, application/pidf+xml): basic "open" or "closed".
str pidf_body(const str& entity, bool open);

extern const str c_message_summary;              // "message-summary"
extern const str c_application_message_summary;  // "application/simple-message-summary"
extern const str c_application_dialog_info;      // "application/dialog-info+xml"
extern const str c_application_pidf;             // "application/pidf+xml"
