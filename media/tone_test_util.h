// Test audio: one or two sines of the amplitude, on for on_ms of every period_ms.
#pragma once

#include <cmath>
#include <vector>

#include "base/str.h"

inline str test_tone(int f1, int f2, int amplitude, int ms, int on_ms = 1, int period_ms = 1) {
  std::vector<int16_t> pcm(size_t(ms) * 8);
  for (size_t n = 0; n < pcm.size(); ++n) {
    const double w = 2 * M_PI * double(n) / 8000, on = int(n) % (period_ms * 8) < on_ms * 8;
    pcm[n] = int16_t(std::lround(on * amplitude * (std::sin(w * f1) + std::sin(w * f2))));
  }
  return str(pcm.data(), pcm.size() * 2);
}
