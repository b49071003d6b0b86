// SRTP between two of our sessions keyed from an a=crypto line, and the drops of bad packets.
#include "media/srtp_session.h"

#include <gtest/gtest.h>
#include <srtp2/cipher.h>
#include <srtp2/srtp.h>

#include "base/encoding.h"
#include "base/log_capture_test_util.h"
#include "media/rtp_packet.h"
#include "media/sdp.h"

extern "C" const srtp_cipher_type_t srtp_aes_icm_128;  // libsrtp's AES counter mode

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

// n bytes of AES-CM key stream for key||salt (30 bytes) at the 16-byte counter offset iv, from
// libsrtp's cipher; libsrtp must have been initialised (by a session: srtp_init fails when
// called a second time).
str key_stream(const str& key_salt, const str& iv, int n) {
  srtp_cipher_t* c = nullptr;
  str out('\0', size_t(n));
  uint32_t len = uint32_t(n);
  str counter = iv;
  const bool ok =
      srtp_cipher_type_alloc(&srtp_aes_icm_128, &c, 30, 0) == srtp_err_status_ok &&
      srtp_cipher_init(c, reinterpret_cast<const uint8_t*>(key_salt.cbuffer())) ==
          srtp_err_status_ok &&
      srtp_cipher_set_iv(c, reinterpret_cast<uint8_t*>(counter.buffer()), srtp_direction_encrypt) ==
          srtp_err_status_ok &&
      srtp_cipher_encrypt(c, reinterpret_cast<uint8_t*>(out.buffer()), &len) == srtp_err_status_ok;
  if (c) srtp_cipher_dealloc(c);
  return ok ? out : str();
}

// The payload our session encrypts with the master key of RFC 3711 B.3 is the AES-CM key
// stream of the session key and salt that B.3 derives from it, at the counter of the packet's
// SSRC and index (RFC 3711 4.1.1); the key stream itself is checked against B.2.
TEST(SrtpSession, KnownAnswers) {
  call_sdp media;
  media.srtp_local_key = hex_decode("E1F97A0D3E018BE0D64FA32C06DE41390EC675AD498AFEEBB6960B3AABE6");
  media.crypto_suite = srtp_aes_80;
  srtp_session out;
  str p = rtp_write_header(false, 0, 7, 160, 0x1234) + str('\0', 160);
  ASSERT_TRUE(out.protect_rtp(&media, p));  // first: the session initialises libsrtp
  EXPECT_EQ(p.substr(12, 160),
            key_stream(hex_decode("C61E7A93744F39EE10734AFE3FF7A08730CBBC08863D8C85D49DB34A9AE1"),
                       hex_decode("00000000000012340000000000070000"), 160));
  EXPECT_EQ(key_stream(hex_decode("2B7E151628AED2A6ABF7158809CF4F3CF0F1F2F3F4F5F6F7F8F9FAFBFCFD"),
                       str('\0', 16), 48),
            hex_decode("E03EAD0935C95E80E166B16DD92B4EB4D23513162B02D0F72A43A2FE4A5F97AB"
                       "41E95B3BB0A2E8DD477901E4FCA894C0"));
}

// A protected stream across the sequence wrap: the receiver's roll-over counter follows the
// sender's, so the packets after 65535 still verify and decrypt.
TEST(SrtpSession, SequenceRollOver) {
  keyed_pair k("AES_CM_128_HMAC_SHA1_80"), fresh("AES_CM_128_HMAC_SHA1_80");
  str wrapped;
  for (int seq = 65530; seq < 65530 + 12; ++seq) {
    str p = plain(seq & 0xffff);
    ASSERT_TRUE(k.out.protect_rtp(&k.sender, p));
    if (seq == 65536) wrapped = p;
    ASSERT_EQ(k.in.unprotect_rtp(&k.receiver, p), srtp_result::ok) << seq;
    EXPECT_EQ(p, plain(seq & 0xffff)) << seq;
  }
  // Sequence 0 of a stream that starts there (roll-over counter 0) encrypts differently.
  str first = plain(0);
  ASSERT_TRUE(fresh.out.protect_rtp(&fresh.sender, first));
  EXPECT_NE(first.substr(12, 160), wrapped.substr(12, 160));
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
