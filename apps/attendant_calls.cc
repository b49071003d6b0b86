// The attendant's ways of reaching an extension besides plain ringing: anonymous callers who
// say their name first, the call-back offer and camp-on, the cell phone as a parallel external
// leg, intercom calls and fax detection. ctrl side.
#include "apps/attendant.h"
#include "base/log.h"
#include "db/schema.h"
#include "frame/clock.h"
#include "frame/settings.h"
#include "frame/side_context.h"
#include "frame/timeout.h"
#include "pbx/accounts.h"
#include "pbx/admission.h"
#include "pbx/call_state.h"
#include "pbx/dial_plan.h"

namespace {

str prompt(const char* name) { return str("$a/") + name + ".wav"; }

// How long an anonymous caller may speak his name before it is taken as said.
constexpr int name_record_ms = 8000;

// The Alert-Info that asks a phone to answer by itself.
constexpr const char* intercom_alert_info = "<http://127.0.0.1>;info=alert-autoanswer;delay=0";

str extension_setting(int extension, const str& column) {
  return extensions.get(extension_row(extension), column);
}

// Whether an extension takes part in no call: not even a leg that ended but whose port is not
// gone yet, which the line count of a new call would still see.
bool is_free(int extension) { return !extension_has_legs(id_text(extension)); }

// How long the call-back offer waits for a key.
constexpr int offer_wait_ms = 60000;

// How often the booked call-backs are looked at while there are any.
constexpr int callback_check_s = 5;

bool domain_has_calling_cards(int domain) {
  str d = id_text(domain);
  for (int u = users.first(users_domain, d); u; u = users.next(u, users_domain)) {
    if (users.get(u, users_domain) != d) break;
    if (account_type(u) == "callingcards") return true;
  }
  return false;
}

}  // namespace

bool attendant::calling() const {
  str s = state();
  return s == "noise" || s == "ringing" || s == "ask3" || s == "ask4";
}

// ---- Ringing ----

void attendant::ring(int extension, const std::vector<ring_target>& targets, const char* s) {
  int ext = extension_row(extension);
  int p = primary();
  // Without desk phones the cell phones are all there is: when none of them can be called,
  // the extension is unavailable.
  if (targets.empty() && !call_cell(extension)) {
    on_unavailable(extension);
    return;
  }
  // 9. Reminders.
  if (has_mailbox(extension)) set_leg_timer(p, "mailbox", mailbox_seconds(extension) * 1000);
  int no_answer = no_answer_seconds(extension);
  if (!extensions.get(ext, extensions_cfn).empty()) {
    set_leg_timer(p, "extension", no_answer * 1000);
  } else if (!has_mailbox(extension)) {
    set_leg_timer(p, "noanswer", no_answer * 1000);
  }
  // The cell phones ring cell_time seconds after the desk phones, or with them.
  int cell = extensions.get(ext, extensions_cell_time).strip().value();
  bool cell_now = !targets.empty() && cell <= 0;
  if (!targets.empty() && cell > 0 && !check_cellphone(extension).empty())
    set_leg_timer(p, "cell", cell * 1000);
  // 10. Ring.
  extensions.set(ext, extensions_call_return, var(cobj_from));
  set_state(s);
  initiate_call_to_all_registered_extensions(targets, cobj_, p, var(cobj_from),
                                             "<" + account_uri(extension) + ">");
  if (cell_now) call_cell(extension);
  if (answered()) play("$t/ringback.wav", true);
}

std::vector<str> attendant::check_cellphone(int extension) const {
  std::vector<str> out;
  if (!is_extension(extension) || extension_setting(extension, extensions_cell_display) == "true")
    return out;
  str id = id_text(extension);
  for (int c = cells.first(cells_user, id); c; c = cells.next(c, cells_user)) {
    if (cells.get(c, cells_user) != id) break;
    if (!cells.get(c, cells_number).empty()) out.push_back(cells.get(c, cells_number));
  }
  return out;
}

bool attendant::add_external_number(int extension, const str& number) {
  int leg = 0;
  int r = try_external_number(leg, cobj_, primary(), extension, number,
                              extension_setting(extension, extensions_cell_connect));
  if (r == ext_started && leg) return true;
  log_printf(log_application, 4, "Attendant: Cell phone %s of %s not reached (%d)", number,
             account_name(extension), r);
  return false;
}

int attendant::call_cell(int extension) {
  int started = 0;
  for (const str& number : check_cellphone(extension))
    started += add_external_number(extension, number) ? 1 : 0;
  return started;
}

// ---- Anonymous callers ----

void attendant::ask_name(int extension) {
  set_var(cobj_ivr_extension, id_text(extension));
  set_state("ask1");
  play_state("ask1");
}

// "ask1" ended: the name is recorded until "#" or the timer "pound".
void attendant::screen_record() {
  int p = primary();
  str file = str::sprintf("recordings/anonymous-%d.wav", cobj_);
  set_var(cobj_ivr_var6, file);
  set_state("ask2");
  play(str());
  post_command(msg::set_recording{legs.get(p, leg_call_id), file, str()});
  set_leg_timer(p, "pound", name_record_ms);
}

void attendant::name_recorded() {
  int p = primary();
  post_command(msg::set_recording{legs.get(p, leg_call_id), str(), str()});
  clear_leg_timer(p, "pound");
  int extension = var(cobj_ivr_extension).value();
  ring(extension, registrations_of(extension), "ask3");
}

// The extension answered an anonymous caller: it hears the recorded name and accepts with a
// key; the other phones stop ringing.
void attendant::screen(int leg) {
  for (int l : legs_of(cobj_))
    if (l != leg && l != primary() && legs.get(l, leg_state) != leg_terminated)
      leg_hangup(cobj_, l, code_completed_elsewhere, "Request Terminated");
  set_var(cobj_ivr_var7, id_text(leg));
  set_state("ask4");
  leg_play p;
  p.file = prompt("aa_incoming_anonymous") + " " + var(cobj_ivr_var6) + " " +
           prompt("aa_incoming_options");
  p.alert = true;
  p.analyse_dtmf = true;  // only an answer switches a leg's key reports on
  send_dialog_state(leg, 200, "Ok", p);
}

void attendant::screen_key(int leg, const str& key) {
  if (state() != "ask4" || leg != var(cobj_ivr_var7).value() || key.empty()) return;
  log_printf(log_application, 5, "Attendant: Anonymous caller accepted by %s",
             account_name(var(cobj_ivr_extension).value()));
  set_state("connected");
  set_cobj_state(cobj_, "connected");
  connect_two_calls(cobj_, primary(), leg);
  forget_name();
}

void attendant::forget_name() {
  str file = var(cobj_ivr_var6);
  if (file.empty()) return;
  str::remove_file(file, false);
  set_var(cobj_ivr_var6, str());
}

// ---- Call-back offer ----

std::vector<str> attendant::offer_options(const str& s) const {
  std::vector<str> out;
  int extension = var(cobj_ivr_extension).value();
  str number = caller_user();
  bool known = !number.empty() && !number.icmp("anonymous") && var(cobj_clip) != "true";
  if (s == "ask_cb" && known && domains.get(domain(), domains_camp_enabled).is_true() &&
      ctrl_read_registry(ctrl_settings::camp_enabled) != "false")
    out.push_back("camp");
  if (known && domain_has_calling_cards(domain())) out.push_back("callback");
  if (has_mailbox(extension)) out.push_back("mailbox");
  if (!users.get(caller(), users_credit).empty()) {
    out.push_back("read_balance");
  } else if (!direct()) {
    out.push_back("welcome");
  }
  return out;
}

str attendant::offer_prompts(const str& s) const {
  str out = prompt(s == "ask_cb"    ? "aa_busy_callback"
                   : s == "ask_cb2" ? "aa_no_answer"
                                    : "aa_trying_to_reach");
  std::vector<str> options = offer_options(s);
  for (size_t i = 0; i < options.size(); i++) {
    const str& o = options[i];
    const char* what = o == "camp"           ? "aa_receive_callback"
                       : o == "callback"     ? "aa_callback_now"
                       : o == "mailbox"      ? "aa_leave_message"
                       : o == "read_balance" ? "aa_hear_credit"
                                             : "aa_goto_attendant";
    out += " " + prompt(what) + " " + spoken_digits(id_text(static_cast<int>(i) + 1));
  }
  return out;
}

void attendant::offer(const char* s) {
  end_other_legs();
  if (offer_options(s).empty()) {  // nothing to offer: the plain failure
    if (str(s) == "ask_cb") {
      fail("busy");
    } else {
      no_answer_end();
    }
    return;
  }
  clear_leg_timer(primary(), str());
  // The offer repeats until a key is pressed, but not for ever.
  set_leg_timer(primary(), "timeout", offer_wait_ms);
  set_state(s);
  play_state(s);
}

void attendant::offer_key(const str& key) {
  str s = state();
  int extension = var(cobj_ivr_extension).value();
  std::vector<str> options = offer_options(s);
  size_t n = key.length() == 1 && key[0] >= '1' && key[0] <= '9' ? key[0] - '0' : 0;
  if (n < 1 || n > options.size()) return;
  const str& o = options[n - 1];
  if (o == "camp") {
    book_callback("camp", 0);
  } else if (o == "callback") {
    book_callback("callback", 10);
  } else if (o == "mailbox") {
    end_other_legs();
    goto_mailbox(extension, s == "ask_cb" ? "deflection" : "no-answer");
  } else if (o == "welcome") {
    end_other_legs();
    clear_leg_timer(primary(), "timeout");
    refresh_hangup_timer();
    menu_welcome();
  } else {
    end_other_legs();
    set_state(o);
    play_state(o);
  }
}

void attendant::book_callback(const char* kind, int delay) {
  int r = auto_callbacks.add_row();
  int who = caller();
  auto_callbacks.set(r, auto_callback_fuser, who ? id_text(who) : str(), false);
  auto_callbacks.set(r, auto_callback_tuser, var(cobj_ivr_extension), false);
  auto_callbacks.set(r, auto_callback_number, caller_user(), false);
  auto_callbacks.set(r, auto_callback_timestamp,
                     atimestamp_serialize(wall_now() + static_cast<int64_t>(delay) * 1000), false);
  auto_callbacks.set(r, auto_callback_active, kind);
  log_printf(log_application, 5, "Attendant: Call-back (%S) for %s booked to %s", kind,
             caller_user(), account_name(var(cobj_ivr_extension).value()));
  schedule_auto_callbacks();
  end_other_legs();
  set_state("callback_active");
  play_state("callback_active");
}

// ---- Intercom and fax ----

void attendant::intercom(int extension) {
  set_var(cobj_ivr_extension, id_text(extension));
  std::vector<ring_target> targets = registrations_of(extension);
  if (targets.empty() || !extension_call_have_more_calls(extension, true, false)) {
    end_call(486, "Busy Here");
    return;
  }
  log_printf(log_application, 5, "Attendant: Intercom to %s", account_name(extension));
  set_state("noise");
  initiate_call_to_all_registered_extensions(targets, cobj_, primary(), var(cobj_from),
                                             "<" + account_uri(extension) + ">",
                                             intercom_alert_info);
}

bool attendant::fax_entry() const {
  if (direct()) return false;
  for (const str* c :
       {&attendants_input_0, &attendants_input_1, &attendants_input_2, &attendants_input_3,
        &attendants_input_4, &attendants_input_5, &attendants_input_6, &attendants_input_7,
        &attendants_input_8, &attendants_input_9})
    if (menu_setting(*c).icmp("f")) return true;
  return false;
}

void attendant::check_fax() {
  if (fax_entry()) post_command(msg::fax_detection{legs.get(primary(), leg_call_id), "true"});
}

// ---- Call-backs ----

void schedule_auto_callbacks() {
  timeout_queue* queue = ctrl_ctx().queue;
  if (!queue || !auto_callbacks.first()) return;
  static timeout& next = *new timeout;
  if (!next.pending())
    next.callback(*queue, s2ticks(callback_check_s), callback_argument(process_auto_callbacks));
}

void process_auto_callbacks() {
  std::vector<int> due;
  atimestamp now = wall_now();
  for (int r = auto_callbacks.first(); r; r = auto_callbacks.next(r)) {
    int extension = auto_callbacks.get(r, auto_callback_tuser).value();
    int booker = auto_callbacks.get(r, auto_callback_fuser).value();
    if (!is_extension(extension)) {
      due.push_back(r);  // gone meanwhile: dropped below
      continue;
    }
    if (auto_callbacks.get(r, auto_callback_active) == "camp") {
      if (is_free(extension) && (!is_extension(booker) || is_free(booker))) due.push_back(r);
    } else if (atimestamp_parse(auto_callbacks.get(r, auto_callback_timestamp)) <= now) {
      due.push_back(r);
    }
  }
  for (int r : due) {
    int extension = auto_callbacks.get(r, auto_callback_tuser).value();
    if (is_extension(extension)) start_auto_callback(r);
    auto_callbacks.delete_row(r);
  }
  schedule_auto_callbacks();
}

// A call object of type "attendant" in state "camp_call" that first calls the one who booked
// (his phones, or his number through the extension's dial plan) and, once he answers, calls
// the extension like any other call to it.
void start_auto_callback(int row) {
  int extension = auto_callbacks.get(row, auto_callback_tuser).value();
  int booker = auto_callbacks.get(row, auto_callback_fuser).value();
  str number = auto_callbacks.get(row, auto_callback_number);
  int domain = account_domain(extension);
  // The call object's caller is the one who booked; his phones show the extension calling.
  str callee = "<" + account_uri(extension) + ">";
  str caller = is_extension(booker)
                   ? "<" + account_uri(booker) + ">"
                   : "<sip:" + number + "@" + domains.get(domain, domains_name) + ">";
  int cobj = cobj_create(new_leg_call_id(), caller, callee, domain);
  set_ivr_user(cobj, extension, "attendant");
  cobjs.set(cobj, cobj_ivr_state, "camp_call");
  cobjs.set(cobj, cobj_ivr_extension, id_text(extension));
  std::vector<int> started;
  if (is_extension(booker)) {
    started = initiate_call_to_all_registered_extensions(registrations_of(booker), cobj, 0, callee,
                                                         caller);
  } else if (int leg = 0;
             try_external_number(leg, cobj, 0, extension, number, str()) == ext_started && leg) {
    started.push_back(leg);
  }
  log_printf(log_application, 5, "Attendant: Calling %s back for %s (%d legs)", number,
             account_name(extension), static_cast<int>(started.size()));
  if (started.empty()) {
    cobjs.delete_row(cobj);
    return;
  }
  cobjs.set(cobj, cobj_primary_leg, id_text(started[0]));
}

// The one who booked answered: his leg becomes the caller's leg and the extension is called.
void attendant::camp_answered(int leg) {
  for (int l : legs_of(cobj_))
    if (l != leg && legs.get(l, leg_state) != leg_terminated)
      leg_hangup(cobj_, l, code_completed_elsewhere, "Request Terminated");
  set_var(cobj_primary_leg, id_text(leg));
  set_cobj_state(cobj_, "connected");
  goto_extension(var(cobj_ivr_extension).value());
}
