// sdp: an application/sdp body of a SIP message.
//
// The body is kept as the text it arrived or was written as; serialize() leaves out its crypto
// lines where keys must not travel.
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
