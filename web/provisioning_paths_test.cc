#include "web/provisioning_paths.h"

#include <gtest/gtest.h>

#include "base/version.h"
#include "frame/settings.h"
#include "frame/timeout.h"
#include "pbx/pbx_test_util.h"
#include "web/http_request.h"
#include "web/session.h"

namespace {

class ProvisioningTest : public pbx_test::call_test {
 protected:
  void SetUp() override {
    call_test::SetUp();
    log_level_max = 9;  // the capture puts the level back
  }
  void TearDown() override {
    while (!sessions.empty()) remove_session(sessions.begin()->first);
    ctrl_write_setting(ctrl_settings::tftp_write, "false");
    call_test::TearDown();
  }
  // The status line, the Content-Type and the body of the answer to one request.
  std::string ask(const std::string& request, const std::string& body = "") {
    http_request c(ip_port(ip_address_parse("127.0.0.7"), 40000));
    c.on_input(str(request + "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body));
    const str out = c.take_output();
    const long end = out.find("\r\n\r\n");
    return std::string(out.get_line(0).view()) + "|" +
           std::string(out.get_record_content("Content-Type").view()) + "|" +
           (end < 0 ? "" : std::string(out.substr(end + 4).view()).substr(0, 40));
  }
  timeout_queue q;  // the sessions' idle timers
  scoped_ctrl_context ctx{ctrl_context{pbx_test::record, &q}};
};

TEST_F(ProvisioningTest, ServesStoresAndRefusesLoops) {
  put("tftp/phone.cfg", "cfg");
  const std::string phone = "User-Agent: Phone/1.0\r\n";
  const std::string self = "User-Agent: PBX/" TELMOND_VERSION " (Linux)\r\n";
  const std::string missing =
      "HTTP/1.1 404 Not Found|text/html|<html><head>\r\n<title>Error</title>\r\n";
  const struct {
    std::string request, body, answer;
  } cases[] = {
      {"GET /prov/phone.cfg HTTP/1.1\r\n" + phone, "",
       "HTTP/1.1 200 Ok|application/octet-stream|cfg"},
      {"GET /tftp/phone.cfg HTTP/1.1\r\n" + phone, "",
       "HTTP/1.1 200 Ok|application/octet-stream|cfg"},
      {"GET /provisioning/none.cfg HTTP/1.1\r\n" + phone, "", missing},
      {"GET /x.cgi?mac=1 HTTP/1.1\r\n" + self, "",
       "HTTP/1.1 500 Loop Detected|text/html|<html><head>\r\n<title>Error</title>\r\n"},
      {"PUT /prov/log.txt HTTP/1.1\r\n" + phone, "up",
       "HTTP/1.1 403 Forbidden|text/html|<html><head>\r\n<title>Error</title>\r\n"},
      {"GET /mos.bmp HTTP/1.1\r\nCookie: session=a2345678901234567890\r\n", "",
       "HTTP/1.1 200 Ok|image/bmp|BM"},
  };
  session admin;
  admin.type = session_system_admin;
  setup_session(admin, "a2345678901234567890");
  for (const auto& c : cases)
    EXPECT_EQ(ask(c.request, c.body).substr(0, c.answer.size()), c.answer) << c.request;
  EXPECT_TRUE(log.contains("Request would create a loop"));
  EXPECT_EQ(mfs.files.count("tftp/log.txt"), 0u);

  ctrl_write_setting(ctrl_settings::tftp_write, "true");
  EXPECT_EQ(ask("PUT /prov/logs/log.txt HTTP/1.1\r\n" + phone, "hello"),
            "HTTP/1.1 200 Ok|text/plain|");
  EXPECT_EQ(file("tftp/logs/log.txt"), "hello");
  EXPECT_TRUE(log.contains("PnP: Receive logs/log.txt:\nhello"));
  for (const char* name : {"c:x", "http://h/x", ".x", "a/..b"}) {
    EXPECT_EQ(ask(std::string("PUT /prov/") + name + " HTTP/1.1\r\n" + phone, "x")
                  .substr(0, missing.size()),
              missing)
        << name;
    EXPECT_FALSE(valid_tftp_name(name)) << name;
  }
  EXPECT_FALSE(valid_tftp_name("a\\b"));
  EXPECT_TRUE(valid_tftp_name("dir/b-1.cfg"));
}

}  // namespace
