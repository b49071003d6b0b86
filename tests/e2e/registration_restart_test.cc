// A registered telephone stays registered across a restart of the daemon: its registrations
// row is kept, and the binding ends when its date passes, as if the daemon had never stopped.
#include <gtest/gtest.h>

#include <string>

#include "tests/e2e/harness.h"

namespace {

TEST(RegistrationRestartE2E, BindingIsKeptUntilItsDate) {
  e2e::telmond_options o;
  o.use_default_config();
  // 5 seconds granted: the row's date is 20 seconds after the registration.
  o.settings["min_expires"] = "5";
  o.settings["max_expires"] = "5";
  e2e::telmond_process first(o);
  ASSERT_TRUE(first.start_with_accounts()) << first.error();
  const std::string scenario = e2e::sipp_challenged(
      "REGISTER",
      "Contact: <sip:[field0]@[local_ip]:[local_port]>\nExpires: 3600\nContent-Length: 0\n\n",
      "<recv response=\"200\"/>\n");
  ASSERT_EQ(e2e::run_sipp(first, "register", "127.0.0.31", scenario, "100;sip100;"), 0)
      << first.read_file("sipp-register/sipp.out");
  // The row was queued for writing before the 200 left; stopping (SIGTERM) writes it, so the
  // test does not wait for the file.
  first.stop();
  EXPECT_NE(first.read_file("registrations/1.xml").find("<contact>"), std::string::npos);
  EXPECT_TRUE(first.wait_for_log("Stopping on signal 15", 0));

  e2e::telmond_options again = o;
  for (auto& [name, content] : first.tables()) again.files[name] = content;
  ASSERT_EQ(again.files.count("registrations/1.xml"), 1u);
  e2e::telmond_process second(again);
  ASSERT_TRUE(second.start()) << second.error();
  // The row survived the start-up ...
  std::string row = second.read_file("registrations/1.xml");
  EXPECT_NE(row.find("127.0.0.31"), std::string::npos) << row;
  // ... and the restored binding ends it at its date, with the usual log line.
  EXPECT_TRUE(second.wait_for_log("Registration for account 100 expired, removing contact", 30000));
  EXPECT_TRUE(second.wait_until_gone("registrations/1.xml", 5000));
}

}  // namespace
