// The attendant driven through the events of one call, against the real admission and
// dispatch table: its commands compared as whole texts built from short tokens, where the call
// goes read from the call object and from recording classes standing in for "extcall" and
// "mailbox". External calls through the dial plan: a trunk leg, the cost centre, calling cards
// (an unrouted number: tests/e2e/extension_calls_test.cc; failover: tests/e2e/trunk_test.cc).
#include "apps/attendant.h"

#include "apps/extcall.h"
#include "pbx/dialog_events.h"
#include "pbx/pbx_test_util.h"

namespace {

using db_test::add_row;
using db_test::cells;

str handed;  // what the recording classes were started with

// Takes a call object for an application the attendant hands calls to; records the number
// (the serialised URI for "extcall"), or the account when there is no number.
struct recorder : call_app {
  using call_app::call_app;
  void start(int account, const str& number) override {
    handed += number.empty() ? account_name(account) : number;
  }
};

class AttendantTest : public pbx_test::call_test {
 protected:
  void SetUp() override {
    call_test::SetUp();
    handed = str();
    install_attendant();
    for (const char* type : {"extcall", "mailbox"}) use_app<recorder>(type);
    caller = add_extension("40");
    extension("200", {});  // a destination that rings
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
  void call(int to, bool anonymous = false, const char* number = "") {
    incoming(anonymous ? "<sip:anonymous@anonymous.invalid>" : "<sip:40@localhost>",
             "<sip:x@localhost>");
    if (!anonymous) legs.set(primary, leg_extension, id_text(caller));
    set_ivr_user(cobj, to, "attendant");
    app()->start(to, number);
  }
  void fresh() {  // a new store, for each row of a table
    TearDown();
    SetUp();
  }
  std::unique_ptr<call_app> app() { return make_call_app("attendant", cobj); }
  // The legs of the call object other than the caller's: those still ringing, or those ended.
  std::vector<int> ringing_legs(bool ended = false) {
    std::vector<int> out;
    for (int l : legs_of(cobj))
      if (l != primary && (legs.get(l, leg_state) == leg_terminated) == ended) out.push_back(l);
    return out;
  }
  // Where the call object stands: "type served-account [diversion] [> handed]".
  str routed() {
    str s = cobjs.get(cobj, cobj_ivr_type) + " " + account_name(cobj_int(cobj, cobj_ivr_user));
    if (!cobjs.get(cobj, cobj_diversion).empty()) s += " " + cobjs.get(cobj, cobj_diversion);
    return handed.empty() ? s : s + " > " + handed;
  }
  // The commands that tokens stand for: "mute", "ringback", "clear[:name]",
  // "timer:name:ms[:arg]", "ring" (every leg still ringing), "drop" (every other leg ended),
  // "end:code:reason" (the caller's leg ended), "answer:file" (the caller answered),
  // "moh" (the caller's hold music reset when the call is routed anew), "$..." (a prompt),
  // "rec:file" (recording starts; "rec:" it stops), "fax" (fax detection on).
  std::vector<str> expand(std::initializer_list<const char*> tokens) {
    std::vector<str> out;
    for (const char* t : tokens) {
      const str k(t), kind = k.get_field(0, ':'), a = k.get_field(1, ':'), b = k.get_field(2, ':');
      if (kind == "ring" || kind == "drop") {
        for (int l : ringing_legs(kind == "drop")) out.push_back(leg_command(l, kind == "drop"));
        continue;
      }
      const bool ringback = kind == "ringback";
      const str play = ringback ? str("$t/ringback.wav") : t[0] == '$' ? k : str();
      out.push_back(
          kind == "rec"      ? soap_write(msg::set_recording{"7", a, ""})
          : kind == "moh"    ? soap_write(msg::set_moh_file{"7", ""})
          : kind == "fax"    ? soap_write(msg::fax_detection{"7", "true"})
          : kind == "clear"  ? soap_write(msg::clear_dialog_timeout{"7", a})
          : kind == "timer"  ? soap_write(msg::set_dialog_timeout{"7", b, a, k.get_field(3, ':')})
          : kind == "end"    ? soap_write(answer("7", a.value(), b))
          : kind == "answer" ? soap_write(answer("7", 200, "Ok", a))
                             : soap_write(msg::set_playfile{"7", play, ringback ? "true" : "false",
                                                            "true", "false"}));
    }
    return out;
  }
  // The StartDialog that rings leg l, or the answer that ends it.
  str leg_command(int l, bool drop) {
    const str id = legs.get(l, leg_call_id), reg = legs.get(l, leg_registration);
    const str user = account_name(legs.get(l, leg_extension).value());
    if (drop) return soap_write(answer(id, 486, "Busy Here"));
    return soap_write(msg::start_dialog{
        id,
        registrations.get(registrations.first(registrations_callid, reg), registrations_contact),
        "<sip:40@localhost>", "<sip:" + user + "@localhost>", "", "", "", reg, "", "", "", "false",
        "", "7", user, "secret"});
  }
  int caller = 0;
};

// A call straight to extension 101: the rules that decide between ringing, forwarding and
// refusing, in their order (the destinations are outside numbers); then the reminders while it
// rings and the end of every rung leg. (Forwarding always, on busy, on do-not-disturb and on no
// answer, the black list, the caller hanging up, the first ringback, both registrations rung and
// the mailbox of an unregistered extension: the phone journeys of tests/e2e/.)
TEST_F(AttendantTest, DirectCallFollowsTheRulesOfTheExtension) {
  // busy: 101 already has a leg in another call; list: the caller's entry in 101's address book;
  // event: after the call, a timer name or "error" (every rung leg failed).
  // clang-format off
  struct row { const char* name; cells settings; int registrations; bool busy; const char* list;
              const char* event; std::initializer_list<const char*> commands; const char* routed;
  } rows[] = {
      {"own no-answer time", {{extensions_cfn, "400"}, {extensions_cfn_timeout, "5"}}, 1, false,
       "", "", {"timer:mailbox:20000", "timer:extension:5000", "ring"}, "attendant 101"},
      {"no mailbox", {{extensions_mb_enable, "false"}, {extensions_cfn_timeout, "30"}}, 1, false,
       "white", "", {"timer:noanswer:30000", "ring"}, "attendant 101"},
      {"busy without cfb", {{extensions_lines, "1"}}, 1, true, "", "", {"end:486:Busy Here"},
       "attendant 101"},
      {"a second line is free", {{extensions_lines, "2"}}, 1, true, "", "",
       {"timer:mailbox:20000", "ring"}, "attendant 101"},
      {"no call waiting", {{extensions_callwaiting, "false"}}, 1, true, "", "",
       {"end:486:Busy Here"}, "attendant 101"},
      {"unregistered forwards to cfn", {{extensions_cfn, "400"}}, 0, false, "", "", {"moh"},
       "extcall 40 > sip:400@localhost"},
      {"unregistered, no mailbox", {{extensions_mb_enable, "false"}}, 0, false, "", "",
       {"end:486:Busy Here"}, "attendant 101 unavailable"},
      {"noanswer ends the call", {{extensions_mb_enable, "false"}}, 2, false, "", "noanswer",
       {"drop", "end:408:Request Timeout"}, "attendant 101"},
      {"mailbox takes the call", {}, 2, false, "", "mailbox", {"drop", "clear:"},
       "mailbox 101 no-answer > 101"},
      {"mailbox switched off meanwhile", {{extensions_mb_enable, "false"}}, 2, false, "",
       "mailbox", {"drop", "end:486:Busy Here"}, "attendant 101 no-answer"},
      {"every leg failed, cfb", {{extensions_cfb, "301"}}, 2, false, "", "error",
       {"clear:", "moh"}, "extcall 40 > sip:301@localhost"},
      // clang-format on
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.name);
    fresh();
    int e = extension("101", r.settings, r.registrations);
    if (*r.list) db_test::add_row(adrbook, "user=" + id_text(e) + "|number=40|type=" + r.list);
    if (r.busy)  // a leg of 101 in another call object
      legs.set(leg_create(false, "9", "b@x", "", "", cobj_create("b@x", "", "", domain), false),
               leg_extension, id_text(e));
    call(e);
    const str event = r.event;
    if (!event.empty()) take();
    if (event == "error") {
      for (int l : ringing_legs()) app()->on_error(l, 486, msg::dialog_response{});
    } else if (!event.empty()) {
      app()->on_timeout(primary, event, str());
      EXPECT_TRUE(log.contains("Attendant: Timeout (" + std::string(r.event) + ")"));
    }
    EXPECT_EQ(take(), expand(r.commands));
    EXPECT_EQ(routed(), str(r.routed));
  }
  EXPECT_TRUE(log.contains("Attendant: No mailbox for 101"));
}

// The menu of attendant 800: digits typed one by one; nothing is routed before the last key.
#define SAY_123 "$a/aa_say_extension.wav $a/1.wav $a/2.wav $a/3.wav"
TEST_F(AttendantTest, MenuDigitsReachTheirDestination) {
  // clang-format off
  struct row { const char* name; cells settings; const char* keys;
              std::initializer_list<const char*> commands; const char* routed; } rows[] = {
      {"three digits complete", {{attendants_completion, "3"}}, "123",
       {"mute", SAY_123, "timer:mailbox:20000", "ring", "ringback"}, "attendant 800"},
      {"automatic waits for the longer alias", {}, "123",
       {"mute", "timer:match:3000:12", "clear:match", SAY_123, "timer:mailbox:20000", "ring",
        "ringback"}, "attendant 800"},
      {"pound waits for the pound key", {{attendants_completion, "pound"}}, "123#",
       {"mute", SAY_123, "timer:mailbox:20000", "ring", "ringback"}, "attendant 800"},
      {"menu entry before the extensions", {{attendants_input_0, "0"}, {attendants_code_0, "200"}},
       "0", {"mute", "clear:", "moh", "timer:mailbox:20000", "ring", "ringback"}, "attendant 200"},
      {"pattern entry dials the number typed", {{attendants_input_1, "5xx"}}, "512",
       {"mute", "clear:", "moh"}, "extcall 40 > sip:512@localhost"},
      {"pattern with a destination", {{attendants_input_1, "5xx"}, {attendants_code_1, "100"}},
       "599", {"mute", "clear:", "moh"}, "extcall 40 > sip:100@localhost"},
      {"unknown extension", {{attendants_completion, "2"}}, "77",
       {"mute", "$a/aa_not_existing.wav"}, "attendant 800"},
      {"language entry", {{attendants_input_2, "9"}, {attendants_prompt_2, "lang"}}, "9",
       {"mute", "$a/aa_enter_extension_number.wav"}, "attendant 800"},
      {"name trigger", {{attendants_name_trigger, "9"}}, "9",
       {"mute", "$a/aa_enter_first_name.wav"}, "attendant 800"},
      {"restore only for an administrator", {}, "*#4711#",
       {"mute", "$a/aa_enter_extension_number.wav"}, "attendant 800"},
      // clang-format on
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.name);
    fresh();
    extension("12", {}, 0);
    extension("123", {});
    int menu = add_account("800", "attendants", attendants);
    db_test::set_row(attendants, extension_row(menu), r.settings);
    ctrl_write_registry(ctrl_settings::code_restore, "4711");
    call(menu);
    bool pound = attendants.get(extension_row(menu), attendants_completion) == "pound";
    str welcome = str("answer:$a/aa_welcome_auto.wav $a/aa_enter_extension_number") +
                  (pound ? "_pound.wav" : ".wav");
    EXPECT_EQ(take(), expand({welcome.c_str()}));
    std::vector<str> commands;
    for (const char* k = r.keys; *k; k++) {
      EXPECT_EQ(routed() + (ringing_legs().empty() ? "" : " ringing"), "attendant 800");
      app()->on_dtmf(str(*k, 1));
      if (cobjs.get(cobj, cobj_ivr_state) == "say_name") app()->on_audio_end();  // announced
      for (const str& t : take()) commands.push_back(t);
    }
    EXPECT_EQ(commands, expand(r.commands));
    EXPECT_EQ(routed(), str(r.routed));
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
  EXPECT_EQ(take(), expand({"answer:$a/aa_enter_first_name.wav"}));
  for (const char* k : {"2", "6", "2"}) app()->on_dtmf(k);
  EXPECT_EQ(take(), expand({"$a/aa_dial_name_prompt.wav"}));
  EXPECT_EQ(cobjs.get(cobj, cobj_ivr_var4),
            id_text(account_by_name("22", domain)) + " " + id_text(account_by_name("23", domain)));
  app()->on_dtmf("2");
  app()->on_audio_end();
  EXPECT_EQ(take(), expand({"$a/aa_say_extension.wav $a/2.wav $a/3.wav", "timer:mailbox:20000",
                            "ring", "ringback"}));
  EXPECT_EQ(legs.get(ringing_legs().at(0), leg_registration), "reg-23-0");
}

// An anonymous caller to an extension that takes none without a name says it; 101 answers and
// hears it, but hangs up: the caller is refused. (Accepting with a key: e2e, with real phones.)
TEST_F(AttendantTest, AnonymousCallerIsAnnouncedByName) {
  call(extension("101", {{extensions_anonymous, "true"}}, 2), true);
  EXPECT_EQ(take(), expand({"answer:$a/aa_no_anonymous.wav $a/aa_say_name.wav"}));
  app()->on_audio_end();
  str file = str::sprintf("recordings/anonymous-%d.wav", cobj);
  EXPECT_EQ(take(), expand({"mute", ("rec:" + file).c_str(), "timer:pound:8000"}));
  app()->on_dtmf("#");  // the phones ring (tests/e2e/extension_calls_test.cc)
  int answering = ringing_legs()[0];
  EXPECT_FALSE(app()->on_connect(answering, msg::dialog_response{}));
  EXPECT_EQ(
      take().back(),  // the other phone stopped first
      soap_write(answer(legs.get(answering, leg_call_id), 200, "Ok",
                        "$a/aa_incoming_anonymous.wav " + file + " $a/aa_incoming_options.wav")));
  app()->on_hangup(answering);
  EXPECT_EQ(take(), expand({"clear:", "$a/aa_no_anonymous.wav"}));
}

// The call-back offer of a busy or unanswered 101: the options in their order and where a key
// leads (for "camp" and "callback": the row booked for the caller); then the booked camp-on
// comes due once 101 is free: 40's phone rings showing 101, and when 40 answers, 101 rings.
#define BUSY \
  "$a/aa_busy_callback.wav $a/aa_receive_callback.wav $a/1.wav $a/aa_leave_message.wav $a/2.wav"
TEST_F(AttendantTest, CallBackOfferAndCampOn) {
  // card: the domain has a calling card; 101 does not answer (else it is busy).
  // clang-format off
  struct row { cells settings; bool card; const char *offer, *key, *after; } rows[] = {
      {{{extensions_mb_enable, "false"}}, true,
       "$a/aa_no_answer.wav $a/aa_callback_now.wav $a/1.wav", "1", "callback 101 40"},
      {{{extensions_lines, "1"}}, false, BUSY, "2", "mailbox 101 deflection > 101"},
      {{{extensions_lines, "1"}}, false, BUSY, "1", "camp 101 40"},
      // clang-format on
  };
  int e = 0, busy = 0;
  for (const row& r : rows) {
    SCOPED_TRACE(r.after);
    fresh();
    domains.set(domain, domains_camp_enabled, "true");
    if (r.card) add_account("70", "callingcards", callingcards);
    e = extension("101", r.settings);
    busy = leg_create(false, "9", "b@x", "", "", cobj_create("b@x", "", "", domain), false);
    if (!r.card) legs.set(busy, leg_extension, id_text(e));
    call(e);
    if (r.card) app()->on_timeout(primary, "noanswer", str());
    EXPECT_EQ(take().back(), expand({(str("answer:") + r.offer).c_str()})[0]);
    app()->on_dtmf(r.key);
    int b = auto_callbacks.first();
    EXPECT_EQ(b ? auto_callbacks.get(b, auto_callback_active) + " " +
                      account_name(auto_callbacks.get(b, auto_callback_tuser).value()) + " " +
                      auto_callbacks.get(b, auto_callback_number)
                : routed(),
              str(r.after));
  }
  add_registration(caller, "reg-40", "sip:40@127.0.0.5");
  legs.delete_row(primary);  // 40's call has ended
  process_auto_callbacks();
  EXPECT_TRUE(auto_callbacks.first());  // 101 is still busy
  legs.delete_row(busy);                // its call is over
  process_auto_callbacks();
  EXPECT_EQ(auto_callbacks.first(), 0);
  primary = primary_leg(cobj = cobjs.last());
  EXPECT_EQ(legs.get(primary, leg_from) + legs.get(primary, leg_to),
            "<sip:101@localhost><sip:40@localhost>");
  legs.set(primary, leg_state, leg_connected);
  EXPECT_FALSE(app()->on_connect(primary, msg::dialog_response{}));
  EXPECT_EQ(legs.get(ringing_legs().at(0), leg_extension), id_text(e));
}

// Cell phones ring through the dial plan of 101 with its confirmation key ("trunk:<key>"
// beside "reg", a phone of 101); an intercom call asks the phone to answer by itself.
TEST_F(AttendantTest, CellPhonesAndIntercom) {
  // clang-format off
  struct row { cells settings; int registrations; const char* number; const char* legs; } rows[] = {
      {{{extensions_cell_connect, "5"}}, 1, "101", " reg trunk:5"},
      {{{extensions_cell_time, "7"}}, 1, "101", " reg timer"},
      {{{extensions_cell_display, "true"}}, 1, "101", " reg"},
      {{}, 0, "101", " trunk:"},
      {{}, 1, "*90101", " reg auto"},
      // clang-format on
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.legs);
    fresh();
    domains.set(domain, domains_code_intercom, "*90");
    int e = extension("101", r.settings, r.registrations);
    int t = db_test::add_row(trunks, {{trunks_name, "A"}, {trunks_reg_registrar, "127.0.0.9"}});
    users.set(e, users_dial_plan, id_text(db_test::add_row(dial_plan, {})));
    db_test::add_row(dial_plan_entry,
                     "id=" + users.get(e, users_dial_plan) + "|trunk=" + id_text(t) + "|pattern=*");
    db_test::add_row(::cells, {{cells_number, "0170555"}, {cells_user, id_text(e)}});
    call(e, false, r.number);
    str seen;
    for (int l : ringing_legs())
      seen += legs.get(l, leg_trunk).empty() ? " reg" : " trunk:" + legs.get(l, leg_connect_symbol);
    for (const str& c : take()) {
      if (c == expand({"timer:cell:7000"})[0]) seen += " timer";
      if (c.find("alert-autoanswer") >= 0) seen += " auto";
    }
    EXPECT_EQ(seen, str(r.legs));
  }
}

#define WELCOME "answer:$a/aa_welcome_auto.wav $a/aa_enter_extension_number.wav"
// What a caller of attendant 800 hears first: the night service (the service flag 900 decides)
// or the welcome prompts and their conditions; then the restart code of an administrator, which
// ends the call and restarts the process a moment later.
TEST_F(AttendantTest, NightServiceWelcomePromptsAndRestart) {
  // clang-format off
  struct row { const char *settings, *flag_state; std::initializer_list<const char*> first;
               const char *routed, *logged; } rows[] = {
      {"flag=900|night=555", "true", {"moh"}, "extcall 40 > sip:555@localhost",
       "Attendant: Goto night service 555"},
      {"flag=900|night=555", "false", {WELCOME}, "attendant 800", ""},
      {"flag=40|night=555", "", {WELCOME}, "attendant 800",
       "Attendant: Account 40 is not a Service Flag"},
      {"flag=true|night=555", "", {"moh"}, "extcall 40 > sip:555@localhost",
       "Attendant: Redirect all calls to 555"},
      {"wf1=day.wav|wc1=900|wf2=night.wav|wc2=!900|wf3=all.wav|def_file=ask.wav|input_4=F", "true",
       {"fax", "answer:$a/aa_welcome_auto.wav day.wav all.wav ask.wav"}, "attendant 800", ""},
      // clang-format on
  };
  for (const row& r : rows) {
    SCOPED_TRACE(std::string(r.settings) + ", 900 " + r.flag_state);
    fresh();
    int flag = add_account("900", "srvflags", srvflags);
    srvflags.set(extension_row(flag), srvflags_state, r.flag_state);
    int menu = add_account("800", "attendants", attendants);
    db_test::set_row(attendants, extension_row(menu), r.settings);
    call(menu);
    EXPECT_EQ(take(), expand(r.first));
    EXPECT_EQ(routed(), str(r.routed));
    EXPECT_TRUE(!*r.logged || log.contains(r.logged)) << r.logged;
  }
  extensions.set(extension_row(caller), extensions_admin, "true");
  ctrl_write_registry(ctrl_settings::code_restore, "4711");
  static timeout_queue queue;  // never run: the restart stays pending
  scoped_ctrl_context with_queue{ctrl_context{pbx_test::record, &queue}};
  for (const char* k : {"*", "#", "4", "7", "1", "1", "#"}) app()->on_dtmf(k);
  app()->on_audio_end();
  EXPECT_EQ(take().back(), expand({"end:486:Busy Here"})[0]);
  EXPECT_EQ(queue.size(), 1u);
}

class ExtcallTest : public pbx_test::call_test {
 protected:
  void SetUp() override {
    call_test::SetUp();
    install_extcall();
    caller = add_extension("40");
    const int plan = add_row(dial_plan, {{dial_plan_name, "P"}});
    db_test::set_row(users, caller, {{users_ani, "4930123"}, {users_dial_plan, id_text(plan)}});
    a = add_row(trunks,
                "name=A|reg_registrar=127.0.0.9|reg_account=acct|reg_pass=pw|"
                "outbound_proxy=sip:127.0.0.8|codecs=0 8|request_timeout=30|analog=true");
    add_row(dial_plan_entry,
            "id=" + id_text(plan) + "|preference=10|trunk=" + id_text(a) + "|pattern=9*");
  }
  // Extension 40 (or the caller from) dials number from port 7, or reaches the calling card
  // card; the commands of the start are returned.
  std::vector<str> call(const char* number, int card = 0, const char* from = "40") {
    incoming(str::sprintf("\"Al\" <sip:%S@localhost>", from), "<sip:x@localhost>");
    if (str(from) == "40") legs.set(primary, leg_extension, id_text(caller));
    set_ivr_user(cobj, card ? card : caller, "extcall");
    make_call_app("extcall", cobj)->start(card, card ? str() : str("sip:") + number + "@localhost");
    return take();
  }
  // The StartDialog of the newest leg, which went out on trunk t.
  msg::start_dialog outbound(int t, const char* uri, const str& from) {
    msg::start_dialog m =
        ring(legs.get(legs_of(cobj).back(), leg_call_id), uri, from, str("<") + uri + ">");
    m.trunk = id_text(t);
    return m;
  }
  int caller = 0, a = 0;
};

TEST_F(ExtcallTest, TrunkLeg) {
  const std::vector<str> started = call("912345");
  msg::start_dialog m =
      outbound(a, "sip:12345@127.0.0.9;user=phone", "\"Al\" <sip:4930123@127.0.0.9>");
  std::tie(m.outbound_proxy, m.username, m.password, m.codec, m.codec_lock, m.hangup_tone) =
      std::tuple("sip:127.0.0.8", "acct", "pw", "0 8", "true", "true");  // A is analog
  EXPECT_EQ(started, texts(msg::clear_dialog_timeout{"7", ""}, m,
                           msg::set_dialog_timeout{m.call_id, "30000", "request-timeout", ""}));
}

TEST_F(ExtcallTest, CostCentreCodeBeforeALoopbackLeg) {
  add_account("0307", "extensions", extensions, add_row(domains, {{domains_name, "b.example"}}));
  add_row(dial_plan_entry,
          "id=" + users.get(caller, users_dial_plan) + "|preference=90|trunk=*|pattern=*|cmc=c");
  EXPECT_EQ(call("0307"), texts(msg::clear_dialog_timeout{"7", ""},
                                answer("7", 200, "Ok", "$a/ex_enter_cost_code.wav")));
  for (const char* key : {"4", "2", "#"}) dialog_dtmf({"7", key});
  msg::start_dialog m =
      outbound(0, "sip:0307@b.example;user=phone", "\"Al\" <sip:4930123@localhost>");
  m.to = "<sip:x@localhost>";
  m.trunk = "lo";
  m.privacy_style = "rfc3325";
  EXPECT_EQ(take(), texts(m, msg::set_playfile{"7", "$t/ringback.wav", "true", "true", "false"}));
  EXPECT_EQ(cobjs.get(cobj, cobj_cmc), "42");
}

TEST_F(ExtcallTest, CallingCardCallersEnterWhatTheyLack) {
  const int card = add_account("88", "callingcards", callingcards);
  add_row(::cells, {{cells_user, id_text(caller)}, {cells_number, "0171555"}});
  // clang-format off
  struct { const char *from, *trust, *state, *prompt; } cases[] = {
      {"40", "", "numw", "aa_outbound"},        {"0171555", "true", "numw", "aa_outbound"},
      {"0171555", "", "enter_pin", "ex_enter_access_code"},
      {"0999", "true", "enter_extension", "ex_enter_extension_number"},
  };
  // clang-format on
  for (const auto& c : cases) {
    domains.set(domain, domains_trust_callerid, c.trust);
    EXPECT_EQ(call("", card, c.from), texts(msg::clear_dialog_timeout{"7", ""},
                                            answer("7", 200, "Ok", str("$a/") + c.prompt + ".wav")))
        << c.from;
    EXPECT_EQ(cobjs.get(cobj, cobj_ivr_state), c.state);
  }
}

}  // namespace
