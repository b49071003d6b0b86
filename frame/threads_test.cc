#include "frame/threads.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <rapidcheck.h>
#include <sys/socket.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "frame/net.h"

TEST(Threads, StackSizeAndTypeOfServiceFromTheirSettings) {
  const std::pair<const char*, int> stacks[] = {{"1", 1},  {"10", 10}, {"0", 4},
                                                {"11", 4}, {"", 4},    {"-3", 4}};
  for (const auto& [text, mib] : stacks) EXPECT_EQ(thread_stack_mib(str(text)), mib) << text;
  const std::pair<const char*, int> tos[] = {{"cs5", 0xa0}, {"EF", 0xb8},  {"af41", 0x88},
                                             {"184", 184},  {"bogus", -1}, {"", -1}};
  for (const auto& [text, value] : tos) EXPECT_EQ(tos_from_text(str(text)), value) << text;
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

TEST(Threads, CreateThreadWithAChosenStackAndName) {
  static semaphore go, done;
  static size_t seen_stack;
  static char seen_name[16];
  auto body = [](void*) -> void* {
    go.wait();  // named by create_thread once pthread_create has returned
    pthread_getname_np(pthread_self(), seen_name, sizeof(seen_name));
    pthread_attr_t a;
    pthread_getattr_np(pthread_self(), &a);
    pthread_attr_getstacksize(&a, &seen_stack);
    pthread_attr_destroy(&a);
    done.signal();
    return nullptr;
  };
  ASSERT_EQ(create_thread(body, nullptr, true, size_t{4} << 20, "sip-timer"), 0);
  go.signal();
  ASSERT_EQ(done.wait(int64_t{10000}), 2);
  EXPECT_GE(seen_stack, size_t{4} << 20);
  EXPECT_STREQ(seen_name, "sip-timer");
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
  EXPECT_GE(socket_queued_bytes(a), 5);  // the datagram waits, charged with its overhead
  str data;
  ip_port from;
  ASSERT_TRUE(udp_receive(a, data, from));
  EXPECT_EQ(socket_queued_bytes(a), 0);
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

namespace {

semaphore& loop_entered = *new semaphore;
semaphore& release_done = *new semaphore;
std::vector<std::string>& hook_calls = *new std::vector<std::string>;
std::vector<std::string>& checked = *new std::vector<std::string>;
bool allow_source = true;

// Real threads on a loopback listener; every hook of a SIP connection thread is recorded. The
// loop waits for the peer's close with srv_run_mutex released, like the real loop.
class ConnectionThreads : public ::testing::Test {
 protected:
  void SetUp() override {
    single_thread_mode = false;
    hook_calls.clear();
    checked.clear();
    allow_source = true;
    sip_tcp_hooks h;
    h.create = [](int n, int, const ip_port& remote, bool tls) {
      hook_calls.push_back("create " + std::to_string(n) + (tls ? " tls " : " tcp ") +
                           std::string(remote.readable_address().view()));
    };
    h.loop = [](int n) {
      hook_calls.push_back("loop " + std::to_string(n) + " side " +
                           std::to_string(static_cast<int>(thread_side())));
      int fd = sip_threads.at(n).fd;
      loop_entered.signal();
      while (wait_socket(fd, false, 5000, srv_run_mutex) == 1) {
        char b[64];
        if (read(fd, b, sizeof(b)) <= 0) break;
      }
    };
    h.release = [](int n) {
      hook_calls.push_back("release " + std::to_string(n));
      release_done.signal();
    };
    set_sip_tcp_hooks(h);
    listener_ = tcp_listen(ip_port::from_text(str("127.0.0.1:0")));
    ASSERT_GE(listener_, 0);
  }
  void TearDown() override {
    set_sip_source_check(nullptr);
    set_sip_tcp_hooks(sip_tcp_hooks());
    set_http_serve(nullptr);
    close_socket(listener_);
    single_thread_mode = true;
  }
  int connect_client() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(socket_local_port(listener_)));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0) {
      close(fd);
      return -1;
    }
    return fd;
  }
  // Runs f on a thread of its own that holds the given run mutex, as the accepting loop does.
  static void holding(mutex& run, const std::function<void()>& f) {
    std::thread([&] {
      run.lock();
      f();
      run.unlock();
    }).join();
  }
  int listener_ = -1;
};

}  // namespace

// A connection from a source the check refuses is closed at the accept: no thread number, no
// connection object, and the peer reads end-of-stream without a byte. A source the check passes
// goes through the lifecycle of a SIP TCP connection thread: accepted under srv_run_mutex, its
// connection object created before the thread runs, the loop on the thread (which holds
// srv_run_mutex except while it waits), the release, and the entry gone afterwards.
TEST_F(ConnectionThreads, SipTcpConnectionRefusedOrServedThroughItsLifecycle) {
  set_sip_source_check([](const ip_port& remote) {
    checked.push_back(remote.readable_address().c_str());
    return allow_source;
  });
  allow_source = false;
  int client = connect_client();
  ASSERT_GE(client, 0);
  const int before = sip_thread_number;
  holding(srv_run_mutex, [&] {
    EXPECT_FALSE(fork_sip_tcp(listener_, false));  // does not count for the accept pacing
    EXPECT_EQ(sip_thread_number, before);
    EXPECT_TRUE(sip_threads.empty());
  });
  EXPECT_TRUE(hook_calls.empty());
  EXPECT_EQ(checked, std::vector<std::string>{"127.0.0.1"});
  // The client sees the close (end of stream or reset) and no data.
  pollfd p{client, POLLIN, 0};
  ASSERT_EQ(poll(&p, 1, 10000), 1);
  char b[16];
  EXPECT_LE(read(client, b, sizeof(b)), 0);
  close(client);

  allow_source = true;
  std::vector<std::string> expected;
  for (const char* kind : {"tcp", "tls"}) {
    client = connect_client();
    ASSERT_GE(client, 0);
    holding(srv_run_mutex, [&] {
      EXPECT_TRUE(fork_sip_tcp(listener_, kind == std::string("tls")));
      EXPECT_EQ(sip_threads.count(sip_thread_number), 1u);
    });
    const std::string n = std::to_string(sip_thread_number);
    expected.insert(expected.end(), {"create " + n + " " + kind + " 127.0.0.1",
                                     "loop " + n + " side 2", "release " + n});
    ASSERT_EQ(loop_entered.wait(int64_t{10000}), 2);
    close(client);
    ASSERT_EQ(release_done.wait(int64_t{10000}), 2);
    // The entry goes right after the release, under srv_run_mutex.
    bool empty = false;
    for (int i = 0; i < 1000 && !empty; i++) {
      holding(srv_run_mutex, [&] { empty = sip_threads.empty(); });
      if (!empty) usleep(1000);
    }
    EXPECT_TRUE(empty);
  }
  EXPECT_EQ(sip_thread_number, before + 2);
  EXPECT_EQ(checked.size(), 3u);
  EXPECT_EQ(hook_calls, expected);
}

TEST_F(ConnectionThreads, HttpConnectionIsHandedToItsThreadAndCounted) {
  static int served_fd;
  static bool served_on_ctrl;
  set_http_serve([](int fd, const ip_port&, bool) {
    served_fd = fd;
    served_on_ctrl = thread_side() == run_side::ctrl;
    close_socket(fd);
    release_done.signal();
  });
  int client = connect_client();
  ASSERT_GE(client, 0);
  served_fd = -1;
  holding(ctrl_run_mutex, [&] {
    max_http_threads = 50;
    fork_http(listener_, false);  // returns once the thread has accepted
  });
  ASSERT_EQ(release_done.wait(int64_t{10000}), 2);
  EXPECT_GE(served_fd, 0);
  EXPECT_TRUE(served_on_ctrl);
  for (int i = 0; i < 1000 && num_http_threads.load() != 0; i++) usleep(1000);
  EXPECT_EQ(num_http_threads.load(), 0);
  close(client);
}
