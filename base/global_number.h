// The global form of telephone numbers: "+", the country code, the area code and the number,
// as a domain with a country and an area code turns what its users and providers dial into it.
//
// Side-neutral function of text.
#pragma once

#include "base/str.h"

// The global form of number. Numbers shorter than 6 characters or with anything but digits,
// and any number under a country code that is empty or not numeric, are returned as they are;
// a number the rules cannot convert gives the empty text (the caller decides whether that is
// worth a log line).
//   country code "1": 3-digit N11 numbers stay; "011" + rest -> "+" rest; 11 digits starting
//     with "1" -> "+"; 10 digits -> "+1"; 7 digits "555..." -> "+1"; 8 digits "1555..." -> "+";
//     other 7 digits -> "+1" + a 3-digit area code;
//   others: "00" + rest -> "+" rest; "0" + rest -> "+" country rest; area code "-" -> "+"
//     country number; any other area code (its leading "0" dropped) -> "+" country area number.
str to_global_number(const str& country_code, const str& area_code, const str& number);
