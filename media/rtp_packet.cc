#include "media/rtp_packet.h"

namespace {

uint32_t read_be(const str& s, size_t at, int bytes) {
  uint32_t v = 0;
  for (int i = 0; i < bytes; ++i) v = v << 8 | s[at + size_t(i)];
  return v;
}

void write_be(char* out, uint32_t v, int bytes) {
  for (int i = bytes - 1; i >= 0; --i) {
    out[i] = char(v & 0xff);
    v >>= 8;
  }
}

}  // namespace

bool rtp_parse(const str& packet, rtp_header& h) {
  if (packet.length() < rtp_min_header) return false;
  const uint8_t first = packet[0];
  if (first == 0 || first == 1) return false;
  h.version = first >> 6;
  if (h.version != 2) return false;
  h.padding = (first & 0x20) != 0;
  h.extension = (first & 0x10) != 0;
  h.csrc_count = first & 0x0f;
  h.marker = (packet[1] & 0x80) != 0;
  h.payload_type = packet[1] & 0x7f;
  h.sequence = uint16_t(read_be(packet, 2, 2));
  h.timestamp = read_be(packet, 4, 4);
  h.ssrc = read_be(packet, 8, 4);
  size_t length = rtp_min_header + 4 * size_t(h.csrc_count);
  if (h.extension) {
    if (packet.length() < length + 4) return false;
    length += 4 + 4 * size_t(read_be(packet, length + 2, 2));
  }
  if (packet.length() < length) return false;
  h.header_length = length;
  h.payload = packet.substr(length);
  return true;
}

str rtp_write_header(bool marker, int payload_type, uint16_t sequence, uint32_t timestamp,
                     uint32_t ssrc) {
  char b[rtp_min_header];
  b[0] = char(0x80);
  b[1] = char((marker ? 0x80 : 0) | (payload_type & 0x7f));
  write_be(b + 2, sequence, 2);
  write_be(b + 4, timestamp, 4);
  write_be(b + 8, ssrc, 4);
  return str(b, sizeof(b));
}
