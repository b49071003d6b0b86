// Bodies of the NOTIFY requests the registrar sends for subscriptions.
//
// Side-neutral: text formatting only.
#pragma once

#include <vector>

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
// state at the given version: one dialog in state ("early", "confirmed", "terminated") with
// its direction ("initiator" when the account called, "recipient" when it was called; the
// attribute is left out when empty). An empty state lists no dialog: the account is idle.
str dialog_info_body(const str& entity, int version, const str& state, const str& direction);
// The same for an account that is in a call it placed (confirmed, initiator) or idle.
str dialog_info_body(const str& entity, int version, bool in_call);
// The presence of one account (RFC 3863 PIDF, application/pidf+xml): basic "open" or "closed".
str pidf_body(const str& entity, bool open);

// One resource of a list subscription (RFC 4662): its URI and its own NOTIFY body.
struct list_resource {
  str uri, content_type, body;
};
// The body of a list subscription's NOTIFY: multipart/related, the RLMI document
// (application/rlmi+xml, full state, at the given version, one active instance per resource)
// first, then one part per resource, found through its Content-ID. content_type is set to the
// multipart type with its boundary, which no part contains.
str rlmi_list_body(const str& list_uri, int version, const std::vector<list_resource>& resources,
                   str& content_type);

// Feature state and feature changes of the as-feature-event package (ECMA-323 CSTA documents,
// application/x-as-feature-event+xml). Forwarding types: "forwardImmediate", "forwardBusy",
// "forwardNoAns".
str dnd_event_body(const str& device, bool on);
str forwarding_event_body(const str& device, const str& type, bool on, const str& destination);
// A change a phone sends in its SUBSCRIBE: SetDoNotDisturb or SetForwarding.
struct feature_change {
  bool dnd = false;     // SetDoNotDisturb (else SetForwarding)
  bool on = false;      // doNotDisturbOn / activateForward
  str forwarding_type;  // forwardingType
  str destination;      // forwardDN
};
// False when body is none of these documents (or malformed).
bool parse_feature_change(const str& body, feature_change& out);

extern const str c_message_summary;              // "message-summary"
extern const str c_application_message_summary;  // "application/simple-message-summary"
extern const str c_application_dialog_info;      // "application/dialog-info+xml"
extern const str c_application_pidf;             // "application/pidf+xml"
extern const str c_as_feature_event;             // "as-feature-event"
extern const str c_application_feature_event;    // "application/x-as-feature-event+xml"
