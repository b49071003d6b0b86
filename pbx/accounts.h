// Accounts and domains by name, as every PBX module looks them up: the domains table (with its
// aliases), the users table (with its aliases, one per name a user answers to) and the table
// that holds an account's settings (extensions, attendants, ...).
//
// ctrl side: read under ctrl_run_mutex. Row number 0 means "none" everywhere.
#pragma once

#include <vector>

#include "base/str.h"
#include "frame/settings.h"

// A row number in decimal, as row references are stored.
str id_text(int id);
// The items of a space-separated list, without the empty ones.
std::vector<str> words(const str& list);
// The domain a host name or domain alias names (case-insensitive).
int domain_by_name(const str& host);
// The users row of a user name (any of its aliases) in a domain.
int account_by_name(const str& user, int domain);
// The primary name of an account (its first alias); its row number when it has none.
str account_name(int account);
// The account's type: the table holding its settings ("extensions", "attendants", ...).
str account_type(int account);
bool is_extension(int account);
// The row of the account in the table of its type.
int extension_row(int account);
// The account's domain row.
int account_domain(int account);
// The address of an account in the URI form of its domain ("sip:" name "@" domain).
str account_uri(int account);
// A numeric setting, or fallback when it is empty or not a number.
int setting_value(ctrl_settings::setting s, int fallback);
