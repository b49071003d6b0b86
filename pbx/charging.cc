#include "pbx/charging.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "base/log.h"
#include "db/schema.h"
#include "frame/clock.h"
#include "pbx/accounts.h"
#include "pbx/call_state.h"
#include "pbx/number_forms.h"

namespace {

double amount(const str& text) { return std::strtod(text.c_str(), nullptr); }

// The global form of the number a leg calls ("cr" holds it in local form).
str called_number(int leg) {
  return get_global_number(cobj_int(leg_cobj(leg), cobj_domain),
                           legs.get(leg, leg_charge_remote_party));
}

// Seconds billed after elapsed_ms: whole steps begun, at least the upfront ones.
int64_t billed_seconds(int64_t elapsed_ms, int period, int upfront) {
  const int64_t step_ms = int64_t(period) * 1000;
  const int64_t steps = std::max<int64_t>(0, (elapsed_ms + step_ms - 1) / step_ms);
  return std::max<int64_t>(steps, upfront) * period;
}

// Charges the leg up to now; with running, decides on the next tick.
void account(int leg, bool running) {
  const str price_text = legs.get(leg, leg_charge_price);
  const atimestamp connect = atimestamp_parse(legs.get(leg, leg_connect));
  if (price_text.empty() || !connect) return;
  const int trunk = leg_int(leg, leg_trunk);
  const int rate = rate_for(trunk, called_number(leg));
  const int period = std::max(1, rates.get(rate, rate_period).strip().value() > 0
                                     ? rates.get(rate, rate_period).strip().value()
                                     : 60);
  const int upfront = std::max(0, rates.get(rate, rate_upfront).strip().value());
  const double price = amount(price_text);
  const int64_t elapsed = wall_now() - connect;
  const int64_t seconds = billed_seconds(elapsed, period, upfront);
  const double cost = price * double(seconds) / 60.0;
  const double grown = cost - amount(legs.get(leg, leg_charge_cost));
  legs.set(leg, leg_charge_duration, str::from_int64(seconds), false);
  legs.set(leg, leg_charge_cost, money_text(cost), false);
  legs.write_row(leg);

  const int user = leg_int(leg, leg_charge_user);
  const str credit = users.get(user, users_credit).strip();
  const bool limited = !credit.empty();
  double left = amount(credit);
  if (limited && grown > 0) {
    left -= grown;
    users.set(user, users_credit, money_text(left));
  }
  if (!running) return;
  if (limited) {
    const int64_t next = billed_seconds(elapsed + charge_tick_seconds * 1000LL, period, upfront);
    if (left + 1e-9 < price * double(next) / 60.0 - cost) {
      log_printf(log_application, 4, "Credit of %s exhausted, ending the call on trunk %s",
                 account_name(user), trunks.get(trunk, trunks_name));
      cobj_hangup(leg_cobj(leg), 402, "Payment Required");
      return;
    }
  }
  set_leg_timer(leg, "tocrg", charge_tick_seconds * 1000);
}

}  // namespace

int rate_for(int trunk, const str& global) {
  const str digits = global.lstrip('+');
  int best = 0;
  size_t best_length = 0;
  for (int r = rates.first(); r; r = rates.next(r)) {
    if (rates.get(r, rate_trunk) != id_text(trunk)) continue;
    const str prefix = rates.get(r, rate_prefix).lstrip('+');
    if (digits.starts_with(prefix) && (!best || prefix.length() > best_length)) {
      best = r;
      best_length = prefix.length();
    }
  }
  return best;
}

void charge_start(int leg) {
  if (!legs.has_row(leg) || !legs.get(leg, leg_charge_price).empty()) return;
  const int trunk = leg_int(leg, leg_trunk);
  if (!trunk || !leg_int(leg, leg_charge_user)) return;
  const int rate = rate_for(trunk, called_number(leg));
  if (!rate) return;
  legs.set(leg, leg_charge_price, rates.get(rate, rate_price).strip(), false);
  account(leg, true);
}

void charge_leg(int leg) {
  if (legs.has_row(leg) && legs.get(leg, leg_state) != leg_terminated) account(leg, true);
}

void charge_end(int leg) {
  if (legs.has_row(leg)) account(leg, false);
}

str money_text(double amount) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%.4f", amount);
  str text(buffer);
  while (text.ends_with("0")) text = text.leftstr(text.length() - 1);
  if (text.ends_with(".")) text = text.leftstr(text.length() - 1);
  return text == "-0" ? str("0") : text;
}
