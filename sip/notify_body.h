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

extern const str c_message_summary;              // "message-summary"
extern const str c_application_message_summary;  // "application/simple-message-summary"
