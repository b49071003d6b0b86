// Trunks rows as the SIP side gets them: the whole SetupTrunk from a row and its domain, the
// trigger's SetupTrunk and DeleteTrunk, and a status report stored without setting up again.
#include "pbx/trunks.h"

#include "pbx/pbx_test_util.h"

namespace {

using db_test::add_row;

class TrunksTest : public pbx_test::call_test {};

TEST_F(TrunksTest, RowsReachTheSipSideAndStatusComesBack) {
  domains.set(domain, domains_name, "localhost pbx.example");
  domains.set(domain, domains_country_code, "49");
  domains.set(domain, domains_area_code, "030");
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

TEST_F(TrunksTest, CallerNumberOnATrunk) {
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
