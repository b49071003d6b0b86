// libFuzzer target: the STUN side of the SIP UDP ports. For any datagram the answer is either
// nothing or a Binding Success Response with the request's transaction and the sender's
// address, and reading a mapped address never runs past the datagram.
#include <cstddef>
#include <cstdint>

#include "frame/stun.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  str input(data, size);
  ip_port mapped;
  stun_mapped_address(input, mapped);
  if (!mapped.address.empty() && !mapped.valid()) __builtin_trap();

  ip_port source = ip_port::from_text(str("192.0.2.7:5062"));
  str answer = stun_binding_response(input, source);
  if (answer.empty()) return 0;
  if (!is_stun(input) || stun_message_type(input) != stun_binding_request) __builtin_trap();
  if (stun_message_type(answer) != stun_binding_success) __builtin_trap();
  if (stun_transaction(answer) != stun_transaction(input)) __builtin_trap();
  ip_port back;
  if (!stun_mapped_address(answer, back) || back != source) __builtin_trap();
  return 0;
}
