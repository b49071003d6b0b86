// What an operator's files go through: a backup restored from the command line, the modes of
// the files that hold secrets, a settings file kept behind a symbolic link, a settings file
// broken by hand, an impossible port, and settings of an older layout moved into the domains.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>

#include "tests/e2e/harness.h"

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
// behind a symbolic link with mode 0640, and restarts twice. Saves go through the link and keep
// its mode, and the per-domain value survives both restarts.
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

  for (int restart = 1; restart <= 2; restart++) {
    SCOPED_TRACE(restart);
    ASSERT_TRUE(t.restart()) << t.error();
    t.stop();
    EXPECT_NE(t.read_file("domains/1.xml").find("<mailbox_call>per-domain</mailbox_call>"),
              std::string::npos);
    EXPECT_TRUE(fsys::is_symlink(t.dir() + "/pbx.xml"));
    EXPECT_EQ(mode_of(t.dir() + "/managed/pbx.xml"), 0640);
    EXPECT_NE(t.read_file("managed/pbx.xml").find("<version>2.0.4</version>"), std::string::npos);
  }
}

// A settings file cut off by an editor is kept beside, byte for byte, with a level-0 line, and
// the daemon goes on with the defaults instead of saving them over it.
TEST(OperatorFilesE2E, MalformedSettingsFileIsKeptBeside) {
  // With the defaults it listens on the well-known SIP ports: no HTTP, and stopped at once.
  e2e::telmond_options o;
  o.args = {"--http-port", "0", "--https-port", "0"};
  e2e::telmond_process t(o);
  ASSERT_TRUE(t.start()) << t.error();
  t.stop();
  std::string settings = t.read_file("pbx.xml");
  std::string cut = settings.substr(0, settings.size() / 2);
  write_file(t.dir() + "/pbx.xml", cut);
  ASSERT_TRUE(t.restart(false)) << t.error();
  ASSERT_TRUE(t.wait_for_log("Settings file pbx.xml cannot be used because it is not valid", 5000))
      << t.stderr_text();
  t.stop();
  std::string kept;
  for (const auto& e : fsys::directory_iterator(t.dir())) {
    if (e.path().filename().string().rfind("pbx.xml.bad-", 0) == 0) kept = e.path().string();
  }
  ASSERT_FALSE(kept.empty());
  EXPECT_EQ(e2e::slurp(kept), cut);
  EXPECT_TRUE(t.wait_for_log("it was kept as " + fsys::path(kept).filename().string(), 0));
}

// Port numbers that no socket can have are refused with a line that names them, like a port
// that cannot be opened, instead of being wrapped to some other port.
TEST(OperatorFilesE2E, ImpossibleHttpPortsAreRefused) {
  struct port_case {
    const char* setting;
    std::vector<std::string> args;
    const char* logged;
  } cases[] = {
      {"70000", {}, "HTTP: Port number 70000 of ip_http_port is invalid"},
      {"8o8o", {}, "HTTP: Port number 8o8o of ip_http_port is invalid"},
      {nullptr, {"--http-port", "70001"}, "HTTP: Port number 70001 of ip_http_port is invalid"},
  };
  for (const port_case& c : cases) {
    SCOPED_TRACE(c.logged);
    e2e::telmond_options o;
    if (c.setting) o.settings["ip_http_port"] = c.setting;
    o.args = c.args;
    o.wait_until_serving = false;
    e2e::telmond_process t(o);
    ASSERT_TRUE(t.start()) << t.error();
    EXPECT_EQ(t.wait_exit(10000), 1) << t.stderr_text();
    EXPECT_TRUE(t.wait_for_log(c.logged, 0)) << t.stderr_text();
    EXPECT_NE(t.read_file("pbx_startup_err.txt").find("FATAL: Could not open TCP port"),
              std::string::npos);
  }
}
