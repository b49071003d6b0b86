#include "apps/attendant.h"

#include "base/log.h"
#include "db/schema.h"
#include "pbx/accounts.h"
#include "pbx/admission.h"
#include "pbx/call_state.h"
#include "pbx/dial_pattern.h"

namespace {

constexpr const char* busy_reason = "Busy Here";

str extension_setting(int extension, const str& column) {
  return extensions.get(extension_row(extension), column);
}

// A number of seconds in a setting; fallback when empty or not a number.
int seconds_of(const str& v, int fallback) {
  str s = v.strip();
  return s.is_number() ? s.value() : fallback;
}

}  // namespace

attendant::attendant(int cobj) : call_app(cobj) {}

// ---- Rows ----

str attendant::var(const str& column) const { return cobjs.get(cobj_, column); }
void attendant::set_var(const str& column, const str& value) { cobjs.set(cobj_, column, value); }
str attendant::state() const { return var(cobj_ivr_state); }
void attendant::set_state(const str& s) { set_var(cobj_ivr_state, s); }
int attendant::primary() const { return primary_leg(cobj_); }
int attendant::domain() const { return var(cobj_domain).value(); }
int attendant::served() const { return var(cobj_ivr_user).value(); }

int attendant::menu() const {
  int a = served();
  return account_type(a) == "attendants" ? extension_row(a) : 0;
}

str attendant::menu_setting(const str& column) const {
  int m = menu();
  return m ? attendants.get(m, column) : str();
}

bool attendant::direct() const { return menu() == 0; }

bool attendant::answered() const {
  return legs.get(primary(), leg_state) == leg_connected || var(cobj_state) == "connected";
}

int attendant::caller() const {
  int e = legs.get(primary(), leg_extension).value();
  return users.has_row(e) ? e : 0;
}

str attendant::caller_user() const { return uri_user(var(cobj_from)); }

// ---- Prompts and endings ----

void attendant::play(const str& files, bool loop) { play_prompts(cobj_, primary(), files, loop); }

void attendant::refresh_hangup_timer() {
  int s = seconds_of(menu_setting(attendants_hangup), 0);
  if (s > 0) set_leg_timer(primary(), "timeout", s * 1000);
}

void attendant::end_call(int code, const char* reason) { cobj_hangup(cobj_, code, reason); }

void attendant::fail(const char* s) {
  if (direct() && !answered()) {
    end_call(486, busy_reason);
    return;
  }
  set_state(s);
  set_var(cobj_ivr_var1, str());
  play_state(s);
}

void attendant::end_other_legs() {
  int p = primary();
  for (int l : legs_of(cobj_))
    if (l != p && legs.get(l, leg_state) != leg_terminated) leg_hangup(cobj_, l, 486, busy_reason);
}

// ---- Start ----

void attendant::start(int account, const str& number) {
  set_cobj_state(cobj_, "idle");
  if (!account) {
    redirect_to_number(number);
    return;
  }
  call_from_cellphone();
  int m = menu();
  if (m) set_var(cobj_lang, attendants.get(m, attendants_first_lang));
  if (list_type(served(), caller_user()) == "black") {
    log_printf(log_application, 5, "Caller %s is on black list", caller_user());
    on_blocked();
    return;
  }
  if (direct()) {
    if (users.get(account, users_disabled).is_true()) {
      if (answered()) {
        fail("pdenied");
      } else {
        end_call(403, "Forbidden");
      }
      return;
    }
    str code = domains.get(domain(), domains_code_intercom);
    if (!code.empty() && number.starts_with(code) && number != account_name(account)) {
      intercom(account);
      return;
    }
    goto_extension(account);
    return;
  }
  if (check_night()) return;
  check_fax();
  if (menu_setting(attendants_name_trigger).icmp("start")) {
    set_state("search_name");
    set_var(cobj_ivr_var1, str());
    play_state("search_name");
    return;
  }
  refresh_hangup_timer();
  int wait = seconds_of(menu_setting(attendants_answer_wait), 0);
  if (wait > 0 && !legs.get(primary(), leg_trunk).empty()) {
    set_state("wait");
    send_dialog_state(primary(), 180, "Ringing");
    set_leg_timer(primary(), "wait", wait * 1000);
    return;
  }
  menu_welcome();
}

bool attendant::check_night() {
  str flag = menu_setting(attendants_flag);
  str night = menu_setting(attendants_night);
  if (flag.empty()) return false;
  if (flag.icmp("true")) {
    // The attendant itself is switched to night: every call goes on at once.
    if (night.empty()) return false;
    log_printf(log_application, 5, "Attendant: Redirect all calls to %s", night);
    redirect_to_number(night);
    return true;
  }
  int account = account_by_name(flag, domain());
  if (account_type(account) != "srvflags") {
    log_printf(log_application, 4, "Attendant: Account %s is not a Service Flag", flag);
    return false;
  }
  if (!srvflags.get(extension_row(account), srvflags_state).is_true() || night.empty())
    return false;
  log_printf(log_application, 5, "Attendant: Goto night service %s", night);
  redirect_to_number(night);
  return true;
}

void attendant::clear_timers() {
  str s = state();
  if (answered() || s == "noise" || s == "ringing") clear_leg_timer(primary(), str());
}

void attendant::redirect_to_number(const str& number) {
  clear_timers();  // the next application must not get this one's reminders
  set_state("redirecting");
  set_var(cobj_ivr_var3, number);
  log_printf(log_application, 5, "Attendant: Redirecting to %s", number);
  str to;
  if (number.find('@') < 0) {
    to = "<sip:" + number + "@" + domains.get(domain(), domains_name) + ">";
  } else {
    to = "<" + (number.istarts_with("sip") ? number : "sip:" + number) + ">";
  }
  dial_a_number(caller(), cobj_, number, to);
}

bool attendant::allowed(const str& number) {
  str excluded = menu_setting(attendants_excluded);
  size_t from = 0;
  for (size_t i = 0; i <= excluded.length(); i++) {
    if (i < excluded.length() && excluded[i] != ' ' && excluded[i] != ',') continue;
    if (i > from && excluded.substr(from, i - from) == number) return false;
    from = i + 1;
  }
  return true;
}

void attendant::call_from_cellphone() {
  if (caller()) return;
  str number = caller_user();
  int c = number.empty() ? 0 : cells.first(cells_number, number);
  int extension = c ? cells.get(c, cells_user).value() : 0;
  if (!is_extension(extension) || account_domain(extension) != domain()) return;
  legs.set(primary(), leg_extension, id_text(extension));
  log_printf(log_application, 5, "Attendant: Call from the cell phone of %s",
             account_name(extension));
}

// ---- Extension rules ----

bool attendant::has_mailbox(int extension) const {
  return is_extension(extension) && extension_setting(extension, extensions_mb_enable) != "false";
}

int attendant::no_answer_seconds(int extension) const {
  return seconds_of(extension_setting(extension, extensions_cfn_timeout),
                    seconds_of(domains.get(domain(), domains_cfn_timeout), 20));
}

int attendant::mailbox_seconds(int extension) const {
  if (!has_mailbox(extension)) return 100000;
  return seconds_of(extension_setting(extension, extensions_mb_timeout),
                    seconds_of(domains.get(domain(), domains_mb_timeout), 20));
}

str attendant::list_type(int owner, const str& number) const {
  if (number.empty()) return str();
  int r = adrbook.search(adrbook_user, id_text(owner), adrbook_number, number);
  return r ? adrbook.get(r, adrbook_type) : str();
}

void attendant::goto_mailbox(int extension, const char* reason) {
  str external = domains.get(domain(), domains_voicemail);
  set_var(cobj_diversion, reason);
  if (!external.empty()) {
    redirect_to_number(external);
    return;
  }
  std::unique_ptr<call_app> app =
      has_mailbox(extension) ? make_call_app("mailbox", cobj_) : nullptr;
  if (!app) {
    log_printf(log_application, 4, "Attendant: No mailbox for %s", account_name(extension));
    if (direct() && !answered()) {
      end_call(486, busy_reason);
    } else {
      end_other_legs();
      fail("no_answer");
    }
    return;
  }
  clear_timers();
  set_ivr_user(cobj_, extension, "mailbox");
  app->start(extension, str());
}

void attendant::forward(const str& target) {
  end_other_legs();
  redirect_to_number(target);
}

// Not registered anywhere: forwarded as if it never answered (forward-all first), else the
// mailbox.
void attendant::on_unavailable(int extension) {
  str cfa = extension_setting(extension, extensions_cfa);
  str cfn = extension_setting(extension, extensions_cfn);
  if (!cfa.empty() || !cfn.empty()) {
    forward(cfa.empty() ? cfn : cfa);
  } else {
    goto_mailbox(extension, "unavailable");
  }
}

void attendant::on_busy(int extension) {
  str cfb = extension_setting(extension, extensions_cfb);
  if (!cfb.empty()) {
    forward(cfb);
  } else if (domains.get(domain(), domains_camp_enabled).is_true()) {
    offer("ask_cb");  // the caller may wait for the extension to become free
  } else {
    end_other_legs();
    fail("busy");
  }
}

void attendant::on_blocked() {
  if (answered() || !direct()) {
    fail("blocked");
  } else {
    end_call(486, busy_reason);
  }
}

void attendant::no_answer_end() {
  end_other_legs();
  if (direct() && !answered()) {
    end_call(408, "Request Timeout");
  } else {
    fail("no_answer");
  }
}

void attendant::goto_extension(int extension) {
  set_var(cobj_ivr_extension, id_text(extension));
  // 1. The picture of the call; a fax tone means nothing any more.
  int ext = extension_row(extension);
  str picture = extensions.get(ext, extensions_picture);
  if (!picture.empty()) legs.set(primary(), leg_picture, picture);
  if (fax_entry()) post_command(msg::fax_detection{legs.get(primary(), leg_call_id), "false"});
  // 2. Every call straight to the mailbox.
  if (domains.get(domain(), domains_mailbox_call).is_true() && has_mailbox(extension)) {
    goto_mailbox(extension, "unconditional");
    return;
  }
  // 3.-4. Not reachable at all: neither a registration nor a cell phone.
  std::vector<ring_target> targets = registrations_of(extension);
  bool cell = !check_cellphone(extension).empty();
  if (targets.empty() && !cell) {
    on_unavailable(extension);
    return;
  }
  // 5. Forward all.
  str cfa = extensions.get(ext, extensions_cfa);
  if (!cfa.empty()) {
    forward(cfa);
    return;
  }
  // 6. Do not disturb, then busy (a cell phone alone is never busy here).
  if (extensions.get(ext, extensions_dnd).is_true()) {
    str cfd = extensions.get(ext, extensions_cfd);
    if (!cfd.empty()) {
      forward(cfd);
    } else {
      on_busy(extension);
    }
    return;
  }
  if (!targets.empty() && !extension_call_have_more_calls(extension, true, false)) {
    on_busy(extension);
    return;
  }
  // 7. The extension's own lists.
  str user = caller_user();
  str type = list_type(extension, user);
  if (type == "black") {
    log_printf(log_application, 5, "Caller %s is on black list", user);
    on_blocked();
    return;
  }
  if (type == "white") log_printf(log_application, 5, "Caller %s is on white list", user);
  // 8. Anonymous callers say their name first.
  bool anonymous = var(cobj_clip) == "true" || user.icmp("anonymous") || user.empty();
  if (type != "white" && anonymous && extensions.get(ext, extensions_anonymous) == "true") {
    ask_name(extension);
    return;
  }
  // 9.-10.
  ring(extension, targets, "noise");
}

// ---- Events of the legs ----

void attendant::on_ringback(int, const msg::dialog_response&) {
  str s = state();
  if (s != "noise" && s != "ringing" && s != "ask3") return;
  if (s != "ask3") set_state("ringing");
  if (answered()) return;
  int p = primary();
  if (legs.get(p, leg_state).empty()) send_dialog_state(p, 180, "Ringing");
}

bool attendant::on_connect(int leg, const msg::dialog_response&) {
  if (state() == "camp_call") {
    camp_answered(leg);
    return false;
  }
  if (leg == primary()) return false;
  if (state() == "ask3") {
    screen(leg);
    return false;
  }
  set_state("connected");
  set_cobj_state(cobj_, "connected");
  return true;
}

void attendant::on_error(int leg, int code, const msg::dialog_response& in) {
  set_leg_state(leg, leg_terminated);  // its final answer ended it
  int p = primary();
  for (int l : legs_of(cobj_))
    if (l != p && l != leg && legs.get(l, leg_state) != leg_terminated) return;
  if (!calling()) return;
  log_printf(log_application, 5, "Attendant: Extension answered %d %s", code, in.explanation);
  int extension = var(cobj_ivr_extension).value();
  if (state() == "ask4") {
    // The extension heard the name and hung up: the caller is refused.
    clear_leg_timer(p, str());
    forget_name();
    on_blocked();
    return;
  }
  on_busy(extension);
}

void attendant::on_hangup(int leg) {
  int p = primary();
  set_leg_state(leg, leg_terminated);
  if (leg == p) {
    clear_leg_timer(p, str());
    end_other_legs();
    forget_name();
    return;
  }
  if (state() == "connected") {
    end_call(486, busy_reason);
    return;
  }
  msg::dialog_response none;
  on_error(leg, 486, none);
}

void attendant::on_dtmf_ext(int leg, const str& digits) {
  if (state() == "ask4") {
    screen_key(leg, digits);
    return;
  }
  log_printf(log_application, 5, "Attendant: DTMF %s from the called leg %d ignored", digits, leg);
}

void attendant::on_audio_end_ext(int leg) {
  // The extension that screens an anonymous caller hears the name and its options again.
  if (state() == "ask4" && leg == var(cobj_ivr_var7).value()) screen(leg);
}

bool attendant::on_hold(int, const msg::dialog_hold&) { return true; }

void attendant::on_timeout(int, const str& name, const str& arg) {
  log_printf(log_application, 5, "Attendant: Timeout (%s)", name);
  int extension = var(cobj_ivr_extension).value();
  str s = state();
  bool ringing = calling();
  if (name == "press") {
    on_dtmf(arg);
  } else if (name == "cell") {
    if (ringing) call_cell(extension);
  } else if (name == "extension") {
    if (ringing) forward(extension_setting(extension, extensions_cfn));
  } else if (name == "noanswer") {
    if (!ringing) return;
    if (domains.get(domain(), domains_camp_enabled).is_true()) {
      offer("ask_cb2");
    } else {
      no_answer_end();
    }
  } else if (name == "mailbox") {
    if (!ringing) return;
    end_other_legs();
    goto_mailbox(extension, "no-answer");
  } else if (name == "operator") {
    str op = menu_setting(attendants_operator);
    if (!op.empty()) redirect_to_number(op);
  } else if (name == "wait") {
    if (s == "wait") menu_welcome();
  } else if (name == "timeout" || name == "loopout") {
    // The menu's hang-up time does not cut off a call that is ringing or talking, nor a caller
    // saying his name.
    if (!ringing && s != "connected" && s != "ask1" && s != "ask2") end_call(486, busy_reason);
  } else if (name == "pound" && s == "ask2") {
    name_recorded();
  } else if (name == "match" || name == "pound") {
    if (arg == var(cobj_ivr_var1) && s == "wait_digits") act(process_input("#"));
  }
}

void install_attendant() {
  register_call_app(
      {"attendant",
       ev_ringback | ev_connect | ev_error | ev_hangup | ev_dtmf | ev_dtmf_ext | ev_audio_end |
           ev_audio_end_ext | ev_timeout | ev_hold,
       [](int cobj) -> std::unique_ptr<call_app> { return std::make_unique<attendant>(cobj); }});
}
