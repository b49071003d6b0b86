// The PBX's answers to the events of the call legs (sip/call_messages.h): one entry point per
// policy message, each taking the message as read from the control queue. Nothing is returned;
// every result leaves as commands (call_state.h). A message that names an unknown leg is
// logged ("Hangup: Call %s not found", ...) and ignored.
//
// The applications get their events through the dispatch table (call_app.h); where a type has
// no class for an event the generic behaviour here applies.
//
// ctrl side: runs on the control queue's thread under ctrl_run_mutex, one message at a time.
#pragma once

#include "base/str.h"
#include "frame/soap_message.h"
#include "sip/call_messages.h"

void get_dialog_policy(const msg::get_dialog_policy& in);
void dialog_response(const msg::dialog_response& in);
void dialog_hangup(const msg::dialog_hangup& in);
void dialog_refer(const msg::dialog_refer& in);
void dialog_hold(const msg::dialog_hold& in);
void dialog_dtmf(const msg::dialog_dtmf& in);
void dialog_eof(const msg::dialog_eof& in);
void dialog_timeout(const msg::dialog_timeout_report& in);

// The control queue's dispatcher of the call events: true when text was one of them (including
// DialogEND, UpdateCallID, DialogRec and CMC).
bool dialog_events_on_soap(const str& text);
// The same for a message already read (the queue's dispatcher reads each message once).
bool dialog_events_on_soap(const soap_envelope& e);
