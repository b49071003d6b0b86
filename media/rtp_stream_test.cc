// The RTP receive path, pass-through relay and port allocation over scripted sockets.
#include "media/rtp_stream.h"

#include <gtest/gtest.h>

#include <deque>
#include <map>
#include <string>
#include <vector>

#include "base/log_capture_test_util.h"
#include "frame/settings.h"

namespace {

struct scripted_sockets : rtp_socket_ops {
  int fail_first = 0;  // so many opens fail
  int next_fd = 3;
  std::vector<int> opened_ports;
  std::vector<std::string> sent;  // "dest bytes-in-hex"
  std::map<int, std::deque<std::pair<str, ip_port>>> inbox;
  int open(const ip_port& local) override {
    if (fail_first > 0 && fail_first--) return -1;
    opened_ports.push_back(local.port);
    return next_fd++;
  }
  void set_tos(int, int) override {}
  bool send(int, const str& d, const ip_port& to) override {
    std::string hex;
    for (size_t i = 0; i < d.length(); ++i) {
      hex += "0123456789abcdef"[d[i] >> 4];
      hex += "0123456789abcdef"[d[i] & 15];
    }
    sent.push_back(std::string(to.readable().view()) + " " + hex);
    return true;
  }
  bool receive(int fd, str& d, ip_port& from) override {
    if (inbox[fd].empty()) return false;
    std::tie(d, from) = inbox[fd].front();
    inbox[fd].pop_front();
    return true;
  }
  void close(int) override {}
};

str rtp(int pt, int seq, uint32_t ssrc, int csrc = 0, str payload = str(char(0xff), 4)) {
  str p = rtp_write_header(false, pt, uint16_t(seq), 1000, ssrc);
  p.set_character(0, char(0x80 | csrc));
  return p + str('\0', 4 * size_t(csrc)) + payload;
}

ip_port at(const char* text) { return ip_port::from_text(str(text)); }

struct rtp_stream_test : ::testing::Test {
  log_capture logs{9};
  scripted_sockets sockets;
  call_sdp sdp_a, sdp_b;
  rtp_stream *a = nullptr, *b = nullptr;
  void SetUp() override {
    ctrl_write_setting(ctrl_settings::symmetrical_rtp, "true");
    ctrl_write_setting(ctrl_settings::allow_pass_through, "true");
    sdp_a.codecs.add(0, codec_ulaw);
    sdp_b.codecs.add(96, codec_ulaw);  // the other peer numbers PCMU differently
    sdp_b.codecs.add(8, codec_alaw);
    sdp_a.packet_length = sdp_b.packet_length = 20;
    a = rtp_stream_open(1, "call-a", &sdp_a);
    b = rtp_stream_open(2, "call-b", &sdp_b);
    a->allocate_ports(sockets);
    b->allocate_ports(sockets);
    b->set_sdp_dest(at("127.0.0.9:6000"));
    a->linked = {2};
    b->linked = {1};
    logs.clear();
  }
  void TearDown() override {
    rtp_stream_close(1);
    rtp_stream_close(2);
  }
};

TEST(rtp_packet, header_lengths) {
  struct {
    str packet;
    bool ok;
    size_t header;
  } cases[] = {
      {rtp(0, 1, 7).leftstr(11), false, 0},  // 11 bytes
      {rtp(0, 1, 7), true, 12},
      {rtp(0, 1, 7, 2), true, 20},  // two CSRCs
      {str::bytes({0x90, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 1, 0xbe, 0xde, 0, 1, 9, 9, 9, 9}), true, 20},
      {str::bytes({0x90, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 1, 0xbe, 0xde, 0, 2, 9, 9, 9, 9}), false, 0},
      {str::bytes({1, 1, 0, 8, 0x21, 0x12, 0xa4, 0x42, 0, 0, 0, 0}), false, 0},  // STUN-like
      {str::bytes({0x40, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 1}), false, 0},           // version 1
  };
  for (const auto& c : cases) {
    rtp_header h;
    EXPECT_EQ(rtp_parse(c.packet, h), c.ok) << c.packet.length();
    EXPECT_EQ(h.header_length, c.header);  // left 0 when refused
  }
}

TEST_F(rtp_stream_test, receive_path) {
  struct step {
    str packet;
    int ms;
  };
  struct {
    const char* name;
    std::vector<step> steps;
    uint64_t received;
    uint32_t extended;
    bool tuned;
  } cases[] = {
      {"short", {{rtp(0, 5, 7).leftstr(11), 0}}, 0, 32768, false},
      {"ssrc 50 ms", {{rtp(0, 5, 7), 0}, {rtp(0, 6, 8), 50}}, 1, 5, false},
      {"ssrc 150 ms", {{rtp(0, 5, 7), 0}, {rtp(0, 6, 8), 150}}, 2, 6, true},
      {"wrap", {{rtp(0, 65535, 7), 0}, {rtp(0, 0, 7), 20}, {rtp(0, 1, 7), 40}}, 3, 0x10001, false},
      {"duplicate", {{rtp(0, 5, 7), 0}, {rtp(0, 5, 7), 20}}, 1, 5, false},
  };
  for (const auto& c : cases) {
    a = rtp_stream_open(1, "call-a", &sdp_a);
    logs.clear();
    for (const step& s : c.steps)
      a->on_rtp(s.packet, at("127.0.0.5:7000"), ms2ticks(1000 + s.ms), 0);
    EXPECT_EQ(a->packets_received, c.received) << c.name;
    EXPECT_EQ(a->extended_sequence, c.extended) << c.name;
    EXPECT_EQ(log_capture::contains("Tuning to new SSRC"), c.tuned) << c.name;
  }
}

TEST_F(rtp_stream_test, symmetric_rtp_follows_the_source) {
  for (const char* symmetric : {"true", "false"}) {
    ctrl_write_setting(ctrl_settings::symmetrical_rtp, symmetric);
    b->init();
    b->learned_source = ip_port();
    b->set_sdp_dest(at("127.0.0.9:6000"));
    logs.clear();
    b->on_rtp(rtp(0, 5, 7), at("127.0.0.7:7002"), ms2ticks(1000), 0);
    const bool on = str(symmetric).is_true();
    EXPECT_EQ(b->destination, at(on ? "127.0.0.7:7002" : "127.0.0.9:6000"));
    EXPECT_EQ(log_capture::texts(), on ? std::vector<std::string>{"Sending RTP for call-b to "
                                                                  "127.0.0.7:7002, codec not "
                                                                  "set yet"}
                                       : std::vector<std::string>{});
  }
}

TEST_F(rtp_stream_test, pass_through_rewrites_the_header) {
  ASSERT_TRUE(a->determine_pt_mode() && b->determine_pt_mode());
  b->sequence = 0x1234;
  b->timestamp = 0x01020304;
  b->ssrc = 0xcafef00d;
  str marked = rtp(0, 9, 7, 2);
  marked.set_character(1, char(0x80));  // marker, PCMU
  a->on_rtp(marked, at("127.0.0.5:7000"), ms2ticks(1000), 0);
  a->on_rtp(rtp(0, 10, 7), at("127.0.0.5:7000"), ms2ticks(1020), 0);
  EXPECT_EQ(sockets.sent,
            (std::vector<std::string>{"127.0.0.9:6000 80e0123401020304cafef00dffffffff",
                                      "127.0.0.9:6000 80601235010203a4cafef00dffffffff"}));
  EXPECT_EQ(b->packets_sent, 2u);
}

TEST_F(rtp_stream_test, mismatches_fall_back_to_transcoding) {
  struct {
    int length_b;
    bool lock;
    const char* log;
  } cases[] = {
      {30, false, "Different packet size (20 and 30), callid call-a, falling back to transcoding"},
      {20, true,
       "Different Codecs (local pcmu/8000, remote pcma/8000), callid call-a, falling back to "
       "transcoding"},
  };
  for (const auto& c : cases) {
    sdp_b.packet_length = c.length_b;
    sdp_b.codec_lock = c.lock;
    sdp_b.send_codec = codec_alaw;
    b->determine_pt_mode();
    ASSERT_TRUE(b->pass_through);
    logs.clear();
    a->on_rtp(rtp(0, 5, 7), at("127.0.0.5:7000"), ms2ticks(1000), 0);
    EXPECT_TRUE(log_capture::contains(c.log)) << c.log;
    EXPECT_TRUE(sockets.sent.empty());
    EXPECT_FALSE(b->pass_through);
    EXPECT_TRUE(b->sending);
    a = rtp_stream_open(1, "call-a", &sdp_a);
    a->linked = {2};
    b->linked = {1};
  }
}

TEST_F(rtp_stream_test, thread_hooks_route_by_socket) {
  sockets.inbox[a->rtp4] = {{rtp(0, 5, 7), at("127.0.0.5:7000")}};
  sockets.inbox[a->rtcp4] = {{str::bytes({0x80, 200, 0, 1, 0, 0, 0, 7}), at("127.0.0.5:7001")}};
  fd_set set;
  FD_ZERO(&set);
  EXPECT_EQ(rtp_streams_fill(set), b->rtcp4);
  rtp_streams_serve(set);
  EXPECT_EQ(a->packets_received, 1u);
  EXPECT_EQ(a->rtcp_received, 1u);
}

TEST(rtp_ports, range_and_allocation) {
  struct {
    const char *begin, *end;
    std::pair<int, int> range;
  } cases[] = {{"10000", "10000", {49152, 57344}},
               {"", "", {49152, 57344}},
               {"20000", "30000", {20000, 30000}},
               {"60000", "x", {49152, 57344}}};
  for (const auto& c : cases) {
    const auto range = rtp_port_range(c.begin, c.end);
    EXPECT_EQ(range, c.range) << c.begin << " " << c.end;
    for (uint32_t r : {0u, 1u, 8191u, 8193u, 0xffffffffu}) {
      const int port = rtp_port_in_range(range, r);
      EXPECT_TRUE(port % 2 == 0 && port >= range.first && port < range.second) << port;
    }
  }
  log_capture logs(9);
  for (int failing : {3, 10}) {
    scripted_sockets s;
    s.fail_first = failing;
    rtp_stream* st = rtp_stream_open(3, "c", nullptr);
    EXPECT_EQ(st->allocate_ports(s), failing < 10);
    EXPECT_EQ(log_capture::contains("Could not allocate new ports!"), failing == 10);
    if (failing < 10) {
      EXPECT_EQ(s.opened_ports, (std::vector<int>{st->local_port, st->local_port + 1}));
      EXPECT_EQ(st->local_port % 2, 0);
    }
    rtp_stream_close(3);
  }
}

}  // namespace
