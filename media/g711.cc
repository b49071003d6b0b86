#include "media/g711.h"

#include <array>
#include <cstddef>

namespace {

// The ITU-T coders on the magnitude of a sample. m is the magnitude in the law's own domain
// (14 bits for µ-law, 13 bits for A-law, one's complement already applied); the result has the
// sign bit set (positive) and is inverted as the law transmits it.
constexpr uint8_t ulaw_code(int m14) {
  int biased = m14 + 33;  // the µ-law bias
  if (biased > 0x1FFF) biased = 0x1FFF;
  int segment = 1;
  for (int i = biased >> 6; i != 0; i >>= 1) ++segment;
  const int mantissa = 0x0F - ((biased >> segment) & 0x0F);
  return uint8_t(0x80 | ((8 - segment) << 4) | mantissa);
}

constexpr uint8_t alaw_code(int m13) {
  int ix = m13 >> 1;  // 12-bit magnitude
  if (ix > 15) {
    int exponent = 1;
    while (ix > 16 + 15) {
      ix >>= 1;
      ++exponent;
    }
    ix += (exponent << 4) - 16;
  }
  return uint8_t((ix | 0x80) ^ 0x55);
}

// Decoded magnitudes (16-bit scale) of a code with its sign bit ignored.
constexpr int ulaw_magnitude(uint8_t code) {
  const int inverted = ~code & 0x7F;
  const int exponent = inverted >> 4;
  const int step = 4 << (exponent + 1);
  return (0x80 << exponent) + step * (inverted & 0x0F) + step / 2 - 4 * 33;
}

constexpr int alaw_magnitude(uint8_t code) {
  const int ix = (code ^ 0x55) & 0x7F;
  const int exponent = ix >> 4;
  int mantissa = ix & 0x0F;
  if (exponent > 0) mantissa += 16;
  mantissa = (mantissa << 4) + 8;
  if (exponent > 1) mantissa <<= exponent - 1;
  return mantissa;
}

// Negative samples are coded on their one's complement (~x == -x - 1), as the reference coder
// does; the sign bit is cleared for them.
template <int bits>
constexpr auto encoder_table() {
  constexpr int n = 1 << bits;
  std::array<uint8_t, n> t{};
  for (int i = 0; i < n; ++i) {
    const int v = i - n / 2;  // the sample shifted right by 16 - bits
    const int m = v < 0 ? ~v : v;
    const uint8_t c = bits == 14 ? ulaw_code(m) : alaw_code(m);
    t[size_t(i)] = v < 0 ? uint8_t(c & 0x7F) : c;
  }
  return t;
}

template <bool ulaw>
constexpr auto decoder_table() {
  std::array<int16_t, 256> t{};
  for (int c = 0; c < 256; ++c) {
    const int m = ulaw ? ulaw_magnitude(uint8_t(c)) : alaw_magnitude(uint8_t(c));
    t[size_t(c)] = int16_t(c & 0x80 ? m : -m);
  }
  return t;
}

// Each code goes to the code of the other law whose decoded value is nearest, the µ-law value
// taken 1/160 larger (µ-law overloads a little below A-law); ties go to the larger magnitude.
// The sign is kept, so µ-law's negative zero stays negative. This reproduces the G.711
// conversion tables, including their one-step departures from plain re-coding of the decoded
// value near the segment edges.
template <bool to_alaw>
constexpr auto conversion_table() {
  std::array<uint8_t, 256> t{};
  for (int c = 0; c < 256; ++c) {
    const int from = to_alaw ? 161 * ulaw_magnitude(uint8_t(c)) : 160 * alaw_magnitude(uint8_t(c));
    int best = 0, best_distance = -1, best_magnitude = 0;
    for (int o = 0x80; o < 0x100; ++o) {
      const int m = to_alaw ? alaw_magnitude(uint8_t(o)) : ulaw_magnitude(uint8_t(o));
      const int d = from - (to_alaw ? 160 * m : 161 * m);
      const int distance = d < 0 ? -d : d;
      if (best_distance < 0 || distance < best_distance ||
          (distance == best_distance && m > best_magnitude)) {
        best = o;
        best_distance = distance;
        best_magnitude = m;
      }
    }
    t[size_t(c)] = uint8_t(c & 0x80 ? best : best & 0x7F);
  }
  return t;
}

}  // namespace

namespace g711_tables {
constexpr std::array<uint8_t, 16384> ulaw_from_linear = encoder_table<14>();
constexpr std::array<uint8_t, 8192> alaw_from_linear = encoder_table<13>();
constexpr std::array<int16_t, 256> linear_from_ulaw = decoder_table<true>();
constexpr std::array<int16_t, 256> linear_from_alaw = decoder_table<false>();
constexpr std::array<uint8_t, 256> alaw_from_ulaw = conversion_table<true>();
constexpr std::array<uint8_t, 256> ulaw_from_alaw = conversion_table<false>();
}  // namespace g711_tables
