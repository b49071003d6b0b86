// The HTTP date (the RFC 1123 form: "Sun, 06 Nov 1994 08:49:37 GMT") of responses, cookies and
// If-Modified-Since.
//
// Side-neutral; pure functions.
#pragma once

#include <cstdint>

#include "base/str.h"

// The date of the Unix time unix_s (seconds, UTC).
str http_date(int64_t unix_s);
// The current wall-clock time plus offset_s seconds.
str http_date_now(int64_t offset_s = 0);
// Reads a date in that form; false for anything else.
bool http_date_parse(const str& text, int64_t& unix_s);
