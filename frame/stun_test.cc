#include "frame/stun.h"

#include <gtest/gtest.h>

namespace {

str binding_request(uint8_t tid_seed) {
  str r = str::bytes({0x00, 0x01, 0x00, 0x00, 0x21, 0x12, 0xa4, 0x42});
  for (int i = 0; i < 12; i++) r += static_cast<char>(tid_seed + i);
  return r;
}

}  // namespace

// The answer carries the sender's address (family 1 for IPv4, 2 for IPv6) and reads back.
TEST(Stun, AnswersABindingRequestWithTheSendersAddress) {
  str req = binding_request(7);
  ip_port src = ip_port::from_text(str("127.0.0.5:40001"));
  EXPECT_EQ(stun_binding_response(req, src),
            str::bytes({0x01, 0x01, 0x00, 0x0c}) + req.substr(4, 16) +
                str::bytes({0x00, 0x01, 0x00, 0x08, 0x00, 0x01, 0x9c, 0x41, 127, 0, 0, 5}));
  for (const char* text : {"127.0.0.5:40001", "[2001:db8::1]:5062"}) {
    src = ip_port::from_text(str(text));
    str resp = stun_binding_response(req, src);
    EXPECT_EQ(resp.length(), src.is_ipv6() ? 44u : 32u) << text;
    EXPECT_EQ(resp[25], src.is_ipv6() ? 2 : 1) << text;
    ip_port mapped;
    ASSERT_TRUE(stun_mapped_address(resp, mapped)) << text;
    EXPECT_EQ(mapped, src);
    EXPECT_EQ(stun_transaction(resp), stun_transaction(req));
  }
  EXPECT_EQ(stun_binding_response(req, ip_port()), "");  // no sender address: no answer
}
