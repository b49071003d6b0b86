// Voicemail to e-mail through the real daemon: the domain's mail server is an SMTP sink
// (aiosmtpd writing a Maildir) on a loopback address and 101 has an e-mail address. 100 leaves
// 101 a message; the sink receives a mail to 101 whose audio/wav part decodes to the recording.
#include <gtest/gtest.h>

#include "base/encoding.h"
#include "tests/e2e/harness_phones.h"

namespace {

TEST(EmailE2E, VoicemailArrivesAsMailWithTheRecording) {
  if (!e2e::voicemail_tools_missing().empty()) GTEST_SKIP() << e2e::voicemail_tools_missing();
  if (std::system("/usr/bin/python3 -c 'import aiosmtpd' 2>/dev/null") != 0)
    GTEST_SKIP() << "no python3-aiosmtpd";
  const std::string sink = "127.0.0.131:" + std::to_string(e2e::free_port());
  e2e::telmond_options o;
  o.use_default_config(
      e2e::row("domains", 1,
               {{"email_smtp", sink}, {"email_from", "PBX &lt;pbx@localhost.test&gt;"}}) +
      e2e::ext_settings(101, {{"email_address", "owner101@example.test"}}));
  o.prompts = true;
  o.allow("127.0.0.0", 8);
  e2e::telmond_process t(o);
  ASSERT_TRUE(t.start_with_accounts()) << t.error();
  const std::string maildir = t.dir() + "/maildir";
  ASSERT_EQ(
      std::system(("/usr/bin/python3 -m aiosmtpd -n -l " + sink + " -c aiosmtpd.handlers.Mailbox " +
                   maildir + " >" + maildir + ".log 2>&1 & echo $! >" + maildir + ".pid")
                      .c_str()),
      0);
  struct stop_sink {
    std::string pid_file;
    ~stop_sink() {
      if (const int pid = std::atoi(e2e::slurp(pid_file).c_str()); pid > 0) kill(pid, SIGTERM);
    }
  } stop{maildir + ".pid"};
  // The sink listens long before the message is mailed (and a refused attempt is repeated).
  ASSERT_EQ(e2e::leave_voicemail(t, "leave", "127.0.0.133", "100", "101", 3), 0)
      << t.read_file("sipp-leave/sipp.out");
  std::string mail;  // the first mail of the Maildir; its lines end in LF alone
  e2e::eventually(20000, [&] {
    std::error_code ec;
    for (const auto& f : std::filesystem::directory_iterator(maildir + "/new", ec))
      mail = e2e::slurp(f.path().string());
    return !mail.empty();
  });
  ASSERT_NE(mail, "") << t.stderr_text() << t.read_file("maildir.log");
  EXPECT_EQ(e2e::match(mail, "\nTo: ?(.*)\n"), "owner101@example.test") << mail.substr(0, 600);
  EXPECT_EQ(e2e::match(mail, "\nSubject: (.*)\n"), "=?UTF-8?Q?New_voice_message_from_100?=");
  // The audio part's base64 body is the recording.
  const std::string boundary = e2e::match(mail, "boundary=\"([^\"]+)\"");
  const size_t start = mail.find("\n\n", mail.find("Content-Type: audio/wav")) + 2;
  ASSERT_GT(start, 2u) << mail.substr(0, 1200);
  const std::string encoded = mail.substr(start, mail.find("--" + boundary, start) - start);
  const str wav = base64_decode(str(encoded.data(), encoded.size()));
  ASSERT_GT(wav.length(), 44u + 8000u) << encoded.substr(0, 200);
  EXPECT_EQ(std::string(wav.view().substr(0, 4)) + std::string(wav.view().substr(8, 4)),
            "RIFFWAVE");
  EXPECT_TRUE(t.wait_until_gone("spool/0000001-00.msg", 5000));
}

}  // namespace
