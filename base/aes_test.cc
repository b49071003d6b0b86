#include "base/aes.h"

#include <gtest/gtest.h>
#include <rapidcheck.h>
#include <rapidcheck/gtest.h>

#include <string>

#include "base/encoding.h"

namespace {

str X(const char* hex) { return hex_decode(str(hex)); }
std::string H(const str& s) { return std::string(hex_encode(s).view()); }

// FIPS-197 appendix C.1 and C.3.
TEST(Aes, Fips197Blocks) {
  aes_cipher c;
  ASSERT_TRUE(c.set_key(X("000102030405060708090a0b0c0d0e0f")));
  const str plain = X("00112233445566778899aabbccddeeff");
  uint8_t out[16], back[16];
  ASSERT_TRUE(c.encrypt_block(reinterpret_cast<const uint8_t*>(plain.cbuffer()), out));
  EXPECT_EQ(H(str(out, 16)), "69c4e0d86a7b0430d8cdb78070b4c55a");
  ASSERT_TRUE(c.decrypt_block(out, back));
  EXPECT_EQ(str(back, 16), plain);
  ASSERT_TRUE(c.set_key(X("000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f")));
  ASSERT_TRUE(c.encrypt_block(reinterpret_cast<const uint8_t*>(plain.cbuffer()), out));
  EXPECT_EQ(H(str(out, 16)), "8ea2b7ca516745bfeafc49904b496089");
}

TEST(Aes, KeyAndIvLengthsAreChecked) {
  aes_cipher c;
  uint8_t block[16] = {};
  EXPECT_FALSE(c.encrypt_block(block, block));  // no key
  EXPECT_FALSE(c.set_key(X("0001020304")));
  EXPECT_FALSE(c.has_key());
  ASSERT_TRUE(c.set_key(X("000102030405060708090a0b0c0d0e0f0001020304050607")));
  str out;
  EXPECT_FALSE(c.ctr(X("00"), str("abc"), out));
  EXPECT_FALSE(c.cbc_decrypt(X("000102030405060708090a0b0c0d0e0f"), str("short"), out));
}

// NIST SP 800-38A F.5.1 (CTR-AES128) and F.2.1 (CBC, the first block, with our PKCS#7 padding
// after it). A fresh keystream for each call and empty input are the round-trip property's.
TEST(Aes, Sp800_38aVectors) {
  aes_cipher c;
  ASSERT_TRUE(c.set_key(X("2b7e151628aed2a6abf7158809cf4f3c")));
  str out, back;
  ASSERT_TRUE(c.ctr(X("f0f1f2f3f4f5f6f7f8f9fafbfcfdfeff"),
                    X("6bc1bee22e409f96e93d7e117393172aae2d8a571e03ac9c9eb76fac45af8e51"), out));
  EXPECT_EQ(H(out), "874d6191b620e3261bef6864990db6ce9806f66b7970fdff8617187bb9fffdff");
  const str iv = X("000102030405060708090a0b0c0d0e0f");
  ASSERT_TRUE(c.cbc_encrypt(iv, X("6bc1bee22e409f96e93d7e117393172a"), out));
  ASSERT_EQ(out.length(), 32u);
  EXPECT_EQ(H(out.leftstr(16)), "7649abac8119b246cee98e9b12e9197d");
  ASSERT_TRUE(c.cbc_decrypt(iv, out, back));
  EXPECT_EQ(H(back), "6bc1bee22e409f96e93d7e117393172a");
}

RC_GTEST_PROP(Aes, CbcAndCtrRoundTrip, (const std::string& data)) {
  aes_cipher c;
  RC_ASSERT(c.set_key(X("603deb1015ca71be2b73aef0857d77811f352c073b6108d72d9810a30914dff4")));
  const str iv = X("f0f1f2f3f4f5f6f7f8f9fafbfcfdfeff");
  const str plain(data.data(), data.size());
  str enc, dec;
  RC_ASSERT(c.cbc_encrypt(iv, plain, enc));
  RC_ASSERT(enc.length() == (data.size() / 16 + 1) * 16);
  RC_ASSERT(c.cbc_decrypt(iv, enc, dec));
  RC_ASSERT(dec == plain);
  RC_ASSERT(c.ctr(iv, plain, enc));
  RC_ASSERT(enc.length() == data.size());
  RC_ASSERT(c.ctr(iv, enc, dec));
  RC_ASSERT(dec == plain);
}

}  // namespace
