#include "frame/startup.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/file_system.h"
#include "base/log_capture_test_util.h"
#include "frame/settings.h"
#include "frame/sip_loop.h"
#include "frame/timeout_test_util.h"

namespace {

int midnight_system_runs = 0, midnight_domain_runs = 0, legs = 0;
int night_seconds = 30, samples = 0, wakeups = 0;

class StartupTest : public ::testing::Test {
 protected:
  void SetUp() override {
    set_fatal_exit([](int) {});  // a port error must not end the test binary
    init_config();
    startup_hooks& h = frame_hooks();
    h.system_midnight_events = [] { midnight_system_runs++; };
    h.domain_midnight_events = [] { midnight_domain_runs++; };
    h.call_leg_count = [] { return legs; };
    h.update_night_service = [] { return night_seconds; };
    h.sample_statistics = [] { samples++; };
    h.process_wakeups = [] { wakeups++; };
  }
  void TearDown() override {
    set_fatal_exit(nullptr);
    frame_hooks() = startup_hooks();
    check_ports = true;
  }
  memory_file_system mfs_;
  scoped_file_system sfs_{&mfs_};
};

}  // namespace

// The loop sleeps to the next quarter hour; a pass runs the events and the automatic reboot.
TEST_F(StartupTest, MidnightLoop) {
  const std::pair<int, int> minute_sleep[] = {{0, 900}, {14, 60}, {15, 900}, {59, 60}};
  for (auto [minute, sleep] : minute_sleep) EXPECT_EQ(midnight_sleep_seconds(minute), sleep);
  midnight_system_runs = midnight_domain_runs = 0;
  // The system's events at midnight only, the domains' at every pass.
  const bool reboot = midnight_pass(0, 0) || midnight_pass(13, 0);
  EXPECT_EQ(str::sprintf("%d %d %d", reboot, midnight_system_runs, midnight_domain_runs), "0 1 2");
  // A reboot waits while calls are up.
  ctrl_write_setting(ctrl_settings::reboot, str("next"));
  legs = 2;
  EXPECT_FALSE(midnight_pass(3, 30));
  EXPECT_EQ(ctrl_read_registry(ctrl_settings::reboot), "next");
  legs = 0;
  EXPECT_TRUE(midnight_pass(3, 45));
  // The setting is used up, and the domains' events do not run on the rebooting pass.
  EXPECT_EQ(ctrl_read_registry(ctrl_settings::reboot) + str::from_int64(midnight_domain_runs), "3");
}

TEST_F(StartupTest, KeepAliveReschedulesItselfAndSamplesEvery240Seconds) {
  manual_clock clock(s2ticks(1000));
  scoped_clock sc(&clock);
  samples = wakeups = 0;
  night_seconds = 30;
  size_t before = http_thread_queue.size();
  keep_alive_timer();
  EXPECT_EQ(str::sprintf("%d %d %d", samples, wakeups, int(http_thread_queue.size() - before)),
            "1 1 1");
  EXPECT_EQ(http_thread_queue.first_due(), clock_now() + s2ticks(30));
  for (int i = 0; i < 8; i++) {  // 8 x 30 s = 240 s: not yet more than 240 s
    clock.advance_ms(30000);
    ASSERT_EQ(run_due(http_thread_queue), 1);
  }
  EXPECT_EQ(std::to_string(samples) + " " + std::to_string(wakeups), "1 9");
  clock.advance_ms(30000);
  http_thread_queue.next();  // always exactly one keep-alive
  EXPECT_EQ(std::to_string(samples) + " " + std::to_string(http_thread_queue.size() - before),
            "2 1");
}

TEST_F(StartupTest, MeminfoHasOneCrLfLinePerContainer) {
  add_meminfo_source([](str& out) { out += "domains: 3\r\n"; });
  timeout t;
  t.callback(rtp_thread_queue, s2ticks(5), callback_argument([] {}));
  str m = get_meminfo();
  EXPECT_GE(m.find(str("rtp_thread_queue: 1\r\n")), 0);
  EXPECT_GE(m.find(str("sip_connections: 0\r\n")), 0);
  EXPECT_TRUE(m.ends_with(str("domains: 3\r\n")));
  EXPECT_EQ(m.find(str("\n")), m.find(str("\r\n")) + 1);
}

namespace {

std::vector<std::string> order;

// Every port 0, so a restart opens nothing real; email_restart_system as given.
void write_config(memory_file_system& fs, const char* mail) {
  fs.files["pbx.xml"] =
      std::string(
          "<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n<pbx-config>"
          "<ip_http_port>0</ip_http_port><ip_https_port>0</ip_https_port>"
          "<ip_sip_udp_port>0</ip_sip_udp_port><ip_sip_tcp_port>0</ip_sip_tcp_port>"
          "<ip_sip_tls_port>0</ip_sip_tls_port><email_restart_system>") +
      mail + "</email_restart_system></pbx-config>";
}

}  // namespace

TEST_F(StartupTest, RestartReloadsEverythingReopensThePortsAndMailsWhenAsked) {
  write_config(mfs_, "true");
  order.clear();
  startup_hooks& h = frame_hooks();
  h.clear_call_rows = [] { order.push_back("clear_call_rows"); };
  h.reset_soap = [] { order.push_back("reset_soap"); };
  h.init_tables = [] { order.push_back("init_tables"); };
  h.fix_upgrades = [] { order.push_back("fix_upgrades"); };
  h.rebuild_domain_index = [] { order.push_back("rebuild_domain_index"); };
  h.email_admins = [](const str& subject, const str& body) {
    order.push_back("email " + std::string(subject.view()) + "/" + std::string(body.view()));
  };
  log_capture log;
  restart();
  EXPECT_EQ(order, (std::vector<std::string>{
                       "clear_call_rows", "reset_soap", "init_tables", "clear_call_rows",
                       "fix_upgrades", "rebuild_domain_index", "email Restart/System restart"}));
  EXPECT_TRUE(log.contains("Restart", 0));
  // The SIP ports are srv-side: their re-opening waits on the SIP timer queue.
  sip_sockets.push_back(sip_socket{sip_socket::udp, -1, ip_port()});
  EXPECT_EQ(run_due(sip_thread_queue), 1);
  EXPECT_TRUE(sip_sockets.empty());  // re-opened with every SIP port set to 0
  // email_restart_system false: the same steps without the mail.
  write_config(mfs_, "false");
  order.clear();
  restart();
  EXPECT_EQ(order,
            (std::vector<std::string>{"clear_call_rows", "reset_soap", "init_tables",
                                      "clear_call_rows", "fix_upgrades", "rebuild_domain_index"}));
}
