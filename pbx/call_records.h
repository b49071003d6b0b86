// Phase accounting of the call objects and their IVR records.
//
// A call object is always in one phase, named by its "st" column since the time in "ss": "dw"
// (its caller is served by an application: menus, prompts, voicemail), "dr" (an outbound leg is
// ringing), "dt" (talking), or none (empty, before the first phase). Leaving a phase adds its
// milliseconds to the counter of the same name ("dw", "dr", "dt"). Holds are counted apart:
// "hs" is the start of the open hold, "dh" the milliseconds held (dialog_hold keeps them).
// When the call object ends, the open hold is closed and its numbers go into one row of the
// table "cdri"; rows older than the setting "cdr_keep" leave it then.
//
// ctrl side: runs under ctrl_run_mutex with the call state (call_state.h).
#pragma once

#include <cstdint>

#include "base/str.h"

// The phases; an empty type ends the call object's accounting.
inline constexpr const char* cdr_ivr = "dw";
inline constexpr const char* cdr_ringing = "dr";
inline constexpr const char* cdr_talking = "dt";

// Closes the current phase of the call object and opens one of type:
//   1. the same type as the current one: nothing happens;
//   2. otherwise the milliseconds since "ss" are added to the counter named by the current
//      type (when there is one);
//   3. "ss" becomes now and "st" type;
//   4. with an empty type (the call object ends): an open hold ("hs") adds its milliseconds to
//      "dh" and is closed, and the IVR record is written (write_ivr_cdr_record).
void begin_cdr_segment(int cobj, const str& type);

// Adds the milliseconds since "hs" to "dh" and clears "hs"; nothing without an open hold.
void close_cdr_hold(int cobj);

// Appends the call object's record to "cdri": "cid" its "id", "y" type, "u" the user served,
// "e" the extension dealt with last, "f" from, "t" to, "d" domain, "l" language, "s" the start
// of the last phase, "di", "dr", "dt", "dh" the milliseconds of each phase and of holding, "r"
// the termination reason. Then removes the records older than "cdr_keep"
// (remove_expired_ivr_cdrs).
void write_ivr_cdr_record(int cobj);

// "cdr_keep" as milliseconds: a number and a unit, "s", "m", "h", "d" (also without a unit)
// or "w"; 0 (keep everything) when it is not a positive number.
int64_t cdr_keep_ms(const str& setting);

// Removes the "cdri" rows whose "s" lies more than keep_ms before now, oldest row first; the
// walk stops at the first row that is young enough, because rows are written as call objects
// end. Nothing when keep_ms is 0.
void remove_expired_ivr_cdrs(int64_t keep_ms);
