// RTCP packet bytes and the stream's SRTCP receive path.
#include "media/rtcp.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "base/encoding.h"
#include "base/log_capture_test_util.h"
#include "media/rtp_stream.h"

namespace {

TEST(Rtcp, PacketBytes) {
  // 2026-01-01 00:00:00.123 UTC; RTP time 1000, 5 packets, 800 octets.
  const rtcp_sr_fields f{0x11223344, ntp_time(1767225600123), 1000, 5, 800, "c1", false, {}};
  rtcp_monitor m;  // 65534, 65535, (0 lost), 1: one lost across the wrap, steady 20 ms
  for (int i : {0, 1, 3}) m.on_rtp(uint16_t(65534 + i), uint32_t(160 * i), i * 20 * ns_per_ms);
  m.peer.sender_report = true;  // the peer's SR (LSR 0x12345678) read 1.5 s before our report
  m.peer.sr_ntp_middle = 0x12345678;
  m.peer.network_delay_ms = 400;
  // Jitter 2, 2, 4 ticks (arrivals 0, 25, 45 and 70 ms); the peer's receiver reference time
  // (LRR 0x12345678) read 2 s before our report.
  rtcp_monitor varied;
  for (int i = 0; i < 4; ++i)
    varied.on_rtp(uint16_t(1 + i), 160u * i, (20 * i + 5 * ((i + 1) / 2)) * ns_per_ms);
  ASSERT_TRUE(rtcp_read(hex_decode(str("80cf0004aabbccdd040000020000123456780000")), 0, 0,
                        f.ntp - (2ull << 32), varied.peer));
  rtcp_sr_fields with_block = f;
  with_block.has_block = true;
  with_block.block = m.report_block(0x55667788, 1500 * ns_per_ms);
  const struct {
    str packet;
    const char* hex;
  } rows[] = {
      // clang-format off
      {rtcp_sender_report(f), "80c8000611223344ed0037801f7ced91000003e80000000500000320"
                              "81ca0003112233440102633100000000"},
      {rtcp_bye(0x11223344, "Call Disconnected"),
       "81cb00061122334411" "43616c6c20446973636f6e6e6563746564" "0000"},
      {rtcp_sender_report(with_block), "81c8000c11223344ed0037801f7ced91000003e80000000500000320"
       "55667788" "40000001" "00010001" "00000000" "12345678" "00018000"
       "81ca0003112233440102633100000000"},
      {rtcp_xr(0x11223344, 0x55667788, m, f.ntp, true, true), "80cf001711223344"
       "06e0000955667788" "fffe0002" "00000001" "00000000" "00000000000000000000000000000000"
       "00000000" "0700000855667788" "40000000" "00000000" "01900000" "7f7f7f10" "7f7f1814"
       "00000000" "00000000" "04000002" "ed0037801f7ced91"},
      {rtcp_xr(0x11223344, 0x55667788, m, f.ntp, false, false), "80cf000411223344"
       "04000002ed0037801f7ced91"},
      {rtcp_xr(0x11223344, 0x55667788, varied, f.ntp, true, false), "80cf001211223344"
       "06e0000955667788" "00010005" "00000000" "00000000" "00000002000000040000000200000001"
       "00000000" "04000002ed0037801f7ced91" "05000003aabbccdd1234567800020000"},
      // clang-format on
  };
  for (const auto& r : rows) EXPECT_EQ(hex_encode(r.packet), str(r.hex));
}

TEST(Rtcp, ReceiverReportAboutUsGivesLossJitterAndRoundTrip) {
  // Sent at 0x1234.0000 (LSR), held 0.5 s by the peer (DLSR), read at 0x1235.0000: 500 ms.
  const str rr =
      hex_decode(str("81c90007aaaaaaaa11223344050000030001000000000010"
                     "1234000000008000"));
  rtcp_peer_report peer;
  ASSERT_TRUE(rtcp_read(rr, 1, 0x11223344, 0x0000123500000000ull, peer));
  EXPECT_EQ(
      std::make_tuple(peer.report_block, peer.cumulative_lost, peer.jitter, peer.network_delay_ms),
      std::make_tuple(true, 3u, 16u, 500));
  EXPECT_FALSE(rtcp_read(rr, 1, 0x55555555, 0, peer = rtcp_peer_report()) && peer.report_block);
}

TEST(Rtcp, StreamReadsSrtcpAndDiscardsWrongMac) {
  log_capture log(8);
  call_sdp sender, receiver;
  sender.srtp_local_key = receiver.remote_key = str(char(7), 30);
  sender.crypto_suite = receiver.crypto_suite = "AES_CM_128_HMAC_SHA1_32";
  sender.auth_tag_length = receiver.auth_tag_length = 4;
  srtp_session out;
  rtp_stream s;
  s.media = &receiver;
  rtcp_sr_fields f;
  f.packets = 42;
  str good = rtcp_sender_report(f);
  ASSERT_TRUE(out.protect_rtcp(&sender, good));
  str bad = good;
  bad.set_character(9, char(bad[9] ^ 1));
  const ip_port from = ip_port::from_text("127.0.0.2:4001");
  s.on_rtcp(bad, from, 1);
  EXPECT_FALSE(s.monitor.peer.sender_report);
  EXPECT_TRUE(log_capture::contains("Discard SRTCP packet from 127.0.0.2:4001 with wrong MAC"));
  s.on_rtcp(good, from, 1);
  EXPECT_EQ(s.monitor.peer.sr_packets, 42u);
}

struct captured_sockets : rtp_socket_ops {
  std::vector<std::tuple<std::string, size_t, int>> sent;  // destination, length, second byte
  int opened = 10;
  int open(const ip_port&) override { return ++opened; }
  void set_tos(int, int) override {}
  bool send(int, const str& d, const ip_port& to) override {
    sent.emplace_back(std::string(to.readable().view()), d.length(), int(d[1]));
    return true;
  }
  bool receive(int, str&, ip_port&) override { return false; }
  void close(int) override {}
};

TEST(Rtcp, EveryFiveSecondsAReportAndComfortNoiseWhileRelaying) {
  manual_clock clock;
  scoped_clock use(&clock);
  captured_sockets sockets;
  call_sdp media;
  media.srtp_local_key = str(char(7), 30);
  media.crypto_suite = "AES_CM_128_HMAC_SHA1_80";
  rtp_stream* s = rtp_stream_open(3, "c", &media);
  ASSERT_TRUE(s->allocate_ports(sockets));
  s->set_sdp_dest(ip_port::from_text("127.0.0.9:6000"));
  s->pass_through = true;
  clock.advance_ms(4999);
  for (int round = 0; round < 2; ++round, clock.advance_ms(1)) {
    while (rtp_thread_queue.first_due() && rtp_thread_queue.first_due() <= clock_now())
      rtp_thread_queue.next();
  }
  // SR and SDES (40 bytes) with the SRTCP index and tag; comfort noise (44) with the SRTP tag.
  using sent = std::tuple<std::string, size_t, int>;
  EXPECT_EQ(sockets.sent,
            (std::vector<sent>{{"127.0.0.9:6001", 54, 200}, {"127.0.0.9:6000", 54, 13}}));
  rtp_stream_close(3);
}

}  // namespace
