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
  // An IPv6 sender (family 2); reading back any answer is stun_fuzz's.
  src = ip_port::from_text(str("[2001:db8::1]:5062"));
  const str resp = stun_binding_response(req, src);
  ip_port mapped;
  EXPECT_TRUE(resp.length() == 44 && resp[25] == 2 && stun_mapped_address(resp, mapped) &&
              mapped == src);
  EXPECT_EQ(stun_binding_response(req, ip_port()), "");  // no sender address: no answer
}
