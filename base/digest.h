// Message digests and keyed digests: MD5 (RFC 1321), SHA-1 (FIPS 180-1), SHA-256 and HMAC
// (RFC 2104) over them, computed by OpenSSL 3.
//
// Results are raw bytes in a str (16 bytes for MD5, 20 for SHA-1, 32 for SHA-256); the _hex
// forms give the digest as lower-case hexadecimal text, which is the form used on the wire
// (digest authentication, Via branches, web logins).
//
// Side-neutral. The free functions are thread-safe. A digest_context or hmac_context belongs
// to one thread at a time. Failures inside OpenSSL (which do not happen with the built-in
// provider) give an empty str.
#pragma once

#include <cstddef>

#include "base/str.h"

enum class digest_algorithm { md5, sha1, sha256 };

// Size of the algorithm's digest in bytes.
size_t digest_size(digest_algorithm a);

str md5(const str& data);
str md5_hex(const str& data);
str sha1(const str& data);
str sha1_hex(const str& data);
str sha256(const str& data);
str sha256_hex(const str& data);

str hmac_md5(const str& key, const str& data);
str hmac_sha1(const str& key, const str& data);
str hmac_sha256(const str& key, const str& data);
// HMAC-SHA1 under the name the digest and SRTP code know it by.
inline str hmac_sha(const str& key, const str& data) { return hmac_sha1(key, data); }

// Incremental digest: update any number of times, then final (which also resets the context
// for the next message).
class digest_context {
 public:
  explicit digest_context(digest_algorithm a);
  ~digest_context();
  digest_context(const digest_context&) = delete;
  digest_context& operator=(const digest_context&) = delete;

  void update(const void* bytes, size_t n);
  void update(const str& data) { update(data.cbuffer(), data.length()); }
  str final();

 private:
  void reset();
  digest_algorithm algorithm_;
  void* ctx_;  // EVP_MD_CTX
};

// Incremental HMAC under one key. final returns the MAC and re-arms the context with the same
// key, so a context set up once serves many messages (SRTP authenticates every packet so).
class hmac_context {
 public:
  hmac_context(digest_algorithm a, const str& key);
  ~hmac_context();
  hmac_context(const hmac_context&) = delete;
  hmac_context& operator=(const hmac_context&) = delete;

  bool ok() const { return ok_; }
  void update(const void* bytes, size_t n);
  void update(const str& data) { update(data.cbuffer(), data.length()); }
  str final();

 private:
  void* ctx_;  // EVP_MAC_CTX
  bool ok_;
};
