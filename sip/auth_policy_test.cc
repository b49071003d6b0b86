#include "sip/auth_policy.h"

#include <gtest/gtest.h>
#include <rapidcheck.h>

#include <algorithm>
#include <string>
#include <vector>

#include "base/log.h"
#include "base/version.h"
#include "frame/settings.h"
#include "sip/address_list.h"
#include "sip/sip_test_print.h"

namespace {

struct sent_response {
  sip_message response;
  ip_port to;
};

class fake_hooks : public auth_hooks {
 public:
  void send_response(const sip_message& response, const sip_message& request) override {
    responses.push_back({response, request.peer});
  }
  void send_request(const sip_message& request) override { requests.push_back(request); }
  void store_call_port_challenge(int index, const stored_challenge& c) override {
    port_index = index;
    port_challenge = c;
  }
  void store_trunk_challenge(const str& call_id, const stored_challenge& c) override {
    trunk_call_id = call_id;
    trunk_challenge = c;
  }
  std::vector<sent_response> responses;
  std::vector<sip_message> requests;
  int port_index = -1;
  stored_challenge port_challenge;
  str trunk_call_id;
  stored_challenge trunk_challenge;
};

sip_message request(const char* method, const char* uri, const char* source = "192.0.2.10") {
  sip_message m(crlf((std::string(method) + " " + uri +
                      " SIP/2.0\n"
                      "Via: SIP/2.0/UDP 192.0.2.10:5060;branch=z9hG4bK1\n"
                      "From: <sip:alice@example.com>;tag=f1\n"
                      "To: <sip:bob@example.com>\n"
                      "Call-ID: call-1\n"
                      "CSeq: 7 " +
                      method +
                      "\n"
                      "Contact: <sip:alice@192.0.2.10>\n"
                      "Content-Length: 0\n\n")
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
  // The nonce of the last challenge sent.
  str last_nonce() {
    return parse_auth_header(
               hooks.responses.back().response.get_other_header("WWW-Authenticate", ""))
        .get("nonce");
  }
  static str credentials(const sip_message& m, const str& nonce, const str& password,
                         const str& user = "alice") {
    str uri = m.request_uri.serialize();
    return str::sprintf(
        "Digest username=\"%s\",realm=\"example.com\",nonce=\"%s\",uri=\"%s\",response=\"%s\","
        "algorithm=MD5",
        user, nonce, uri,
        auth_md5_hex(nonce, user, "example.com", password, m.method, uri, "", "", ""));
  }

  fake_hooks hooks;
  std::set<str> nonces;
  log_capture logs{9};
};

TEST_F(AuthPolicy, ChallengeAnswerReplayAndWrongPasswordAlsoOnTheWire) {
  sip_message reg = request("REGISTER", "sip:example.com");
  ASSERT_TRUE(check_md5(reg, nonces, "example.com", "alice", "secret"));
  ASSERT_EQ(hooks.responses.size(), 1u);
  // Status line, challenge and User-Agent as they go on the wire.
  const sip_message& challenge = hooks.responses[0].response;
  EXPECT_EQ(hooks.responses[0].to, reg.peer);
  str nonce = last_nonce();
  ASSERT_EQ(nonce.length(), 32u);
  EXPECT_EQ(nonces.count(nonce), 1u);
  EXPECT_EQ(challenge.get_other_header("Warning", ""), "");
  str wire = challenge.serialize(reg.peer, transport_type::udp);
  EXPECT_TRUE(wire.starts_with("SIP/2.0 401 Authentication Required\r\n")) << wire.c_str();
  EXPECT_GE(wire.find(str("\r\nWWW-Authenticate: Digest realm=\"example.com\",nonce=\"") + nonce +
                      "\",domain=\"sip:example.com\",algorithm=MD5\r\n"),
            0)
      << wire.c_str();
  EXPECT_GE(wire.find(str("\r\nUser-Agent: telmond/") + TELMOND_VERSION + "\r\n"), 0);

  // The answer passes and uses the nonce up.
  sip_message answer = request("REGISTER", "sip:example.com");
  answer.add_other_header("Authorization", "", credentials(answer, nonce, "secret"));
  EXPECT_FALSE(check_md5(answer, nonces, "example.com", "alice", "secret"));
  EXPECT_EQ(hooks.responses.size(), 1u);
  EXPECT_EQ(nonces.count(nonce), 0u);

  // A replay gets a fresh challenge, never success and never the Warning.
  EXPECT_TRUE(check_md5(answer, nonces, "example.com", "alice", "secret"));
  ASSERT_EQ(hooks.responses.size(), 2u);
  EXPECT_EQ(hooks.responses[1].response.get_other_header("Warning", ""), "");
  str fresh = last_nonce();
  EXPECT_NE(fresh, nonce);

  // The wrong password with a nonce of ours: the Warning and no new challenge.
  sip_message wrong = request("REGISTER", "sip:example.com");
  wrong.add_other_header("Authorization", "", credentials(wrong, fresh, "guess"));
  EXPECT_TRUE(check_md5(wrong, nonces, "example.com", "alice", "secret"));
  ASSERT_EQ(hooks.responses.size(), 3u);
  const sip_message& warning = hooks.responses[2].response;
  EXPECT_EQ(warning.code, 401);
  EXPECT_EQ(warning.reason, "Authentication Required");
  EXPECT_EQ(warning.get_other_header("WWW-Authenticate", ""), "");
  EXPECT_GE(warning.serialize(reg.peer, transport_type::udp)
                .find(str("\r\nWarning: 399 example.com Password does not match\r\n")),
            0);
  EXPECT_EQ(nonces.size(), 1u);
}

// The system's client half answers the system's server half: whatever the credentials, the
// answer to a fresh challenge passes exactly once.
TEST_F(AuthPolicy, OwnAnswerToOwnChallengePassesOnce) {
  EXPECT_TRUE(rc::check(
      [&](const std::string& realm, const std::string& user, const std::string& password) {
        RC_PRE(!password.empty());
        hooks.responses.clear();
        std::set<str> issued;
        sip_message first = request("INVITE", "sip:bob@example.com");
        RC_ASSERT(check_md5(first, issued, str(realm), str(user), str(password)));
        std::vector<str> challenge = {
            hooks.responses.back().response.get_other_header("WWW-Authenticate", "")};
        sip_message second = request("INVITE", "sip:bob@example.com");
        second.add_other_header("Authorization", "",
                                answer_challenge_header(challenge, "INVITE", "sip:bob@example.com",
                                                        "x", str(user), str(password), nullptr));
        RC_ASSERT(!check_md5(second, issued, str(realm), str(user), str(password)));
        RC_ASSERT(issued.empty());
        RC_ASSERT(check_md5(second, issued, str(realm), str(user), str(password)));
        RC_ASSERT(hooks.responses.back().response.get_other_header("Warning", "") == str());
      }));
}

// A caller that proves its password clears the failed attempts its address collected, so
// that the requests of its calls do not add up to a blocking of a phone that authenticates.
TEST_F(AuthPolicy, ProvenPasswordClearsTheFailedAttemptsOfTheAddress) {
  std::set<str> issued;
  sip_message first = request("INVITE", "sip:bob@example.com", "192.0.2.77");
  for (int i = 0; i < 2; i++) count_unauthenticated_request("INVITE", first.peer.address);
  ASSERT_TRUE(check_md5(first, issued, "example.com", "alice", "pw"));
  std::vector<str> challenge = {
      hooks.responses.back().response.get_other_header("WWW-Authenticate", "")};
  sip_message second = request("INVITE", "sip:bob@example.com", "192.0.2.77");
  second.add_other_header("Authorization", "",
                          answer_challenge_header(challenge, "INVITE", "sip:bob@example.com",
                                                  "x", "alice", "pw", nullptr));
  count_unauthenticated_request("INVITE", second.peer.address);
  EXPECT_EQ(bw_failure_count(second.peer.address), 3);
  EXPECT_FALSE(check_md5(second, issued, "example.com", "alice", "pw"));
  EXPECT_EQ(bw_failure_count(second.peer.address), 0);
}

TEST_F(AuthPolicy, NonceNeverIssuedGetsChallengeAndAnyHeaderMayPass) {
  sip_message forged = request("INVITE", "sip:bob@example.com");
  forged.add_other_header("Authorization", "",
                          credentials(forged, "0123456789abcdef0123456789abcdef", "secret"));
  EXPECT_TRUE(check_md5(forged, nonces, "example.com", "alice", "secret"));
  ASSERT_EQ(hooks.responses.size(), 1u);
  EXPECT_NE(hooks.responses[0].response.get_other_header("WWW-Authenticate", ""), "");
  EXPECT_EQ(hooks.responses[0].response.get_other_header("Warning", ""), "");

  // Several Authorization headers: the one for us passes even after a foreign one.
  str nonce = last_nonce();
  sip_message two = request("INVITE", "sip:bob@example.com");
  two.add_other_header("Authorization", "", credentials(two, nonce, "secret", "someone"));
  two.add_other_header("Authorization", "", credentials(two, nonce, "secret"));
  EXPECT_FALSE(check_md5(two, nonces, "example.com", "alice", "secret"));
}

TEST_F(AuthPolicy, TrustedAddressLists) {
  struct {
    const char* list;
    const char* source;
    bool rejected;
  } cases[] = {
      {"", "203.0.113.9", false},
      {"   ", "203.0.113.9", false},
      {"192.0.2.0/24", "192.0.2.77", false},
      {"192.0.2.0/24", "192.0.3.77", true},
      {"10.1.2.3/8 172.16.0.1/12", "172.31.255.1", false},
      {"10.1.2.3/8", "11.1.2.3", true},
      {"0.0.0.0/0", "198.51.100.1", false},
      {"192.0.2.1/33", "192.0.2.1", true},
      {"LocalHost", "127.0.0.1", false},
      {"localhost", "127.0.0.2", true},
      {"198.51.100.4", "198.51.100.4", false},
      {"198.51.100.4", "198.51.100.5", true},
      {"garbage 2001:db8::1", "2001:db8::1", false},
      {"192.0.2.0/25", "::ffff:192.0.2.5", false},
  };
  for (const auto& c : cases) {
    hooks.responses.clear();
    sip_message m = request("REGISTER", "sip:example.com", c.source);
    EXPECT_EQ(check_trusted_ip(m, c.list), c.rejected) << c.list << " " << c.source;
    ASSERT_EQ(hooks.responses.size(), c.rejected ? 1u : 0u) << c.list;
    if (c.rejected) {
      EXPECT_EQ(hooks.responses[0].response.code, 403);
      EXPECT_EQ(hooks.responses[0].response.reason, "Forbidden");
      EXPECT_NE(hooks.responses[0].response.get_other_header("User-Agent", ""), "");
    }
  }
}

TEST_F(AuthPolicy, RegistrationOrderAndEmptyPasswords) {
  auth_credentials c{"example.com", "alice", "secret", "192.0.2.0/24", {}};
  // Already authenticated by another object: nothing is checked.
  EXPECT_FALSE(
      registration_security_policy(request("REGISTER", "sip:example.com", "203.0.113.1"), true, c));
  EXPECT_TRUE(hooks.responses.empty());
  // The address check comes before the digest check.
  EXPECT_TRUE(registration_security_policy(request("REGISTER", "sip:example.com", "203.0.113.1"),
                                           false, c));
  EXPECT_EQ(hooks.responses.back().response.code, 403);
  EXPECT_TRUE(registration_security_policy(request("REGISTER", "sip:example.com"), false, c));
  EXPECT_EQ(hooks.responses.back().response.code, 401);

  // An empty password is never challenged; the setting decides between dropping and passing.
  auth_credentials open{"example.com", "alice", "", "", {}};
  hooks.responses.clear();
  EXPECT_TRUE(registration_security_policy(request("REGISTER", "sip:example.com"), false, open));
  EXPECT_FALSE(
      check_md5(request("REGISTER", "sip:example.com"), open.nonces, "example.com", "alice", ""));
  ctrl_write_setting(ctrl_settings::allow_empty_passwords, "true");
  EXPECT_FALSE(registration_security_policy(request("REGISTER", "sip:example.com"), false, open));
  EXPECT_TRUE(hooks.responses.empty());
  EXPECT_TRUE(open.nonces.empty());
}

TEST_F(AuthPolicy, CallLegAndTrunkRules) {
  auth_credentials c{"example.com", "alice", "secret", "", {}};
  call_leg_auth leg;
  EXPECT_FALSE(call_leg_security_policy(request("ACK", "sip:bob@example.com"), false, leg, c));
  EXPECT_FALSE(call_leg_security_policy(request("CANCEL", "sip:bob@example.com"), false, leg, c));
  EXPECT_FALSE(call_leg_security_policy(request("BYE", "sip:bob@example.com"), false, leg, c));
  EXPECT_TRUE(hooks.responses.empty());
  EXPECT_TRUE(call_leg_security_policy(request("INVITE", "sip:bob@example.com"), false, leg, c));
  leg.challenge_cancel = leg.challenge_bye = true;
  EXPECT_TRUE(call_leg_security_policy(request("CANCEL", "sip:bob@example.com"), false, leg, c));
  EXPECT_TRUE(call_leg_security_policy(request("BYE", "sip:bob@example.com"), false, leg, c));
  EXPECT_FALSE(call_leg_security_policy(request("BYE", "sip:bob@example.com"), true, leg, c));
  EXPECT_EQ(hooks.responses.size(), 3u);
  leg.require_authentication = false;
  EXPECT_FALSE(call_leg_security_policy(request("INVITE", "sip:bob@example.com"), false, leg, c));
  EXPECT_EQ(hooks.responses.size(), 3u);

  // A trunk challenges with the host of the request-URI as realm.
  hooks.responses.clear();
  std::set<str> trunk_nonces;
  sip_message in = request("INVITE", "sip:4930123@pbx.example.net;user=phone");
  EXPECT_TRUE(trunk_security_policy(in, false, "carrier", "pw", trunk_nonces));
  ASSERT_EQ(hooks.responses.size(), 1u);
  auth_header_value h =
      parse_auth_header(hooks.responses[0].response.get_other_header("WWW-Authenticate", ""));
  EXPECT_EQ(h.get("realm"), "pbx.example.net");
  EXPECT_EQ(h.get("domain"), "sip:4930123@pbx.example.net;user=phone");
  str uri = in.request_uri.serialize();
  in.add_other_header("Authorization", "",
                      str::sprintf("Digest username=\"carrier\",nonce=\"%s\",uri=\"%s\","
                                   "response=\"%s\"",
                                   h.get("nonce"), uri,
                                   auth_md5_hex(h.get("nonce"), "carrier", "pbx.example.net", "pw",
                                                "INVITE", uri, "", "", "")));
  EXPECT_FALSE(trunk_security_policy(in, false, "carrier", "pw", trunk_nonces));
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
  const sip_message& ack = hooks.requests[0];
  EXPECT_EQ(ack.method, "ACK");
  EXPECT_EQ(ack.cseq, 7u);
  EXPECT_EQ(ack.cseq_method, "ACK");
  EXPECT_EQ(ack.request_uri.serialize(), "sip:bob@sp.example");
  EXPECT_EQ(ack.to.tag(), "totag");
  ASSERT_EQ(ack.route.size(), 1u);
  EXPECT_EQ(ack.get_other_header("Authorization", ""), "");

  const sip_message& sent = hooks.requests[1];
  EXPECT_EQ(sent.method, "INVITE");
  EXPECT_EQ(sent.cseq, 8u);
  EXPECT_EQ(again.cseq, 8u);
  // Marked as having answered a challenge, and without the INVITE's branch: a new transaction.
  EXPECT_TRUE(again.challenge_answered);
  EXPECT_TRUE(sent.branch_param.empty());
  std::vector<str> auths = sent.get_other_headers("Authorization", "");
  ASSERT_EQ(auths.size(), 1u);
  auth_header_value h = parse_auth_header(auths[0]);
  EXPECT_EQ(h.get("qop"), "auth");
  EXPECT_EQ(h.get("nc"), "00000001");
  EXPECT_EQ(h.get("response"),
            auth_md5_hex("abc", "1000", "sp.example", "pw", "INVITE", "sip:bob@sp.example", "auth",
                         "00000001", h.get("cnonce")));
  EXPECT_EQ(hooks.port_index, 12);
  EXPECT_EQ(hooks.port_challenge.header_name, "Authorization");
  EXPECT_EQ(hooks.port_challenge.nonce, "abc");
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
  EXPECT_EQ(hooks.trunk_call_id, "call-1");
  EXPECT_EQ(hooks.trunk_challenge.header_name, "Proxy-Authorization");
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
