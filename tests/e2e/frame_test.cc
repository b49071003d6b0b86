// The process frame seen from outside: command line, daemon mode, fatal ports, STUN on the SIP
// UDP port, the daily log file and remote syslog.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <string>

#include "base/version.h"
#include "tests/e2e/harness.h"

namespace {

const std::string usage =
    "usage: telmond\r\n"
    "--no-daemon: Do not detach from tty\r\n"
    "--dir <dir>: Set root directory\r\n"
    "--http-port <n>: set http port\r\n"
    "--https-port <n>: set https port\r\n"
    "--http-dir <dir>: Set http dir\r\n"
    "--version: report version\r\n"
    "--log: Set log level\r\n"
    "--no-check-ports: Don't check ports during startup\r\n"
    "--flash: Assume slow file system\r\n"
    "--ipv4 <true|false>: Use IPv4\r\n"
    "--ipv6 <true|false>: Use IPv6\r\n"
    "--config <f>: read configuration from file f\r\n"
    "--pidfile <f>: Write PID to file f\r\n"
    "--default <f>: read default config from file f\r\n";

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
  t.stop();
  EXPECT_FALSE(t.running());
  EXPECT_NE(kill(pid, 0), 0);  // gone, and reaped
}

TEST(FrameE2E, VersionUsageAndParseErrors) {
  e2e::run_result v = e2e::run_telmond({"--version"});
  EXPECT_EQ(v.status, 0);
  EXPECT_EQ(v.err, std::string("Version: ") + TELMOND_VERSION + "\n");

  e2e::run_result bad = e2e::run_telmond({"--no-daemon", "--bogus"});
  EXPECT_EQ(bad.status, 1);
  EXPECT_EQ(bad.err, "Error parsing --bogus\n" + usage);

  // A value option as the last argument is a parse error naming it.
  e2e::run_result missing = e2e::run_telmond({"--no-daemon", "--log"});
  EXPECT_EQ(missing.status, 1);
  EXPECT_EQ(missing.err, "Error parsing --log\n" + usage);
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
  EXPECT_TRUE(t.answers_stun(2000));
  // The daemon closed the terminal streams: nothing of it reaches the parent's stderr.
  EXPECT_EQ(t.stderr_text().find("Starting up"), std::string::npos);
  t.stop();
  EXPECT_FALSE(e2e::process_alive(daemon_pid));
}

TEST(FrameE2E, SipUdpPortInUseIsFatal) {
  port_holder busy(SOCK_DGRAM);
  ASSERT_GT(busy.port, 0);
  e2e::telmond_options o;
  o.settings["ip_sip_udp_port"] = std::to_string(busy.port);
  o.wait_until_serving = false;
  e2e::telmond_process t(o);
  ASSERT_TRUE(t.start()) << t.error();
  EXPECT_EQ(t.wait_exit(15000), 1);
  std::string fatal =
      "FATAL: Could not open UDP port 0.0.0.0:" + std::to_string(busy.port) + " for SIP";
  EXPECT_EQ(t.read_file("pbx_startup_err.txt"), fatal);
  // Logged at level 0 before the exit (stderr and the daily log file).
  std::string err = t.stderr_text();
  size_t at = err.find(fatal);
  ASSERT_NE(at, std::string::npos) << err;
  size_t line_start = err.rfind('\n', at);
  line_start = line_start == std::string::npos ? 0 : line_start + 1;
  EXPECT_EQ(err.substr(line_start, 4), "[0] ");
  EXPECT_NE(t.read_file(e2e::telmond_process::daily_log_name()).find(fatal), std::string::npos);
}

TEST(FrameE2E, HttpPortInUseIsFatal) {
  port_holder busy(SOCK_STREAM);
  e2e::telmond_options o;
  o.settings["ip_http_port"] = std::to_string(busy.port);
  o.wait_until_serving = false;
  e2e::telmond_process t(o);
  ASSERT_TRUE(t.start()) << t.error();
  EXPECT_EQ(t.wait_exit(15000), 1);
  EXPECT_EQ(t.read_file("pbx_startup_err.txt"),
            "FATAL: Could not open TCP port " + std::to_string(busy.port) + " for HTTP/HTTPS");
}

TEST(FrameE2E, WithoutCheckPortsABusyPortIsDroppedAndStartUpGoesOn) {
  port_holder busy(SOCK_STREAM);
  e2e::telmond_options o;
  o.settings["ip_sip_tcp_port"] = std::to_string(busy.port);
  o.args = {"--no-check-ports"};
  e2e::telmond_process t(o);
  ASSERT_TRUE(t.start()) << t.error();
  EXPECT_TRUE(t.wait_for_log(
      "FATAL: Could not open TCP port " + std::to_string(busy.port) + " for SIP", 5000));
  EXPECT_FALSE(t.file_exists("pbx_startup_err.txt"));
  EXPECT_TRUE(t.running());
}

TEST(FrameE2E, StunBindingRequestIsAnsweredWithTheSendersAddress) {
  e2e::telmond_process t;
  ASSERT_TRUE(t.start()) << t.error();
  e2e::udp_peer phone("127.0.0.7");
  ASSERT_TRUE(phone.ok());
  std::string tid = "0123456789ab";
  ASSERT_TRUE(phone.send_to("127.0.0.1", t.ports().sip_udp, e2e::stun_binding_request(tid)));
  std::string answer;
  ASSERT_TRUE(phone.receive(answer, 5000));
  ASSERT_EQ(answer.size(), 32u);
  EXPECT_EQ(answer.substr(0, 4), std::string("\x01\x01\x00\x0c", 4));
  EXPECT_EQ(answer.substr(4, 16), std::string("\x21\x12\xa4\x42", 4) + tid);
  // MAPPED-ADDRESS, family 1, the sender's port and address.
  std::string expected_attr("\x00\x01\x00\x08\x00\x01", 6);
  expected_attr += static_cast<char>(phone.port() >> 8);
  expected_attr += static_cast<char>(phone.port() & 0xff);
  expected_attr += std::string("\x7f\x00\x00\x07", 4);
  EXPECT_EQ(answer.substr(20), expected_attr);
}

TEST(FrameE2E, ShortDatagramStartingWithZeroIsNotAnswered) {
  e2e::telmond_process t;
  ASSERT_TRUE(t.start()) << t.error();
  e2e::udp_peer phone("127.0.0.8");
  ASSERT_TRUE(phone.send_to("127.0.0.1", t.ports().sip_udp,
                            std::string("\x00\x01\x00\x00\x21\x12\xa4", 7)));
  // A STUN request sent afterwards is answered first: nothing came for the 7 bytes.
  ASSERT_TRUE(phone.send_to("127.0.0.1", t.ports().sip_udp, e2e::stun_binding_request("second")));
  std::string answer;
  ASSERT_TRUE(phone.receive(answer, 5000));
  EXPECT_EQ(answer.substr(8, 6), "second");
  EXPECT_FALSE(phone.receive(answer, 200));
  EXPECT_TRUE(t.running());
  EXPECT_TRUE(t.wait_for_log("Illegal pdu(127.0.0.8:", 5000));
}

TEST(FrameE2E, DailyLogFileHasTheStartUpLine) {
  e2e::telmond_process t;
  ASSERT_TRUE(t.start()) << t.error();
  EXPECT_TRUE(t.wait_for_file(e2e::telmond_process::daily_log_name(),
                              std::string("Starting up version ") + TELMOND_VERSION, 5000))
      << t.read_file(e2e::telmond_process::daily_log_name());
}

TEST(FrameE2E, SyslogDatagramsCarryThePriority) {
  e2e::udp_peer collector("127.0.0.1");
  ASSERT_TRUE(collector.ok());
  e2e::telmond_options o;
  o.settings["syslog_server_ip"] = "127.0.0.1:" + std::to_string(collector.port());
  e2e::telmond_process t(o);
  ASSERT_TRUE(t.start()) << t.error();
  // "Starting up version" is logged at level 1: facility 16, severity 1 -> <129>.
  bool found = false;
  std::string d;
  while (!found && collector.receive(d, 5000)) {
    if (d.find("Starting up version") != std::string::npos) {
      found = true;
      EXPECT_EQ(d.substr(0, 5), "<129>") << d;
    }
  }
  EXPECT_TRUE(found);
}

namespace {

// A connection to the SIP TCP port. The daemon answers STUN on UDP as soon as its UDP socket
// is served, which can be a moment before the TCP port listens: a refused connect is tried
// again for up to two seconds.
int connect_tcp(int port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  inet_pton(AF_INET, "127.0.0.1", &a.sin_addr);
  for (int tries = 0; tries < 40; tries++) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0) return fd;
    int error = errno;
    close(fd);
    if (error != ECONNREFUSED) return -1;
    usleep(50000);
  }
  return -1;
}

}  // namespace

TEST(FrameE2E, SipTcpThreadLimitKeepsFurtherConnectionsInTheBacklog) {
  e2e::telmond_options o;
  o.settings["sip_threads"] = "1";
  o.settings["sip_rate"] = "100";
  e2e::telmond_process t(o);
  ASSERT_TRUE(t.start()) << t.error();
  int a = connect_tcp(t.ports().sip_tcp);
  ASSERT_GE(a, 0);
  ASSERT_TRUE(t.wait_for_log("Received SIP connection 1 from 127.0.0.1:", 5000));
  EXPECT_TRUE(t.wait_for_log(
      "Current number of SIP threads 1 has reached maximum 1, further connections will not be "
      "accepted",
      5000));
  int b = connect_tcp(t.ports().sip_tcp);  // completes in the kernel backlog
  ASSERT_GE(b, 0);
  EXPECT_FALSE(t.wait_for_log("Received SIP connection 2", 1500));
  close(a);
  EXPECT_TRUE(t.wait_for_log("Release SIP thread 1", 5000));
  EXPECT_TRUE(t.wait_for_log("Received SIP connection 2 from 127.0.0.1:", 5000));
  close(b);
}

TEST(FrameE2E, SipTcpAcceptsAreThrottledBySipRate) {
  e2e::telmond_options o;
  o.settings["sip_rate"] = "1";  // one accept per 1000 ms
  e2e::telmond_process t(o);
  ASSERT_TRUE(t.start()) << t.error();
  int a = connect_tcp(t.ports().sip_tcp);
  int b = connect_tcp(t.ports().sip_tcp);
  ASSERT_GE(a, 0);
  ASSERT_GE(b, 0);
  auto t0 = std::chrono::steady_clock::now();
  ASSERT_TRUE(t.wait_for_log("Received SIP connection 1 ", 5000));
  EXPECT_FALSE(t.wait_for_log("Received SIP connection 2 ", 600));
  ASSERT_TRUE(t.wait_for_log("Received SIP connection 2 ", 5000));
  auto elapsed =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0)
          .count();
  EXPECT_GE(elapsed, 900);
  close(a);
  close(b);
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

TEST(FrameE2E, HttpThreadLimitIsLoggedAndConnectionsAreServedInTurn) {
  e2e::telmond_options o;
  o.settings["http_threads"] = "1";
  e2e::telmond_process t(o);
  ASSERT_TRUE(t.start()) << t.error();
  int a = connect_tcp(t.ports().http);
  ASSERT_GE(a, 0);
  EXPECT_TRUE(t.wait_for_log(
      "Current number of HTTP threads 1 has reached maximum 1, further connections will not be "
      "accepted",
      5000));
  int b = connect_tcp(t.ports().http);
  ASSERT_GE(b, 0);
  close(a);
  EXPECT_TRUE(t.wait_for_log("Remote site 127.0.0.1:", 5000));
  // The second connection is accepted once the first thread ended: its thread reaches the
  // limit again.
  auto count_limit_lines = [&] {
    std::string all = t.stderr_text();
    size_t n = 0;
    for (size_t at = all.find("Current number of HTTP threads"); at != std::string::npos;
         at = all.find("Current number of HTTP threads", at + 1)) {
      n++;
    }
    return n;
  };
  for (int i = 0; i < 250 && count_limit_lines() < 2; i++) usleep(20000);
  EXPECT_EQ(count_limit_lines(), 2u);
  EXPECT_EQ(t.stderr_text().find("Current number of HTTP threads 2"), std::string::npos);
  close(b);
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
  e2e::udp_peer phone("127.0.0.14");
  std::string answer;
  bool answered = false;
  for (int i = 0; i < 100 && !answered && t.running(); i++) {
    phone.send_to("127.0.0.1", alt_port, e2e::stun_binding_request("alt-config"));
    answered = phone.receive(answer, 100);
  }
  EXPECT_TRUE(answered) << t.stderr_text();
  // pbx.xml (with the harness's port) was not read.
  EXPECT_FALSE(t.answers_stun(300));
}
