// Test-only helpers of the sip tests: GoogleTest printing of str values, and SIP text written
// with \n turned into the CR LF the wire uses.
#pragma once

#include <ostream>

#include "base/str.h"

inline void PrintTo(const str& s, std::ostream* os) { *os << '"' << s.view() << '"'; }

inline str crlf(const char* text) {
  str out;
  for (const char* p = text; *p; ++p) {
    if (*p == '\n') out += '\r';
    out += *p;
  }
  return out;
}
