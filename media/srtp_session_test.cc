// SRTP between two of our sessions keyed from an a=crypto line, and the drops of bad packets.
#include "media/srtp_session.h"

#include <gtest/gtest.h>

#include "base/log_capture_test_util.h"
#include "media/rtp_packet.h"

namespace {

// The receiving leg takes the key from the peer's a=crypto line; the sending leg holds the same
// bytes as its own key, as the peer that announced them does.
struct keyed_pair {
  call_sdp sender, receiver;
  srtp_session out, in;
  explicit keyed_pair(const char* suite) {
    const str m = str::sprintf(
        "m=audio 4000 RTP/SAVP 0\r\na=crypto:1 %S "
        "inline:AQIDBAUGBwgJCgsMDQ4PEBESExQVFhcYGRobHB0e\r\n",
        suite);
    receiver.set_remote_sdp(
        sdp("v=0\r\no=- 5 5 IN IP4 127.0.0.2\r\ns=-\r\nc=IN IP4 127.0.0.2\r\nt=0 0\r\n" + m), true,
        false);
    sender.srtp_local_key = receiver.remote_key;
    sender.crypto_suite = receiver.crypto_suite;
    sender.auth_tag_length = receiver.auth_tag_length;
  }
};

str plain(int seq) {
  return rtp_write_header(false, 0, uint16_t(seq), 160, 0x1234) + str('U', 160);
}

TEST(SrtpSession, RoundTripAndDrops) {
  struct row {
    const char* suite;
    int flip;    // byte to flip in the protected packet, counted from its end (-1: none)
    int replay;  // 1: the packet was received before; 2: and then the peer changed its SSRC
    srtp_result expected;
    size_t tag;
  } rows[] = {
      {"AES_CM_128_HMAC_SHA1_80", -1, 0, srtp_result::ok, 10},
      {"AES_CM_128_HMAC_SHA1_32", -1, 0, srtp_result::ok, 4},
      {"AES_CM_128_HMAC_SHA1_80", 1, 0, srtp_result::wrong_mac, 10},  // tag byte
      {"AES_CM_128_HMAC_SHA1_32", 20, 0, srtp_result::wrong_mac, 4},  // payload byte
      {"AES_CM_128_HMAC_SHA1_80", -1, 1, srtp_result::rejected, 10},
      {"AES_CM_128_HMAC_SHA1_80", -1, 2, srtp_result::ok, 10},  // a fresh receive context
  };
  for (const row& r : rows) {
    SCOPED_TRACE(std::to_string(&r - rows));
    keyed_pair k(r.suite);
    ASSERT_EQ(k.receiver.remote_key.length(), 30u);
    str p = plain(7);
    ASSERT_TRUE(k.out.protect_rtp(&k.sender, p));
    EXPECT_EQ(p.length(), plain(7).length() + r.tag);
    EXPECT_NE(p.substr(12, 160), plain(7).substr(12, 160));  // encrypted
    if (r.flip > 0) p.set_character(p.length() - size_t(r.flip), char(p[p.length() - r.flip] ^ 1));
    str first = p;
    EXPECT_TRUE(!r.replay || k.in.unprotect_rtp(&k.receiver, first) == srtp_result::ok);
    if (r.replay == 2) k.in.restart_receive();
    EXPECT_EQ(k.in.unprotect_rtp(&k.receiver, p), r.expected);
    EXPECT_TRUE(r.expected != srtp_result::ok || p == plain(7));
    EXPECT_EQ(k.in.wrong_mac_drops, r.expected == srtp_result::wrong_mac ? 1 : 0);
  }
}

TEST(SrtpSession, WrongMacLoggedAtTen) {
  log_capture log(8);
  keyed_pair k("AES_CM_128_HMAC_SHA1_80");
  for (int i = 0; i < 10; ++i) {
    str p = plain(100 + i);
    ASSERT_TRUE(k.out.protect_rtp(&k.sender, p));
    p.set_character(p.length() - 1, char(p[p.length() - 1] ^ 0x80));
    EXPECT_EQ(k.in.unprotect_rtp(&k.receiver, p), srtp_result::wrong_mac);
  }
  EXPECT_TRUE(log_capture::contains("Dropped 10 SRTP packets with wrong MAC"));
  EXPECT_FALSE(log_capture::contains("Dropped 9 SRTP packets with wrong MAC"));
}

}  // namespace
