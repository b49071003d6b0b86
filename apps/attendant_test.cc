// The attendant driven through the events of one call: the commands it posts are compared as
// whole texts, built from short tokens; the routing it hands on is recorded by stand-ins of
// the admission and the dispatch table.
#include "apps/attendant.h"

#include <map>
#include <string>

#include "apps/dial_pattern.h"
#include "db/schema.h"
#include "pbx/admission.h"
#include "pbx/call_state.h"
#include "pbx/pbx_test_util.h"
#include "sip/call_messages.h"

namespace {
std::vector<str> dialled;  // "caller uri to" of every dial_a_number
bool more_calls = true;
std::map<std::string, call_app_class> classes;
}  // namespace

// Stand-ins of the admission and the dispatch table (their own modules come separately).
void dial_a_number(int caller, int, const str& uri, const str& to) {
  dialled.push_back(str::sprintf("%d %s %s", caller, uri, to));
}
bool extension_call_have_more_calls(int, bool, bool) { return more_calls; }
void register_call_app(const call_app_class& c) { classes[c.type] = c; }
void clear_call_apps() { classes.clear(); }
std::unique_ptr<call_app> make_call_app(const str& type, int cobj) {
  auto it = classes.find(std::string(type.view()));
  return it == classes.end() ? nullptr : it->second.make(cobj);
}

namespace {

using db_test::cells;

class AttendantTest : public pbx_test::call_test {
 protected:
  void SetUp() override {
    call_test::SetUp();
    dialled.clear();
    more_calls = true;
    clear_call_apps();
    install_attendant();
    caller = add_extension("40");
  }
  void TearDown() override {
    clear_call_apps();
    call_test::TearDown();
  }
  int extension(const char* name, cells settings, int registrations = 1) {
    int e = add_extension(name);
    db_test::set_row(extensions, extension_row(e), settings);
    for (int i = 0; i < registrations; i++)
      add_registration(e, str::sprintf("reg-%S-%d", name, i).c_str(),
                       str::sprintf("sip:%S@127.0.0.%d", name, i + 2).c_str());
    return e;
  }
  // Extension 40 (or an anonymous caller) calls account `to` from port 7.
  void call(int to, bool anonymous = false) {
    str from = anonymous ? "<sip:anonymous@anonymous.invalid>" : "<sip:40@localhost>";
    cobj = cobj_create("abc@phone", from, "<sip:x@localhost>", domain);
    primary = leg_create(true, "7", "abc@phone", from + ";tag=1", "", cobj, false);
    cobjs.set(cobj, cobj_primary_leg, id_text(primary));
    if (!anonymous) legs.set(primary, leg_extension, id_text(caller));
    set_ivr_user(cobj, to, "attendant");
    app()->start(to, str());
  }
  std::unique_ptr<call_app> app() { return make_call_app("attendant", cobj); }
  std::vector<int> ringing_legs() {
    std::vector<int> out;
    for (int l : legs_of(cobj))
      if (l != primary) out.push_back(l);
    return out;
  }
  static str answer(const char* leg, const char* code, const char* reason, const char* file = "",
                    const char* loop = "false") {
    bool ok = str(code) == "200";
    return soap_write(
        msg::set_dialog_state{leg, file, loop, ok ? "true" : "false", "", ok ? "true" : "false", "",
                              code, str(code) == "180" ? "true" : "", reason, "", "false", ""});
  }
  // The commands that tokens stand for: "mute", "ringback", "clear[:name]",
  // "timer:name:ms[:arg]", "ring" (every leg rung), "drop" (every rung leg ended),
  // "end:code:reason" (the caller's leg ended), "answer:file" (the caller answered).
  std::vector<str> expand(std::initializer_list<const char*> tokens) {
    std::vector<str> out;
    for (const char* t : tokens) {
      str k(t), a = k.get_field(1, ':'), b = k.get_field(2, ':'), c = k.get_field(3, ':');
      str kind = k.get_field(0, ':');
      if (kind == "mute" || kind == "ringback") {
        bool r = kind == "ringback";
        out.push_back(soap_write(msg::set_playfile{"7", r ? "$t/ringback.wav" : "",
                                                   r ? "true" : "false", "true", "false"}));
      } else if (kind == "clear") {
        out.push_back(soap_write(msg::clear_dialog_timeout{"7", a}));
      } else if (kind == "timer") {
        out.push_back(soap_write(msg::set_dialog_timeout{"7", b, a, c}));
      } else if (kind == "end") {
        out.push_back(answer("7", a.c_str(), b.c_str()));
      } else if (kind == "answer") {
        out.push_back(answer("7", "200", "Ok", a.c_str()));
      } else {
        for (int l : ringing_legs()) {
          str id = legs.get(l, leg_call_id);
          int r = registrations.first(registrations_callid, legs.get(l, leg_registration));
          str user = account_name(legs.get(l, leg_extension).value());
          if (kind == "drop") {
            out.push_back(answer(id.c_str(), "486", "Busy Here"));
            continue;
          }
          msg::start_dialog m;
          m.call_id = id;
          m.uri = registrations.get(r, registrations_contact);
          m.from = "<sip:40@localhost>";
          m.to = "<sip:" + user + "@localhost>";
          m.registration = legs.get(l, leg_registration);
          m.secure = "false";
          m.other_side = "7";
          m.username = user;
          m.password = "secret";
          out.push_back(soap_write(m));
        }
      }
    }
    return out;
  }
  str dial(const char* number) {
    return str::sprintf("%d %S <sip:%S@localhost>", caller, number, number);
  }
  int caller = 0, cobj = 0, primary = 0;
};

// A call straight to extension 101: the rules that decide between ringing, forwarding and
// refusing, in their order.
TEST_F(AttendantTest, DirectCallFollowsTheRulesOfTheExtension) {
  struct row {
    const char* name;
    cells settings;
    int registrations;
    bool busy;
    const char* list;  // the caller's entry in 101's address book
    std::initializer_list<const char*> commands;
    const char* forwarded;  // number dialled, or nullptr
  } rows[] = {
      // clang-format off
      {"rings both registrations", {}, 2, false, "", {"timer:mailbox:20000", "ring"}, nullptr},
      {"own no-answer time", {{extensions_cfn, "400"}, {extensions_cfn_timeout, "5"}}, 1, false,
       "", {"timer:mailbox:20000", "timer:extension:5000", "ring"}, nullptr},
      {"no mailbox", {{extensions_mb_enable, "false"}, {extensions_cfn_timeout, "30"}}, 1, false,
       "white", {"timer:noanswer:30000", "ring"}, nullptr},
      {"forward all at once", {{extensions_cfa, "200"}}, 2, false, "", {}, "200"},
      {"dnd forwards to cfd", {{extensions_dnd, "true"}, {extensions_cfd, "300"}}, 1, false, "",
       {}, "300"},
      {"dnd without cfd", {{extensions_dnd, "true"}}, 1, false, "", {"end:486:Busy Here"}, nullptr},
      {"busy forwards to cfb", {{extensions_cfb, "301"}}, 1, true, "", {}, "301"},
      {"busy without cfb", {}, 1, true, "", {"end:486:Busy Here"}, nullptr},
      {"black list", {}, 1, false, "black", {"end:486:Busy Here"}, nullptr},
      {"anonymous refused", {{extensions_anonymous, "true"}}, 1, false, "", {"end:486:Busy Here"},
       nullptr},
      {"unregistered forwards to cfn", {{extensions_cfn, "400"}}, 0, false, "", {}, "400"},
      {"unregistered, no mailbox application", {}, 0, false, "", {"end:486:Busy Here"}, nullptr},
      // clang-format on
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.name);
    TearDown();  // a fresh store for every row
    SetUp();
    int e = extension("101", r.settings, r.registrations);
    if (*r.list)
      db_test::add_row(
          adrbook, {{adrbook_user, id_text(e)}, {adrbook_number, "40"}, {adrbook_type, r.list}});
    more_calls = !r.busy;
    call(e, str(r.name) == "anonymous refused");
    EXPECT_EQ(take(), expand(r.commands));
    EXPECT_EQ(dialled, r.forwarded ? std::vector<str>{dial(r.forwarded)} : std::vector<str>{});
  }
  EXPECT_TRUE(log.contains("Attendant: No mailbox for 101"));
}

// The reminders of a ringing direct call, and the end of the call by either side.
TEST_F(AttendantTest, RemindersAndHangupsWhileRinging) {
  struct row {
    const char* name;
    cells settings;
    const char* event;  // a timer name, or "hangup" / "error" (every rung leg failed)
    std::initializer_list<const char*> commands;
    const char* forwarded;
  } rows[] = {
      // clang-format off
      {"extension forwards to cfn", {{extensions_cfn, "400"}}, "extension", {"drop", "clear:"}, "400"},
      {"noanswer ends the call", {{extensions_mb_enable, "false"}}, "noanswer",
       {"drop", "end:408:Request Timeout"}, nullptr},
      {"mailbox without application", {}, "mailbox", {"drop", "end:486:Busy Here"}, nullptr},
      {"caller hangs up", {}, "hangup", {"clear:", "drop"}, nullptr},
      {"every leg failed, cfb", {{extensions_cfb, "301"}}, "error", {"clear:"}, "301"},
      {"first ringback", {}, "ringback", {"end:180:Ringing"}, nullptr},
      // clang-format on
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.name);
    TearDown();  // a fresh store for every row
    SetUp();
    call(extension("101", r.settings, 2));
    take();
    str event = r.event;
    if (event == "hangup") {
      app()->on_hangup(primary);
    } else if (event == "ringback") {
      app()->on_ringback(ringing_legs()[0], msg::dialog_response{});
      app()->on_ringback(ringing_legs()[1], msg::dialog_response{});
    } else if (event == "error") {
      for (int l : ringing_legs()) app()->on_error(l, 486, msg::dialog_response{});
    } else {
      app()->on_timeout(primary, event, str());
      EXPECT_TRUE(log.contains("Attendant: Timeout (" + std::string(r.event) + ")"));
    }
    EXPECT_EQ(take(), expand(r.commands));
    EXPECT_EQ(dialled, r.forwarded ? std::vector<str>{dial(r.forwarded)} : std::vector<str>{});
  }
}

// The menu of attendant 800: digits typed one by one; nothing is dialled before the last key.
TEST_F(AttendantTest, MenuDigitsReachTheirDestination) {
  struct row {
    const char* name;
    cells settings;
    const char* keys;
    std::initializer_list<const char*> commands;  // after the welcome
    const char* dialled;
  } rows[] = {
      // clang-format off
      {"three digits complete", {{attendants_completion, "3"}}, "123",
       {"mute", "timer:mailbox:20000", "ring", "ringback"}, nullptr},
      {"automatic waits for the longer alias", {}, "123",
       {"mute", "timer:match:3000:12", "clear:match", "timer:mailbox:20000", "ring", "ringback"},
       nullptr},
      {"pound waits for the pound key", {{attendants_completion, "pound"}}, "123#",
       {"mute", "timer:mailbox:20000", "ring", "ringback"}, nullptr},
      {"menu entry before the extensions", {{attendants_input_0, "0"}, {attendants_code_0, "100"}},
       "0", {"mute", "clear:"}, "100"},
      {"pattern entry dials the number typed", {{attendants_input_1, "5xx"}}, "512",
       {"mute", "clear:"}, "512"},
      {"pattern entry with a destination", {{attendants_input_1, "5xx"}, {attendants_code_1, "100"}},
       "599", {"mute", "clear:"}, "100"},
      {"unknown extension", {{attendants_completion, "2"}}, "77",
       {"mute", "$a/aa_not_existing.wav"}, nullptr},
      {"language entry", {{attendants_input_2, "9"}, {attendants_prompt_2, "lang"}}, "9",
       {"mute", "$a/aa_enter_extension_number.wav"}, nullptr},
      {"name trigger", {{attendants_name_trigger, "9"}}, "9",
       {"mute", "$a/aa_enter_first_name.wav"}, nullptr},
      {"maintenance code", {}, "*#4711#", {"mute", "$a/aa_your_ip_is.wav"}, nullptr},
      // clang-format on
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.name);
    TearDown();  // a fresh store for every row
    SetUp();
    extension("12", {}, 0);
    extension("123", {});
    int menu = add_account("800", "attendants", attendants);
    db_test::set_row(attendants, extension_row(menu), r.settings);
    ctrl_write_registry(ctrl_settings::code_ipadr, "4711");
    call(menu);
    bool pound = attendants.get(extension_row(menu), attendants_completion) == "pound";
    str welcome = str("$a/aa_welcome_auto.wav $a/aa_enter_extension_number") +
                  (pound ? "_pound.wav" : ".wav");
    EXPECT_EQ(take(), std::vector<str>{answer("7", "200", "Ok", welcome.c_str())});
    std::vector<str> commands;
    for (const char* k = r.keys; *k; k++) {
      EXPECT_TRUE(dialled.empty() && ringing_legs().empty());
      app()->on_dtmf(str(*k, 1));
      for (const str& t : take()) commands.push_back(t);
    }
    std::vector<str> expected;
    for (const char* t : r.commands) {
      if (*t == '$') {
        expected.push_back(soap_write(msg::set_playfile{"7", t, "false", "true", "false"}));
      } else {
        for (const str& x : expand({t})) expected.push_back(x);
      }
    }
    EXPECT_EQ(commands, expected);
    EXPECT_EQ(dialled, r.dialled ? std::vector<str>{dial(r.dialled)} : std::vector<str>{});
  }
}

// Voicemail takes an extension that is registered nowhere, with the reason of the diversion.
TEST_F(AttendantTest, UnregisteredExtensionGoesToItsMailbox) {
  struct mailbox_probe : call_app {
    using call_app::call_app;
    void start(int account, const str&) override { dialled.push_back(id_text(account)); }
  };
  register_call_app({"mailbox", ev_dtmf, [](int c) -> std::unique_ptr<call_app> {
                       return std::make_unique<mailbox_probe>(c);
                     }});
  int e = extension("101", {}, 0);
  call(e);
  EXPECT_EQ(take(), std::vector<str>{});
  EXPECT_EQ(dialled, std::vector<str>{id_text(e)});
  EXPECT_EQ(cobjs.get(cobj, cobj_ivr_type), "mailbox");
  EXPECT_EQ(cobjs.get(cobj, cobj_diversion), "unavailable");
}

TEST_F(AttendantTest, NightServiceIsCheckedBeforeTheWelcome) {
  struct row {
    const char* flag;
    const char* flag_state;
    const char* logged;
    bool night;
  } rows[] = {
      // clang-format off
      {"900", "true", "Attendant: Goto night service 555", true},
      {"900", "false", "", false},
      {"40", "", "Attendant: Account 40 is not a Service Flag", false},
      {"true", "", "Attendant: Redirect all calls to 555", true},
      // clang-format on
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.flag);
    TearDown();  // a fresh store for every row
    SetUp();
    int flag = add_account("900", "srvflags", srvflags);
    srvflags.set(extension_row(flag), srvflags_state, r.flag_state);
    int menu = add_account("800", "attendants", attendants);
    db_test::set_row(attendants, extension_row(menu),
                     {{attendants_flag, r.flag}, {attendants_night, "555"}});
    call(menu);
    EXPECT_EQ(dialled, r.night ? std::vector<str>{dial("555")} : std::vector<str>{});
    EXPECT_EQ(take().size(), r.night ? 0u : 1u);  // else the welcome
    EXPECT_TRUE(!*r.logged || log.contains(r.logged)) << r.logged;
  }
}

// Dial by name right away: "262" spells two names, the second is chosen and rung.
TEST_F(AttendantTest, DialByNameChoosesAmongMatches) {
  extension("21", {{extensions_first_name, "Anna"}});
  extension("22", {{extensions_first_name, "Bob"}});
  extension("23", {{extensions_last_name, "Bobby Tables"}});
  int menu = add_account("800", "attendants", attendants);
  attendants.set(extension_row(menu), attendants_name_trigger, "Start");
  call(menu);
  EXPECT_EQ(take(), std::vector<str>{answer("7", "200", "Ok", "$a/aa_enter_first_name.wav")});
  for (const char* k : {"2", "6", "2"}) app()->on_dtmf(k);
  EXPECT_EQ(take(), std::vector<str>{soap_write(msg::set_playfile{"7", "$a/aa_dial_name_prompt.wav",
                                                                  "false", "true", "false"})});
  EXPECT_EQ(cobjs.get(cobj, cobj_ivr_var4),
            id_text(account_by_name("22", domain)) + " " + id_text(account_by_name("23", domain)));
  app()->on_dtmf("2");
  EXPECT_EQ(take(), expand({"timer:mailbox:20000", "ring", "ringback"}));
  EXPECT_EQ(legs.get(ringing_legs().at(0), leg_registration), "reg-23-0");
}

TEST(DialPattern, SubstitutionOfWrittenPatterns) {
  struct row {
    const char* pattern;
    const char* replacement;
    const char* number;
    const char* result;
    bool may_extend;  // could more digits after the first two still match?
  } rows[] = {
      // clang-format off
      {"5xx", "", "512", "sip:512@localhost;user=phone", true},
      {"9*", "0*", "912345", "sip:012345@localhost;user=phone", true},
      {"xxx|1xxx", "", "1234", "sip:1234@localhost;user=phone", true},
      {"+49*", "", "+4930", "sip:30@localhost;user=phone", false},
      {"[2-3]x", "", "45", "", false},
      {"^(77)@.*", "sip:\\x\\1@h", "77", "sip:p77@h", false},
      // clang-format on
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.pattern);
    str e =
        "!" + expand_dial_pattern(r.pattern) + "!" + expand_dial_replacement(r.replacement) + "!i";
    EXPECT_EQ(regex_substitute(e, str(r.number) + "@localhost", {{'r', "localhost"}, {'x', "p"}}),
              r.result);
    EXPECT_EQ(dial_pattern_may_extend(r.pattern, str(r.number).leftstr(2)), r.may_extend);
  }
}

}  // namespace
