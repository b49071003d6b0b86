#include "media/tone_detection.h"

#include <cstring>

#include "base/log.h"
#include "frame/settings.h"
#include "media/dtmf.h"

namespace {

// 350 400 425 440 450 480 620 Hz: 65536 * cos(2 pi f / 8000), rounded.
constexpr int tone_coefficients[tone_detection::frequencies] = {63075, 62328, 61919, 61662,
                                                                61485, 60934, 57918};
constexpr int hz[tone_detection::frequencies] = {350, 400, 425, 440, 450, 480, 620};

int setting_gain() {
  static const int gain = ctrl_read_registry(ctrl_settings::tone_gain).value();
  return gain;
}

bool call_progress_pair(int a, int b) {
  const int lo = hz[a], hi = hz[b];
  return (lo == 350 && hi == 440) || (lo == 400 && hi == 450) || (lo == 440 && hi == 480) ||
         (lo == 480 && hi == 620);
}

}  // namespace

tone_detection::tone_detection() : gain_(setting_gain()) {}
tone_detection::tone_detection(int gain) : gain_(gain) {}

void tone_detection::clear() {
  fill_ = 0;
  previous_ = 'n';
  run_ = cycles_ = 0;
  disconnected_ = false;
  threshold_ = 50;
  repeat_ = 5;
}

void tone_detection::set_parameters(int threshold, int repeat) {
  threshold_ = threshold;
  repeat_ = repeat;
}

void tone_detection::calc_tone(const str& samples) {
  const char* p = samples.cbuffer();
  for (size_t i = 0; i + 1 < samples.length() && !disconnected_; i += 2) {
    int16_t x;
    std::memcpy(&x, p + i, 2);
    const int64_t v = int64_t(x) * gain_ / 256;
    block_[size_t(fill_++)] = int16_t(v > 32767 ? 32767 : v < -32768 ? -32768 : v);
    if (fill_ == block_samples) {
      decode();
      fill_ = 0;
    }
  }
}

void tone_detection::calc_power() {
  goertzel_powers(block_.data(), block_.size(), tone_coefficients, powers_.data(), frequencies);
}

char tone_detection::classify() const {
  int64_t max = 0;
  for (int64_t p : powers_) max = p > max ? p : max;
  if (max < threshold_) return 's';
  int present[frequencies];
  int count = 0;
  for (int k = 0; k < frequencies; ++k) {
    if (powers_[size_t(k)] > max / 4) present[count++] = k;
  }
  if (count == 1) return present[0] <= 4 ? char('0' + present[0]) : 'n';
  if (count == 2) return call_progress_pair(present[0], present[1]) ? 'd' : 'n';
  return 'n';
}

char tone_detection::decode() {
  calc_power();
  const char cls = classify();
  if (log_check_condition(log_media, 9)) {
    int64_t max = 1;
    for (int64_t p : powers_) max = p > max ? p : max;
    log_printf(log_media, 9, "Tone %s %d %d %d", str(&cls, 1), int(powers_[0] * 9 / max),
               int(powers_[2] * 9 / max), int(powers_[5] * 9 / max));
  }
  follow(cls);
  return cls;
}

void tone_detection::follow(char cls) {
  if (cls == 'n' && previous_ == 'n') {
    run_ = cycles_ = 0;
    return;
  }
  if (cls == previous_) {
    if (++run_ > 37 && cls != 's' && !disconnected_) {
      log_printf(log_media, 4, "Tone: Constant tone detected");
      disconnected_ = true;
    }
    return;
  }
  if (run_ >= 2 && run_ <= 8) {
    if (cls == 's') {
      if (cycles_ > repeat_) disconnected_ = true;
    } else if (cls != 'n' && ++cycles_ > repeat_) {
      disconnected_ = true;
    }
  } else {
    cycles_ = 0;
  }
  run_ = 1;
  previous_ = cls;
}
