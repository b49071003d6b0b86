// Dial plans: which plan serves a caller, the routing decision for a dialled number (to a trunk,
// to an extension, back into the system through the loopback trunk, or refused), the call flag
// of a number, trunk failover, and the start of the outbound leg of an external call. Also the
// telephone patterns of the permission lists.
//
// A dial plan is a dial_plan row; its entries are the dial_plan_entry rows whose "id" names
// it, tried by "preference" (lower first; equal preferences in row order). Each entry is the
// substitution "!" pattern "!" replacement "!i" (pbx/dial_pattern.h) applied to "user@host" of
// the dialled URI; a non-empty result is a match. The entry's "trunk" says what a match does:
// a trunks row number sends the result out on that trunk, "-" refuses the number, "+" names an
// extension of the caller's domain, "*" looks the number up among all accounts of the system
// and loops the call back in ("lo").
//
// ctrl side: everything runs under ctrl_run_mutex; commands leave through ctrl_ctx().post.
#pragma once

#include <climits>

#include "base/str.h"

// ---- Permission lists ----

// Whether number matches the telephone pattern as a whole: "?" one character, "$" one dialable
// character (digit, "#", "*", "+", "-"), "%" a run of dialable characters, "*" any run, "[...]"
// one character of a set with ranges ("[]" and a range whose end is not above its start fail),
// "\c" the character c. An empty pattern matches only the empty number.
bool dialplan_match_tel(const str& number, const str& pattern);
// Whether number is allowed by the permission list: space-separated items, "*" (everyone), a
// numeric range "low-high" (compared numerically), or a telephone pattern. An empty list gives
// fallback.
bool check_permission(const str& number, const str& list, bool fallback);

// ---- Routing ----

// The dial plan of a call: the calling user's own (users row), else his domain's default; for a
// call without calling user, the default of the domain of the trunk it came in on when the
// trunk's "dialplan" is "true". 0 when there is none (logged).
int get_dial_plan(int user, int trunk);

// The outcome of a routing decision: a trunk (non-zero) with the destination name-addr, or a
// destination without trunk (the name of an extension of the caller's domain), or loopback
// with the destination name-addr; nothing when all are empty.
struct dialplan_route {
  int trunk = 0;
  str destination;
  int preference = 0;  // the preference of the entry that matched
  bool loopback = false;
  str coline_name;  // "\c": the shared line chosen on the trunk (its colines row)
  int coline = 0;   // that colines row, 0 for a trunk without line appearances
};

// Routes request_uri (a SIP URI) for user (users row, 0 for a call from a trunk) through his
// dial plan. coline is the colines row the call is bound to (0 for none); leg the caller's leg
// (its trunk serves a call without user). Only entries with a preference above min_preference
// are tried (INT_MIN for the first attempt). True when the route names a trunk, a destination
// or the loopback.
bool find_extension_dialplan_entry(int user, const str& request_uri, int coline,
                                   dialplan_route& out, int min_preference = INT_MIN, int leg = 0);
// The same decision through the dial plan row plan for user (0: none) in domain (whose accounts
// the "+" entries name); the dial plan page's test uses it. False for a plan that is no row.
bool route_in_dial_plan(int plan, int user, int domain, const str& request_uri, int coline,
                        dialplan_route& out, int min_preference = INT_MIN);

// The call flag of number for user: the "cmc" of the first entry (in preference order) that
// matches it; "c" asks for a cost-centre code, "p" for the caller's PIN. Empty for none, and
// for a call without calling user.
str get_call_flag(int user, const str& number, int coline);

// Whether a failed call on trunk may go on with the next dial plan entry, by the trunk's
// "failover": "always"; "only_5xx" for codes 500 and above and 408; "except_busy" for every code
// but 486; anything else never. Going on sends the failover notice (send_failover_email).
bool try_failover(int trunk, int code, const str& reason);
// The administrator's notice that trunk failed over with code and reason. For now it is only
// logged: the mail spool that sends it is wired in by the composition root's integrator.
void send_failover_email(int trunk, int code, const str& reason);

// Results of try_external_number.
enum external_result : int {
  ext_started = 0,      // an outbound leg (or the extension's registrations) was started
  ext_no_route = 1,     // no entry routes the number (or no rate, credit or line)
  ext_empty = 3,        // the number is empty
  ext_unreachable = 4,  // the extension of a "+" entry has no registration or is busy
  ext_handed_on = 5,    // dial_a_number took the call (an account that is no extension)
};

// Routes number (a bare number or a SIP URI) for the call object cobj and starts the outbound
// leg: through the loopback trunk, to the registrations of an extension, or on a trunk with
// the trunk's credentials, caller identity and codecs (its "request-timeout" timer set when
// the trunk has a request_timeout). user is the calling account (0 for none), key the
// confirmation key the answering party must press (empty for none). leg gets the new leg's
// row (0 when none was started).
int try_external_number(int& leg, int cobj, int primary, int user, const str& number,
                        const str& key, int min_preference = INT_MIN);
