// libFuzzer target: the SDP parser and writer, and a fresh leg taking the SDP as a remote offer
// over TLS (crypto lines included) and answering it.
#include <cstddef>
#include <cstdint>

#include "media/call_sdp.h"
#include "media/sdp.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  str input(data, size);
  sdp s(input);
  (void)s.serialize(false);
  str once = s.serialize(true);
  // Writing is a fixed point after one round.
  sdp again(once);
  if (again.serialize(true) != once) __builtin_trap();
  (void)s.get_sdp_state();
  for (const m_line& m : s.media) {
    (void)m.get_rtpmap(0);
    (void)m.get_ptime();
  }

  call_sdp leg;
  leg.set_codecs(str(), false);
  leg.set_rtp_port(4000);
  if (leg.set_remote_sdp(s, true, size % 2) == remote_sdp_result::accepted) {
    leg.update_codecs(size % 3 ? nullptr : &leg.codecs);
    leg.set_local_sdp();
    leg.determine_send_codec();
    (void)leg.local.serialize(true);
  } else {
    (void)leg.relayed.serialize(false);
  }
  return 0;
}
