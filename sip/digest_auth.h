// HTTP Digest authentication (RFC 2617, MD5) as SIP uses it: the header parser, the digest
// computation, the nonces this system issues, the check of one Authorization header, and the
// client half that answers challenges sent to the system's own requests.
//
// The server half never offers qop, so clients answer its challenges in the plain RFC 2617 form
// (no nc, no cnonce); the client half uses qop=auth with nc and cnonce whenever a challenge
// offers it. The system never demands proxy authentication (no 407), it only answers it.
//
// srv side: nonce sets and stored challenges belong to their objects (registration, call leg,
// trunk, publisher) and are used under srv_run_mutex. The free functions keep no state.
#pragma once

#include <set>
#include <vector>

#include "base/str.h"

// One "name=value" of a credentials or challenge list. Quoted values are given unquoted, with
// backslash escapes resolved.
struct auth_param {
  str name;
  str value;
};

// An Authorization, Proxy-Authorization, WWW-Authenticate or Proxy-Authenticate value: the
// scheme (the first word) and the comma-separated parameters after it. Parsing never fails:
// anything unreadable is skipped, a missing scheme is empty.
struct auth_header_value {
  str scheme;
  std::vector<auth_param> params;

  // The value of the first parameter of that name (case-insensitive); empty when absent.
  str get(const char* name) const;
  bool has(const char* name) const;
};
auth_header_value parse_auth_header(const str& value);

// The value in double quotes, with '"' and '\' escaped by a backslash.
str auth_quote(const str& value);

// The response digest, 32 lower-case hex digits. With an empty qop: the MD5 of HA1, nonce and
// HA2 joined by colons; with qop: of HA1, nonce, nc, cnonce, qop and HA2. HA1 = MD5 of
// "user:realm:password", HA2 = MD5 of "method:uri".
str auth_md5_hex(const str& nonce, const str& user, const str& realm, const str& password,
                 const str& method, const str& uri, const str& qop, const str& nc,
                 const str& cnonce);

constexpr size_t auth_nonce_length = 32;
constexpr size_t auth_cnonce_length = 8;
// At most this many nonces are kept per object; older (smaller) ones are evicted.
constexpr size_t auth_max_nonces = 256;

// A fresh server nonce (32 lower-case hex digits) and client nonce (8).
str auth_new_nonce();
str auth_new_cnonce();
// The nonce count as 8 decimal digits with leading zeros ("00000001").
str auth_nonce_count(unsigned count);

// Draws a new nonce, adds it to nonces after evicting the smallest ones so that at most
// auth_max_nonces remain, and returns it.
str auth_issue_nonce(std::set<str>& nonces);

// Checks one Authorization value against the expected credentials. uri is the request-URI as
// sent, used when the header carries none. The scheme word is not compared. nonce_known is set
// when the header's nonce is one of ours (so a failure means a wrong password rather than a
// stale nonce). On success the nonce is removed: each nonce authenticates once.
bool check_authentication(const str& authorization_value, const str& method, const str& uri,
                          const str& realm, const str& user, const str& password,
                          std::set<str>& nonces, bool& nonce_known);

// A challenge answered with qop=auth, kept by a call leg or trunk so that later requests can
// carry credentials without waiting for a new challenge.
struct stored_challenge {
  str qop;
  unsigned nc = 0;
  str realm;
  str nonce;
  str user;
  str password;
  str opaque;
  str header_name;  // "Authorization" or "Proxy-Authorization"

  bool empty() const { return nonce.empty(); }
};

// The credentials value sent in answer to a challenge:
//   Digest realm="..",nonce="..",response="..",username="..",uri=".."
//   [,qop="auth",nc=00000001,cnonce=".."][,opaque=".."],algorithm=MD5
str auth_credentials_value(const str& realm, const str& nonce, const str& user, const str& password,
                           const str& method, const str& uri, const str& qop, const str& nc,
                           const str& cnonce, const str& opaque);

// The answer to the first usable challenge among challenges (header values, in order): the
// first whose scheme is "Digest" (any case). default_realm (the host of the From address) is
// used when the challenge names none. When the challenge's qop list holds the token "auth",
// qop=auth with nc 00000001 and a fresh cnonce is used and the challenge is stored into store
// (when given; header_name is filled by the caller). Empty when no challenge is usable.
str answer_challenge_header(const std::vector<str>& challenges, const str& method, const str& uri,
                            const str& default_realm, const str& user, const str& password,
                            stored_challenge* store);

// A fresh credentials value from a stored challenge: the nonce count is incremented and a new
// cnonce drawn. Empty when nothing is stored. (This is what trunk::get_cnonce_string and
// call_port::get_cnonce_string return.)
str get_cnonce_string(stored_challenge& challenge, const str& method, const str& uri);
