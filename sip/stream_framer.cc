#include "sip/stream_framer.h"

#include <cstring>

#include "sip/sip_message.h"

namespace {

inline bool skipped_before_message(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == 0;
}

}  // namespace

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
    size_t length = static_cast<size_t>(framing_content_length(b + start, body - start));
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
