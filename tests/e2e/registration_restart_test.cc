// A registered telephone stays registered across a restart of the daemon: its registrations
// row is kept, and the binding ends when its date passes, as if the daemon had never stopped.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "tests/e2e/harness.h"

namespace {

// REGISTER, challenged, then answered with the credentials of the users.csv line.
std::string scenario() {
  std::string head =
      "REGISTER sip:[remote_ip]:[remote_port] SIP/2.0\n"
      "Via: SIP/2.0/[transport] [local_ip]:[local_port];branch=[branch];rport\n"
      "From: <sip:[field0]@localhost>;tag=[pid]SIPpTag00[call_number]\n"
      "To: <sip:[field0]@localhost>\n"
      "Call-ID: [call_id]\n";
  std::string tail =
      "Contact: <sip:[field0]@[local_ip]:[local_port]>\nExpires: 3600\nMax-Forwards: 70\n"
      "User-Agent: sipp\nContent-Length: 0\n\n";
  return "<?xml version=\"1.0\" encoding=\"ISO-8859-1\" ?>\n<scenario name=\"register\">\n"
         "<send retrans=\"500\"><![CDATA[\n" +
         head + "CSeq: 1 REGISTER\n" + tail +
         "]]></send>\n<recv response=\"401\" auth=\"true\"/>\n"
         "<send retrans=\"500\"><![CDATA[\n" +
         head + "CSeq: 2 REGISTER\n[authentication username=\"[field0]\" password=\"[field1]\"]\n" +
         tail + "]]></send>\n<recv response=\"200\"/>\n</scenario>\n";
}

int run_sipp(const e2e::telmond_process& t, const std::string& source_ip) {
  std::string dir = t.dir() + "/sipp";
  std::system(("mkdir -p " + dir).c_str());
  std::ofstream(dir + "/scenario.xml") << scenario();
  std::ofstream(dir + "/users.csv") << "SEQUENTIAL\n100;sip100;\n";
  std::string cmd = "cd " + dir +
                    " && timeout 30 sipp 127.0.0.1:" + std::to_string(t.ports().sip_udp) +
                    " -sf scenario.xml -inf users.csv -i " + source_ip + " -p " +
                    std::to_string(e2e::free_port()) +
                    " -m 1 -l 1 -timeout 20s -recv_timeout 5000 -nostdin > sipp.out 2>&1";
  int rc = std::system(cmd.c_str());
  return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

// The tables of a stopped daemon's working directory, as files for the next start.
std::map<std::string, std::string> tables_of(const std::string& dir) {
  namespace fs = std::filesystem;
  std::map<std::string, std::string> files;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(dir, ec);
       it != fs::recursive_directory_iterator(); it.increment(ec)) {
    if (ec || !it->is_regular_file()) continue;
    std::string rel = fs::relative(it->path(), dir).string();
    if (rel.find('/') == std::string::npos || rel.starts_with("sipp/")) continue;
    files[rel] = e2e::slurp(it->path().string());
  }
  return files;
}

TEST(RegistrationRestartE2E, BindingIsKeptUntilItsDate) {
  e2e::telmond_options o;
  o.use_default_config();
  // 5 seconds granted: the row's date is 20 seconds after the registration.
  o.settings["min_expires"] = "5";
  o.settings["max_expires"] = "5";
  e2e::telmond_process first(o);
  ASSERT_TRUE(first.start()) << first.error();
  ASSERT_TRUE(first.wait_for_file("user_alias/1.xml", "<name>100</name>", 5000));
  ASSERT_EQ(run_sipp(first, "127.0.0.31"), 0) << first.read_file("sipp/sipp.out");
  // The row was queued for writing before the 200 left; stopping (SIGTERM) writes it, so the
  // test does not wait for the file.
  first.stop();
  EXPECT_NE(first.read_file("registrations/1.xml").find("<contact>"), std::string::npos);
  EXPECT_TRUE(first.wait_for_log("Stopping on signal 15", 0));

  e2e::telmond_options again = o;
  for (auto& [name, content] : tables_of(first.dir())) again.files[name] = content;
  ASSERT_EQ(again.files.count("registrations/1.xml"), 1u);
  e2e::telmond_process second(again);
  ASSERT_TRUE(second.start()) << second.error();
  // The row survived the start-up ...
  std::string row = second.read_file("registrations/1.xml");
  EXPECT_NE(row.find("127.0.0.31"), std::string::npos) << row;
  // ... and the restored binding ends it at its date, with the usual log line.
  EXPECT_TRUE(second.wait_for_log("Registration for account 100 expired, removing contact", 30000));
  for (int i = 0; i < 50 && second.file_exists("registrations/1.xml"); i++) usleep(100000);
  EXPECT_FALSE(second.file_exists("registrations/1.xml"));
}

}  // namespace
