// People's journeys through the web pages in chromium (tests/browser/journeys.js, driven by
// playwright-core), against the daemon with the default configuration; a soft-phone (sipp)
// and restarts where a journey needs them. Screenshots go to <build>/screenshots.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "tests/e2e/harness.h"

namespace {

class BrowserTest : public ::testing::Test {
 protected:
  void SetUp() override {
    e2e::telmond_options o;
    o.use_default_config();
    t = std::make_unique<e2e::telmond_process>(o);
    ASSERT_TRUE(t->start_with_accounts()) << t->error();
    std::filesystem::create_directories(shots);
  }
  // Runs one step of journeys.js; its complaint (empty when every expectation held).
  std::string step(const std::string& name, const std::string& arg = "") {
    const std::string cmd =
        "cd " TELMOND_SOURCE_DIR "/tests/browser && timeout 120 node journeys.js " + name +
        " http://localhost:" + std::to_string(t->ports().http) + "/ " + shots + " " + arg + " 2>&1";
    int rc = -1;
    const std::string out = e2e::output_of(cmd, &rc);
    return rc == 0 ? std::string() : out.empty() ? "exit " + std::to_string(rc) : out;
  }
  const std::string shots = TELMOND_BUILD_DIR "/screenshots";
  std::unique_ptr<e2e::telmond_process> t;
};

TEST_F(BrowserTest, AdministratorCreatesDomainAndExtensionAndThePhoneRegisters) {
  ASSERT_EQ(step("admin_creates", "Pw-200"), "");
  // sipp's challenged REGISTER as 200 of the new domain, with the password typed in the page.
  std::string scenario = e2e::sipp_register("<sip:[field0]@[local_ip]:[local_port]>", "300");
  for (size_t at; (at = scenario.find("@localhost>")) != std::string::npos;)
    scenario.replace(at, 11, "@shop.test>");
  ASSERT_EQ(e2e::run_sipp(*t, "register", "127.0.0.74", scenario, "200;Pw-200;"), 0)
      << t->read_file("sipp-register/sipp.out");
  EXPECT_EQ(step("admin_sees_registration"), "");
}

TEST_F(BrowserTest, DomainAdministratorStaysInHisDomain) {
  EXPECT_EQ(step("domain_admin_walls"), "");
}

TEST_F(BrowserTest, UserForwardingSurvivesRestartAndHeMayHearHisMessage) {
  const std::string cookies = t->dir() + "/cookies.json";
  ASSERT_EQ(step("user_forwards", cookies), "");
  // A voicemail message of 101 (users row 2), read with the tables at the restart.
  for (const char* d : {"/recordings", "/messages"})
    std::filesystem::create_directories(t->dir() + d);
  ASSERT_EQ(std::system(("sox -n -r 8000 -b 16 -c 1 " + t->dir() +
                         "/recordings/msg1.wav synth 0.5 sine 440")
                            .c_str()),
            0);
  std::ofstream(t->dir() + "/messages/1.xml")
      << "<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n<row><filename>recordings/msg1.wav"
         "</filename><from>&lt;sip:100@localhost&gt;</from><type>vmail</type><user>2</user></row>";
  ASSERT_TRUE(t->restart()) << t->error();
  EXPECT_EQ(step("user_sees_forwarding", cookies), "");
}

TEST_F(BrowserTest, WrongPasswordWaitsWhileOthersAreServed) {
  EXPECT_EQ(step("wrong_password"), "");
}

TEST_F(BrowserTest, RestoreUndoesAChange) {
  EXPECT_EQ(step("restore", t->dir() + "/download.tar"), "");
  EXPECT_TRUE(t->file_exists("domains/1.xml"));
  EXPECT_FALSE(t->file_exists("domains/2.xml"));
}

}  // namespace
