// Framing of a SIP byte stream (TCP, or TLS after decryption): cuts keep-alive white space,
// STUN messages and complete SIP messages from the bytes received so far.
//
// Side-neutral by itself; on the srv side every sip_connection owns one and drives it under
// srv_run_mutex.
//
// Contract: append() adds received bytes; next() returns the first item that is complete, or
// kind none when the rest must wait for more bytes. Items come in stream order:
// - keepalive: the leading spaces, CR and LF before anything else (the bytes themselves, so
//   that a connection can echo them);
// - stun: 20 + length bytes starting with 0 or 1 followed by a non-zero byte;
// - sip: one message as get_first_packet frames it (header block, then Content-Length bytes).
// The unframed rest is kept; too_long() tells when it has grown past max_unframed bytes, after
// which the connection is to be closed. Scanning is incremental: bytes already searched for the
// end of a header block, and a body still incomplete, are not scanned again on every append, so
// a peer dripping bytes costs linear time.
#pragma once

#include <cstddef>

#include "base/str.h"

class stream_framer {
 public:
  static constexpr size_t max_unframed = 65536;
  static constexpr size_t stun_header = 20;

  enum class kind { none, keepalive, stun, sip };
  struct item {
    kind type = kind::none;
    str data;
  };

  void append(const str& bytes);
  item next();

  // Bytes received and not yet framed.
  const str& input() const { return input_; }
  size_t pending() const { return input_.length(); }
  bool too_long() const { return input_.length() > max_unframed; }
  void clear();

 private:
  item take(kind type, size_t n);

  str input_;
  // Bytes at the front of input_ (after leading white space) known to hold no header end.
  size_t searched_ = 0;
  // Total length input_ needs before the message whose header end was found is complete; 0
  // when not known.
  size_t needed_ = 0;
};
