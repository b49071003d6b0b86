#include "base/aes.h"

#include <openssl/evp.h>

#include <cstring>

namespace {

enum mode { mode_ecb = 0, mode_ctr = 1, mode_cbc = 2 };

// Ciphers fetched once per key size and mode (index: mode * 3 + key size class).
EVP_CIPHER* fetched_cipher(int m, size_t key_length) {
  static EVP_CIPHER* const table[9] = {
      EVP_CIPHER_fetch(nullptr, "AES-128-ECB", nullptr),
      EVP_CIPHER_fetch(nullptr, "AES-192-ECB", nullptr),
      EVP_CIPHER_fetch(nullptr, "AES-256-ECB", nullptr),
      EVP_CIPHER_fetch(nullptr, "AES-128-CTR", nullptr),
      EVP_CIPHER_fetch(nullptr, "AES-192-CTR", nullptr),
      EVP_CIPHER_fetch(nullptr, "AES-256-CTR", nullptr),
      EVP_CIPHER_fetch(nullptr, "AES-128-CBC", nullptr),
      EVP_CIPHER_fetch(nullptr, "AES-192-CBC", nullptr),
      EVP_CIPHER_fetch(nullptr, "AES-256-CBC", nullptr),
  };
  const int k = key_length == 16 ? 0 : key_length == 24 ? 1 : 2;
  return table[m * 3 + k];
}

}  // namespace

aes_cipher::aes_cipher() : key_(), key_length_(0), ctx_(EVP_CIPHER_CTX_new()), ctx_mode_(-1) {}

aes_cipher::~aes_cipher() {
  EVP_CIPHER_CTX_free(static_cast<EVP_CIPHER_CTX*>(ctx_));
  std::memset(key_, 0, sizeof key_);
}

bool aes_cipher::set_key(const str& key) {
  const size_t n = key.length();
  if (n != 16 && n != 24 && n != 32) {
    key_length_ = 0;
    return false;
  }
  std::memcpy(key_, key.cbuffer(), n);
  key_length_ = n;
  ctx_mode_ = -1;
  return true;
}

// Runs one whole operation. The context keeps its key schedule between calls of the same mode
// and direction; only the IV is set again.
bool aes_cipher::run(int m, bool encrypt, const str* iv, const uint8_t* in, uint8_t* out, size_t n,
                     size_t* out_len, bool padding) {
  if (!ctx_ || !key_length_) return false;
  if (iv && iv->length() != 16) return false;
  auto* ctx = static_cast<EVP_CIPHER_CTX*>(ctx_);
  const int wanted = m * 2 + (encrypt ? 1 : 0);
  const auto* ivp = iv ? reinterpret_cast<const unsigned char*>(iv->cbuffer()) : nullptr;
  if (ctx_mode_ != wanted) {
    ctx_mode_ = -1;
    EVP_CIPHER* c = fetched_cipher(m, key_length_);
    if (!c || EVP_CipherInit_ex2(ctx, c, key_, ivp, encrypt ? 1 : 0, nullptr) != 1) return false;
    ctx_mode_ = wanted;
  } else if (EVP_CipherInit_ex2(ctx, nullptr, nullptr, ivp, encrypt ? 1 : 0, nullptr) != 1) {
    ctx_mode_ = -1;
    return false;
  }
  EVP_CIPHER_CTX_set_padding(ctx, padding ? 1 : 0);
  int len1 = 0, len2 = 0;
  // OpenSSL takes int lengths; our packets and files are far below that.
  if (n > 0x7fffff00u) return false;
  if (n && EVP_CipherUpdate(ctx, out, &len1, in, static_cast<int>(n)) != 1) return false;
  if (EVP_CipherFinal_ex(ctx, out + len1, &len2) != 1) return false;
  if (out_len) *out_len = static_cast<size_t>(len1 + len2);
  return true;
}

bool aes_cipher::encrypt_block(const uint8_t in[16], uint8_t out[16]) {
  uint8_t tmp[32];
  if (!run(mode_ecb, true, nullptr, in, tmp, 16, nullptr, false)) return false;
  std::memcpy(out, tmp, 16);
  return true;
}

bool aes_cipher::decrypt_block(const uint8_t in[16], uint8_t out[16]) {
  uint8_t tmp[32];
  if (!run(mode_ecb, false, nullptr, in, tmp, 16, nullptr, false)) return false;
  std::memcpy(out, tmp, 16);
  return true;
}

bool aes_cipher::ctr(const str& iv, const uint8_t* in, uint8_t* out, size_t n) {
  return run(mode_ctr, true, &iv, in, out, n, nullptr, false);
}

bool aes_cipher::ctr(const str& iv, const str& in, str& out) {
  str result;
  char* o = result.extend(in.length());
  if (!ctr(iv, reinterpret_cast<const uint8_t*>(in.cbuffer()), reinterpret_cast<uint8_t*>(o),
           in.length()))
    return false;
  out = result;
  return true;
}

bool aes_cipher::cbc_encrypt(const str& iv, const str& in, str& out) {
  str result;
  char* o = result.extend(in.length() + 16);
  size_t len = 0;
  if (!run(mode_cbc, true, &iv, reinterpret_cast<const uint8_t*>(in.cbuffer()),
           reinterpret_cast<uint8_t*>(o), in.length(), &len, true))
    return false;
  result.truncate(len);
  out = result;
  return true;
}

bool aes_cipher::cbc_decrypt(const str& iv, const str& in, str& out) {
  if (in.length() % 16) return false;
  str result;
  char* o = result.extend(in.length() + 16);
  size_t len = 0;
  if (!run(mode_cbc, false, &iv, reinterpret_cast<const uint8_t*>(in.cbuffer()),
           reinterpret_cast<uint8_t*>(o), in.length(), &len, true))
    return false;
  result.truncate(len);
  out = result;
  return true;
}
