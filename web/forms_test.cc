#include <gtest/gtest.h>

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
  // Applies the action for a session of that type (its domain and account) and returns the
  // status, then the data the pages show of the domain's accounts, read back from the disk.
  std::string post(int type, const str& action, std::map<str, str> args, int account = 0,
                   int domain = 0) {
    session s{"s", type, {{"domain", id_text(domain ? domain : ours)}, {"user", id_text(account)}}};
    web_request r;
    r.s = &s;
    r.args = std::move(args);
    apply_form(action, r);
    flush_file_writer();
    db_test::reset_store();
    web_request view;
    session admin{"a", session_system_admin, {}};
    view.s = &admin;
    str out = str::sprintf("%d", r.status);
    for (int d : {ours, theirs}) {
      view.args = {{"domain", id_text(d)}};
      filter_file(
          "{loop start accounts} {ssi var row.name}({ssi varv row.display}):{ssi varv row.cfa}"
          "/{ssi var row.dnd}/{ssi var row.mb_enable}{loop end}",
          view);
    }
    return std::string(out.view()) + std::string(view.out.view());
  }
  int ours = 0, theirs = 0;
};

TEST_F(FormsTest, ActionsCheckTheSessionLevel) {
  const std::string empty = "403";
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
  for (const auto& c : refused) EXPECT_EQ(post(c.type, c.action, c.args), empty) << c.action;
  EXPECT_EQ(domains.size(), 2);
  EXPECT_EQ(post(session_domain_admin, "addacc",
                 {{"domain", id_text(ours)},
                  {"name", "200"},
                  {"password", "pw<1>"},
                  {"display", "<b>Ann</b>"},
                  {"surplus", "ignored"}}),
            "200 200(&lt;b&gt;Ann&lt;/b&gt;)://true");
  const int ann = account_by_name("200", ours);
  EXPECT_EQ(extensions.get(extension_row(ann), extensions_password), "pw<1>");
  // Another domain's administrator cannot reach the account, whatever he names.
  EXPECT_EQ(
      post(session_domain_admin, "save", {{"account", id_text(ann)}, {"ext.cfa", "9"}}, 0, theirs) +
          std::to_string(extensions.get(extension_row(ann), extensions_cfa).length()),
      "403 200(&lt;b&gt;Ann&lt;/b&gt;)://true0");
}

// A user saves his own forwarding: stored as typed, escaped where it is shown, unknown fields
// and columns that are not his ignored, an unticked box stored as "false"; the system setting
// he names is not touched.
TEST_F(FormsTest, UserSavesHisOwnSettings) {
  post(session_domain_admin, "addacc", {{"domain", id_text(ours)}, {"name", "201"}});
  const int me = account_by_name("201", ours);
  EXPECT_EQ(post(session_user, "save",
                 {{"ext.cfa", "\"><script>x</script>"},
                  {"ext.admin", "true"},
                  {"ext.nope", "1"},
                  {"cfg.ip_http_port", "1"},
                  {"checkboxes", "ext.mb_enable ext.dnd"},
                  {"ext.dnd", "true"}},
                 me),
            "200 201():&quot;&gt;&lt;script&gt;x&lt;/script&gt;/true/false");
  EXPECT_EQ(extensions.get(extension_row(me), extensions_admin), "");
  EXPECT_EQ(ctrl_read_registry(ctrl_settings::ip_http_port), "80");
  EXPECT_EQ(post(session_user, "save", {{"account", id_text(me + 1)}, {"ext.dnd", "x"}}, me),
            "403 201():&quot;&gt;&lt;script&gt;x&lt;/script&gt;/true/false");
}

}  // namespace
