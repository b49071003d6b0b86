// GoogleTest printing of str values (test-only helper of the sip tests).
#pragma once

#include <ostream>

#include "base/str.h"

inline void PrintTo(const str& s, std::ostream* os) { *os << '"' << s.view() << '"'; }
