#include "frame/rtp_loop.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "frame/net.h"
#include "frame/timeout.h"

// A wait above 300 ms (or on an empty queue, -1) is cut to 200 ms and runs nothing after it;
// the resolution shortens the wait, to at least 100 us.
TEST(RtpLoop, WaitIsCappedAndShortenedByTheResolution) {
  const struct {
    int64_t due_ms, resolution_us, ms, us;
    bool may_run;
  } cases[] = {{20, 50, 20, 19950, true},
               {300, 0, 300, 300000, true},
               {301, 0, 200, 200000, false},
               {-1, 0, 200, 200000, false},
               {0, 1000, 0, 100, true}};
  for (const auto& c : cases) {
    rtp_wait w = rtp_wait_for(c.due_ms, c.resolution_us);
    EXPECT_EQ(std::to_string(w.ms) + " " + std::to_string(w.us) + " " + std::to_string(w.may_run),
              std::to_string(c.ms) + " " + std::to_string(c.us) + " " + std::to_string(c.may_run))
        << c.due_ms << " " << c.resolution_us;
  }
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

namespace {

int media_fd = -1;
std::vector<std::string>& rtp_events = *new std::vector<std::string>;

void fill_one(read_set& rs) { rs.add(media_fd); }
void serve_ready(const read_set& rs) {
  if (!rs.ready(media_fd)) return;
  str data;
  ip_port from;
  while (udp_receive(media_fd, data, from))  // non-blocking: ends when the socket is empty
    rtp_events.push_back("rtp " + std::string(data.view()) + " from " +
                         std::string(from.readable().view()));
}

}  // namespace

// Ready media sockets are served first; the due timer runs in the pass that finds nothing to
// read. Everything is due at once, so no pass waits.
TEST(RtpLoop, ServesSocketsAndRunsDueTimers) {
  single_thread_mode = true;
  // A descriptor beyond fd_set's range, as a full table of legs has them.
  media_fd = fcntl(udp_open(ip_port::from_text(str("127.0.0.1:0"))), F_DUPFD_CLOEXEC, 1100);
  int peer = udp_open(ip_port::from_text(str("127.0.0.2:0")));
  ASSERT_TRUE(media_fd >= 0 && peer >= 0);
  set_rtp_socket_hooks(rtp_socket_hooks{fill_one, serve_ready});
  rtp_events.clear();
  timeout t;
  t.callback(rtp_thread_queue, 0, callback_argument([] { rtp_events.push_back("timer"); }));
  ip_port to =
      ip_port::from_text(str("127.0.0.1"), static_cast<uint16_t>(socket_local_port(media_fd)));
  ASSERT_TRUE(udp_send(peer, str("p1"), to));
  mutex m;
  ASSERT_EQ(wait_socket(media_fd, false, 5000, m), 1);
  EXPECT_GE(socket_queued_bytes(media_fd), 2);  // the datagram waits, charged with its overhead
  rtimestamp work_end = 0;
  rtp_loop_pass(work_end);
  const std::string got = "rtp p1 from 127.0.0.2:" + std::to_string(socket_local_port(peer));
  EXPECT_EQ(rtp_events, (std::vector<std::string>{got}));
  EXPECT_TRUE(socket_queued_bytes(media_fd) == 0 && t.pending() && work_end != 0);
  rtp_loop_pass(work_end);
  EXPECT_EQ(rtp_events, (std::vector<std::string>{got, "timer"}));
  set_rtp_socket_hooks(rtp_socket_hooks());
  close_socket(media_fd);
  close_socket(peer);
}

// Without sockets the thread sleeps on its semaphore; an earlier timer wakes it and the next
// pass runs it.
TEST(RtpLoop, WithoutSocketsAnInsertionWakesTheSemaphore) {
  single_thread_mode = true;
  set_rtp_socket_hooks(rtp_socket_hooks());
  rtp_events.clear();
  while (rtp_semaphore.try_wait()) {
  }
  timeout t;
  t.callback(rtp_thread_queue, 0, callback_argument([] { rtp_events.push_back("timer"); }));
  rtimestamp work_end = 0;
  rtp_loop_pass(work_end);  // due now: no wait at all
  EXPECT_EQ(rtp_events, (std::vector<std::string>{"timer"}));
  // A far timer: the pass would sleep 200 ms; a signal ends the sleep without running it.
  t.callback(rtp_thread_queue, s2ticks(60), callback_argument([] { rtp_events.push_back("x"); }));
  rtp_semaphore.signal();
  rtp_loop_pass(work_end);
  EXPECT_TRUE(t.pending() && rtp_events.size() == 1);
  t.clear();
}
