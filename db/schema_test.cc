#include "db/schema.h"

#include "db/db_test_util.h"

namespace {

using SchemaTest = db_test::files_test;
const std::string& header = db_test::xml_header;

// By the stored name, not the variable's, in its case; a run-time table is not found (as a
// configuration script meets them: ConfigScriptTest.AppliesWhatIsValid).
TEST_F(SchemaTest, TableListAndLookupByName) {
  EXPECT_EQ(&get_table("cdrt"), &trunk_cdr);
  table& bogus = get_table("Domains");
  EXPECT_EQ(bogus.get_name(), "");
  EXPECT_EQ(log.lines().back().text, "Table Domains not found");
  bogus.set(1, "name", "x");  // no columns: dropped, and no file is written
  EXPECT_FALSE(bogus.has_row(1));
  EXPECT_EQ(bogus.add_row(), 1);
  EXPECT_TRUE(mfs.files.empty());
  for (auto [name, exists] : {std::pair{"cdri", true}, {"webpages", false}, {"legs", false}})
    EXPECT_EQ(table_exists(name), exists) << name;
}

// Loading, deferring the large tables and reloading are PersistenceTest's; clearing removes the
// files of the rows a table knows, not those of a table not loaded yet.
TEST_F(SchemaTest, ClearTablesRemovesWhatIsLoaded) {
  put("domains/1.xml", header + "<row><name>example.com</name></row>");
  put("cdrt/7.xml", "TLVB");
  init_tables();
  EXPECT_EQ(domains.first(domains_name, "example.com"), 1);
  clear_tables();
  EXPECT_EQ(domains.size(), 0);
  EXPECT_EQ(file("domains/1.xml") + file("cdrt/7.xml"), "<missing>TLVB");
}

TEST_F(SchemaTest, Wipers) {
  init_tables();
  clear_tables();
  put("recordings/a.wav", "A");
  put("recordings/b.wav", "B");
  put("recordings/c.wav", "C");
  wiper_add("vm", "recordings/a.wav");
  wiper_add("record", "recordings/b.wav");
  wiper_add("tmp", "recordings/c.wav");
  wiper_add("vm", "recordings/c.wav");  // same file: context replaced, no new row
  EXPECT_EQ(str::sprintf("%d %d %d", wipers.size(), wipers.count(wiper_context, "vm"),
                         int(mfs.files.count("wipers/3.xml"))),
            "3 2 1");
  // One context's files go (a missing one silently); clearing them all at start-up is
  // PersistenceTest.StartUpRepairs'.
  wiper_add("vm", "recordings/missing.wav");
  wiper_clear("vm");
  EXPECT_EQ(file("recordings/a.wav") + file("recordings/b.wav") + file("recordings/c.wav") +
                std::to_string(wipers.size()),
            "<missing>B<missing>1");
  for (auto& l : log.lines()) EXPECT_EQ(l.text.find("Cannot remove"), std::string::npos) << l.text;
}

}  // namespace
