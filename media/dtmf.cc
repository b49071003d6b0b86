#include "media/dtmf.h"

#include <cstring>

#include "base/log.h"
#include "frame/settings.h"

namespace {

// 65536 * cos(2 pi f / 8000), rounded.
constexpr int dtmf_coefficients[dtmf_recognition::frequencies] = {55959, 53913, 51403, 48438, 42562,
                                                                  38145, 32649, 26169, 18630};
constexpr int fax_index = 4;
constexpr char keypad[4][4] = {
    {'1', '2', '3', 'A'}, {'4', '5', '6', 'B'}, {'7', '8', '9', 'C'}, {'*', '0', '#', 'D'}};

int setting_gain() {
  static const int gain = ctrl_read_registry(ctrl_settings::dtmf_gain).value();
  return gain;
}

int16_t saturate(int64_t v) { return int16_t(v > 32767 ? 32767 : v < -32768 ? -32768 : v); }

// One wave table per synthesizer frequency, each a whole number of periods at 8000 Hz
// (697 Hz: 2 periods in 23 samples, 770: 5/52, 852: 5/47, 941: 2/17, 1209: 8/53, 1336: 1/6,
// 1477: 12/65), peak 2000.
constexpr int16_t wave_697[23] = {0,     1039,  1776,  1995,  1634,  797,   -272, -1262,
                                  -1885, -1958, -1462, -540,  540,   1462,  1958, 1885,
                                  1262,  272,   -797,  -1634, -1995, -1776, -1039};
constexpr int16_t wave_770[52] = {
    0,     1136,  1870,  1942,  1326,  241,   -929,  -1771, -1985, -1497, -479,  709,   1646,
    2000,  1646,  709,   -479,  -1497, -1985, -1771, -929,  241,   1326,  1942,  1870,  1136,
    0,     -1136, -1870, -1942, -1326, -241,  929,   1771,  1985,  1497,  479,   -709,  -1646,
    -2000, -1646, -709,  479,   1497,  1985,  1771,  929,   -241,  -1326, -1942, -1870, -1136};
constexpr int16_t wave_852[47] = {0,    1239, 1946, 1814, 902,   -398,  -1527, -1999, -1610, -528,
                                  781,  1754, 1972, 1342, 134,   -1132, -1910, -1866, -1019, 267,
                                  1438, 1990, 1686, 656,  -656,  -1686, -1990, -1438, -267,  1019,
                                  1866, 1910, 1132, -134, -1342, -1972, -1754, -781,  528,   1610,
                                  1999, 1527, 398,  -902, -1814, -1946, -1239};
constexpr int16_t wave_941[17] = {0,   1347, 1991, 1596, 367,  -1053, -1924, -1790, -722,
                                  722, 1790, 1924, 1053, -367, -1596, -1991, -1347};
constexpr int16_t wave_1209[53] = {
    0,    1625, 1895,  584,   -1214, -1999, -1117, 696,  1929, 1553,  -118,  -1691, -1853, -470,
    1306, 1992, 1017,  -806,  -1957, -1476, 237,   1751, 1806, 354,   -1393, -1978, -913,  913,
    1978, 1393, -354,  -1806, -1751, -237,  1476,  1957, 806,  -1017, -1992, -1306, 470,   1853,
    1691, 118,  -1553, -1929, -696,  1117,  1999,  1214, -584, -1895, -1625};
constexpr int16_t wave_1336[6] = {0, 1732, 1732, 0, -1732, -1732};
constexpr int16_t wave_1477[65] = {
    0,     1834,  1465,  -664,  -1995, -929,  1252,  1930,  289,   -1699, -1646, 384,   1953,
    1176,  -1014, -1985, -572,  1529,  1793,  -97,   -1870, -1397, 754,   1999,  843,   -1326,
    -1902, -193,  1748,  1589,  -479,  -1971, -1096, 1096,  1971,  479,   -1589, -1748, 193,
    1902,  1326,  -843,  -1999, -754,  1397,  1870,  97,    -1793, -1529, 572,   1985,  1014,
    -1176, -1953, -384,  1646,  1699,  -289,  -1930, -1252, 929,   1995,  664,   -1465, -1834};

struct wave {
  const int16_t* samples;
  int length;
};
constexpr wave rows[4] = {{wave_697, 23}, {wave_770, 52}, {wave_852, 47}, {wave_941, 17}};
constexpr wave columns[3] = {{wave_1209, 53}, {wave_1336, 6}, {wave_1477, 65}};

// Row and column of events 0..11 ("0" is 941+1336, "*" 941+1209, "#" 941+1477).
constexpr int event_row[12] = {3, 0, 0, 0, 1, 1, 1, 2, 2, 2, 3, 3};
constexpr int event_column[12] = {1, 0, 1, 2, 0, 1, 2, 0, 1, 2, 0, 2};

constexpr char event_chars[] = "0123456789*#ABCD";

}  // namespace

// ---- Recogniser ---------------------------------------------------------------------------

dtmf_recognition::dtmf_recognition() : gain_(setting_gain()) {}
dtmf_recognition::dtmf_recognition(int gain) : gain_(gain) {}

void dtmf_recognition::clear() {
  history_[0] = history_[1] = history_[2] = '?';
  fill_ = 0;
  digits_.clear();
}

void dtmf_recognition::calc_dtmf(const str& samples) {
  const char* p = samples.cbuffer();
  for (size_t i = 0; i + 1 < samples.length(); i += 2) {
    int16_t x;
    std::memcpy(&x, p + i, 2);
    block_[size_t(fill_++)] = saturate(int64_t(x) * gain_ / 256);
    if (fill_ == block_samples) {
      decode();
      fill_ = 0;
    }
  }
}

void goertzel_powers(const int16_t* block, size_t samples, const int* coefficients,
                     int64_t* powers, int count) {
  // All frequencies advance together, sample by sample: the recursions are independent, so the
  // processor works on several at once instead of waiting on one chain of 160 steps.
  constexpr int max_count = 16;
  int64_t s1[max_count] = {}, s2[max_count] = {}, c[max_count] = {};
  count = count < max_count ? count : max_count;
  for (int k = 0; k < count; ++k) c[k] = coefficients[k];
  for (size_t i = 0; i < samples; ++i) {
    const int64_t x = block[i];
    for (int k = 0; k < count; ++k) {
      const int64_t s = (((s1[k] >> 8) * c[k]) >> 7) + x - s2[k];
      s2[k] = s1[k];
      s1[k] = s;
    }
  }
  for (int k = 0; k < count; ++k) {
    const int64_t a = s1[k] >> 8, b = s2[k] >> 8;
    powers[k] = ((a * a) >> 15) + ((b * b) >> 15) - ((((a * b) >> 15) * c[k]) >> 15);
  }
}

void dtmf_recognition::calc_power() {
  goertzel_powers(block_.data(), block_.size(), dtmf_coefficients, powers_.data(), frequencies);
}

char dtmf_recognition::decode() {
  calc_power();
  int64_t max = 0;
  for (int64_t p : powers_) max = p > max ? p : max;
  char result = '?';
  if (max <= 49) {
    result = ' ';
  } else {
    int present[frequencies];
    int count = 0;
    for (int k = 0; k < frequencies; ++k) {
      if (powers_[size_t(k)] > max / 10) present[count++] = k;
    }
    if (count == 1) {
      result = present[0] == fax_index ? 'F' : '?';
    } else if (count == 2 && present[0] < fax_index && present[1] > fax_index) {
      result = keypad[present[0]][present[1] - fax_index - 1];
    }
  }
  if (result != '?' && log_check_condition(log_media, 9)) {
    str list;
    for (int64_t p : powers_) list.appendf(" %d", int(p));
    log_printf(log_media, 9, "DTMF: Power:%s", list);
  }
  history_[0] = history_[1];
  history_[1] = history_[2];
  history_[2] = result;
  if (result == history_[1] && result != history_[0] && result != ' ' && result != '?') {
    digits_ += result;
  }
  return result;
}

str dtmf_recognition::get_dtmf_nums() {
  str taken = digits_;
  digits_.clear();
  return taken;
}

char dtmf_recognition::get_current_tone() const {
  return history_[0] == history_[1] && history_[1] == history_[2] ? history_[0] : '?';
}

int dtmf_recognition::count_history(char c) const {
  return (history_[0] == c) + (history_[1] == c) + (history_[2] == c);
}

// ---- Synthesizer --------------------------------------------------------------------------

str dtmf_synthesizer::get_samples(int event) {
  int16_t out[samples_per_call] = {};
  if (event >= 0 && event <= 11) {
    if (event != event_) {
      event_ = event;
      row_pos_ = column_pos_ = 0;
    }
    const wave& r = rows[event_row[event]];
    const wave& c = columns[event_column[event]];
    for (int16_t& s : out) {
      s = int16_t(r.samples[row_pos_] + c.samples[column_pos_]);
      row_pos_ = (row_pos_ + 1) % r.length;
      column_pos_ = (column_pos_ + 1) % c.length;
    }
  }
  return str(out, sizeof out);
}

void dtmf_synthesizer::clear() {
  event_ = -1;
  row_pos_ = column_pos_ = 0;
}

str dtmf_tone_payload(dtmf_synthesizer& synth, codec& coder, int send_codec, int event,
                      int packet_ms) {
  str pcm;
  for (int ms = 0; ms < packet_ms || ms == 0; ms += 10) pcm += synth.get_samples(event);
  return coder.encode(send_codec, pcm);
}

// ---- Event rules --------------------------------------------------------------------------

str get_oob_dtmf(int event, int duration, bool end) {
  const int d = duration < 0 ? 0 : duration > 65535 ? 65535 : duration;
  return str::bytes({uint8_t(event), uint8_t(end ? 0x8a : 0x0a), uint8_t(d >> 8), uint8_t(d)});
}

bool parse_telephone_event(const str& payload, telephone_event& e) {
  if (payload.length() < 4) return false;
  e.event = payload[0];
  e.end = (payload[1] & 0x80) != 0;
  e.volume = payload[1] & 0x3f;
  e.duration = payload[2] << 8 | payload[3];
  return true;
}

char dtmf_report_char(int v) {
  if (v >= 0 && v <= 11) return event_chars[v];
  if ((v >= '0' && v <= '9') || v == '*' || v == '#' || v == 'F') return char(v);
  if (v == 16) return 'R';
  if (v == 31) return 'S';
  return 0;
}

int recognised_event(char c, bool fax_detection, bool inband_decoding) {
  if (c == 'F') return fax_detection ? 'F' : -1;
  if (!inband_decoding) return -1;
  const char* at = std::strchr(event_chars, c);
  return c && at ? int(at - event_chars) : -1;
}

str dtmf_relay_info_body(int event) {
  if (event >= '0' && event <= '9') event -= '0';
  const char c = event >= 0 && event <= 15 ? event_chars[event] : 'F';
  return str::sprintf("Signal= %c\r\nDuration= 160", c);
}
