#include "base/encoding.h"

#include <cstdint>

namespace {

constexpr char k_base64_alphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Decoding table: 0..63 for alphabet characters, 64 for white space, 65 for '=', 255 otherwise.
struct base64_table {
  uint8_t v[256];
  constexpr base64_table() : v() {
    for (int i = 0; i < 256; ++i) v[i] = 255;
    for (int i = 0; i < 64; ++i)
      v[static_cast<uint8_t>(k_base64_alphabet[i])] = static_cast<uint8_t>(i);
    for (int c : {' ', '\t', '\r', '\n'}) v[c] = 64;
    v[int{'='}] = 65;
  }
};
constexpr base64_table k_base64_table;

// 0..15 for hexadecimal digits, 255 otherwise.
struct hex_table {
  uint8_t v[256];
  constexpr hex_table() : v() {
    for (int i = 0; i < 256; ++i) v[i] = 255;
    for (int i = 0; i < 10; ++i) v[int{'0'} + i] = static_cast<uint8_t>(i);
    for (int i = 0; i < 6; ++i) {
      v[int{'a'} + i] = static_cast<uint8_t>(10 + i);
      v[int{'A'} + i] = static_cast<uint8_t>(10 + i);
    }
  }
};
constexpr hex_table k_hex_table;

}  // namespace

str base64_encode(const str& data, size_t line_length) {
  const size_t n = data.length();
  if (n == 0) return str();
  const size_t chars = (n + 2) / 3 * 4;
  const size_t breaks = line_length ? (chars - 1) / line_length : 0;
  str out;
  char* o = out.extend(chars + 2 * breaks);
  const auto* in = reinterpret_cast<const uint8_t*>(data.cbuffer());
  size_t col = 0;
  auto put = [&](char c) {
    if (line_length && col == line_length) {
      *o++ = '\r';
      *o++ = '\n';
      col = 0;
    }
    *o++ = c;
    ++col;
  };
  size_t i = 0;
  for (; i + 3 <= n; i += 3) {
    const uint32_t v = (uint32_t{in[i]} << 16) | (uint32_t{in[i + 1]} << 8) | in[i + 2];
    put(k_base64_alphabet[v >> 18]);
    put(k_base64_alphabet[(v >> 12) & 63]);
    put(k_base64_alphabet[(v >> 6) & 63]);
    put(k_base64_alphabet[v & 63]);
  }
  if (i < n) {
    uint32_t v = uint32_t{in[i]} << 16;
    if (i + 1 < n) v |= uint32_t{in[i + 1]} << 8;
    put(k_base64_alphabet[v >> 18]);
    put(k_base64_alphabet[(v >> 12) & 63]);
    put(i + 1 < n ? k_base64_alphabet[(v >> 6) & 63] : '=');
    put('=');
  }
  return out;
}

bool base64_decode(const str& text, str& out) {
  out = str();
  const auto* in = reinterpret_cast<const uint8_t*>(text.cbuffer());
  const size_t n = text.length();
  str result;
  char* o = result.extend(n / 4 * 3 + 3);
  char* const start = o;
  uint32_t acc = 0;
  int have = 0;     // sextets in acc
  int padding = 0;  // '=' seen
  for (size_t i = 0; i < n; ++i) {
    const uint8_t v = k_base64_table.v[in[i]];
    if (v < 64) {
      if (padding) return false;  // data after padding
      acc = (acc << 6) | v;
      if (++have == 4) {
        *o++ = static_cast<char>(acc >> 16);
        *o++ = static_cast<char>(acc >> 8);
        *o++ = static_cast<char>(acc);
        acc = 0;
        have = 0;
      }
    } else if (v == 64) {
      continue;
    } else if (v == 65) {
      // Padding only completes a group of 2 or 3 sextets, to 4 characters at most.
      if (have < 2 || have + ++padding > 4) return false;
    } else {
      return false;
    }
  }
  if (have == 1) return false;
  if (padding && have + padding != 4) return false;
  if (have == 2) {
    *o++ = static_cast<char>(acc >> 4);
  } else if (have == 3) {
    *o++ = static_cast<char>(acc >> 10);
    *o++ = static_cast<char>(acc >> 2);
  }
  result.truncate(static_cast<size_t>(o - start));
  out = result;
  return true;
}

str base64_decode(const str& text) {
  str out;
  base64_decode(text, out);
  return out;
}

str hex_encode(const str& data, bool upper) {
  const char* digits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
  const size_t n = data.length();
  if (n == 0) return str();
  str out;
  char* o = out.extend(2 * n);
  const auto* in = reinterpret_cast<const uint8_t*>(data.cbuffer());
  for (size_t i = 0; i < n; ++i) {
    *o++ = digits[in[i] >> 4];
    *o++ = digits[in[i] & 15];
  }
  return out;
}

bool hex_decode(const str& text, str& out) {
  out = str();
  const size_t n = text.length();
  if (n % 2) return false;
  if (n == 0) return true;
  const auto* in = reinterpret_cast<const uint8_t*>(text.cbuffer());
  str result;
  char* o = result.extend(n / 2);
  for (size_t i = 0; i < n; i += 2) {
    const uint8_t hi = k_hex_table.v[in[i]];
    const uint8_t lo = k_hex_table.v[in[i + 1]];
    if ((hi | lo) > 15) return false;
    *o++ = static_cast<char>(hi << 4 | lo);
  }
  out = result;
  return true;
}

str hex_decode(const str& text) {
  str out;
  hex_decode(text, out);
  return out;
}
