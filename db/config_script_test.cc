#include "db/config_script.h"

#include "db/db_test_util.h"
#include "db/persistence.h"

namespace {

using ConfigScriptTest = db_test::store_test;

TEST_F(ConfigScriptTest, SerializeFormatAndRoundTrip) {
  int d = domains.add_row();
  domains.set(d, domains_name, "a\"b<c>.example");
  users.set(3, users_domain, str::from_int64(d));
  users.set(3, users_type_name, "extensions");
  extensions.set(9, extensions_password, "p&w");
  webpages.set(1, webpages_name, "not exported");
  ctrl_write_setting(ctrl_settings::sys_name, "pbx <1>");
  str script = serialize_config();
  EXPECT_TRUE(script.starts_with(
      "<?xml version=\"1.0\" standalone=\"yes\"?>\r\n<Config><SetSetting "
      "name=\"log_level\">5</SetSetting><SetSetting name=\"log_filename\">log-$.txt</SetSetting>"));
  EXPECT_GE(script.find("<SetSetting name=\"sys_name\">pbx &lt;1&gt;</SetSetting>"), 0);
  EXPECT_LT(script.find("log_event_module11"), 0);
  EXPECT_TRUE(script.ends_with("<DeleteTable table=\"mohs\"/></Config>"));
  EXPECT_GE(script.find("<SetEntry table=\"domains\" row=\"1\"><Column name=\"acct_list_size\">"
                        "</Column>"),
            0);
  EXPECT_GE(script.find("<Column name=\"name\">a&quot;b&lt;c&gt;.example</Column>"), 0);
  EXPECT_LT(script.find("webpages"), 0);
  EXPECT_EQ(script.find('\n'), script.find("\r\n") + 1);  // only the declaration's line end
  EXPECT_LT(script.find('\n', static_cast<size_t>(script.find('\n')) + 1), 0);
  // Applying the script to an emptied store on a fresh disk rebuilds the same configuration.
  memory_file_system fresh;
  scoped_file_system use_fresh(&fresh);
  db_test::reset_store();
  EXPECT_EQ(domains.size(), 0);
  on_config_available(200, script);
  EXPECT_EQ(serialize_config(), script);  // the same cells, settings and unescaped texts
}

TEST_F(ConfigScriptTest, AppliesWhatIsValid) {
  domains.set(4, domains_name, "four");
  domains.set(5, domains_name, "five");
  cobjs.dont_create();
  process_config(
      "<SetEntry table=\"domains\" row=\"4\"/>"  // no Column: deletes row 4
      "<SetEntry table=\"domains\" row=\"0\"><Column name=\"name\">zero</Column></SetEntry>"
      "<SetEntry table=\"legs\" row=\"2\"><Column name=\"state\">x</Column></SetEntry>"
      "<SetEntry table=\"nosuch\" row=\"2\"><Column name=\"a\">x</Column></SetEntry>"
      "<SetEntry table=\"webpages\" row=\"2\"><Column name=\"name\">x</Column></SetEntry>"
      "<Bogus>ignored</Bogus>"
      "<ns:setsetting name=\"SYS_NAME\">lower-case and prefixed</ns:setsetting>"
      "<SetSetting name=\"no_such_setting\">x</SetSetting>"
      "<setentry table=\"domains\" row=\"7\"><Column name=\"name\">seven</Column>"
      "<Column name=\"unknown\">dropped</Column><column name=\"display\">Seven</column>"
      "</setentry>"
      "<SetEntry table=\"user_alias\" row=\"3\"><Column name=\"name\">cut");
  // Rows 5 and 7 are left of the domains; the run-time and unexported tables took nothing.
  EXPECT_EQ(domains.search_list(table::all, 0, false), (std::set<int>{5, 7}));
  EXPECT_EQ(file("domains/4.xml") + std::to_string(legs.size() + webpages.size()), "<missing>0");
  EXPECT_EQ(ctrl_read_registry(ctrl_settings::sys_name), "lower-case and prefixed");
  EXPECT_GE(str(mfs.files["pbx.xml"]).find("<sys_name>lower-case and prefixed</sys_name>"), 0);
  EXPECT_EQ(domains.get_index(), 8);
  EXPECT_EQ(mfs.files["domains/7.xml"],
            "<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n<row><display>Seven</display><name>"
            "seven</name></row>");
  // DeleteTable and DeleteDirectory, with paths that would leave the working directory refused.
  str::create_path("recordings/sub");
  mfs.files["recordings/sub/a.wav"] = "a";
  mfs.files["keep.txt"] = "k";
  process_config(
      "<DeleteTable table=\"domains\"/><DeleteTable table=\"legs\"/>"
      "<DeleteDirectory>..</DeleteDirectory><DeleteDirectory>/</DeleteDirectory>"
      "<DeleteDirectory>.</DeleteDirectory><DeleteDirectory>recordings/</DeleteDirectory>");
  EXPECT_EQ(domains.size(), 0);
  EXPECT_EQ(file("recordings/sub/a.wav") + file("keep.txt"), "<missing>k");
}

TEST_F(ConfigScriptTest, FetchedConfigurations) {
  on_config_available(404, "<Config><SetSetting name=\"sys_name\">x</SetSetting></Config>");
  EXPECT_TRUE(log.contains("Loading Configuration: Server returned 404"));
  EXPECT_EQ(ctrl_read_registry(ctrl_settings::sys_name), "");
  on_config_available(
      204,
      "<?xml version=\"1.0\"?>\r\n<Config><SetEntry table=\"domains\" row=\"2\"><Column "
      "name=\"name\">two</Column></SetEntry></Config><Other><SetEntry table=\"domains\" "
      "row=\"3\"><Column name=\"name\">three</Column></SetEntry></Other><Config><SetEntry "
      "table=\"domains\" row=\"4\"><Column name=\"name\">four</Column></SetEntry></Config>");
  EXPECT_EQ(domains.search_list(table::all, 0, false), (std::set<int>{2, 4}));
}

TEST_F(ConfigScriptTest, RestoreDefaultConfig) {
  EXPECT_EQ(restore_default_config(str()), restore_result::nothing);
  EXPECT_TRUE(
      log.contains("Cannot restore default configuration because there is no filename for this."));
  EXPECT_EQ(restore_default_config("default.tar"), restore_result::nothing);
  EXPECT_TRUE(
      log.contains("Cannot restore default configuration because the default configuration "
                   "cannot be found."));
  // Found among the web files when the working directory has none.
  str::create_path("web");
  mfs.files["web/default.xml"] =
      "<?xml version=\"1.0\"?><Config><SetEntry table=\"domains\" row=\"1\"><Column "
      "name=\"name\">web.example</Column></SetEntry></Config>";
  EXPECT_EQ(restore_default_config("default.xml", "web"), restore_result::script);
  EXPECT_TRUE(log.contains("Restoring default configuration"));
  EXPECT_EQ(domains.get(1, domains_name), "web.example");
  EXPECT_EQ(mfs.files.count("pbx.xml"), 1u);
  // A tar image (over max_tar, which guards uploads only) is OperatorFilesE2E's
  // TarBackupFromTheCommandLineRestoresSettingsAndRecordings.
  // A file that is no archive: refused, and start-up creates no domain in its place.
  clear_tables();
  ctrl_write_setting(ctrl_settings::sys_name, str());
  mfs.files["broken.tar"] = std::string(600, 'x');
  init_setup("broken.tar", str());
  EXPECT_TRUE(
      log.contains("Cannot restore default configuration from broken.tar: the archive was "
                   "refused, starting without creating anything in its place"));
  EXPECT_FALSE(log.contains("No domain found, creating default domain"));
  EXPECT_EQ(domains.size(), 0);
}

}  // namespace
