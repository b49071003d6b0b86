// G.711 µ-law and A-law: the ITU-T algorithm in lookup tables.
//
// Linear samples are 16-bit. µ-law codes the top 14 bits and A-law the top 13 bits of a sample,
// negative samples in one's complement as in the ITU-T reference coder, so -1 codes like 0
// with the sign bit clear. Decoding gives the middle of each code's interval, scaled to 16
// bits (µ-law 0xFF and 0x7F give 0, A-law 0xD5 gives 8). The conversions between the laws are
// the G.711 conversion tables: sign kept, the magnitude to the nearest code of the other law.
//
// Side-neutral: the tables are constant and every function is pure.
#pragma once

#include <array>
#include <cstdint>

namespace g711_tables {
extern const std::array<uint8_t, 16384> ulaw_from_linear;  // (sample >> 2) + 8192
extern const std::array<uint8_t, 8192> alaw_from_linear;   // index: (sample >> 3) + 4096
extern const std::array<int16_t, 256> linear_from_ulaw;
extern const std::array<int16_t, 256> linear_from_alaw;
extern const std::array<uint8_t, 256> alaw_from_ulaw;
extern const std::array<uint8_t, 256> ulaw_from_alaw;
}  // namespace g711_tables

inline uint8_t encode_ulaw(int16_t sample) {
  return g711_tables::ulaw_from_linear[(sample >> 2) + 8192];
}
inline uint8_t encode_alaw(int16_t sample) {
  return g711_tables::alaw_from_linear[(sample >> 3) + 4096];
}
inline int16_t decode_ulaw(uint8_t code) { return g711_tables::linear_from_ulaw[code]; }
inline int16_t decode_alaw(uint8_t code) { return g711_tables::linear_from_alaw[code]; }
inline uint8_t convert_ulaw_to_alaw(uint8_t code) { return g711_tables::alaw_from_ulaw[code]; }
inline uint8_t convert_alaw_to_ulaw(uint8_t code) { return g711_tables::ulaw_from_alaw[code]; }
