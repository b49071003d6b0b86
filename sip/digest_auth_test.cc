#include "sip/digest_auth.h"

#include <gtest/gtest.h>
#include <rapidcheck.h>
#include <rapidcheck/gtest.h>

#include <string>

namespace {

bool is_lower_hex(const str& s) {
  for (size_t i = 0; i < s.length(); i++) {
    if (!str::one_of(static_cast<char>(s[i]), "0123456789abcdef")) return false;
  }
  return true;
}

// RFC 2617 section 3.5 and RFC 7616 section 3.9.1 (MD5), and the same RFC 2617 credentials
// without qop (the form this system's challenges ask for).
TEST(AuthMd5Hex, PublishedVectors) {
  EXPECT_EQ(
      auth_md5_hex("dcd98b7102dd2f0e8b11d0f600bfb0c093", "Mufasa", "testrealm@host.com",
                   "Circle Of Life", "GET", "/dir/index.html", "auth", "00000001", "0a4f113b"),
      "6629fae49393a05397450978507c4ef1");
  EXPECT_EQ(auth_md5_hex("7ypf/xlj9XXwfDPEoM4URrv/xwf94BcCAzFZH4GiTo0v", "Mufasa",
                         "http-auth@example.org", "Circle of Life", "GET", "/dir/index.html",
                         "auth", "00000001", "f2/wE4q74E6zIJEtWaHKaf5wv/H5QzzpXusqGemxURZJ"),
            "8ca523f5e9506fed4657c9700eebdbec");
  EXPECT_EQ(auth_md5_hex("dcd98b7102dd2f0e8b11d0f600bfb0c093", "Mufasa", "testrealm@host.com",
                         "Circle Of Life", "GET", "/dir/index.html", "", "", ""),
            "670fd8c2df070c60b045671b8b24ff02");
  EXPECT_EQ(auth_md5_hex("0123456789abcdef0123456789abcdef", "alice", "example.com", "secret",
                         "REGISTER", "sip:example.com", "", "", ""),
            "0b708794017ff445df29ad039b433c38");
}

TEST(ParseAuthHeader, QuotedTokensEscapesAndOddSpacing) {
  auth_header_value h = parse_auth_header(
      "  Digest username=\"bob\", realm = \"a,b\" ,nonce=\"x\\\"y\\\\z\",  qop=auth,"
      "nc=00000002 , uri=\"sip:x@y;transport=tcp\",,stale=FALSE,empty=\"\"");
  EXPECT_EQ(h.scheme, "Digest");
  EXPECT_EQ(h.get("username"), "bob");
  EXPECT_EQ(h.get("REALM"), "a,b");
  EXPECT_EQ(h.get("nonce"), "x\"y\\z");
  EXPECT_EQ(h.get("qop"), "auth");
  EXPECT_EQ(h.get("nc"), "00000002");
  EXPECT_EQ(h.get("uri"), "sip:x@y;transport=tcp");
  EXPECT_EQ(h.get("stale"), "FALSE");
  EXPECT_TRUE(h.has("empty"));
  EXPECT_EQ(h.get("empty"), "");
  EXPECT_FALSE(h.has("opaque"));

  // Broken input: an unterminated quote swallows the rest, nothing is invented.
  auth_header_value b = parse_auth_header("Digest realm=\"open, nonce=1");
  EXPECT_EQ(b.get("realm"), "open, nonce=1");
  EXPECT_FALSE(b.has("nonce"));
  EXPECT_TRUE(parse_auth_header("").scheme.empty());
  EXPECT_TRUE(parse_auth_header("Basic").params.empty());
}

RC_GTEST_PROP(ParseAuthHeader, QuotedValuesRoundTrip,
              (const std::string& a, const std::string& b)) {
  str value = str("Digest first=") + auth_quote(str(a)) + ", second=" + auth_quote(str(b));
  auth_header_value h = parse_auth_header(value);
  RC_ASSERT(h.get("first") == str(a));
  RC_ASSERT(h.get("second") == str(b));
}

TEST(Nonces, FormAndEvictionOfTheSmallest) {
  str n = auth_new_nonce();
  EXPECT_EQ(n.length(), 32u);
  EXPECT_TRUE(is_lower_hex(n));
  str c = auth_new_cnonce();
  EXPECT_EQ(c.length(), 8u);
  EXPECT_TRUE(is_lower_hex(c));
  EXPECT_EQ(auth_nonce_count(1), "00000001");
  EXPECT_EQ(auth_nonce_count(123), "00000123");

  std::set<str> nonces;
  for (int i = 0; i < 256; i++) nonces.insert(str::sprintf("%d", 1000 + i));
  str smallest = *nonces.begin();
  str issued = auth_issue_nonce(nonces);
  EXPECT_EQ(nonces.size(), 256u);
  EXPECT_EQ(nonces.count(issued), 1u);
  EXPECT_EQ(nonces.count(smallest), 0u);
}

class CheckAuthentication : public ::testing::Test {
 protected:
  str authorization(const str& nonce, const str& password, const str& user = "alice",
                    const str& uri = "sip:example.com") {
    str response = auth_md5_hex(nonce, user, "example.com", password, "REGISTER", uri, "", "", "");
    return str::sprintf(
        "Digest username=\"%s\",realm=\"example.com\",nonce=\"%s\",uri=\"%s\","
        "response=\"%s\",algorithm=MD5",
        user, nonce, uri, response);
  }
  bool check(const str& value, bool& known) {
    known = false;
    return check_authentication(value, "REGISTER", "sip:example.com", "example.com", "alice",
                                "secret", nonces, known);
  }
  std::set<str> nonces;
};

TEST_F(CheckAuthentication, WrongPasswordUnknownNonceAndEachNonceOnce) {
  bool known;
  // A wrong password: the nonce is known and kept.
  str nonce = auth_issue_nonce(nonces);
  EXPECT_FALSE(check(authorization(nonce, "guess"), known));
  EXPECT_TRUE(known);
  EXPECT_EQ(nonces.count(nonce), 1u);
  // A nonce never issued is unknown even with the correct digest; nothing is used up.
  EXPECT_FALSE(check(authorization("0123456789abcdef0123456789abcdef", "secret"), known));
  EXPECT_FALSE(known);
  EXPECT_EQ(nonces.size(), 1u);
  // The right answer uses the nonce up: the same credentials again find it no longer ours.
  EXPECT_TRUE(check(authorization(nonce, "secret"), known));
  EXPECT_TRUE(known);
  EXPECT_EQ(nonces.count(nonce), 0u);
  EXPECT_FALSE(check(authorization(nonce, "secret"), known));
  EXPECT_FALSE(known);
}

TEST_F(CheckAuthentication, UserNameUriAndQopRules) {
  str nonce = auth_issue_nonce(nonces);
  bool known;
  // Another user name fails before the nonce is looked at.
  EXPECT_FALSE(check(authorization(nonce, "secret", "mallory"), known));
  EXPECT_FALSE(known);
  // The header's uri is what the digest covers...
  EXPECT_TRUE(check(authorization(nonce, "secret", "alice", "sip:other.example.com"), known));
  // ...and without a uri parameter the request-URI is used; without username it is not checked.
  nonce = auth_issue_nonce(nonces);
  str response = auth_md5_hex(nonce, "alice", "example.com", "secret", "REGISTER",
                              "sip:example.com", "", "", "");
  EXPECT_TRUE(check(str::sprintf("Digest nonce=\"%s\", response=\"%s\"", nonce, response), known));
  // A client that answers with qop although none was offered does not match.
  nonce = auth_issue_nonce(nonces);
  response = auth_md5_hex(nonce, "alice", "example.com", "secret", "REGISTER", "sip:example.com",
                          "auth", "00000001", "abcdef01");
  EXPECT_FALSE(check(str::sprintf("Digest username=\"alice\",nonce=\"%s\",uri=\"sip:example.com\","
                                  "response=\"%s\",qop=auth,nc=00000001,cnonce=\"abcdef01\"",
                                  nonce, response),
                     known));
  EXPECT_TRUE(known);
}

TEST(AnswerChallengeHeader, QopAuthWithStoredChallengeAndLaterRequests) {
  stored_challenge stored;
  str value = answer_challenge_header(
      {"Basic realm=\"x\"",
       "Digest realm=\"sp.example\", nonce=\"n0nce\", qop=\"auth-int, auth\", opaque=\"op\""},
      "INVITE", "sip:1000@sp.example", "from.example", "trunkuser", "pw", &stored);
  auth_header_value h = parse_auth_header(value);
  str cnonce = h.get("cnonce");
  ASSERT_EQ(cnonce.length(), 8u);
  EXPECT_TRUE(is_lower_hex(cnonce));
  str response = auth_md5_hex("n0nce", "trunkuser", "sp.example", "pw", "INVITE",
                              "sip:1000@sp.example", "auth", "00000001", cnonce);
  EXPECT_EQ(value, str("Digest realm=\"sp.example\",nonce=\"n0nce\",response=\"") + response +
                       "\",username=\"trunkuser\",uri=\"sip:1000@sp.example\",qop=\"auth\","
                       "nc=00000001,cnonce=\"" +
                       cnonce + "\",opaque=\"op\",algorithm=MD5");
  EXPECT_EQ(stored.nc, 1u);
  EXPECT_EQ(stored.realm, "sp.example");
  EXPECT_EQ(stored.opaque, "op");

  // Later requests count up and draw a new cnonce each time.
  str next = get_cnonce_string(stored, "BYE", "sip:1000@10.0.0.1");
  auth_header_value n = parse_auth_header(next);
  EXPECT_EQ(n.get("nc"), "00000002");
  EXPECT_NE(n.get("cnonce"), cnonce);
  EXPECT_EQ(n.get("response"),
            auth_md5_hex("n0nce", "trunkuser", "sp.example", "pw", "BYE", "sip:1000@10.0.0.1",
                         "auth", "00000002", n.get("cnonce")));
  EXPECT_EQ(parse_auth_header(get_cnonce_string(stored, "BYE", "u")).get("nc"), "00000003");

  stored_challenge none;
  EXPECT_EQ(get_cnonce_string(none, "BYE", "u"), "");
}

TEST(AnswerChallengeHeader, WithoutQopRealmDefaultAndUnusable) {
  stored_challenge stored;
  str value = answer_challenge_header({"digest nonce=\"abc\", qop=\"auth-int\""}, "REGISTER",
                                      "sip:sp.example", "from.example", "u", "p", &stored);
  EXPECT_EQ(value, str("Digest realm=\"from.example\",nonce=\"abc\",response=\"") +
                       auth_md5_hex("abc", "u", "from.example", "p", "REGISTER", "sip:sp.example",
                                    "", "", "") +
                       "\",username=\"u\",uri=\"sip:sp.example\",algorithm=MD5");
  EXPECT_TRUE(stored.empty());
  EXPECT_EQ(answer_challenge_header({"Basic realm=\"x\"", "NTLM"}, "REGISTER", "sip:x", "x", "u",
                                    "p", &stored),
            "");
  EXPECT_EQ(answer_challenge_header({}, "REGISTER", "sip:x", "x", "u", "p", nullptr), "");
}

}  // namespace
