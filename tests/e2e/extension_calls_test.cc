// Calls between extensions through the real daemon, made and taken by real phones: baresip
// soft-phones that hear each other's tone (as it is and transcoded), sipp phones registered as
// extensions (with digest authentication) that ring, answer, hang up and are cancelled, and a
// caller played by this test over raw UDP that answers the daemon's challenge, holds, transfers
// and cancels. The journeys: a call both ways with sound; a call forked to two registrations of
// one extension watched through the dialog event package; forwarding on no answer, busy,
// always and do-not-disturb, and the refusals; hold, blind and attended transfer; the refusals
// of unknown numbers and of the call limits; the auto attendant reached by RFC 4733 digits; a
// caller that vanishes, a CANCEL racing the answer, and a SIGTERM during fifty live calls.
//
// A call object or leg left over is seen from outside: where it matters the daemon runs with a
// system call limit, so that a leftover makes the next call fail with 503, and no
// "expired-*.txt" file (a leg collected as stale) may appear.
// Every packet, media included, stays on loopback; every peer runs under timeout(1) and every
// wait is bounded; every process started here is stopped by the test.
#include <gtest/gtest.h>

#include <cmath>
#include <regex>
#include <set>

#include "media/codec_engine.h"
#include "tests/e2e/harness_phones.h"

namespace {

using namespace e2e;

class ExtensionCallsE2E : public ::testing::Test {
 protected:
  void SetUp() override {
    if (std::system("command -v sipp >/dev/null 2>&1") != 0) GTEST_SKIP() << "no sipp";
  }
  // Starts the daemon on the default configuration plus rows, with pbx.xml settings.
  void start(const std::string& rows, const std::map<std::string, std::string>& settings = {}) {
    peers.clear();
    t.reset();
    telmond_options o;
    o.use_default_config(rows);
    o.settings = settings;
    // Every phone here sends more requests than the blocking allows unauthenticated.
    o.allow("127.0.0.0", 8);
    o.prompts = prompts;
    t = std::make_unique<telmond_process>(o);
    ASSERT_TRUE(t->start_with_accounts()) << t->error();
  }
  // Registers extension number (password "sip" + number) with digest authentication for the
  // sipp phone at ip:port.
  bool register_phone(const std::string& name, const std::string& ip, int port, int number) {
    const std::string n = std::to_string(number);
    const int rc =
        run_sipp(*t, name + "-register", ip, sipp_register(), n + ";sip" + n + ";", 1, false, port);
    EXPECT_EQ(rc, 0) << t->read_file("sipp-" + name + "-register/sipp.out");
    return rc == 0;
  }
  // Starts sipp as a phone at ip:port with the scenario for calls calls; args: more options
  // (-s for a caller, -inf users.csv is written from users when given).
  peer& sipp(const std::string& name, const std::string& ip, int port, const std::string& scenario,
             int calls = 1, const std::string& args = "", const std::string& users = "",
             int seconds = 30) {
    const std::string dir = t->dir() + "/sipp-" + name;
    std::filesystem::create_directories(dir);
    std::ofstream(dir + "/scenario.xml") << scenario;
    if (!users.empty()) std::ofstream(dir + "/users.csv") << "SEQUENTIAL\n" << users << "\n";
    peers.push_back(std::make_unique<peer>(
        dir, "exec timeout " + std::to_string(seconds) + " sipp 127.0.0.1:" +
                 std::to_string(t->ports().sip_udp) + " -sf scenario.xml -i " + ip + " -p " +
                 std::to_string(port) + " -mi " + ip + " -mp " + std::to_string(free_port()) +
                 " -m " + std::to_string(calls) + (users.empty() ? "" : " -inf users.csv") +
                 " -nostdin -trace_msg -trace_err -recv_timeout 20000 " + args));
    // Ready once its port is taken (a phone that has just registered is called at once).
    eventually(3000, [&] { return port_taken(ip, port) || !peers.back()->running(); });
    return *peers.back();
  }
  // A sipp phone registered as number that takes calls as the scenario says.
  peer& callee_phone(const std::string& name, const std::string& ip, int number,
                     const std::string& scenario, int calls = 1) {
    const int port = free_port();
    EXPECT_TRUE(register_phone(name, ip, port, number));
    // -aa: the NOTIFYs and OPTIONS a registered phone may get are answered 200.
    return sipp(name, ip, port, scenario, calls, "-aa");
  }
  // A sipp phone of 100 calling number with the steps after the answer.
  peer& caller_phone(const std::string& ip, const std::string& number, const std::string& steps,
                     int seconds = 30, const std::string& headers = "") {
    return sipp("caller", ip, free_port(), uac_scenario(sipp_sdp, steps, "[service]", headers), 1,
                "-s " + number, "100;sip100;", seconds);
  }
  // A baresip soft-phone of extension number on ip, speaking codec, its microphone a sine of hz.
  std::unique_ptr<softphone> baresip(int number, const std::string& ip, const std::string& codec,
                                     int hz, bool auto_answer, bool srtp = false) {
    auto phone = std::make_unique<softphone>(
        t->dir() + "/baresip-" + std::to_string(number), ip,
        softphone::account(*t, number, srtp ? "tls" : "udp",
                           ";audio_codecs=" + codec + (auto_answer ? ";answermode=auto" : "") +
                               (srtp ? ";mediaenc=srtp-mand" : "")),
        hz);
    EXPECT_TRUE(t->wait_for_log("Account " + std::to_string(number) + " is registering", 5000))
        << phone->output();
    return phone;
  }
  // What sipp said and received, for failure messages.
  std::string sipp_log(const std::string& name) {
    return t->read_file("sipp-" + name + "/out.txt") + sipp_file(name, "_messages.log");
  }
  // The content of sipp's log file ending in suffix ("_errors.log": the calls it failed).
  std::string sipp_file(const std::string& name, const std::string& suffix) {
    std::string out;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(t->dir() + "/sipp-" + name, ec))
      if (e.path().string().ends_with(suffix)) out += slurp(e.path().string());
    return out;
  }
  // The messages sipp received that start with start (e.g. "NOTIFY sip:"), whole, in order.
  std::vector<std::string> sipp_received(const std::string& name, const std::string& start) {
    std::vector<std::string> out;
    const std::string log = sipp_file(name, "_messages.log");
    const std::string sep = "----------------------------------------------- ";
    for (size_t at = log.find(sep); at != std::string::npos;) {
      const size_t next = log.find(sep, at + sep.size());
      const std::string m = log.substr(at, next == std::string::npos ? next : next - at);
      const size_t received = m.find("message received");
      const size_t body = m.find("\n\n", received) + 1;
      if (received != std::string::npos && body != std::string::npos &&
          m.compare(body + 1, start.size(), start) == 0)
        out.push_back(m.substr(body + 1));
      at = next;
    }
    return out;
  }
  // The calls that reached a sipp phone: the distinct Call-IDs of the INVITEs it received.
  size_t calls_received(const std::string& name) {
    std::set<std::string> ids;
    for (const std::string& m : sipp_received(name, "INVITE sip:"))
      ids.insert(match(m, "\n[Cc]all-I[Dd]: *([^\r\n]+)"));
    return ids.size();
  }
  // No leg was collected as stale.
  void expect_no_expired_legs() {
    for (const auto& e : std::filesystem::directory_iterator(t->dir()))
      EXPECT_FALSE(e.path().filename().string().starts_with("expired-")) << e.path();
  }

  std::unique_ptr<telmond_process> t;
  std::vector<std::unique_ptr<peer>> peers;
  bool prompts = false;  // start() links the prompts and the music on hold
};

// ---- 1, 2: baresip calls baresip and hears it, then sipp calls and is called ----

// What sox hears in the recording heard (same effects on both) is the tone of sent: the same
// frequency, the level within 3 dB.
void expect_heard(const std::string& sent, const std::string& heard) {
  sound s, h;
  ASSERT_TRUE(measure(sent, s, trimmed) && measure(heard, h, trimmed)) << sent << " " << heard;
  std::printf("%s -> %s: %.0f Hz RMS %.4f, heard %.0f Hz RMS %.4f\n", sent.c_str(), heard.c_str(),
              s.hz, s.rms, h.hz, h.rms);
  EXPECT_NEAR(h.hz, s.hz, s.hz * 0.03) << heard;
  EXPECT_NEAR(20 * std::log10(h.rms / s.rms), 0, 3) << heard;
}

struct codec_row {
  const char* name;
  const char* codec_100;  // what baresip of 100 may use (name/rate/channels)
  const char* codec_101;
  bool srtp = false;  // both over TLS insisting on SRTP, 100 dialling sips:
};

// Extension 100 (baresip, a 600 Hz sine) calls 101 (baresip, answers by itself, 1000 Hz); each
// hears the other's tone, as sent (sox: same frequency, level within 3 dB); 100 hangs up and
// both see the call closed. With SRTP both legs are keyed both ways (the daemon logs each
// context it makes): the tones were decrypted and encrypted again between the legs. The daemon
// allows one call at a time: each next call (sipp calling 101, then 100 calling a sipp phone
// registered as 102, then 100 calling 101 again) proves the call object and legs of the one before
// are gone.
TEST_F(ExtensionCallsE2E, SoftphonesHearEachOtherAndEveryCallIsCleanedUp) {
  if (std::system("command -v baresip >/dev/null && command -v sox >/dev/null") != 0)
    GTEST_SKIP() << "no baresip or sox";
  for (const codec_row& r :
       {codec_row{"PCMU both", "PCMU/8000/1", "PCMU/8000/1"},
        codec_row{"G.722 against PCMU, transcoded", "PCMU/8000/1", "G722/16000/1"},
        codec_row{"SRTP over TLS", "PCMU/8000/1", "PCMU/8000/1", true}}) {
    SCOPED_TRACE(r.name);
    start("", {{"max_calls", "1"}});
    const auto a = baresip(100, "127.0.0.61", r.codec_100, 600, false, r.srtp);
    const auto b = baresip(101, "127.0.0.62", r.codec_101, 1000, true, r.srtp);
    peer& sipp_102 = callee_phone("102", "127.0.0.63", 102, uas_scenario(callee::answers));

    // baresip 1.0 puts "sip:" before a URI that holds no "sip:" ("sip:sips:101@..."): a
    // parameter carries one, so that the request URI stays sips and the call secure.
    ASSERT_TRUE(a->command("dial", r.srtp ? "sips:101@127.0.0.1;x=sip:" : "101"));
    ASSERT_TRUE(a->saw("CALL_ESTABLISHED") && b->saw("CALL_ESTABLISHED"))
        << a->output() << b->output() << t->log();
    std::this_thread::sleep_for(milliseconds(2500));  // both talk
    ASSERT_TRUE(a->command("hangup"));
    EXPECT_TRUE(a->saw("CALL_CLOSED") && b->saw("CALL_CLOSED")) << b->output();
    // Each spoke its own codec.
    for (const auto& [phone, codec] : {std::pair{&a, r.codec_100}, std::pair{&b, r.codec_101}}) {
      const std::string name = std::string(codec).substr(0, std::string(codec).find('/'));
      EXPECT_NE((*phone)->output().find("Set audio encoder: " + name + " "), std::string::npos)
          << (*phone)->output();
    }
    for (const auto& [speaker, listener] : {std::pair{&a, &b}, std::pair{&b, &a}})
      expect_heard((*speaker)->recording("enc"), (*listener)->recording("dec"));
    if (r.srtp) {
      std::set<std::string> keyed;  // "sending <Call-ID>", "receiving <Call-ID>"
      const std::string l = t->log();
      const std::regex line("SRTP (sending|receiving) with AES_CM_128_HMAC_SHA1_[0-9]+ for (\\S+)");
      for (auto i = std::sregex_iterator(l.begin(), l.end(), line); i != std::sregex_iterator();
           ++i)
        keyed.insert((*i)[1].str() + " " + (*i)[2].str());
      EXPECT_EQ(keyed.size(), 4u) << l;
      continue;  // the rest is about plain phones
    }

    // sipp calls baresip 101 as extension 100, talks a second and hangs up.
    EXPECT_EQ(caller_phone("127.0.0.64", "101", bye_steps(1000)).wait(15000), 0)
        << sipp_log("caller") << t->log();
    EXPECT_TRUE(b->saw("CALL_CLOSED", 2)) << b->output();
    // baresip 100 calls the sipp phone of 102, which answers; 100 hangs up.
    ASSERT_TRUE(a->command("dial", "102"));
    EXPECT_TRUE(a->saw("CALL_ESTABLISHED", 2)) << a->output() << sipp_log("102");
    ASSERT_TRUE(a->command("hangup"));
    EXPECT_EQ(sipp_102.wait(5000), 0) << sipp_log("102");
    // And 100 reaches 101 again.
    ASSERT_TRUE(a->command("dial", "101"));
    EXPECT_TRUE(a->saw("CALL_ESTABLISHED", 3) && b->saw("CALL_ESTABLISHED", 3)) << a->output();
    ASSERT_TRUE(a->command("hangup"));
    EXPECT_TRUE(b->saw("CALL_CLOSED", 3)) << b->output();
    expect_no_expired_legs();
  }
}

// Extension 100, a phone played here over raw UDP that offers only G.729, calls baresip 101,
// which speaks only PCMA: the daemon transcodes both ways. 100 sends 2 s of a 600 Hz tone coded
// by the codec engine (20 ms packets) and decodes with it what arrives meanwhile.
TEST_F(ExtensionCallsE2E, ToneCrossesTheTranscoderBetweenG729AndPcma) {
  if (std::system("command -v baresip >/dev/null && command -v sox >/dev/null") != 0)
    GTEST_SKIP() << "no baresip or sox";
  start("");
  const auto b = baresip(101, "127.0.4.2", "PCMA/8000/1", 1000, true);
  dialer a(*t, "127.0.4.1", "100");
  a.formats = "18\r\na=rtpmap:18 G729/8000\r\na=fmtp:18 annexb=no\r\n";
  ASSERT_EQ(final_of(a.call("101")), "200 Ok") << a.transcript << t->log();
  const std::string ip = match(a.last, "c=IN IP4 ([0-9.]+)");
  const int port = std::atoi(match(a.last, "m=audio ([0-9]+) RTP/AVP 18[\r ]").c_str());
  const std::string raw = "-t raw -e signed -b 16 -r 8000 -c 1 " + t->dir();
  ASSERT_EQ(std::system(("sox -n " + raw + "/sent.raw synth 2 sine 600 vol 0.5").c_str()), 0);
  const std::string sent = slurp(t->dir() + "/sent.raw");
  codec coder, decoder;
  std::ofstream heard(t->dir() + "/heard.raw", std::ios::binary);
  auto next = steady_clock::now();
  for (uint32_t n = 0; n < 125; ++n, next += milliseconds(20)) {  // and 0.5 s to hear the end
    if (n < 100)
      a.media().send_to(
          ip, port,
          rtp_header(18, n, n * 160, 77) +
              std::string(coder.encode(codec_g729, str(sent.substr(n * 320, 320))).view()));
    for (std::string p; steady_clock::now() < next;)
      if (a.media().receive(p, 2) && p.size() > 12 && (p[1] & 0x7f) == 18)
        heard << decoder.decode(codec_g729, str(p.substr(12))).view();
  }
  heard.close();
  EXPECT_EQ(final_of(a.request("BYE")), "200 Ok");
  expect_heard(raw + "/sent.raw", b->recording("dec"));
  expect_heard(b->recording("enc"), raw + "/heard.raw");
}

// ---- 3, 6: two registrations ring; the dialog package reports it ----

// Extension 103 has two phones, and 103's own phone watches its dialogs. 100 calls 103: both
// phones ring, the first answers, the other is cancelled with the reason "Call completed
// elsewhere"; the watcher is told early, confirmed and terminated in that order.
TEST_F(ExtensionCallsE2E, BothRegistrationsRingAndTheWatcherSeesTheDialog) {
  start("");
  // The watcher takes NOTIFYs until none has come for 4 s.
  const std::string watcher_steps =
      "<recv response=\"200\"/>\n<label id=\"more\"/>\n"
      "<recv request=\"NOTIFY\" timeout=\"4000\" ontimeout=\"done\"/>\n" +
      uas_send("200 OK", false, false, " next=\"more\"") + "<label id=\"done\"/>\n";
  peer& watcher = sipp("watcher", "127.0.0.70", e2e::free_port(),
                       e2e::sipp_challenged("SUBSCRIBE",
                                            "Contact: <sip:[field0]@[local_ip]:[local_port]>\n"
                                            "Event: dialog\nAccept: application/dialog-info+xml\n"
                                            "Expires: 600\nMax-Forwards: 70\nContent-Length: 0\n\n",
                                            watcher_steps),
                       1, "", "103;sip103;");
  peer& first = callee_phone("first", "127.0.0.71", 103, uas_scenario(callee::answers, 300));
  peer& other = callee_phone(
      "other", "127.0.0.72", 103,
      uas_scenario(callee::rings, 0, 0,
                   "<ereg regexp=\"text=.Call completed elsewhere.\" search_in=\"hdr\" "
                   "header=\"Reason:\" check_it=\"true\" assign_to=\"reason\"/>"));
  std::this_thread::sleep_for(milliseconds(500));  // the watcher's first NOTIFY is through

  dialer caller(*t, "127.0.0.73", "100");
  EXPECT_EQ(caller.call("103"), "180 Ringing | 200 Ok") << caller.transcript;
  EXPECT_EQ(other.wait(5000), 0) << sipp_log("other");
  std::this_thread::sleep_for(milliseconds(500));
  EXPECT_EQ(caller.request("BYE"), "200 Ok");
  EXPECT_EQ(first.wait(5000), 0) << sipp_log("first");
  EXPECT_EQ(calls_received("first"), 1u);
  EXPECT_EQ(calls_received("other"), 1u);

  // The watcher ends by its time-out (which sipp counts as a failed call).
  EXPECT_NE(watcher.wait(12000), -1);
  EXPECT_EQ(sipp_file("watcher", "_errors.log").find("unexpected"), std::string::npos)
      << sipp_log("watcher");
  std::string states;
  const std::regex state("<state[^>]*>([a-z]+)</state>");
  for (const std::string& n : sipp_received("watcher", "NOTIFY sip:"))
    for (std::sregex_iterator i(n.begin(), n.end(), state), end; i != end; ++i)
      states += (*i)[1].str() + " ";
  EXPECT_TRUE(std::regex_search(states, std::regex("early .*confirmed .*terminated ")))
      << states << sipp_log("watcher");
}

// ---- 4: forwarding and refusals ----

// 100 calls, row by row; 105 is the phone calls are forwarded to. 101 does not answer (cfn
// after 2 s); 102 is busy on its one line (cfb); 103 forwards everything (cfa); 104 does not
// want to be disturbed and forwards then (cfd); 106 does not want to be disturbed and forwards
// nowhere; 107 has 100 on its black list. 103, 104, 106 and 107 have a phone that must never
// ring, so that none of them counts as unreachable.
TEST_F(ExtensionCallsE2E, ForwardingAndRefusals) {
  start(ext_settings(101, {{"cfn", "105"}, {"cfn_timeout", "2"}}) +
        ext_settings(102, {{"cfb", "105"}, {"lines", "1"}}) + ext_settings(103, {{"cfa", "105"}}) +
        ext_settings(104, {{"dnd", "true"}, {"cfd", "105"}}) + more_extension(106) +
        ext_settings(106, {{"dnd", "true"}}) + more_extension(107) +
        row("adrbook", 1,
            {{"domain", "1"},
             {"user", std::to_string(ext_row(107))},
             {"number", "100"},
             {"name", "Caller"},
             {"type", "black"}}));
  peer& target = callee_phone("105", "127.0.0.80", 105, uas_scenario(callee::answers), 4);
  peer& no_answer = callee_phone("101", "127.0.0.81", 101, uas_scenario(callee::rings));
  callee_phone("102", "127.0.0.82", 102, uas_scenario(callee::answers));
  const int silent_port = e2e::free_port();
  for (int number : {103, 104, 106, 107})
    register_phone("silent-" + std::to_string(number), "127.0.0.85", silent_port, number);
  sipp("silent", "127.0.0.85", silent_port, uas_scenario(callee::answers), 1);
  // 102's one line is taken: 104 calls it and talks through all rows.
  dialer busy_call(*t, "127.0.0.83", "104");
  ASSERT_EQ(busy_call.call("102"), "180 Ringing | 200 Ok") << t->log();

  struct forwarding_row {
    const char* name;
    const char* number;
    bool forwarded;  // answered by 105, else refused
  } rows[] = {{"no answer", "101", true},
              {"busy", "102", true},
              {"always", "103", true},
              {"do not disturb", "104", true},
              {"do not disturb without forwarding", "106", false},
              {"black list", "107", false}};
  size_t forwarded = 0;
  for (const forwarding_row& r : rows) {
    SCOPED_TRACE(r.name);
    dialer caller(*t, "127.0.0.84", "100");
    const std::string answers = caller.call(r.number, 8000);
    const int code = std::atoi(final_of(answers).c_str());
    std::printf("%s: %s\n", r.name, answers.c_str());
    if (code == 200) {
      EXPECT_EQ(caller.request("BYE"), "200 Ok");
    }
    if (r.forwarded) {
      EXPECT_EQ(code, 200) << answers << t->log();
      ++forwarded;
    } else {
      EXPECT_GE(code, 400) << answers << t->log();
    }
    std::this_thread::sleep_for(milliseconds(300));
    EXPECT_EQ(calls_received("105"), forwarded) << sipp_log("105");
  }
  EXPECT_EQ(no_answer.wait(3000), 0) << sipp_log("101");  // cancelled when forwarded
  EXPECT_EQ(busy_call.request("BYE"), "200 Ok");
  EXPECT_EQ(target.wait(5000), 0) << sipp_log("105");
  EXPECT_EQ(calls_received("silent"), 0u) << sipp_log("silent");
}

// ---- 5: hold, blind and attended transfer ----

// Attended: 100 calls 102 and holds it (re-INVITE sendonly, answered recvonly), calls 103 and
// transfers 102 to it (REFER with Replaces). Blind: 100 calls 104, holds and resumes it, and
// transfers it to 105 (REFER). Either way the transferor leaves, the two others stay connected
// until the target hangs up 6 s after its answer, which ends the transferee's call.
TEST_F(ExtensionCallsE2E, HoldAndTransfers) {
  start("");
  struct transfer_row {
    const char* name;
    int transferee, target;
    bool attended;
  } rows[] = {{"attended", 102, 103, true}, {"blind", 104, 105, false}};
  int address = 90;
  const auto next_ip = [&] { return "127.0.0." + std::to_string(address++); };
  for (const transfer_row& r : rows) {
    SCOPED_TRACE(r.name);
    const std::string b = std::to_string(r.transferee), c = std::to_string(r.target);
    peer& transferee = callee_phone(b, next_ip(), r.transferee, uas_scenario(callee::answers));
    peer& target = callee_phone(c, next_ip(), r.target, uas_scenario(callee::hangs_up, 300, 6000));
    dialer first(*t, next_ip(), "100");
    ASSERT_EQ(first.call(b), "180 Ringing | 200 Ok") << t->log();
    EXPECT_EQ(first.request("INVITE", "", first.sdp("sendonly")), "200 Ok");
    EXPECT_NE(first.last.find("a=recvonly"), std::string::npos) << first.last;
    std::string refer_to = "<sip:" + c + "@localhost>";
    std::unique_ptr<dialer> second;
    if (r.attended) {
      second = std::make_unique<dialer>(*t, next_ip(), "100");
      ASSERT_EQ(second->call(c), "180 Ringing | 200 Ok") << t->log();
      refer_to = "<sip:" + c + "@localhost?Replaces=" + second->replaces() + ">";
    } else {
      EXPECT_EQ(first.request("INVITE", "", first.sdp("sendrecv")), "200 Ok");
      EXPECT_NE(first.last.find("a=sendrecv"), std::string::npos) << first.last;
    }
    const std::string refer = first.request(
        "REFER", "Refer-To: " + refer_to + "\r\nReferred-By: <sip:100@localhost>\r\n");
    EXPECT_EQ(code_of("SIP/2.0 " + final_of(refer)), 202) << refer << t->log();
    // The transferor leaves: the daemon ends its dialogs, or it hangs up itself as phones do
    // once the transfer is reported.
    for (dialer* d : {&first, second.get()}) {
      if (d && d->wait_request("BYE", 1000).empty()) {
        EXPECT_EQ(d->request("BYE"), "200 Ok");
      }
    }
    std::this_thread::sleep_for(milliseconds(500));
    EXPECT_TRUE(transferee.running()) << sipp_log(b) << t->log();  // talking to the target now
    EXPECT_EQ(calls_received(c), 1u) << sipp_log(c);
    EXPECT_EQ(target.wait(10000), 0) << sipp_log(c);
    EXPECT_EQ(transferee.wait(4000), 0) << sipp_log(b) << t->log();
  }
  expect_no_expired_legs();
}

// The held party hears the music on hold of the demo configuration (the system's default
// source, moh.wav) until the call is resumed: non-silent PCMU on its media address.
TEST_F(ExtensionCallsE2E, HeldPartyHearsMusicUntilResumed) {
  prompts = true;
  start("");
  quick_callee held(*t, "127.0.0.98", "101");
  ASSERT_TRUE(held.start());
  dialer holder(*t, "127.0.0.99", "100");
  ASSERT_EQ(final_of(holder.call("101")), "200 Ok") << t->log();
  // Distinct sample values in the PCMU payloads that reach the held phone within ms.
  const auto heard = [&](int ms) {
    std::set<char> values;
    std::string bytes;
    for (auto end = steady_clock::now() + milliseconds(ms); steady_clock::now() < end;)
      if (held.media().receive(bytes, 50) && bytes.size() > 12 && (bytes[1] & 0x7f) == 0)
        values.insert(bytes.begin() + 12, bytes.end());
    return values.size();
  };
  EXPECT_EQ(holder.request("INVITE", "", holder.sdp("sendonly")), "200 Ok");
  EXPECT_GT(heard(1500), 20u) << "no music reached the held phone\n" << t->log();
  EXPECT_EQ(holder.request("INVITE", "", holder.sdp("sendrecv")), "200 Ok");
  heard(300);  // what was on its way
  EXPECT_LT(heard(1000), 3u) << "music after the resume";
  EXPECT_EQ(holder.request("BYE"), "200 Ok");
}

// ---- 7: the call limits ----

// With the system limit of 2 calls the third call at a time is refused with 503, with the
// domain's limit of 2 already the second; once the calls end, a call is admitted again, and a
// number nobody has is refused with 404.
TEST_F(ExtensionCallsE2E, CallLimits) {
  struct limit_row {
    const char* name;
    std::string rows;
    std::map<std::string, std::string> settings;
    int admitted;  // calls up at a time
  } rows[] = {{"system", "", {{"max_calls", "2"}}, 2},
              {"domain", row("domains", 1, {{"max_calls", "2"}}), {}, 1}};
  for (const limit_row& r : rows) {
    SCOPED_TRACE(r.name);
    start(r.rows, r.settings);
    // 101 rings for every admitted call and is cancelled.
    peer& ringing =
        callee_phone("101", "127.0.0.101", 101, uas_scenario(callee::rings), r.admitted + 1);
    std::vector<std::unique_ptr<dialer>> up;
    for (int i = 0; i < r.admitted; ++i) {
      up.push_back(std::make_unique<dialer>(*t, "127.0.0.102", "100"));
      EXPECT_EQ(up.back()->call("101", 3000, 180), "180 Ringing") << i << up.back()->transcript;
    }
    dialer refused(*t, "127.0.0.103", "100");
    EXPECT_EQ(final_of(refused.call("101")), "503 Service Unavailable") << t->log();
    for (auto& d : up) EXPECT_EQ(d->cancel(), "200 Ok / 487 Request Terminated");
    std::this_thread::sleep_for(milliseconds(300));
    dialer again(*t, "127.0.0.104", "100");
    EXPECT_EQ(again.call("101", 3000, 180), "180 Ringing") << t->log();
    EXPECT_EQ(again.cancel(), "200 Ok / 487 Request Terminated");
    EXPECT_EQ(ringing.wait(5000), 0) << sipp_log("101");
    dialer unknown(*t, "127.0.0.105", "100");
    EXPECT_EQ(final_of(unknown.call("199")), "404 Not Found") << unknown.transcript;
  }
}

// ---- 8: the auto attendant ----

// 800 is an auto attendant. sipp calls it as 100 and is answered; it sends the digits 1, 0, 1
// as RFC 4733 events (sipp's captures): extension 101 rings and answers, and the caller talks
// to it until it hangs up.
TEST_F(ExtensionCallsE2E, AutoAttendantConnectsTheDialledExtension) {
  if (!std::ifstream(digits + "1.pcap")) GTEST_SKIP() << "no sipp captures of digits";
  start(row("users", 9, {{"alias", "9"}, {"domain", "1"}, {"id", "1"}, {"type", "attendants"}}) +
        row("user_alias", 9, {{"domain", "1"}, {"name", "800"}, {"user", "9"}}) +
        row("attendants", 1, {{"display_name", "Reception"}}));
  peer& extension = callee_phone("101", "127.0.0.110", 101, uas_scenario(callee::answers));
  std::string keys = "<pause milliseconds=\"1000\"/>\n";
  for (const char* d : {"1", "0", "1"}) keys += play(digits + d + ".pcap", 800);
  EXPECT_EQ(caller_phone("127.0.0.111", "800", keys + bye_steps(3000)).wait(20000), 0)
      << sipp_log("caller") << t->log();
  EXPECT_EQ(extension.wait(5000), 0) << sipp_log("101") << t->log();
  EXPECT_EQ(calls_received("101"), 1u);
}

// 101 takes no anonymous call without a name: 100 calls with "Privacy: id" and records his name
// until "#"; 101 answers, hears it and accepts with a key; the two talk until 100 hangs up.
TEST_F(ExtensionCallsE2E, AnonymousCallerIsAnnouncedByName) {
  if (!std::ifstream(digits + "1.pcap")) GTEST_SKIP() << "no sipp captures of digits";
  prompts = true;
  start(ext_settings(101, {{"anonymous", "true"}}));
  peer& extension =
      callee_phone("101", "127.0.0.112", 101,
                   uas_scenario(callee::answers, 300, 0, "",
                                "<pause milliseconds=\"2000\"/>\n" + play(digits + "1.pcap", 0)));
  peer& caller = caller_phone(
      "127.0.0.113", "101",
      "<pause milliseconds=\"12000\"/>\n" + play(digits + "pound.pcap", 0) + bye_steps(6000), 40,
      "Privacy: id\n");
  EXPECT_EQ(caller.wait(40000), 0) << sipp_log("caller") << t->log();
  EXPECT_EQ(extension.wait(5000), 0) << sipp_log("101") << t->log();
  EXPECT_NE(t->log().find("Attendant: Anonymous caller accepted by 101"), std::string::npos)
      << t->log();
}

// ---- 9: faults ----

// A caller vanishes without BYE: the media time-out (10 s, the least) ends the call and the
// callee gets a BYE. The caller's leg reports its end only once its own BYE has failed (it waits
// 8 s for that), so the callee's BYE is due within 10 + 8 s and some slack. Then CANCELs race
// the callee's answer: whichever wins, the caller gets a final answer, the callee's INVITE or
// dialog is ended, and with one call allowed at a time the next call is admitted. A BYE sent
// right behind a re-INVITE is answered and ends the callee's side too.
TEST_F(ExtensionCallsE2E, VanishedCallerAndRequestsRacingTheAnswers) {
  // One call at a time; no limit of new INVITEs per second (the races come quickly).
  start("", {{"max_calls", "1"}, {"timeout_connected", "10"}, {"max_udp_invite", "0"}});
  peer& callee = callee_phone("102", "127.0.0.120", 102, uas_scenario(callee::answers));
  {
    dialer vanishing(*t, "127.0.0.121", "100");
    ASSERT_EQ(vanishing.call("102"), "180 Ringing | 200 Ok") << vanishing.transcript;
  }  // gone: no media, no BYE, its port closed
  EXPECT_EQ(callee.wait(22000), 0) << sipp_log("102") << t->log();

  // The callee answers 0 to 40 ms after its 180; the caller cancels 0 to 100 ms after it.
  quick_callee fast(*t, "127.0.0.122", "103");
  ASSERT_TRUE(fast.start());
  for (const auto& [answer_ms, cancel_ms] : std::vector<std::pair<int, int>>{
           {0, 0}, {0, 20}, {0, 100}, {5, 5}, {10, 0}, {20, 40}, {40, 0}, {2, 10}}) {
    SCOPED_TRACE(std::to_string(answer_ms) + " " + std::to_string(cancel_ms));
    fast.answer_ms = answer_ms;
    dialer racer(*t, "127.0.0.123", "100");
    EXPECT_EQ(racer.call("103", 3000, 180), "180 Ringing") << racer.transcript;
    std::this_thread::sleep_for(milliseconds(cancel_ms));
    const std::string outcome = racer.cancel();
    EXPECT_TRUE(
        std::regex_match(outcome, std::regex("(200 Ok|481 .*) / (487 Request Terminated|200 Ok)")))
        << racer.transcript;
    // The answer won: the daemon ends the call, or the caller hangs up.
    if (outcome.ends_with("200 Ok") && racer.wait_request("BYE", 1000).empty()) {
      EXPECT_EQ(racer.request("BYE"), "200 Ok") << racer.transcript;
    }
    // The callee's side ends too: its INVITE by a 487 and its ACK, or its dialog by a BYE.
    EXPECT_TRUE(eventually(2000, [&] { return fast.open() == 0; })) << outcome;
  }
  // A BYE right behind a re-INVITE: both are answered, and the call ends on both sides.
  {
    peer& held = callee_phone("104", "127.0.0.125", 104, uas_scenario(callee::answers));
    dialer racer(*t, "127.0.0.126", "100");
    ASSERT_EQ(racer.call("104"), "180 Ringing | 200 Ok") << racer.transcript;
    const std::string outcome = racer.bye_racing_reinvite();
    EXPECT_TRUE(std::regex_match(outcome, std::regex("(200 Ok|4\\d\\d .*) / 200 Ok")))
        << outcome << racer.transcript;
    EXPECT_EQ(held.wait(5000), 0) << sipp_log("104");
  }

  dialer next(*t, "127.0.0.124", "100");
  EXPECT_EQ(final_of(next.call("103")), "200 Ok") << next.transcript << t->log();
  EXPECT_EQ(next.request("BYE"), "200 Ok");
  expect_no_expired_legs();
}

// Fifty calls between sipp phones are up when the daemon gets SIGTERM. It ends at once and is
// started again: the phones' BYEs then find no dialog (481), a new call goes through, and no
// leg is left to collect.
TEST_F(ExtensionCallsE2E, RestartAfterSigtermDuringFiftyCallsLeavesNothing) {
  const int calls = 50;
  start("", {{"max_udp_invite", "0"}});  // no limit of new calls per second
  callee_phone("102", "127.0.0.130", 102, uas_scenario(callee::answers, 0), calls);
  peer& callers = sipp("callers", "127.0.0.131", e2e::free_port(),
                       uac_scenario(sipp_sdp, bye_steps(10000, 481)), calls,
                       "-s 102 -r 25 -l " + std::to_string(calls), "100;sip100;", 60);
  // All calls are up once 102 has received the ACK of every answer.
  eventually(15000, [&] { return sipp_received("102", "ACK sip:").size() >= size_t(calls); });
  ASSERT_EQ(sipp_received("102", "ACK sip:").size(), size_t(calls)) << sipp_log("callers");
  ASSERT_EQ(kill(t->pid(), SIGTERM), 0);
  EXPECT_NE(t->wait_exit(5000), -1);
  EXPECT_TRUE(t->wait_for_log("Stopping on signal 15", 1000));
  ASSERT_TRUE(t->restart()) << t->error();
  EXPECT_EQ(callers.wait(20000), 0) << sipp_log("callers");

  peer& after = callee_phone("103", "127.0.0.132", 103, uas_scenario(callee::answers));
  dialer caller(*t, "127.0.0.133", "100");
  EXPECT_EQ(caller.call("103"), "180 Ringing | 200 Ok") << t->log();
  EXPECT_EQ(caller.request("BYE"), "200 Ok");
  EXPECT_EQ(after.wait(5000), 0) << sipp_log("103");
  expect_no_expired_legs();
}

}  // namespace
