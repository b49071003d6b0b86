// libFuzzer target: the digit and tone side of the receive path. The input is a sequence of
// packets (1 length byte, then an RTP datagram of that length); every accepted one goes to a
// receiver with fax detection and hangup-tone detection on. Whatever arrives, each reported
// event is a telephone event (0..255) or 'F', and the hangup tone is reported at most once.
#include <cstddef>
#include <cstdint>

#include "media/codec.h"
#include "media/dtmf_receiver.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  dtmf_receiver r;
  r.fax_detection = r.hangup_tone = true;
  int hangups = 0;
  r.on_dtmf = [](int e) {
    if (e < 0 || e > 255) __builtin_trap();
  };
  r.on_hangup_tone = [&hangups] {
    if (++hangups > 1) __builtin_trap();
  };
  for (size_t i = 0; i < size;) {
    const size_t n = data[i++];
    const str packet(data + i, n < size - i ? n : size - i);
    i += packet.length();
    rtp_header h;
    if (!rtp_parse(packet, h)) continue;
    const int codec = h.payload_type == 101 ? codec_dtmf
                      : h.payload_type == 8 ? codec_alaw
                                            : codec_ulaw;
    r.on_packet(h, codec, h.marker ? 101 : -1, h.payload_type == 9);
  }
  return 0;
}
