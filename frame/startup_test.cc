#include "frame/startup.h"

#include <gtest/gtest.h>
#include <rapidcheck.h>

#include "base/file_system.h"
#include "frame/settings.h"
#include "frame/timeout.h"

namespace {

int exit_status = -1;
void fake_exit(int status) { exit_status = status; }

int midnight_system_runs = 0, midnight_domain_runs = 0, legs = 0;
int night_seconds = 30, samples = 0, wakeups = 0;

class StartupTest : public ::testing::Test {
 protected:
  void SetUp() override {
    exit_status = -1;
    set_fatal_exit(fake_exit);
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

TEST_F(StartupTest, FatalPortErrorWithCheckPortsWritesTheFileAndExits) {
  check_ports = true;
  fatal_port_error(str("FATAL: Could not open UDP port 0.0.0.0:5060 for SIP"));
  EXPECT_EQ(exit_status, 1);
  EXPECT_EQ(mfs_.files["pbx_startup_err.txt"],
            "FATAL: Could not open UDP port 0.0.0.0:5060 for SIP");
}

TEST_F(StartupTest, FatalPortErrorWithoutCheckPortsCarriesOn) {
  check_ports = false;
  fatal_port_error(str("FATAL: Could not open TCP port 5060 for SIP"));
  EXPECT_EQ(exit_status, -1);
  EXPECT_EQ(mfs_.files.count("pbx_startup_err.txt"), 0u);
}

TEST_F(StartupTest, MidnightLoopSleepsToTheNextQuarterHour) {
  EXPECT_EQ(midnight_sleep_seconds(0), 900);
  EXPECT_EQ(midnight_sleep_seconds(14), 60);
  EXPECT_EQ(midnight_sleep_seconds(15), 900);
  EXPECT_EQ(midnight_sleep_seconds(59), 60);
}

TEST_F(StartupTest, MidnightPassRunsTheEventsAndTheAutomaticReboot) {
  midnight_system_runs = midnight_domain_runs = 0;
  EXPECT_FALSE(midnight_pass(0, 0));
  EXPECT_EQ(midnight_system_runs, 1);
  EXPECT_EQ(midnight_domain_runs, 1);
  EXPECT_FALSE(midnight_pass(13, 0));
  EXPECT_EQ(midnight_system_runs, 1);
  EXPECT_EQ(midnight_domain_runs, 2);
  // A reboot waits while calls are up.
  ctrl_write_setting(ctrl_settings::reboot, str("next"));
  legs = 2;
  EXPECT_FALSE(midnight_pass(3, 30));
  EXPECT_EQ(ctrl_read_registry(ctrl_settings::reboot), "next");
  legs = 0;
  EXPECT_TRUE(midnight_pass(3, 45));
  EXPECT_EQ(ctrl_read_registry(ctrl_settings::reboot), "");
  EXPECT_EQ(midnight_domain_runs, 3);  // not run on the rebooting pass
}

TEST_F(StartupTest, KeepAliveReschedulesItselfAndSamplesEvery240Seconds) {
  manual_clock clock(s2ticks(1000));
  scoped_clock sc(&clock);
  samples = wakeups = 0;
  night_seconds = 30;
  size_t before = http_thread_queue.size();
  keep_alive_timer();
  EXPECT_EQ(samples, 1);
  EXPECT_EQ(wakeups, 1);
  EXPECT_EQ(http_thread_queue.size(), before + 1);
  EXPECT_EQ(http_thread_queue.first_due(), clock_now() + s2ticks(30));
  for (int i = 0; i < 8; i++) {  // 8 x 30 s = 240 s: not yet more than 240 s
    clock.advance_ms(30000);
    rtimestamp now;
    uint64_t id;
    ASSERT_EQ(http_thread_queue.delay(now, id), 0);
    http_thread_queue.next();
  }
  EXPECT_EQ(samples, 1);
  EXPECT_EQ(wakeups, 9);
  clock.advance_ms(30000);
  http_thread_queue.next();
  EXPECT_EQ(samples, 2);
  EXPECT_EQ(http_thread_queue.size(), before + 1);  // always exactly one keep-alive
}

TEST_F(StartupTest, MeminfoHasOneCrLfLinePerContainer) {
  add_meminfo_source([](str& out) { out += "domains: 3\r\n"; });
  timeout t;
  t.callback(rtp_thread_queue, s2ticks(5), callback_argument([] {}));
  str m = get_meminfo();
  EXPECT_GE(m.find(str("rtp_thread_queue: 1\r\n")), 0);
  EXPECT_GE(m.find(str("sip_connections: 0\r\n")), 0);
  EXPECT_TRUE(m.ends_with(str("domains: 3\r\n")));
  for (size_t i = 0; i < 20; i++) {
    str line = m.get_line(i);
    if (line.empty()) break;
    EXPECT_GT(line.find(str(": ")), 0) << line.c_str();
    EXPECT_TRUE(line.get_rest(1).is_number()) << line.c_str();
  }
}
