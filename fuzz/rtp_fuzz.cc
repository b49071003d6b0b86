// libFuzzer target: the RTP header reader. For any datagram it either refuses it or gives a
// version-2 header whose payload window lies inside the datagram right after the header; and
// writing the fixed fields back gives the first 12 bytes of the datagram (flags masked).
#include <cstddef>
#include <cstdint>

#include "media/rtp_packet.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  str input(data, size);
  rtp_header h;
  if (!rtp_parse(input, h)) return 0;
  if (size < rtp_min_header || h.version != 2 || data[0] < 2) __builtin_trap();
  if (h.header_length < rtp_min_header + 4 * size_t(h.csrc_count)) __builtin_trap();
  if (h.header_length + h.payload.length() != size) __builtin_trap();
  if (h.payload != input.substr(h.header_length)) __builtin_trap();
  str back = rtp_write_header(h.marker, h.payload_type, h.sequence, h.timestamp, h.ssrc);
  if (back.substr(1) != input.substr(1, rtp_min_header - 1)) __builtin_trap();
  return 0;
}
