// Digits inside the voice stream: the in-band DTMF recogniser (which also detects the 1100 Hz
// fax calling tone), the DTMF synthesizer that renders telephone events as audio, and the
// value rules of digit events (RFC 4733 payloads, the characters reported to the PBX, the
// events relayed in an INFO).
//
// Event codes are RFC 4733 event numbers: 0 to 9 the digits, 10 "*", 11 "#", 12 to 15 "A" to
// "D", 16 flash; 31 is an internal code reported as "S".
//
// Linear audio is 8000 Hz, 16-bit samples in host byte order, 2 bytes per sample in a str (an
// odd last byte is ignored), as the codec engine produces it.
//
// srv side: one recogniser and one synthesizer per media stream, on the RTP thread. Everything
// is integer arithmetic over fixed blocks and precomputed tables.
#pragma once

#include <array>
#include <cstdint>

#include "base/str.h"
#include "media/codec_engine.h"

// The in-band recogniser: fixed-point Goertzel filters over 20 ms blocks (160 samples) at the
// four row, the four column and the fax calling-tone frequency.
// The fixed-point Goertzel power of each coefficient (65536 * cos(2 pi f / 8000)) over a block
// of samples, the one filter of the digit and the tone detectors.
void goertzel_powers(const int16_t* block, size_t samples, const int* coefficients,
                     int64_t* powers, int count);

class dtmf_recognition {
 public:
  static constexpr int block_samples = 160;
  static constexpr int frequencies = 9;  // 697 770 852 941 1100 1209 1336 1477 1633 Hz

  // gain: samples are multiplied by it and divided by 256 (and kept within 16 bits) before
  // they enter the block; the default is the setting dtmf_gain, read once per process.
  dtmf_recognition();
  explicit dtmf_recognition(int gain);

  // Feeds linear samples; every full block is classified (decode) and the block restarts.
  void calc_dtmf(const str& samples);
  // The characters recognised since the last call ("0".."9", "*", "#", "A".."D", "F"); a key
  // counts when two equal blocks follow a different one, so a held key counts once. Silence
  // and unclear blocks never count.
  str get_dtmf_nums();
  // The character in all three history slots, else '?'.
  char get_current_tone() const;
  // How many of the three history slots hold c.
  int count_history(char c) const;
  // History "???", empty block, nothing recognised.
  void clear();

  // Classifies the current block from its powers and advances the history: ' ' silence (the
  // largest power 49 or less), 'F' the 1100 Hz tone alone, a keypad character for one row and
  // one column frequency above a tenth of the largest power, '?' anything else. At log level
  // 9 a block other than '?' logs "DTMF: Power:%s" with the nine powers.
  char decode();
  // The Goertzel power of each frequency over the current block.
  void calc_power();

  const std::array<int64_t, frequencies>& powers() const { return powers_; }

 private:
  int gain_;
  std::array<int16_t, block_samples> block_{};
  int fill_ = 0;
  std::array<int64_t, frequencies> powers_{};
  char history_[3] = {'?', '?', '?'};  // oldest first
  str digits_;
};

// Renders events 0 to 11 as their tone pairs from seven one-table-per-frequency waves (peak
// about 2000 each), 10 ms per call.
class dtmf_synthesizer {
 public:
  static constexpr int samples_per_call = 80;

  // 80 samples (160 bytes) of the event's row plus column tone, continuing the waves while the
  // event stays the same; a new event restarts both waves. Any event outside 0..11 gives 80
  // zero samples.
  str get_samples(int event);
  // Forgets the current event (called when an event ends).
  void clear();

 private:
  int event_ = -1;
  int row_pos_ = 0, column_pos_ = 0;
};

// The payload of one in-band tone packet for a peer without telephone-event (send_dtmf_tone):
// packet_ms / 10 (at least one) 10 ms steps of the synthesizer for event, encoded with the
// send codec by the leg's coder. Empty when the engine does not code that codec.
str dtmf_tone_payload(dtmf_synthesizer& synth, codec& coder, int send_codec, int event,
                      int packet_ms);

// The 4-byte RFC 4733 payload of an event: the event, 0x0A (volume 10) or 0x8A with the end
// bit, the duration so far in timestamp units (16 bits, big-endian, kept at 65535 at most).
str get_oob_dtmf(int event, int duration, bool end);

// One received telephone-event payload; false when it has fewer than 4 bytes.
struct telephone_event {
  int event = 0;
  bool end = false;
  int volume = 0;
  int duration = 0;
};
bool parse_telephone_event(const str& payload, telephone_event& e);

// The character the leg reports to the PBX (DialogDTMF) for an event or a recognised
// character: events 0..9 and 10, 11 become "0".."9", "*", "#"; those characters themselves
// stay; 16 is "R" (flash), 31 "S", 'F' stays 'F'. 0 for anything else (12..15 included): not
// reported.
char dtmf_report_char(int event_or_char);

// The event a recognised in-band character stands for on the receive path: 'F' (fax calling
// tone) with fax detection on stays 'F'; with in-band decoding on "0".."9" give 0..9, "*" 10,
// "#" 11, "A".."D" 12..15. -1 when the character is not to be used.
int recognised_event(char c, bool fax_detection, bool inband_decoding);

// The body of an "application/dtmf-relay" INFO for an event: "Signal= %c\r\nDuration= 160" with
// "0".."9", "*", "#", "A".."D" for 0..15 (characters "0".."9" are taken as events 0..9), "F"
// for any other event.
str dtmf_relay_info_body(int event);
