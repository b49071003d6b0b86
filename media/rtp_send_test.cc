// Media-aware sending over scripted sockets, a manual clock and a private timer queue: the
// outgoing ring, the 10 ms clock, transcoding between legs, hold and telephone events.
#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "frame/settings.h"
#include "media/g711.h"
#include "media/rtp_clock.h"
#include "media/rtp_stream.h"

namespace {

struct sockets : rtp_socket_ops {
  std::vector<str> sent;
  int open(const ip_port&) override { return 3; }
  void set_tos(int, int) override {}
  bool send(int, const str& d, const ip_port&) override { return sent.push_back(d), true; }
  bool receive(int, str&, ip_port&) override { return false; }
  void close(int) override {}
};

// Leg 1 (a) receives from its peer and relays to leg 2 (b), under a manual clock.
struct two_legs {
  manual_clock clock;
  scoped_clock use_clock{&clock};
  timeout_queue queue;
  scoped_rtp_clock_context use_queue{rtp_clock_context{&queue}};
  sockets io;
  call_sdp sdp_a, sdp_b;
  rtp_stream *a = nullptr, *b = nullptr;
  uint16_t seq = 100;

  explicit two_legs(int length_b, int send_b, bool lock_b, bool local_b = false) {
    ctrl_write_setting(ctrl_settings::allow_pass_through, "true");
    for (call_sdp* s : {&sdp_a, &sdp_b})
      s->codecs.add(0, codec_ulaw), s->codecs.add(101, codec_dtmf), s->packet_length = 20;
    sdp_a.send_codec = codec_ulaw, sdp_b.send_codec = send_b, sdp_b.codec_lock = lock_b;
    sdp_b.codecs.add(8, codec_alaw), sdp_b.packet_length = length_b;
    a = rtp_stream_open(1, "call-a", &sdp_a), b = rtp_stream_open(2, "call-b", &sdp_b);
    a->allocate_ports(io), b->allocate_ports(io);
    b->set_sdp_dest(ip_port::from_text("127.0.0.9:6000"));
    a->linked = {2}, b->linked = {1}, b->local_media = local_b;
    a->determine_pt_mode(), b->determine_pt_mode();
  }
  ~two_legs() { rtp_stream_close(1), rtp_stream_close(2), stop_rtp_clock(); }
  // Advances the clock by ms in 1 ms steps, running every tick that falls due.
  void run(int ms) {
    for (; ms > 0; --ms) {
      clock.advance_ms(1);
      while (queue.size() && queue.first_due() <= clock_now()) queue.next();
    }
  }
  void receive(int pt, uint32_t ts, const str& payload) {
    a->on_rtp(rtp_write_header(false, pt, seq++, ts, 77) + payload,
              ip_port::from_text("127.0.0.5:7000"), clock_now(), 0);
  }
  // "pt/bytes/timestamp step" per packet sent (M: marker), the step from the packet before.
  std::string summary() const {
    std::string out;
    rtp_header h;
    uint32_t last = 0;
    for (size_t i = 0; i < io.sent.size() && rtp_parse(io.sent[i], h); ++i, last = h.timestamp)
      out += (i ? " " : "") + std::string(h.marker ? "M" : "") + std::to_string(h.payload_type) +
             "/" + std::to_string(h.payload.size()) + "/" +
             (i ? std::to_string(int32_t(h.timestamp - last)) : "");
    return out;
  }
};

TEST(rtp_send, transcoding_between_legs) {
  struct {
    int length_b, send_b;
    bool lock_b;
    const char* sent;
    uint8_t first_byte;   // of the first payload b sends
    int end_packet = -1;  // b's own digit 5 (an INFO) after the first packet: its last packet
  } cases[] = {
      {20, codec_ulaw, false, "0/160/ 0/160/160 0/160/160 0/160/160", 0x9c},  // pass-through
      {30, codec_ulaw, false, "0/240/ 0/240/240", 0x9c},
      {20, codec_alaw, true, "8/160/ 8/160/160 8/160/160 8/160/160",
       encode_alaw(decode_ulaw(0x9c))},
      {20, codec_ulaw, false,
       "0/160/ M101/4/160 101/4/0 0/160/0 101/4/0 0/160/160 101/4/-160 0/160/320 101/4/-320 "
       "101/4/0 101/4/0",
       0x9c, 10},
      {20, codec_alaw, true, "M101/4/ 101/4/0 101/4/0 101/4/0 101/4/0 101/4/0 101/4/0 8/160/800", 5,
       6},
  };
  for (const auto& c : cases) {
    two_legs legs(c.length_b, c.send_b, c.lock_b);
    for (int n = 0; n < 4; ++n, legs.run(20)) {
      legs.receive(0, 8000 + 160 * n, str(char(0x9c), 160));
      if (n == 0 && c.end_packet >= 0) legs.b->send_event(5);
    }
    if (c.end_packet >= 0) legs.run(40);
    EXPECT_EQ(legs.summary(), c.sent) << c.length_b;
    EXPECT_EQ(legs.io.sent.empty() ? 0 : legs.io.sent[0][12], c.first_byte) << c.length_b;
    EXPECT_EQ(legs.b->pass_through, c.length_b == 20 && !c.lock_b);
    if (c.end_packet >= 0) {  // 100 ms (800 samples) at the end
      EXPECT_EQ(legs.io.sent.at(c.end_packet).substr(12).view(),
                str::bytes({5, 0x8a, 3, 0x20}).view());
    }
    if (c.length_b != 30) continue;
    // The last two units (and 10 ms of silence), then 50 silent packets kept back, then one.
    legs.io.sent.clear();
    legs.run(1545);
    EXPECT_EQ(legs.summary(), "0/240/ 0/240/12240");
  }
}

TEST(rtp_send, ring_order_limit_and_units) {
  struct {
    std::vector<uint32_t> in;
    std::vector<uint32_t> out;  // read order; ring overflow drops the rest
  } cases[] = {
      {{160, 0, 80, 80}, {0, 80, 80, 160}},
      {{0xffffffb0u, 0x20, 0xffffff60u}, {0xffffff60u, 0xffffffb0u, 0x20}},
      {{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16},
       {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14}},
  };
  for (const auto& c : cases) {
    outgoing_buffer b;
    b.allocate(1, 0);
    for (uint32_t ts : c.in) b.add_audio(codec_ulaw, ts, "x");
    std::vector<uint32_t> out;
    for (outgoing_unit u; b.pop(u);) out.push_back(u.timestamp);
    EXPECT_EQ(out, c.out) << c.in.size();
  }
  // A GSM payload of 66 bytes is two 20 ms units, 160 apart.
  two_legs legs(20, codec_ulaw, false, true);
  rtp_header h;
  h.timestamp = 1000, h.payload = str('\0', 66);
  legs.b->take_media(1, codec_gsm, h);
  std::vector<std::string> units;
  for (outgoing_unit u; legs.b->find_obuf(1, 0)->pop(u);)
    units.push_back(std::to_string(u.timestamp) + "/" + std::to_string(u.payload.size()));
  EXPECT_EQ(units, (std::vector<std::string>{"1000/33", "1160/33"}));
}

TEST(rtp_send, clock_rebases_and_stops) {
  two_legs legs(20, codec_ulaw, false, true);  // b media-aware: it plays
  legs.b->start_sending();
  const rtimestamp start = legs.clock.monotonic();
  legs.run(30);  // ticks at 10, 20, 30
  EXPECT_EQ(next_rtp_packet() - start, ms2ticks(40));
  legs.clock.advance_ms(100);  // a stall: one late tick, then re-based instead of a burst
  legs.queue.next();
  EXPECT_EQ(next_rtp_packet() - legs.clock.monotonic(), ms2ticks(10));
  legs.b->sending = false;
  legs.run(10);
  EXPECT_FALSE(rtp_clock_running());
}

TEST(rtp_send, hold_and_telephone_events) {
  two_legs legs(20, codec_ulaw, false, true);
  // Two sources mixed with saturation: units of (near) full scale do not wrap around.
  for (auto [x, y, out] : {std::tuple{0x9c, 0x9c, encode_ulaw(2 * decode_ulaw(0x9c))},
                           {0x80, 0x81, 0x80},
                           {0x00, 0x01, 0x00}}) {
    bool empty;
    legs.b->add_audio(1, 0, codec_ulaw, 0, str(char(x), 80));
    legs.b->add_audio(3, 0, codec_ulaw, 0, str(char(y), 80));
    EXPECT_EQ(legs.b->get_10ms(codec_ulaw, empty)[0], out) << x;
  }
  legs.b->on_hold = true;
  const uint32_t ts = legs.b->timestamp;
  for (int n = 0; n < 200; ++n) legs.b->send_rtp();
  EXPECT_EQ(legs.summary(), "13/32/ 13/32/8000");
  EXPECT_EQ(legs.b->timestamp - ts, 16000u);
  // Event 5 of 60 ms, its end repeated by the peer: one start packet with the marker, then the
  // end three times, all with the event's start timestamp; then the leg's audio goes on.
  legs.io.sent.clear();
  legs.b->on_hold = false;
  for (uint8_t flags : {0x0a, 0x0a, 0x8a, 0x8a, 0x8a})
    legs.receive(101, 4000, str::bytes({5, flags, 0, 160})), legs.b->send_rtp();
  EXPECT_EQ(legs.summary(), "M101/4/ 101/4/0 101/4/0 101/4/0 101/4/0 0/160/480 0/160/160");
  EXPECT_EQ(legs.io.sent[4].substr(12).view(), str::bytes({5, 0x8a, 1, 0xe0}).view());
}

}  // namespace
