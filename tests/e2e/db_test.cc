// The data store seen from outside: the first start with --default builds a working
// configuration on disk, and a SIGKILL in the middle of a burst of row writes leaves only whole
// row files, from which the next start comes up.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include "tests/e2e/harness.h"

namespace {

namespace fsys = std::filesystem;

// Row files (N.xml) of a table directory.
std::vector<fsys::path> row_files(const std::string& dir) {
  std::vector<fsys::path> out;
  std::error_code ec;
  for (const auto& e : fsys::directory_iterator(dir, ec)) {
    std::string n = e.path().filename().string();
    if (n.size() > 4 && n.substr(n.size() - 4) == ".xml" && n[0] >= '1' && n[0] <= '9') {
      out.push_back(e.path());
    }
  }
  return out;
}

const std::string declaration = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n";

}  // namespace

TEST(DataStoreE2E, FirstStartWithDefaultConfiguration) {
  e2e::telmond_options o;
  o.use_default_config();
  e2e::telmond_process t(o);
  ASSERT_TRUE(t.start_with_accounts()) << t.error();
  ASSERT_TRUE(t.wait_for_file("domains/1.xml", "<name>localhost</name>", 5000));
  EXPECT_NE(t.read_file("domains/1.xml").find("<code_park>*85</code_park>"), std::string::npos);
  for (int i = 1; i <= 6; i++) {
    std::string ext = t.read_file("extensions/" + std::to_string(i) + ".xml");
    EXPECT_EQ(ext.rfind(declaration, 0), 0u);
    EXPECT_NE(ext.find("<password>sip" + std::to_string(99 + i) + "</password>"),
              std::string::npos);
    EXPECT_NE(t.read_file("user_alias/" + std::to_string(i) + ".xml")
                  .find("<name>" + std::to_string(99 + i) + "</name>"),
              std::string::npos);
  }
  EXPECT_EQ(t.read_file("users/index.txt"), "7");
  EXPECT_TRUE(t.file_exists("mohs/1.xml"));
  EXPECT_TRUE(t.wait_for_log("Restoring default configuration", 5000));
  std::map<std::string, std::string> files = t.tables();
  t.stop();

  // The next start finds its domain and does not make another one.
  e2e::telmond_options again;
  again.files = files;
  e2e::telmond_process r(again);
  ASSERT_TRUE(r.start()) << r.error();
  EXPECT_FALSE(r.wait_for_log("No domain found, creating default domain", 1500));
  EXPECT_FALSE(r.file_exists("domains/2.xml"));
  EXPECT_EQ(r.read_file("extensions/1.xml"), files["extensions/1.xml"]);
}

TEST(DataStoreE2E, KillDuringABurstOfWritesLeavesWholeFiles) {
  // A default configuration of 4000 accounts: 12000 row files written one after another.
  const int accounts = 4000;
  std::string script = "<?xml version=\"1.0\" standalone=\"yes\"?>\r\n<Config>";
  script +=
      "<SetEntry table=\"domains\" row=\"1\"><Column name=\"name\">burst.example</Column>"
      "</SetEntry>";
  for (int i = 1; i <= accounts; i++) {
    std::string n = std::to_string(i), ext = std::to_string(1000 + i);
    script += "<SetEntry table=\"users\" row=\"" + n + "\"><Column name=\"domain\">1</Column>" +
              "<Column name=\"type\">extensions</Column><Column name=\"id\">" + n +
              "</Column></SetEntry>";
    script += "<SetEntry table=\"user_alias\" row=\"" + n + "\"><Column name=\"user\">" + n +
              "</Column><Column name=\"domain\">1</Column><Column name=\"name\">" + ext +
              "</Column></SetEntry>";
    script += "<SetEntry table=\"extensions\" row=\"" + n + "\"><Column name=\"password\">secret-" +
              ext + "-" + std::string(200, 'x') + "</Column></SetEntry>";
  }
  script += "</Config>";

  e2e::telmond_options o;
  o.files["burst.xml"] = script;
  o.args = {"--default", "burst.xml"};
  o.wait_until_serving = false;
  e2e::telmond_process t(o);
  ASSERT_TRUE(t.start()) << t.error();
  // Kill as soon as the burst is under way.
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (row_files(t.dir() + "/users").size() < 50 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  ASSERT_EQ(kill(t.pid(), SIGKILL), 0);
  t.wait_exit(5000);
  size_t written = row_files(t.dir() + "/extensions").size();
  EXPECT_LT(written, static_cast<size_t>(accounts)) << "the kill came after the burst";
  RecordProperty("extension_rows_at_kill", static_cast<int>(written));

  // Every row file that exists is whole: the declaration, one row element, nothing cut off.
  size_t checked = 0;
  for (const char* table : {"domains", "users", "user_alias", "extensions"}) {
    for (const auto& p : row_files(t.dir() + "/" + table)) {
      std::string bytes = e2e::slurp(p.string());
      EXPECT_EQ(bytes.rfind(declaration + "<row>", 0), 0u) << p;
      EXPECT_EQ(bytes.substr(bytes.size() - 6), "</row>") << p;
      checked++;
    }
  }
  EXPECT_GT(checked, 50u);
  RecordProperty("row_files_checked", static_cast<int>(checked));

  // The next start comes up from what is on disk, keeps the restored domain and clears away
  // the temporary files of the interrupted writes.
  std::map<std::string, std::string> files = t.tables();
  t.stop();
  e2e::telmond_options again;
  again.files = files;
  e2e::telmond_process r(again);
  ASSERT_TRUE(r.start()) << r.error();
  EXPECT_FALSE(r.wait_for_log("No domain found, creating default domain", 1500));
  for (const char* table : {"users", "user_alias", "extensions"}) {
    std::error_code ec;
    for (const auto& e : fsys::directory_iterator(r.dir() + "/" + table, ec)) {
      std::string n = e.path().filename().string();
      EXPECT_EQ(n.find(".tmp"), std::string::npos) << n;
    }
  }
}
