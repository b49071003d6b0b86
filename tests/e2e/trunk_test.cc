// Outside calls through SIP providers, each played by this test on a loopback address of its
// own. The demo domain gets North American numbering (country code 1, area 617), a dial plan
// ("9" + a national number leaves on provider A in global form; 900 numbers are refused; a
// call that A fails with a 5xx is tried on provider B; a mistyped entry is skipped) and a DID
// of extension 100.
// The journeys: the trunk registers at A with digest authentication and refreshes at half the
// granted interval; 100 dials out, A challenges the INVITE, answers, the tones of both sides
// cross the daemon, and each side hangs up once; A calls the DID and 100 rings, while the same
// INVITE from a stranger's address is not taken for the trunk; the refused pattern and the
// failover from A to B. Every packet, media included, stays on loopback.
#include <gtest/gtest.h>

#include <future>

#include "tests/e2e/harness_phones.h"

namespace {

using namespace e2e;

// A provider: a SIP endpoint on ip that keeps every request it receives and answers only as
// the test tells it, with media on a socket of its own.
class provider {
 public:
  explicit provider(const std::string& ip) : sip(ip), rtp(ip) {}
  // The next request of method received within ms ("" when none); others wait their turn.
  std::string next(const std::string& method, int ms) {
    for (auto end = steady_clock::now() + milliseconds(ms);;) {
      for (size_t i = 0; i < kept_.size(); ++i) {
        if (kept_[i].rfind(method + " ", 0) != 0) continue;
        std::string r = kept_[i];
        kept_.erase(kept_.begin() + long(i));
        return r;
      }
      const auto left = std::chrono::duration_cast<milliseconds>(end - steady_clock::now());
      std::string bytes;
      if (left.count() <= 0 || !sip.receive(bytes, int(left.count()), &daemon_ip, &daemon_port))
        return "";
      if (bytes.rfind("SIP/2.0 ", 0) != 0) kept_.push_back(bytes);
    }
  }
  // Answers request with status (the dialog's To tag added), extra headers and an SDP body
  // when sdp.
  void reply(const std::string& request, const std::string& status, const std::string& extra = "",
             bool sdp = false) {
    sip.send_to(daemon_ip, daemon_port,
                response_to(request, status,
                            "Contact: <sip:" + sip.ip() + ":" + std::to_string(sip.port()) +
                                ">\r\n" + extra,
                            sdp ? offer() : "", "prov"));
  }
  // A request of the provider's own to the daemon's SIP port.
  void send(const std::string& bytes, int daemon_sip_port) {
    sip.send_to("127.0.0.1", daemon_sip_port, bytes);
  }
  std::string offer() const { return sdp_of(rtp.ip(), rtp.port()); }

  e2e::udp_peer sip, rtp;
  std::string daemon_ip = "127.0.0.1";
  int daemon_port = 0;

 private:
  std::vector<std::string> kept_;
};

// The media address an SDP names ("ip", port).
std::pair<std::string, int> media_of(const std::string& message) {
  return {match(message, "c=IN IP4 ([0-9.]+)"),
          std::atoi(match(message, "m=audio ([0-9]+)").c_str())};
}

// Sends 2 s of a u-law tone of hz (made by sox in dir) from socket to the media address as 20 ms
// PCMU packets, paced, while keeping the payloads of the PCMU packets that arrive, without
// packets of one repeated byte (silence); the rough frequency sox hears in them.
double exchange_tone(const std::string& dir, e2e::udp_peer& socket,
                     const std::pair<std::string, int>& to, int hz) {
  const std::string file = dir + "/tone" + std::to_string(hz) + ".ul", heard_file = file + ".heard";
  if (std::system(
          ("sox -n -r 8000 -c 1 -t ul " + file + " synth 2 sine " + std::to_string(hz) + " vol 0.5")
              .c_str()) != 0)
    return -1;
  const std::string tone = slurp(file);
  std::string heard;
  const auto start = steady_clock::now();
  for (size_t at = 0, n = 0;
       at + 160 <= tone.size() || steady_clock::now() - start < milliseconds(2600);
       at += 160, ++n) {
    if (at + 160 <= tone.size()) {
      socket.send_to(to.first, to.second, rtp_header(0, n, n) + tone.substr(at, 160));
    }
    for (auto slot = start + milliseconds(20 * (n + 1)); steady_clock::now() < slot;) {
      std::string bytes;
      const auto left = std::chrono::duration_cast<milliseconds>(slot - steady_clock::now());
      if (!socket.receive(bytes, int(std::max<long>(1, left.count())))) continue;
      if (bytes.size() <= 12 || (bytes[1] & 0x7f) != 0) continue;
      const std::string body = payload_of(bytes);
      if (body.find_first_not_of(body[0]) != std::string::npos) heard += body;
    }
  }
  std::ofstream(heard_file, std::ios::binary) << heard;
  sound s;
  return measure("-t ul -r 8000 -c 1 " + heard_file, s) ? s.hz : -1;
}

class TrunkE2E : public ::testing::Test {
 protected:
  provider a{"127.0.0.60"}, b{"127.0.0.61"};

  void start() {
    const std::string pa = "127.0.0.60:" + std::to_string(a.sip.port()),
                      pb = "127.0.0.61:" + std::to_string(b.sip.port());
    std::string rows =
        row("domains", 1,
            {{"country_code", "1"}, {"area_code", "617"}, {"default_dialplan", "1"}}) +
        row("user_alias", 90, {{"domain", "1"}, {"name", "+16175550100"}, {"user", "1"}}) +
        row("trunks", 1,
            {{"name", "provider-a"},
             {"domain", "1"},
             {"reg_account", "6175550199"},
             {"reg_registrar", pa},
             {"reg_user", "pbx-a"},
             {"reg_pass", "secret-a"},
             {"expires", "3600"},
             {"failover", "only_5xx"}}) +
        row("trunks", 2,
            {{"name", "provider-b"},
             {"domain", "1"},
             {"reg_registrar", pb},
             {"failover", "never"}}) +
        row("dial_plan", 1, {{"name", "outside"}, {"domain", "1"}});
    // The entries by row: preference, trunk, pattern, replacement. The one of preference 15 an
    // administrator mistyped: it is logged once and skipped.
    const std::vector<std::vector<std::string>> entries = {{"1", "10", "-", "9900*", ""},
                                                           {"4", "15", "1", "9(12[", ""},
                                                           {"2", "20", "1", "9*", "+1*"},
                                                           {"3", "30", "2", "9*", "+1*"}};
    for (const auto& e : entries)
      rows += row("dial_plan_entry", std::stoi(e[0]),
                  {{"id", "1"},
                   {"preference", e[1]},
                   {"trunk", e[2]},
                   {"pattern", e[3]},
                   {"replacement", e[4]}});
    e2e::telmond_options o;
    o.use_default_config(rows);
    o.allow("127.0.0.0", 8);
    t = std::make_unique<e2e::telmond_process>(o);
    ASSERT_TRUE(t->start_with_accounts()) << t->error();
  }
  // The trunk's REGISTER at A, answered with a challenge and then, when its digest is right,
  // with 200 granting seconds; the REGISTER that carried the digest.
  std::string registered_at_a(int seconds) {
    const std::string first = a.next("REGISTER", 5000);
    if (first.empty()) return "";
    a.reply(first, "401 Unauthorized",
            "WWW-Authenticate: Digest realm=\"provider\",nonce=\"n0nce\",algorithm=MD5\r\n");
    const std::string second = a.next("REGISTER", 3000);
    expect_credentials(second, "Authorization", "REGISTER", "n0nce");
    a.reply(second, "200 OK",
            "Contact: " + match(second, "\r\nContact: *([^\r\n]*)") +
                ";expires=" + std::to_string(seconds) + "\r\n");
    return second;
  }
  // The request's digest answers A's challenge with nonce with the trunk's credentials.
  static void expect_credentials(const std::string& request, const std::string& header,
                                 const std::string& method, const std::string& nonce) {
    const std::string got = header_of(request, header), response = "response=\"([0-9a-f]*)\"";
    EXPECT_EQ(match(got, response),
              match(digest("realm=\"provider\",nonce=\"" + nonce + "\"", "pbx-a", "secret-a",
                           method, match(got, "uri=\"([^\"]*)\"")),
                    response))
        << request;
  }

  std::unique_ptr<e2e::telmond_process> t;
};

TEST_F(TrunkE2E, RegistersThenCallsLeaveThroughTheProviderWithSoundBothWays) {
  start();
  // Registration: the account at the registrar, authenticated, refreshed at half of 4 s with
  // the same Call-ID and a higher CSeq.
  const std::string reg = registered_at_a(4);
  ASSERT_FALSE(reg.empty()) << t->log();
  EXPECT_NE(header_of(reg, "From").find("sip:6175550199@127.0.0.60"), std::string::npos) << reg;
  const auto granted = steady_clock::now();
  const std::string refresh = a.next("REGISTER", 6000);
  ASSERT_FALSE(refresh.empty()) << t->log();
  const auto after = std::chrono::duration_cast<milliseconds>(steady_clock::now() - granted);
  EXPECT_GT(after.count(), 1500);
  EXPECT_LT(after.count(), 3500);
  EXPECT_EQ(header_of(refresh, "Call-ID"), header_of(reg, "Call-ID"));
  EXPECT_GT(std::atoi(header_of(refresh, "CSeq").c_str()),
            std::atoi(header_of(reg, "CSeq").c_str()));
  a.reply(refresh, "200 OK", "Expires: 3600\r\n");

  // 100 dials 9 + a national number; A challenges the INVITE, then answers.
  for (const bool provider_hangs_up : {true, false}) {
    SCOPED_TRACE(provider_hangs_up ? "provider hangs up" : "phone hangs up");
    e2e::dialer phone(*t, provider_hangs_up ? "127.0.0.71" : "127.0.0.72", "100");
    auto provider_side = std::async(std::launch::async, [&] {
      std::string invite = a.next("INVITE", 5000);
      if (invite.empty()) return invite;
      a.reply(invite, "407 Proxy Authentication Required",
              "Proxy-Authenticate: Digest realm=\"provider\",nonce=\"n1\",algorithm=MD5\r\n");
      a.next("ACK", 2000);
      invite = a.next("INVITE", 3000);
      a.reply(invite, "180 Ringing");
      a.reply(invite, "200 OK", "", true);
      a.next("ACK", 2000);
      return invite;
    });
    const std::string answers = phone.call("96175551234", 8000);
    const std::string invite = provider_side.get();
    ASSERT_EQ(e2e::final_of(answers), "200 Ok") << answers << "\n" << phone.transcript << t->log();
    EXPECT_EQ(e2e::first_line(invite), "INVITE sip:+16175551234@" + std::string("127.0.0.60:") +
                                           std::to_string(a.sip.port()) + ";user=phone SIP/2.0");
    expect_credentials(invite, "Proxy-Authorization", "INVITE", "n1");

    // Both sides play a tone; each hears the other's.
    auto at_provider = std::async(
        std::launch::async, [&] { return exchange_tone(t->dir(), a.rtp, media_of(invite), 1000); });
    EXPECT_NEAR(exchange_tone(t->dir(), phone.media(), media_of(phone.last), 600), 1000, 40)
        << t->log();
    EXPECT_NEAR(at_provider.get(), 600, 40) << t->log();

    if (provider_hangs_up) {
      a.send("BYE " + match(header_of(invite, "Contact"), "<([^>]+)>") +
                 " SIP/2.0\r\nVia: SIP/2.0/UDP 127.0.0.60:" + std::to_string(a.sip.port()) +
                 ";branch=z9hG4bK-pbye\r\nFrom: " + header_of(invite, "To") + ";tag=prov\r\nTo: " +
                 header_of(invite, "From") + "\r\nCall-ID: " + header_of(invite, "Call-ID") +
                 "\r\nCSeq: 1 BYE\r\nMax-Forwards: 70\r\nContent-Length: 0\r\n\r\n",
             t->ports().sip_udp);
      EXPECT_NE(phone.wait_request("BYE", 3000), "") << t->log();
    } else {
      EXPECT_EQ(phone.request("BYE"), "200 Ok");
      const std::string bye = a.next("BYE", 3000);
      ASSERT_NE(bye, "") << t->log();
      a.reply(bye, "200 OK");
    }
  }
  // The mistyped entry was reported once for both calls (in the log file; stderr repeats it).
  const std::string l = t->read_file(e2e::telmond_process::daily_log_name());
  size_t reports = 0;
  for (size_t at = l.find("Cannot compile the expression 9(12["); at != std::string::npos;
       at = l.find("Cannot compile the expression 9(12[", at + 1))
    ++reports;
  EXPECT_EQ(reports, 1u) << l;
}

TEST_F(TrunkE2E, ProviderCallToADidRingsTheExtensionAndAStrangerIsNotTheTrunk) {
  start();
  ASSERT_FALSE(registered_at_a(3600).empty()) << t->log();
  e2e::quick_callee owner(*t, "127.0.0.73", "100");
  ASSERT_TRUE(owner.start());
  // An INVITE to the DID from the provider's address, and the same from a stranger's.
  const auto invite_to_did = [&](provider& from, const std::string& call_id) {
    from.send("INVITE sip:+16175550100@127.0.0.1:" + std::to_string(t->ports().sip_udp) +
                  " SIP/2.0\r\nVia: SIP/2.0/UDP " + from.sip.ip() + ":" +
                  std::to_string(from.sip.port()) + ";branch=z9hG4bK-" + call_id +
                  "\r\nFrom: <sip:+13125550123@" + from.sip.ip() +
                  ">;tag=out1\r\nTo: "
                  "<sip:+16175550100@127.0.0.1>\r\nCall-ID: " +
                  call_id + "\r\nCSeq: 1 INVITE\r\nContact: <sip:+13125550123@" + from.sip.ip() +
                  ":" + std::to_string(from.sip.port()) +
                  ">\r\nMax-Forwards: 70\r\nContent-Type: application/sdp\r\nContent-Length: " +
                  std::to_string(from.offer().size()) + "\r\n\r\n" + from.offer(),
              t->ports().sip_udp);
    // The final answer, whole.
    for (auto end = steady_clock::now() + milliseconds(8000); steady_clock::now() < end;) {
      std::string bytes;
      if (!from.sip.receive(bytes, 500)) continue;
      if (bytes.rfind("SIP/2.0 ", 0) == 0 && bytes.compare(8, 1, "1") != 0) return bytes;
    }
    return std::string();
  };
  const std::string answered = invite_to_did(a, "did-call");
  EXPECT_EQ(e2e::first_line(answered), "SIP/2.0 200 Ok") << t->log();
  EXPECT_EQ(owner.open(), 1) << t->log();

  provider stranger("127.0.0.62");
  const std::string refused = invite_to_did(stranger, "stranger-call");
  EXPECT_EQ(e2e::code_of(refused) / 100, 4) << refused;
  EXPECT_EQ(owner.open(), 1) << "the stranger reached the extension";
}

TEST_F(TrunkE2E, RefusedPatternAndFailoverToTheSecondProvider) {
  start();
  ASSERT_FALSE(registered_at_a(3600).empty()) << t->log();
  e2e::dialer premium(*t, "127.0.0.74", "100");
  EXPECT_EQ(e2e::final_of(premium.call("99005551234", 5000)), "404 Not Found") << t->log();
  EXPECT_EQ(a.next("INVITE", 500), "");

  // A fails the call with 503: B gets it in the same global form; B's busy ends it (never).
  e2e::dialer caller(*t, "127.0.0.75", "100");
  auto providers = std::async(std::launch::async, [&] {
    const std::string at_a = a.next("INVITE", 5000);
    if (at_a.empty()) return std::string("A got nothing");
    a.reply(at_a, "503 Service Unavailable");
    a.next("ACK", 2000);
    const std::string at_b = b.next("INVITE", 5000);
    if (at_b.empty()) return std::string("B got nothing");
    b.reply(at_b, "486 Busy Here");
    b.next("ACK", 2000);
    return e2e::first_line(at_b);
  });
  const std::string answers = caller.call("96175559876", 10000);
  EXPECT_EQ(providers.get(), "INVITE sip:+16175559876@127.0.0.61:" + std::to_string(b.sip.port()) +
                                 ";user=phone SIP/2.0")
      << t->log();
  EXPECT_EQ(e2e::final_of(answers), "486 Busy Here") << answers << t->log();
}

}  // namespace
