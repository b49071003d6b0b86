// A voicemail journey through the real daemon with its prompts: 100 calls 101, which has no
// phone, so the call reaches 101's mailbox at once; 100 skips the greeting with "#", plays a tone
// as RTP and hangs up. The message is a messages row and a recording with the tone in it, and a
// phone of 100 subscribed to 101's message summary is told that messages wait. Then 100 dials
// the mailbox directly (the domain's mailbox prefix 8 + 101), logs in with 101's PIN, hears the
// message and deletes it (7): row and recording are gone and the subscriber is told so.
// Digits are RFC 4733 events from sipp's captures; every packet stays on loopback.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <regex>
#include <string>
#include <thread>

#include "base/digest.h"
#include "tests/e2e/harness.h"
#include "tests/e2e/harness_voicemail.h"

namespace {

using e2e::caller_scenario;
using e2e::digits;
using e2e::play;
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
  if (!e2e::voicemail_tools_missing().empty()) GTEST_SKIP() << e2e::voicemail_tools_missing();

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
  ASSERT_EQ(e2e::leave_voicemail(t, "leave", "127.0.0.122", "100", "101", 6), 0)
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
