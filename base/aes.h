// AES block cipher helpers on OpenSSL 3: single blocks (ECB), counter mode (the AES-CM of
// SRTP, RFC 3711) and CBC with PKCS#7 padding.
//
// Side-neutral. An aes_cipher keeps its key schedule and OpenSSL context, so that a cipher set
// up once serves many packets; it belongs to one thread at a time. All operations report
// failure (wrong key or IV length, bad padding) as false and never throw.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/str.h"

class aes_cipher {
 public:
  aes_cipher();
  ~aes_cipher();
  aes_cipher(const aes_cipher&) = delete;
  aes_cipher& operator=(const aes_cipher&) = delete;

  // Key of 16, 24 or 32 bytes (AES-128, -192, -256). False for any other length.
  bool set_key(const str& key);
  bool has_key() const { return key_length_ != 0; }

  // One 16-byte block in, one out (in and out may be the same buffer).
  bool encrypt_block(const uint8_t in[16], uint8_t out[16]);
  bool decrypt_block(const uint8_t in[16], uint8_t out[16]);

  // Counter mode with the 16-byte initial counter block iv (incremented as a 128-bit
  // big-endian number per block). Encryption and decryption are the same operation; in and
  // out may be the same buffer.
  bool ctr(const str& iv, const uint8_t* in, uint8_t* out, size_t n);
  bool ctr(const str& iv, const str& in, str& out);

  // CBC with PKCS#7 padding and a 16-byte iv. decrypt fails on a length that is not a
  // multiple of 16 or on bad padding.
  bool cbc_encrypt(const str& iv, const str& in, str& out);
  bool cbc_decrypt(const str& iv, const str& in, str& out);

 private:
  bool run(int mode, bool encrypt, const str* iv, const uint8_t* in, uint8_t* out, size_t n,
           size_t* out_len, bool padding);
  uint8_t key_[32];
  size_t key_length_;
  void* ctx_;     // EVP_CIPHER_CTX
  int ctx_mode_;  // which cipher/direction ctx_ is initialised for, -1 for none
};
