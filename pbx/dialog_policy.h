// The PBX's answers to the call legs' questions about new calls (sip/call_messages.h).
//
// No call is routed here: GetDialogPolicy is answered "Found" "false" (the caller is not
// challenged) and GetDialogState with SetDialogState 480 "Temporarily Unavailable", so that a
// phone calling in gets a clean refusal and its leg ends at once.
//
// ctrl side: runs on the control queue's thread under ctrl_run_mutex.
#pragma once

#include "base/str.h"

// True when text was one of the call legs' questions (it is answered through ctrl_ctx().post).
bool dialog_policy_on_soap(const str& text);
