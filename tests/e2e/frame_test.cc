// The process frame seen from outside: command line, daemon mode, fatal ports, the daily log
// file, the SIP TCP thread limit and the settings file named on the command line.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <regex>
#include <string>
#include <vector>

#include "base/version.h"
#include "tests/e2e/harness.h"

namespace {

// Holds a port on the any-address for the test's lifetime.
struct port_holder {
  int fd = -1;
  int port = 0;
  explicit port_holder(int type) {
    fd = socket(AF_INET, type, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_ANY);
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0) return;
    if (type == SOCK_STREAM) listen(fd, 4);
    socklen_t len = sizeof(a);
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    port = ntohs(a.sin_port);
  }
  ~port_holder() { close(fd); }
};

}  // namespace

TEST(FrameE2E, StartsServesAndStops) {
  e2e::telmond_process t;
  ASSERT_TRUE(t.start()) << t.error();
  EXPECT_TRUE(t.running());
  pid_t pid = t.pid();
  EXPECT_NE(t.stderr_text().find("Starting up\n"), std::string::npos);
  EXPECT_TRUE(t.wait_for_file(e2e::telmond_process::daily_log_name(),
                              std::string("Starting up version ") + TELMOND_VERSION, 5000))
      << t.read_file(e2e::telmond_process::daily_log_name());
  t.stop();
  EXPECT_FALSE(t.running());
  EXPECT_NE(kill(pid, 0), 0);  // gone, and reaped
}

// The version, and a value option as the last argument is a parse error naming it, like an
// unknown one.
TEST(FrameE2E, VersionAndParseErrors) {
  const struct {
    const char* arg;
    int status;
    std::string err;  // the whole of stderr for the version, its start for an error
  } cases[] = {{"--version", 0, std::string("Version: ") + TELMOND_VERSION + "\n"},
               {"--log", 1, "Error parsing --log\nusage: telmond\r\n"}};
  for (const auto& c : cases) {
    e2e::telmond_options o;
    o.args = {c.arg};
    o.wait_until_serving = false;
    e2e::telmond_process t(o);
    ASSERT_TRUE(t.start()) << t.error();
    EXPECT_EQ(t.wait_exit(10000), c.status) << c.arg;
    const std::string err = t.stderr_text();
    EXPECT_EQ(c.status ? err.substr(0, c.err.size()) : err, c.err) << c.arg;
  }
}

TEST(FrameE2E, DaemonModeWritesThePidFile) {
  e2e::telmond_options o;
  o.daemon = true;
  e2e::telmond_process t(o);
  ASSERT_TRUE(t.start()) << t.error();
  std::string pid_text = t.read_file("telmond.pid");
  ASSERT_FALSE(pid_text.empty());
  EXPECT_EQ(pid_text.find_first_not_of("0123456789"), std::string::npos);  // no newline
  pid_t daemon_pid = static_cast<pid_t>(std::stoi(pid_text));
  EXPECT_TRUE(e2e::process_alive(daemon_pid));
  EXPECT_TRUE(e2e::stun_answered_on(t.ports().sip_udp, 2000));
  // The daemon closed the terminal streams: nothing of it reaches the parent's stderr.
  EXPECT_EQ(t.stderr_text().find("Starting up"), std::string::npos);
  t.stop();
  EXPECT_FALSE(e2e::process_alive(daemon_pid));
}

// A port taken by someone else, or one no socket can have (instead of being wrapped to some other
// port), is fatal: the line kept in pbx_startup_err.txt is logged at level 0 (stderr and the
// daily log file) before the exit, after the line that says what was wrong.
TEST(FrameE2E, PortInUseOrImpossibleIsFatal) {
  const char* const http = "FATAL: Could not open TCP port PORT for HTTP/HTTPS";
  const struct {
    int busy;                     // the type of a socket holding the port, or 0
    const char *setting, *value;  // a setting of pbx.xml, or an option ("--") of the command line
    const char* kept;             // pbx_startup_err.txt (PORT: the port)
  } cases[] = {
      {SOCK_DGRAM, "ip_sip_udp_port", "", "FATAL: Could not open UDP port 0.0.0.0:PORT for SIP"},
      {SOCK_STREAM, "ip_http_port", "", http},
      {0, "ip_http_port", "70000", http},
      {0, "ip_http_port", "8o8o", http},
      {0, "--http-port", "70001", http}};
  for (const auto& c : cases) {
    port_holder busy(c.busy ? c.busy : SOCK_STREAM);
    const std::string value = c.busy ? std::to_string(busy.port) : c.value;
    SCOPED_TRACE(std::string(c.setting) + " " + value);
    e2e::telmond_options o;
    if (c.setting[0] == '-') {
      o.args = {c.setting, value};
    } else {
      o.settings[c.setting] = value;
    }
    o.wait_until_serving = false;
    e2e::telmond_process t(o);
    ASSERT_TRUE(t.start()) << t.error();
    EXPECT_EQ(t.wait_exit(15000), 1) << t.stderr_text();
    const std::string fatal = std::regex_replace(c.kept, std::regex("PORT"), value);
    EXPECT_EQ(t.read_file("pbx_startup_err.txt"), fatal);
    const std::string err = t.stderr_text();
    const size_t at = err.find(fatal);
    ASSERT_NE(at, std::string::npos) << err;
    EXPECT_EQ(err.substr(err.rfind('\n', at) + 1, 4), "[0] ") << err;
    EXPECT_NE(t.read_file(e2e::telmond_process::daily_log_name()).find(fatal), std::string::npos);
    // The line that says what was wrong with a port that no socket can have.
    EXPECT_TRUE(t.wait_for_log(
        c.busy ? "" : "HTTP: Port number " + value + " of ip_http_port is invalid", 0))
        << err;
  }
}

TEST(FrameE2E, SipTcpThreadLimitKeepsFurtherConnectionsInTheBacklog) {
  e2e::telmond_options o;
  o.settings["sip_threads"] = "1";
  o.settings["sip_rate"] = "100";
  e2e::telmond_process t(o);
  ASSERT_TRUE(t.start()) << t.error();
  // The daemon answers STUN as soon as its UDP socket is served, which can be a moment before
  // the TCP port listens: a refused connect is tried again.
  e2e::tcp_client a, b;
  ASSERT_TRUE(e2e::eventually(2000, [&] { return a.connect("127.0.0.1", t.ports().sip_tcp); }));
  ASSERT_TRUE(t.wait_for_log("Received SIP connection 1 from 127.0.0.1:", 5000));
  EXPECT_TRUE(t.wait_for_log(
      "Current number of SIP threads 1 has reached maximum 1, further connections will not be "
      "accepted",
      5000));
  ASSERT_TRUE(b.connect("127.0.0.1", t.ports().sip_tcp));  // completes in the kernel backlog
  EXPECT_FALSE(t.wait_for_log("Received SIP connection 2", 1500));
  a.close();
  EXPECT_TRUE(t.wait_for_log("Release SIP thread 1", 5000));
  EXPECT_TRUE(t.wait_for_log("Received SIP connection 2 from 127.0.0.1:", 5000));
}

TEST(FrameE2E, CommandLinePortsOverrideTheSettingsFile) {
  int http = e2e::free_port();
  e2e::telmond_options o;
  o.args = {"--http-port", std::to_string(http), "--log", "9"};
  o.settings["log_level"] = "2";  // --log wins over the file
  e2e::telmond_process t(o);
  ASSERT_TRUE(t.start()) << t.error();
  e2e::tcp_client c;
  EXPECT_TRUE(c.connect("127.0.0.1", http, "127.0.0.12"));
  EXPECT_FALSE(e2e::tcp_client().connect("127.0.0.1", t.ports().http));
  // The level-9 line of the HTTP connection thread appears only with --log 9.
  c.close();
  EXPECT_TRUE(t.wait_for_log("Remote site 127.0.0.12:", 5000));
}

TEST(FrameE2E, ConfigOptionNamesTheSettingsFile) {
  int alt_port = e2e::free_port();
  e2e::telmond_options o;
  o.files["conf/alt.xml"] =
      "<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n<pbx-config><ip_sip_udp_port>" +
      std::to_string(alt_port) + "</ip_sip_udp_port><ip_http_port>0</ip_http_port>" +
      "<ip_https_port>0</ip_https_port><ip_sip_tcp_port>0</ip_sip_tcp_port>" +
      "<ip_sip_tls_port>0</ip_sip_tls_port></pbx-config>";
  o.args = {"--config", "conf/alt.xml"};
  o.wait_until_serving = false;
  e2e::telmond_process t(o);
  ASSERT_TRUE(t.start()) << t.error();
  EXPECT_TRUE(e2e::stun_answered_on(alt_port, 10000)) << t.stderr_text();
  // pbx.xml (with the harness's port) was not read.
  EXPECT_FALSE(e2e::stun_answered_on(t.ports().sip_udp, 300));
}
