#include "frame/rtp_loop.h"

#include <gtest/gtest.h>
#include <rapidcheck.h>

#include <unistd.h>

#include <thread>

TEST(RtpLoop, WaitIsCappedAndShortenedByTheResolution) {
  rtp_wait w = rtp_wait_for(20, 50);
  EXPECT_EQ(w.ms, 20);
  EXPECT_EQ(w.us, 19950);
  EXPECT_TRUE(w.may_run);
  w = rtp_wait_for(300, 0);
  EXPECT_EQ(w.ms, 300);
  EXPECT_TRUE(w.may_run);
  w = rtp_wait_for(301, 0);
  EXPECT_EQ(w.ms, 200);
  EXPECT_FALSE(w.may_run);  // cut: the element is not run after this wait
  w = rtp_wait_for(-1, 0);  // empty queue
  EXPECT_EQ(w.ms, 200);
  EXPECT_FALSE(w.may_run);
  w = rtp_wait_for(0, 1000);
  EXPECT_EQ(w.us, 100);  // at least 100 us
}

TEST(RtpLoop, PerformanceStatisticsCountsOnlyPlausiblePasses) {
  performance_init();
  rtimestamp t0 = s2ticks(10);
  performance_statistics(t0, t0 + ms2ticks(2), t0 + ms2ticks(20));
  EXPECT_EQ(rtp_active_ticks.load(), ms2ticks(2));
  EXPECT_EQ(rtp_idle_ticks.load(), ms2ticks(18));
  performance_statistics(0, t0, t0 + 1);                             // unset instant
  performance_statistics(t0, t0 - 1, t0 + 1);                        // negative work
  performance_statistics(t0, t0 + 1, t0);                            // negative idle
  performance_statistics(t0, t0 + ms2ticks(51), t0 + ms2ticks(60));  // work above 50 ms
  EXPECT_EQ(rtp_active_ticks.load(), ms2ticks(2));
  EXPECT_EQ(rtp_idle_ticks.load(), ms2ticks(18));
  performance_statistics(t0, t0 + ms2ticks(50), t0 + ms2ticks(50));
  EXPECT_EQ(rtp_active_ticks.load(), ms2ticks(52));
}

TEST(RtpLoop, AffinityMaskDefaultsToTheFirstCpu) {
  // On a thread of its own: the test process keeps its CPUs.
  std::thread([] {
    EXPECT_TRUE(process_affinity(str("")));
    cpu_set_t set;
    ASSERT_EQ(sched_getaffinity(0, sizeof(set), &set), 0);
    EXPECT_TRUE(CPU_ISSET(0, &set));
    EXPECT_EQ(CPU_COUNT(&set), 1);
    EXPECT_TRUE(process_affinity(str("junk")));
    // A mask naming only a CPU that does not exist fails and leaves the thread where it was.
    if (sysconf(_SC_NPROCESSORS_CONF) < 32) {
      EXPECT_FALSE(process_affinity(str("2147483648")));
      ASSERT_EQ(sched_getaffinity(0, sizeof(set), &set), 0);
      EXPECT_EQ(CPU_COUNT(&set), 1);
    }
  }).join();
}
