// Telephones register: sipp registers and subscribes with accounts of the default
// configuration with digest authentication over UDP and TCP, and the registrations rows appear
// and disappear as it asks; baresip registers over UDP, TCP and TLS; a binding outlives a
// restart of the daemon until its date. The registrar's rules (refusals, NAT, nonces, granted
// expiry, NOTIFY bodies, challenged NOTIFYs) are proved in sip/reg_in_test.cc and
// pbx/registration_test.cc; phone_journeys_test.cc plays a phone that checks the NOTIFYs and
// refusals it gets, voicemail_test.cc one that watches a mailbox.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "tests/e2e/harness_phones.h"

namespace {

using e2e::sipp_register;

class RegisterE2E : public ::testing::Test {
 protected:
  void SetUp() override {
    e2e::telmond_options o;
    o.use_default_config();
    t = std::make_unique<e2e::telmond_process>(o);
    ASSERT_TRUE(t->start_with_accounts()) << t->error();
  }
  std::string sipp_log(const std::string& name) {
    return t->read_file("sipp-" + name + "/sipp.out");
  }
  std::unique_ptr<e2e::telmond_process> t;
};

TEST_F(RegisterE2E, RegisterRefreshAndClearWithDigest) {
  // 3600 asked, 360 granted (max_expires); the 200 announces it within 2 seconds.
  std::string ok = sipp_register(
      "<sip:[field0]@[local_ip]:[local_port]>", "3600", 200,
      "<ereg regexp=\"expires=(3(5[89]|6[012]))\" search_in=\"hdr\" header=\"Contact:\" "
      "check_it=\"true\" assign_to=\"all,e\"/>",
      "all,e");
  ASSERT_EQ(e2e::run_sipp(*t, "register", "127.0.0.21", ok, "100;sip100;"), 0)
      << sipp_log("register");
  ASSERT_TRUE(t->wait_for_file("registrations/1.xml", "<contact>", 5000));
  std::string row = t->read_file("registrations/1.xml");
  EXPECT_NE(row.find("127.0.0.21"), std::string::npos) << row;
  EXPECT_NE(row.find("<user_agent>sipp</user_agent>"), std::string::npos) << row;
  EXPECT_TRUE(t->wait_for_log("Account 100 is registering a new contact", 3000));

  // Contact: * with Expires: 0 (a new Call-ID, so challenged again) removes every binding.
  ASSERT_EQ(e2e::run_sipp(*t, "clear", "127.0.0.22", sipp_register("*", "0", 200), "100;sip100;"),
            0)
      << sipp_log("clear");
  EXPECT_TRUE(t->wait_for_log("Account 100 requested clearing of registration database", 3000));
  EXPECT_TRUE(t->wait_until_gone("registrations/1.xml", 5000));
}

TEST_F(RegisterE2E, PhoneOnTcpIsGrantedNatTcpAndLosesItsBindingWithTheConnection) {
  std::string tcp = sipp_register(
      "<sip:[field0]@[local_ip]:[local_port];transport=tcp>", "3600", 200,
      "<ereg regexp=\"expires=(1(7[89]|8[012]))\" search_in=\"hdr\" header=\"Contact:\" "
      "check_it=\"true\" assign_to=\"all,e\"/>",
      "all,e");
  ASSERT_EQ(e2e::run_sipp(*t, "tcp", "127.0.0.28", tcp, "104;sip104;", 1, true), 0)
      << sipp_log("tcp");
  // sipp closed its connection when it ended: the binding it carried ends with it.
  EXPECT_TRUE(
      t->wait_for_log("Registration for account 104 expired, removing contact "
                      "<sip:104@127.0.0.28:",
                      3000));
  EXPECT_TRUE(t->wait_until_gone("registrations/1.xml", 3000));
}

// A registered telephone stays registered across a restart of the daemon: its registrations
// row is kept, and the binding ends when its date passes, as if the daemon had never stopped.
TEST(RegistrationRestartE2E, BindingIsKeptUntilItsDate) {
  e2e::telmond_options o;
  o.use_default_config();
  // 5 seconds granted: the row's date is 20 seconds after the registration.
  o.settings["min_expires"] = "5";
  o.settings["max_expires"] = "5";
  e2e::telmond_process first(o);
  ASSERT_TRUE(first.start_with_accounts()) << first.error();
  ASSERT_EQ(e2e::run_sipp(first, "register", "127.0.0.31", sipp_register(), "100;sip100;"), 0)
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

// baresip, with three accounts, one over each transport (TLS with the certificate telmond
// generated at its first start), gets 200 for every one.
TEST_F(RegisterE2E, BaresipRegistersOverUdpTcpAndTls) {
  if (std::system("command -v baresip >/dev/null 2>&1") != 0) GTEST_SKIP() << "no baresip";
  using e2e::softphone;
  softphone phone(t->dir() + "/baresip", "127.0.0.31",
                  softphone::account(*t, 100, "udp") + softphone::account(*t, 101, "tcp") +
                      softphone::account(*t, 102, "tls"),
                  440);
  for (const char* account : {"100", "101", "102"})
    EXPECT_TRUE(
        t->wait_for_log(std::string("Account ") + account + " is registering a new contact", 5000));
  for (const char* line : {"100@127.0.0.1: {0/UDP/v4} 200 OK", "101@127.0.0.1: {0/TCP/v4} 200 OK",
                           "102@127.0.0.1: {0/TLS/v4} 200 OK"}) {
    EXPECT_TRUE(
        e2e::eventually(5000, [&] { return phone.output().find(line) != std::string::npos; }))
        << line << "\n"
        << phone.output();
  }
}

}  // namespace
