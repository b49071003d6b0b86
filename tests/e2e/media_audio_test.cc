// Real audio through the daemon: two sipp callers to "relay" are linked by the call responder
// (tests/e2e/call_responder.cc); the second streams a 1 kHz tone made with sox in PCMU, the
// first caller's media address is our socket, and sox measures what arrives there. Once with
// PCMU on both legs (packets relayed as they are) and once with a first caller that offers only
// PCMA (the daemon transcodes). Every packet stays on loopback; every wait and every sipp run is
// bounded; the daemon is stopped by the harness.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <memory>
#include <regex>
#include <string>
#include <thread>

#include "tests/e2e/harness.h"

namespace {

// What sox says of a recording: the rough frequency (Hz) and the RMS amplitude (full scale 1).
struct sound {
  double hz = 0, rms = 0;
};

bool measure(const std::string& input, sound& s) {
  FILE* f = popen(("timeout 10 sox " + input + " -n stat 2>&1").c_str(), "r");
  if (!f) return false;
  std::string text;
  for (char buf[512]; fgets(buf, sizeof buf, f);) text += buf;
  pclose(f);
  std::smatch hz, rms;
  if (!std::regex_search(text, hz, std::regex(R"(Rough\s+frequency:\s+([0-9.]+))")) ||
      !std::regex_search(text, rms, std::regex(R"(RMS\s+amplitude:\s+([0-9.]+))")))
    return false;
  s.hz = std::stod(hz[1]);
  s.rms = std::stod(rms[1]);
  return true;
}

int run(const std::string& cmd) {
  const int rc = std::system(cmd.c_str());
  return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

class MediaAudioE2E : public ::testing::Test {
 protected:
  void SetUp() override {
    if (run("command -v sipp >/dev/null 2>&1 && command -v sox >/dev/null 2>&1") != 0)
      GTEST_SKIP() << "no sipp or sox";
  }
  void start() {
    t.reset();
    e2e::telmond_options o;
    o.binary = CALL_RESPONDER_BINARY;
    o.files["accesslist/1.xml"] =
        "<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n<row><adr>127.0.0.48</adr><mask>28</mask>"
        "<type>true</type><reason>test</reason></row>";
    t = std::make_unique<e2e::telmond_process>(o);
    ASSERT_TRUE(t->start()) << t->error();
  }
  // One sipp call from ip to "relay" with the scenario xml, at most 15 s; its exit status.
  int sipp(const std::string& name, const std::string& ip, const std::string& xml, int pause_ms) {
    const std::string dir = t->dir() + "/sipp-" + name;
    run("mkdir -p " + dir);
    std::ofstream(dir + "/scenario.xml") << xml;
    return run("cd " + dir + " && timeout 15 sipp -sf scenario.xml -m 1 -l 1 -i " + ip + " -p " +
               std::to_string(e2e::free_port()) + " -mi " + ip + " -mp " +
               std::to_string(e2e::free_port()) + " -s relay -d " + std::to_string(pause_ms) +
               " -timeout 10s -recv_timeout 4000 -nostdin 127.0.0.1:" +
               std::to_string(t->ports().sip_udp) + " > sipp.out 2>&1");
  }
  std::unique_ptr<e2e::telmond_process> t;
};

TEST_F(MediaAudioE2E, ToneCrossesRelayAndTranscoding) {
  struct row {
    const char* name;
    int pt;                // what the first caller offers and must receive
    const char* rtpmap;    // its a=rtpmap line
    const char* sox_type;  // the raw format of that payload for sox
  } rows[] = {
      {"pass-through", 0, "a=rtpmap:0 PCMU/8000", "ul"},
      {"transcoded", 8, "a=rtpmap:8 PCMA/8000", "al"},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.name);
    start();
    const std::string dir = t->dir();
    ASSERT_EQ(run("cd " + dir + " && sox -n -r 8000 -c 1 tone.wav synth 2 sine 1000 vol 0.5 && " +
                  "sox tone.wav -t ul tone.ul"),
              0);
    sound sent;
    ASSERT_TRUE(measure(dir + "/tone.wav", sent));

    e2e::udp_peer media("127.0.0.57");
    std::string uac_a, uac_b;
    run("sipp -sd uac > " + dir + "/uac.xml");  // exits 99 after printing the scenario
    uac_a = uac_b = e2e::slurp(dir + "/uac.xml");
    const std::string offer = std::to_string(media.port()) + " RTP/AVP " + std::to_string(r.pt);
    for (auto [from, to] : {std::pair<std::string, std::string>{"[media_ip]", "127.0.0.57"},
                            {"[media_port] RTP/AVP 0", offer},
                            {"a=rtpmap:0 PCMU/8000", r.rtpmap}})
      uac_a.replace(uac_a.find(from), from.size(), to);
    uac_b.insert(uac_b.find("<pause/>"),
                 "<nop><action><exec rtp_stream=\"../tone.ul,1,0\"/></action></nop>");

    int rc_a = -1;
    std::thread a([&] { rc_a = sipp("a", "127.0.0.56", uac_a, 4500); });
    const bool ringing = t->wait_for_log("Call responder: GetDialogState", 3000);
    int rc_b = ringing ? sipp("b", "127.0.0.58", uac_b, 3000) : -1;

    // The payloads of the tone; packets of one repeated byte are the silence around it.
    std::string payload, p;
    int packets = 0, wrong_type = 0;
    while (packets < 200 && media.receive(p, 1500)) {
      if (p.size() <= 12) continue;
      if ((p[1] & 0x7f) != r.pt) {
        ++wrong_type;
        continue;
      }
      const std::string body = p.substr(12 + 4 * size_t(p[0] & 0x0f));
      if (body.find_first_not_of(body[0]) == std::string::npos) continue;
      payload += body;
      ++packets;
    }
    a.join();
    EXPECT_TRUE(ringing);
    EXPECT_EQ(rc_a, 0) << t->read_file("sipp-a/sipp.out");
    EXPECT_EQ(rc_b, 0) << t->read_file("sipp-b/sipp.out");
    EXPECT_EQ(wrong_type, 0);
    EXPECT_GE(payload.size(), 8000u * 3 / 2);  // at least 1.5 s of the 2 s
    std::ofstream(dir + "/heard.raw", std::ios::binary) << payload;
    sound heard;
    ASSERT_TRUE(
        measure(std::string("-t ") + r.sox_type + " -r 8000 -c 1 " + dir + "/heard.raw", heard));
    const double db = 20 * std::log10(heard.rms / sent.rms);
    std::printf("%s: %zu bytes, %.0f Hz, RMS %.4f (sent %.4f), %+.2f dB\n", r.name, payload.size(),
                heard.hz, heard.rms, sent.rms, db);
    EXPECT_NEAR(sent.hz, 1000, 30);  // sox's estimate from zero crossings
    EXPECT_NEAR(heard.hz, sent.hz, 10);
    EXPECT_NEAR(db, 0, 2);
  }
}

}  // namespace
