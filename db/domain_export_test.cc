#include "db/domain_export.h"

#include "base/xml_tree.h"
#include "db/db_test_util.h"

namespace {

class DomainExportTest : public db_test::store_test {
 protected:
  // An account of the domain: users row + kind row + aliases.
  int account(int domain, const char* type, int kind_id, const char* primary,
              const char* more = nullptr) {
    using db_test::add_row;
    str d = str::from_int64(domain);
    int u =
        add_row(users, str("domain=") + d + "|type=" + type + "|id=" + str::from_int64(kind_id));
    int a = add_row(user_alias, "user=" + str::from_int64(u) + "|domain=" + d + "|name=" + primary +
                                    "|display=" + str("Name-") + primary);
    users.set(u, users_alias, str::from_int64(a));
    if (more)
      add_row(user_alias,
              "user=" + str::from_int64(u) + "|domain=" + d + "|name=" + more + "|display=Other");
    return u;
  }
};

TEST_F(DomainExportTest, ExportAndImportIntoANewDomain) {
  using db_test::add_row;
  int moh = add_row(mohs, {{mohs_name, "Jazz"}});
  int global_dp = add_row(dial_plan, {{dial_plan_name, "World"}, {dial_plan_global, "true"}});
  int d = add_row(domains, {{domains_name, "old.example"}, {domains_moh, str::from_int64(moh)}});
  add_row(domain_alias, {{domain_alias_domain, "1"}, {domain_alias_name, "alias.example"}});
  int t = add_row(trunks, {{trunks_name, "Carrier"}, {trunks_domain, "1"}});
  int dp = add_row(dial_plan, {{dial_plan_name, "Local"}, {dial_plan_domain, "1"}});
  add_row(dial_plan_entry,
          "id=" + str::from_int64(dp) + "|trunk=" + str::from_int64(t) + "|pattern=9*");
  domains.set(d, domains_default_dialplan, str::from_int64(dp));
  add_row(adrbook, {{adrbook_domain, "1"}, {adrbook_number, "555"}});
  // dnd is a run-time column: not exported.
  int e = add_row(extensions, {{extensions_password, "pw<1>"}, {extensions_dnd, "true"}});
  int u = account(d, "extensions", e, "100", "4100");
  users.set(u, users_dial_plan, str::from_int64(global_dp));
  add_row(adrbook, "domain=1|user=" + str::from_int64(u) + "|number=777");
  add_row(messages, {{messages_user, str::from_int64(u)}, {messages_duration, "12"}});
  put("recordings/msg1.wav", "RIFF-message");
  int att = add_row(attendants, "wavfile=recordings/att200.wav|timeout=5");
  put("recordings/att200.wav", "RIFF-prompt");
  account(d, "attendants", att, "200");
  account(d, "colines", add_row(colines, {{coline_trunk, str::from_int64(t)}}), "300");
  int bl = add_row(button_lists, {{button_lists_name, "Desk"}, {button_lists_domain, "1"}});
  add_row(buttons, {{buttons_profile, str::from_int64(bl)}, {buttons_label, "Park"}});
  db_test::set_row(users, 50, {{users_domain, "1"}, {users_type_name, "weird"}});
  // The domain's rows refer to each other by name; dnd is left out, and an account of an unknown
  // type is logged and written without its body.
  str archive = save_domain(d);
  EXPECT_TRUE(log.contains("Cannot serialize type weird"));
  auto expected = [](const std::string& name, const std::string& alias, const std::string& weird) {
    return "<?xml version=\"1.0\"?>\r\n<domain><domains><default_dialplan>Local</default_dialplan>"
           "<moh>Jazz</moh><name>" +
           name + "</name></domains>" + alias +
           "<adrbook><number>555</number></adrbook><users><dial_plan>World</dial_plan>"
           "<type>extensions</type><primary>100</primary><pd>Name-100</pd><alias>4100</alias>"
           "<ad>Other</ad><body><password>pw&lt;1&gt;</password><adrbook><number>777</number>"
           "</adrbook><messages><duration>12</duration><filename>audio/1.wav</filename></messages>"
           "</body></users><users><type>attendants</type><primary>200</primary><pd>Name-200</pd>"
           "<body><timeout>5</timeout><wavfile>audio/2.wav</wavfile></body></users><users>"
           "<type>colines</type><primary>300</primary><pd>Name-300</pd><body><trunk>Carrier</trunk>"
           "</body></users>" +
           weird +
           "<trunks><name>Carrier</name></trunks><dial_plan><name>Local"
           "</name><dial_plan_entry><pattern>9*</pattern><trunk>Carrier</trunk></dial_plan_entry>"
           "</dial_plan><button_list><name>Desk</name><buttons><label>Park</label></buttons>"
           "</button_list></domain>";
  };
  // domain.xml, then the audio files.
  const std::string audio = " audio/1.wav=RIFF-message audio/2.wav=RIFF-prompt ";
  EXPECT_EQ(db_test::tar_listing(archive),
            "domain.xml=" +
                expected("old.example", "<alias>alias.example</alias>",
                         "<users><type>weird</type><primary></primary><pd></pd></users>") +
                audio);
  // A second system: the same global dial plan and music, a fresh domain.
  memory_file_system other;
  scoped_file_system use_other(&other);
  db_test::reset_store();
  add_row(mohs, {{mohs_name, "Other"}});
  add_row(mohs, {{mohs_name, "Jazz"}});
  int world = add_row(dial_plan, {{dial_plan_name, "World"}, {dial_plan_global, "true"}});
  domains.set(1, domains_name, "first.example");
  int nd = add_row(domains, {{domains_name, "new.example"}});
  log.clear();
  ASSERT_TRUE(load_domain(nd, archive));
  // Imported, the domain exports the same rows under its own name: every reference was mapped
  // to the new ids (music and the global dial plan by name), the files were copied, and the
  // domain names are not carried over.
  EXPECT_EQ(db_test::tar_listing(save_domain(nd)),
            "domain.xml=" + expected("new.example", "", "") + audio);
  EXPECT_EQ(users.get(users.first(users_type_name, "extensions"), users_dial_plan),
            str::from_int64(world));
  int natt = users.get(users.first(users_type_name, "attendants"), users_type_index).value();
  EXPECT_TRUE(attendants.get(natt, attendants_wavfile_0).starts_with("recordings/"));
  EXPECT_EQ(domain_alias.size(), 0);
}

TEST_F(DomainExportTest, BadArchivesImportNothing) {
  // What is no archive at all is TarTest.RefusedImagesChangeNothing's.
  int d = domains.add_row();
  std::vector<tar_entry> e = {{str("domain.xml"), false, str("<notdomain/>")}};
  EXPECT_FALSE(load_domain(d, tar_write(e)));
  e[0].data =
      "<domain><users><type>martian</type><primary>1</primary></users>"
      "<trunks><name>T</name></trunks></domain>";
  str archive = tar_write(e);
  EXPECT_FALSE(load_domain(d, archive, 512));  // larger than the limit
  EXPECT_EQ(trunks.size(), 0);
  EXPECT_TRUE(load_domain(d, archive));
  EXPECT_TRUE(log.contains("Cannot load type martian"));
  EXPECT_EQ(str::sprintf("%d %d %s", users.size(), trunks.size(), save_domain(99)), "0 1 ");
}

}  // namespace
