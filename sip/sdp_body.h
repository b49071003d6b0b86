// sdp: an application/sdp body of a SIP message.
//
// For now an SDP body is kept as its text; the SDP model (offer/answer, codecs) replaces this
// class with the full one while keeping text() and serialize(with_crypto).
//
// Side-neutral value type.
#pragma once

#include "base/str.h"

class sdp {
 public:
  sdp() = default;
  explicit sdp(const str& body) : text_(body) {}

  const str& text() const { return text_; }
  // The body as it is to be sent; without its "a=crypto:" lines unless with_crypto is set
  // (SRTP keys only leave over TLS, or in responses).
  str serialize(bool with_crypto) const;

 private:
  str text_;
};
