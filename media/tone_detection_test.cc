#include "media/tone_detection.h"

#include <gtest/gtest.h>

#include <cmath>

namespace {

// A test signal of the given kind at sample n: a cadence of two sines (0 Hz: none) switched
// on for on_ms and off for off_ms (off_ms 0: constant), or speech-like noise: pseudo-random
// samples under a syllable envelope of varying length.
struct signal {
  const char* name;
  int f1, f2, on_ms, off_ms;
  bool speech;
  int repeat;
  int from_ms, to_ms;  // the first 10 ms step at which disconnected holds; -1: never
};

int16_t sample(const signal& s, int n, uint32_t& seed) {
  if (s.speech) {
    seed = seed * 1103515245u + 12345u;
    const int syllable = n / (800 + (n / 4000 % 5) * 450);  // 100 to 325 ms
    const int level = syllable % 3 == 2 ? 0 : 1500 + syllable % 7 * 300;
    return int16_t(int(seed >> 16 & 0xffff) % (2 * level + 1) - level);
  }
  const int period = (s.on_ms + s.off_ms) * 8;
  if (s.off_ms && n % period >= s.on_ms * 8) return 0;
  double v = 0;
  for (int f : {s.f1, s.f2}) v += f ? 1500 * std::sin(2 * M_PI * f * n / 8000.0) : 0;
  return int16_t(std::lround(v));
}

TEST(tone_detection, hangup_tones) {
  const signal cases[] = {
      // Busy: the 6th off/on cycle after the first burst exceeds the limit of 5: about 6 s.
      {"busy 425", 425, 0, 500, 500, false, 5, 6000, 6100},
      {"busy 480+620", 480, 620, 500, 500, false, 5, 6000, 6100},
      {"busy 400 repeat 2", 400, 0, 375, 375, false, 2, 2250, 2350},
      {"constant 425: 38 blocks", 425, 0, 1000, 0, false, 5, 3040, 3040},
      {"dial 350+440", 350, 440, 1000, 0, false, 5, 3040, 3040},
      {"speech", 0, 0, 0, 0, true, 5, -1, -1},
      {"1 kHz", 1000, 0, 500, 500, false, 5, -1, -1},
      {"slow cadence 425", 425, 0, 1000, 1000, false, 5, -1, -1},
  };
  for (const signal& c : cases) {
    tone_detection t(256);
    t.set_parameters(50, c.repeat);
    uint32_t seed = 1;
    int at = -1;
    for (int ms = 10, n = 0; ms <= 20000 && at < 0; ms += 10) {
      int16_t block[80];
      for (int16_t& x : block) x = sample(c, n++, seed);
      t.calc_tone(str(block, sizeof block));
      if (t.disconnected()) at = ms;
    }
    EXPECT_GE(at, c.from_ms) << c.name;
    EXPECT_LE(at, c.to_ms) << c.name;
  }
}

}  // namespace
