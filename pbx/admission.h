// What a new call becomes: get_dialog_state identifies the caller (extension, trunk or the
// loopback trunk), normalises the numbers, finds the call's domain, enforces the call limits,
// creates the call object and its primary leg, handles Replaces, and hands the destination to
// dial_a_number, which the applications also use whenever a call object must go to a new
// destination (transfers, forwarding, menu choices).
//
// ctrl side.
#pragma once

#include "base/str.h"
#include "sip/call_messages.h"

// A new inbound leg. Always answered: by SetDialogState with a final code, or by the
// application that takes the call.
void get_dialog_state(const msg::get_dialog_state& in);

// Routes a dialled destination for the call object: loop protection, star codes, redial
// memory, emergency numbers, then the application of the destination's user type (or extcall
// for a number that is no account). caller is the calling extension's users row (0 for none);
// uri the destination (a SIP URI or a bare user part), to the To text.
void dial_a_number(int caller, int cobj, const str& uri, const str& to);

// A trunk or a user row may be known for a caller: which wins (the trunk when its aadr setting
// is not empty). Clears the loser.
void trunk_or_user(int& trunk, int& user);
// False when count more call objects would exceed the system or the domain limit.
bool check_additional_call(int domain, int count);
// Whether the extension (users row) may take or place another call.
bool extension_call_have_more_calls(int extension, bool check_call_waiting, bool require_idle);
// False (and the call ended 482 "Loop Detected") when the call object was routed too often;
// otherwise its counter goes up.
bool check_loop_count(int cobj);
// The position (from 1) of number in the domain's emergency numbers; 0 when it is none.
int check_e911(int domain, const str& number);
// Whether number is the mailbox prefix of the domain followed by an extension with a mailbox;
// the extension's users row, or 0.
int is_direct_mailbox(int domain, const str& number);
