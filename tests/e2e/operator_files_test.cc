// What an operator's files go through: a backup restored from the command line, the modes of
// the files that hold secrets, a settings file kept behind a symbolic link, settings of an older
// layout moved into the domains, and a kill in the middle of a burst of writes. (A settings file
// broken by hand is kept beside, proved in frame/settings_test.cc.)
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <thread>

#include "tests/e2e/harness_phones.h"

namespace {

namespace fsys = std::filesystem;

int mode_of(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 ? static_cast<int>(st.st_mode & 07777) : -1;
}

void write_file(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

// Replaces the first match of pattern in a file of the working directory.
void edit(const e2e::telmond_process& t, const std::string& file, const std::string& pattern,
          const std::string& replacement) {
  std::string path = t.dir() + "/" + file;
  write_file(path, std::regex_replace(e2e::slurp(path), std::regex(pattern), replacement,
                                      std::regex_constants::format_first_only));
}

// Row files (N.xml) of a table directory.
std::vector<fsys::path> row_files(const std::string& dir) {
  std::vector<fsys::path> out;
  std::error_code ec;
  for (const auto& e : fsys::directory_iterator(dir, ec)) {
    const std::string n = e.path().filename().string();
    if (n.ends_with(".xml") && n[0] >= '1' && n[0] <= '9') out.push_back(e.path());
  }
  return out;
}

const std::string declaration = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n";

}  // namespace

// A GNU tar of a working directory with 3 MB of recordings (over max_tar, which guards uploads
// only), named with --default in an empty directory: the tables, the recording and the
// settings come back, and the daemon serves SIP on the port the archive's pbx.xml names.
TEST(OperatorFilesE2E, TarBackupFromTheCommandLineRestoresSettingsAndRecordings) {
  e2e::telmond_options o;
  o.use_default_config();
  e2e::telmond_process first(o);
  ASSERT_TRUE(first.start()) << first.error();
  ASSERT_TRUE(first.wait_for_file("extensions/6.xml", "", 5000));
  first.stop();
  const std::string recording(3 << 20, 'r');
  fsys::create_directories(first.dir() + "/recordings");
  write_file(first.dir() + "/recordings/msg1.wav", recording);
  std::string tar = first.dir() + ".tar";
  // pbx.xml last, as a directory listing may well put it, behind the large recording.
  ASSERT_EQ(std::system(("cd " + first.dir() + " && tar -cf " + tar +
                         " $(ls | grep -v -e '^pbx.xml$' -e '^std...\\.txt$') pbx.xml")
                            .c_str()),
            0);

  e2e::telmond_options r;
  r.files["backup.tar"] = e2e::slurp(tar);
  fsys::remove(tar);
  r.args = {"--default", "backup.tar"};
  r.wait_until_serving = false;  // it serves on the archive's ports, not on the ones given
  e2e::telmond_process second(r);
  ASSERT_TRUE(second.start()) << second.error();
  EXPECT_TRUE(e2e::stun_answered_on(first.ports().sip_udp, 15000)) << second.stderr_text();
  EXPECT_EQ(second.read_file("recordings/msg1.wav"), recording);
  EXPECT_NE(second.read_file("pbx.xml").find("<ip_sip_udp_port>" +
                                             std::to_string(first.ports().sip_udp) + "<"),
            std::string::npos);
  EXPECT_EQ(second.read_file("extensions/1.xml"), first.read_file("extensions/1.xml"));
  EXPECT_FALSE(second.file_exists("domains/2.xml"));
}

// An operator's year: the first start creates every file private to the daemon's user; an
// upgrade brings a pbx.xml of an older layout whose mailbox_call moves into the domain; the
// operator changes the domain's value, keeps pbx.xml in a folder of configuration management
// behind a symbolic link with mode 0640, and restarts. The save goes through the link and keeps
// its mode, and the per-domain value survives the restarts.
TEST(OperatorFilesE2E, SecretsStayPrivateAndOperatorChangesSurviveRestarts) {
  e2e::telmond_options o;
  o.use_default_config();
  e2e::telmond_process t(o);
  ASSERT_TRUE(t.start()) << t.error();
  ASSERT_TRUE(t.wait_for_file("certificates/1.xml", "", 5000));
  ASSERT_TRUE(t.wait_for_file("extensions/6.xml", "", 5000));
  t.stop();
  for (const char* dir : {"domains", "extensions", "certificates", "user_alias"}) {
    EXPECT_EQ(mode_of(t.dir() + "/" + dir), 0700) << dir;
  }
  for (const char* file : {"extensions/1.xml", "certificates/1.xml", "users/index.txt"}) {
    EXPECT_EQ(mode_of(t.dir() + "/" + file), 0600) << file;
  }

  edit(t, "pbx.xml", "</pbx-config>", "<mailbox_call>from-pbx-xml</mailbox_call></pbx-config>");
  ASSERT_TRUE(t.restart()) << t.error();
  t.stop();
  EXPECT_NE(t.read_file("domains/1.xml").find("<mailbox_call>from-pbx-xml</mailbox_call>"),
            std::string::npos);
  EXPECT_EQ(t.read_file("pbx.xml").find("mailbox_call"), std::string::npos);

  edit(t, "domains/1.xml", "from-pbx-xml", "per-domain");
  fsys::create_directories(t.dir() + "/managed");
  fsys::rename(t.dir() + "/pbx.xml", t.dir() + "/managed/pbx.xml");
  ASSERT_EQ(chmod((t.dir() + "/managed/pbx.xml").c_str(), 0640), 0);
  ASSERT_EQ(symlink("managed/pbx.xml", (t.dir() + "/pbx.xml").c_str()), 0);
  // An old version number makes the start save the settings file.
  edit(t, "managed/pbx.xml", "<version>[^<]*</version>", "<version>1.0.0</version>");

  ASSERT_TRUE(t.restart()) << t.error();
  t.stop();
  EXPECT_NE(t.read_file("domains/1.xml").find("<mailbox_call>per-domain</mailbox_call>"),
            std::string::npos);
  EXPECT_TRUE(fsys::is_symlink(t.dir() + "/pbx.xml"));
  EXPECT_EQ(mode_of(t.dir() + "/managed/pbx.xml"), 0640);
  EXPECT_NE(t.read_file("managed/pbx.xml").find("<version>2.0.4</version>"), std::string::npos);
}

// A SIGKILL in the middle of a burst of row writes leaves only whole row files, from which the
// next start comes up.
TEST(OperatorFilesE2E, KillDuringABurstOfWritesLeavesWholeFiles) {
  // A default configuration of 4000 accounts: 12000 row files written one after another.
  const int accounts = 4000;
  std::string script = "<?xml version=\"1.0\" standalone=\"yes\"?>\r\n<Config>" +
                       e2e::row("domains", 1, {{"name", "burst.example"}});
  for (int i = 1; i <= accounts; i++) {
    const std::string n = std::to_string(i), ext = std::to_string(1000 + i);
    script +=
        e2e::row("users", i, {{"domain", "1"}, {"type", "extensions"}, {"id", n}}) +
        e2e::row("user_alias", i, {{"user", n}, {"domain", "1"}, {"name", ext}}) +
        e2e::row("extensions", i, {{"password", "secret-" + ext + "-" + std::string(200, 'x')}});
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
