#include "media/wav_format.h"

#include <algorithm>
#include <cstdint>

#include "base/log.h"

namespace {

uint32_t le32(const str& s, size_t at) {
  return uint32_t(s[at]) | uint32_t(s[at + 1]) << 8 | uint32_t(s[at + 2]) << 16 |
         uint32_t(s[at + 3]) << 24;
}
int le16(const str& s, size_t at) { return int(s[at]) | int(s[at + 1]) << 8; }

void put16(str& s, int v) { s += str::bytes({uint8_t(v), uint8_t(v >> 8)}); }
void put32(str& s, uint32_t v) {
  s += str::bytes({uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)});
}
void patch32(str& s, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) s.set_character(at + size_t(i), char(uint8_t(v >> (8 * i))));
}

}  // namespace

bool is_wav_file(const str& file) {
  return file.length() >= 12 && file.substr(0, 4) == "RIFF" && file.substr(8, 4) == "WAVE";
}

bool read_wav_header(const str& file, wav_header& h, const str& name) {
  h = wav_header();
  if (!is_wav_file(file)) return false;
  bool fmt = false;
  const size_t size = file.length();
  for (size_t at = 12; at + 8 <= size;) {
    const str id = file.substr(at, 4);
    const uint32_t length = le32(file, at + 4);
    const size_t body = at + 8;
    if (id == "fmt " && body + 8 <= size) {
      fmt = true;
      h.format = file[body];
      h.channels = le16(file, body + 2);
      h.rate = le16(file, body + 4);
      if (h.channels != 1) {
        log_printf(log_media, 3, "WAV: File %s has %d channels (should be 1)", name, h.channels);
      }
      if (h.rate != 8000) {
        log_printf(log_media, 3, "WAV: File %s has a sampling rate of %d (should be 8000)", name,
                   h.rate);
      }
    } else if (id == "data") {
      if (!fmt) return false;
      h.data_offset = int(body);
      h.data_length = int(std::min<uint64_t>(length, 0x7fffffff));
      return true;
    }
    at = body + size_t(length);
  }
  return false;
}

str wav_header_template(int format) {
  str h("RIFF");
  put32(h, 0);
  h += "WAVEfmt ";
  if (format == wav_gsm) {
    put32(h, 20);
    put16(h, wav_gsm);
    put16(h, 1);
    put32(h, 8000);
    put32(h, 1625);
    put16(h, gsm_block_bytes);
    put16(h, 0);
    put16(h, 2);
    put16(h, gsm_block_samples);
    h += "fact";
    put32(h, 4);
    put32(h, 0);
  } else {
    put32(h, 16);
    put16(h, wav_linear);
    put16(h, 1);
    put32(h, 8000);
    put32(h, 16000);
    put16(h, 2);
    put16(h, 16);
  }
  h += "data";
  put32(h, 0);
  return h;
}

bool wav_set_sizes(str& file) {
  wav_header h;
  if (!read_wav_header(file, h, str())) return false;
  patch32(file, 4, uint32_t(file.length() - 8));
  patch32(file, size_t(h.data_offset) - 4, uint32_t(file.length() - size_t(h.data_offset)));
  return true;
}

bool get_audio_part(const str& wav, str& data, int& format) {
  wav_header h;
  if (!read_wav_header(wav, h, str())) return false;
  format = h.format;
  data = wav.substr(size_t(h.data_offset), size_t(h.data_length));
  return true;
}

bool wav_add(const str& a, const str& b, str& out, const str& name_a, const str& name_b) {
  wav_header ha;
  str data_a, data_b;
  int format_a = 0, format_b = 0;
  if (!read_wav_header(a, ha, name_a) || !get_audio_part(a, data_a, format_a) ||
      !get_audio_part(b, data_b, format_b)) {
    return false;
  }
  if (format_a != format_b) {
    log_printf(log_media, 3, "Cannot append %s to %s: Different codec", name_b, name_a);
    return false;
  }
  out = a.leftstr(size_t(ha.data_offset)) + data_a + data_b;
  return wav_set_sizes(out);
}
