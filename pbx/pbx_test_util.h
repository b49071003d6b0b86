// Test support for the PBX call logic, for *_test.cc only: a store with one domain ("localhost")
// and the accounts a test adds, the ctrl side's commands recorded, and the clocks held still.
#pragma once

#include <gtest/gtest.h>

#include <deque>
#include <string>
#include <vector>

#include "db/db_test_util.h"
#include "frame/clock.h"
#include "frame/side_context.h"
#include "frame/soap_message.h"
#include "pbx/accounts.h"
#include "pbx/call_app.h"
#include "pbx/call_state.h"
#include "sip/call_messages.h"

// Tests write messages with the leading fields that matter; the fields after them are empty
// by intent.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace pbx_test {

inline std::deque<str>& posted() {
  static std::deque<str> commands;
  return commands;
}
inline void record(const str& text) { posted().push_back(text); }

class call_test : public db_test::store_test {
 protected:
  void SetUp() override {
    db_test::store_test::SetUp();
    previous_clock = set_clock(&clock);
    posted().clear();
    clear_call_apps();
    domain = db_test::add_row(domains, {{domains_name, "localhost"}});
  }
  void TearDown() override {
    clear_call_apps();
    set_clock(previous_clock);
  }
  // The class of call objects of `type`: App, a test's stand-in for an application.
  template <class App>
  static void use_app(const char* type, unsigned events = 0) {
    register_call_app({type, events, [](int c) -> std::unique_ptr<call_app> {
                         return std::make_unique<App>(c);
                       }});
  }
  // A call from `from` (its tag 1) to `to` whose primary leg is `port`: sets cobj and primary.
  void incoming(const str& from, const str& to, const char* port = "7",
                const char* call_id = "abc@phone", const str& leg_to = str()) {
    cobj = cobj_create(call_id, from, to, domain);
    primary = leg_create(true, port, call_id, from + ";tag=1", leg_to, cobj, false);
    cobjs.set(cobj, cobj_primary_leg, id_text(primary));
  }
  // The whole SetDialogState of leg answering code with reason; a file is played alerting at
  // its end with the keys analysed, as applications play their prompts.
  static msg::set_dialog_state answer(const str& leg, int code, const str& reason,
                                      const str& file = str()) {
    const str play = file.empty() ? "false" : "true";
    return {leg,    file, "false", play, "", play, "", id_text(code), code == 180 ? "true" : "",
            reason, "",   "false", ""};
  }

  // An account of the domain: a users row of type `type` with its settings row in `settings`
  // and the alias `name`; the users row.
  int add_account(const char* name, const char* type, table& settings, int d = 0) {
    const str in = id_text(d ? d : domain);
    const int u = db_test::add_row(users, {{users_type_name, type},
                                           {users_type_index, id_text(settings.add_row())},
                                           {users_domain, in}});
    db_test::add_row(
        user_alias,
        {{user_alias_user, id_text(u)}, {user_alias_domain, in}, {user_alias_name, name}});
    return u;
  }
  int add_extension(const char* name, const char* password = "secret") {
    const int u = add_account(name, "extensions", extensions);
    extensions.set(extension_row(u), extensions_password, password);
    return u;
  }
  // A plain registration of the account that lasts an hour; its Call-ID is call_id.
  int add_registration(int account, const char* call_id, const char* contact) {
    return db_test::add_row(
        registrations, {{registrations_tuser, id_text(account)},
                        {registrations_callid, call_id},
                        {registrations_contact, contact},
                        {registrations_rdate, rtimestamp_serialize(clock_now() + s2ticks(3600))}});
  }
  // The StartDialog of a new leg call_id ringing uri for the call of port 7; the fields after
  // them are filled in by the test.
  static msg::start_dialog ring(const str& call_id, const str& uri, const str& from,
                                const str& to) {
    return {.call_id = call_id,
            .uri = uri,
            .from = from,
            .to = to,
            .secure = "false",
            .other_side = "7"};
  }

  // The commands posted since the last call, as texts; the record is emptied.
  std::vector<str> take() {
    std::vector<str> out(posted().begin(), posted().end());
    posted().clear();
    return out;
  }
  // The texts of the given messages, for comparing with take().
  template <class... M>
  static std::vector<str> texts(const M&... m) {
    return {soap_write(m)...};
  }

  manual_clock clock;
  clock_source* previous_clock = nullptr;
  scoped_ctrl_context ctrl{ctrl_context{record, nullptr}};
  int domain = 0, cobj = 0, primary = 0;
};

}  // namespace pbx_test
