#include "frame/log.h"

#include <gtest/gtest.h>
#include <rapidcheck.h>
#include <syslog.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "base/file_system.h"
#include "base/ip_port.h"
#include "frame/mutex.h"
#include "frame/net.h"
#include "frame/settings.h"

namespace {

// 2026-01-01 00:00:00 UTC.
constexpr atimestamp jan1 = 1767225600000;
constexpr int64_t day_ms = 86400000;

// Captures what the syslog client would put on the wire, one datagram a line as
// "address:port bytes"; resolves syslog.example only.
class capture_transport : public syslog_transport {
 public:
  explicit capture_transport(std::string* wire, str host = "pbxhost") : wire_(wire), host_(host) {}
  bool open(bool ipv6, int local_port) override {
    opened = (ipv6 ? "v6 " : "v4 ") + std::to_string(local_port);
    return true;
  }
  void close() override {}
  void send_to(const str& address, int port, const str& bytes) override {
    *wire_ += std::string((ip_address_readable(address) + ":").view()) + std::to_string(port) +
              " " + std::string(bytes.view()) + "\n";
  }
  str host_name() override { return host_; }
  str resolve(const str& name) override {
    return name == "syslog.example" ? str::bytes({192, 0, 2, 9}) : str();
  }
  static inline std::string opened;  // "v4|v6 local port" of the last open

 private:
  std::string* wire_;
  str host_;
};

class LogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("TZ", "UTC", 1);
    tzset();
    init_config();
    log_reset();
    init_logging();
    log_up = true;
  }
  void TearDown() override {
    log_reset();
    set_syslog_transport(nullptr);
    set_local_syslog_writer(nullptr);
    set_call_leg_trace(nullptr);
  }

  // The in-memory buffer as "level text|attachment" lines.
  static std::string buffer() {
    std::string out;
    for (const log_entry& e : get_log_entries())
      out += std::to_string(e.level) + " " + std::string(e.text.view()) + "|" +
             std::string(e.attachment.view()) + "\n";
    return out;
  }
  // Groups 0..14 as one digit each, 1 when switched on.
  static std::string groups() {
    std::string out;
    for (int g = 0; g < 15; ++g) out += get_log_group(g) ? '1' : '0';
    return out;
  }
  std::vector<std::string> buffer_texts() {
    std::vector<std::string> out;
    for (const log_entry& e : get_log_entries()) out.emplace_back(e.text.view());
    return out;
  }
  // One writer pass; what it printed to stderr.
  static std::string write_pending_captured() {
    ::testing::internal::CaptureStderr();
    log_write_pending();
    return ::testing::internal::GetCapturedStderr();
  }
  std::string file(const std::string& name) {
    auto it = files_.files.find(name);
    return it == files_.files.end() ? std::string("<missing>") : it->second;
  }
  // Every file as "name: content", one after the other.
  std::string listing() {
    std::string out;
    for (const auto& [name, bytes] : files_.files) out += name + ": " + bytes;
    return out;
  }
  // One entry at the wall time t, written out.
  void write_at(atimestamp t, const char* text) {
    clock_.set_wall(t);
    log_add_message(0, 1, text);
    log_write_pending();
  }

  memory_file_system files_;
  scoped_file_system use_files_{&files_};
  manual_clock clock_{ns_per_second, jan1};
  scoped_clock use_clock_{&clock_};
};

int formatted = 0;
int count_format() { return ++formatted; }

TEST_F(LogTest, FilterByLevelGroupAndUp) {
  // Above the level a call does not even evaluate its arguments.
  set_log_level(5);
  formatted = 0;
  log_printf(log_general, 6, "never %d", count_format());
  log_printf(log_general, 5, "once %d", count_format());
  EXPECT_EQ(buffer_texts(), std::vector<std::string>{"once 1"});
  // A switched-off group is dropped whatever the level; groups outside 0..14 are never
  // filtered by group.
  for (int g : {int(log_sip), 15, -1}) set_log_group(g, false);
  for (auto [g, on] : {std::pair{int(log_sip), false}, {log_media, true}, {15, true}, {20, true}})
    EXPECT_EQ(log_check_condition(g, 0), on) << g;
  log_up = false;
  EXPECT_FALSE(log_check_condition(log_general, 0));
}

TEST_F(LogTest, LogEventSettingsSwitchGroups) {
  ctrl_write_registry(ctrl_settings::log_event_sip, "false");
  EXPECT_FALSE(log_check_condition(log_sip, 0));
  ctrl_write_registry(ctrl_settings::log_event_sip, "FALSE");  // only "false" switches off
  // log_event_web switches the web group and group 11.
  ctrl_write_registry(ctrl_settings::log_event_web, "false");
  ctrl_write_registry(ctrl_settings::log_event_ldap, "false");
  EXPECT_EQ(groups(), "111110111110110");
  ctrl_write_registry(ctrl_settings::log_level, "9");
  EXPECT_EQ(get_log_level(), 9);
  // The buffer keeps the newest log_length entries; -1 is unbounded; clear_log empties it.
  ctrl_write_registry(ctrl_settings::log_length, "2");
  for (int i = 0; i < 5; ++i) log_add_message(0, 1, str::sprintf("m%d", i));
  EXPECT_EQ(buffer_texts(), (std::vector<std::string>{"m3", "m4"}));
  ctrl_write_registry(ctrl_settings::log_length, "-1");
  for (int i = 5; i < 305; ++i) log_add_message(0, 1, str::sprintf("m%d", i));
  EXPECT_EQ(get_log_entry_count(), 302u);
  set_log_length(1);
  EXPECT_EQ(buffer_texts(), std::vector<std::string>{"m304"});
  clear_log();
  EXPECT_EQ(get_log_entry_count(), 0u);
  // apply_log_settings reads them all back at start-up.
  set_log_level(0);
  set_log_group(14, true);
  apply_log_settings();
  EXPECT_EQ(get_log_level(), 9);
  EXPECT_EQ(groups(), "111110111110110");
}

// The repetition line has the level of the last repetition; a different attachment is a
// different message.
TEST_F(LogTest, RepetitionsCollapse) {
  log_add_message(0, 3, "same");
  log_add_message(0, 3, "same");
  log_add_message(0, 4, "same");
  EXPECT_EQ(buffer(), "3 same|\n");
  log_add_message(0, 2, "other");
  log_add_message(0, 5, "other", "body");
  EXPECT_EQ(buffer(), "3 same|\n4 Last message repeated 3 times|\n2 other|\n5 other|body\n");
  // An empty first message is a message, not a repetition of nothing.
  log_reset();
  log_add_message(0, 5, "");
  EXPECT_EQ(get_log_entry_count(), 1u);
}

// Against a model: each run of equal messages gives its first message, and a run of n > 1 is
// reported as "Last message repeated n times" when the next different message arrives.
TEST_F(LogTest, RepetitionModelProperty) {
  EXPECT_TRUE(rc::check([this](const std::vector<int>& raw) {
    log_reset();
    set_log_length(-1);
    std::vector<std::string> expected;
    int prev = -1, run = 0;
    for (int r : raw) {
      int m = (r % 3 + 3) % 3;
      std::string text = "msg" + std::to_string(m);
      log_add_message(0, 1, str(text));
      if (m == prev) {
        ++run;
        continue;
      }
      if (run > 1) expected.push_back("Last message repeated " + std::to_string(run) + " times");
      expected.push_back(text);
      prev = m;
      run = 1;
    }
    RC_ASSERT(buffer_texts() == expected);
  }));
}

TEST_F(LogTest, LineAndFileNameFormat) {
  // The plain line is in every file the tests below read.
  const log_entry e{3, jan1 + 13 * 3600000 + 4 * 60000 + 5000 + 999, "hello",
                    "INVITE sip:a@b SIP/2.0\r\n\r\n"};
  EXPECT_EQ(get_log_line(e), "[3] 20260101130405: hello\nINVITE sip:a@b SIP/2.0\r\n\r\n");
  EXPECT_EQ(get_log_file_name("log-$.txt", jan1 + 338 * day_ms), "log-2026-12-05.txt");
  EXPECT_EQ(get_log_file_name("logs/$-$.txt", jan1), "logs/2026-01-01-$.txt");
}

TEST_F(LogTest, DailyFilesAndKeepDeletion) {
  files_.files["log-2025-12-29.txt"] = "old\n";
  files_.files["log-2026-01-01.txt"] = "";
  write_at(jan1, "day 1");
  EXPECT_EQ(file("log-2026-01-01.txt"), "[1] 20260101000000: day 1\n");
  // With log_keep 3 each switch of file deletes the file of three days before (the entry time
  // minus 3 days plus one hour), so the 4th day deletes the 1st; no sweep of older dates.
  for (int d = 1; d <= 3; ++d)
    write_at(jan1 + d * day_ms + 5000, str::sprintf("day %d", d + 1).c_str());
  EXPECT_EQ(listing(),
            "log-2025-12-29.txt: old\nlog-2026-01-02.txt: [1] 20260102000005: day 2\n"
            "log-2026-01-03.txt: [1] 20260103000005: day 3\n"
            "log-2026-01-04.txt: [1] 20260104000005: day 4\n");
  // Several entries in one pass that cross midnight go to their own files.
  clock_.set_wall(jan1 + 4 * day_ms - 1000);
  log_add_message(0, 1, "late");
  write_at(jan1 + 4 * day_ms + 1000, "early");
  EXPECT_EQ(listing(),
            "log-2025-12-29.txt: old\nlog-2026-01-03.txt: [1] 20260103000005: day 3\n"
            "log-2026-01-04.txt: [1] 20260104000005: day 4\n[1] 20260104235959: late\n"
            "log-2026-01-05.txt: [1] 20260105000001: early\n");
  ctrl_write_setting(ctrl_settings::log_keep, "0");  // deletes nothing
  write_at(jan1 + 5 * day_ms, "day 6");
  EXPECT_NE(file("log-2026-01-03.txt"), "<missing>");
}

TEST_F(LogTest, FixedFileNameIsKeptForEver) {
  files_.files["pbx.log"] = "earlier\n";
  set_log_file("pbx.log");
  for (int d = 0; d < 3; ++d) write_at(jan1 + d * day_ms, str::sprintf("d%d", d).c_str());
  set_log_file("");  // an empty pattern writes no file at all
  write_at(jan1 + 3 * day_ms, "nowhere");
  EXPECT_EQ(listing(),
            "pbx.log: earlier\n[1] 20260101000000: d0\n[1] 20260102000000: d1\n"
            "[1] 20260103000000: d2\n");
  EXPECT_EQ(get_log_entry_count(), 4u);
}

TEST_F(LogTest, UnopenableFileIsRetriedAndLinesStayInMemoryAndOnStderr) {
  set_log_file("logs/log-$.txt");  // the directory does not exist yet
  set_log_stderr(true);
  log_add_message(0, 1, "lost for the file");
  EXPECT_EQ(write_pending_captured(), "[1] 20260101000000: lost for the file\n");
  EXPECT_EQ(file("logs/log-2026-01-01.txt") + std::to_string(get_log_entry_count()), "<missing>1");
  files_.mkdir("logs");
  files_.fail_writes("logs/", 1);
  log_add_message(0, 1, "failing write");
  write_pending_captured();
  log_add_message(0, 1, "retried");
  write_pending_captured();
  EXPECT_EQ(file("logs/log-2026-01-01.txt") + std::to_string(get_log_entry_count()),
            "[1] 20260101000000: retried\n3");
  // Alerts go straight to the open file.
  set_log_stderr(false);
  log_alert("config_mutex", "Allocate Mutex");
  mutex named("named");
  single_thread_mode = false;
  named.lock();
  named.lock();  // a recursive take: the alert goes through the writer init_logging installed
  named.unlock();
  named.unlock();
  single_thread_mode = true;
  log_alert(nullptr, "Release Mutex");
  EXPECT_EQ(file("logs/log-2026-01-01.txt"),
            "[1] 20260101000000: retried\nALERT: config_mutex: Allocate Mutex\n"
            "ALERT: named: Allocate Mutex\nALERT: named: Release Mutex\nALERT: Release Mutex\n");
  clear_log();
  log_alert("x", "dropped while no file is open");
  EXPECT_EQ(get_log_entry_count(), 0u);
  EXPECT_EQ(file("logs/log-2026-01-01.txt").find("dropped"), std::string::npos);
}

TEST_F(LogTest, SyslogDatagrams) {
  std::string sent;
  set_syslog_transport(std::make_unique<capture_transport>(&sent));
  set_log_level(9);
  ctrl_write_registry(ctrl_settings::syslog_server_ip, "192.0.2.7");  // the setting's effect
  EXPECT_EQ(buffer_texts().back(), "syslog messages will be sent to 192.0.2.7");
  EXPECT_EQ(capture_transport::opened, "v4 514");
  clock_.set_wall(jan1 + 44 * day_ms + 3 * 3600000 + 4 * 60000 + 5000);  // Feb 14
  log_add_message(0, 9, "level nine", "att");
  log_add_message(0, 0, "level zero");
  log_write_pending();
  EXPECT_EQ(
      sent,
      "192.0.2.7:514 <129>Jan 01 00:00:00 pbxhost syslog messages will be sent to 192.0.2.7 \n"
      "192.0.2.7:514 <135>Feb 14 03:04:05 pbxhost level nine att\n"
      "192.0.2.7:514 <128>Feb 14 03:04:05 pbxhost level zero \n");
  // At most 1024 bytes go out.
  log_add_message(0, 1, str('x', 2000));
  log_write_pending();
  EXPECT_EQ(sent.substr(sent.rfind("192.0.2.7:514 ")),
            "192.0.2.7:514 <129>Feb 14 03:04:05 pbxhost " + std::string(1024 - 29, 'x') + "\n");
  // Disabled: nothing is sent, and the change is logged.
  set_syslog_server_ip("nowhere.example");
  EXPECT_EQ(buffer_texts().back(),
            "Cannot resolve the syslog server nowhere.example: syslog is disabled on the PBX");
  set_syslog_server_ip("");
  EXPECT_EQ(buffer_texts().back(), "syslog is disabled on the PBX");
  size_t before = sent.size();
  log_write_pending();
  EXPECT_EQ(sent.size(), before);
}

TEST_F(LogTest, SyslogPriorityAndAddresses) {
  const int expected[] = {128, 129, 130, 131, 132, 133, 133, 134, 135, 135};
  for (int level = 0; level <= 9; ++level)
    EXPECT_EQ(syslog_client::priority(level), expected[level]) << level;
  EXPECT_EQ(syslog_client::format(6, jan1 + 334 * day_ms, "h", "t", "").leftstr(21),
            "<133>Dec 01 00:00:00 ");
  std::string sent;
  syslog_client c;
  c.set_transport(std::make_unique<capture_transport>(&sent, str()));
  c.init("[2001:db8::1]:5514");  // enabled, and without a host name: the lines sent below
  EXPECT_EQ(capture_transport::opened, "v6 514");
  const log_entry e{0, jan1, "x", ""};
  c.send(e);
  c.init("syslog.example:1514");  // a host name is resolved once, when the destination is set
  c.send(e);
  EXPECT_EQ(sent,
            "2001:db8::1:5514 <128>Jan 01 00:00:00 unknown-pbx x \n"
            "192.0.2.9:1514 <128>Jan 01 00:00:00 unknown-pbx x \n");
  for (auto [address, on] :
       {std::pair{"::1", true}, {"10.1.2.3:99999", false}, {"not an address at all", false}}) {
    c.init(address);
    EXPECT_EQ(c.enabled(), on) << address;
  }
  EXPECT_TRUE(c.unresolved());
}

// The real transport on loopback: the datagram arrives with exactly the formatted bytes.
TEST_F(LogTest, SyslogOverRealUdp) {
  int rx = udp_open(ip_port::from_text(str("127.0.0.1:0")));
  ASSERT_GE(rx, 0);
  syslog_client c;
  c.set_local_port(0);
  c.init(str::sprintf("localhost:%d", socket_local_port(rx)));
  ASSERT_TRUE(c.enabled());
  c.send(log_entry{7, jan1, "over the wire", ""});
  mutex m;
  str got;
  ip_port from;
  EXPECT_EQ(wait_socket(rx, false, 5000, m), 1);
  EXPECT_TRUE(udp_receive(rx, got, from));
  close_socket(rx);
  EXPECT_EQ(got, "<134>Jan 01 00:00:00 " + c.host_name() + " over the wire ");
}

TEST_F(LogTest, SipTraceRules) {
  static std::vector<std::string> leg_lines;
  leg_lines.clear();
  set_call_leg_trace([](int leg, const str& dir, const str& addr, const str& raw) {
    leg_lines.push_back(std::to_string(leg) + " " + std::string(dir.view()) + " " +
                        std::string(addr.view()) + " " + std::string(raw.view()));
  });
  // A call leg's message goes to the leg, never to the log.
  ctrl_write_setting(ctrl_settings::log_sip_dialog, "true");
  add_trace("INVITE", 17, "udp:1.2.3.4:5060", "Rx", "INVITE ...");
  EXPECT_EQ(leg_lines, std::vector<std::string>{"17 Rx udp:1.2.3.4:5060 INVITE ..."});
  EXPECT_EQ(get_log_entry_count(), 0u);
  add_trace("INVITE", -1, "udp:1.2.3.4:5060", "Tx", "INVITE sip:x SIP/2.0");
  // REGISTER and SUBSCRIBE/NOTIFY have their own switches (default false).
  add_trace("REGISTER", -1, "udp:1.2.3.4:5060", "Rx", "R1");
  add_trace("NOTIFY", -1, "udp:1.2.3.4:5060", "Rx", "N1");
  ctrl_write_setting(ctrl_settings::log_sip_subnot, "true");
  add_trace("NOTIFY", -1, "udp:1.2.3.4:5060", "Rx", "N2");
  add_trace("SUBSCRIBE", -1, "udp:1.2.3.4:5060", "Rx", "S1");
  // With the switch off only watched hosts are traced, compared without transport and port.
  ctrl_write_setting(ctrl_settings::log_sip_watchlist, "10.0.0.9  tls:[2001:db8::5]:5061");
  add_trace("REGISTER", -1, "tcp:10.0.0.9:41000", "Rx", "R2");
  add_trace("REGISTER", -1, "tcp:10.0.0.99:41000", "Rx", "R3");
  add_trace("REGISTER", -1, "udp:[2001:db8::5]:5060", "Tr", "R4");
  add_trace("REGISTER", -1, "udp:[2001:db8::6]:5060", "Tr", "R5");
  // The SIP group's switch silences traces too.
  set_log_group(log_sip, false);
  add_trace("INVITE", -1, "udp:10.0.0.9:5060", "Rx", "I2");
  EXPECT_EQ(buffer(),
            "5 SIP Tx udp:1.2.3.4:5060:|INVITE sip:x SIP/2.0\n"
            "5 SIP Rx udp:1.2.3.4:5060:|N2\n5 SIP Rx udp:1.2.3.4:5060:|S1\n"
            "5 SIP Rx tcp:10.0.0.9:41000:|R2\n5 SIP Tr udp:[2001:db8::5]:5060:|R4\n");
}

TEST_F(LogTest, TraceAddressHostAndLocalSystemLog) {
  // With a transport and a port: SipTraceRules.
  const std::pair<const char*, const char*> cases[] = {{"TLS 1.2.3.4:5061", "1.2.3.4"},
                                                       {"1.2.3.4", "1.2.3.4"},
                                                       {"[::1]", "::1"},
                                                       {"fe80::1", "fe80::1"},
                                                       {"host.example:5060", "host.example"}};
  for (const auto& [text, host] : cases) EXPECT_EQ(trace_address_host(text), host) << text;
  static std::vector<std::string> lines;
  lines.clear();
  set_local_syslog_writer([](int priority, const str& line) {
    lines.push_back(std::to_string(priority) + " " + std::string(line.view()));
  });
  send_syslog("Starting up");  // the local system log
  EXPECT_EQ(lines, std::vector<std::string>{std::to_string(LOG_NOTICE) + " PBX: Starting up"});
}

}  // namespace
