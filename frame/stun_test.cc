#include "frame/stun.h"

#include <gtest/gtest.h>
#include <rapidcheck.h>

#include <string>

namespace {

str binding_request(uint8_t tid_seed) {
  str r = str::bytes({0x00, 0x01, 0x00, 0x00, 0x21, 0x12, 0xa4, 0x42});
  for (int i = 0; i < 12; i++) r += static_cast<char>(tid_seed + i);
  return r;
}

}  // namespace

TEST(Stun, TellsStunFromSip) {
  EXPECT_TRUE(is_stun(binding_request(1)));
  EXPECT_TRUE(is_stun(str::bytes({1, 1, 0, 0, 0, 0, 0, 0})));
  // Seven bytes starting with 0 are not STUN.
  EXPECT_FALSE(is_stun(str::bytes({0, 1, 0, 0, 0, 0, 0})));
  EXPECT_FALSE(is_stun(str("INVITE sip:a@b SIP/2.0\r\n")));
  EXPECT_FALSE(is_stun(str::bytes({2, 1, 0, 0, 0, 0, 0, 0})));
}

TEST(Stun, AnswersABindingRequestWithTheSendersIPv4Address) {
  str req = binding_request(7);
  ip_port src = ip_port::from_text(str("127.0.0.5:40001"));
  str resp = stun_binding_response(req, src);
  str expected = str::bytes({0x01, 0x01, 0x00, 0x0c}) + req.substr(4, 16) +
                 str::bytes({0x00, 0x01, 0x00, 0x08, 0x00, 0x01, 0x9c, 0x41, 127, 0, 0, 5});
  EXPECT_EQ(resp, expected);
  ip_port mapped;
  ASSERT_TRUE(stun_mapped_address(resp, mapped));
  EXPECT_EQ(mapped, src);
  EXPECT_EQ(stun_transaction(resp), stun_transaction(req));
}

TEST(Stun, IPv6SourcesUseFamilyTwo) {
  ip_port src = ip_port::from_text(str("[2001:db8::1]:5062"));
  str resp = stun_binding_response(binding_request(3), src);
  ASSERT_EQ(resp.length(), 20u + 4 + 20);
  EXPECT_EQ(resp[25], 2);
  ip_port mapped;
  ASSERT_TRUE(stun_mapped_address(resp, mapped));
  EXPECT_EQ(mapped, src);
}

TEST(Stun, OnlyBindingRequestsAreAnswered) {
  ip_port src = ip_port::from_text(str("127.0.0.1:1"));
  str success = binding_request(1);
  success.set_character(1, 1);
  success.set_character(0, 1);
  EXPECT_EQ(stun_binding_response(success, src), "");
  EXPECT_EQ(stun_binding_response(binding_request(1).leftstr(19), src), "");
  EXPECT_EQ(stun_binding_response(binding_request(1), ip_port()), "");
}

TEST(Stun, ArbitraryBytesNeverCrashTheReaders) {
  EXPECT_TRUE(rc::check([](const std::string& bytes) {
    str d(bytes.data(), bytes.size());
    ip_port p;
    stun_mapped_address(d, p);
    str r = stun_binding_response(d, ip_port::from_text(str("10.0.0.1:9")));
    if (!r.empty()) {
      RC_ASSERT(stun_message_type(r) == stun_binding_success);
      RC_ASSERT(stun_transaction(r) == stun_transaction(d));
    }
  }));
}
