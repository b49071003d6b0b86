// Dial plans: written patterns, permission lists, the routing decision over one plan and the
// failover settings; the global and local forms of numbers; trunks rows as the SIP side gets
// them and the caller number on a trunk.
#include "pbx/dial_plan.h"

#include "pbx/dial_pattern.h"
#include "pbx/number_forms.h"
#include "pbx/pbx_test_util.h"
#include "pbx/trunks.h"

namespace {

using db_test::add_row;

TEST(DialPattern, WrittenFormsExpandAndSubstitute) {
  // clang-format off
  struct { const char *pattern, *replacement, *subject, *result; } cases[] = {
      {"9*", "", "912345@pbx", "sip:12345@host;user=phone"},
      {"9*", "0*", "912345@pbx", "sip:012345@host;user=phone"},
      {"9*", "+49", "912345@pbx", "sip:+49@host;user=phone"},
      {"+49*", "0*", "+4930123@pbx", "sip:030123@host;user=phone"},
      {"5xx", "", "512@pbx", "sip:512@host;user=phone"},
      {"+4930", "", "+4930@pbx", "sip:+4930@host;user=phone"},
      {"*", "+1*", "5551234@pbx", "sip:+15551234@host;user=phone"},
      {"*", "", "+5551234@pbx", "sip:+5551234@host;user=phone"},
      {"xxx|1xxx", "", "123@pbx", "sip:123@host;user=phone"},
      {"xxx|1xxx", "", "1234@pbx", "sip:1234@host;user=phone"},
      {"xxx|1xxx", "", "2345@pbx", ""},
      {"xxx|1xxx", "", "12@pbx", ""},
      {"[2-4]x", "", "35@pbx", "sip:35@host;user=phone"},
      {"9*", "<sip:\\1@gw.example.com>", "912@pbx", "<sip:12@gw.example.com>"},
      {"^(ab)c@.*", "\\1\\+\\x", "ABC@pbx", "AB+x"},
      {"^(1[0-9]{2})@.*", "\\1", "1500@pbx", ""},
  };
  // clang-format on
  for (const auto& c : cases) {
    const str e =
        "!" + expand_dial_pattern(c.pattern) + "!" + expand_dial_replacement(c.replacement) + "!i";
    EXPECT_EQ(regex_substitute(e, c.subject, {{'r', "host"}}), c.result) << e.c_str() << c.subject;
    // The same through the regex engine: an empty group at the end hides the simple shape.
    const str slow = "!" + expand_dial_pattern(c.pattern) + "()!" +
                     expand_dial_replacement(c.replacement) + "!i";
    EXPECT_EQ(regex_substitute(slow, c.subject, {{'r', "host"}}), c.result) << slow.c_str();
  }
  EXPECT_EQ(expand_dial_pattern("xxx|1xxx"), "^([0-9]{3}|1[0-9]{3})@.*");
  const str variable = "!^(77)@.*!" + expand_dial_replacement("sip:\\x\\1@h") + "!i";
  EXPECT_EQ(regex_substitute(variable, "77@localhost", {{'x', "p"}}), "sip:p77@h");
  // Could more digits after the first two still match?
  const std::tuple<const char*, const char*, bool> extend[] = {
      {"5xx", "51", true},   {"9*", "91", true},      {"xxx|1xxx", "12", true},
      {"+49*", "+4", false}, {"[2-3]x", "45", false}, {"^(77)@.*", "77", false}};
  for (auto [pattern, typed, may_extend] : extend)
    EXPECT_EQ(dial_pattern_may_extend(pattern, typed), may_extend) << pattern;
}

TEST(DialPlan, TelephonePatternsAndPermissionLists) {
  // clang-format off
  struct { const char *number, *pattern; bool match; } tel[] = {
      {"12#", "%", true}, {"12a", "%", false}, {"1#*", "$$$", true}, {"12", "$$$", false},
      {"abc", "a?c", true}, {"ac", "a?c", false}, {"", "", true}, {"1", "", false},
      {"x y", "*", true}, {"2", "[1-3]", true}, {"5", "[1-3]", false}, {"2", "[3-1]", false},
      {"2", "[]", false}, {"*1", "\\*1", true}, {"x1", "\\*1", false}, {"1295", "12*5", true},
  };
  struct { const char *number, *list; bool fallback, allowed; } perm[] = {
      {"150", "100-199 300", false, true}, {"300", "100-199 300", false, true},
      {"250", "100-199 300", true, false}, {"7", "*", false, true},
      {"7", "", true, true}, {"7", " ", false, false}, {"12#", "5 1%", false, true},
  };
  // clang-format on
  for (const auto& c : tel)
    EXPECT_EQ(dialplan_match_tel(c.number, c.pattern), c.match) << c.number << " " << c.pattern;
  for (const auto& c : perm)
    EXPECT_EQ(check_permission(c.number, c.list, c.fallback), c.allowed) << c.number << c.list;
}

class DialPlanTest : public pbx_test::call_test {
 protected:
  void SetUp() override {
    call_test::SetUp();
    db_test::set_row(domains, domain, "country_code=49|area_code=030");
    const int other = add_row(domains, "name=other.example|country_code=49|area_code=40");
    add_account("7654321", "extensions", extensions, other);
    add_extension("150");
    caller = add_extension("40");
    a = add_row(trunks, {{trunks_name, "A"}, {trunks_reg_registrar, "a.example.com"}});
    b = add_row(trunks, {{trunks_name, "B"}, {trunks_outbound_proxy, "sip:b.example.com:5070"}});
    const int plan = add_row(dial_plan, {{dial_plan_name, "P"}});
    domains.set(domain, domains_default_dialplan, id_text(plan));
    // clang-format off
    const struct { const char *preference; str trunk; const char *pattern, *replacement; } e[] = {
        {"10", "-", "900*", ""},   {"20", id_text(a), "9*", ""}, {"20", id_text(b), "9*", "0*"},
        {"25", id_text(b), "9*", "00*"}, {"30", "+", "1xx", "\\1"}, {"40", "*", "*", ""},
    };
    // clang-format on
    for (const auto& x : e)
      add_row(dial_plan_entry, "id=" + id_text(plan) + "|preference=" + x.preference +
                                   "|trunk=" + x.trunk + "|pattern=" + x.pattern +
                                   "|replacement=" + x.replacement);
  }
  int caller = 0, a = 0, b = 0;
};

TEST_F(DialPlanTest, RoutesByPreferenceAndKind) {
  const std::tuple<const char*, int, const char*> cases[] = {
      {"900123", INT_MIN, ""},  // refused although "9*" would match
      {"900", INT_MIN, ""},
      {"912345", INT_MIN, "A <sip:12345@a.example.com;user=phone> 20"},
      {"912345", 20, "B <sip:0012345@b.example.com:5070;user=phone> 25"},
      {"912345", 25, ""},
      {"150", INT_MIN, "150 30"},
      {"170", INT_MIN, ""},  // no such extension, and not known system-wide
      {"0407654321", INT_MIN, "loop <sip:+49407654321@other.example;user=phone> 40"},
  };
  for (const auto& [number, min, route] : cases) {
    dialplan_route r;
    const bool found =
        find_extension_dialplan_entry(caller, str("sip:") + number + "@localhost", 0, r, min);
    str got = r.loopback ? str("loop ") : r.trunk ? trunks.get(r.trunk, trunks_name) + " " : str();
    if (found) got += r.destination + " " + id_text(r.preference);
    EXPECT_EQ(got, str(route)) << number << " from " << min;
  }
  EXPECT_TRUE(log.contains("Dialplan P: 900123 is not allowed"));
}

TEST_F(DialPlanTest, FailoverBySetting) {
  // clang-format off
  struct { const char* setting; int code; bool go_on; } cases[] = {
      {"always", 486, true}, {"only_5xx", 503, true}, {"only_5xx", 408, true},
      {"only_5xx", 486, false}, {"except_busy", 486, false}, {"except_busy", 404, true},
      {"never", 503, false}, {"", 500, false},
  };
  // clang-format on
  trunks.set(a, trunks_send_email, "noc@example.com");
  trunks.set(a, trunks_domain, id_text(domain));
  domains.set(domain, domains_email_from, "pbx@example.com");
  int notices = 0;
  for (const auto& c : cases) {
    trunks.set(a, trunks_failover, c.setting);
    EXPECT_EQ(try_failover(a, c.code, "x"), c.go_on) << c.setting << " " << c.code;
    notices += c.go_on;
  }
  // Each failover is a notice in the spool, addressed to the trunk's address.
  EXPECT_EQ(mfs.files["spool/index.txt"], std::to_string(notices));
  EXPECT_EQ(mfs.files["spool/0000001-00.msg"],
            "From: pbx@example.com\r\nTo: noc@example.com\r\nDomain: 1\r\nSubject: Trunk A "
            "failed over\r\nContent-Type: text/plain; charset=utf-8\r\n\r\nThe trunk A "
            "answered a call with \"486 x\". The call was tried on the next entry of the dial "
            "plan.\r\n");
}

TEST(NumberForms, GlobalForm) {
  // clang-format off
  struct { const char *cc, *ac, *number, *global; } cases[] = {
      {"49", "30", "12345", "12345"},           {"49", "30", "12345a", "12345a"},
      {"49", "30", "00441234567", "+441234567"}, {"49", "30", "0301234567", "+49301234567"},
      {"49", "030", "123456", "+4930123456"},   {"49", "-", "123456", "+49123456"},
      {"49", "", "123456", "123456"},           {"4x", "30", "0301234567", "0301234567"},
      {"1", "", "011441234567", "+441234567"},  {"1", "", "12125551234", "+12125551234"},
      {"1", "", "2125551234", "+12125551234"},  {"1", "212", "5551234", "+15551234"},
      {"1", "", "15551234", "+15551234"},       {"1", "212", "4561234", "+12124561234"},
      {"1", "", "4561234", "4561234"},
  };
  // clang-format on
  for (const auto& c : cases)
    EXPECT_EQ(get_global_number(c.cc, c.ac, c.number), c.global) << c.cc << " " << c.number;
}

class NumbersAndTrunks : public pbx_test::call_test {};

TEST_F(NumbersAndTrunks, LocalFormIsTheInverse) {
  // clang-format off
  struct { const char *cc, *ac, *global, *local; } cases[] = {
      {"49", "030", "+49301234567", "1234567"},  {"49", "030", "+49401234567", "0401234567"},
      {"49", "030", "+441234567", "00441234567"}, {"49", "030", "12345", "12345"},
      {"1", "212", "+12124561234", "4561234"},   {"1", "212", "+13104561234", "13104561234"},
      {"1", "212", "+441234567", "011441234567"}, {"1", "212", "+12125551234", "12125551234"},
  };
  // clang-format on
  for (const auto& c : cases) {
    db_test::set_row(domains, domain, {{domains_country_code, c.cc}, {domains_area_code, c.ac}});
    EXPECT_EQ(get_local_number(domain, c.global), c.local) << c.global;
    if (!str(c.global).starts_with("+")) continue;
    EXPECT_EQ(get_global_number(domain, c.local), c.global);
  }
  log_level_max = 9;  // the capture restores the level
  EXPECT_EQ(get_global_number("49", "", "123456"), "123456");
  EXPECT_TRUE(log.contains("Cannot convert number 123456 into global format"));
}

TEST_F(NumbersAndTrunks, TrunkRowsReachTheSipSideAndStatusComesBack) {
  db_test::set_row(domains, domain, "name=localhost pbx.example|country_code=49|area_code=030");
  add_account("+4930555", "extensions", extensions);
  add_account("555", "extensions", extensions);  // not global: no DID of a country domain
  const int t = add_row(
      trunks,
      "name=Carrier|domain=" + id_text(domain) +
          "|reg_account=acct|reg_registrar=127.0.0.9:5070|reg_pass=pw|request_timeout=x|dtmf=true");
  init_trunks();
  // clang-format off
  msg::setup_trunk m{id_text(t), "Carrier", "", "acct", "127.0.0.9:5070", "acct", "pw", "3600", "",
                     "92", "", "", "localhost pbx.example", "+4930555", "49", "30", "", "false",
                     "", "false", "false", "true", "true", "", ""};
  // clang-format on
  EXPECT_EQ(take(), texts(m));

  trunks.set(t, trunks_reg_user, "auth");  // the trigger sets the trunk up again
  m.auth_user = "auth";
  trunks.set(t, trunks_name, str());  // an empty name deletes it
  EXPECT_EQ(take(), texts(m, msg::delete_trunk{id_text(t)}));

  trunk_status({id_text(t), "200 OK", "Refresh interval 1800 seconds", "1", "1", "0"});
  EXPECT_EQ(trunks.get(t, trunks_status), "200 OK (Refresh interval 1800 seconds)");
  EXPECT_TRUE(take().empty());
  trunks.set_trigger(nullptr);
}

TEST_F(NumbersAndTrunks, CallerNumberOnATrunk) {
  const int t = add_row(trunks, {{trunks_name, "T"}});
  const int e = add_extension("40");
  domains.set(domain, domains_ani, "300");
  // clang-format off
  struct { const char *epid, *eani, *ani; bool emergency; const char* number; } cases[] = {
      {"", "112", "200", true, "112"}, {"", "112", "200", false, "200"},
      {"", "", "", true, "300"},       {"true", "", "200", false, "generated"},
  };
  // clang-format on
  for (const auto& c : cases) {
    trunks.set(t, trunks_use_epid, c.epid);
    extensions.set(extension_row(e), extensions_emergency_ani, c.eani);
    users.set(e, users_ani, c.ani);
    const str n = get_trunk_ani(t, e, c.emergency);
    EXPECT_EQ(
        *c.epid ? str(n.length() == 10 && n == users.get(e, users_epid) ? "generated" : "") : n,
        str(c.number));
  }
  EXPECT_TRUE(log.contains(std::string("Generated EPID ") + users.get(e, users_epid).c_str() +
                           " for user 40"));
  EXPECT_EQ(get_trunk_ani(t, e, false), users.get(e, users_epid));  // kept, not made again
}

}  // namespace
