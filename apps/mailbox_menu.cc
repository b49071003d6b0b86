// The menu half of the mailbox: the prompt lists of the states, the keys of the caller and of
// the owner, listening to messages with their envelope, and the name, greeting and PIN
// recordings. ctrl side.
#include "apps/mailbox.h"
#include "base/file_system.h"
#include "base/log.h"
#include "db/schema.h"
#include "frame/clock.h"
#include "pbx/accounts.h"
#include "pbx/call_state.h"
#include "pbx/dial_pattern.h"
#include "pbx/registration.h"

namespace {

str prompt(const char* name) { return str("$a/") + name + ".wav"; }
str prompts(std::initializer_list<const char*> names) {
  str out;
  for (const char* n : names) out += (out.empty() ? "" : " ") + prompt(n);
  return out;
}
str join(const str& a, const str& b) { return a.empty() ? b : b.empty() ? a : a + " " + b; }
bool is_digit(const str& key) { return key.length() == 1 && key[0] >= '0' && key[0] <= '9'; }
const char* const beep = "$m/mb_beep.wav";
str temp_file(int owner) { return str::sprintf("recordings/mbtmp-%d.wav", owner); }

// Days since 1970-01-01 to year, month (1..12), day (1..31).
void civil_from_days(int64_t z, int& y, int& m, int& d) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  y = static_cast<int>(yoe + era * 400 + (m <= 2));
}

// Minutes east of UTC of a zone written as an offset; 0 for anything else.
int zone_minutes(str zone) {
  zone = zone.strip();
  if (zone.istarts_with("UTC") || zone.istarts_with("GMT")) zone = zone.substr(3);
  if (zone.empty() || (zone[0] != '+' && zone[0] != '-')) return 0;
  int sign = zone[0] == '-' ? -1 : 1;
  str h = zone.substr(1).get_field(0, ':');
  str m = zone.substr(1).get_field(1, ':');
  if (!h.is_number()) return 0;
  int hours = h.value(), minutes = m.is_number() ? m.value() : 0;
  if (m.empty() && h.length() == 4) {  // "+0530"
    minutes = hours % 100;
    hours /= 100;
  }
  return sign * (hours * 60 + minutes);
}

}  // namespace

// ---- Words ----

str mailbox::number_words(int n) {
  if (n < 0) return join(prompt("bi_minus"), number_words(-n));
  if (n < 20) return str::sprintf("$a/bi_%d.wav", n);
  if (n < 100)
    return join(str::sprintf("$a/bi_%d.wav", n / 10 * 10), n % 10 ? number_words(n % 10) : str());
  if (n < 1000)
    return join(join(number_words(n / 100), prompt("bi_hundred")),
                n % 100 ? number_words(n % 100) : str());
  return join(join(number_words(n / 1000), prompt("bi_thousand")),
              n % 1000 ? number_words(n % 1000) : str());
}

str mailbox::spell(const str& digits) {
  str out;
  for (char c : digits.view())
    if ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z'))
      out = join(out, str::sprintf("$a/%c.wav", c));
  return out;
}

str mailbox::envelope(int64_t t, const str& zone, const str& from_number) {
  static const char* const days[] = {"bi_thursday", "bi_friday",  "bi_saturday", "bi_sunday",
                                     "bi_monday",   "bi_tuesday", "bi_wednesday"};
  static const char* const months[] = {"bi_january",   "bi_february", "bi_march",    "bi_april",
                                       "bi_may",       "bi_june",     "bi_july",     "bi_august",
                                       "bi_september", "bi_october",  "bi_november", "bi_december"};
  static const char* const ordinals[] = {
      "bi_1st",  "bi_2nd",  "bi_3rd",  "bi_4th",  "bi_5th",  "bi_6th",  "bi_7th",  "bi_8th",
      "bi_9th",  "bi_10th", "bi_11th", "bi_12th", "bi_13th", "bi_14th", "bi_15th", "bi_16th",
      "bi_17th", "bi_18th", "bi_19th", "bi_20th", "bi_21st", "bi_22nd", "bi_23rd", "bi_24th",
      "bi_25th", "bi_26th", "bi_27th", "bi_28th", "bi_29th", "bi_30th", "bi_31st"};
  int64_t local_min = t / 60000 + zone_minutes(zone);
  int64_t days_since = local_min >= 0 ? local_min / 1440 : (local_min - 1439) / 1440;
  int minute_of_day = static_cast<int>(local_min - days_since * 1440);
  int y, m, d;
  civil_from_days(days_since, y, m, d);
  int hour = minute_of_day / 60, minute = minute_of_day % 60;
  int h12 = hour % 12 == 0 ? 12 : hour % 12;
  str out = prompts(
      {"bi_received", days[((days_since % 7) + 7) % 7], months[m - 1], ordinals[d - 1], "bi_at"});
  out = join(out, number_words(h12));
  if (minute == 0) {
    out = join(out, prompt("bi_oclock"));
  } else {
    out =
        join(out, minute < 10 ? join(prompt("bi_oh"), number_words(minute)) : number_words(minute));
  }
  out = join(out, prompt(hour < 12 ? "bi_am" : "bi_pm"));
  return from_number.empty() ? out : join(join(out, prompt("bi_from")), spell(from_number));
}

// ---- Prompt lists ----

str mailbox::greeting_list(bool record_follows) {
  str personal = ext_setting(extensions_personal).strip();
  str out;
  if (!personal.empty() && fs().size(personal) >= 0) {
    out = personal;
    if (record_follows && !dom_setting(domains_record_annoucement).empty())
      out = join(out, prompt("mb_leave_msg_after_tone"));
  } else {
    out = prompt("mb_this_is_the_mailbox_of");
    bool name = ext_setting(extensions_name_use) != "false" && fs().size(name_file()) >= 0;
    out = join(out, name ? name_file() : spell(account_name(owner())));
    if (record_follows) out = join(out, prompt("mb_leave_msg_after_tone"));
  }
  if (!escape_destination().empty())
    out = join(out, prompts({"mb_connect_operator", "0"}) + " space20");
  return record_follows ? join(out, beep) : out;
}

str mailbox::message_list() {
  int r = current();
  int position = var(cobj_ivr_var5).value() + 1;
  str out = join(prompt("mb_message"), number_words(position));
  str attribute = messages.get(r, messages_attribute);
  if (attribute == "urgent") out = join(out, prompt("mb_marked_urgent"));
  if (attribute == "private") out = join(out, prompt("mb_marked_private"));
  return join(join(out, messages.get(r, messages_filename)), prompt("mb_end_of_message"));
}

str mailbox::get_audio_list() {
  str s = state();
  if (s == "announcement" || s == "announcement2" || s == "announcement3")
    return greeting_list(true);
  if (s == "anorec") return greeting_list(false);
  if (s == "read_messages") {
    int fresh = 0, saved = 0;
    count_messages(fresh, saved);
    return join(join(join(prompt("mb_you_have"), number_words(fresh)), prompt("mb_new")),
                join(prompt(fresh == 1 ? "mb_message" : "mb_messages"),
                     join(join(prompt("mb_and"), number_words(saved)),
                          prompts({"mb_saved", saved == 1 ? "mb_message" : "mb_messages"}))));
  }
  if (s == "next_message") return message_list();
  if (s == "read_short")
    return join(messages.get(current(), messages_filename), prompt("mb_end_of_message"));
  if (s == "read_env") {
    int r = current();
    return envelope(atimestamp_parse(messages.get(r, messages_start)), dom_setting(domains_tz),
                    uri_user(messages.get(r, messages_from)));
  }
  if (s == "call_back")
    return join(
        join(prompt("mb_callback_number"), spell(uri_user(messages.get(current(), messages_from)))),
        prompts({"bi_press", "1"}));
  if (s == "pin_verify")
    return join(join(prompt("mb_pin_verify1"), spell(var(cobj_ivr_var6))),
                prompt("mb_pin_verify2"));
  if (s == "move_confirm")
    return join(join(prompt("mb_move"), spell(var(cobj_ivr_var6))), prompt("mb_confirm"));
  if (s == "name_play" || s == "greet_play") return var(cobj_ivr_files);
  if (s == "greet_list") {
    str out = prompt("mb_record_greet_start");
    for (int n = 1; n <= 5; n++)
      if (fs().size(greeting_file(n)) >= 0)
        out = join(out, join(prompts({"bi_press"}), number_words(n)) + " " + greeting_file(n));
    return out;
  }
  static const std::pair<const char*, const char*> lists[] = {
      {"full", "mb_full"},
      {"rec_failed", "mb_cannot_record"},
      {"temp_failed", "mb_cannot_record"},
      {"after_recording", "mb_after_recording"},
      {"thanks", "mb_thank_you_for_message"},
      {"thanks2", "mb_thank_you_for_message"},
      {"ask_pin", "ex_enter_access_code"},
      {"wrong_pin", "mb_wrong_pin"},
      {"menu",
       "mb_main_menu mb_main_menu1 mb_main_menu2 mb_main_menu3 mb_main_menu4 "
       "mb_enter_choice2 mb_main_menu9"},
      {"message_deleted", "mb_message_deleted"},
      {"name_greet", "mb_no_name_ask1 mb_no_name_ask2 mb_no_name_ask3"},
      {"name_prerec", "mb_record_name_start"},
      {"greet_prerec", "mb_record_greet_start"},
      {"name_postrec", "mb_record_name_verify"},
      {"greet_postrec", "mb_record_name_verify"},
      {"pin_greet", "mb_pin_greet"},
      {"move_mailbox", "mb_move_mailbox"},
      {"move_mb2", "mb_move_mailbox"},
      {"move_noexist", "mb_move_noexist"},
      {"move_rec1", "mb_to_comment"},
      {"rec1", "mb_recordmessage"},
      {"mm1", "mb_sendmessagerecipalm"},
      {"starcode", "ex_enter_access_code"}};
  for (const auto& [name, files] : lists) {
    if (s != name) continue;
    str out;
    for (size_t i = 0;; i++) {
      str w = str(files).get_field(i);
      if (w.empty()) break;
      out = join(out, "$a/" + w + ".wav");
    }
    bool records = s == "name_prerec" || s == "greet_prerec" || s == "rec1" || s == "move_rec1";
    return records ? join(out, beep) : out;
  }
  return str();  // states that wait in silence (PIN entry, recording)
}

// ---- Listening ----

void mailbox::set_speed(int speed) {
  set_var(cobj_ivr_var3, speed == 1 ? str() : id_text(speed));
  post_command(msg::set_playback_speed{legs.get(primary(), leg_call_id), id_text(speed)});
}

void mailbox::message_state(const str& s) {
  if (!var(cobj_ivr_var3).empty()) set_speed(1);
  refresh_inactivity(true);
  goto_state(s);
}

// Builds the list (new messages first, then the saved ones) when it is empty, then plays the
// message at the next position; at the end of the list, the menu.
void mailbox::next_message() {
  str list = var(cobj_ivr_var4);
  int position = list.empty() ? 0 : var(cobj_ivr_var5).value() + 1;
  if (list.empty()) {
    str o = id_text(owner());
    for (int pass = 0; pass < 2; pass++)
      for (int r = messages.first(messages_user, o); r; r = messages.next(r, messages_user))
        if (messages.get(r, messages_user) == o && messages.get(r, messages_type) == "vmail" &&
            (messages.get(r, messages_new) == "true") == (pass == 0))
          list = join(list, id_text(r));
    set_var(cobj_ivr_var4, list);
  }
  for (;; position++) {
    str row = list.get_field(position);
    if (row.empty()) {
      set_var(cobj_ivr_var4, str());
      set_var(cobj_ivr_extension, str());
      if (!var(cobj_ivr_var3).empty()) set_speed(1);
      goto_state("menu");
      return;
    }
    if (!messages.has_row(row.value())) continue;  // deleted meanwhile
    set_var(cobj_ivr_var5, id_text(position));
    set_var(cobj_ivr_extension, row);
    message_state("next_message");
    return;
  }
}

void mailbox::message_key(const str& key) {
  int r = current();
  int speed = var(cobj_ivr_var3).empty() ? 1 : var(cobj_ivr_var3).value();
  // After a deletion only the keys that leave the message work.
  if (!messages.has_row(r) && key != "#" && key != "*" && key != "0") return;
  if (key == "0") {
    play(prompts({"mb_reverse", "1", "mb_stop_playback", "2", "mb_fastforward", "3", "mb_to_repeat",
                  "4", "mb_to_envelope", "5", "mb_to_move2", "6", "mb_to_delete", "7",
                  "mb_to_callback", "8", "mb_to_save", "9"}));
  } else if (key == "1") {
    set_speed(speed < 0 ? speed - 1 : -1);
  } else if (key == "2") {
    set_speed(speed == 0 ? 1 : 0);
  } else if (key == "3") {
    set_speed(speed > 1 ? speed + 1 : 2);
  } else if (key == "4") {
    message_state("read_short");
  } else if (key == "5") {
    message_state("read_env");
  } else if (key == "6") {
    set_var(cobj_ivr_var1, str());
    message_state("move_mb2");
  } else if (key == "7") {
    delete_message(r);
    send_mwi(owner());
    message_state("message_deleted");
  } else if (key == "8") {
    if (uri_user(messages.get(r, messages_from)).empty()) return;
    mark_as_read(r);
    send_mwi(owner());
    message_state("call_back");
  } else if (key == "9") {
    mark_as_read(r);
    send_mwi(owner());
    next_message();
  } else if (key == "#") {
    next_message();
  } else if (key == "*") {
    set_var(cobj_ivr_var4, str());
    if (!var(cobj_ivr_var3).empty()) set_speed(1);
    goto_state("menu");
  }
}

// ---- Keys ----

void mailbox::on_dtmf(const str& digits) {
  if (digits.length() != 1) {
    log_printf(log_application, 4, "Received unknown DTMF %s", digits);
    return;
  }
  str s = state();
  bool long_wait = s == "record" || s == "next_message" || s == "read_short" || s == "read_env";
  refresh_inactivity(long_wait);
  const str& key = digits;
  if (s == "announcement" || s == "announcement2" || s == "announcement3" || s == "anorec" ||
      s == "full") {
    caller_key(key);
  } else if (s == "ask_pin" || s == "wait_pin" || s == "wrong_pin") {
    pin_key(key);
  } else if (s == "record") {
    if (key == "#" || key == "*" || key == "S") {
      bool kept = end_of_recording(0);
      if (key == "S") {
        if (kept) send_the_message();
        end_session(486, "Busy Here");
        return;
      }
      set_leg_timer(primary(), "inactive", 30000);
      goto_state("after_recording");
    }
  } else if (s == "after_recording") {
    after_recording_key(key);
  } else if (s == "menu") {
    menu_key(key);
  } else if (s == "read_messages") {
    if (key == "*") goto_state("menu");
    if (key == "#") next_message();
  } else if (s == "next_message" || s == "read_short" || s == "read_env" ||
             s == "message_deleted") {
    message_key(key);
  } else if (s == "call_back") {
    if (key == "1") dial(uri_user(messages.get(current(), messages_from)));
    if (key == "*") next_message();
  } else if (s.starts_with("move_") || s == "mm1") {
    move_key(key);
  } else if (s == "name_rec" || s == "greet_rec" || s == "rec2" || s == "move_rec2") {
    if (key != "#" && key != "*") return;
    stop_temp_recording();
    if (s == "name_rec") goto_state("name_postrec");
    if (s == "greet_rec") goto_state("greet_postrec");
    if (s == "rec2") {
      set_var(cobj_ivr_var1, str());
      goto_state("mm1");
    }
    if (s == "move_rec2") move_key("#");
  } else if (s == "name_postrec" || s == "greet_postrec" || s == "name_play" || s == "greet_play" ||
             s == "name_greet") {
    postrec_key(key);
  } else if (s == "greet_list") {
    greet_list_key(key);
  } else if (s == "pin_greet" || s == "pin_enter" || s == "pin_verify") {
    pin_change_key(key);
  } else if (s == "starcode") {
    starcode_key(key);
  }
}

void mailbox::caller_key(const str& key) {
  str s = state();
  if (key == "*") {
    set_var(cobj_ivr_var1, str());
    goto_state("ask_pin");
    return;
  }
  if (s == "full") return;
  if (key == "F" || key == "f") {
    log_printf(log_application, 4, "Mailbox: Fax tone on the mailbox of %s, fax is not taken",
               account_name(owner()));
    set_var(cobj_ivr_state, "fax");
  } else if (key == "0" && !escape_destination().empty()) {
    dial(escape_destination());
  } else if (key == "#" && s != "anorec") {
    start_record(true);
  } else if ((is_digit(key) || key == "#") && pin().length() > 1) {
    set_var(cobj_ivr_var1, key);
    goto_state("wait_pin");
  }
}

void mailbox::pin_key(const str& key) {
  str input = var(cobj_ivr_var1);
  if (state() == "wrong_pin") input = str();
  if (key == "*") {
    set_var(cobj_ivr_var1, str());
    return;
  }
  if (key != "#") input += key;
  set_var(cobj_ivr_var1, input);
  if (state() != "wait_pin") goto_state("wait_pin");
  if (key != "#" && input.length() < pin().length()) return;
  if (!input.empty() && input == pin()) {
    set_var(cobj_ivr_var2, "true");
    owner_logged_in();
    return;
  }
  int wrong = var(cobj_ivr_var7).value() + 1;
  set_var(cobj_ivr_var7, id_text(wrong));
  set_var(cobj_ivr_var1, str());
  log_printf(log_application, 4, "Mailbox %s: wrong PIN (%d)", account_name(owner()), wrong);
  if (wrong >= 3) {
    send_mwi(owner());
    end_session(486, "Busy Here");
    return;
  }
  goto_state("wrong_pin");
}

void mailbox::after_recording_key(const str& key) {
  int r = current();
  if (key == "0" && !escape_destination().empty()) {
    send_the_message();
    dial(escape_destination());
  } else if (key == "1" || key == "2") {
    if (messages.has_row(r)) delete_message(r);
    set_var(cobj_ivr_extension, str());
    goto_state(key == "1" ? "thanks2" : "announcement3");
  } else if ((key == "3" || key == "4") && messages.has_row(r)) {
    messages.set(r, messages_attribute, key == "3" ? "urgent" : "private");
    play(prompt(key == "3" ? "mb_message_urgent" : "mb_message_private"));
  } else if (key == "9") {
    send_the_message();
    goto_state("thanks");
  }
}

void mailbox::menu_key(const str& key) {
  static const std::pair<const char*, const char*> next[] = {
      {"1", "read_messages"}, {"2", "pin_greet"},  {"3", "name_prerec"}, {"4", "greet_prerec"},
      {"5", "rec1"},          {"9", "greet_list"}, {"*", "starcode"}};
  for (const auto& [k, s] : next)
    if (key == k) {
      set_var(cobj_ivr_var1, str());
      set_var(cobj_ivr_var4, str());
      if (key == "4") set_var(cobj_ivr_var6, "1");
      goto_state(s);
    }
}

void mailbox::move_key(const str& key) {
  str s = state();
  str input = var(cobj_ivr_var1);
  auto back = [&] {
    set_var(cobj_ivr_var1, str());
    if (s == "mm1") {
      discard_temp();
      goto_state("menu");
    } else {
      message_state("next_message");
    }
  };
  if (s == "move_confirm" || s == "move_rec2") {
    if (key == "1" || s == "move_rec2") {
      int target = var(cobj_ivr_var6).value();
      int c = copy_a_message(current(), target);
      str comment = var(cobj_ivr_files);
      if (s == "move_rec2" && !comment.empty()) {
        str file = str::sprintf("recordings/comment%d.wav", c);
        if (fs().rename(comment, file)) messages.set(c, messages_comment, file);
        set_var(cobj_ivr_files, str());
      }
      send_mwi(target);
      play(prompt("mb_copied"));
      set_var(cobj_ivr_state, "read_short");
    } else if (key == "2") {
      goto_state("move_rec1");
    } else if (key == "*") {
      back();
    }
    return;
  }
  if (key == "*") {
    if (input.empty()) {
      back();
    } else {
      set_var(cobj_ivr_var1, str());
    }
    return;
  }
  if (is_digit(key)) input += key;
  set_var(cobj_ivr_var1, input);
  int target = account_by_name(input, domain());
  if (!is_extension(target) && key != "#") return;
  if (!is_extension(target)) {
    set_var(cobj_ivr_var1, str());
    goto_state(s == "mm1" ? "mm1" : "move_noexist");
    if (s == "mm1") play(prompt("mb_move_noexist"));
    return;
  }
  set_var(cobj_ivr_var1, str());
  if (s == "mm1") {
    // The owner's own recording goes to the target as a new message.
    int r = messages.add_row();
    str file = str::sprintf("recordings/msg%d.wav", r);
    if (!fs().rename(var(cobj_ivr_files), file)) {
      messages.delete_row(r);
      log_printf(log_application, 4, "Mailbox: recording %s not found", var(cobj_ivr_files));
      goto_state("menu");
      return;
    }
    set_var(cobj_ivr_files, str());
    messages.set(r, messages_user, id_text(target));
    messages.set(r, messages_from, "<" + account_uri(owner()) + ">");
    messages.set(r, messages_to, "<" + account_uri(target) + ">");
    messages.set(r, messages_start, atimestamp_serialize(wall_now()));
    messages.set(r, messages_new, "true");
    messages.set(r, messages_type, "vmail");
    messages.set(r, messages_filename, file);
    send_mwi(target);
    goto_state("menu");
    return;
  }
  set_var(cobj_ivr_var6, id_text(target));
  goto_state("move_confirm");
}

// ---- Name, greetings, PIN, star codes ----

void mailbox::start_temp_recording(const str& next_state) {
  fs().mkdir("recordings");
  str file = temp_file(owner());
  set_var(cobj_ivr_files, file);
  set_var(cobj_ivr_state, next_state);
  post_command(msg::set_recording{legs.get(primary(), leg_call_id), file, ""});
}

void mailbox::stop_temp_recording() {
  post_command(msg::set_recording{legs.get(primary(), leg_call_id), str(), str()});
  clear_leg_timer(primary(), "comment");
}

void mailbox::discard_temp() {
  str file = var(cobj_ivr_files);
  str s = state();
  if (s == "name_rec" || s == "greet_rec" || s == "rec2" || s == "move_rec2") stop_temp_recording();
  if (file.empty()) return;
  fs().remove(file);
  set_var(cobj_ivr_files, str());
}

void mailbox::postrec_key(const str& key) {
  bool name = state().starts_with("name");
  int n = var(cobj_ivr_var6).value();
  str final_file = name ? name_file() : greeting_file(n ? n : 1);
  if (key == "1") {
    goto_state(name ? "name_play" : "greet_play");
  } else if (key == "2") {
    if (!fs().rename(var(cobj_ivr_files), final_file)) {
      log_printf(log_application, 4, "Mailbox: recording %s not found", var(cobj_ivr_files));
    } else if (name) {
      extensions.set(owner_ext(), extensions_name_use, "true");
    } else {
      str have = ext_setting(extensions_personal_greetings);
      if ((" " + have + " ").find(" " + id_text(n) + " ") < 0)
        extensions.set(owner_ext(), extensions_personal_greetings, join(have, id_text(n)));
      if (n == 1) extensions.set(owner_ext(), extensions_personal, final_file);
    }
    set_var(cobj_ivr_files, str());
    goto_state("menu");
  } else if (key == "3") {
    discard_temp();
    goto_state(name ? "name_prerec" : "greet_prerec");
  } else if (key == "4") {
    discard_temp();
    if (name) {
      extensions.set(owner_ext(), extensions_name_use, "false");
    } else {
      fs().remove(final_file);
      str have = ext_setting(extensions_personal_greetings), keep;
      for (size_t i = 0;; i++) {
        str g = have.get_field(i);
        if (g.empty()) break;
        if (g != id_text(n)) keep = join(keep, g);
      }
      extensions.set(owner_ext(), extensions_personal_greetings, keep);
      if (ext_setting(extensions_personal) == final_file)
        extensions.set(owner_ext(), extensions_personal, str());
    }
    goto_state("menu");
  } else if (key == "*") {
    discard_temp();
    goto_state("menu");
  }
}

void mailbox::greet_list_key(const str& key) {
  int e = owner_ext();
  if (is_digit(key) && key[0] >= '1' && key[0] <= '5') {
    int n = key[0] - '0';
    if (fs().size(greeting_file(n)) < 0) return;
    extensions.set(e, extensions_personal, greeting_file(n));
  } else if (key == "0" || key == "9") {
    extensions.set(e, extensions_personal, str());
    extensions.set(e, extensions_name_use, key == "0" ? "true" : "false");
  } else if (key != "*") {
    return;
  }
  goto_state("menu");
}

void mailbox::pin_change_key(const str& key) {
  str s = state();
  if (s == "pin_greet") {
    if (key == "*") goto_state("menu");
    if (!is_digit(key)) return;
    set_var(cobj_ivr_var6, str());
    set_var(cobj_ivr_state, "pin_enter");
    play(str());
    s = "pin_enter";
  }
  if (s == "pin_enter") {
    if (key == "*") {
      set_var(cobj_ivr_var6, str());
      goto_state("menu");
      return;
    }
    if (!is_digit(key)) return;
    str size = dom_setting(domains_mb_pinsize).strip();
    size_t need = size.is_number() && size.value() > 0 ? size.value() : 4;
    str input = var(cobj_ivr_var6) + key;
    set_var(cobj_ivr_var6, input);
    if (input.length() >= need) goto_state("pin_verify");
    return;
  }
  if (key == "1") {
    extensions.set(owner_ext(), extensions_mb_pin, var(cobj_ivr_var6));
    log_printf(log_application, 5, "Mailbox %s: PIN changed", account_name(owner()));
  }
  if (key == "1" || key == "*") {
    set_var(cobj_ivr_var6, str());
    goto_state("menu");
  }
}

void mailbox::starcode_key(const str& key) {
  if (key == "*") {
    set_var(cobj_ivr_var1, str());
    goto_state("menu");
  } else if (key == "#") {
    str code = var(cobj_ivr_var1);
    set_var(cobj_ivr_var1, str());
    if (!code.empty()) dial(code);
  } else {
    set_var(cobj_ivr_var1, var(cobj_ivr_var1) + key);
    if (var(cobj_ivr_var1).length() == 1) play(str());
  }
}
