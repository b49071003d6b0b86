#include "web/ajax.h"

#include <gtest/gtest.h>

#include "pbx/pbx_test_util.h"

namespace {

using db_test::add_row;

class AjaxTest : public pbx_test::call_test {};

TEST_F(AjaxTest, ActionsByLevel) {
  const int alice = add_extension("100"), bob = add_extension("101");
  add_extension("200");
  user_alias.set(user_alias.first(user_alias_user, id_text(alice)), user_alias_display_name,
                 "Alice");
  const int other = add_row(domains, {{domains_name, "other.example"}});
  const str a = id_text(add_row(trunks, {{trunks_name, "A"}, {trunks_reg_registrar, "a.b"}}));
  const int plan = add_row(dial_plan, {{dial_plan_name, "P"}, {dial_plan_domain, id_text(domain)}});
  for (const auto& [preference, trunk, pattern] :
       {std::tuple{"10", str("-"), "900*"}, {"20", a, "9*"}, {"30", str("+"), "1xx"}})
    add_row(dial_plan_entry, {{dial_plan_entry_id, id_text(plan)},
                              {dial_plan_entry_preference, preference},
                              {dial_plan_entry_trunk, trunk},
                              {dial_plan_entry_pattern, pattern}});
  for (const auto& [account, direction, party] :
       {std::tuple{alice, "i", "<sip:201@h>"}, {alice, "o", "<sip:0301@h>"}, {bob, "o", ""}})
    add_row(ext_cdr, {{ext_cdr_extension, id_text(account)},
                      {ext_cdr_direction, direction},
                      {direction == str("i") ? ext_cdr_from : ext_cdr_to, party}});

  const str d = id_text(domain);
  session sys{"s", session_system_admin, {}}, dom{"d", session_domain_admin, {{"domain", d}}},
      usr{"u", session_user, {{"domain", d}, {"user", id_text(alice)}}},
      foreign{"f", session_domain_admin, {{"domain", id_text(other)}}}, console{"c", 4, {}};
  const str p = "&dialplan=" + id_text(plan) + "&number=";
  // clang-format off
  const struct { session* s; str query; int code; str body; } cases[] = {
      {&usr, "get_user_type", 200, "user"},
      {&dom, "get_user_type&name=100", 200, "extensions"},
      {&usr, "get_user_id", 200, id_text(alice)},
      {&dom, "get_user_id&name=101", 200, id_text(bob)},
      {&dom, "verify_extension&number=100", 200, "taken"},
      {&sys, "verify_extension&number=101&domain=" + d, 200, "taken"},
      {&dom, "verify_extension&number=1 2", 200, "invalid"},
      {&foreign, "verify_extension&number=100&domain=" + d, 200, "free"},
      {&usr, "verify_extension&number=100", 403, ""},
      {&dom, "search_suggest&q=10", 200, "<option value=\"100\">100 (Alice)</option>\n"
                                         "<option value=\"101\">101</option>\n"},
      {&usr, "call_list", 200, "<tr class=\"missed\"><td></td><td>201</td></tr>\n"
                               "<tr class=\"dialed\"><td></td><td>0301</td></tr>\n"},
      {&dom, "dialplan_test" + p + "912345", 200, "trunk A <sip:12345@a.b;user=phone>"},
      {&dom, "dialplan_test" + p + "101", 200, "extension 101"},
      {&dom, "dialplan_test" + p + "900", 200, "none"},
      {&foreign, "dialplan_test" + p + "101", 200, ""},
      {&usr, "load_translation&keys=now,calls", 200, "now=now\ncalls=Calls\n"},
      {&console, "load_translation&keys=now", 403, ""},
      {&dom, "no_such", 404, "Unknown AJAX action no_such"},
  };
  // clang-format on
  for (const auto& c : cases) {
    web_request r;
    r.s = c.s;
    for (size_t i = 0; !c.query.get_field(i, '&').empty(); i++) {
      const str pair = c.query.get_field(i, '&'), name = pair.get_field(0, '=');
      r.args[i ? name : str("action")] = i ? pair.substr(name.length() + 1) : pair;
    }
    const ajax_answer got = ajax_action(r);
    EXPECT_EQ(str::sprintf("%d %s", got.code, c.code == 403 ? str() : got.body),
              str::sprintf("%d %s", c.code, c.body))
        << c.query.view();
  }
}

}  // namespace
