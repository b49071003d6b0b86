#include "web/provisioning_paths.h"

#include <gtest/gtest.h>

#include "base/version.h"
#include "frame/settings.h"
#include "pbx/pbx_test_util.h"
#include "web/http_request.h"

namespace {

class ProvisioningTest : public pbx_test::call_test {
 protected:
  void TearDown() override {
    ctrl_write_setting(ctrl_settings::tftp_write, "false");
    call_test::TearDown();
  }
  // The status line, the Content-Type and the first bytes of the body of the answer.
  std::string ask(const std::string& request, const std::string& body = "") {
    http_request c(ip_port(ip_address_parse("127.0.0.7"), 40000));
    c.on_input(str(request + "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body));
    const str o = c.take_output(), type = o.get_record_content("Content-Type");
    return std::string(
        (o.get_line(0) + "|" + type + "|" + o.substr(o.find("\r\n\r\n") + 4, 3)).view());
  }
};

TEST_F(ProvisioningTest, ServesStoresAndRefusesLoops) {
  put("tftp/phone.cfg", "cfg");
  const std::string phone = " HTTP/1.1\r\nUser-Agent: Phone/1.0\r\n",
                    file_type = "|application/octet-stream|";
  const std::string missing = "HTTP/1.1 404 Not Found|text/html|";
  // clang-format off
  const struct { std::string request, body, answer; } cases[] = {
      {"GET /prov/phone.cfg" + phone, "", "HTTP/1.1 200 Ok" + file_type + "cfg"},
      {"GET /tftp/phone.cfg" + phone, "", "HTTP/1.1 200 Ok" + file_type + "cfg"},
      {"GET /provisioning/none.cfg" + phone, "", missing},
      {"GET /x.cgi?mac=1 HTTP/1.1\r\nUser-Agent: PBX/" TELMOND_VERSION " (Linux)\r\n", "",
       "HTTP/1.1 500 Loop Detected|text/html|"},
      {"PUT /prov/log.txt" + phone, "up", "HTTP/1.1 403 Forbidden|text/html|"},
  };
  // clang-format on
  for (const auto& c : cases)
    EXPECT_EQ(ask(c.request, c.body).substr(0, c.answer.size()), c.answer) << c.request;
  EXPECT_TRUE(log.contains("Request would create a loop"));
  EXPECT_EQ(mfs.files.count("tftp/log.txt"), 0u);

  ctrl_write_setting(ctrl_settings::tftp_write, "true");
  EXPECT_EQ(ask("PUT /prov/logs/log.txt" + phone, "hello"), "HTTP/1.1 200 Ok|text/plain|");
  EXPECT_EQ(file("tftp/logs/log.txt"), "hello");
  EXPECT_TRUE(log.contains("PnP: Receive logs/log.txt:\nhello"));
  for (const char* name : {"c:x", "http://h/x", ".x", "a/..b"})
    EXPECT_EQ(ask(std::string("PUT /prov/") + name + phone, "x").substr(0, missing.size()),
              missing);
}

}  // namespace
