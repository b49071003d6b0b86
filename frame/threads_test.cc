#include "frame/threads.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "frame/net.h"
#include "frame/settings.h"

TEST(Threads, TypeOfServiceFromItsSetting) {
  const std::pair<const char*, int> tos[] = {{"cs5", 0xa0}, {"EF", 0xb8},  {"af41", 0x88},
                                             {"184", 184},  {"bogus", -1}, {"", -1}};
  for (const auto& [text, value] : tos) EXPECT_EQ(tos_from_text(str(text)), value) << text;
}

// The loops pass no gap (pacing is per address: ConnectionAdmission); at the thread limit the
// listeners stay out of the read set.
TEST(Threads, AcceptWaitCapsAtTheThreadLimit) {
  const rtimestamp now = s2ticks(100);
  EXPECT_EQ(accept_wait_ms(0, 50, 0, 0, now), 0);
  EXPECT_LE(accept_wait_ms(49, 50, 0, now - ms2ticks(1), now), 0);
  EXPECT_GT(accept_wait_ms(50, 50, 0, 0, now), 0);
  EXPECT_GT(accept_wait_ms(120, 100, 0, now - s2ticks(60), now), 0);
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

// The loops' threads are started with the default stack (the size argument is left to
// callers to come) and carry their names.
TEST(Threads, CreateThreadNamesIt) {
  static semaphore go, done;
  static char seen_name[16];
  auto body = [](void*) -> void* {
    go.wait();  // named by create_thread once pthread_create has returned
    pthread_getname_np(pthread_self(), seen_name, sizeof(seen_name));
    done.signal();
    return nullptr;
  };
  ASSERT_EQ(create_thread(body, nullptr, true, 0, "sip-timer"), 0);
  go.signal();
  ASSERT_EQ(done.wait(int64_t{10000}), 2);
  EXPECT_STREQ(seen_name, "sip-timer");
}

namespace {

std::vector<std::string>& hook_calls = *new std::vector<std::string>;

// Real sockets on a loopback listener; every hook of a SIP connection is recorded.
class ConnectionThreads : public ::testing::Test {
 protected:
  void SetUp() override {
    single_thread_mode = false;
    hook_calls.clear();
    sip_admission.clear();
    sip_tcp_hooks h;
    h.create = [](int n, int, const ip_port& remote, bool tls) {
      hook_calls.push_back("create " + std::to_string(n) + (tls ? " tls " : " tcp ") +
                           std::string(remote.readable_address().view()));
    };
    h.serve = [](int n) { hook_calls.push_back("serve " + std::to_string(n)); };
    h.release = [](int n) { hook_calls.push_back("release " + std::to_string(n)); };
    set_sip_tcp_hooks(h);
    listener_ = tcp_listen(ip_port::from_text(str("127.0.0.1:0")));
    ASSERT_GE(listener_, 0);
  }
  void TearDown() override {
    set_sip_tcp_hooks(sip_tcp_hooks());
    set_http_serve(nullptr);
    ctrl_write_setting(ctrl_settings::http_connections_per_address, "64");
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
  // The client sees the close (end of stream or reset) and no data.
  static void expect_closed(int client) {
    pollfd p{client, POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 10000), 1);
    char b[16];
    EXPECT_LE(read(client, b, sizeof(b)), 0);
  }
  int listener_ = -1;
};

}  // namespace

// A connection is accepted under srv_run_mutex onto a non-blocking socket above select's range,
// its connection object created and handed to the loops; end_sip_connection releases it, closes
// the socket and forgets the address. Refused sources are walked by
// BlockingE2E.BlockedConnectionsDoNotDelayOthers, the per-address limit's rule by
// ConnectionAdmission.LimitAndPacingPerAddress.
TEST_F(ConnectionThreads, SipTcpConnectionServedAndEnded) {
  std::vector<std::string> expected;
  for (const char* kind : {"tcp", "tls"}) {
    int client = connect_client();
    ASSERT_GE(client, 0);
    const std::string n = std::to_string(sip_thread_number + 1);
    holding(srv_run_mutex, [&] {
      EXPECT_TRUE(fork_sip_tcp(listener_, kind == std::string("tls")));
      ASSERT_EQ(sip_threads.count(sip_thread_number), 1u);
      const int fd = sip_threads.at(sip_thread_number).fd;
      EXPECT_GE(fd, FD_SETSIZE);
      EXPECT_TRUE(fcntl(fd, F_GETFL) & O_NONBLOCK);
      end_sip_connection(sip_thread_number);
      EXPECT_TRUE(sip_threads.empty());
      EXPECT_EQ(sip_admission.open(str("\x7f\0\0\1", 4)), 0);
    });
    expected.insert(expected.end(),
                    {"create " + n + " " + kind + " 127.0.0.1", "serve " + n, "release " + n});
    expect_closed(client);
    close(client);
  }
  EXPECT_EQ(hook_calls, expected);
}

// An accepted HTTP connection is handed to the web layer on the accepting thread (ctrl),
// counted until end_http_connection; an address's connections start http_wait apart and the one
// over its limit is closed at the accept.
TEST_F(ConnectionThreads, HttpConnectionsPacedAndLimitedPerAddress) {
  static std::vector<http_connection_entry> served;
  served.clear();
  http_admission.clear();
  set_http_serve([](const http_connection_entry& e) { served.push_back(e); });
  const int limit = 5;
  ctrl_write_setting(ctrl_settings::http_connections_per_address, "5");
  std::vector<int> clients;
  for (int i = 0; i <= limit; i++) clients.push_back(connect_client());
  holding(ctrl_run_mutex, [&] {
    http_wait = 200;
    for (size_t i = 0; i < clients.size(); i++) fork_http(listener_, i % 2);
    ASSERT_EQ(served.size(), size_t(limit));
    EXPECT_EQ(num_http_threads.load(), limit);
    for (size_t i = 0; i < served.size(); i++)
      EXPECT_TRUE(served[i].start - served[0].start == rtimestamp(i) * ms2ticks(200) &&
                  served[i].tls == (i % 2 == 1) && served[i].admitted)
          << i;
    for (const http_connection_entry& e : served) {
      close_socket(e.fd);
      end_http_connection(e);
    }
    EXPECT_EQ(num_http_threads.load() + http_admission.open(str("\x7f\0\0\1", 4)), 0);
  });
  expect_closed(clients.back());
  for (int c : clients) close(c);
}
