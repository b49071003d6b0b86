// The codecs against a tone and spandsp's coders, payload units; DTMF and fax tones
// recognised in audio and in telephone events, the synthesizer and the hang-up tones.
#include "media/codec_engine.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <tuple>
#include <vector>

// After the standard headers: spandsp's telephony.h (which the others need first) defines
// names of <cmath>.
#include <spandsp/telephony.h>
//
#include <spandsp/bit_operations.h>
#include <spandsp/bitstream.h>
#include <spandsp/g711.h>
#include <spandsp/g726.h>

#include "media/dtmf.h"
#include "media/dtmf_receiver.h"
#include "media/tone_detection.h"
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
  // The codec, GSM in its Microsoft form, the least SNR in dB, the payload bytes of successive
  // 10 ms encode calls (cycled).
  const std::tuple<const char*, int, bool, double, std::vector<size_t>> rows[] = {
      {"pcmu", codec_ulaw, false, 30, {80}},        {"pcma", codec_alaw, false, 30, {80}},
      {"g722", codec_g722, false, 15, {80}},        {"g726", codec_g726, false, 15, {40}},
      {"g729", codec_g729, false, 5, {10}},         {"gsm", codec_gsm, false, 5, {0, 33}},
      {"gsm65", codec_gsm, true, 5, {0, 0, 0, 65}}, {"l16", codec_linear, false, 60, {160}},
  };
  const str pcm = test_tone(1000, 0, 8000, total / 8);
  for (const auto& [name, kind, gsm_ms, floor_db, sizes] : rows) {
    SCOPED_TRACE(name);
    codec enc, dec;
    enc.set_gsm_ms_form(gsm_ms);
    str payload;
    for (int i = 0; i < total / 80; ++i) {
      str part = enc.encode(kind, pcm.substr(160 * size_t(i), 160));
      EXPECT_EQ(part.size(), sizes[size_t(i) % sizes.size()]) << "call " << i;
      payload += part;
    }
    // Received payloads are cut into units and decoded unit by unit; the timestamp steps add
    // up to the samples sent.
    std::vector<str> units = split_units(kind, payload);
    if (units.empty()) units.push_back(payload);
    str out;
    int steps = 0;
    for (const str& u : units) {
      steps += unit_bytes(kind) ? unit_samples(kind, u) : int(u.size()) / 2;
      out += dec.decode(kind, u);
    }
    EXPECT_EQ(steps, total);
    EXPECT_EQ(out.size(), pcm.size());
    EXPECT_GT(snr_db(samples(pcm), samples(out)), floor_db);
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
  // The codec, the payload's bytes, its units, the samples decoded from the whole payload.
  const std::tuple<int, size_t, std::vector<size_t>, size_t> rows[] = {
      // clang-format off
      {codec_gsm, 40, {33}, 160}, {codec_gsm, 32, {}, 0}, {codec_ulaw, 100, {80, 20}, 100},
      {codec_g722, 1, {1}, 1}, {codec_g726, 83, {40, 40, 3}, 166},
      {codec_g729, 22, {10, 10, 2}, 240}, {codec_g729, 25, {10, 10}, 160}, {codec_g729, 9, {}, 0},
      {codec_linear, 163, {}, 81}, {codec_dtmf, 4, {}, 0}, {codec_cn, 32, {}, 0}, {99, 80, {}, 0},
      // clang-format on
  };
  for (const auto& [kind, length, units, decoded] : rows) {
    SCOPED_TRACE(testing::Message() << "codec " << kind << ", " << length << " bytes");
    std::vector<uint8_t> bytes(length);
    for (size_t i = 0; i < length; ++i) bytes[i] = uint8_t(0xD0 + i * 37);
    const str payload(bytes.data(), bytes.size());
    std::vector<size_t> sizes;
    for (const str& u : split_units(kind, payload)) sizes.push_back(u.size());
    EXPECT_EQ(sizes, units);
    codec c;
    EXPECT_EQ(c.decode(kind, payload).size(), 2 * decoded);
  }
  codec c;
  EXPECT_EQ(c.decode(codec_g729, str(), true).size(), 160u);  // one concealed unit
}

// ms of a synthesized event.
str keyed(int event, int ms) {
  dtmf_synthesizer s;
  str out;
  for (int t = 0; t < ms; t += 10) out += s.get_samples(event);
  return out;
}

TEST(dtmf, recognised_from_audio) {
  const str quiet = test_tone(0, 0, 0, 60);
  std::vector<std::pair<str, std::string>> cases = {
      {keyed(7, 200) + quiet, "7"},  // held: once
      {keyed(5, 60) + test_tone(0, 0, 0, 20) + keyed(5, 60), "55"},
      {test_tone(1100, 0, 2000, 500), "F"},  // fax calling tone
      {test_tone(1209, 0, 2000, 200), ""},   // a column alone
      {test_tone(697, 770, 2000, 200), ""},  // two rows
      {keyed(1, 20) + quiet, ""},            // one block is not a key
  };
  // Every key: 0..9, "*", "#" synthesized, "A".."D" (rows against 1633 Hz) as sines.
  for (int e = 0; e < 16; ++e) {
    const int rows[] = {697, 770, 852, 941};
    cases.push_back({e < 12 ? keyed(e, 60) + quiet : test_tone(rows[e - 12], 1633, 2000, 60),
                     {"0123456789*#ABCD"[e]}});
  }
  for (const auto& [audio, digits] : cases) {
    // Tones of peak 2000 (the synthesizer's) sit at the silence limit under the default gain
    // of 512; phones send theirs several times louder.
    dtmf_recognition r(1024);
    r.calc_dtmf(audio);
    EXPECT_EQ(r.get_dtmf_nums(), str(digits.c_str())) << digits;
    EXPECT_EQ(r.get_dtmf_nums(), "");
  }
}

TEST(dtmf, synthesizer_and_event_rules) {
  dtmf_synthesizer s;
  const str first = s.get_samples(1);
  s.get_samples(2);
  EXPECT_EQ(s.get_samples(1), first);  // a new event starts the waves again
  EXPECT_EQ(s.get_samples(12), str('\0', 160));
  EXPECT_EQ(get_oob_dtmf(5, 400, false) + get_oob_dtmf(11, 1280, true),
            str::bytes({5, 0x0a, 0x01, 0x90, 11, 0x8a, 0x05, 0x00}));
  telephone_event e;
  EXPECT_FALSE(parse_telephone_event(str::bytes({1, 2, 3}), e));
  ASSERT_TRUE(parse_telephone_event(get_oob_dtmf(11, 1280, true), e));
  EXPECT_EQ(str::sprintf("%d %d %d %d", e.event, int(e.end), e.volume, e.duration), "11 1 10 1280");
  std::string got;
  for (int v : {0, 10, 11, int('#'), 16, 31, int('F'), 12})
    got += dtmf_report_char(v) ? dtmf_report_char(v) : '-';  // '-': not reported
  // clang-format off
  for (auto [c, fax, inband] : {std::tuple{'F', true, false}, {'F', false, true},
                                {'#', false, true}, {'D', true, true}, {'7', true, false}})
    got += std::to_string(recognised_event(c, fax, inband)) + ",";
  // clang-format on
  EXPECT_EQ(got, "0*##RSF-70,-1,11,15,-1,");
  EXPECT_EQ(dtmf_relay_info_body(10) + dtmf_relay_info_body('7') + dtmf_relay_info_body(16),
            "Signal= *\r\nDuration= 160Signal= 7\r\nDuration= 160Signal= F\r\nDuration= 160");
}

// 20 ms PCMU packets of audio, or RFC 4733 packets (event >= 0): 3 of a first event and its
// end sent 3 times, then 2 of a second event (event + 1).
std::vector<rtp_header> packets(const str& audio, int event = -1) {
  std::vector<rtp_header> out;
  codec enc;
  for (size_t i = 0; i < (event < 0 ? audio.length() / 320 : 10); ++i) {
    rtp_header h;
    const int t = int(i) * 20;
    h.timestamp = uint32_t(t < 100 ? 0 : 6400);
    h.payload_type = event < 0 ? 0 : 101;
    h.payload = event < 0 ? enc.encode(codec_ulaw, audio.substr(i * 320, 320))
                          : get_oob_dtmf(event + (t >= 100), t % 100 * 8 + 160, t % 100 >= 40);
    out.push_back(h);
  }
  return out;
}

TEST(dtmf_receiver, reports_digits_and_fax_tones) {
  const str five = test_tone(770, 1336, 3000, 400, 60, 200), fax = test_tone(1100, 0, 3000, 500);
  // The packets, fax detection on, the payload type of telephone events, the events reported.
  const std::tuple<std::vector<rtp_header>, bool, int, std::vector<int>> cases[] = {
      {packets(five), false, -1, {5, 5}},      {packets(five), false, 101, {}},
      {packets(str(), 4), false, 101, {4, 5}}, {packets(str(), 4), false, -1, {4, 5}},
      {packets(fax), true, 101, {'F'}},        {packets(fax), false, 101, {}},
  };
  for (const auto& [audio, fax_detection, te_pt, events] : cases) {
    dtmf_receiver r;
    r.init();
    r.fax_detection = fax_detection;
    std::vector<int> got;
    r.on_dtmf = [&](int e) { got.push_back(e); };
    for (const rtp_header& h : audio)
      r.on_packet(h, h.payload_type ? codec_dtmf : codec_ulaw, te_pt, false);
    EXPECT_EQ(got, events) << audio.size() << " packets, te " << te_pt << ", fax " << fax_detection;
  }
}

// Speech-like noise: random samples in syllables of 100 to 325 ms, every third one silent.
str speech(int ms) {
  str out;
  uint32_t seed = 1;
  for (int n = 0; n < ms * 8; ++n) {
    seed = seed * 1103515245u + 12345u;
    const int syllable = n / (800 + (n / 4000 % 5) * 450);
    const int level = syllable % 3 == 2 ? 0 : 1500 + syllable % 7 * 300;
    const int16_t x = int16_t(int(seed >> 16) % (2 * level + 1) - level);
    out.append(&x, 2);
  }
  return out;
}

TEST(tone_detection, hangup_tones) {
  // The name, the audio, the repeat count, the range of the first 10 ms step at which
  // disconnected holds (-1: never).
  const std::tuple<const char*, str, int, int, int> cases[] = {
      // Busy: the 6th off/on cycle after the first burst exceeds the limit of 5: about 6 s.
      {"busy 425", test_tone(425, 0, 1500, 20000, 500, 1000), 5, 6000, 6100},
      {"busy 480+620", test_tone(480, 620, 1500, 20000, 500, 1000), 5, 6000, 6100},
      {"busy 400 repeat 2", test_tone(400, 0, 1500, 20000, 375, 750), 2, 2250, 2350},
      {"constant 425: 38 blocks", test_tone(425, 0, 1500, 20000), 5, 3040, 3040},
      {"speech", speech(20000), 5, -1, -1},
      {"1 kHz", test_tone(1000, 0, 1500, 20000, 500, 1000), 5, -1, -1},
      {"slow cadence 425", test_tone(425, 0, 1500, 20000, 1000, 2000), 5, -1, -1},
  };
  for (const auto& [name, audio, repeat, from_ms, to_ms] : cases) {
    tone_detection t(256);
    t.set_parameters(50, repeat);
    int at = -1;
    for (size_t i = 0; i < audio.length() && at < 0; i += 160) {
      t.calc_tone(audio.substr(i, 160));
      if (t.disconnected()) at = int(i / 160 + 1) * 10;
    }
    EXPECT_GE(at, from_ms) << name;
    EXPECT_LE(at, to_ms) << name;
  }
}

}  // namespace
