// Byte-to-text encodings: base64 (RFC 4648, standard alphabet with padding) and hexadecimal.
//
// Side-neutral, stateless and thread-safe. Decoders report malformed input by returning false
// (or an empty str from the one-argument forms); they never throw.
#pragma once

#include <cstddef>

#include "base/str.h"

// base64 of data. With line_length > 0 a CR LF is written after every line_length output
// characters (not after the last line), as mail bodies want it (e.g. 72 or 76).
str base64_encode(const str& data, size_t line_length = 0);
// Decodes base64. White space (space, tab, CR, LF) anywhere is skipped. Padding is optional at
// the very end; any other character, padding in the middle or a dangling single character makes
// the input malformed: false, and out is left empty.
bool base64_decode(const str& text, str& out);
// As above; empty for malformed input (and for the empty input).
str base64_decode(const str& text);

// Each byte as two hexadecimal digits, lower case unless upper is set.
str hex_encode(const str& data, bool upper = false);
// Decodes pairs of hexadecimal digits (either case). An odd length or a non-digit makes the
// input malformed: false, and out is left empty.
bool hex_decode(const str& text, str& out);
str hex_decode(const str& text);
