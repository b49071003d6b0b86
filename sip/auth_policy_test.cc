// Digest authentication: hash, header values, nonces, the server's checks and challenges, and
// the client's answers to challenges.
#include "sip/auth_policy.h"

#include <gtest/gtest.h>
#include <rapidcheck.h>

#include <string>
#include <vector>

#include "base/log.h"
#include "base/version.h"
#include "frame/settings.h"
#include "sip/address_list.h"
#include "sip/digest_auth.h"
#include "sip/sip_test_print.h"

namespace {

bool is_lower_hex(const str& s) {
  return s.view().find_first_not_of("0123456789abcdef") == std::string_view::npos;
}

// An Authorization value without qop for realm example.com.
str credentials(const str& method, const str& uri, const str& nonce, const str& password,
                const str& user = "alice") {
  return str::sprintf(
      "Digest username=\"%s\",realm=\"example.com\",nonce=\"%s\",uri=\"%s\",response=\"%s\","
      "algorithm=MD5",
      user, nonce, uri,
      auth_md5_hex(nonce, user, "example.com", password, method, uri, "", "", ""));
}

// RFC 2617 section 3.5, with qop and without it (the form this system's challenges ask for).
TEST(AuthMd5Hex, PublishedVectors) {
  const auto rfc2617 = [](const char* qop, const char* nc, const char* cnonce) {
    return auth_md5_hex("dcd98b7102dd2f0e8b11d0f600bfb0c093", "Mufasa", "testrealm@host.com",
                        "Circle Of Life", "GET", "/dir/index.html", qop, nc, cnonce);
  };
  EXPECT_EQ(rfc2617("auth", "00000001", "0a4f113b"), "6629fae49393a05397450978507c4ef1");
  EXPECT_EQ(rfc2617("", "", ""), "670fd8c2df070c60b045671b8b24ff02");
}

// Every parameter as "name=value|", in order.
std::string params(const auth_header_value& h) {
  std::string out = std::string(h.scheme.view()) + ":";
  for (const auth_param& p : h.params)
    out += std::string(p.name.view()) + "=" + std::string(p.value.view()) + "|";
  return out;
}

TEST(ParseAuthHeader, QuotedTokensEscapesAndOddSpacing) {
  auth_header_value h = parse_auth_header(
      "  Digest username=\"bob\", realm = \"a,b\" ,nonce=\"x\\\"y\\\\z\",  qop=auth,"
      "nc=00000002 , uri=\"sip:x@y;transport=tcp\",,stale=FALSE,empty=\"\"");
  EXPECT_EQ(params(h),
            "Digest:username=bob|realm=a,b|nonce=x\"y\\z|qop=auth|nc=00000002|"
            "uri=sip:x@y;transport=tcp|stale=FALSE|empty=|");
  EXPECT_EQ(h.get("REALM"), "a,b");
  // Broken input: an unterminated quote swallows the rest, nothing is invented.
  EXPECT_EQ(params(parse_auth_header("Digest realm=\"open, nonce=1")),
            "Digest:realm=open, nonce=1|");
  EXPECT_EQ(params(parse_auth_header("")), ":");
  EXPECT_EQ(params(parse_auth_header("Basic")), "Basic:");
}

// The cnonce and nonce count: QopAuthWithStoredChallenge.
TEST(Nonces, FormAndEvictionOfTheSmallest) {
  str n = auth_new_nonce();
  EXPECT_TRUE(n.length() == 32 && is_lower_hex(n)) << n.c_str();

  std::set<str> nonces;
  for (int i = 0; i < 256; i++) nonces.insert(str::sprintf("%d", 1000 + i));
  str smallest = *nonces.begin();
  str issued = auth_issue_nonce(nonces);
  EXPECT_EQ(nonces.size(), 256u);
  EXPECT_EQ(nonces.count(issued), 1u);
  EXPECT_EQ(nonces.count(smallest), 0u);
}

// check_authentication of a REGISTER for alice (password secret): each row an Authorization
// value, whether it passes and whether its nonce was found ours. (A wrong password keeping the
// nonce and the right answer using it up: the AuthPolicy cases.)
TEST(CheckAuthentication, NoncesUsersUrisAndQop) {
  std::set<str> nonces;
  const auto check = [&](const str& value, bool& known) {
    known = false;
    return check_authentication(value, "REGISTER", "sip:example.com", "example.com", "alice",
                                "secret", nonces, known);
  };
  const str n1 = auth_issue_nonce(nonces), n2 = auth_issue_nonce(nonces),
            n3 = auth_issue_nonce(nonces);
  const struct {
    const char* what;
    str value;
    bool passes, known;
  } rows[] = {
      {"a nonce never handed out",
       credentials("REGISTER", "sip:example.com", "0123456789abcdef0123456789abcdef", "secret"),
       false, false},
      {"another user fails before the nonce",
       credentials("REGISTER", "sip:example.com", n1, "secret", "mallory"), false, false},
      {"the header's uri is what the digest covers",
       credentials("REGISTER", "sip:other.example.com", n1, "secret"), true, true},
      {"without uri the request-URI, without username no user check",
       str::sprintf("Digest nonce=\"%s\", response=\"%s\"", n2,
                    auth_md5_hex(n2, "alice", "example.com", "secret", "REGISTER",
                                 "sip:example.com", "", "", "")),
       true, true},
      {"qop answered although none was offered",
       str::sprintf("Digest username=\"alice\",nonce=\"%s\",uri=\"sip:example.com\","
                    "response=\"%s\",qop=auth,nc=00000001,cnonce=\"abcdef01\"",
                    n3,
                    auth_md5_hex(n3, "alice", "example.com", "secret", "REGISTER",
                                 "sip:example.com", "auth", "00000001", "abcdef01")),
       false, true},
  };
  for (const auto& r : rows) {
    bool known;
    EXPECT_EQ(check(r.value, known), r.passes) << r.what;
    EXPECT_EQ(known, r.known) << r.what;
  }
  EXPECT_EQ(nonces, (std::set<str>{n3}));
}

// The later requests on a stored challenge (nc counting up, the next nonce):
// TrunkTest.RegisterChallengeKeepAliveAndRefresh and the BYE of
// CallPortWire.ChallengedInviteIsSentAgainAndTheByeCarriesCredentials.
TEST(AnswerChallengeHeader, QopAuthWithStoredChallenge) {
  stored_challenge stored;
  str value = answer_challenge_header(
      {"Basic realm=\"x\"",
       "Digest realm=\"sp.example\", nonce=\"n0nce\", qop=\"auth-int, auth\", opaque=\"op\""},
      "INVITE", "sip:1000@sp.example", "from.example", "trunkuser", "pw", &stored);
  str cnonce = parse_auth_header(value).get("cnonce");
  ASSERT_EQ(cnonce.length(), 8u);
  EXPECT_TRUE(is_lower_hex(cnonce));
  str response = auth_md5_hex("n0nce", "trunkuser", "sp.example", "pw", "INVITE",
                              "sip:1000@sp.example", "auth", "00000001", cnonce);
  EXPECT_EQ(value, str("Digest realm=\"sp.example\",nonce=\"n0nce\",response=\"") + response +
                       "\",username=\"trunkuser\",uri=\"sip:1000@sp.example\",qop=\"auth\","
                       "nc=00000001,cnonce=\"" +
                       cnonce + "\",opaque=\"op\",algorithm=MD5");
  EXPECT_EQ(str::sprintf("%u ", stored.nc) + stored.realm + " " + stored.opaque, "1 sp.example op");
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
}

struct fake_hooks : auth_hooks {
  void send_response(const sip_message& response, const sip_message&) override {
    responses.push_back(response);
  }
  void send_request(const sip_message& request) override { requests.push_back(request); }
  void store_call_port_challenge(int index, const stored_challenge&) override {
    port_index = index;
  }
  void store_trunk_challenge(const str& call_id, const stored_challenge& c) override {
    trunk_call_id = call_id;
    trunk_challenge = c;
  }
  std::vector<sip_message> responses, requests;
  int port_index = -1;
  stored_challenge trunk_challenge;
  str trunk_call_id;
};

sip_message request(const char* method, const char* uri, const char* source = "192.0.2.10") {
  sip_message m(crlf((std::string(method) + " " + uri +
                      " SIP/2.0\nVia: SIP/2.0/UDP 192.0.2.10:5060;branch=z9hG4bK1\n"
                      "From: <sip:alice@example.com>;tag=f1\nTo: <sip:bob@example.com>\n"
                      "Call-ID: call-1\nCSeq: 7 " +
                      method + "\nContact: <sip:alice@192.0.2.10>\nContent-Length: 0\n\n")
                         .c_str()));
  m.peer = ip_port(ip_address_parse(source), 5060);
  return m;
}

class AuthPolicy : public ::testing::Test {
 protected:
  void SetUp() override {
    set_auth_hooks(&hooks);
    ctrl_write_setting(ctrl_settings::app_user_agent, "telmond");
    ctrl_write_setting(ctrl_settings::allow_empty_passwords, "false");
  }
  void TearDown() override { set_auth_hooks(nullptr); }
  str challenge() { return hooks.responses.back().get_other_header("WWW-Authenticate", ""); }
  str last_nonce() { return parse_auth_header(challenge()).get("nonce"); }
  // The request answered with the credentials for the last challenge.
  sip_message answered(sip_message m, const char* password = "pw", const char* user = "alice") {
    m.add_other_header("Authorization", "",
                       answer_challenge_header({challenge()}, m.method, m.request_uri.serialize(),
                                               "x", user, password, nullptr));
    return m;
  }

  fake_hooks hooks;
  std::set<str> nonces;
  log_capture logs{9};
};

TEST_F(AuthPolicy, ChallengeAndWrongPasswordOnTheWire) {
  sip_message reg = request("REGISTER", "sip:example.com");
  ASSERT_TRUE(check_md5(reg, nonces, "example.com", "alice", "secret"));
  ASSERT_EQ(hooks.responses.size(), 1u);
  str nonce = last_nonce();
  EXPECT_EQ(nonces, std::set<str>{nonce});
  // The challenge as it goes on the wire; the Warning of a wrong password goes in its place.
  const auto wire = [&](const std::string& header) {
    return crlf(
        ("SIP/2.0 401 Authentication Required\nVia: SIP/2.0/UDP 192.0.2.10:5060;"
         "branch=z9hG4bK1\nFrom: <sip:alice@example.com>;tag=f1\nTo: <sip:bob@example.com>\n"
         "Call-ID: call-1\nCSeq: 7 REGISTER\nUser-Agent: telmond/" TELMOND_VERSION "\n" +
         header + "\nContent-Length: 0\n\n")
            .c_str());
  };
  EXPECT_EQ(hooks.responses[0].serialize(reg.peer, transport_type::udp),
            wire("WWW-Authenticate: Digest realm=\"example.com\",nonce=\"" +
                 std::string(nonce.view()) + "\",domain=\"sip:example.com\",algorithm=MD5"));

  // The wrong password with a nonce of ours: the Warning and no new challenge (the right one
  // passes once, a replay is challenged afresh: OwnAnswerToOwnChallengePassesOnce).
  sip_message wrong = request("REGISTER", "sip:example.com");
  wrong.add_other_header("Authorization", "",
                         credentials("REGISTER", "sip:example.com", nonce, "guess"));
  EXPECT_TRUE(check_md5(wrong, nonces, "example.com", "alice", "secret"));
  ASSERT_EQ(hooks.responses.size(), 2u);
  EXPECT_EQ(hooks.responses[1].serialize(reg.peer, transport_type::udp),
            wire("Warning: 399 example.com Password does not match"));
  EXPECT_EQ(nonces.size(), 1u);
}

// The system's client half answers the system's server half: whatever the credentials, the
// answer to a fresh challenge passes exactly once.
TEST_F(AuthPolicy, OwnAnswerToOwnChallengePassesOnce) {
  EXPECT_TRUE(rc::check([&](const std::string& realm, const std::string& user,
                            const std::string& password) {
    RC_PRE(!password.empty());
    hooks.responses.clear();
    std::set<str> issued;
    sip_message first = request("INVITE", "sip:bob@example.com");
    RC_ASSERT(check_md5(first, issued, str(realm), str(user), str(password)));
    sip_message second = request("INVITE", "sip:bob@example.com");
    second.add_other_header("Authorization", "",
                            answer_challenge_header({challenge()}, "INVITE", "sip:bob@example.com",
                                                    "x", str(user), str(password), nullptr));
    RC_ASSERT(!check_md5(second, issued, str(realm), str(user), str(password)));
    RC_ASSERT(issued.empty());
    RC_ASSERT(check_md5(second, issued, str(realm), str(user), str(password)));
    RC_ASSERT(hooks.responses.back().get_other_header("Warning", "") == str());
  }));
}

// A caller that proves its password (with our Authorization after a foreign one) clears the
// failed attempts its address collected, so that the requests of its calls do not add up to a
// blocking of a phone that authenticates.
TEST_F(AuthPolicy, ProvenPasswordClearsTheFailedAttemptsOfTheAddress) {
  sip_message first = request("INVITE", "sip:bob@example.com", "192.0.2.77");
  for (int i = 0; i < 2; i++) count_unauthenticated_request("INVITE", first.peer.address);
  ASSERT_TRUE(check_md5(first, nonces, "example.com", "alice", "pw"));
  sip_message foreign = first;
  foreign.add_other_header("Authorization", "",
                           credentials("INVITE", "sip:bob@example.com", last_nonce(), "pw", "eve"));
  sip_message second = answered(foreign);
  count_unauthenticated_request("INVITE", second.peer.address);
  EXPECT_EQ(bw_failure_count(second.peer.address), 3);
  EXPECT_FALSE(check_md5(second, nonces, "example.com", "alice", "pw"));
  EXPECT_EQ(bw_failure_count(second.peer.address), 0);
}

TEST_F(AuthPolicy, TrustedAddressLists) {
  struct {
    const char* list;
    const char* source;
    bool rejected;
  } cases[] = {{"   ", "203.0.113.9", false},  // blank: no list
               {"192.0.2.0/24", "192.0.2.77", false},
               {"192.0.2.0/24", "192.0.3.77", true},
               {"10.1.2.3/8 172.16.0.1/12", "172.31.255.1", false},
               {"0.0.0.0/0", "198.51.100.1", false},
               {"192.0.2.1/33", "192.0.2.1", true},
               {"LocalHost", "127.0.0.1", false},
               {"localhost", "127.0.0.2", true},
               {"198.51.100.4", "198.51.100.4", false},
               {"198.51.100.4", "198.51.100.5", true},
               {"garbage 2001:db8::1", "2001:db8::1", false},
               {"192.0.2.0/25", "::ffff:192.0.2.5", false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.list) + " " + c.source);
    hooks.responses.clear();
    EXPECT_EQ(check_trusted_ip(request("REGISTER", "sip:example.com", c.source), c.list),
              c.rejected);
    ASSERT_EQ(hooks.responses.size(), c.rejected ? 1u : 0u);
    if (!c.rejected) continue;
    EXPECT_EQ(str::sprintf("%d ", hooks.responses[0].code) + hooks.responses[0].reason,
              "403 Forbidden");
    EXPECT_NE(hooks.responses[0].get_other_header("User-Agent", ""), "");
  }
}

TEST_F(AuthPolicy, RegistrationOrderAndEmptyPasswords) {
  auth_credentials c{"example.com", "alice", "secret", "192.0.2.0/24", {}};
  const sip_message inside = request("REGISTER", "sip:example.com"),
                    outside = request("REGISTER", "sip:example.com", "203.0.113.1");
  // Already authenticated by another object: nothing is checked.
  EXPECT_FALSE(registration_security_policy(outside, true, c));
  EXPECT_TRUE(hooks.responses.empty());
  // The address check comes before the digest check.
  EXPECT_TRUE(registration_security_policy(outside, false, c));
  EXPECT_EQ(hooks.responses.back().code, 403);
  EXPECT_TRUE(registration_security_policy(inside, false, c));
  EXPECT_EQ(hooks.responses.back().code, 401);

  // An empty password is never challenged; the setting decides between dropping and passing.
  auth_credentials open{"example.com", "alice", "", "", {}};
  hooks.responses.clear();
  EXPECT_TRUE(registration_security_policy(inside, false, open));
  EXPECT_FALSE(check_md5(inside, open.nonces, "example.com", "alice", ""));
  ctrl_write_setting(ctrl_settings::allow_empty_passwords, "true");
  EXPECT_FALSE(registration_security_policy(inside, false, open));
  EXPECT_TRUE(hooks.responses.empty());
  EXPECT_TRUE(open.nonces.empty());
}

TEST_F(AuthPolicy, CallLegAndTrunkRules) {
  auth_credentials c{"example.com", "alice", "secret", "", {}};
  call_leg_auth leg;
  // method, authenticated already, whether the request is stopped (challenged) with the leg's
  // settings at that point of the table.
  const struct {
    const char* method;
    bool authenticated, stopped;
  } rows[] = {{"ACK", false, false},   {"CANCEL", false, false}, {"BYE", false, false},
              {"INVITE", false, true}, {"CANCEL", false, true},  {"BYE", false, true},
              {"BYE", true, false},    {"INVITE", false, false}};
  for (size_t i = 0; i < std::size(rows); i++) {
    if (i == 4) leg.challenge_cancel = leg.challenge_bye = true;
    if (i == 7) leg.require_authentication = false;
    EXPECT_EQ(call_leg_security_policy(request(rows[i].method, "sip:bob@example.com"),
                                       rows[i].authenticated, leg, c),
              rows[i].stopped)
        << i << " " << rows[i].method;
  }
  EXPECT_EQ(hooks.responses.size(), 3u);

  // A trunk challenges with the host of the request-URI as realm.
  hooks.responses.clear();
  sip_message in = request("INVITE", "sip:4930123@pbx.example.net;user=phone");
  EXPECT_TRUE(trunk_security_policy(in, false, "carrier", "pw", nonces));
  ASSERT_EQ(hooks.responses.size(), 1u);
  auth_header_value h = parse_auth_header(challenge());
  EXPECT_EQ(h.get("realm"), "pbx.example.net");
  EXPECT_EQ(h.get("domain"), "sip:4930123@pbx.example.net;user=phone");
  EXPECT_FALSE(
      trunk_security_policy(answered(in, "pw", "carrier"), false, "carrier", "pw", nonces));
}

sip_message challenge_response(const sip_message& req, int code, const char* header,
                               const char* value) {
  sip_message r(code, code == 407 ? "Proxy Authentication Required" : "Unauthorized", req);
  r.to.set_tag("totag");
  if (header) r.add_other_header(header, "", value);
  return r;
}

TEST_F(AuthPolicy, AnswerInviteChallengeSendsAckThenCredentials) {
  sip_message invite = request("INVITE", "sip:bob@sp.example");
  invite.add_other_header("Authorization", "", "Digest stale=\"1\"");
  invite.add_route("<sip:proxy.sp.example;lr>");
  invite.branch_param = ";branch=z9hG4bK-sent";  // as the sending layer left it
  sip_message resp = challenge_response(invite, 401, "WWW-Authenticate",
                                        "Digest realm=\"sp.example\",nonce=\"abc\",qop=\"auth\"");
  sip_message again;
  ASSERT_TRUE(answer_challenge(resp, invite, "1000", "pw", 12, again));
  EXPECT_TRUE(log_capture::contains("Answer challenge with username 1000"));

  ASSERT_EQ(hooks.requests.size(), 2u);
  const ip_port to(ip_address_parse("192.0.2.99"), 5060);
  const str head = str("sip:bob@sp.example SIP/2.0\r\n") +
                   "Via: SIP/2.0/UDP 192.0.2.10:5060;branch=z9hG4bK1\r\n"
                   "Route: <sip:proxy.sp.example;lr>\r\nFrom: <sip:alice@example.com>;tag=f1\r\n";
  EXPECT_EQ(hooks.requests[0].serialize(to, transport_type::udp),
            "ACK " + head +
                "To: <sip:bob@example.com>;tag=totag\r\nCall-ID: call-1\r\nCSeq: 7 ACK\r\n"
                "Max-Forwards: 70\r\nContent-Length: 0\r\n\r\n");
  // Marked as having answered a challenge, and without the INVITE's branch: a new transaction.
  // (Its Authorization value: QopAuthWithStoredChallenge; its CSeq and the challenge kept for the
  // leg's BYE: CallPortWire.ChallengedInviteIsSentAgainAndTheByeCarriesCredentials.)
  EXPECT_TRUE(again.challenge_answered);
  EXPECT_TRUE(hooks.requests[1].branch_param.empty());
  EXPECT_EQ(hooks.port_index, 12);
  EXPECT_EQ(hooks.trunk_call_id, "");

  // The re-sent request is challenged again: not answered a second time, whatever CSeq the
  // sending layer gave it.
  hooks.requests.clear();
  sip_message third;
  again.cseq = 4711;
  EXPECT_FALSE(answer_challenge(resp, again, "1000", "pw", 12, third));
  EXPECT_TRUE(hooks.requests.empty());
}

TEST_F(AuthPolicy, AnswerProxyChallengeRegisterAndRefusals) {
  sip_message reg = request("REGISTER", "sip:sp.example");
  sip_message resp = challenge_response(reg, 407, "Proxy-Authenticate",
                                        "Digest realm=\"proxy\",nonce=\"n1\",qop=\"auth\"");
  sip_message again;
  ASSERT_TRUE(answer_challenge(resp, reg, "trunk", "pw", -1, again));
  ASSERT_EQ(hooks.requests.size(), 1u);  // no ACK for a REGISTER
  EXPECT_EQ(again.get_other_header("Authorization", ""), "");
  EXPECT_NE(again.get_other_header("Proxy-Authorization", ""), "");
  EXPECT_EQ(hooks.trunk_call_id + " " + hooks.trunk_challenge.header_name,
            "call-1 Proxy-Authorization");
  EXPECT_EQ(hooks.port_index, -1);

  // CANCEL keeps its CSeq.
  sip_message cancel = request("CANCEL", "sip:bob@sp.example");
  ASSERT_TRUE(answer_challenge(
      challenge_response(cancel, 401, "WWW-Authenticate", "Digest realm=\"r\",nonce=\"n\""), cancel,
      "u", "p", -1, again));
  EXPECT_EQ(again.cseq, 7u);

  hooks.requests.clear();
  EXPECT_FALSE(
      answer_challenge(challenge_response(reg, 401, nullptr, nullptr), reg, "u", "p", -1, again));
  EXPECT_FALSE(answer_challenge(resp, reg, "", "p", -1, again));
  EXPECT_FALSE(answer_challenge(challenge_response(reg, 401, "WWW-Authenticate", "Basic realm=x"),
                                reg, "u", "p", -1, again));
  EXPECT_TRUE(hooks.requests.empty());
}

}  // namespace
