#include "db/table.h"

#include <rapidcheck.h>

#include <algorithm>
#include <memory>

#include "db/db_test_util.h"

namespace {

std::string fired;  // "table:id " for each call of the trigger
void trigger(const str& name, int id) {
  fired += std::string(name.view()) + ":" + std::to_string(id) + " ";
}

// A table of name (indexed), domain and alias.
void define(table& t) {
  t.add_column("name", true);
  t.add_column("domain", false);
  t.add_column("alias", false);
}

class TableTest : public db_test::files_test {
 protected:
  void SetUp() override { fired.clear(); }
  // A table of define(), loaded from dir.
  table& open(const char* dir, bool binary = false) {
    tables_.push_back(std::make_unique<table>(true));
    table& t = *tables_.back();
    if (binary) t.use_binary();
    define(t);
    t.read_table(dir);
    return t;
  }
  // "rows next_index index-file" of the table in dir.
  std::string ids(table& t, const std::string& dir) {
    return std::to_string(t.size()) + " " + std::to_string(t.get_index()) + " " +
           file(dir + "/index.txt");
  }
  std::vector<std::unique_ptr<table>> tables_;
};

const std::string& header = db_test::xml_header;
// The stored description of a table of define().
const std::string description =
    header + "<table><row>alias</row><row>domain</row><row index=\"true\">name</row></table>";

// One cell of a binary row: the name's length in two bytes, the value's in four, big-endian.
std::string tlv(const std::string& name, const std::string& value) {
  const size_t n = name.size(), v = value.size();
  return std::string{char(n >> 8), char(n), char(v >> 24), char(v >> 16), char(v >> 8), char(v)}
             .insert(2, name) +
         value;
}

// The rows holding value in column (every row without a column), first to last with next(),
// then last to first with prev().
std::string walk(table& t, const char* column = nullptr, const char* value = nullptr) {
  std::string out;
  for (int id = column ? t.first(column, value) : t.first(); id;
       id = column ? t.next(id, column) : t.next(id))
    out += std::to_string(id) + " ";
  out += "/";
  for (int id = column ? t.last(column, value) : t.last(); id;
       id = column ? t.prev(id, column) : t.prev(id))
    out += " " + std::to_string(id);
  return out;
}

// Every row in id order as "id:name/domain/alias".
std::string rows(table& t) {
  std::string out;
  for (int id = t.first(); id; id = t.next(id))
    out +=
        str::sprintf("%d:%s/%s/%s ", id, t.get(id, "name"), t.get(id, "domain"), t.get(id, "alias"))
            .view();
  return out;
}

TEST_F(TableTest, RecordIdsAndNextIndex) {
  // A restart with a stale index file: rows 1..5 on disk but next_index 3.
  for (int i = 1; i <= 5; i++) put("t/" + std::to_string(i) + ".xml", header + "<row/>");
  put("t/index.txt", "3");
  table& t = open("t");
  EXPECT_EQ(ids(t, "t"), "5 3 3");
  EXPECT_EQ(t.add_row(), 6);
  EXPECT_EQ(ids(t, "t"), "6 7 7");
  EXPECT_EQ(file("t/6.xml"), header + "<row/>");
  // set on a missing id creates the row and moves next_index past it.
  // (dirty only with a value); ids below next_index do not move it; id 0 never makes a row.
  table& e = open("e");
  EXPECT_EQ(e.get_index(), 1);
  e.set(10, "name", "", false);
  EXPECT_EQ(ids(e, "e") + " " + std::to_string(e.is_dirty(10)), "1 11 11 0");
  e.set(12, "name", "x", false);
  e.set(3, "name", "y", true);
  e.set(0, "name", "z", true);
  EXPECT_EQ(std::to_string(e.is_dirty(12)) + std::to_string(e.has_row(0)) + " " +
                std::to_string(e.get_index()) + " " + walk(e) + " " + std::to_string(e.next(4)),
            "10 13 3 10 12 / 12 10 3 0");
  // A deleted id is not handed out again by add_row.
  e.delete_row(12);
  EXPECT_EQ(e.add_row(), 13);
  // The largest id: the next add_row starts again at the lowest free id.
  e.set(2147483647, "name", "max", false);
  EXPECT_EQ(e.get_index(), 2147483647);
  EXPECT_EQ(e.add_row(false), 1);
  EXPECT_EQ(e.add_row(false), 2);
}

TEST_F(TableTest, DirtinessAndTriggers) {
  table& t = open("t");
  t.set_trigger(trigger);
  int id = t.add_row();
  t.set(id, "name", "a", true, true);
  EXPECT_EQ(file("t/1.xml"), header + "<row><name>a</name></row>");
  // Same value: not dirty, nothing written, but the trigger still runs when asked.
  mfs.files["t/1.xml"] = "sentinel";
  t.set(id, "name", "a", true, true);
  t.set(id, "name", "a", true, false);
  EXPECT_EQ(fired, "t:1 t:1 t:1 ");
  // Deferred writes collect several cells into one file write.
  t.set(id, "domain", "7", false);
  t.set(id, "alias", "40", false);
  EXPECT_TRUE(file("t/1.xml") == "sentinel" && t.is_dirty(id));
  t.write_row(id, false);
  EXPECT_EQ(file("t/1.xml"),
            header + "<row><alias>40</alias><domain>7</domain><name>a</name></row>");
  EXPECT_FALSE(t.is_dirty(id));
  // Deleting a missing row: no file work, no trigger; deleting a row removes its file, notifies.
  mfs.files["t/9.xml"] = "keep";
  t.delete_row(9);
  t.delete_row(id);
  EXPECT_EQ(file("t/9.xml") + file("t/1.xml") + " " + fired, "keep<missing> t:1 t:1 t:1 t:1 ");
  // A non-persistent table never touches files and never calls its trigger.
  table m(false);
  define(m);
  m.set_trigger(trigger);
  m.read_table("m");
  const std::string before = fired;
  const size_t files = mfs.files.size();
  int mid = m.add_row();
  m.set(mid, "name", "x");
  m.delete_row(mid);
  m.set(5, "name", "y");
  EXPECT_TRUE(fired == before && mfs.files.size() == files);
  EXPECT_FALSE(mfs.is_dir("m"));
  // dont_create: writes to missing rows are dropped and logged.
  table n(false);
  define(n);
  n.dont_create();
  n.set(4, "name", "x");
  EXPECT_FALSE(n.has_row(4));
  EXPECT_TRUE(log.contains("Writing to row that does not exist, ignoring request"));
  int nid = n.add_row(false);
  n.set(nid, "name", "ok");
  EXPECT_EQ(n.get(nid, "name"), "ok");
}

// Any row file loads, saves and loads again with the same values in either format: row_file_fuzz.
TEST_F(TableTest, ExactFileFormats) {
  table& t = open("t");
  t.set(3, "name", "a<b>&'\"", false);
  t.set(3, "alias", "x\r\ny", false);
  t.write_row(3, false);
  EXPECT_EQ(file("t/3.xml"),
            header + "<row><alias>x\r\ny</alias><name>a&lt;b&gt;&amp;&apos;&quot;</name></row>");
  EXPECT_EQ(file("t/index.txt"), "4");
  table& b = open("b", true);
  int id = b.add_row(false);
  b.set(id, "name", "n1");
  b.set(id, "domain", std::string(300, 'd').c_str());
  EXPECT_EQ(file("b/1.xml"), "TLVB" + tlv("domain", std::string(300, 'd')) + tlv("name", "n1"));
  t.write_description();
  EXPECT_EQ(file("t/table.xml"), description);
  table d(true);
  d.set_name("t");
  d.read_description();
  EXPECT_TRUE(d.column_names().size() == 3 && d.is_indexed("name") && !d.is_indexed("alias"));
  EXPECT_EQ(t.serialize(),
            "<DeleteTable table=\"t\"/><SetEntry table=\"t\" row=\"3\"><Column "
            "name=\"alias\">x\r\ny</Column><Column name=\"domain\"></Column><Column "
            "name=\"name\">a&lt;b&gt;&amp;&apos;&quot;</Column></SetEntry>");
  t.add_column("domain", true);
  EXPECT_EQ(t.get_info(), "idx=4 size=1 col=3 1 1 1 1");
}

TEST_F(TableTest, LoadsEitherFormatAndSurvivesBadFiles) {
  put("t/1.xml", "TLVB" + tlv("name", "bin") + tlv("alias", "7"));
  put("t/2.xml", header + "<row><name>xml&amp;</name><unknown>z</unknown><alias/></row>");
  put("t/3.xml", header + "<row/>");
  put("t/4.xml", "TLVB" + tlv("name", "cut") + tlv("alias", "truncated").substr(0, 9));
  put("t/5.xml", header + "<row><name>partial</name><alias>tor");
  put("t/6.xml", "garbage \x01\x02 not xml");
  put("t/7.xml", header + "<table><name>wrong root</name></table>");
  put("t/8.xml", "");
  put("t/9.xml", "TLVB\xff\xff");
  put("t/10.xml", std::string("TLVB") + tlv("", "empty name") + tlv("name", "after"));
  put("t/x.xml", header + "<row><name>skipped</name></row>");
  put("t/11.xml.bak", header + "<row><name>skipped</name></row>");
  put("t/0.xml", header + "<row><name>skipped</name></row>");
  put("t/012.xml", header + "<row><name>twelve</name></row>");
  put("t/.13.xml.0.tmp", "leftover");
  table& p = open("t");
  // "012.xml" names row 12, whose file is "12.xml"; "0.xml", "8.xml" and the others are no rows.
  EXPECT_EQ(rows(p), "1:bin//7 2:xml&// 3:// 4:cut// 5:partial//tor 6:// 7:// 9:// 10:after// ");
  EXPECT_EQ(file("t/.13.xml.0.tmp"), "<missing>");
  for (int id : {1, 2, 3, 4, 5}) EXPECT_FALSE(p.is_dirty(id));
  EXPECT_EQ(p.first("name", "partial"), 5);
  // The unknown column is dropped when the row is saved again.
  p.set(2, "alias", "9");
  EXPECT_EQ(file("t/2.xml"), header + "<row><alias>9</alias><name>xml&amp;</name></row>");
  // A binary table loads XML rows and rewrites them as TLVB.
  table& b = open("t", true);
  EXPECT_EQ(b.get(2, "name"), "xml&");
  b.set(2, "alias", "1");
  EXPECT_EQ(file("t/2.xml"), "TLVB" + tlv("alias", "1") + tlv("name", "xml&"));
}

TEST_F(TableTest, IndexOrderAmongEqualValuesAndAfterRestart) {
  table& t = open("t");
  t.set(5, "name", "same");
  t.set(2, "name", "same");
  t.set(9, "name", "same");
  t.set(3, "name", "other");
  t.set(3, "domain", "same");
  // Index order: the row that got the value first; unindexed columns: id order.
  t.set(7, "domain", "same");
  EXPECT_EQ(walk(t, "name", "same"), "5 2 9 / 9 2 5");
  EXPECT_EQ(walk(t, "domain", "same"), "3 7 / 7 3");
  EXPECT_EQ(t.count("name", "same"), 3);
  // Case matters for values and column names.
  EXPECT_TRUE(t.first("name", "SAME") == 0 && t.first("Name", "same") == 0 &&
              t.get(5, "NAME").empty());
  // Re-setting a value moves the row to the end of its equal values.
  t.set(5, "name", "same");
  EXPECT_EQ(walk(t, "name", "same"), "2 9 5 / 5 9 2");
  // After a restart the order is the directory-listing order (byte-wise names).
  table& r = open("t");
  EXPECT_EQ(walk(r, "name", "same"), "2 5 9 / 9 5 2");
  r.set(10, "name", "same");
  EXPECT_EQ(walk(open("t"), "name", "same"), "10 2 5 9 / 9 5 2 10");  // "10.xml" < "2.xml"
}

TEST_F(TableTest, Lookups) {
  table t(false);
  define(t);
  for (int i = 1; i <= 10; i++) {
    t.set(i, "name", i % 2 ? "odd" : "even", false);
    t.set(i, "domain", i <= 5 ? "1" : "2", false);
    t.set(i, "alias", str::sprintf("%d", 100 + i), false);
  }
  EXPECT_EQ(t.first("name", "odd", "domain", "2"), 7);
  EXPECT_EQ(t.last("name", "odd", "domain", "1"), 5);
  EXPECT_EQ(t.search("name", "even", "domain", "2", "alias", "110"), 10);
  EXPECT_EQ(t.search("name", "even", "domain", "2", "alias", "111"), 0);
  EXPECT_EQ(t.count("name", "odd", "domain", "1"), 3);
  EXPECT_EQ(t.count("domain", "2"), 5);
  EXPECT_EQ(t.count("nope", "2"), 0);
  EXPECT_EQ(t.first("nope", ""), 0);
  EXPECT_EQ(t.search_list(3, 2, false), (std::set<int>{3, 4, 5}));
  EXPECT_EQ(t.search_list(3, 2, true), (std::set<int>{6, 7, 8}));
  EXPECT_EQ(t.search_list("name", "odd", 2, 1, false), (std::set<int>{3, 5}));
  EXPECT_EQ(t.search_list("name", "odd", 2, 1, true), (std::set<int>{5, 7}));
  EXPECT_EQ(t.search_list("name", "odd", "domain", "2", table::all, 0, false),
            (std::set<int>{7, 9}));
  EXPECT_EQ(t.search_list("name", "odd", "domain", "2", "alias", "109", table::all, 0, true),
            (std::set<int>{9}));
  std::map<str, str> row{{"x", "y"}};
  t.get(40, row);  // no row, no cells (a row's: CellsKeepNoWindowOnLargeTexts)
  EXPECT_TRUE(row.empty());
  t.set(4, std::map<str, str>{{str("name"), str("x")}, {str("bogus"), str("y")}});
  EXPECT_EQ(t.get(4, "name"), "x");
  t.delete_row("name", "odd", "domain", "1");
  EXPECT_EQ(t.count("name", "odd"), 2);
  t.delete_row("name", "odd");
  EXPECT_EQ(t.size(), 5);
  // Dropping an index keeps the lookups working by scan.
  t.add_column("name", false);
  EXPECT_FALSE(t.is_indexed("name"));
  EXPECT_EQ(t.first("name", "even"), 2);
}

// A lookup-only index (agreeing with a scan: the property below) survives a reload of the rows
// and add_column(column, false), and never shows in the stored description.
TEST_F(TableTest, LookupIndexIsMemoryOnly) {
  table& t = open("t");
  t.add_lookup("alias");
  t.add_column("alias", false);  // as a configuration reload does
  for (const char* a : {"1", "2", "1", "1"}) t.set(t.add_row(), "alias", a);
  t.set(1, "alias", "2");
  EXPECT_EQ(walk(t, "alias", "1"), "3 4 / 4 3");
  t.write_description();
  EXPECT_EQ(file("t/table.xml"), description);
  t.read_table("t");
  EXPECT_EQ(walk(t, "alias", "2") + " " + t.get_info().c_str(),
            "1 2 / 2 1 idx=5 size=4 col=3 4 4 4 4");  // two indexes: name's and the lookup
  t.add_column("alias", true);                        // declared now: stored as indexed
  EXPECT_TRUE(t.is_indexed("alias"));
}

// The throttled load is PersistenceTest.DeferredLoadOfTheLargeTables's.
TEST_F(TableTest, DeleteAll) {
  table& t = open("t");
  t.set_trigger(trigger);
  for (int i = 0; i < 25; i++) t.set(t.add_row(false), "name", "v");
  fired.clear();
  t.delete_row();
  EXPECT_EQ(std::count(fired.begin(), fired.end(), ' '), 25);
  EXPECT_EQ(ids(t, "t") + " " + file("t/1.xml") + " " + std::to_string(t.count("name", "v")),
            "0 1 1 <missing> 0");
  EXPECT_EQ(t.add_row(), 1);
}

TEST_F(TableTest, WriteFailuresKeepMemoryAuthoritativeAndHeal) {
  table& t = open("t");
  int id = t.add_row();
  t.set(id, "name", "v1");
  ASSERT_EQ(file("t/1.xml"), header + "<row><name>v1</name></row>");
  // A failing (torn) write never damages the stored file; memory keeps the new value.
  mfs.torn_bytes = 10;
  mfs.fail_writes("1.xml", 1);
  t.set(id, "name", "v2");
  EXPECT_EQ(std::string(t.get(id, "name").view()) + " " + file("t/1.xml"),
            "v2 " + header + "<row><name>v1</name></row>");
  EXPECT_TRUE(log.contains("Could not write t/1.xml"));
  // A failed rename likewise.
  mfs.fail_renames("1.xml", 1);
  t.set(id, "alias", "a");
  EXPECT_EQ(file("t/1.xml"), header + "<row><name>v1</name></row>");
  // The next successful write of the row carries every change made meanwhile.
  t.set(id, "domain", "d");
  EXPECT_EQ(file("t/1.xml"),
            header + "<row><alias>a</alias><domain>d</domain><name>v2</name></row>");
  // A failed index write is retried at the next change of next_index.
  mfs.fail_writes("index.txt", 1);
  t.add_row(false);
  EXPECT_EQ(file("t/index.txt"), "2");
  t.add_row(false);
  EXPECT_EQ(file("t/index.txt"), "4");
  for (auto& [name, bytes] : mfs.files) EXPECT_EQ(name.find(".tmp"), std::string::npos) << name;
  // Reload shows exactly what reached the disk.
  table& r = open("t");
  EXPECT_EQ(std::string(r.get(1, "name").view()) + " " + std::to_string(r.get_index()), "v2 4");
}

// Property: every index (declared, or lookup-only) holds exactly one entry per row under the
// row's current value, and the indexed lookups agree with the unindexed ones as sets.
TEST_F(TableTest, IndexedAndScannedLookupsAgree) {
  EXPECT_TRUE(
      rc::check([](const std::vector<std::tuple<uint8_t, uint8_t, uint8_t>>& ops, bool lookup) {
        table a(false), b(false);
        a.add_column("k", !lookup);
        a.add_column("v", false);
        if (lookup) a.add_lookup("k"), a.add_column("k", false);  // false: as a reload does
        b.add_column("k", false);
        b.add_column("v", false);
        const char* vals[] = {"", "a", "b", "ab", "B"};
        for (auto [op, id, v] : ops) {
          int rid = id % 12;
          str val(vals[v % 5]);
          switch (op % 4) {
            case 0:
            case 1:
              a.set(rid, "k", val, false);
              b.set(rid, "k", val, false);
              break;
            case 2:
              a.delete_row(rid);
              b.delete_row(rid);
              break;
            case 3:
              RC_ASSERT(a.add_row(false) == b.add_row(false));
              break;
          }
        }
        RC_ASSERT(a.size() == b.size());
        for (const char* s : vals) {
          str val(s);
          RC_ASSERT(a.count("k", val) == b.count("k", val));
          RC_ASSERT(a.search_list("k", val, table::all, 0, false) ==
                    b.search_list("k", val, table::all, 0, false));
          int f = a.first("k", val);
          RC_ASSERT((f == 0) == (b.first("k", val) == 0));
          if (f) RC_ASSERT(a.get(f, "k") == val);
          // Walking the index with next(id, col) visits every matching row once.
          std::set<int> seen;
          for (int id = f; id; id = a.next(id, "k")) RC_ASSERT(seen.insert(id).second);
          RC_ASSERT(seen == b.search_list("k", val, table::all, 0, false));
        }
        std::string info(a.get_info().view());
        std::string n = std::to_string(a.size());
        RC_ASSERT(info.size() >= 2 * n.size());
        RC_ASSERT(info.substr(info.size() - (2 * n.size() + 1)) == n + " " + n);
      }));
}

}  // namespace

// A value set from a window on a large text (a configuration script) keeps a buffer of its own,
// an indexed value that another row holds shares that row's; values set, cleared and set
// again in any column order read back as set; a written row's other values share one buffer.
TEST_F(TableTest, CellsKeepNoWindowOnLargeTexts) {
  table t(false);
  define(t);
  str script = str('x', 100000) + "alice" + "example.com";
  t.set(4, "name", script.substr(100000, 5), false);
  t.set(4, "alias", script.substr(100005, 11), false);
  t.set(4, "domain", "d", false);
  t.set(4, "domain", "", false);
  EXPECT_FALSE(t.get(4, "name").shares_with(script));
  EXPECT_FALSE(t.get(4, "alias").shares_with(script));
  EXPECT_EQ(t.first("name", "alice"), 4);
  t.set(5, "name", str("alice"), false);  // an indexed value held before: one buffer for both
  EXPECT_TRUE(t.get(5, "name").shares_with(t.get(4, "name")));
  std::map<str, str> row;
  t.get(4, row);
  EXPECT_EQ(row, (std::map<str, str>{{"alias", "example.com"}, {"domain", ""}, {"name", "alice"}}));

  // Once a row is written, its values outside the indexes share one buffer.
  table p(true);
  define(p);
  p.read_table("p");
  p.set(1, "name", "n1", false);
  p.set(1, "domain", "d1", false);
  p.set(1, "alias", "a1", true);
  EXPECT_TRUE(p.get(1, "domain").shares_with(p.get(1, "alias")));
  EXPECT_FALSE(p.get(1, "name").shares_with(p.get(1, "alias")));
  EXPECT_EQ(file("p/1.xml"),
            header + "<row><alias>a1</alias><domain>d1</domain><name>n1</name></row>");
}
