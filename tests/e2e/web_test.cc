// The web server of the running daemon through curl: a login, a page, HTTPS, the backup, and
// half requests that keep no one waiting. The wrong-password delay and pipelined
// requests are proved in web/http_request_test.cc.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "tests/e2e/harness.h"

namespace {

using e2e::output_of;

class WebTest : public ::testing::Test {
 protected:
  void SetUp() override {
    o.use_default_config();
    o.files["web/reg_index.htm"] = "<html>system start</html>";
    o.files["web/login.htm"] = "<html>login</html>";
    t = std::make_unique<e2e::telmond_process>(o);
    ASSERT_TRUE(t->start_with_accounts()) << t->error();
    url = "http://127.0.0.1:" + std::to_string(t->ports().http) + "/";
  }
  // curl's status line and body (-i: with the headers).
  std::string curl(const std::string& args) {
    return output_of("curl -s -i --max-time 20 -H 'Host: localhost' " + args);
  }
  // The session cookie of a login ("session=..." up to the first ";").
  std::string login(const std::string& account, const std::string& password) {
    std::string r = curl("--data 'login_account=" + account + "&login_password=" + password +
                         "&login_type=auto' " + url + "login.htm");
    return e2e::match(r, "Set-Cookie: (session=[^;]*);");
  }
  e2e::telmond_options o;
  std::unique_ptr<e2e::telmond_process> t;
  std::string url;
};

TEST_F(WebTest, LoginPageBackupAndHalfRequests) {
  const std::string admin = login("admin", "");
  ASSERT_FALSE(admin.empty());
  std::string start = curl("-H 'Cookie: " + admin + "' " + url + "reg_index.htm");
  EXPECT_EQ(e2e::first_line(start), "HTTP/1.1 200 Ok");
  EXPECT_NE(start.find("\r\n\r\n<html>system start</html>"), std::string::npos) << start;
  EXPECT_TRUE(t->wait_for_log("Administrator logged in from 127.0.0.1", 5000));

  const std::string https = "-k https://127.0.0.1:" + std::to_string(t->ports().https) + "/";
  EXPECT_EQ(e2e::first_line(curl(https + "robots.txt")), "HTTP/1.1 200 Ok");
  // The backup: a tar of the working directory (for the administrator only, as
  // web/http_request_test.cc proves with the other permissions).
  const std::string backup = curl("-H 'Cookie: " + admin + "' " + url + "pbx.tar");
  EXPECT_NE(backup.find("Content-Type: application/x-tar"), std::string::npos);
  EXPECT_NE(backup.find("domains/1.xml"), std::string::npos);

  // 80 half-requests from four addresses keep no one waiting: a fresh address's complete
  // request is answered long before the half ones time out (10 s).
  std::vector<std::unique_ptr<e2e::tcp_client>> half;
  for (int i = 0; i < 80; i++) {
    half.push_back(std::make_unique<e2e::tcp_client>());
    ASSERT_TRUE(half.back()->connect("127.0.0.1", t->ports().http,
                                     "127.0.10." + std::to_string(1 + i % 4)));
    ASSERT_TRUE(half.back()->send("GET /robots.txt HTTP/1.1\r\nHost: localhost\r\n"));
  }
  e2e::tcp_client fresh;
  ASSERT_TRUE(fresh.connect("127.0.0.1", t->ports().http, "127.0.10.99"));
  ASSERT_TRUE(fresh.send("GET /robots.txt HTTP/1.1\r\nHost: localhost\r\n\r\n"));
  EXPECT_TRUE(fresh.receive_until("Disallow: /", 5000)) << fresh.received();
}

}  // namespace
