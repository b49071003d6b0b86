#include "base/digest.h"

#include <gtest/gtest.h>
#include <rapidcheck.h>
#include <rapidcheck/gtest.h>

#include <string>

#include "base/encoding.h"

namespace {

str S(const std::string& s) { return str(s.data(), s.size()); }
std::string T(const str& s) { return std::string(s.view()); }
std::string H(const str& s) { return T(hex_encode(s)); }

// RFC 1321, appendix A.5: the empty message, one block, more than one block; RFC 3174, section
// 7.3 (TEST1 and TEST3), and FIPS 180 for SHA-256.
TEST(Digest, KnownAnswers) {
  const char* v[][2] = {
      {"", "d41d8cd98f00b204e9800998ecf8427e"},
      {"abc", "900150983cd24fb0d6963f7d28e17f72"},
      {"1234567890123456789012345678901234567890123456789012345678901234567890123456789"
       "0",
       "57edf4a22be3c955ac49da2e2107b67a"},
  };
  for (auto& t : v) {
    EXPECT_EQ(T(md5_hex(str(t[0]))), t[1]) << t[0];
    EXPECT_EQ(H(md5(str(t[0]))), t[1]);
  }
  EXPECT_EQ(T(sha1_hex(str("abc"))), "a9993e364706816aba3e25717850c26c9cd0d89d");
  EXPECT_EQ(T(sha1_hex(S(std::string(1000000, 'a')))), "34aa973cd4c4daa4f61eeb2bdbad27316534016f");
  EXPECT_EQ(T(sha1_hex(str())), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
  EXPECT_EQ(T(sha256_hex(str("abc"))),
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

struct hmac_case {
  std::string key, data, md5, sha1;
};

// RFC 2202: cases 2 (a short key), 4 (binary key and data) and 7 (a key and data longer than
// one block) of HMAC-MD5 and HMAC-SHA-1.
TEST(Hmac, Rfc2202Vectors) {
  std::string k25;
  for (int i = 1; i <= 25; ++i) k25 += static_cast<char>(i);
  const hmac_case cases[] = {
      {"Jefe", "what do ya want for nothing?", "750c783e6ab0b503eaa86e310a5db738",
       "effcdf6ae5eb2fa2d27416d5f184df9c259a7c79"},
      {k25, std::string(50, '\xcd'), "697eaf0aca3a3aea3a75164746ffaa79",
       "4c9007f4026250c6bc8414f9bf50c86c2d7235da"},
      {std::string(80, '\xaa'),
       "Test Using Larger Than Block-Size Key and Larger Than One Block-Size Data",
       "6f630fad67cda0ee1fb1f562db3aa53e", "e8e99d0f45237d786d6bbaa7965c7808bbff1a91"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(H(hmac_md5(S(c.key), S(c.data))), c.md5) << c.data;
    EXPECT_EQ(H(hmac_sha1(S(c.key), S(c.data))), c.sha1) << c.data;
  }
}

// Each final starts afresh under the same key.
TEST(Hmac, ContextIsReusableWithTheSameKey) {
  hmac_context ctx(digest_algorithm::sha1, str("Jefe"));
  ASSERT_TRUE(ctx.ok());
  for (int round = 0; round < 3; ++round) {
    ctx.update(str("what do ya "));
    ctx.update(str("want for nothing?"));
    EXPECT_EQ(H(ctx.final()), "effcdf6ae5eb2fa2d27416d5f184df9c259a7c79") << round;
  }
}

RC_GTEST_PROP(Digest, IncrementalEqualsOneShot, (const std::string& data, unsigned cut_at)) {
  const size_t cut = data.empty() ? 0 : cut_at % (data.size() + 1);
  for (auto a : {digest_algorithm::md5, digest_algorithm::sha1, digest_algorithm::sha256}) {
    digest_context ctx(a);
    ctx.update(data.data(), cut);
    ctx.update(data.data() + cut, data.size() - cut);
    const str d = ctx.final();
    RC_ASSERT(d.length() == digest_size(a));
    const str expected = a == digest_algorithm::md5    ? md5(S(data))
                         : a == digest_algorithm::sha1 ? sha1(S(data))
                                                       : sha256(S(data));
    RC_ASSERT(d == expected);
    // final resets: the same message again gives the same digest.
    ctx.update(S(data));
    RC_ASSERT(ctx.final() == expected);
  }
}

}  // namespace
