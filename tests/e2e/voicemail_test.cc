// A voicemail journey through the real daemon with its prompts: 100 calls 101, which has no
// phone, so the call reaches 101's mailbox at once; 100 skips the greeting with "#", plays a tone
// as RTP and hangs up. The message is a messages row and a recording with the tone in it, and a
// phone of 100 subscribed to 101's message summary is told that messages wait. Then 100 dials
// the mailbox directly (the domain's mailbox prefix 8 + 101), logs in with 101's PIN, hears the
// message (the tone is found in what its phone received) and deletes it (7): row and
// recording are gone and the subscriber is told so.
// Digits are RFC 4733 events from sipp's captures; every packet stays on loopback.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "tests/e2e/harness.h"
#include "tests/e2e/harness_phones.h"
#include "tests/e2e/harness_voicemail.h"

namespace {

using e2e::header_of;
using e2e::match;
using e2e::md5_of;
using e2e::milliseconds;
using e2e::steady_clock;

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

// A phone in a call: types each group of keys as RFC 4733 events (the payload type the
// daemon's answer gives telephone-event) after its pause in ms, while keeping the PCMU
// payloads it receives; what it heard.
std::string listen_and_type(e2e::dialer& phone,
                            const std::vector<std::pair<int, std::string>>& steps) {
  const std::string ip = match(phone.last, "c=IN IP4 ([0-9.]+)");
  const int port = std::atoi(match(phone.last, "m=audio ([0-9]+)").c_str());
  const char pt = char(std::atoi(match(phone.last, "a=rtpmap:([0-9]+) telephone-event").c_str()));
  std::string heard;
  int seq = 0;
  const auto hear_until = [&](steady_clock::time_point until) {
    for (std::string p; steady_clock::now() < until;)
      if (phone.media().receive(p, 20) && p.size() > 12 && (p[1] & 0x7f) == 0)
        heard += p.substr(12 + 4 * size_t(p[0] & 0x0f));
  };
  for (const auto& [pause, keys] : steps) {
    hear_until(steady_clock::now() + milliseconds(pause));
    for (char key : keys) {
      const char event = key == '#' ? 11 : key == '*' ? 10 : char(key - '0');
      const uint32_t ts = uint32_t(seq) * 160;
      for (int n = 1; n <= 7; ++n, ++seq) {  // 100 ms of the key, the end sent three times
        const int duration = std::min(n, 5) * 160;
        const std::string packet = {char(0x80),
                                    char((n == 1 ? 0x80 : 0) | pt),
                                    char(seq >> 8),
                                    char(seq),
                                    char(ts >> 24),
                                    char(ts >> 16),
                                    char(ts >> 8),
                                    char(ts),
                                    0x0e,
                                    0x0e,
                                    0x0e,
                                    0x0e,
                                    event,
                                    char((n >= 5 ? 0x80 : 0) | 10),
                                    char(duration >> 8),
                                    char(duration)};
        phone.media().send_to(ip, port, packet);
        hear_until(steady_clock::now() + milliseconds(20));
      }
      hear_until(steady_clock::now() + milliseconds(300));
    }
  }
  return heard;
}

// The seconds of u-law audio in which a pure tone of hz dominates (Goertzel power at hz over
// the whole energy of each 100 ms).
double tone_seconds(const e2e::telmond_process& t, const std::string& ulaw, int hz) {
  const std::string in = t.dir() + "/heard.ul", out = t.dir() + "/heard.s16";
  { std::ofstream(in, std::ios::binary) << ulaw; }
  if (std::system(("sox -t ul -r 8000 -c 1 " + in + " -t s16 " + out).c_str()) != 0) return -1;
  const std::string pcm = e2e::slurp(out);
  const double k = 2 * std::cos(2 * M_PI * hz / 8000);
  int windows = 0;
  for (size_t at = 0; at + 1600 <= pcm.size(); at += 1600) {
    double s1 = 0, s2 = 0, energy = 0;
    for (size_t i = at; i < at + 1600; i += 2) {
      const double x = int16_t(uint8_t(pcm[i]) | uint8_t(pcm[i + 1]) << 8);
      const double s = x + k * s1 - s2;
      s2 = s1, s1 = s, energy += x * x;
    }
    const double power = s1 * s1 + s2 * s2 - k * s1 * s2;  // |X(hz)|^2 over 800 samples
    if (energy > 0 && power / (energy * 800 / 2) > 0.8) ++windows;
  }
  return windows / 10.0;
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

  // 3. 100 dials 8101, types 101's PIN 1010, hears the new message (#) and deletes it (7),
  // keeping what it hears: the tone is in it.
  e2e::dialer owner(t, "127.0.0.123", "100");
  ASSERT_EQ(e2e::final_of(owner.call("8101")), "200 Ok") << owner.transcript;
  const std::string heard =
      listen_and_type(owner, {{1000, "1010"}, {1000, "#"}, {8000, "7"}, {1500, ""}});
  EXPECT_EQ(owner.request("BYE"), "200 Ok");
  EXPECT_GT(tone_seconds(t, heard, 440), 3.0) << "the owner did not hear the message";
  EXPECT_TRUE(t.wait_until_gone(wav, 5000));
  EXPECT_TRUE(message_rows(t, [](const row_files& r) { return r.empty(); }).empty());
  EXPECT_NE(mwi.next("NOTIFY ", 5000, "Messages-Waiting: no"), "") << mwi.seen;
}

// The recordings folder cannot be written (a file stands in its place, as after an operator's
// mistake): the caller is told and the call ends, no message row is left for a missing file,
// and the daemon goes on serving.
TEST(VoicemailE2E, MessageTheDiskCannotTakeLeavesNothingBehind) {
  if (!e2e::voicemail_tools_missing().empty()) GTEST_SKIP() << e2e::voicemail_tools_missing();
  e2e::telmond_options o;
  o.use_default_config();
  o.prompts = true;
  o.allow("127.0.0.0", 8);
  o.files["recordings"] = "not a folder";
  e2e::telmond_process t(o);
  ASSERT_TRUE(t.start_with_accounts()) << t.error();
  // The caller plays 8 s of tone; the first batch of the recording (4 s) cannot be written.
  e2e::leave_voicemail(t, "leave", "127.0.0.124", "100", "101", 8);
  EXPECT_TRUE(t.wait_for_log("could not be written", 3000)) << t.stderr_text();
  EXPECT_TRUE(message_rows(t, [](const row_files& r) { return r.empty(); }).empty());
  EXPECT_EQ(t.read_file("recordings"), "not a folder");
  e2e::dialer next(t, "127.0.0.125", "100");
  EXPECT_EQ(e2e::final_of(next.call("8101")), "200 Ok") << t.stderr_text();
  EXPECT_EQ(next.request("BYE"), "200 Ok");
}

}  // namespace
