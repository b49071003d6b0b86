#include "frame/threads.h"

#include <gtest/gtest.h>
#include <rapidcheck.h>

#include "frame/net.h"

TEST(Threads, StackSizeFromTheSetting) {
  EXPECT_EQ(thread_stack_mib(str("1")), 1);
  EXPECT_EQ(thread_stack_mib(str("10")), 10);
  EXPECT_EQ(thread_stack_mib(str("0")), 4);
  EXPECT_EQ(thread_stack_mib(str("11")), 4);
  EXPECT_EQ(thread_stack_mib(str("")), 4);
  EXPECT_EQ(thread_stack_mib(str("-3")), 4);
}

TEST(Threads, AcceptWaitThrottlesAndCaps) {
  rtimestamp now = s2ticks(100);
  // Nothing accepted yet: watch the listeners at once.
  EXPECT_EQ(accept_wait_ms(0, 50, 200, 0, now), 0);
  // Two connections arriving together are accepted at least the gap apart.
  EXPECT_EQ(accept_wait_ms(1, 50, 200, now - ms2ticks(50), now), 150);
  EXPECT_LE(accept_wait_ms(1, 50, 200, now - ms2ticks(200), now), 0);
  EXPECT_LE(accept_wait_ms(1, 50, 0, now - ms2ticks(1), now), 0);  // rate 0: no throttle
  // At the thread limit the listeners stay out of the read set, whatever the rate.
  EXPECT_EQ(accept_wait_ms(50, 50, 200, 0, now), 200);
  EXPECT_GT(accept_wait_ms(50, 50, 0, 0, now), 0);
  EXPECT_GT(accept_wait_ms(120, 100, 500, now - s2ticks(60), now), 0);
}

TEST(Threads, WaitedForMessageCadence) {
  select_timeout_counter c;
  std::vector<int> logged_at;
  for (int i = 1; i <= 46; i++) {
    int secs = 0;
    if (c.on_timeout(secs)) logged_at.push_back(secs);
  }
  // Counts before the time-out 15, 30, 45 (after: 16, 31, 46) -> half of those.
  EXPECT_EQ(logged_at, (std::vector<int>{8, 15, 23}));
  c.reset();
  int secs;
  EXPECT_FALSE(c.on_timeout(secs));  // the count before is 0 but after is only 1
}

TEST(Threads, CreateThreadWithAChosenStack) {
  static semaphore done;
  static size_t seen_stack;
  auto body = [](void*) -> void* {
    pthread_attr_t a;
    pthread_getattr_np(pthread_self(), &a);
    pthread_attr_getstacksize(&a, &seen_stack);
    pthread_attr_destroy(&a);
    done.signal();
    return nullptr;
  };
  ASSERT_EQ(create_thread(body, nullptr, true, size_t{4} << 20), 0);
  ASSERT_EQ(done.wait(int64_t{10000}), 2);
  EXPECT_GE(seen_stack, size_t{4} << 20);
}

TEST(Net, LoopbackDatagramsCarryTheirSource) {
  int a = udp_open(ip_port::from_text(str("127.0.0.1:0")));
  int b = udp_open(ip_port::from_text(str("127.0.0.2:0")));
  ASSERT_GE(a, 0);
  ASSERT_GE(b, 0);
  ip_port to_a = ip_port::from_text(str("127.0.0.1"), static_cast<uint16_t>(socket_local_port(a)));
  ASSERT_TRUE(udp_send(b, str("hello"), to_a));
  single_thread_mode = true;
  mutex m;
  ASSERT_EQ(wait_socket(a, false, 5000, m), 1);
  str data;
  ip_port from;
  ASSERT_TRUE(udp_receive(a, data, from));
  EXPECT_EQ(data, "hello");
  EXPECT_EQ(from.readable_address(), "127.0.0.2");
  EXPECT_EQ(from.port, socket_local_port(b));
  EXPECT_FALSE(udp_receive(a, data, from));  // nothing more: no blocking
  // A port in use cannot be bound again.
  EXPECT_LT(udp_open(to_a), 0);
  int l = tcp_listen(ip_port::from_text(str("127.0.0.1:0")));
  ASSERT_GE(l, 0);
  EXPECT_LT(
      tcp_listen(ip_port::from_text(str("127.0.0.1"), static_cast<uint16_t>(socket_local_port(l)))),
      0);
  close_socket(a);
  close_socket(b);
  close_socket(l);
}

TEST(Net, TypeOfServiceNames) {
  EXPECT_EQ(tos_from_text(str("cs5")), 0xa0);
  EXPECT_EQ(tos_from_text(str("EF")), 0xb8);
  EXPECT_EQ(tos_from_text(str("af41")), 0x88);
  EXPECT_EQ(tos_from_text(str("184")), 184);
  EXPECT_EQ(tos_from_text(str("bogus")), -1);
  EXPECT_EQ(tos_from_text(str("")), -1);
}
