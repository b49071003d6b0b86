#include "sip/stream_framer.h"

#include <cstring>

#include "sip/sip_message.h"

namespace {

inline char lower(char c) { return (c >= 'A' && c <= 'Z') ? char(c + 32) : c; }

inline bool skipped_before_message(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == 0;
}

}  // namespace

size_t stream_content_length(const char* b, size_t n) {
  size_t i = 0;
  while (i < n) {
    size_t s = i;
    while (i < n && b[i] != '\r' && b[i] != '\n') ++i;
    size_t e = i;
    while (i < n && (b[i] == '\r' || b[i] == '\n')) ++i;
    const char* colon = static_cast<const char*>(std::memchr(b + s, ':', e - s));
    if (!colon) continue;
    size_t ne = size_t(colon - b);
    while (ne > s && (b[ne - 1] == ' ' || b[ne - 1] == '\t')) --ne;
    size_t ns = s;
    while (ns < ne && (b[ns] == ' ' || b[ns] == '\t')) ++ns;
    size_t len = ne - ns;
    bool match = false;
    if (len == 1) {
      match = lower(b[ns]) == 'l';
    } else if (len == 14) {
      static const char k[] = "content-length";
      match = true;
      for (size_t j = 0; j < 14 && match; ++j) match = lower(b[ns + j]) == k[j];
    }
    if (!match) continue;
    size_t v = size_t(colon - b) + 1;
    while (v < e && (b[v] == ' ' || b[v] == '\t')) ++v;
    size_t value = 0;
    for (; v < e && b[v] >= '0' && b[v] <= '9'; ++v) {
      if (value < (size_t(1) << 40)) value = value * 10 + size_t(b[v] - '0');
    }
    return value;
  }
  return 0;
}

void stream_framer::append(const str& bytes) { input_ += bytes; }

void stream_framer::clear() {
  input_.clear();
  searched_ = 0;
  needed_ = 0;
}

stream_framer::item stream_framer::take(kind type, size_t n) {
  item out;
  out.type = type;
  out.data = input_.substr(0, n);
  input_ = input_.substr(n);
  searched_ = 0;
  needed_ = 0;
  return out;
}

stream_framer::item stream_framer::next() {
  const char* b = input_.cbuffer();
  const size_t n = input_.length();
  if (n == 0) return item();

  size_t ws = 0;
  while (ws < n && (b[ws] == ' ' || b[ws] == '\r' || b[ws] == '\n')) ++ws;
  if (ws > 0) return take(kind::keepalive, ws);

  const unsigned char b0 = static_cast<unsigned char>(b[0]);
  if (b0 <= 1) {
    if (n < 2) return item();  // cannot tell STUN from a stray NUL yet
    if (b[1] != 0) {
      if (n < stun_header) return item();
      size_t length = stun_header + ((size_t(static_cast<unsigned char>(b[2])) << 8) |
                                     size_t(static_cast<unsigned char>(b[3])));
      if (n < length) return item();
      return take(kind::stun, length);
    }
  }

  // A SIP message: find the end of its header block without rescanning what was searched.
  if (needed_ == 0) {
    size_t start = 0;
    while (start < n && skipped_before_message(b[start])) ++start;
    size_t i = searched_ > start ? searched_ : start;
    size_t body = 0;
    for (; i + 1 < n; ++i) {
      char c = b[i];
      if (c != '\r' && c != '\n') continue;
      if (c == '\r' && b[i + 1] == '\n' && i + 3 < n && b[i + 2] == '\r' && b[i + 3] == '\n') {
        body = i + 4;
        break;
      }
      if (b[i + 1] == c) {
        body = i + 2;
        break;
      }
    }
    if (body == 0) {
      // Positions before n - 3 were checked with every byte they look at present.
      searched_ = n >= 3 && n - 3 > start ? n - 3 : start;
      return item();
    }
    size_t length = stream_content_length(b + start, body - start);
    if (length > max_unframed * 2) length = max_unframed * 2;  // never completes: cut off later
    needed_ = body + length;
  }
  if (n < needed_) return item();

  str message = get_first_packet(input_, true);
  searched_ = 0;
  needed_ = 0;
  if (message.empty()) {
    // The message framing disagrees with the scan above; should not happen. Wait for more.
    needed_ = n + 1;
    return item();
  }
  item out;
  out.type = kind::sip;
  out.data = message;
  return out;
}
