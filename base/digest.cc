#include "base/digest.h"

#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/params.h>

#include "base/encoding.h"

namespace {

// The algorithms are fetched once: an implicit fetch on every EVP_DigestInit_ex costs more than
// hashing a short SIP header.
EVP_MD* fetched_md(digest_algorithm a) {
  static EVP_MD* const md5_md = EVP_MD_fetch(nullptr, "MD5", nullptr);
  static EVP_MD* const sha1_md = EVP_MD_fetch(nullptr, "SHA1", nullptr);
  static EVP_MD* const sha256_md = EVP_MD_fetch(nullptr, "SHA256", nullptr);
  switch (a) {
    case digest_algorithm::md5:
      return md5_md;
    case digest_algorithm::sha1:
      return sha1_md;
    case digest_algorithm::sha256:
      return sha256_md;
  }
  return nullptr;
}

const char* digest_name(digest_algorithm a) {
  switch (a) {
    case digest_algorithm::md5:
      return "MD5";
    case digest_algorithm::sha1:
      return "SHA1";
    case digest_algorithm::sha256:
      return "SHA256";
  }
  return "";
}

EVP_MAC* fetched_hmac() {
  static EVP_MAC* const mac = EVP_MAC_fetch(nullptr, "HMAC", nullptr);
  return mac;
}

str one_shot(digest_algorithm a, const str& data) {
  EVP_MD* md = fetched_md(a);
  if (!md) return str();
  unsigned char out[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  if (!EVP_Digest(data.cbuffer(), data.length(), out, &len, md, nullptr)) return str();
  return str(out, len);
}

str one_shot_hmac(digest_algorithm a, const str& key, const str& data) {
  hmac_context ctx(a, key);
  if (!ctx.ok()) return str();
  ctx.update(data);
  return ctx.final();
}

}  // namespace

size_t digest_size(digest_algorithm a) {
  switch (a) {
    case digest_algorithm::md5:
      return 16;
    case digest_algorithm::sha1:
      return 20;
    case digest_algorithm::sha256:
      return 32;
  }
  return 0;
}

str md5(const str& data) { return one_shot(digest_algorithm::md5, data); }
str md5_hex(const str& data) { return hex_encode(md5(data)); }
str sha1(const str& data) { return one_shot(digest_algorithm::sha1, data); }
str sha1_hex(const str& data) { return hex_encode(sha1(data)); }
str sha256(const str& data) { return one_shot(digest_algorithm::sha256, data); }
str sha256_hex(const str& data) { return hex_encode(sha256(data)); }

str hmac_md5(const str& key, const str& data) {
  return one_shot_hmac(digest_algorithm::md5, key, data);
}
str hmac_sha1(const str& key, const str& data) {
  return one_shot_hmac(digest_algorithm::sha1, key, data);
}
str hmac_sha256(const str& key, const str& data) {
  return one_shot_hmac(digest_algorithm::sha256, key, data);
}

// ---- digest_context ----------------------------------------------------------------------------

digest_context::digest_context(digest_algorithm a) : algorithm_(a), ctx_(EVP_MD_CTX_new()) {
  reset();
}

digest_context::~digest_context() { EVP_MD_CTX_free(static_cast<EVP_MD_CTX*>(ctx_)); }

void digest_context::reset() {
  if (ctx_) EVP_DigestInit_ex(static_cast<EVP_MD_CTX*>(ctx_), fetched_md(algorithm_), nullptr);
}

void digest_context::update(const void* bytes, size_t n) {
  if (ctx_ && n) EVP_DigestUpdate(static_cast<EVP_MD_CTX*>(ctx_), bytes, n);
}

str digest_context::final() {
  if (!ctx_) return str();
  unsigned char out[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  const int ok = EVP_DigestFinal_ex(static_cast<EVP_MD_CTX*>(ctx_), out, &len);
  reset();
  return ok ? str(out, len) : str();
}

// ---- hmac_context -------------------------------------------------------------------------------

hmac_context::hmac_context(digest_algorithm a, const str& key) : ctx_(nullptr), ok_(false) {
  EVP_MAC* mac = fetched_hmac();
  if (!mac) return;
  EVP_MAC_CTX* ctx = EVP_MAC_CTX_new(mac);
  if (!ctx) return;
  ctx_ = ctx;
  OSSL_PARAM params[2];
  params[0] =
      OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, const_cast<char*>(digest_name(a)), 0);
  params[1] = OSSL_PARAM_construct_end();
  // An empty key is legal for HMAC, but OpenSSL wants a non-null pointer to know a key is set.
  static const unsigned char empty_key = 0;
  const auto* k = key.empty() ? &empty_key : reinterpret_cast<const unsigned char*>(key.cbuffer());
  ok_ = EVP_MAC_init(ctx, k, key.length(), params) == 1;
}

hmac_context::~hmac_context() { EVP_MAC_CTX_free(static_cast<EVP_MAC_CTX*>(ctx_)); }

void hmac_context::update(const void* bytes, size_t n) {
  if (ok_ && n)
    EVP_MAC_update(static_cast<EVP_MAC_CTX*>(ctx_), static_cast<const unsigned char*>(bytes), n);
}

str hmac_context::final() {
  if (!ok_) return str();
  auto* ctx = static_cast<EVP_MAC_CTX*>(ctx_);
  unsigned char out[EVP_MAX_MD_SIZE];
  size_t len = 0;
  const bool done = EVP_MAC_final(ctx, out, &len, sizeof out) == 1;
  // Re-arm with the same key for the next message.
  ok_ = EVP_MAC_init(ctx, nullptr, 0, nullptr) == 1;
  return done ? str(out, len) : str();
}
