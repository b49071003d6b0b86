#include "sip/sdp_body.h"

str sdp::serialize(bool with_crypto) const {
  if (with_crypto || text_.find(str("a=crypto:")) < 0) return text_;
  str out;
  out.reserve(text_.length());
  size_t i = 0;
  const size_t n = text_.length();
  while (i < n) {
    long nl = text_.find('\n', i);
    size_t next = nl < 0 ? n : size_t(nl) + 1;
    str line = text_.substr(i, next - i);
    if (!line.starts_with(str("a=crypto:"))) out += line;
    i = next;
  }
  return out;
}
