// The global and local forms of telephone numbers: "+" country code area code number, and the
// form a user of a domain dials (national prefix, international prefix).
//
// Side-neutral functions of text, except the domain overloads and account_by_global_number,
// which read the tables (ctrl side).
#pragma once

#include "base/str.h"

// The global form of number for the given country and area code; a number that cannot be
// converted comes back unchanged (logged "Cannot convert number %s into global format").
str get_global_number(const str& country_code, const str& area_code, const str& number);
// The same with the domain's own country_code and area_code.
str get_global_number(int domain, const str& number);
// The local form, as a user of the domain dials it, of a number in global form; other numbers
// come back unchanged.
str get_local_number(int domain, const str& number);
// The account whose alias, in the global form of the alias's domain, is number (searched in
// every domain); 0 for none.
int account_by_global_number(const str& number);
