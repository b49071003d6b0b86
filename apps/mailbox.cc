#include "apps/mailbox.h"

#include "base/file_system.h"
#include "base/log.h"
#include "db/schema.h"
#include "frame/clock.h"
#include "pbx/accounts.h"
#include "pbx/admission.h"
#include "pbx/call_records.h"
#include "pbx/call_state.h"
#include "pbx/dial_pattern.h"
#include "pbx/email.h"
#include "pbx/registration.h"

namespace {

// A message whose file is missing is only dropped when it is older than this: its recording
// may still be on its way to the disk.
constexpr int64_t missing_file_grace_ms = 60000;

// An extension's e-mail switch ("email_missed", "email_mb_full"): on unless empty or "false".
bool mail_wanted(const str& v) { return !v.empty() && v != "false"; }

// A plain-text mail to the extension's addresses.
void mail_text(int account, const str& subject, const str& text) {
  if (extensions.get(extension_row(account), extensions_email_address).strip().empty()) return;
  str b = mime_get_boundary();
  str body;
  mime_section(body, b);
  mime_append(body, "text/plain; charset=utf-8", text, true);
  mime_terminate(body, b);
  send_email(account, subject, "multipart/mixed; boundary=\"" + b + "\"", str(), body);
}

// Mails message row to its owner as the owner's email_vmail asks: "none" (or "false") no
// mail, "notify" a notice alone, anything else the notice with the recording attached. With
// vmail_option "delete" an attached message leaves the mailbox once the mail is delivered
// (type "emailout": the mail thread deletes it).
void mail_voicemail(int row) {
  int account = messages.get(row, messages_user).value();
  int ext = extension_row(account);
  str what = extensions.get(ext, extensions_email_vmail).strip();
  if (extensions.get(ext, extensions_email_address).strip().empty() || what == "none" ||
      what == "false")
    return;
  str caller = uri_user(messages.get(row, messages_from));
  str file = str::sprintf("msg%d.wav", row);
  str b = mime_get_boundary();
  str body;
  mime_section(body, b);
  mime_append(body, "text/plain; charset=utf-8",
              str::sprintf("%s left you a voice message of %s seconds in mailbox %s.%s", caller,
                           messages.get(row, messages_duration), account_name(account),
                           str(what == "notify" ? "" : " The recording is attached.")),
              true);
  if (what != "notify") {
    mime_section(body, b);
    mime_add_header(body, "Content-Disposition", "attachment; filename=\"" + file + "\"");
    mime_append(body, "audio/wav; name=\"" + file + "\"", id_text(row), false);
    if (extensions.get(ext, extensions_vmail_option).strip() == "delete")
      messages.set(row, messages_type, "emailout");
  }
  mime_terminate(body, b);
  send_email(account, "New voice message from " + caller, "multipart/mixed; boundary=\"" + b + "\"",
             str(), body);
}

}  // namespace

mailbox::mailbox(int cobj) : call_app(cobj) {}

// ---- Rows ----

str mailbox::var(const str& column) const { return cobjs.get(cobj_, column); }
void mailbox::set_var(const str& column, const str& value) { cobjs.set(cobj_, column, value); }
str mailbox::state() const { return var(cobj_ivr_state); }
int mailbox::primary() const { return primary_leg(cobj_); }
int mailbox::domain() const { return var(cobj_domain).value(); }
int mailbox::owner() const { return var(cobj_ivr_user).value(); }
int mailbox::owner_ext() const { return extension_row(owner()); }
bool mailbox::owner_session() const { return var(cobj_ivr_var2) == "true"; }
str mailbox::ext_setting(const str& column) const { return extensions.get(owner_ext(), column); }
str mailbox::dom_setting(const str& column) const { return domains.get(domain(), column); }
str mailbox::pin() const { return ext_setting(extensions_mb_pin).strip(); }
int mailbox::current() const { return var(cobj_ivr_extension).value(); }

int mailbox::max_duration_s() const {
  str d = dom_setting(domains_max_mb_duration).strip();
  return d.is_number() && d.value() > 0 ? d.value() : 0;
}

str mailbox::name_file() const { return str::sprintf("recordings/name-%d.wav", owner()); }
str mailbox::greeting_file(int n) const {
  return str::sprintf("recordings/greeting-%d-%d.wav", owner(), n);
}

str mailbox::escape_destination() const {
  str e = ext_setting(extensions_mailbox_escape).strip();
  return e.empty() ? dom_setting(domains_mailbox_escape).strip() : e;
}

// ---- Prompts, timers, endings ----

void mailbox::play(const str& files) {
  leg_play p;
  p.file = files;
  p.alert = true;
  p.analyse_dtmf = true;
  if (legs.get(primary(), leg_state) == leg_connected) {
    send_play_file(primary(), p);
  } else {
    send_dialog_state(primary(), 200, "Ok", p);
  }
}

void mailbox::refresh_inactivity(bool long_wait) {
  int extra = long_wait ? (max_duration_s() ? max_duration_s() : 3300) * 1000 : 0;
  set_leg_timer(primary(), "inactive", 300000 + extra);
}

void mailbox::end_session(int code, const char* reason) {
  clear_leg_timer(primary(), str());
  cobj_hangup(cobj_, code, reason);
}

void mailbox::goto_state(const str& s) {
  set_var(cobj_ivr_state, s);
  if (s == "record") return;  // start_record plays what it needs
  play(get_audio_list());
}

void mailbox::dial(const str& number) {
  clear_leg_timer(primary(), str());
  send_mwi(owner());
  str to = "<sip:" + number + "@" + domains.get(domain(), domains_name) + ">";
  log_printf(log_application, 5, "Mailbox: Calling %s", number);
  dial_a_number(owner_session() ? owner() : legs.get(primary(), leg_extension).value(), cobj_,
                number, to);
}

// ---- Start ----

void mailbox::start(int account, const str& number) {
  (void)number;
  if (legs.get(primary(), leg_extension).value() == account) {
    start_owner(account);
    return;
  }
  set_var(cobj_ivr_var2, str());
  str external = domains.get(domain(), domains_voicemail).strip();
  if (!external.empty()) {
    str to = external.find('@') < 0
                 ? "<sip:" + external + "@" + domains.get(domain(), domains_name) + ">"
                 : "<" + (external.istarts_with("sip") ? external : "sip:" + external) + ">";
    dial_a_number(0, cobj_, external, to);
    return;
  }
  first_state();
}

void mailbox::start_owner(int account) {
  (void)account;
  set_var(cobj_ivr_var2, "true");
  first_state();
}

void mailbox::start_rec_greeting(int account) {
  (void)account;
  set_var(cobj_ivr_var2, "true");
  first_state(true);
  set_var(cobj_ivr_var6, "1");
  goto_state("greet_prerec");
}

void mailbox::first_state(bool prepare_only) {
  int p = primary();
  dialog_hangup_all_others(cobj_, p);
  set_cobj_state(cobj_, "connected");
  clear_leg_timer(p, str());
  refresh_inactivity(false);
  post_command(msg::fax_detection{legs.get(p, leg_call_id), "true"});
  begin_cdr_segment(cobj_, cdr_ivr);
  set_var(cobj_ivr_var1, str());
  if (prepare_only) return;
  if (owner_session()) {
    if (dom_setting(domains_mb_enter_pin) != "false" && !pin().empty()) {
      goto_state("ask_pin");
    } else if (ext_setting(extensions_name_use).empty()) {
      goto_state("name_greet");
    } else {
      owner_logged_in();
    }
    return;
  }
  str size = ext_setting(extensions_mb_size).strip();
  if (!size.is_number()) size = dom_setting(domains_mb_size).strip();
  int limit = size.is_number() ? size.value() : 999999;
  if (limit < 1) {
    goto_state("full");
    return;
  }
  for (;;) {
    int fresh = 0, saved = 0;
    count_messages(fresh, saved);
    if (fresh + saved < limit) break;
    int oldest = 0;
    str o = id_text(owner());
    for (int r = messages.first(messages_user, o); r && !oldest;
         r = messages.next(r, messages_user))
      if (messages.get(r, messages_user) == o && messages.get(r, messages_type) == "vmail" &&
          messages.get(r, messages_new) != "true")
        oldest = r;
    if (!oldest) {
      if (mail_wanted(ext_setting(extensions_email_mb_full)))
        mail_text(owner(), "Your mailbox is full",
                  str::sprintf("%s could not leave you a message: mailbox %s is full. Delete "
                               "some messages to make room.",
                               uri_user(var(cobj_from)), account_name(owner())));
      goto_state("full");
      return;
    }
    log_printf(log_application, 5, "Deleting saved message %d to make room for new one", oldest);
    delete_message(oldest);
  }
  goto_state("announcement");
}

void mailbox::owner_logged_in() {
  set_var(cobj_ivr_var1, str());
  set_var(cobj_ivr_var7, str());
  goto_state(has_new_messages() ? "read_messages" : "menu");
}

// ---- Messages ----

int mailbox::allocate_message(const str& type) {
  int r = messages.add_row();
  messages.set(r, messages_user, id_text(owner()));
  messages.set(r, messages_from, var(cobj_from));
  messages.set(r, messages_to, var(cobj_to));
  messages.set(r, messages_start, atimestamp_serialize(wall_now()));
  messages.set(r, messages_new, "true");
  messages.set(r, messages_type, type);
  messages.set(r, messages_filename, str::sprintf("recordings/msg%d.wav", r));
  return r;
}

void mailbox::start_record(bool beep) {
  fs().mkdir("recordings");
  int r = allocate_message("com");
  set_var(cobj_ivr_extension, id_text(r));
  set_var(cobj_ivr_state, "record");
  int p = primary();
  if (beep) play("$m/mb_beep.wav");
  post_command(
      msg::set_recording{legs.get(p, leg_call_id), messages.get(r, messages_filename), ""});
  if (max_duration_s() > 0) set_leg_timer(p, "stop", max_duration_s() * 1000);
  refresh_inactivity(true);
}

bool mailbox::end_of_recording(int min_ms) {
  int p = primary();
  int r = current();
  post_command(msg::set_recording{legs.get(p, leg_call_id), str(), str()});
  clear_leg_timer(p, "stop");
  if (!messages.has_row(r) || messages.get(r, messages_type) != "com") return false;
  int64_t elapsed = wall_now() - atimestamp_parse(messages.get(r, messages_start));
  if (min_ms >= 1000 && elapsed < min_ms) {
    log_printf(log_application, 5, "Voicemail from %s to %s too short, discarding it",
               messages.get(r, messages_from), messages.get(r, messages_to));
    log_printf(log_application, 5, "Voice mail message %d may be too short, not sending MWI", r);
    delete_message(r);
    set_var(cobj_ivr_extension, str());
    return false;
  }
  messages.set(r, messages_type, "vmail");
  messages.set(r, messages_callid, legs.get(p, leg_sip_id));
  messages.set(r, messages_duration, id_text(static_cast<int>(elapsed / 1000)));
  str copies = ext_setting(extensions_mailbox_copy);
  for (size_t i = 0;; i++) {
    str name = copies.get_field(i, " ,");
    if (name.empty()) break;
    int target = account_by_name(name, domain());
    if (is_extension(target) && target != owner()) copy_a_message(r, target);
  }
  return true;
}

void mailbox::delete_message(int row) {
  str file = messages.get(row, messages_filename);
  messages.delete_row(row);
  // A copy in another mailbox may still use the file.
  if (!messages.first(messages_filename, file)) fs().remove(file);
}

void mailbox::mark_as_read(int row) {
  if (messages.has_row(row)) messages.set(row, messages_new, "false");
}

int mailbox::copy_a_message(int row, int target) {
  int c = messages.add_row();
  for (const str* column :
       {&messages_from, &messages_to, &messages_start, &messages_duration, &messages_attribute,
        &messages_filename, &messages_callid, &messages_comment})
    messages.set(c, *column, messages.get(row, *column));
  messages.set(c, messages_user, id_text(target));
  messages.set(c, messages_new, "true");
  messages.set(c, messages_type, "vmail");
  return c;
}

void mailbox::count_messages(int& new_messages, int& saved_messages) {
  new_messages = saved_messages = 0;
  str o = id_text(owner());
  std::vector<int> gone;
  for (int r = messages.first(messages_user, o); r; r = messages.next(r, messages_user)) {
    if (messages.get(r, messages_user) != o || messages.get(r, messages_type) != "vmail") continue;
    str file = messages.get(r, messages_filename);
    int64_t age = wall_now() - atimestamp_parse(messages.get(r, messages_start));
    if (fs().size(file) < 0 && age > missing_file_grace_ms) {
      log_printf(log_application, 4,
                 "Message file %s was removed (age=%d), removing associated message", file,
                 static_cast<int>(age / 1000));
      gone.push_back(r);
      continue;
    }
    (messages.get(r, messages_new) == "true" ? new_messages : saved_messages)++;
  }
  for (int r : gone) messages.delete_row(r);
}

bool mailbox::has_new_messages() {
  int fresh = 0, saved = 0;
  count_messages(fresh, saved);
  return fresh > 0;
}

// ---- Events ----

void mailbox::on_hangup(int leg) {
  int p = primary();
  if (leg != p) return;
  str s = state();
  clear_leg_timer(p, str());
  if (s == "record") {
    if (end_of_recording(1000)) send_the_message();
  } else if (s == "after_recording") {
    send_the_message();
  } else if (s == "announcement" || s == "announcement2" || s == "announcement3" || s == "anorec" ||
             s == "full") {
    if (mail_wanted(ext_setting(extensions_email_missed)))
      mail_text(owner(), "Missed call from " + uri_user(var(cobj_from)),
                str::sprintf("%s called mailbox %s and left no message.", uri_user(var(cobj_from)),
                             account_name(owner())));
  }
  discard_temp();
  if (messages.has_row(current()) && messages.get(current(), messages_type) == "com")
    delete_message(current());
  set_var(cobj_ivr_state, "hangup");
  send_mwi(owner());
}

void mailbox::send_the_message() {
  int r = current();
  if (!messages.has_row(r) || messages.get(r, messages_type) != "vmail") return;
  log_printf(log_application, 5, "Voicemail %d sent to %s", r, account_name(owner()));
  // The owner and every mailbox that got a copy (same recording).
  str file = messages.get(r, messages_filename);
  std::vector<int> rows;
  for (int c = messages.first(messages_filename, file); c; c = messages.next(c, messages_filename))
    if (messages.get(c, messages_filename) == file && messages.get(c, messages_type) == "vmail")
      rows.push_back(c);
  for (int c : rows) mail_voicemail(c);
  // Sent once: a later hang-up or time-out of this session does not send it again.
  set_var(cobj_ivr_extension, str());
}

void mailbox::on_timeout(int, const str& name, const str&) {
  str s = state();
  if (name == "inactive") {
    if ((s == "record" && end_of_recording(0)) || s == "after_recording") send_the_message();
    discard_temp();
    send_mwi(owner());
    end_session(486, "Busy Here");
  } else if (name == "stop" && s == "record") {
    on_dtmf("#");
  } else if (name == "comment" && s == "move_rec2") {
    on_dtmf("#");
  }
}

void mailbox::on_record_failed(const str& file) {
  const str s = state();
  if (s == "record" && messages.get(current(), messages_filename) == file) {
    post_command(msg::set_recording{legs.get(primary(), leg_call_id), str(), str()});
    clear_leg_timer(primary(), "stop");
    messages.delete_row(current());
    set_var(cobj_ivr_extension, str());
    goto_state("rec_failed");
  } else if (!file.empty() && var(cobj_ivr_files) == file) {
    discard_temp();
    goto_state("temp_failed");
  }
}

void mailbox::on_audio_end() {
  str s = state();
  if (s == "announcement" || s == "announcement2" || s == "announcement3") {
    start_record(false);
  } else if (s == "anorec" || s == "full" || s == "thanks" || s == "thanks2" || s == "rec_failed") {
    send_mwi(owner());
    end_session(487, "Temporarily Unavailable");
  } else if (s == "wrong_pin") {
    goto_state("ask_pin");
  } else if (s == "name_greet" || s == "name_prerec") {
    if (s == "name_greet") {
      goto_state("name_prerec");
    } else {
      start_temp_recording("name_rec");
    }
  } else if (s == "greet_prerec") {
    start_temp_recording("greet_rec");
  } else if (s == "rec1") {
    start_temp_recording("rec2");
  } else if (s == "move_rec1") {
    start_temp_recording("move_rec2");
    set_leg_timer(primary(), "comment", 60000);
  } else if (s == "name_play") {
    goto_state("name_postrec");
  } else if (s == "greet_play") {
    goto_state("greet_postrec");
  } else if (s == "read_messages" || s == "message_deleted") {
    next_message();
  } else if (s == "move_noexist") {
    goto_state("move_mailbox");
  } else if (s == "temp_failed") {
    goto_state("menu");
  }
  // Every other state waits for a key.
}

void install_mailbox() {
  register_call_app(
      {"mailbox", ev_hangup | ev_dtmf | ev_audio_end | ev_timeout | ev_record_failed,
       [](int cobj) -> std::unique_ptr<call_app> { return std::make_unique<mailbox>(cobj); }});
}
