#include "apps/extcall.h"

#include <climits>

#include "base/log.h"
#include "db/schema.h"
#include "pbx/accounts.h"
#include "pbx/admission.h"
#include "pbx/call_state.h"
#include "pbx/dial_pattern.h"
#include "pbx/dial_plan.h"
#include "pbx/number_forms.h"
#include "sip/from_to_spec.h"

namespace {

str prompt_list(std::initializer_list<const char*> names) {
  str out;
  for (const char* n : names) {
    if (!out.empty()) out += ' ';
    out += str("$a/") + n + ".wav";
  }
  return out;
}

// The prompts each state plays; states without prompts play nothing.
str state_prompts(const str& s) {
  if (s == "numw") return prompt_list({"aa_outbound"});
  if (s == "enter_extension") return prompt_list({"ex_enter_extension_number"});
  if (s == "enter_pin" || s == "ap") return prompt_list({"ex_enter_access_code"});
  if (s == "ac") return prompt_list({"ex_enter_cost_code"});
  if (s == "empty") return prompt_list({"ex_no_number"});
  if (s == "notallowed") return prompt_list({"ex_not_allowed"});
  if (s == "busy") return prompt_list({"ex_number_busy"});
  if (s == "error") return prompt_list({"ex_call_failed"});
  if (s == "noise") return "$t/ringback.wav";
  return str();
}

// The first word of a list and the rest.
str first_word(const str& list) { return list.strip().get_field(0, ' '); }
str other_words(const str& list) {
  const str s = list.strip();
  const long blank = s.find(' ');
  return blank < 0 ? str() : s.substr(blank + 1).strip();
}

}  // namespace

// ---- Rows ----

str extcall::var(const str& column) const { return cobjs.get(cobj_, column); }
void extcall::set_var(const str& column, const str& value) { cobjs.set(cobj_, column, value); }
int extcall::primary() const { return primary_leg(cobj_); }
int extcall::domain() const { return var(cobj_domain).value(); }

int extcall::card() const {
  const int u = var(cobj_ivr_user).value();
  return account_type(u) == "callingcards" ? u : 0;
}

bool extcall::answered() const {
  return var(cobj_state) == "connected" || legs.get(primary(), leg_state) == leg_connected;
}

int extcall::routing_user() const {
  if (const int e = var(cobj_ivr_var5).value(); is_extension(e)) return e;
  const int named = account_by_name(uri_user(var(cobj_from)), domain());
  if (is_extension(named)) return named;
  return var(cobj_ivr_user).value();
}

void extcall::play(const str& files, bool loop) { play_prompts(cobj_, primary(), files, loop); }

void extcall::goto_state(const char* s) {
  set_var(cobj_ivr_state, s);
  set_var(cobj_ivr_var4, str());
  const str files = state_prompts(s);
  if (!files.empty()) play(files);
}

// ---- Start ----

void extcall::start(int account, const str& number) {
  const int p = primary();
  dialog_hangup_all_others(cobj_, p);
  clear_leg_timer(p, str());
  set_cobj_state(cobj_, "idle");
  set_var(cobj_ivr_state, "idle");
  const bool by_card = account_type(account) == "callingcards";
  if (!by_card && !number.strip().empty()) {
    set_var(cobj_ivr_var1, first_word(number));
    set_var(cobj_ivr_var2, other_words(number));
    const str flag =
        get_call_flag(routing_user(), first_word(number), var(cobj_co_preference).value());
    if (flag == "c") {
      goto_state("ac");
    } else if (flag == "p") {
      goto_state("ap");
    } else {
      goto_number(first_word(number), str());
    }
    return;
  }
  // Calling card or direct inward system access: the caller enters the number. The first
  // prompt answers the call (play); a card that calls its caller back is not served yet.
  const int caller = legs.get(p, leg_extension).value();
  if (is_extension(caller)) {
    set_var(cobj_ivr_var5, id_text(caller));
    goto_state("numw");
    return;
  }
  // A caller whose number is the cell phone of an extension of the domain is that extension.
  const str global = get_global_number(domain(), uri_user(var(cobj_from)));
  for (int c = cells.first(); c; c = cells.next(c)) {
    const int owner = cells.get(c, cells_user).value();
    if (!is_extension(owner) || account_domain(owner) != domain()) continue;
    if (get_global_number(domain(), cells.get(c, cells_number)) != global) continue;
    set_var(cobj_ivr_var5, id_text(owner));
    goto_state(domains.get(domain(), domains_trust_callerid) == str_t ? "numw" : "enter_pin");
    return;
  }
  goto_state("enter_extension");
}

void extcall::goto_number(const str& number, const str& key) {
  set_var(cobj_ivr_var1, number);
  set_var(cobj_ivr_var3, key);
  if (const int c = card(); c && callingcards.get(extension_row(c), callingcards_intern) == str_t) {
    if (account_by_name(uri_user(number), domain())) {
      log_printf(log_application, 5, "Extcall: Dialling internal account %s", number);
      dial_a_number(routing_user(), cobj_, number,
                    "<sip:" + uri_user(number) + "@" + domains.get(domain(), domains_name) + ">");
      return;
    }
  }
  if (try_number(number, INT_MIN)) return;
  if (!answered()) {
    cobj_hangup(cobj_, 404, "Not Found");
    return;
  }
  goto_state("notallowed");
}

bool extcall::try_number(const str& number, int min_preference) {
  int leg = 0;
  const int r = try_external_number(leg, cobj_, primary(), routing_user(), number,
                                    var(cobj_ivr_var3), min_preference);
  if (r == ext_started) {
    set_var(cobj_ivr_state, "noise");
    if (answered()) play(state_prompts("noise"), true);
  } else if (r == ext_empty) {
    if (answered()) {
      goto_state("empty");
    } else {
      cobj_hangup(cobj_, 404, "Not Found");
    }
  }
  return r == ext_started || r == ext_empty || r == ext_handed_on;
}

// ---- Outbound leg ----

void extcall::on_ringback(int, const msg::dialog_response&) {
  if (answered()) return;  // the caller hears the ringback the state plays
  leg_play p;
  p.file = state_prompts("noise");
  p.loop = true;
  p.alert = true;
  send_dialog_state(primary(), 180, "Ringing", p);
}

bool extcall::on_connect(int, const msg::dialog_response&) {
  set_var(cobj_ivr_state, "connected");
  return true;
}

void extcall::release_lines(int leg) {
  for (int c = colines.first(coline_leg, id_text(leg)); c;
       c = colines.first(coline_leg, id_text(leg)))
    colines.set(c, coline_leg, str());
}

void extcall::failed(int leg, int code, const str& reason) {
  release_lines(leg);
  // The other registrations of an extension may still answer.
  for (int l : legs_of(cobj_))
    if (l != leg && l != primary() && legs.get(l, leg_state) != leg_terminated) return;
  const str trunk = legs.get(leg, leg_trunk);
  if (trunk.is_number() && try_failover(trunk.value(), code, reason) &&
      try_number(var(cobj_ivr_var1), legs.get(leg, leg_dp_prio).value()))
    return;
  for (str rest = var(cobj_ivr_var2); !rest.empty(); rest = var(cobj_ivr_var2)) {
    const str next = first_word(rest);
    set_var(cobj_ivr_var2, other_words(rest));
    set_var(cobj_ivr_var1, next);
    if (try_number(next, INT_MIN)) return;
  }
  if (!answered()) {
    cobj_hangup(cobj_, code, reason);
    return;
  }
  goto_state(code == 486 ? "busy" : "error");
}

void extcall::on_error(int leg, int code, const msg::dialog_response& in) {
  if (leg == primary()) return;
  failed(leg, code, in.explanation);
}

void extcall::on_timeout(int leg, const str& name, const str&) {
  if (name != "request-timeout" || leg == primary()) return;
  const str state = legs.get(leg, leg_state);
  if (state == leg_connected || state == leg_terminated) return;
  leg_hangup(cobj_, leg, 487, "Request Terminated");
  failed(leg, 408, "Request Timeout");
}

void extcall::on_hangup(int leg) {
  release_lines(leg);
  cobj_hangup(cobj_, 486, "Busy Here");
}

// ---- Digits ----

void extcall::on_dtmf(const str& digits) {
  const str s = var(cobj_ivr_state);
  if (s == "noise" || s == "connected" || s == "idle") return;
  str typed = var(cobj_ivr_var4);
  for (size_t i = 0; i < digits.length(); i++) {
    if (digits[i] != '#') {
      typed += static_cast<char>(digits[i]);
      continue;
    }
    set_var(cobj_ivr_var4, str());
    entered(typed);
    return;
  }
  set_var(cobj_ivr_var4, typed);
}

// A complete input (ended by "#") in the current state.
void extcall::entered(const str& digits) {
  const str s = var(cobj_ivr_state);
  if (s == "numw" || s == "empty" || s == "notallowed" || s == "busy" || s == "error") {
    goto_number(digits, str());
  } else if (s == "enter_extension") {
    const int account = account_by_name(digits, domain());
    if (!is_extension(account)) {
      play(prompt_list({"aa_not_existing", "ex_enter_extension_number"}));
      return;
    }
    set_var(cobj_ivr_var5, id_text(account));
    goto_state("enter_pin");
  } else if (s == "enter_pin" || s == "ap") {
    const int e = var(cobj_ivr_var5).value() ? var(cobj_ivr_var5).value() : routing_user();
    const str pin = is_extension(e) ? extensions.get(extension_row(e), extensions_mb_pin) : str();
    if (pin.empty() || pin != digits) {
      play(prompt_list({"ex_wrong_pin_try_again"}));
      return;
    }
    if (s == "enter_pin") {
      goto_state("numw");
    } else {
      goto_number(var(cobj_ivr_var1), str());
    }
  } else if (s == "ac") {
    set_var(cobj_cmc, digits);
    goto_number(var(cobj_ivr_var1), str());
  }
}

void extcall::on_audio_end() {
  // After a failure prompt the caller may enter another number.
  const str s = var(cobj_ivr_state);
  if (s == "empty" || s == "notallowed" || s == "busy" || s == "error") goto_state("numw");
}

void install_extcall() {
  register_call_app(
      {"extcall",
       ev_ringback | ev_connect | ev_error | ev_hangup | ev_dtmf | ev_audio_end | ev_timeout,
       [](int cobj) -> std::unique_ptr<call_app> { return std::make_unique<extcall>(cobj); }});
}
