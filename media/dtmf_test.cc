#include "media/dtmf.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "media/dtmf_receiver.h"
#include "media/tone_detection.h"
#include "media/tone_test_util.h"

namespace {

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
  codec a, b;
  EXPECT_EQ(dtmf_tone_payload(s, a, codec_alaw, 3, 30), b.encode(codec_alaw, keyed(3, 30)));
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
  const struct {
    std::vector<rtp_header> audio;
    bool fax;
    int te_pt;
    std::vector<int> events;
  } cases[] = {
      {packets(five), false, -1, {5, 5}},      {packets(five), false, 101, {}},
      {packets(str(), 4), false, 101, {4, 5}}, {packets(str(), 4), false, -1, {4, 5}},
      {packets(fax), true, 101, {'F'}},        {packets(fax), false, 101, {}},
  };
  for (const auto& c : cases) {
    dtmf_receiver r;
    r.init();
    r.fax_detection = c.fax;
    std::vector<int> got;
    r.on_dtmf = [&](int e) { got.push_back(e); };
    for (const rtp_header& h : c.audio)
      r.on_packet(h, h.payload_type ? codec_dtmf : codec_ulaw, c.te_pt, false);
    EXPECT_EQ(got, c.events) << &c - cases;
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
  const struct {
    const char* name;
    str audio;
    int repeat;
    int from_ms, to_ms;  // the first 10 ms step at which disconnected holds; -1: never
  } cases[] = {
      // Busy: the 6th off/on cycle after the first burst exceeds the limit of 5: about 6 s.
      {"busy 425", test_tone(425, 0, 1500, 20000, 500, 1000), 5, 6000, 6100},
      {"busy 480+620", test_tone(480, 620, 1500, 20000, 500, 1000), 5, 6000, 6100},
      {"busy 400 repeat 2", test_tone(400, 0, 1500, 20000, 375, 750), 2, 2250, 2350},
      {"constant 425: 38 blocks", test_tone(425, 0, 1500, 20000), 5, 3040, 3040},
      {"speech", speech(20000), 5, -1, -1},
      {"1 kHz", test_tone(1000, 0, 1500, 20000, 500, 1000), 5, -1, -1},
      {"slow cadence 425", test_tone(425, 0, 1500, 20000, 1000, 2000), 5, -1, -1},
  };
  for (const auto& c : cases) {
    tone_detection t(256);
    t.set_parameters(50, c.repeat);
    int at = -1;
    for (size_t i = 0; i < c.audio.length() && at < 0; i += 160) {
      t.calc_tone(c.audio.substr(i, 160));
      if (t.disconnected()) at = int(i / 160 + 1) * 10;
    }
    EXPECT_GE(at, c.from_ms) << c.name;
    EXPECT_LE(at, c.to_ms) << c.name;
  }
}

}  // namespace
