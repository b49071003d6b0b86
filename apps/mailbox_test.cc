// The mailbox driven through the events of one call (the real dispatcher, dialog_events.h):
// the commands it posts are compared as whole texts built from short tokens; the messages rows,
// the files (an in-memory file system) and the MWI NOTIFYs are checked after each step.
#include "apps/mailbox.h"

#include <regex>

#include "pbx/dialog_events.h"
#include "pbx/pbx_test_util.h"
#include "sip/sip_messages.h"

namespace {

using events = std::initializer_list<const char*>;

class MailboxTest : public pbx_test::call_test {
 protected:
  void SetUp() override {
    call_test::SetUp();
    install_mailbox();
    owner = add_extension("101");
    caller = add_extension("40");
    db_test::set_row(extensions, extension_row(owner), "mb_pin=1234|name_use=false");
    db_test::set_row(domains, domain, "max_mb_duration=120|tz=-5");
    int r = add_registration(owner, "mwi-1", "sip:101@127.0.0.2");
    registrations.set(r, registrations_event, "message-summary");
  }
  // Extension `from` calls the mailbox of 101 from port 7, the leg of the call before gone.
  void call(int from) {
    legs.delete_row(primary);
    incoming("<sip:" + account_name(from) + "@localhost>", "<sip:101@localhost>");
    legs.set(primary, leg_extension, id_text(from));
    set_ivr_user(cobj, owner, "mailbox");
    make_call_app("mailbox", cobj)->start(owner, str());
  }
  // Feeds events: a key, "eof", "hangup", "written:<file>", "failed:<file>" (a recording that
  // could not be written); then the commands they caused.
  std::vector<str> send(events in) {
    take();
    for (str e : in) {
      str text = e == "eof"                  ? soap_write(msg::dialog_eof{"7", ""})
                 : e == "hangup"             ? soap_write(msg::dialog_hangup{"7", "", ""})
                 : e.starts_with("written:") ? soap_write(msg::file_written{e.substr(8), ""})
                 : e.starts_with("failed:")  ? soap_write(msg::file_written{e.substr(7), "true"})
                                             : soap_write(msg::dialog_dtmf{"7", e});
      dialog_events_on_soap(text);
    }
    return take();
  }
  // Tokens: "t:name:ms" timer, "c:name" timer cleared, "p:list" play, "a:list" answer with,
  // "r:file" recording ("r:" stops), "fax", "end:code:reason", "mwi:yes|no:n/o".
  static std::vector<str> expand(std::initializer_list<const char*> tokens) {
    std::vector<str> out;
    for (str t : tokens) {
      str kind = t.get_field(0, ':'), a = t.get_field(1, ':'), b = t.get_field(2, ':');
      str list;
      for (size_t i = 0; !a.get_field(i).empty(); i++) {
        str w = a.get_field(i);
        list += (list.empty() ? "" : " ") +
                (w.starts_with("$") || w.starts_with("rec") ? w : "$a/" + w + ".wav");
      }
      if (kind == "t") out.push_back(soap_write(msg::set_dialog_timeout{"7", b, a, ""}));
      if (kind == "c") out.push_back(soap_write(msg::clear_dialog_timeout{"7", a}));
      if (kind == "p")
        out.push_back(soap_write(msg::set_playfile{"7", list, "false", "true", "false"}));
      if (kind == "r") out.push_back(soap_write(msg::set_recording{"7", a, ""}));
      if (kind == "fax") out.push_back(soap_write(msg::fax_detection{"7", "true"}));
      if (kind == "a") out.push_back(soap_write(answer("7", 200, "Ok", list)));
      if (kind == "end") out.push_back(soap_write(answer("7", a.value(), b)));
      if (kind == "mwi")
        out.push_back(soap_write(msg::subscription_notify{
            "mwi-1", "message-summary", "application/simple-message-summary",
            "Messages-Waiting: " + a + "\r\nMessage-Account: 101\r\nVoice-Message: " + b +
                " (0/0)\r\n"}));
    }
    return out;
  }
  str message_row(int r) {
    str out;
    for (const str* c : {&messages_user, &messages_from, &messages_duration, &messages_new,
                         &messages_type, &messages_filename, &messages_callid})
      out += messages.get(r, *c) + "|";
    return out;
  }
  int owner = 0, caller = 0;
};

TEST_F(MailboxTest, CallerLeavesAMessageAndTheOwnerDeletesIt) {
  extensions.set(extension_row(owner), extensions_email_address, "owner@x.org");
  domains.set(domain, domains_email_from, "pbx@x.org");
  call(caller);
  EXPECT_EQ(take(), expand({"c:", "t:inactive:300000", "fax",
                            "a:mb_this_is_the_mailbox_of $a/1.wav $a/0.wav $a/1.wav "
                            "mb_leave_msg_after_tone $m/mb_beep.wav"}));
  EXPECT_EQ(send({"eof"}), expand({"r:recordings/msg1.wav", "t:stop:120000", "t:inactive:420000"}));
  clock.advance_ms(5400);
  EXPECT_EQ(send({"#"}), expand({"t:inactive:420000", "r:", "c:stop", "t:inactive:30000",
                                 "p:mb_after_recording"}));
  EXPECT_EQ(message_row(1), "1|<sip:40@localhost>|5|true|vmail|recordings/msg1.wav|abc@phone|");
  EXPECT_EQ(send({"9", "eof"}), expand({"t:inactive:300000", "p:mb_thank_you_for_message",
                                        "mwi:yes:1/0", "c:", "end:487:Temporarily Unavailable"}));
  // The owner's mail, its recording named by its row (the boundary is random).
  EXPECT_EQ(std::regex_replace(mfs.files["spool/0000001-00.msg"], std::regex("b-\\w{26}"), "B"),
            "From: pbx@x.org\r\nTo: owner@x.org\r\nDomain: 1\r\nSubject: New voice message from "
            "40\r\nContent-Type: multipart/mixed; boundary=\"B\"\r\n\r\n--B\r\nContent-Type: "
            "text/plain; charset=utf-8\r\n\r\n40 left you a voice message of 5 seconds in mailbox "
            "101. The recording is attached.\r\n\r\n--B\r\nContent-Disposition: attachment; "
            "filename=\"msg1.wav\"\r\nContent-Type: audio/wav; name=\"msg1.wav\"\r\n\r\n1\r\n"
            "--B--\r\n");
  mfs.files["recordings/msg1.wav"] = "RIFF";
  EXPECT_EQ(send({"written:recordings/msg1.wav"}), expand({}));  // nothing changed since
  EXPECT_EQ(mfs.files.count("recordings/msg1.wav"), 1u);

  // The owner: PIN, the count, the message, its envelope, delete (the row and the file go:
  // tests/e2e/voicemail_test.cc).
  call(owner);
  EXPECT_EQ(take(), expand({"c:", "t:inactive:300000", "fax", "a:ex_enter_access_code"}));
  EXPECT_EQ(send({"1", "2", "3", "4"}),
            expand({"t:inactive:300000", "p:", "t:inactive:300000", "t:inactive:300000",
                    "t:inactive:300000",
                    "p:mb_you_have bi_1 mb_new mb_message mb_and bi_0 mb_saved mb_messages"}));
  EXPECT_EQ(send({"eof"}), expand({"t:inactive:420000",
                                   "p:mb_message bi_1 recordings/msg1.wav mb_end_of_message"}));
  EXPECT_EQ(send({"5"}), expand({"t:inactive:420000", "t:inactive:420000",
                                 "p:bi_received bi_wednesday bi_december bi_31st bi_at bi_7 "
                                 "bi_oclock bi_pm bi_from $a/4.wav $a/0.wav"}));
  EXPECT_EQ(send({"7"}), expand({"t:inactive:420000", "mwi:no:0/0", "t:inactive:420000",
                                 "p:mb_message_deleted"}));
  EXPECT_EQ(send({"eof"}), expand({"p:mb_main_menu mb_main_menu1 mb_main_menu2 mb_main_menu3 "
                                   "mb_main_menu4 mb_enter_choice2 mb_main_menu9"}));
}

// PIN entries of the owner (the right one: the owner's journey above); the state after the
// keys, or the end of the call.
TEST_F(MailboxTest, PinEntry) {
  // clang-format off
  struct row { events keys; const char* state; bool ended; } rows[] = {
      {{"1", "2", "#"}, "wrong_pin", false},
      {{"9", "*", "1", "2", "3", "4"}, "menu", false},
      {{"5", "5", "5", "5", "eof", "1", "2", "3", "4"}, "menu", false},
      {{"5", "5", "5", "5", "eof", "6", "#", "eof", "1", "2"}, "wait_pin", false},
      {{"5", "5", "5", "5", "eof", "6", "#", "eof", "7", "7", "7", "7"}, "wait_pin", true},
  };
  // clang-format on
  for (const row& r : rows) {
    call(owner);
    std::vector<str> out = send(r.keys);
    EXPECT_EQ(cobjs.get(cobj, cobj_ivr_state), r.state);
    EXPECT_EQ(out.back() == expand({"end:486:Busy Here"})[0], r.ended) << r.keys.size();
  }
}

// A caller hanging up while recording leaves a message only when it is long enough.
TEST_F(MailboxTest, HangupWhileRecording) {
  for (auto [ms, left] : {std::pair{500, ""}, {2000, "vmail"}}) {
    messages.delete_row();
    call(caller);
    send({"eof"});
    mfs.files["recordings/msg1.wav"] = "RIFF";  // the recording under way
    clock.advance_ms(ms);
    send({"hangup", "written:recordings/msg1.wav"});
    str kept;
    for (int m = messages.first(); m; m = messages.next(m)) kept += messages.get(m, messages_type);
    EXPECT_EQ(kept, str(left)) << "hang-up after " << ms << " ms";
    size_t recordings = 0;
    for (const auto& f : mfs.files) recordings += str(f.first).starts_with("recordings/");
    EXPECT_EQ(recordings, kept.empty() ? 0u : 1u);
  }
}

// A hang-up in any state of either menu ends the session the same way: the session is over
// ("hangup"), no temporary recording and no uncommitted message is left, the owner's settings
// are untouched.
TEST_F(MailboxTest, HangupInEveryState) {
  const str states =
      "announcement announcement2 announcement3 anorec full record after_recording thanks "
      "thanks2 ask_pin wait_pin wrong_pin menu read_env read_messages read_short "
      "next_message message_deleted call_back name_greet name_prerec name_rec name_play "
      "name_postrec greet_list greet_prerec greet_rec greet_play greet_postrec pin_greet "
      "pin_enter pin_verify move_mailbox move_mb2 move_noexist move_confirm move_rec1 "
      "move_rec2 mm1 rec1 rec2 starcode rec_failed temp_failed";
  for (size_t i = 0; !states.get_field(i).empty(); i++) {
    const str s = states.get_field(i);
    SCOPED_TRACE(s.c_str());
    call(owner);
    const int uncommitted = db_test::add_row(
        messages, "user=" + id_text(owner) + "|type=com|filename=recordings/msg9.wav");
    cobjs.set(cobj, cobj_ivr_extension, id_text(uncommitted));
    cobjs.set(cobj, cobj_ivr_files, "recordings/mbtmp-1.wav");
    mfs.files["recordings/mbtmp-1.wav"] = "RIFF";
    cobjs.set(cobj, cobj_ivr_state, s);
    send({"hangup"});
    EXPECT_EQ(cobjs.get(cobj, cobj_ivr_state), "hangup");
    EXPECT_FALSE(messages.has_row(uncommitted) &&
                 messages.get(uncommitted, messages_type) == "com");
    EXPECT_EQ(mfs.files.count("recordings/mbtmp-1.wav"), 0u);
    EXPECT_EQ(extensions.get(extension_row(owner), extensions_mb_pin), "1234");
    EXPECT_EQ(extensions.get(extension_row(owner), extensions_name_use), "false");
  }
}

// The caller's first state by the size of the mailbox and what it holds.
TEST_F(MailboxTest, FullMailbox) {
  // The size, the messages held (one letter each, n new, s saved), the state, the messages left.
  const std::tuple<const char*, const char*, const char*, const char*> rows[] = {
      {"0", "", "full", ""},
      {"3", "nsn", "announcement", "nn"},
      {"3", "ss", "announcement", "ss"},
      {"3", "nnn", "full", "nnn"}};
  for (const auto& [size, held, state, kept] : rows) {
    messages.delete_row();
    extensions.set(extension_row(owner), extensions_mb_size, size);
    for (const char* c = held; *c; c++)
      db_test::add_row(messages, "user=" + id_text(owner) +
                                     "|type=vmail|new=" + (*c == 'n' ? "true" : "false") +
                                     "|start=" + atimestamp_serialize(wall_now()));
    call(caller);
    str left;
    for (int m = messages.first(); m; m = messages.next(m))
      left += messages.get(m, messages_new) == "true" ? "n" : "s";
    EXPECT_EQ(cobjs.get(cobj, cobj_ivr_state) + " " + left, str(state) + " " + kept);
  }
}

TEST(MailboxWords, Numbers) {
  EXPECT_EQ(mailbox::number_words(1042), "$a/bi_1.wav $a/bi_thousand.wav $a/bi_40.wav $a/bi_2.wav");
  EXPECT_EQ(mailbox::number_words(315), "$a/bi_3.wav $a/bi_hundred.wav $a/bi_15.wav");
}

// The disk takes no more of a caller's message: the caller hears so and the call ends, and no
// message row is left to point at the missing file.
TEST_F(MailboxTest, MessageThatCannotBeWrittenEndsTheCallAndLeavesNoRow) {
  call(caller);
  send({"eof"});  // recording into recordings/msg1.wav
  EXPECT_EQ(send({"failed:recordings/msg1.wav", "eof"}),
            expand({"r:", "c:stop", "p:mb_cannot_record", "mwi:no:0/0",
                    "c:", "end:487:Temporarily Unavailable"}));
  EXPECT_EQ(messages.size(), 0);
}

}  // namespace
