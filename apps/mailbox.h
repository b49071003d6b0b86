// The mailbox application: the voicemail box of an extension. A caller hears the greeting and
// leaves a message; the owner logs in with his PIN and listens to, deletes, saves, forwards and
// calls back messages, records his name and greetings and changes his PIN.
//
// A handler lives for one event (call_app.h). What it remembers lives in the call object's row:
//   "is" the state ("announcement", "record", "ask_pin", "menu", "next_message", ...),
//   "iu" the mailbox (the extension's users row), "ia" the message being recorded or heard,
//   "i1" the digits typed (PIN, star code, target mailbox), "i2" "true" in an owner session,
//   "i3" the playback speed, "i4" the messages to hear (space-separated rows), "i5" the
//   position in that list, "i6" a new PIN, the forwarding target or the greeting number,
//   "i7" the wrong PIN entries, "if" the name or greeting being recorded (a temporary file).
// Messages are rows of the messages table; their audio is "recordings/msg<row>.wav". A message
// is "com" while it is recorded and "vmail" once committed. The owners hear of a new message by
// MWI when its recording closes (FileWritten, dialog_events.cc); deletions and saves update
// MWI at once. Once the caller is done with a message (sent with "9", hung up, timed out) it is
// mailed to each owner that asks for it, the recording attached (pbx/email.h spools the mail;
// the mail thread reads the recording when it delivers it). A caller who hangs up during the
// greeting, and a caller who finds the mailbox full, are mailed as notices.
//
// Prompts are "$a/<name>.wav", sent with play alert: the end of a list comes back as DialogEOF
// (on_audio_end) and moves prompt states on, but every key works while a list plays.
//
// ctrl side.
#pragma once

#include <vector>

#include "base/str.h"
#include "pbx/call_app.h"

class mailbox : public call_app {
 public:
  explicit mailbox(int cobj);

  // Begins a session on the mailbox of account; an owner session when the calling leg belongs
  // to that extension.
  void start(int account, const str& number) override;
  // Begins an owner session whoever calls.
  void start_owner(int account);
  // Begins an owner session that records greeting 1 at once (star code "*98" without argument).
  void start_rec_greeting(int account);
  void on_hangup(int leg) override;
  void on_dtmf(const str& digits) override;
  void on_audio_end() override;
  void on_timeout(int leg, const str& name, const str& arg) override;
  // A caller's message that cannot be written ends the call with "mb_cannot_record"; a name,
  // greeting or comment of the owner's is dropped and the menu comes back.
  void on_record_failed(const str& file) override;

  void goto_state(const str& s);
  // The prompt list of the current state.
  str get_audio_list();

  // A new messages row of the owner, of type, with its file name; the row.
  int allocate_message(const str& type);
  // Stops the recording; commits the message when min_ms is below 1000 or it lasted that long,
  // else discards it. True when committed.
  bool end_of_recording(int min_ms);
  void delete_message(int row);
  void mark_as_read(int row);
  // The owner's committed messages, new and saved; rows whose file has long gone are removed.
  void count_messages(int& new_messages, int& saved_messages);
  // A copy of message row for target (same file); the new row.
  int copy_a_message(int row, int target);

  // The words of a number (0..999999) as prompts, and a number spelled digit by digit.
  static str number_words(int n);
  static str spell(const str& digits);
  // "bi_received" with date and time of t (wall-clock ms) in the zone given as an offset from
  // UTC ("+2", "-05:30", "UTC+1"; anything else is UTC), then "bi_from" and the caller.
  static str envelope(int64_t t, const str& zone, const str& from_number);

 private:
  str var(const str& column) const;
  void set_var(const str& column, const str& value);
  str state() const;
  int primary() const;
  int domain() const;
  int owner() const;
  int owner_ext() const;  // the extensions row
  bool owner_session() const;
  str ext_setting(const str& column) const;
  str dom_setting(const str& column) const;
  str pin() const;
  int max_duration_s() const;  // 0: no limit

  void play(const str& files);
  void refresh_inactivity(bool long_wait);
  void end_session(int code, const char* reason);
  // Answers, sets the timers and fax detection; then the first state unless prepare_only.
  void first_state(bool prepare_only = false);
  void start_record(bool beep);
  void start_temp_recording(const str& next_state);
  void stop_temp_recording();
  void discard_temp();
  str name_file() const;
  str greeting_file(int n) const;
  str escape_destination() const;
  void dial(const str& number);
  void owner_logged_in();

  str greeting_list(bool record_follows);
  str message_list();
  void message_state(const str& s);
  void next_message();
  int current() const;
  void set_speed(int speed);
  bool has_new_messages();

  void caller_key(const str& key);
  void pin_key(const str& key);
  void after_recording_key(const str& key);
  void menu_key(const str& key);
  void message_key(const str& key);
  void move_key(const str& key);
  void postrec_key(const str& key);
  void greet_list_key(const str& key);
  void pin_change_key(const str& key);
  void starcode_key(const str& key);
  // Mails the committed message to its owner and the copies' owners (once per session).
  void send_the_message();
};

// Registers the class for call objects of type "mailbox".
void install_mailbox();
