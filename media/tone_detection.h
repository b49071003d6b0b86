// tone_detection: the hangup-tone detector of a trunk leg. It follows the call-progress tones
// the far end plays after it hung up (a busy or congestion cadence, or one constant tone) and
// says when the leg should end the call.
//
// Fixed-point Goertzel filters over 80 ms blocks (640 samples) at 350, 400, 425, 440, 450, 480
// and 620 Hz classify each block; the sequence of classes is followed as a cadence:
//   's' silence (the largest power below the threshold);
//   '0'..'4' one of 350, 400, 425, 440, 450 Hz alone (above a quarter of the largest power);
//   'd' a dual tone: two frequencies that make a call-progress pair (350+440, 400+450,
//       440+480, 480+620);
//   'n' anything else (noise, speech, a lone 480 or 620 Hz).
// Disconnected is set by a tone class lasting more than 37 blocks (about 3 s, "Tone: Constant
// tone detected"), or by more than the repeat limit of on/off cycles whose runs each last 2 to
// 8 blocks (160 to 640 ms). Noise after noise restarts the count, and so does a run of one
// block: a loud cadence whose edges fall inside a block can class that block as noise and
// lose the count (a 500 ms cadence is 6.25 blocks).
//
// srv side: one per media stream, on the RTP thread.
#pragma once

#include <array>
#include <cstdint>

#include "base/str.h"

class tone_detection {
 public:
  static constexpr int block_samples = 640;
  static constexpr int frequencies = 7;

  // gain: samples are multiplied by it and divided by 256 (and kept within 16 bits); the
  // default is the setting tone_gain, read once per process. Threshold 50, repeat limit 5.
  tone_detection();
  explicit tone_detection(int gain);

  // Feeds linear samples (see media/dtmf.h); ignored once disconnected.
  void calc_tone(const str& samples);
  // Classifies the current block (see above) and follows the cadence. At log level 9 logs
  // "Tone %s %d %d %d" with the class and the powers relative to the largest (times 9).
  char decode();
  void calc_power();
  // From tone_thres and tone_repeat.
  void set_parameters(int threshold, int repeat);
  bool disconnected() const { return disconnected_; }
  // Previous class 'n', counters 0, not disconnected, threshold 50, repeat limit 5.
  void clear();

  const std::array<int64_t, frequencies>& powers() const { return powers_; }

 private:
  char classify() const;
  void follow(char cls);

  int gain_;
  std::array<int16_t, block_samples> block_{};
  int fill_ = 0;
  std::array<int64_t, frequencies> powers_{};
  char previous_ = 'n';
  int run_ = 0, cycles_ = 0;
  bool disconnected_ = false;
  int threshold_ = 50, repeat_ = 5;
};
