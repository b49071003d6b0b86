// transport_type: the transport a SIP message arrived on or is to be sent on.
//
// One 32-bit value: 0 none, 1 UDP, 2 TCP, 3 TLS. Built from "udp", "tcp" or "tls" in any case
// (anything else gives none) and written back as those lower-case words (none as the empty
// string).
//
// Side-neutral value type (used by the srv side).
#pragma once

#include <cstdint>

#include "base/str.h"

class transport_type {
 public:
  enum value_t : uint32_t { none = 0, udp = 1, tcp = 2, tls = 3 };

  constexpr transport_type() : value_(none) {}
  constexpr transport_type(value_t v) : value_(v) {}
  explicit transport_type(const str& name);

  // TCP and TLS deliver in order and need no retransmission.
  bool is_reliable() const { return value_ == tcp || value_ == tls; }
  bool valid() const { return value_ != none; }
  uint32_t value() const { return value_; }
  // "udp", "tcp", "tls" or "" for none.
  str serialize() const;
  // Same words as a constant C string (no allocation).
  const char* name() const;

  friend bool operator==(transport_type a, transport_type b) { return a.value_ == b.value_; }
  friend bool operator!=(transport_type a, transport_type b) { return a.value_ != b.value_; }

 private:
  uint32_t value_;
};
