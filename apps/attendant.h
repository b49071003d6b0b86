// The attendant application: the voice menu of an attendant account (greeting, dialling an
// extension or a name, menu keys, operator, night service) and the plain call to an extension
// (dial_a_number starts an attendant on the dialled extension). Ringing an extension with its
// forwarding, do-not-disturb, address-book lists, reminders and voicemail fallback is done here
// for both.
//
// A handler lives for one event (call_app.h). What it remembers lives in the call object's row:
//   "is" the state ("welcome", "ask_extension", "wait_digits", "noise", "ringing", ...),
//   "iu" the account served (an attendant or, for a direct call, the extension),
//   "ia" the extension being dealt with,
//   "i1" the digits typed, "i2" the other keys typed ("*", maintenance codes),
//   "i3" the destination of a redirection, "i4" the names matched (space-separated accounts),
//   "i5" the welcome loop counter, "i6" the file holding an anonymous caller's recorded name,
//   "i7" the leg of the extension that is hearing who calls, "lang" the prompt language.
// Prompts are "$a/<name>.wav"; they are sent with play alert so that their end comes back as
// DialogEOF (on_audio_end), but every key works while one plays, and nothing a caller needs
// waits for the end of a prompt.
//
// ctrl side.
#pragma once

#include <vector>

#include "base/str.h"
#include "pbx/call_app.h"
#include "pbx/call_state.h"

class attendant : public call_app {
 public:
  explicit attendant(int cobj);

  void start(int account, const str& number) override;
  void on_ringback(int leg, const msg::dialog_response& in) override;
  bool on_connect(int leg, const msg::dialog_response& in) override;
  void on_error(int leg, int code, const msg::dialog_response& in) override;
  void on_hangup(int leg) override;
  void on_dtmf(const str& digits) override;
  void on_dtmf_ext(int leg, const str& digits) override;
  void on_audio_end() override;
  void on_audio_end_ext(int leg) override;
  void on_timeout(int leg, const str& name, const str& arg) override;
  bool on_hold(int leg, const msg::dialog_hold& in) override;

  // Rings the extension (users row) with all its rules; the first rule that takes the call
  // ends the procedure.
  void goto_extension(int extension);
  // Input analysis of the digits typed so far: "" keep collecting, "c" call the extension,
  // "n" dial by name, "s" select among names, "m" the mailbox of the extension, "r" redirect
  // (destination in "i3"), "l" language changed.
  str process_input(const str& key);
  // Menu entry n (0..9): "r" with the destination in "i3", "l" for a language toggle, "" when
  // the entry does not apply to input.
  str check_redirect(int n, const str& input);
  // Night service: true when the call was sent elsewhere.
  bool check_night();
  // Hands the call object to number through dial_a_number.
  void redirect_to_number(const str& number);
  // False for an account listed in the attendant's "excluded".
  bool allowed(const str& number);
  // Fax detection on the caller's leg for a menu that has an entry for the fax tone ("F").
  void check_fax();
  // An intercom call: the extension's phones are asked to answer by themselves; no forwarding,
  // no mailbox.
  void intercom(int extension);
  // Starts the cell phones of the extension (check_cellphone) as external legs; how many.
  int call_cell(int extension);
  // One parallel external leg through the dial plan of the extension, with the extension's
  // confirmation key; false when no leg was started.
  bool add_external_number(int extension, const str& number);
  // The cell phone numbers to ring for the extension: none when they are switched off
  // (cell_dis "true").
  std::vector<str> check_cellphone(int extension) const;
  // The prompts that say text: each digit, "." as "bi_dot"; other characters are skipped.
  static str spoken_digits(const str& text);
  // The extension accounts of the domain whose names (first, last, display) start with the
  // letters typed as keypad digits, in row order.
  static std::vector<int> find_name_matches(int domain, const str& letters);

 private:
  // Rows and columns.
  str var(const str& column) const;
  void set_var(const str& column, const str& value);
  str state() const;
  void set_state(const str& s);
  int primary() const;
  int domain() const;
  int served() const;  // "iu"
  int menu() const;    // the attendants row when the served account is an attendant, else 0
  str menu_setting(const str& column) const;
  bool direct() const;    // a call to an extension, not the menu
  bool answered() const;  // the primary leg is connected
  int caller() const;     // the calling extension, 0 for none
  str caller_user() const;

  // Prompts: answers the primary leg first when it is not connected yet.
  void play(const str& files, bool loop = false);
  void play_state(const str& s);
  void refresh_hangup_timer();
  void end_call(int code, const char* reason);
  // A failure in state s: prompt in the menu, the end of a direct call.
  void fail(const char* s);
  void end_other_legs();
  // Clears the timers of the caller's leg when this call may have set some (reminders while
  // ringing, the menu's), before the call goes to another application.
  void clear_timers();
  // A caller calling from the cell phone of an extension of the domain continues as that
  // extension.
  void call_from_cellphone();

  // Extension rules.
  bool has_mailbox(int extension) const;
  int no_answer_seconds(int extension) const;
  int mailbox_seconds(int extension) const;
  str list_type(int owner, const str& number) const;
  void goto_mailbox(int extension, const char* reason);
  void on_unavailable(int extension);
  void on_busy(int extension);
  void on_blocked();
  void forward(const str& target);
  void no_answer_end();
  // Steps 9 and 10 of goto_extension: the reminders, then every registration and the cell
  // phones ring; the call object is in state s meanwhile ("noise", or "ask3" while an
  // anonymous caller waits).
  void ring(int extension, const std::vector<ring_target>& targets, const char* s);
  // True in the states in which the extension's phones are being called.
  bool calling() const;

  // Anonymous callers: "ask1" asks for the name, "ask2" records it, "ask3" rings the
  // extension, "ask4" lets the answering extension hear the name and accept with a key.
  void ask_name(int extension);
  void screen_record();
  void name_recorded();
  void screen(int leg);
  void screen_key(int leg, const str& key);
  // The recorded name is not kept once the extension has decided or the caller is gone.
  void forget_name();

  // The call-back offer ("ask_cb" busy, "ask_cb2" no answer, "cell_calling"): its options in
  // key order ("camp", "callback", "mailbox", "read_balance", "welcome").
  std::vector<str> offer_options(const str& s) const;
  str offer_prompts(const str& s) const;
  void offer(const char* s);
  // A row of auto_callbacks: the caller is called back (kind "camp": when the extension is
  // free, "callback": after delay seconds); the state becomes "callback_active".
  void book_callback(const char* kind, int delay);
  void camp_answered(int leg);

  // Menu.
  void menu_welcome();
  void menu_key(const str& key);
  void digit_in_menu(const str& key);
  void act(const str& code);
  void complete_extension(const str& number);
  void name_key(const str& key);
  void select_key(const str& key);
  void special_key(const str& key);
  void offer_key(const str& key);
  str mailbox_prefix() const;
  str welcome_prompts() const;
  // The extension as the caller hears it: its recorded name when name_use is "true", else its
  // number spoken.
  str name_prompts(int extension) const;
  bool fax_entry() const;
};

// The booked call-backs (table auto_callbacks): a "camp" row is due when its extension and the
// extension that booked it take part in no call, a "callback" row at its time. A due row is
// removed and its call starts: a call object "attendant" in state "camp_call" calls the one who
// booked and, when he answers, his extension. Looked at every few seconds on the ctrl side's
// timer queue while rows exist (schedule_auto_callbacks arms it; without a queue nothing runs).
void process_auto_callbacks();
void schedule_auto_callbacks();
void start_auto_callback(int row);

// Registers the class for call objects of type "attendant".
void install_attendant();
