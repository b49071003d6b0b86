#include "media/tone_detection.h"

#include <gtest/gtest.h>

#include "media/tone_test_util.h"

namespace {

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
