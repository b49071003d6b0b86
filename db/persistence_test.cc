#include "db/persistence.h"

#include "db/db_test_util.h"

namespace {

class PersistenceTest : public db_test::store_test {
 protected:
  void SetUp() override {
    db_test::reset_store();
    saved_ = get_table_yield_hooks();
    set_table_yield_hooks({db_test::yield_without_sleeping});
  }
  void TearDown() override { set_table_yield_hooks(saved_); }
  table_yield_hooks saved_;
};

TEST_F(PersistenceTest, StartUpRepairs) {
  using db_test::add_row, db_test::set_row;
  int d = add_row(domains, {{domains_name, "a.example"}, {domains_code_seize, "*7"}});
  int e = extensions.add_row();
  int u = add_row(users, "domain=1|type=extensions|id=" + str::from_int64(e));
  users.set(7, users_type_name, "extensions");  // kind row 0 does not exist
  set_row(user_alias, 9, "user=7|domain=1|name=107");
  set_row(users, 8, {{users_type_name, "bogus"}, {users_type_index, "1"}});
  set_row(user_alias, 1, "user=1|domain=1|name=100");
  set_row(user_alias, 2, "user=99|domain=1|name=101");
  set_row(user_alias, 3, "user=1|domain=42|name=102");
  int t = trunks.add_row();
  set_row(colines, 1, "trunk=" + str::from_int64(t) + "|user=1|leg=5|ts=123");
  colines.set(2, coline_trunk, "77");
  for (int m = 1; m <= 3; m++) messages.set(m, messages_user, "1");
  messages.set(3, messages_filename, "recordings/other.wav");
  put("recordings/msg1.wav", "RIFF");
  wiper_add("tmp", "recordings/scratch.wav");
  wiper_add("record", "recordings/keep.wav");
  put("recordings/scratch.wav", "x");
  put("recordings/keep.wav", "x");
  put("pbx.xml",
      "<pbx-config><record_start>*1</record_start><version>1.2.3</version></pbx-config>");
  init_config();
  fix_upgrades();
  EXPECT_EQ(
      file("recordings/scratch.wav") + file("recordings/keep.wav") + std::to_string(wipers.size()),
      "<missing>x0");
  // The missing codes (an existing one kept) and the provisioning credentials, stored.
  EXPECT_EQ(str::sprintf("%s %s %s %s %d %d %s", domains.get(d, domains_code_connect),
                         domains.get(d, domains_code_seize), domains.get(d, domains_code_unseize),
                         domains.get(d, domains_prov_user),
                         domains.get(d, domains_prov_pass).length() > 0,
                         domains.get(d, domains_prov_pin).length() > 0,
                         domains.get(d, domains_record_start)),
            "*601 *7 *603 admin 1 1 *1");
  EXPECT_GE(str(mfs.files["domains/1.xml"]).find("<code_connect>*601</code_connect>"), 0);
  for (const char* line :
       {"User alias 101 points to non-existing user 99: Removing alias.",
        "User alias 102 points to non-existing domain 42: Removing alias.",
        "Database sanity check: Deleting user 7 (extensions)",
        "Database sanity check: Deleting user 8 (bogus)",
        "User alias 107 points to non-existing user 7: Removing alias.",
        "Database sanity check: Deleting coline 2",
        "Deleting message 2 because the associated file recordings/msg2.wav is not present",
        "Deleting message 3 because the associated file recordings/other.wav is not present",
        "Upgrading from 1.x to 2.0"})
    EXPECT_TRUE(log.contains(line)) << line;
  EXPECT_EQ(user_alias.size(), 1);
  EXPECT_TRUE(users.has_row(u));
  EXPECT_EQ(mfs.files["colines/1.xml"],
            db_test::xml_header + "<row><trunk>" + std::to_string(t) + "</trunk></row>");
  EXPECT_EQ(mohs.size(), 1);
  EXPECT_EQ(std::string(mohs.row_content(mohs.first()).view()),
            db_test::xml_header +
                "<row><file>moh.wav</file><name>File moh.wav</name>"
                "<string>moh.wav</string><type>file</type></row>");
  EXPECT_TRUE(messages.has_row(1));
  EXPECT_EQ(ctrl_read_registry(ctrl_settings::version), "2.0.4");
  // Idempotent: a second run changes nothing more and logs nothing.
  log.clear();
  fix_upgrades();
  EXPECT_TRUE(log.lines().empty());
  EXPECT_EQ(mohs.size(), 1);
}

TEST_F(PersistenceTest, FirstStartWithoutDefaultsAndRestart) {
  db_startup(str());
  EXPECT_TRUE(log.contains("No domain found, creating default domain"));
  ASSERT_EQ(domains.size(), 1);
  EXPECT_EQ(domains.get(domains.first(), domains_code_rec), "*98");
  // Calls do not survive a restart; configuration does.
  int c = cobjs.add_row(false);
  cobjs.set(c, cobj_state, "x");
  legs.add_row(false);
  log.clear();
  db_startup(str());
  EXPECT_FALSE(log.contains("No domain found, creating default domain"));
  EXPECT_EQ(str::sprintf("%d %d %d", cobjs.size(), legs.size(), domains.size()), "0 0 1");
  // sys_name set: the default file is not used.
  memory_file_system other;
  scoped_file_system use_other(&other);
  db_test::reset_store();
  ctrl_write_setting(ctrl_settings::sys_name, "configured");
  other.files["d.xml"] =
      "<?xml version=\"1.0\"?><Config><SetEntry table=\"domains\" row=\"3\">"
      "<Column name=\"name\">x</Column></SetEntry></Config>";
  db_startup("d.xml");
  EXPECT_FALSE(domains.has_row(3));
  EXPECT_EQ(domains.size(), 1);
}

TEST_F(PersistenceTest, DeferredLoadOfTheLargeTables) {
  const std::string tlvb(
      "TLVB\0\1d\0\0\0\1"
      "1",
      12);  // domain "1"
  for (int i = 1; i <= 250; i++) put("cdrt/" + std::to_string(i) + ".xml", tlvb);
  put("cdrt/index.txt", "251");
  put("adrbook/4.xml", "<?xml version=\"1.0\"?><row><number>555</number></row>");
  put("rates/1.xml", "<row><prefix>49</prefix></row>");
  db_startup(str());
  EXPECT_EQ(trunk_cdr.size(), 0);
  EXPECT_EQ(adrbook.first(adrbook_number, "555"), 0);
  // A call record written before the load does not overwrite a stored one.
  int early = trunk_cdr.add_row(false);
  EXPECT_EQ(early, 251);
  trunk_cdr.set(early, trunk_cdr_domain, "2");
  static int yields;
  yields = 0;
  set_table_yield_hooks({[](int ms) {
    EXPECT_EQ(ms, 10);
    yields++;
  }});
  load_cdr_tables();
  EXPECT_EQ(str::sprintf("%d %d %s %d %d", trunk_cdr.size(), trunk_cdr.count(trunk_cdr_domain, "1"),
                         trunk_cdr.get(251, trunk_cdr_domain), adrbook.first(adrbook_number, "555"),
                         rates.first(rate_prefix, "49")),
            "251 250 2 4 1");
  EXPECT_EQ(yields, 2);  // 252 entries in cdrt: after 100 and 200, the other tables are small
  EXPECT_TRUE(log.contains("Table cdrt: Finished reading 251 rows"));
  EXPECT_TRUE(log.contains("Table adrbook: Finished reading 1 rows"));
  EXPECT_FALSE(log.contains("Table cdre: Finished reading 0 rows"));
}

}  // namespace
