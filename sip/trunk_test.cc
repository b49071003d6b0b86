// Trunks under a manual clock and the real transaction layer on a scripted transport: REGISTERs
// compared whole, the provider's answers injected, TrunkStatus captured, incoming calls matched.
#include "sip/trunk.h"

#include <gtest/gtest.h>

#include <regex>

#include "frame/settings.h"
#include "frame/stun.h"
#include "sip/address_list.h"
#include "sip/call_messages.h"
#include "sip/call_port.h"
#include "sip/reg_in.h"
#include "sip/send_packet.h"
#include "sip/srv_context.h"
#include "sip/transaction_test_fakes.h"

namespace {

std::vector<str> posted;
const ip_port provider = ip_port::from_text("127.0.0.9:5060");

struct loopback_info : sip_settings_local_info {
  str local_sip_address(const ip_port&, transport_type) override { return "127.0.0.1"; }
  uint16_t local_sip_port(const ip_port&, transport_type) override { return 5060; }
  str web_address(const ip_port&, bool) override { return str(); }
};

std::string text(const str& s) { return std::string(crlf(s.c_str()).view()); }

msg::setup_trunk setup(const char* key, const char* name, const char* registrar = "127.0.0.9",
                       const char* aadr = "", const char* domains = "",
                       const char* account = "4930123", const char* dids = "") {
  msg::setup_trunk m;
  m.key = key, m.name = name, m.reg_display = "Office", m.account = account;
  m.registrar = registrar, m.auth_user = "u1", m.password = "pw", m.expires = "600";
  m.aadr = aadr, m.domain_names = domains, m.dids = dids, m.country_code = "49";
  m.area_code = "030";
  return m;
}

class TrunkTest : public ::testing::Test {
 protected:
  transaction_env env;
  loopback_info info;
  call_port_transaction_user legs{env.user};
  trunk_transaction_user user{legs};
  trunk_auth_hooks hooks{&registrar_auth_hooks()};
  std::unique_ptr<scoped_srv_context> context;
  log_capture log{9};

  void SetUp() override {
    init_config();
    posted.clear();
    set_sip_local_info(&info);
    set_sip_transaction_user(&user);
    set_auth_hooks(&hooks);
    install_transaction_receive_hooks();
    bw_add_source(provider.address, 32, true);
    context = std::make_unique<scoped_srv_context>(
        srv_context{.post = [](const str& t) { posted.push_back(t); },
                    .send = send_packet,
                    .queue = &env.queue});
    trunks_ports_ready();
  }
  void TearDown() override {
    clear_trunks();
    reset_call_ports();
    set_auth_hooks(nullptr);
    set_sip_receive_hooks(nullptr);
    set_sip_local_info(nullptr);
    bw_clear();
  }
  sip_message sent() { return env.transport.sent.back().parsed(); }
  // The last text sent, its branch made readable.
  std::string last_sent() {
    std::string t(env.transport.sent.back().text.view());
    return std::regex_replace(t, std::regex("branch=z9hG4bK[-0-9a-f]+"), "branch=z9hG4bK*");
  }
  // The provider answers the last request sent.
  void answer(int code, const char* reason, const char* headers) {
    sip_message r(code, reason, sent());
    r.to.set_tag("p1");
    str text = r.serialize(provider, transport_type::udp);
    text = text.leftstr(text.length() - 2) + crlf(headers) + "\r\n";
    process_pdu("udp0", text, provider, transport_type::udp);
  }
  static str status(const char* code, const char* text, const char* ok, const char* failed) {
    return soap_write(msg::trunk_status{"7", code, text, "1", ok, failed});
  }
};

}  // namespace

// The first REGISTER by the outbound proxy (once the SIP sockets are bound: a trunk set up at
// start waits for them), its answer to the provider's challenge, the CRLF keep-alive the
// proxy's parameters ask for, and the refresh at half the granted interval: along the flow,
// with the stored challenge's next nonce count.
TEST_F(TrunkTest, RegisterChallengeKeepAliveAndRefresh) {
  msg::setup_trunk m = setup("7", "prov", "127.0.0.8");
  m.outbound_proxy = "sip:127.0.0.9;keepalive=crlf;interval=40";
  clear_trunks();
  setup_trunk(m);
  EXPECT_TRUE(env.transport.sent.empty());
  trunks_ports_ready();
  trunk& t = *get_trunk("7");
  const unsigned cseq = peek_dialog_cseq(m_register, t.reg_call_id, t.from_tag) - 1;
  const auto expected = [&](unsigned n, const std::string& extra) {
    return text(str::sprintf(
        "REGISTER sip:127.0.0.8 SIP/2.0\nVia: SIP/2.0/UDP 127.0.0.1:5060;branch=z9hG4bK*;rport\n"
        "From: \"Office\" <sip:4930123@127.0.0.8>;tag=%s\nTo: \"Office\" <sip:4930123@127.0.0.8>\n"
        "Call-ID: %s\nCSeq: %u REGISTER\nMax-Forwards: 70\nContact: <sip:u1@127.0.0.1:5060;"
        "transport=udp;line=%s>\nUser-Agent: %s\n%SExpires: 600\nContent-Length: 0\n\n",
        t.from_tag, t.reg_call_id, cseq + n, t.line, auth_user_agent(), extra.c_str()));
  };
  EXPECT_EQ(last_sent(), expected(0, ""));
  EXPECT_EQ(env.transport.sent.back().destination, provider);
  EXPECT_TRUE(
      log.contains("Trunk prov (7) is associated with the following addresses: "
                   "udp:127.0.0.8:0 udp:127.0.0.9:0"));
  answer(401, "Unauthorized", "WWW-Authenticate: Digest realm=\"p\",nonce=\"n1\",qop=\"auth\"\n");
  const auto authorization = [&](const char* nonce, const char* nc) {
    const str cnonce =
        parse_auth_header(sent().get_other_header("Authorization", "")).get("cnonce");
    return std::string(
        str::sprintf(
            "Authorization: Digest realm=\"p\",nonce=\"%S\",response=\"%s\",username=\"u1\",uri=\""
            "sip:127.0.0.8\",qop=\"auth\",nc=%S,cnonce=\"%s\",algorithm=MD5\n",
            nonce,
            auth_md5_hex(nonce, "u1", "p", "pw", "REGISTER", "sip:127.0.0.8", "auth", nc, cnonce),
            nc, cnonce)
            .view());
  };
  EXPECT_EQ(last_sent(), expected(1, authorization("n1", "00000001")));
  answer(200, "OK", "Contact: <sip:u1@127.0.0.1:5060;line=x>;expires=600\n");
  EXPECT_EQ(posted.back(), status("200 OK", "Refresh interval 300 seconds", "1", "0"));
  const size_t before = env.transport.sent.size();
  env.run_until(299999);
  EXPECT_EQ(env.transport.sent.size(), before + 7);  // CRLF at 40, 80, ... 280 s
  EXPECT_EQ(last_sent(), "\r\n\r\n");
  env.run_until(300000);
  EXPECT_EQ(last_sent(), expected(2, "Supported: outbound\n" + authorization("n1", "00000002")));
  // The provider's next nonce is taken for the next refresh, counted from 1 again.
  answer(200, "OK", "Expires: 600\nAuthentication-Info: nextnonce=\"n2\"\n");
  env.run_until(600000);
  EXPECT_EQ(last_sent(), expected(3, "Supported: outbound\n" + authorization("n2", "00000001")));
}

// The provider's final answers to a REGISTER: the status reported and when the next one goes.
// An unreadable answer of the provider before the real one changes nothing and reports nothing
// (other garbage: SipCorpusE2E.TortureMessagesDoNotDisturbTheDaemon).
TEST_F(TrunkTest, RegisterOutcomes) {
  const char* cases[][5] = {
      // answer, its headers, status text, seconds to the next REGISTER, log line
      {"200 OK", "Contact: <sip:a@h>;expires=900, <sip:b@h>;expires=300, <sip:c@h>\nExpires: 600\n",
       "Refresh interval 150 seconds", "150",
       "Registrar returned 3 bindings, but line parameter has been erased"},
      {"200 OK", "Contact: <sip:a@h>;expires=60\nContact: <sip:b@h;line=LINE>;expires=1800\n",
       "Refresh interval 900 seconds", "900", ""},
      {"200 OK", "Contact: <sip:a@h;line=LINE>;expires=0\n", "No refresh interval", "60", ""},
      {"200 OK", "", "No refresh interval", "60", ""},
      {"200 OK", "Expires: 240\n", "Refresh interval 120 seconds", "120", ""},
      {"403 Forbidden", "", "Registration failed, retry after 60 seconds", "60",
       "Registration on trunk prov (7) failed. Retry in 60 seconds"},
  };
  for (const auto& c : cases) {
    clear_trunks(), trunks_ports_ready(), clear_pending_packets(), posted.clear(), log.clear();
    setup_trunk(setup("7", "prov"));
    const trunk& t = *get_trunk("7");
    process_pdu("udp0", "SIP/2.0 200 OK\r\nCall-ID: " + t.reg_call_id + "\r\nCSeq: x\r\n\r\n",
                provider, transport_type::udp);
    const std::string headers = std::regex_replace(c[1], std::regex("LINE"), t.line.c_str());
    const bool ok = c[0][0] == '2';
    answer(std::atoi(c[0]), c[0] + 4, headers.c_str());
    EXPECT_EQ(posted, std::vector<str>{status(c[0], c[2], ok ? "1" : "0", ok ? "0" : "1")}) << c[1];
    EXPECT_TRUE(!*c[4] || log.contains(c[4])) << c[4];
    const size_t before = env.transport.sent.size(), next = env.now_ms() + std::atoi(c[3]) * 1000;
    env.run_until(next - 1);
    EXPECT_EQ(env.transport.sent.size(), before);
    env.run_until(next);
    EXPECT_EQ(env.transport.sent.size(), before + 1);
  }
}

// find_trunk: two trunks on one provider address and one known by its domain only; the line
// parameter first, then the categories in order, the last trunk examined winning within one.
TEST_F(TrunkTest, FindTrunkPrecedence) {
  setup_trunk(setup("1", "A", "127.0.0.9", "", "a.example"));
  setup_trunk(setup("2", "B", "", "127.0.0.9:5062 127.0.0.10", "b.example", "", "+4930555000"));
  setup_trunk(setup("3", "C", "", "", "c.example", ""));
  const char* cases[][5] = {
      // source, request-URI, From, trunk, category
      {"127.0.0.11:5060", "sip:x@h;line=L2", "x@h", "2", "line match) B"},
      {"127.0.0.9:5062", "sip:555000@127.0.0.1", "x@h", "2", "IP address and DID match) B"},
      {"127.0.0.9:5062", "sip:x@b.example", "4930123@127.0.0.9", "1",
       "IP address and from match) A"},
      {"127.0.0.9:5062", "sip:4930123@127.0.0.1", "x@h", "1", "IP address and user match) A"},
      {"127.0.0.9:5062", "sip:x@b.example", "x@h", "2", "IP address/port and domain match) B"},
      {"127.0.0.10:5060", "sip:x@b.example", "x@h", "2", "IP address and domain match) B"},
      {"127.0.0.9:5062", "sip:x@127.0.0.1", "x@h", "2", "IP address/port match) B"},
      {"127.0.0.10:7000", "sip:x@a.example", "x@h", "2", "IP address match) B"},
      {"127.0.0.11:5060", "sip:x@c.example", "x@h", "3", "domain name match) C"},
      {"127.0.0.11:5060", "sip:x@a.example", "x@h", "", ""}};
  const std::string line2(get_trunk("2")->line.view());
  for (const auto& c : cases) {
    sip_message m(str("INVITE ") + std::regex_replace(c[1], std::regex("L2"), line2).c_str() +
                  " SIP/2.0\r\nFrom: <sip:" + c[2] + ">\r\n\r\n");
    m.peer = ip_port::from_text(c[0]);
    m.transport = transport_type::udp;
    EXPECT_EQ(find_trunk(m), str(c[3])) << c[4];
    EXPECT_EQ(log.texts().back(),
              *c[3] ? std::string("Identify trunk (") + c[4] : "Could not find a trunk (3 trunks)");
  }
}

// STUN keep-alive: the answer's mapped address goes into the Contact at once; a request left
// unanswered is logged when the next one goes.
TEST_F(TrunkTest, StunKeepAliveLearnsPublicAddress) {
  msg::setup_trunk m = setup("7", "prov");
  m.outbound_proxy = "sip:127.0.0.9;keepalive=stun";
  setup_trunk(m);
  answer(200, "OK", "Expires: 600\n");
  env.run_until(20000);                                // UDP: every 20 s
  const str request = env.transport.sent.back().text;  // a binding request
  EXPECT_EQ(stun_message_type(request), stun_binding_request);
  trunk_stun_response(stun_binding_response(request, ip_port::from_text("127.0.0.99:7000")),
                      provider);
  EXPECT_EQ(sent().contact.front().content(),
            str::sprintf("<sip:u1@127.0.0.99:7000;transport=udp;line=%s>", get_trunk("7")->line));
  answer(200, "OK", "Expires: 600\n");
  env.run_until(60000);
  const auto texts = log.texts();  // the request at 40 s went unanswered, not the one at 20 s
  EXPECT_EQ(std::count(texts.begin(), texts.end(), "No answer from STUN server 127.0.0.9:5060"), 1);
}

// A registrar by name: resolved through a DISCOVER before the REGISTER goes to the address
// found; a leg the PBX starts on the trunk goes there with the trunk's Proxy-Require; DeleteTrunk
// forgets the trunk. (A provider's INVITE taken for the trunk, and the leg's answer to the
// provider's challenge: tests/e2e/trunk_test.cc.)
TEST_F(TrunkTest, ResolvedRegistrarCallsAndDelete) {
  msg::setup_trunk m = setup("7", "prov", "sip.provider.test");
  m.require = "sec-agree";
  ASSERT_TRUE(trunk_on_soap(soap_write(m)));
  while (!env.dns.waiting.empty()) {
    const auto [name, type] = env.dns.waiting.begin()->first;
    env.dns.answer(name, type, type == dns_type::a ? str("127.0.0.9") : str());
  }
  EXPECT_TRUE(
      log.contains("Trunk prov (7) is associated with the following addresses: "
                   "udp:127.0.0.9:5060"));
  EXPECT_EQ(env.transport.sent.back().destination, provider);
  answer(200, "OK", "Expires: 600\n");
  msg::start_dialog d;  // the fields the PBX fills for a call out on a trunk
  d.call_id = "o1", d.uri = "sip:+4930555@127.0.0.20", d.trunk = "7", d.username = "u1";
  d.password = "pw", d.from = "<sip:4930123@127.0.0.8>";
  ASSERT_TRUE(call_port_on_soap(soap_write(d)));
  EXPECT_EQ(env.transport.sent.back().destination, provider);  // not the URI's host
  EXPECT_EQ(sent().get_other_header("Proxy-Require", ""), "sec-agree");
  ASSERT_TRUE(trunk_on_soap(soap_write(msg::delete_trunk{"7"})));
  EXPECT_TRUE(srvtrunks.empty() && trunk_lines.empty() && trunk_call_ids.empty());
}
