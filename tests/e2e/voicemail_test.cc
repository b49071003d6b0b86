// A voicemail journey through the real daemon with its prompts: 100 calls 101, which has no
// phone, so the call reaches 101's mailbox at once; 100 skips the greeting with "#", plays a tone
// as RTP and hangs up. The message is a messages row and a recording with the tone in it, and a
// phone of 100 subscribed to 101's message summary is told that messages wait. Then 100 dials
// the mailbox directly (the domain's mailbox prefix 8 + 101), logs in with 101's PIN, hears the
// message (the tone is found in what its phone received) and deletes it (7): row and
// recording are gone and the subscriber is told so.
// Digits are RFC 4733 events from sipp's captures; every packet stays on loopback. A message
// the disk cannot take is proved in apps/mailbox_test.cc.
#include <gtest/gtest.h>

#include <cmath>

#include "tests/e2e/harness_phones.h"

namespace {

using namespace e2e;

// A phone in a call: types each group of keys as RFC 4733 events (the payload type the
// daemon's answer gives telephone-event) after its pause in ms, while keeping the PCMU
// payloads it receives; what it heard.
std::string listen_and_type(dialer& phone, const std::vector<std::pair<int, std::string>>& steps) {
  const std::string ip = match(phone.last, "c=IN IP4 ([0-9.]+)");
  const int port = std::atoi(match(phone.last, "m=audio ([0-9]+)").c_str());
  const char pt = char(std::atoi(match(phone.last, "a=rtpmap:([0-9]+) telephone-event").c_str()));
  std::string heard;
  int seq = 0;
  const auto hear_until = [&](steady_clock::time_point until) {
    for (std::string p; steady_clock::now() < until;)
      if (phone.media().receive(p, 20) && p.size() > 12 && (p[1] & 0x7f) == 0)
        heard += payload_of(p);
  };
  for (const auto& [pause, keys] : steps) {
    hear_until(steady_clock::now() + milliseconds(pause));
    for (char key : keys) {
      const char event = key == '#' ? 11 : key == '*' ? 10 : char(key - '0');
      const uint32_t ts = uint32_t(seq) * 160;
      for (int n = 1; n <= 7; ++n, ++seq) {  // 100 ms of the key, the end sent three times
        const int duration = std::min(n, 5) * 160;
        const std::string packet =
            rtp_header(pt, seq, ts, 0x0e0e0e0e, n == 1) +
            std::string{event, char((n >= 5 ? 0x80 : 0) | 10), char(duration >> 8), char(duration)};
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
double tone_seconds(const telmond_process& t, const std::string& ulaw, int hz) {
  const std::string in = t.dir() + "/heard.ul", out = t.dir() + "/heard.s16";
  { std::ofstream(in, std::ios::binary) << ulaw; }
  if (std::system(("sox -t ul -r 8000 -c 1 " + in + " -t s16 " + out).c_str()) != 0) return -1;
  const std::string pcm = slurp(out);
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
  if (!voicemail_tools_missing().empty()) GTEST_SKIP() << voicemail_tools_missing();
  // The demo's configuration (mailbox prefix 8) with prompts and no phone of 101.
  telmond_options o;
  o.use_default_config();
  o.prompts = true;
  o.allow("127.0.0.0", 8);
  const auto t = std::make_unique<telmond_process>(o);
  ASSERT_TRUE(t->start_with_accounts()) << t->error();
  // 1. 100 watches 101's message summary.
  dialer mwi(*t, "127.0.0.121", "100");
  ASSERT_EQ(
      mwi.open("SUBSCRIBE", "sip:101@localhost", "Event: message-summary\r\nExpires: 600\r\n"),
      "200 OK");
  const auto notified = [&](const char* waiting) {
    return mwi.wait_request("NOTIFY", 5000, std::string("Messages-Waiting: ") + waiting);
  };

  // 2. 100 calls 101, skips the greeting (#), plays 6 s of tone, hangs up.
  ASSERT_EQ(leave_voicemail(*t, "leave", "127.0.0.122", "100", "101", 6), 0)
      << t->read_file("sipp-leave/sipp.out");
  EXPECT_NE(notified("yes"), "");
  // The message's row (the first), written a moment later by the daemon's writer thread.
  ASSERT_TRUE(t->wait_for_file("messages/1.xml", "<type>vmail</type>", 3000)) << t->stderr_text();
  EXPECT_FALSE(t->file_exists("messages/2.xml"));
  const std::string wav = match(t->read_file("messages/1.xml"), "<filename>([^<]+)</filename>");
  sound recorded;
  ASSERT_TRUE(measure(t->dir() + "/" + wav, recorded)) << wav;
  EXPECT_GT(recorded.seconds, 4.0);
  EXPECT_LT(recorded.seconds, 8.5);
  EXPECT_GT(recorded.rms, 0.05);

  // 3. 100 dials 8101, types 101's PIN 1010, hears the new message (#) and deletes it (7),
  // keeping what it hears: the tone is in it.
  dialer owner(*t, "127.0.0.123", "100");
  ASSERT_EQ(final_of(owner.call("8101")), "200 Ok") << owner.transcript;
  const std::string heard =
      listen_and_type(owner, {{1000, "1010"}, {1000, "#"}, {8000, "7"}, {1500, ""}});
  EXPECT_EQ(owner.request("BYE"), "200 Ok");
  EXPECT_GT(tone_seconds(*t, heard, 440), 3.0) << "the owner did not hear the message";
  EXPECT_TRUE(t->wait_until_gone(wav, 5000));
  EXPECT_TRUE(t->wait_until_gone("messages/1.xml", 3000));
  EXPECT_NE(notified("no"), "");
}

}  // namespace
