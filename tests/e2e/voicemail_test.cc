// A voicemail journey through the real daemon with its prompts: 100 calls 101, which has no
// phone, so the call reaches 101's mailbox at once; 100 skips the greeting with "#", plays a tone
// as RTP and hangs up. The message is a messages row and a recording with the tone in it, and a
// phone of 100 subscribed to 101's message summary is told that messages wait. Then 100 dials
// the mailbox directly (the domain's mailbox prefix 8 + 101), logs in with 101's PIN, hears the
// message and deletes it (7): row and recording are gone and the subscriber is told so.
// Digits are RFC 4733 events from sipp's captures; every packet stays on loopback.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <regex>
#include <string>
#include <thread>

#include "base/digest.h"
#include "tests/e2e/harness.h"

namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

std::string header_of(const std::string& m, const std::string& name) {
  const size_t at = m.find("\r\n" + name + ":");
  if (at == std::string::npos) return "";
  const size_t start = m.find_first_not_of(' ', at + name.size() + 3);
  return m.substr(start, m.find("\r\n", start) - start);
}
std::string md5_of(const std::string& text) {
  return std::string(md5_hex(str(text.c_str())).view());
}
std::string match(const std::string& text, const std::string& re) {
  std::smatch m;
  return std::regex_search(text, m, std::regex(re)) ? m[1].str() : "";
}

// A pcap of PCMU RTP packets (Ethernet, IPv4, UDP) carrying the u-law samples, 20 ms each:
// what sipp's play_pcap_audio sends to the call's media address.
bool write_rtp_pcap(const std::string& path, const std::string& ulaw) {
  std::string out;
  const auto le32 = [&](uint32_t v) {
    for (int i = 0; i < 4; ++i) out += char(v >> (8 * i));
  };
  const auto be = [&](uint32_t v, int bytes) {
    for (int i = bytes - 1; i >= 0; --i) out += char(v >> (8 * i));
  };
  le32(0xa1b2c3d4), out += std::string("\x02\x00\x04\x00", 4), le32(0), le32(0), le32(65535),
      le32(1);
  for (size_t at = 0, n = 0; at + 160 <= ulaw.size(); at += 160, ++n) {
    const uint32_t len = 14 + 20 + 8 + 12 + 160;
    le32(uint32_t(n / 50)), le32(uint32_t(n % 50 * 20000)), le32(len), le32(len);
    out += std::string(12, 0) + std::string("\x08\x00", 2);             // Ethernet
    be(0x4500, 2), be(len - 14, 2), be(0, 4), be(0x4011, 2), be(0, 2);  // IPv4, UDP
    be(0x7f000001, 4), be(0x7f000001, 4);
    be(6000, 2), be(6000, 2), be(len - 34, 2), be(0, 2);                         // UDP
    be(0x8000, 2), be(uint32_t(n), 2), be(uint32_t(n * 160), 4), be(0x1234, 4);  // RTP
    out += ulaw.substr(at, 160);
  }
  std::ofstream f(path, std::ios::binary);
  return bool(f << out);
}

// A sipp caller: [field0] (password [field1]) calls [field2], answers the challenge, and after
// the answer does the steps, then hangs up.
std::string caller_scenario(const std::string& steps) {
  const auto invite = [](int cseq, const std::string& auth) {
    return "<send retrans=\"500\"><![CDATA[\nINVITE sip:[field2]@localhost SIP/2.0\n"
           "Via: SIP/2.0/[transport] [local_ip]:[local_port];branch=[branch]\n"
           "From: <sip:[field0]@localhost>;tag=[pid]vm[call_number]\n"
           "To: <sip:[field2]@localhost>\nCall-ID: [call_id]\nCSeq: " +
           std::to_string(cseq) +
           " INVITE\nContact: <sip:[field0]@[local_ip]:[local_port]>\nMax-Forwards: 70\n" + auth +
           "Content-Type: application/sdp\nContent-Length: [len]\n\n"
           "v=0\no=- 1 1 IN IP4 [local_ip]\ns=-\nc=IN IP4 [media_ip]\nt=0 0\n"
           "m=audio [media_port] RTP/AVP 0 101\na=rtpmap:0 PCMU/8000\n"
           "a=rtpmap:101 telephone-event/8000\na=fmtp:101 0-15\n]]></send>\n"
           "<recv response=\"100\" optional=\"true\"/>\n";
  };
  const std::string ack_and_bye_head =
      "Via: SIP/2.0/[transport] [local_ip]:[local_port];branch=[branch]\n"
      "From: <sip:[field0]@localhost>;tag=[pid]vm[call_number]\n[last_To:]\nCall-ID: [call_id]\n";
  return "<?xml version=\"1.0\" encoding=\"ISO-8859-1\" ?>\n<scenario name=\"caller\">\n" +
         invite(1, "") + "<recv response=\"401\" auth=\"true\"/>\n" +
         "<send><![CDATA[\nACK sip:[field2]@localhost SIP/2.0\n[last_Via:]\n"
         "From: <sip:[field0]@localhost>;tag=[pid]vm[call_number]\n[last_To:]\n"
         "Call-ID: [call_id]\nCSeq: 1 ACK\nMax-Forwards: 70\nContent-Length: 0\n\n]]></send>\n" +
         invite(2, "[authentication username=\"[field0]\" password=\"[field1]\"]\n") +
         "<recv response=\"180\" optional=\"true\"/>\n<recv response=\"183\" optional=\"true\"/>\n"
         "<recv response=\"200\" rrs=\"true\"/>\n<send><![CDATA[\nACK [next_url] SIP/2.0\n" +
         ack_and_bye_head + "CSeq: 2 ACK\nMax-Forwards: 70\nContent-Length: 0\n\n]]></send>\n" +
         steps + "<send retrans=\"500\"><![CDATA[\nBYE [next_url] SIP/2.0\n" + ack_and_bye_head +
         "CSeq: 3 BYE\nMax-Forwards: 70\nContent-Length: 0\n\n]]></send>\n"
         "<recv response=\"200\"/>\n</scenario>\n";
}
// Steps that play a capture and wait ms.
std::string play(const std::string& pcap, int ms) {
  return "<nop><action><exec play_pcap_audio=\"" + pcap +
         "\"/></action></nop>\n<pause milliseconds=\"" + std::to_string(ms) + "\"/>\n";
}
const std::string digits = "/usr/share/sip-tester/dtmf_2833_";

// A raw UDP phone of 100 subscribed to 101's message summary; it answers every NOTIFY.
class mwi_watcher {
 public:
  explicit mwi_watcher(int sip_port) : sip_("127.0.0.121"), port_(sip_port) {}
  // SUBSCRIBE, challenged once: the final status line.
  std::string subscribe() {
    std::string answer;
    for (int cseq = 1; cseq <= 2; ++cseq) {
      std::string auth;
      if (!nonce_.empty()) {
        const std::string uri = "sip:101@localhost";
        const std::string response = md5_of(md5_of("100:" + realm_ + ":sip100") + ":" + nonce_ +
                                            ":" + md5_of("SUBSCRIBE:" + uri));
        auth = "Authorization: Digest username=\"100\",realm=\"" + realm_ + "\",nonce=\"" + nonce_ +
               "\",uri=\"" + uri + "\",response=\"" + response + "\",algorithm=MD5\r\n";
      }
      const std::string me = sip_.ip() + ":" + std::to_string(sip_.port());
      sip_.send_to("127.0.0.1", port_,
                   "SUBSCRIBE sip:101@localhost SIP/2.0\r\nVia: SIP/2.0/UDP " + me +
                       ";branch=z9hG4bK-mwi" + std::to_string(cseq) +
                       ";rport\r\nFrom: <sip:100@localhost>;tag=mwi\r\nTo: <sip:101@localhost>\r\n"
                       "Call-ID: vm-mwi\r\nCSeq: " +
                       std::to_string(cseq) + " SUBSCRIBE\r\nContact: <sip:100@" + me +
                       ">\r\nEvent: message-summary\r\nExpires: 600\r\nMax-Forwards: 70\r\n" +
                       auth + "Content-Length: 0\r\n\r\n");
      answer = next("SIP/2.0 ", 3000, "");
      while (answer.rfind("SIP/2.0 1", 0) == 0) answer = next("SIP/2.0 ", 3000, "");
      nonce_ = match(header_of(answer, "WWW-Authenticate"), "nonce=\"([^\"]*)\"");
      realm_ = match(header_of(answer, "WWW-Authenticate"), "realm=\"([^\"]*)\"");
      if (answer.rfind("SIP/2.0 401", 0) != 0) break;
    }
    return answer.substr(0, answer.find("\r\n"));
  }
  // The first message within ms that starts with start and contains text ("" for none); the
  // NOTIFYs on the way are answered 200 and kept in seen.
  std::string next(const std::string& start, int ms, const std::string& text) {
    for (auto end = steady_clock::now() + milliseconds(ms); steady_clock::now() < end;) {
      std::string m;
      if (!sip_.receive(m, 200)) continue;
      if (m.rfind("NOTIFY ", 0) == 0) {
        seen += m + "\n";
        std::string ok = "SIP/2.0 200 OK\r\n";
        for (const char* h : {"Via", "From", "To", "Call-ID", "CSeq"})
          ok += std::string(h) + ": " + header_of(m, h) + "\r\n";
        sip_.send_to("127.0.0.1", port_, ok + "Content-Length: 0\r\n\r\n");
      }
      if (m.rfind(start, 0) == 0 && m.find(text) != std::string::npos) return m;
    }
    return "";
  }
  std::string seen;

 private:
  e2e::udp_peer sip_;
  int port_;
  std::string nonce_, realm_;
};

// The messages rows of the working directory (their files' contents), and sox's statistics of a
// recording.
// The messages rows on disk once done(rows) holds, or as they are after 3 s: row files are
// written a few milliseconds after the change, by the daemon's writer thread.
using row_files = std::map<std::string, std::string>;
row_files message_rows(const e2e::telmond_process& t, bool (*done)(const row_files&)) {
  row_files rows;
  for (int i = 0; i < 60; i++) {
    rows.clear();
    for (const auto& [path, content] : t.tables())
      if (path.starts_with("messages/") && path.ends_with(".xml")) rows[path] = content;
    if (done(rows)) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return rows;
}
double sox_stat(const std::string& wav, const std::string& name) {
  const std::string text = match(
      [&] {
        std::string out;
        if (FILE* p = popen(("sox " + wav + " -n stat 2>&1").c_str(), "r")) {
          for (char b[256]; fgets(b, sizeof b, p);) out += b;
          pclose(p);
        }
        return out;
      }(),
      name + ":\\s*([-0-9.]+)");
  return text.empty() ? -1 : std::atof(text.c_str());
}

TEST(VoicemailE2E, MessageLeftNotifiedHeardAndDeleted) {
  if (std::system("command -v sipp >/dev/null 2>&1 && command -v sox >/dev/null 2>&1") != 0)
    GTEST_SKIP() << "no sipp or sox";
  if (!std::ifstream(digits + "1.pcap")) GTEST_SKIP() << "no sipp captures of digits";

  // 1. The demo's configuration (mailbox prefix 8) with prompts, no phone of 101; 100 watches
  // 101's MWI.
  e2e::telmond_options o;
  o.use_default_config();
  o.prompts = true;
  o.allow("127.0.0.0", 8);
  e2e::telmond_process t(o);
  ASSERT_TRUE(t.start_with_accounts()) << t.error();
  mwi_watcher mwi(t.ports().sip_udp);
  ASSERT_EQ(mwi.subscribe(), "SIP/2.0 200 OK") << mwi.seen;

  // 2. 100 calls 101, skips the greeting (#), plays 6 s of tone, hangs up.
  const std::string tone = t.dir() + "/tone.pcap";
  ASSERT_EQ(std::system(("sox -n -r 8000 -c 1 -e u-law -t raw " + t.dir() +
                         "/tone.ul synth 6 sine 440 vol 0.5")
                            .c_str()),
            0);
  ASSERT_TRUE(write_rtp_pcap(tone, e2e::slurp(t.dir() + "/tone.ul")));
  const std::string leave = caller_scenario("<pause milliseconds=\"1000\"/>\n" +
                                            play(digits + "pound.pcap", 1500) + play(tone, 6500));
  ASSERT_EQ(e2e::run_sipp(t, "leave", "127.0.0.122", leave, "100;sip100;101;"), 0)
      << t.read_file("sipp-leave/sipp.out");
  EXPECT_NE(mwi.next("NOTIFY ", 5000, "Messages-Waiting: yes"), "") << mwi.seen;
  const auto rows = message_rows(t, [](const row_files& r) {
    return r.size() == 1 && r.begin()->second.find("vmail") != std::string::npos;
  });
  ASSERT_EQ(rows.size(), 1u) << t.stderr_text();
  const std::string row = match(rows.begin()->first, "messages/([0-9]+)\\.xml");
  EXPECT_NE(rows.begin()->second.find("vmail"), std::string::npos) << rows.begin()->second;
  const std::string wav = "recordings/msg" + row + ".wav";
  ASSERT_TRUE(t.file_exists(wav));
  const double length = sox_stat(t.dir() + "/" + wav, "Length \\(seconds\\)");
  EXPECT_GT(length, 4.0);
  EXPECT_LT(length, 8.5);
  EXPECT_GT(sox_stat(t.dir() + "/" + wav, "RMS\\s+amplitude"), 0.05);

  // 3. 100 dials 8101, types 101's PIN 1010, hears the new message (#) and deletes it (7).
  std::string login = "<pause milliseconds=\"1000\"/>\n";
  for (const char* d : {"1", "0", "1", "0"}) login += play(digits + d + ".pcap", 700);
  login += "<pause milliseconds=\"1000\"/>\n" + play(digits + "pound.pcap", 1500) +
           play(digits + "7.pcap", 1500);
  ASSERT_EQ(e2e::run_sipp(t, "owner", "127.0.0.123", caller_scenario(login), "100;sip100;8101;"), 0)
      << t.read_file("sipp-owner/sipp.out");
  EXPECT_TRUE(t.wait_until_gone(wav, 5000));
  EXPECT_TRUE(message_rows(t, [](const row_files& r) { return r.empty(); }).empty());
  EXPECT_NE(mwi.next("NOTIFY ", 5000, "Messages-Waiting: no"), "") << mwi.seen;
}

}  // namespace
