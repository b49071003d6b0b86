// Charging of answered trunk legs from the trunk's rates (table "rates": "trunk", "prefix",
// "price" per minute, "period" the billing step in seconds, "upfront" the steps charged at the
// answer) against the charged account's "credit".
//
// A leg placed on a trunk (try_external_number) carries the charged account in "cu" and the
// dialled number in local form in "cr". From its answer on:
//   - charge_start: the rate with the longest prefix of the number's global form fixes the
//     price per minute in "cp"; the timer "tocrg" is set (every charge_tick_seconds).
//   - charge_leg (each "tocrg" and once more when the leg ends): the time since the answer,
//     rounded up to whole billing steps (60 s when the rate names none) and at least the
//     upfront steps, is the duration "cd" in seconds; the cost "cc" is price * cd / 60. What
//     "cc" grew by is deducted from the account's credit. An account whose credit is empty is
//     not limited (it pays afterwards).
//   - When what is left of a limited credit does not pay the time up to the next tick, the
//     call ends (log "Credit of %s exhausted, ending the call on trunk %s") with 402 "Payment
//     Required" for its primary leg; the leg is charged up to that moment.
// So a caller never owes more than his credit; he may lose up to one tick of it.
//
// Amounts are decimal texts with up to four places ("0.05", "9.9917").
//
// ctrl side: runs under ctrl_run_mutex with the call state (call_state.h).
#pragma once

#include "base/str.h"

inline constexpr int charge_tick_seconds = 10;

// The rate of the trunk for a global number: the row with the longest matching prefix; 0 for
// none.
int rate_for(int trunk, const str& global);
// The leg was answered: starts its charging when it is on a trunk with a rate for its number
// and has a charged account. Nothing otherwise.
void charge_start(int leg);
// Brings the leg's duration, cost and the account's credit up to now; with the leg still
// running, ends the call when the credit does not pay the next tick and sets the next timer
// otherwise. Nothing for a leg whose charging did not start.
void charge_leg(int leg);
// The last account of a leg that ends: charge_leg without a further timer or hang-up.
void charge_end(int leg);

// An amount as stored: at most four decimal places, trailing zeros dropped.
str money_text(double amount);
