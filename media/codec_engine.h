// The codec engine: one stream's coders between payloads and 16-bit linear samples, the table
// of 10 ms units that received payloads are cut into, and the comfort-noise payload.
//
// Linear audio is 8000 Hz, 16-bit samples in host byte order, carried in a str of 2 bytes per
// sample (an odd last byte is ignored). Codecs: PCMU and PCMA (our own G.711, media/g711.h),
// G.722 at 64 kbit/s, G.726 at 32 kbit/s with the RTP bit order (first sample in the low
// nibble), G.729 Annex A, GSM 06.10 in its 33-byte RTP frame and its 65-byte two-frame form,
// and L16 (big-endian on the wire).
//
// G.722 is a 16 kHz codec whose RTP clock is 8000 by convention. The engine codes 8 kHz audio
// straight into its lower sub-band and leaves the upper one silent (the coder's 8 kHz mode): a
// 10 ms unit is 80 samples and 80 bytes, no resampling is needed, and a 16 kHz peer hears the
// same band a narrow-band codec would give it. What a peer sends above 4 kHz is dropped.
//
// Srv side: a codec object belongs to one media stream on the RTP thread.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

#include "base/str.h"
#include "media/codec.h"
#include "media/g711.h"

// The 10 ms unit table. unit_bytes and unit_samples give one unit of a codec (GSM's unit is
// its 20 ms frame), 0 for a codec that is not cut into units (telephone-event, comfort noise,
// L16, any other).
int unit_bytes(int codec);
int unit_samples(int codec);
// The samples (RTP timestamp step) of one unit as split_units returns it: 320 for a 65-byte
// GSM unit, the byte count of a short last G.711 or G.722 unit, and so on; 0 when not a unit.
int unit_samples(int codec, const str& unit);
// Cuts a received payload into units, windows on the payload (no copy). A GSM payload whose
// length is a multiple of 33 gives 33-byte units, else one that is a multiple of 65 gives
// 65-byte units. Bytes left after the last whole unit: kept as a short unit for the codecs
// coded sample by sample (G.711, G.722, G.726), kept as a silence descriptor when G.729 has 2
// left, dropped otherwise. A codec not in the table gives an empty vector.
std::vector<str> split_units(int codec, const str& payload);

// Comfort noise (payload type 13): noise level 10, then 31 fixed reflection coefficients.
constexpr int comfort_noise_payload_type = 13;
constexpr std::array<uint8_t, 32> comfort_noise_payload = {
    10,  0,   27,  53,  78,  103, 127, 149, 170, 189, 205, 220, 232, 242, 248, 253,
    254, 253, 248, 242, 232, 220, 205, 189, 170, 149, 127, 103, 78,  53,  27,  0};
// The payload above as a str.
str comfort_noise();

class codec {
 public:
  codec();
  ~codec();
  codec(codec&&) noexcept;
  codec& operator=(codec&&) noexcept;
  codec(const codec&) = delete;
  codec& operator=(const codec&) = delete;

  // Encodes linear samples into a payload of that codec. The coder state of each codec is made
  // on its first use and kept for the stream. Frame codecs (G.726 per 2 samples, G.729 per 80,
  // GSM per 160 or 320) code whole frames only: samples left over are kept and lead the next
  // call of the same codec (a call with another codec drops them). Empty for a codec the engine
  // does not code or when the coder cannot be made.
  str encode(int codec, const str& pcm);

  // Decodes a payload into linear samples. Any length is safe: a truncated or odd payload gives
  // the samples of its whole frames (see split_units for GSM's two forms). lost: the payload
  // is missing; the result is one unit of concealment (G.729's own, silence for the others)
  // and the payload is not read. Empty for a codec the engine does not code.
  str decode(int codec, const str& payload, bool lost = false);

  // GSM encodes in the 65-byte two-frame form (as used in WAV files) instead of the 33-byte
  // RTP frame. Changing it drops leftover GSM samples.
  void set_gsm_ms_form(bool on);

 private:
  struct coders;
  coders& state();
  std::unique_ptr<coders> coders_;  // made on the first call that needs a coder
};
