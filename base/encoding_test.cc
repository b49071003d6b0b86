#include "base/encoding.h"

#include <gtest/gtest.h>
#include <rapidcheck.h>
#include <rapidcheck/gtest.h>

#include <string>

namespace {

str S(const std::string& s) { return str(s.data(), s.size()); }
std::string T(const str& s) { return std::string(s.view()); }

// RFC 4648 section 10, the mail login challenges, and + and / of the standard alphabet; that
// they decode back is the round-trip property's.
TEST(Base64, VectorsAndDecodingRules) {
  // clang-format off
  const char* vectors[][2] = {
      {"", ""}, {"f", "Zg=="}, {"fo", "Zm8="}, {"foo", "Zm9v"}, {"foob", "Zm9vYg=="},
      {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"}, {"Username:", "VXNlcm5hbWU6"},
      {"Password:", "UGFzc3dvcmQ6"}, {"\xfb\xff\xbf", "+/+/"}};
  // clang-format on
  for (auto& v : vectors) EXPECT_EQ(T(base64_encode(str(v[0]))), v[1]) << v[0];
  // Decoding skips white space and accepts missing padding; what is malformed gives false and
  // nothing (nullptr).
  // clang-format off
  const std::pair<const char*, const char*> cases[] = {
      {" Zm9v\r\nYmFy \t", "foobar"}, {"Zm9vYg", "foob"}, {"Zm9vYmE", "fooba"},
      {"Zm9vYg=\n=", "foob"}, {"Zm9v!", nullptr}, {"Z", nullptr}, {"Zm9vY", nullptr},
      {"Zg=", nullptr}, {"Zg===", nullptr}, {"Zg==Zg==", nullptr}, {"=Zg=", nullptr},
      {"Zm9v-_", nullptr}, {"Zm=v", nullptr}};
  // clang-format on
  for (auto [in, decoded] : cases) {
    str out("junk");
    EXPECT_EQ(base64_decode(str(in), out), decoded != nullptr) << in;
    EXPECT_EQ(T(out), decoded ? decoded : "") << in;
  }
}

TEST(Base64, LineBreaksForMail) {
  std::string data(100, 'x');
  const str enc = base64_encode(S(data), 72);
  // 136 characters: one full line of 72, CR LF, the remaining 64.
  EXPECT_EQ(T(enc), T(base64_encode(S(data))).insert(72, "\r\n"));
  // Exactly one line: no trailing line break.
  EXPECT_FALSE(base64_encode(S(std::string(54, 'y')), 72).contains_char('\r'));
}

RC_GTEST_PROP(Base64, RoundTrip, (const std::string& data, unsigned line)) {
  const size_t line_length = line % 100;
  const str enc = base64_encode(S(data), line_length);
  str out;
  RC_ASSERT(base64_decode(enc, out));
  RC_ASSERT(T(out) == data);
  RC_ASSERT(!enc.contains_char('\r') || line_length > 0);
}

TEST(Hex, EncodeAndDecode) {
  EXPECT_EQ(T(hex_encode(str::bytes({0x01, 0xab, 0x00, 0xff}))), "01ab00ff");
  EXPECT_EQ(T(hex_encode(str::bytes({0x01, 0xab, 0x00, 0xff}), true)), "01AB00FF");
  EXPECT_EQ(T(hex_decode(str("01aB00Ff"))), std::string("\x01\xab\x00\xff", 4));
  for (const char* b : {"0", "abc", "0g", "g0", " 00", "0x00"}) {  // the empty text: the property
    str out("junk");
    EXPECT_FALSE(hex_decode(str(b), out)) << b;
    EXPECT_TRUE(out.empty());
  }
}

RC_GTEST_PROP(Hex, RoundTrip, (const std::string& data, bool upper)) {
  const str enc = hex_encode(S(data), upper);
  RC_ASSERT(enc.length() == 2 * data.size());
  RC_ASSERT(T(hex_decode(enc)) == data);
}

}  // namespace
