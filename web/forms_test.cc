#include <gtest/gtest.h>

#include "base/digest.h"
#include "db/db_test_util.h"
#include "db/file_writer.h"
#include "db/persistence.h"
#include "pbx/accounts.h"
#include "web/pages.h"
#include "web/template.h"

namespace {

class FormsTest : public db_test::store_test {
 protected:
  void SetUp() override {
    store_test::SetUp();
    ours = create_default_domain("ours.example");
    theirs = create_default_domain("theirs.example");
  }
  // Applies the action for a session of the type (in the domain, ours for 0, as the account),
  // then reads the store back from the disk; the status and the result text.
  std::string apply(int type, const str& action, std::map<str, str> args, int account = 0,
                    int domain = 0) {
    session s{"s", type, {{"domain", id_text(domain ? domain : ours)}, {"user", id_text(account)}}};
    web_request r;
    r.s = &s;
    r.args = std::move(args);
    apply_form(action, r);
    flush_file_writer();
    db_test::reset_store();
    return std::string(str::sprintf("%d %s", r.status, r.args["result"]).view());
  }
  // The page as a system administrator (or the session) sees it with the arguments.
  std::string show(const str& page, std::map<str, str> args, session* s = nullptr) {
    session admin{"a", session_system_admin, {}};
    web_request v;
    v.s = s ? s : &admin;
    v.args = std::move(args);
    filter_file(page, v);
    return std::string(v.out.view());
  }
  // apply(), then the data the pages show of each domain's accounts.
  std::string post(int type, const str& action, std::map<str, str> args, int account = 0,
                   int domain = 0) {
    std::string out = apply(type, action, std::move(args), account, domain);
    out.resize(out.find(' '));
    for (int d : {ours, theirs})
      out += show(
          "{loop start accounts} {ssi var row.name}({ssi varv row.display}):{ssi varv row.cfa}"
          "/{ssi var row.dnd}/{ssi var row.mb_enable}{loop end}",
          {{"domain", id_text(d)}});
    return out;
  }
  int ours = 0, theirs = 0;
};

TEST_F(FormsTest, ActionsCheckTheSessionLevel) {
  struct {
    int type;
    const char* action;
    std::map<str, str> args;
  } refused[] = {
      {session_domain_admin, "addacc", {{"domain", id_text(theirs)}, {"name", "200"}}},
      {session_domain_admin, "adddomain", {{"name", "new.example"}}},
      {session_user, "adddomain", {{"name", "new.example"}}},
      {session_user, "domaindel", {{"domain", id_text(ours)}}},
      {session_user, "addacc", {{"name", "200"}}},
  };
  for (const auto& c : refused) EXPECT_EQ(post(c.type, c.action, c.args), "403") << c.action;
  EXPECT_EQ(domains.size(), 2);
  // clang-format off
  EXPECT_EQ(post(session_domain_admin, "addacc", {{"domain", id_text(ours)}, {"name", "200"},
                 {"password", "pw<1>"}, {"display", "<b>Ann</b>"}, {"surplus", "ignored"}}),
            "200 200(&lt;b&gt;Ann&lt;/b&gt;)://true");
  // clang-format on
  const int ann = account_by_name("200", ours);
  EXPECT_EQ(extensions.get(extension_row(ann), extensions_password), "pw<1>");
  // Another domain's administrator cannot reach the account, whatever he names.
  EXPECT_EQ(
      post(session_domain_admin, "save", {{"account", id_text(ann)}, {"ext.cfa", "9"}}, 0, theirs) +
          std::to_string(extensions.get(extension_row(ann), extensions_cfa).length()),
      "403 200(&lt;b&gt;Ann&lt;/b&gt;)://true0");
  // A reference to another domain's dial plan is not stored.
  const int foreign = db_test::add_row(dial_plan, {{dial_plan_domain, id_text(theirs)}});
  apply(session_domain_admin, "editdomain",
        {{"dom.default_dialplan", id_text(foreign)}, {"dom.display", "D"}});
  EXPECT_EQ(
      domains.get(ours, domains_display_name) + "|" + domains.get(ours, domains_default_dialplan),
      "D|");
}

// A user saves his own forwarding: stored as typed, escaped where it is shown, unknown fields
// and columns that are not his ignored, an unticked box stored as "false"; the system setting
// he names is not touched.
TEST_F(FormsTest, UserSavesHisOwnSettings) {
  apply(session_domain_admin, "addacc",
        {{"domain", id_text(ours)}, {"name", "201"}, {"password", "p"}});
  const int me = account_by_name("201", ours);
  // clang-format off
  EXPECT_EQ(post(session_user, "save", {{"ext.cfa", "\"><script>x</script>"}, {"ext.admin", "true"},
                 {"ext.nope", "1"}, {"cfg.ip_http_port", "1"}, {"ext.cfb", str('x', 1 << 20)},
                 {"checkboxes", "ext.mb_enable ext.dnd"}, {"ext.dnd", "true"}}, me),
            "200 201():&quot;&gt;&lt;script&gt;x&lt;/script&gt;/true/false");
  // clang-format on
  EXPECT_EQ(extensions.get(extension_row(me), extensions_admin) + "|" +
                extensions.get(extension_row(me), extensions_cfb) + "|" +
                ctrl_read_registry(ctrl_settings::ip_http_port),
            "||80");
  EXPECT_EQ(post(session_user, "save", {{"account", id_text(me + 1)}, {"ext.dnd", "x"}}, me),
            "403 201():&quot;&gt;&lt;script&gt;x&lt;/script&gt;/true/false");
}

// An auto attendant is an account of its own whose menu only its domain's administrators set;
// an extension is not made without a password; a domain alias names the domain for routing.
TEST_F(FormsTest, AttendantsAndDomainAliases) {
  EXPECT_EQ(post(session_domain_admin, "addacc", {{"domain", id_text(ours)}, {"name", "202"}}),
            "200");
  EXPECT_EQ(post(session_domain_admin, "addacc",
                 {{"domain", id_text(ours)}, {"name", "500"}, {"type", "attendants"}}),
            "200 500()://");
  const int aa = account_by_name("500", ours);
  ASSERT_EQ(account_type(aa), "attendants");
  apply(session_domain_admin, "editaccount", {{"account", id_text(aa)}, {"att.code_1", "9"}}, 0,
        theirs);
  apply(session_user, "save", {{"att.code_1", "9"}}, aa);
  apply(session_domain_admin, "editaccount",
        {{"account", id_text(aa)}, {"att.input_1", "1"}, {"att.code_1", "100"}});
  EXPECT_EQ(attendants.get(extension_row(aa), attendants_input_1) + ">" +
                attendants.get(extension_row(aa), attendants_code_1),
            "1>100");
  for (const char* name : {"PBX.Ours", "theirs.example"})
    EXPECT_EQ(apply(session_system_admin, "addalias", {{"domain", id_text(ours)}, {"alias", name}})
                  .substr(0, 3),
              "200")
        << name;
  EXPECT_EQ(str::sprintf("%d %d %d", domain_by_name("PBX.Ours"), domain_by_name("theirs.example"),
                         domain_alias.size()),
            str::sprintf("%d %d 1", ours, theirs));
  // Another domain cannot delete the alias; its own can.
  for (int d : {theirs, ours}) {
    apply(session_system_admin, "aliasdel", {{"domain", id_text(d)}, {"alias", "1"}});
    EXPECT_EQ(domain_alias.size(), d == ours ? 0 : 1);
  }
}

// Trunks, dial plans and their rules through one domain administrator's hands, and through
// another's, step by step; after each step the status, the result text and what the pages show
// of the domain.
TEST_F(FormsTest, TrunksAndDialPlans) {
  const std::string a = "T:up=sip:a.example;", b = "T:up=sip:b.example;",
                    rule = "P:out(1);E:5 ^9(.*) \\1 up;";
  const int dom = session_domain_admin;
  // clang-format off
  struct { int type, domain; const char* action; std::map<str, str> args; std::string want; }
  steps[] = {
      {dom, ours, "addtrunk", {{"name", "up"}, {"to", "sip:a.example"}}, "200 Saved.|" + a},
      {dom, ours, "adddialplan", {{"name", "out"}}, "200 Saved.|" + a + "P:out(0);"},
      {dom, ours, "savedial", {{"dialplan", "1"}, {"pattern", "^9(.*)"}, {"replacement", "\\1"},
                               {"trunk", "1"}, {"preference", "5"}}, "200 Saved.|" + a + rule},
      {dom, ours, "savedial", {{"dialplan", "1"}, {"pattern", "x"}, {"trunk", "7"}},  // not ours
       "403 |" + a + rule},
      {dom, ours, "savetrunk", {{"trunk", "1"}, {"trunk.to", "sip:b.example"},
                                {"trunk.domain", "2"}}, "200 Saved.|" + b + rule},
      {dom, theirs, "deletetrunk", {{"trunk", "1"}}, "403 |" + b + rule},
      {dom, theirs, "dialentrydel", {{"dialplan", "1"}, {"entry", "1"}}, "403 |" + b + rule},
      {dom, ours, "dialentrydel", {{"dialplan", "1"}, {"entry", "1"}}, "200 |" + b + "P:out(0);"},
      {dom, ours, "deletetrunk", {{"trunk", "1"}}, "200 |P:out(0);"},
      {session_system_admin, 0, "domaindel", {{"domain", id_text(ours)}}, "200 |"},
  };
  // clang-format on
  for (const auto& step : steps) {
    const std::string status = apply(step.type, step.action, step.args, 0, step.domain);
    EXPECT_EQ(status + "|" +
                  show("{loop start trunks}T:{ssi var row.name}={ssi var row.to};{loop end}"
                       "{loop start dialplans}P:{ssi var row.name}({ssi var row.entries});"
                       "{loop end}{loop start dialplan_entries}E:{ssi var row.preference} "
                       "{ssi var row.pattern} {ssi var row.replacement} {ssi var row.trunk_name};"
                       "{loop end}",
                       {{"domain", id_text(ours)}, {"dialplan", "1"}}),
              step.want)
        << step.action;
  }
  EXPECT_EQ(domains.get(theirs, domains_name), "theirs.example");
}

// The system settings: written by name, never the password digest by name, the administrator's
// password as its digest; a user may delete only his own messages.
TEST_F(FormsTest, SettingsAndMessages) {
  // clang-format off
  apply(session_system_admin, "save", {{"cfg.log_level", "7"}, {"cfg.pw_pass", "x"},
        {"admin_password", "secret"}, {"cfg.ring180", "true"},
        {"checkboxes", "cfg.ring180 cfg.codec_lock"}});
  // clang-format on
  EXPECT_EQ(ctrl_read_registry(ctrl_settings::log_level) + " " +
                ctrl_read_registry(ctrl_settings::ring180) + " " +
                ctrl_read_registry(ctrl_settings::codec_lock) + " " +
                ctrl_read_registry(ctrl_settings::pw_pass),
            str("7 true false ") + md5_hex("secret"));
  apply(session_domain_admin, "addacc",
        {{"domain", id_text(ours)}, {"name", "202"}, {"password", "p"}});
  const int me = account_by_name("202", ours);
  for (const char* owner : {"99", "202"})
    db_test::add_row(messages, {{messages_user, id_text(owner[0] == '9' ? 99 : me)},
                                {messages_type, "vmail"},
                                {messages_from, str("<sip:") + owner + "@x>"},
                                {messages_filename, "recordings/m.wav"}});
  session user{"u", session_user, {{"user", id_text(me)}, {"domain", id_text(ours)}}};
  for (const char* want : {"202 recordings/m.wav;", ""}) {
    apply(session_user, "msgdel", {{"message", id_text(want[0] ? 1 : 2)}}, me);
    EXPECT_EQ(
        show("{loop start messages}{ssi var row.from} {ssi var row.file};{loop end}", {}, &user),
        want);
  }
  EXPECT_TRUE(messages.has_row(1));
}

}  // namespace
