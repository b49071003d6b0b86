// The RTP receive path, pass-through relay, the relay ports of pass-through SDPs and port
// allocation over scripted sockets; the socket pair of a destination's family on real ones.
#include "media/rtp_stream.h"

#include <gtest/gtest.h>

#include <array>
#include <set>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "base/log_capture_test_util.h"
#include "frame/settings.h"
#include "media/sdp.h"

namespace {

struct scripted_sockets : rtp_socket_ops {
  int fail_first = 0;  // so many opens fail
  std::vector<int> opened_ports;
  std::vector<std::string> sent;  // "destination hex-bytes"
  int open(const ip_port& local) override {
    if (fail_first > 0 && fail_first--) return -1;
    opened_ports.push_back(local.port);
    return 2 + int(opened_ports.size());
  }
  void set_tos(int, int) override {}
  bool send(int, const str& d, const ip_port& to) override {
    std::string line = std::string(to.readable().view()) + " ";
    for (size_t i = 0; i < d.length(); ++i)
      line += {"0123456789abcdef"[d[i] >> 4], "0123456789abcdef"[d[i] & 15]};
    sent.push_back(line);
    return true;
  }
  bool receive(int, str&, ip_port&) override { return false; }
  void close(int) override {}
};

// A PCMU packet with csrc CSRCs, an extension of ext words when ext > 0, and a 4-byte payload.
str rtp(int seq, uint32_t ssrc, int csrc = 0, int ext = 0) {
  str p = rtp_write_header(false, 0, uint16_t(seq), 1000, ssrc) + str('\0', 4 * size_t(csrc));
  p.set_character(0, char(0x80 | (ext ? 0x10 : 0) | csrc));
  if (ext) p += str::bytes({0xbe, 0xde, 0, uint8_t(ext)}) + str('\7', 4 * size_t(ext));
  return p + str(char(0xff), 4);
}

ip_port at(const char* text) { return ip_port::from_text(str(text)); }

TEST(rtp_stream, receive_path) {
  struct {
    std::vector<std::array<int, 3>> packets;  // sequence, SSRC, arrival in ms
    bool symmetric;
    uint64_t received;
    uint32_t extended;
    const char *destination, *log;  // a line that must be logged
  } cases[] = {
      // clang-format off
      {{{5, 7, 0}, {6, 8, 50}}, true, 1, 5, "127.0.0.5:7000",
       "Sending RTP for c to 127.0.0.5:7000, codec not set yet"},
      {{{5, 7, 0}, {6, 8, 150}}, true, 2, 6, "127.0.0.5:7000", "Tuning to new SSRC"},
      {{{65535, 7, 0}, {0, 7, 20}, {1, 7, 40}}, true, 3, 0x10001, "127.0.0.5:7000", ""},
      {{{5, 7, 0}, {5, 7, 20}}, false, 1, 5, "127.0.0.9:6000", ""},
      // clang-format on
  };
  log_capture logs(9);
  for (const auto& c : cases) {
    ctrl_write_setting(ctrl_settings::symmetrical_rtp, c.symmetric ? "true" : "false");
    rtp_stream* s = rtp_stream_open(1, "c", nullptr);
    s->set_sdp_dest(at("127.0.0.9:6000"));
    logs.clear();
    // Not RTP: 11 bytes, an extension past the end, first byte 1, version 1.
    for (const str& bad : {rtp(5, 7).leftstr(11), rtp(5, 7, 0, 2).leftstr(19),
                           str::bytes({1, 1, 0, 8, 0, 0, 0, 0, 0, 0, 0, 0}),
                           str::bytes({0x40, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 1})})
      s->on_rtp(bad, at("127.0.0.6:7000"), ms2ticks(900), 0);
    for (auto [seq, ssrc, ms] : c.packets)
      s->on_rtp(rtp(seq, uint32_t(ssrc)), at("127.0.0.5:7000"), ms2ticks(1000 + ms), 0);
    const std::string name = std::to_string(c.packets.size()) + c.destination;
    EXPECT_EQ(s->packets_received, c.received) << name;
    EXPECT_EQ(s->extended_sequence, c.extended) << name;
    EXPECT_EQ(s->destination, at(c.destination)) << name;
    EXPECT_EQ(log_capture::contains("Tuning to new SSRC"), c.received == 2) << name;
    EXPECT_TRUE(!*c.log || log_capture::contains(c.log)) << name;
  }
  rtp_stream_close(1);
}

// Leg a receives PCMU (payload type 0) and relays it to leg b, whose peer numbers PCMU 96.
TEST(rtp_stream, relay_to_linked_leg) {
  struct {
    int length_b;
    bool lock_b;
    std::vector<std::string> sent;
    const char* log;
  } cases[] = {
      // clang-format off
      {20, false, {"127.0.0.9:6000 80e0123401020304cafef00dffffffff",
                   "127.0.0.9:6000 80601235010203a4cafef00dffffffff"},
       "call-b: RTP pass-through mode"},
      {30, false, {}, "Different packet size (20 and 30), callid call-a, falling back to transcoding"},
      {20, true, {}, "Different Codecs (local pcmu/8000, remote pcma/8000), callid call-a, falling "
                     "back to transcoding"},
      // clang-format on
  };
  log_capture logs(9);
  ctrl_write_setting(ctrl_settings::allow_pass_through, "true");
  for (const auto& c : cases) {
    scripted_sockets sockets;
    call_sdp sdp_a, sdp_b;
    sdp_a.codecs.add(0, codec_ulaw);
    sdp_b.codecs.add(96, codec_ulaw);
    sdp_b.codecs.add(8, codec_alaw);
    sdp_a.packet_length = 20;
    sdp_b.packet_length = c.length_b;
    sdp_b.codec_lock = c.lock_b;
    sdp_b.send_codec = codec_alaw;
    rtp_stream *a = rtp_stream_open(1, "call-a", &sdp_a), *b = rtp_stream_open(2, "call-b", &sdp_b);
    ASSERT_TRUE(a->allocate_ports(sockets) && b->allocate_ports(sockets));
    b->set_sdp_dest(at("127.0.0.9:6000"));
    a->linked = {2};
    b->linked = {1};
    ASSERT_TRUE(a->determine_pt_mode() && b->determine_pt_mode());
    std::tie(b->sequence, b->timestamp, b->ssrc) = std::tuple(0x1234, 0x01020304, 0xcafef00d);
    str marked = rtp(9, 7, 2);            // two CSRCs: a 20-byte header
    marked.set_character(1, char(0x80));  // marker, PCMU
    a->on_rtp(marked, at("127.0.0.5:7000"), ms2ticks(1000), 0);
    a->on_rtp(rtp(10, 7, 0, 1), at("127.0.0.5:7000"), ms2ticks(1020), 0);
    EXPECT_EQ(sockets.sent, c.sent);
    EXPECT_TRUE(log_capture::contains(c.log)) << c.log;
    EXPECT_EQ(b->pass_through, !c.sent.empty());
    b->send_rtp_keep_alive();
    EXPECT_EQ(sockets.sent.back() + " " + std::to_string(b->packets_sent),
              "127.0.0.9:6000 00000000 " + std::to_string(c.sent.size() + 1));
    rtp_stream_close(1);
    rtp_stream_close(2);
  }
}

// The destination's family picks the socket pair, on real loopback sockets: [::1] opens the
// IPv6 pair and closes the IPv4 one, 127.0.0.1 the reverse; a packet reaches the peer each time.
TEST(rtp_stream, destination_family_selects_the_socket_pair) {
  ctrl_write_setting(ctrl_settings::port_bind4, "127.0.0.1");
  ctrl_write_setting(ctrl_settings::port_bind6, "::1");
  rtp_socket_ops& udp = udp_rtp_sockets();
  rtp_stream *s = rtp_stream_open(4, "s", nullptr), *peer = rtp_stream_open(7, "peer", nullptr);
  peer->use_ipv6 = true;  // both pairs
  ASSERT_TRUE(s->allocate_ports(udp) && peer->allocate_ports(udp));
  for (const std::string to : {"[::1]", "127.0.0.1", "[::1]"}) {
    const bool v6 = to[0] == '[';
    s->set_sdp_dest(at((to + ":" + std::to_string(peer->local_port)).c_str()));
    str got;
    ip_port from;
    EXPECT_TRUE((s->rtp4 >= 0) != v6 && (s->rtcp4 >= 0) != v6 && (s->rtp6 >= 0) == v6 &&
                (s->rtcp6 >= 0) == v6 && s->send_rtp_passthrough(false, 0, str("abcd")) &&
                udp.receive(v6 ? peer->rtp6 : peer->rtp4, got, from) && got.length() == 16)
        << to;
  }
  rtp_stream_close(4), rtp_stream_close(7);
}

// Relay ports of a pass-through SDP: peer A's audio and video (on an address of its own) reach
// leg a, peer B answers through leg b refusing the audio. The relayed copy names a's relay
// ports; B's video reaches A unchanged, and once B sends from another address, A's video
// follows it there.
TEST(rtp_stream, relay_ports_of_a_pass_through_sdp) {
  log_capture logs(9);
  scripted_sockets sockets;
  rtp_stream *a = rtp_stream_open(5, "a", nullptr), *b = rtp_stream_open(6, "b", nullptr);
  ASSERT_TRUE(a->allocate_ports(sockets) && b->allocate_ports(sockets));
  std::tie(a->linked, b->linked) = std::pair(std::set<int>{6}, std::set<int>{5});
  const str head = "v=0\r\no=- 1 1 IN IP4 127.0.0.5\r\ns=-\r\nt=0 0\r\nc=IN IP4 ";
  const sdp from_a(head + "127.0.0.5\r\nm=audio 4000 RTP/AVP 0\r\nm=video 4002 RTP/AVP 96\r\n" +
                   "c=IN IP4 127.0.0.6\r\n");
  const sdp from_b(head + "127.0.0.7\r\nm=audio 0 RTP/AVP 0\r\nm=video 5002 RTP/AVP 96\r\n");
  sdp relayed_a = from_a, relayed_b = from_b;
  ASSERT_TRUE(a->open_transparent_ports(from_a, relayed_a) &&
              b->open_transparent_ports(from_b, relayed_b));
  EXPECT_EQ(std::string(relayed_a.serialize(false).view()),
            "v=0\r\no=- 1 1 IN {x-pre-ipv} 127.0.0.5\r\ns=-\r\nc=IN {x-pre-ipv} 127.0.0.5\r\n"
            "t=0 0\r\nm=audio " +
                std::to_string(a->transparent_ports[0].port) + " RTP/AVP 0\r\nm=video " +
                std::to_string(a->transparent_ports[1].port) +
                " RTP/AVP 96\r\nc=IN IP4 127.0.0.6\r\n");
  EXPECT_EQ(std::pair(relayed_b.media[0].port, b->transparent_ports.count(0)),
            std::pair(str("0"), size_t(0)));  // refused: no relay port
  a->on_transparent(1, "v1", at("127.0.0.7:5002"));
  a->on_transparent(1, "v2", at("127.0.0.8:6002"));
  b->on_transparent(1, "v3", at("127.0.0.6:4002"));
  EXPECT_EQ(sockets.sent, (std::vector<std::string>{"127.0.0.6:4002 7631", "127.0.0.6:4002 7632",
                                                    "127.0.0.8:6002 7633"}));
  EXPECT_TRUE(log_capture::contains("Passthrough: Setting destination to 127.0.0.6:4002") &&
              log_capture::contains("Passthrough: Changing destination"));
  rtp_stream_close(5), rtp_stream_close(6);
}

TEST(rtp_ports, range_and_allocation) {
  const std::pair<const char*, const char*> texts[] = {
      {"10000", "10000"}, {"", ""}, {"20000", "30000"}, {"60000", "x"}, {"20000", "70000"}};
  const std::pair<int, int> ranges[] = {
      {49152, 57344}, {49152, 57344}, {20000, 30000}, {49152, 57344}, {20000, 57344}};
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(rtp_port_range(texts[i].first, texts[i].second), ranges[i]) << i;
    for (uint32_t r : {0u, 1u, 8191u, 8193u, 0xffffffffu}) {
      const int port = rtp_port_in_range(ranges[i], r);
      EXPECT_TRUE(port % 2 == 0 && port >= ranges[i].first && port < ranges[i].second) << port;
    }
  }
  log_capture logs(9);
  for (int failing : {3, 10}) {  // failed opens: the tenth attempt is the last
    scripted_sockets s;
    s.fail_first = failing;
    rtp_stream* st = rtp_stream_open(3, "c", nullptr);
    EXPECT_EQ(st->allocate_ports(s), failing < 10);
    EXPECT_EQ(log_capture::contains("Could not allocate new ports!"), failing == 10);
    const std::vector<int> bound{st->local_port, st->local_port + 1};
    EXPECT_EQ(s.opened_ports, failing < 10 ? bound : std::vector<int>{});
    EXPECT_EQ(st->local_port % 2, 0);
    rtp_stream_close(3);
  }
}

}  // namespace
