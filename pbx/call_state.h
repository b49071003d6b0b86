// The PBX's state of every call: one cobjs row per call object and one legs row per SIP leg
// (db/schema.h names their columns), and the operations the call logic and the applications
// use to change them. Every change a leg must see leaves as a command to the call legs
// (sip/call_messages.h) through the ctrl side's post; an entry point never sees the effect of
// its own commands, which the srv side applies after it returns.
//
// Identifiers. A leg row's "id" is the leg's identifier in every message: the call port index
// in decimal for a leg that called in, and for a leg the PBX starts the SIP Call-ID it chose,
// until UpdateCallID tells its port index, which then replaces it (leg_update_id). Times
// ("start", "connect", "stamp", "hs") are wall-clock timestamps in the store's text form.
//
// ctrl side: every function runs under ctrl_run_mutex on the control queue's thread.
#pragma once

#include <vector>

#include "base/str.h"
#include "frame/side_context.h"
#include "frame/soap_message.h"
#include "sip/call_messages.h"

// Leg states; "terminated" is final.
inline constexpr const char* leg_alerting = "alerting";
inline constexpr const char* leg_ringback = "ringback";
inline constexpr const char* leg_connected = "connected";
inline constexpr const char* leg_holding = "holding";
inline constexpr const char* leg_onhold = "onhold";
inline constexpr const char* leg_terminated = "terminated";

// The status that ends a ringing leg because another leg of its call object answered: the leg
// sends CANCEL with the reason "Call completed elsewhere".
inline constexpr int code_completed_elsewhere = 1487;

// Posts one command to the call legs.
template <soap_message M>
void post_command(const M& m) {
  ctrl_ctx().post(soap_write(m));
}

// ---- Rows ----

// A new call object in state "idle", its "id" the SIP Call-ID of the first leg; the row number.
int cobj_create(const str& sip_id, const str& from, const str& to, int domain);
// Adds a legs row: "id", "cid", "ref", "sec", "inbound", "from", "to" and "start" (now).
int leg_create(bool inbound, const str& leg_id, const str& call_id, const str& from, const str& to,
               int cobj, bool secure);
// The legs row with that identifier; 0 for none.
int leg_by_id(const str& id);
// UpdateCallID: the leg that the PBX knew by the SIP Call-ID call_id gets its port index.
void leg_update_id(const str& call_id, const str& port);
// A column of a row as a number (0 when empty), and a flag column ("true").
int cobj_int(int cobj, const str& column);
int leg_int(int leg, const str& column);
bool leg_flag(int leg, const str& column);
// The call object of a leg and its primary leg.
int leg_cobj(int leg);
int primary_leg(int cobj);
// The legs of a call object, in row order.
std::vector<int> legs_of(int cobj);
// The legs whose "ext" is the extension row (or account) given, of any call object.
std::vector<int> legs_of_extension(const str& extension);
// Whether legs_of_extension(extension) has any leg; one index lookup, whatever their number.
bool extension_has_legs(const str& extension);
// The leg on the other side of leg: the primary leg for any other leg; for the primary leg the
// connected leg, else the first other leg that is not terminated. 0 when there is none.
int call_other_side(int cobj, int leg);
// The leg of the domain whose SIP Call-ID is call_id (and tags, when given, of its From/To);
// 0 when none.
int search_callid(int domain, const str& call_id, const str& from_tag, const str& to_tag);

// ---- State ----

// Sets the state of a leg; a terminated leg and a change to the same state are ignored. Every
// real change is reported to the watchers of the leg's extension (dialog and presence
// subscriptions, registration.h).
void set_leg_state(int leg, const str& state);
void set_cobj_state(int cobj, const str& state);
// The application serving the call object from now on: "iu" = the account, "type" = its type.
void set_ivr_user(int cobj, int account, const str& type);

// ---- Commands to a leg ----

// What a leg plays with its answer (the SetDialogState children beside the code).
struct leg_play {
  str file;  // a file or a space-separated list of prompts; empty for none
  bool loop = false;
  bool alert = false;  // play as early media (reported by DialogEOF when it ends)
  bool analyse_dtmf = false;
  bool cache = false;
  str conf_dest;
  bool moderator = false;
  str picture;
};
// The SetDialogState command that answers code with reason on the leg named leg_id and plays
// what play says (a leg without a row yet is refused with it).
msg::set_dialog_state dialog_state_command(const str& leg_id, int code, const str& reason,
                                           const leg_play& play = {});
// SetDialogState: the leg answers code (100..699) with reason and plays what play says. For a
// code 200..299 the leg's "connect" is set if empty; 101..199 makes the leg "ringback" when it
// is inbound, "alerting" otherwise; 200..299 makes an empty, alerting or ringback leg
// "connected".
void send_dialog_state(int leg, int code, const str& reason, const leg_play& play = {});
// SetPlayfile: change what the leg plays without a new answer.
void send_play_file(int leg, const leg_play& play);
// Plays a prompt list to the caller of an application (alerting at its end, keys analysed):
// on the answered call at once, else answering the leg with 200 "Ok" and marking the call
// object "connected".
void play_prompts(int cobj, int leg, const str& files, bool loop = false);
// SetMohFile: music on hold from file; empty stops it.
void send_moh(int leg, const str& file);
// The leg's named timer: after ms, DialogTimoutReport with name and arg; a timer of the same
// name is replaced. Clearing an empty name clears them all.
void set_leg_timer(int leg, const str& name, int ms, const str& arg = str());
void clear_leg_timer(int leg, const str& name);

// ---- Calls ----

// Bridges the primary leg with the answering leg: clears the answering extension's
// call_return, the primary leg's timers, ends every other leg of the call object except the
// primary with 1487 "Request Terminated", answers the primary leg 200 "Ok" when it is not
// connected yet, and links the two (ConnectCalls).
void connect_two_calls(int cobj, int primary, int answering);
// Ends the call object: the primary leg gets code and reason, every other leg 486 "Busy Here".
void cobj_hangup(int cobj, int code, const str& reason);
// Ends one leg with code and reason (SetDialogState); it becomes "terminated".
void leg_hangup(int cobj, int leg, int code, const str& reason);
// Ends every leg of the call object but keep (486 "Busy Here").
void dialog_hangup_all_others(int cobj, int keep);
// Puts new_leg in the place of old_leg (its call object, its role as primary leg); old_leg is
// ended. With bridge, new_leg is linked with the old leg's other side. new_leg goes on
// with its IVR state (move_ivr).
void replace_call(int old_leg, int new_leg, bool bridge);
// MoveIVR: to_leg takes over what from_leg played, recorded and analysed for the application,
// on the call legs and in the rows ("rec", and the digit buffer "digits", "stamp").
void move_ivr(int from_leg, int to_leg);

// One registration to ring: the registrations row; the extension it belongs to.
struct ring_target {
  int registration = 0;
  int extension = 0;  // users row of the extension
};
// Rings every registration at once for the call object: one new outbound leg each (secure like
// the primary leg, "ext" = the extension, "pic" = the caller's picture, "type" = the call
// object's type), started with StartDialog to the registration's contact with its Call-ID as
// Registration, the caller and callee shown in local form, the extension's codecs, and the
// Alert-Info given (an intercom call's auto-answer). Returns the new legs.
std::vector<int> initiate_call_to_all_registered_extensions(const std::vector<ring_target>& targets,
                                                            int cobj, int primary,
                                                            const str& caller, const str& callee,
                                                            const str& alert_info = str());
// The plain registrations (no event) of an extension account that have not expired.
std::vector<ring_target> registrations_of(int account);

// ---- Ends of rows ----

// DialogEND: the leg's port is gone; its row is removed, and with the last leg its call object
// (cobj_last_reference_deleted).
void leg_removed(int leg);
// The last leg of a call object is gone: the row is deleted, the watchers of the user it
// served are notified, the call is counted, and expired legs are collected.
void cobj_last_reference_deleted(int cobj);
// Removes every leg older than max_call_duration + 600 seconds (8 hours when that setting is
// 0 or less), writing its columns to "expired-<leg>.txt" in the working directory.
void dialog_garbage_collection();
// A fresh SIP Call-ID for a leg the PBX starts.
str new_leg_call_id();
