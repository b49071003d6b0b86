// Real audio through the daemon: two sipp callers to "relay" are linked by the call responder
// (tests/e2e/call_responder.cc); the second streams a 1 kHz tone made with sox in PCMU, the
// first caller's media address is our socket, and sox measures what arrives there. Once with
// PCMU on both legs (packets relayed as they are), then with a first caller that offers only
// PCMA, then only GSM (the daemon transcodes). Digits: the second caller replays sipp's capture
// of digit 1 as telephone events, which reach the first caller under its own payload type.
// Every packet stays on loopback; every wait and every sipp run is bounded; the daemon is
// stopped by the harness.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "tests/e2e/harness.h"
#include "tests/e2e/harness_phones.h"

namespace {

using e2e::measure;
using e2e::sound;

int run(const std::string& cmd) {
  const int rc = std::system(cmd.c_str());
  return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

using edit = std::pair<std::string, std::string>;  // a scenario text and its replacement
const std::string sdp_port = "[media_port] RTP/AVP 0", pcmu = "a=rtpmap:0 PCMU/8000";

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
    o.allow("127.0.0.48", 28);
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
  // Calls "relay" from a (media on our socket), then from b, with their scenario edits;
  // returns the RTP packets reaching our socket until 1.5 s pass without one.
  std::vector<std::string> call(e2e::udp_peer& media, std::vector<edit> a_edits,
                                const std::vector<edit>& b_edits) {
    const std::string dir = t->dir();
    run("sipp -sd uac > " + dir + "/uac.xml");  // exits 99 after printing the scenario
    std::string uac_a = e2e::slurp(dir + "/uac.xml"), uac_b = uac_a;
    a_edits.insert(a_edits.begin(), {"[media_ip]", "127.0.0.57"});
    for (auto& [xml, edits] : {std::pair{&uac_a, a_edits}, std::pair{&uac_b, b_edits}})
      for (const auto& [from, to] : edits) xml->replace(xml->find(from), from.size(), to);
    int rc_a = -1;
    std::thread a([&] { rc_a = sipp("a", "127.0.0.56", uac_a, 4500); });
    const bool ringing = t->wait_for_log("Call responder: GetDialogState", 3000);
    int rc_b = ringing ? sipp("b", "127.0.0.58", uac_b, 3000) : -1;
    std::vector<std::string> packets;
    for (std::string p; packets.size() < 500 && media.receive(p, 1500);)
      if (p.size() > 12) packets.push_back(p);
    a.join();
    EXPECT_TRUE(ringing);
    EXPECT_EQ(rc_a, 0) << t->read_file("sipp-a/sipp.out");
    EXPECT_EQ(rc_b, 0) << t->read_file("sipp-b/sipp.out");
    return packets;
  }
  std::unique_ptr<e2e::telmond_process> t;
};

TEST_F(MediaAudioE2E, ToneCrossesRelayAndTranscoding) {
  struct row {
    const char* name;
    int pt;                     // what the first caller offers and must receive
    const char* rtpmap;         // its a=rtpmap line
    const char* sox_type;       // the format of that payload for sox
    size_t bytes_per_s, frame;  // its bytes per second and per frame
  } rows[] = {
      {"pass-through", 0, "a=rtpmap:0 PCMU/8000", "ul", 8000, 1},
      {"transcoded", 8, "a=rtpmap:8 PCMA/8000", "al", 8000, 1},
      {"transcoded to GSM", 3, "a=rtpmap:3 GSM/8000", "gsm", 1650, 33},
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
    const auto packets =
        call(media,
             {{sdp_port, std::to_string(media.port()) + " RTP/AVP " + std::to_string(r.pt)},
              {pcmu, r.rtpmap}},
             {{"<pause/>",
               "<nop><action><exec rtp_stream=\"../tone.ul,1,0\"/></action></nop><pause/>"}});
    // The payloads of the tone; packets of one repeated byte are the silence around it (sox
    // trims what silence is left, such as GSM's).
    std::string payload;
    int wrong = 0;  // packets of another payload type or not in whole frames
    for (const std::string& p : packets) {
      const std::string body = p.substr(12 + 4 * size_t(p[0] & 0x0f));
      if ((p[1] & 0x7f) != r.pt || body.size() % r.frame)
        ++wrong;
      else if (body.find_first_not_of(body[0]) != std::string::npos)
        payload += body;
    }
    EXPECT_EQ(wrong, 0);
    EXPECT_GE(payload.size(), r.bytes_per_s * 3 / 2);  // at least 1.5 s of the 2 s
    const std::string heard_file = dir + "/heard." + r.sox_type;
    std::ofstream(heard_file, std::ios::binary) << payload;
    sound heard;
    ASSERT_TRUE(measure(std::string("-t ") + r.sox_type + " -r 8000 -c 1 " + heard_file, heard,
                        "silence 1 0.02 2% reverse silence 1 0.02 2% reverse"));
    const double db = 20 * std::log10(heard.rms / sent.rms);
    std::printf("%s: %zu bytes, %.0f Hz, RMS %.4f (sent %.4f), %+.2f dB\n", r.name, payload.size(),
                heard.hz, heard.rms, sent.rms, db);
    EXPECT_NEAR(sent.hz, 1000, 30);  // sox's estimate from zero crossings
    // GSM's coding noise adds zero crossings: a few per cent up is still the tone; a wrong rate
    // or a dropped half of the packets is not.
    EXPECT_NEAR(heard.hz, sent.hz, sent.hz * 0.03);
    EXPECT_NEAR(db, 0, 2);
  }
}

// Digit 1 as telephone events from sipp's capture (payload type 101) reaches the first caller
// under the payload type of its own SDP (96), the last packets with the end bit.
TEST_F(MediaAudioE2E, TelephoneEventsRelayed) {
  const std::string pcap = "/usr/share/sip-tester/dtmf_2833_1.pcap";
  if (!std::ifstream(pcap)) GTEST_SKIP() << "no " << pcap;
  start();
  e2e::udp_peer media("127.0.0.57");
  const auto te = [](const std::string& port, const std::string& pt) {
    return std::vector<edit>{{sdp_port, port + " RTP/AVP 0 " + pt},
                             {pcmu, pcmu + "\na=rtpmap:" + pt + " telephone-event/8000"}};
  };
  std::vector<edit> a = te(std::to_string(media.port()), "96"), b = te("[media_port]", "101");
  b.push_back(
      {"<pause/>", "<nop><action><exec play_pcap_audio=\"" + pcap + "\"/></action></nop><pause/>"});
  std::string events;  // per telephone event: its event number, then E when it ends
  int others = 0;
  for (const std::string& p : call(media, a, b)) {
    const std::string body = p.substr(12 + 4 * size_t(p[0] & 0x0f));
    if ((p[1] & 0x7f) == 96 && body.size() == 4)
      events += std::to_string(body[0]) + (body[1] & 0x80 ? "E " : " ");
    else if ((p[1] & 0x7f) != 0 || body.find_first_not_of(body[0]) != std::string::npos)
      ++others;  // only silence may come besides the events
  }
  std::printf("telephone events: %s\n", events.c_str());
  EXPECT_EQ(others, 0);
  EXPECT_TRUE(std::regex_match(events, std::regex("(1 ){3,}(1E )+"))) << events;
}

}  // namespace
