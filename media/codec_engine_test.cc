#include "media/codec_engine.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

// After the standard headers: spandsp's telephony.h (which the others need first) defines
// names of <cmath>.
#include <spandsp/telephony.h>
//
#include <spandsp/bit_operations.h>
#include <spandsp/bitstream.h>
#include <spandsp/g711.h>
#include <spandsp/g722.h>
#include <spandsp/g726.h>

#include "media/tone_test_util.h"

namespace {

constexpr int total = 1280;  // 160 ms of the 1 kHz tone

std::vector<int16_t> samples(const str& pcm) {
  std::vector<int16_t> v(pcm.size() / 2);
  std::memcpy(v.data(), pcm.cbuffer(), 2 * v.size());
  return v;
}

// The best SNR over delays of the coder up to 20 ms, after 40 ms of settling.
double snr_db(const std::vector<int16_t>& x, const std::vector<int16_t>& y) {
  double best = -100;
  for (size_t lag = 0; lag <= 160; ++lag) {
    double sig = 0, err = 0;
    for (size_t i = 320; i + 160 < x.size() && i + lag < y.size(); ++i) {
      sig += double(x[i]) * x[i];
      err += (double(x[i]) - y[i + lag]) * (double(x[i]) - y[i + lag]);
    }
    best = std::max(best, 10 * std::log10(sig / std::max(err, 1.0)));
  }
  return best;
}

TEST(codec_engine, sine_round_trip_per_codec) {
  const struct {
    const char* name;
    int codec;
    bool gsm_ms;
    double floor_db;
    std::vector<size_t> sizes;  // payload bytes of successive 10 ms encode calls, cycled
  } rows[] = {
      {"pcmu", codec_ulaw, false, 30, {80}},        {"pcma", codec_alaw, false, 30, {80}},
      {"g722", codec_g722, false, 15, {80}},        {"g726", codec_g726, false, 15, {40}},
      {"g729", codec_g729, false, 5, {10}},         {"gsm", codec_gsm, false, 5, {0, 33}},
      {"gsm65", codec_gsm, true, 5, {0, 0, 0, 65}}, {"l16", codec_linear, false, 60, {160}},
  };
  const str pcm = test_tone(1000, 0, 8000, total / 8);
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    codec enc, dec;
    enc.set_gsm_ms_form(r.gsm_ms);
    str payload;
    for (int i = 0; i < total / 80; ++i) {
      str part = enc.encode(r.codec, pcm.substr(160 * size_t(i), 160));
      EXPECT_EQ(part.size(), r.sizes[size_t(i) % r.sizes.size()]) << "call " << i;
      payload += part;
    }
    // Received payloads are cut into units and decoded unit by unit; the timestamp steps add
    // up to the samples sent.
    std::vector<str> units = split_units(r.codec, payload);
    if (units.empty()) units.push_back(payload);
    str out;
    int steps = 0;
    for (const str& u : units) {
      steps += unit_bytes(r.codec) ? unit_samples(r.codec, u) : int(u.size()) / 2;
      out += dec.decode(r.codec, u);
    }
    EXPECT_EQ(steps, total);
    EXPECT_EQ(out.size(), pcm.size());
    const double snr = snr_db(samples(pcm), samples(out));
    EXPECT_GT(snr, r.floor_db);
    std::printf("%-6s SNR %.1f dB\n", r.name, snr);
  }
}

// Bit orders on the wire: L16 big-endian; G.726 with the first sample in the low nibble, the
// codes being those of spandsp's unpacked coder.
TEST(codec_engine, wire_bit_order) {
  const str pcm = test_tone(1000, 0, 8000, 10);
  codec c;
  const str l16 = c.encode(codec_linear, pcm.substr(0, 4));
  EXPECT_EQ(l16[0] << 8 | l16[1], samples(pcm)[0]);
  EXPECT_EQ(l16[2] << 8 | l16[3], samples(pcm)[1]);
  g726_state_t* ref = g726_init(nullptr, 32000, G726_ENCODING_LINEAR, G726_PACKING_NONE);
  uint8_t codes[80];
  ASSERT_EQ(g726_encode(ref, codes, samples(pcm).data(), 80), 80);
  g726_free(ref);
  const str packed = c.encode(codec_g726, pcm);
  ASSERT_EQ(packed.size(), 40u);
  for (size_t i = 0; i < 40; ++i) EXPECT_EQ(packed[i], codes[2 * i] | codes[2 * i + 1] << 4) << i;
}

// G.722 at 8 kHz into the lower sub-band: a 16 kHz peer (spandsp's full-band decoder) hears
// our 1 kHz tone at its level, as 16 kHz samples.
TEST(codec_engine, g722_heard_by_wideband_peer) {
  codec c;
  const str payload = c.encode(codec_g722, test_tone(1000, 0, 8000, total / 8));
  g722_decode_state_t* peer = g722_decode_init(nullptr, 64000, 0);
  std::vector<int16_t> y(2 * total);
  ASSERT_EQ(g722_decode(peer, y.data(), reinterpret_cast<const uint8_t*>(payload.cbuffer()),
                        int(payload.size())),
            2 * total);
  g722_decode_free(peer);
  double re = 0, im = 0;  // the 1 kHz component after 40 ms, against 8000 sent
  for (int i = 640; i < 2 * total; ++i) {
    re += y[size_t(i)] * std::cos(M_PI * i / 8);
    im += y[size_t(i)] * std::sin(M_PI * i / 8);
  }
  EXPECT_NEAR(2 * std::hypot(re, im) / (2 * total - 640), 8000, 400);
}

TEST(codec_engine, g711_reference_values) {
  // µ-law coding of negative samples, where spandsp (below) codes on the two's complement.
  for (auto [x, code] : {std::pair<int, int>{-1, 0x7F}, {-1000, 0x4E}, {-32768, 0x00}})
    EXPECT_EQ(encode_ulaw(int16_t(x)), code) << x;
  // Against spandsp's G.711 as a second opinion: the expansions, A-law coding and both
  // conversion tables agree everywhere, µ-law coding for non-negative samples.
  int differ = 0;
  for (int c = 0; c < 256; ++c)
    differ += decode_ulaw(uint8_t(c)) != ulaw_to_linear(uint8_t(c)) ||
              decode_alaw(uint8_t(c)) != alaw_to_linear(uint8_t(c)) ||
              convert_alaw_to_ulaw(uint8_t(c)) != alaw_to_ulaw(uint8_t(c)) ||
              convert_ulaw_to_alaw(uint8_t(c)) != ulaw_to_alaw(uint8_t(c));
  for (int x = -32768; x < 32768; ++x)
    differ += encode_alaw(int16_t(x)) != linear_to_alaw(x) ||
              (x >= 0 && encode_ulaw(int16_t(x)) != linear_to_ulaw(x));
  EXPECT_EQ(differ, 0);
}

TEST(codec_engine, units_and_short_payloads) {
  const struct {
    int codec;
    size_t bytes;
    std::vector<size_t> units;
    size_t decoded;  // samples decoded from the whole payload
  } rows[] = {
      // clang-format off
      {codec_gsm, 66, {33, 33}, 320}, {codec_gsm, 65, {65}, 320}, {codec_gsm, 130, {65, 65}, 640},
      {codec_gsm, 40, {33}, 160}, {codec_gsm, 32, {}, 0}, {codec_ulaw, 100, {80, 20}, 100},
      {codec_g722, 1, {1}, 1}, {codec_g726, 83, {40, 40, 3}, 166},
      {codec_g729, 22, {10, 10, 2}, 240}, {codec_g729, 25, {10, 10}, 160}, {codec_g729, 9, {}, 0},
      {codec_linear, 163, {}, 81}, {codec_dtmf, 4, {}, 0}, {codec_cn, 32, {}, 0}, {99, 80, {}, 0},
      // clang-format on
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(testing::Message() << "codec " << r.codec << ", " << r.bytes << " bytes");
    std::vector<uint8_t> bytes(r.bytes);
    for (size_t i = 0; i < r.bytes; ++i) bytes[i] = uint8_t(0xD0 + i * 37);
    const str payload(bytes.data(), bytes.size());
    std::vector<size_t> sizes;
    for (const str& u : split_units(r.codec, payload)) sizes.push_back(u.size());
    EXPECT_EQ(sizes, r.units);
    codec c;
    EXPECT_EQ(c.decode(r.codec, payload).size(), 2 * r.decoded);
  }
  codec c;
  EXPECT_EQ(c.decode(codec_g729, str(), true).size(), 160u);  // one concealed unit
}

}  // namespace
