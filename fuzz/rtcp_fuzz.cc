// libFuzzer target: the RTCP compound reader. For any datagram it either refuses it or reads it
// without reading past its end (the sanitizers watch), and a round trip it measures is never
// negative nor above 10 s.
#include <cstddef>
#include <cstdint>

#include "media/rtcp.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 12) return 0;
  // The first 12 bytes choose our SSRC and the time of reading.
  const uint32_t ssrc = uint32_t(data[0]) << 24 | data[1] << 16 | data[2] << 8 | data[3];
  uint64_t now = 0;
  for (int i = 4; i < 12; ++i) now = now << 8 | data[i];
  rtcp_peer_report peer;
  if (!rtcp_read(str(data + 12, size - 12), 1, ssrc, now, peer)) return 0;
  if (peer.network_delay_ms > 10000) __builtin_trap();
  return 0;
}
