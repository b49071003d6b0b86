// Voicemail to e-mail through the real daemon: 101 has an e-mail address and its domain a mail
// server, an SMTP sink (aiosmtpd writing a Maildir) on a loopback address. 100 leaves 101 a
// message; the sink receives a mail to 101's address whose audio/wav part decodes to the
// recording (a RIFF/WAVE file), and the spool is empty afterwards.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include "base/encoding.h"
#include "tests/e2e/harness.h"
#include "tests/e2e/harness_voicemail.h"

namespace {

const char* const python = "/usr/bin/python3";
const char* const sink_ip = "127.0.0.131";

// aiosmtpd storing every mail it receives in the Maildir dir; stopped by the destructor.
class smtp_sink {
 public:
  smtp_sink(int port, const std::string& dir) {
    const std::string listen = std::string(sink_ip) + ":" + std::to_string(port);
    const std::string log = dir + ".log";
    pid_ = fork();
    if (pid_ == 0) {
      FILE* out = freopen(log.c_str(), "w", stdout);
      if (out) dup2(fileno(out), 2);
      execl(python, python, "-m", "aiosmtpd", "-n", "-l", listen.c_str(), "-c",
            "aiosmtpd.handlers.Mailbox", dir.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
  }
  ~smtp_sink() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
  }
  // True once it accepts connections (within ms).
  bool listening(int port, int ms) {
    for (int waited = 0; waited < ms; waited += 100) {
      e2e::tcp_client c;
      if (c.connect(sink_ip, port, "127.0.0.132")) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
  }

 private:
  pid_t pid_ = -1;
};

// The first mail of the Maildir within ms ("" when none arrived).
std::string first_mail(const std::string& dir, int ms) {
  for (int waited = 0; waited < ms; waited += 200) {
    std::error_code ec;
    for (const auto& f : std::filesystem::directory_iterator(dir + "/new", ec)) {
      // The Maildir keeps lines with LF alone; back to the CR LF of the wire.
      std::string mail;
      for (char c : e2e::slurp(f.path().string()))
        if (c != '\r') mail += c == '\n' ? std::string("\r\n") : std::string(1, c);
      return mail;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  return "";
}

TEST(EmailE2E, VoicemailArrivesAsMailWithTheRecording) {
  if (!e2e::voicemail_tools_missing().empty()) GTEST_SKIP() << e2e::voicemail_tools_missing();
  if (std::system((std::string(python) + " -c 'import aiosmtpd' 2>/dev/null").c_str()) != 0)
    GTEST_SKIP() << "no python3-aiosmtpd";

  // The demo configuration; the domain's mail server is the sink, 101 has an address.
  const int port = e2e::free_port();
  e2e::telmond_options o;
  o.use_default_config();
  o.prompts = true;
  o.allow("127.0.0.0", 8);
  std::string& config = o.files["default-config.xml"];
  const auto add_columns = [&config](const std::string& entry, const std::string& columns) {
    const size_t at = config.find(entry);
    ASSERT_NE(at, std::string::npos) << entry;
    config.insert(config.find("</SetEntry>", at), columns);
  };
  add_columns("<SetEntry table=\"domains\" row=\"1\">",
              "<Column name=\"email_smtp\">" + std::string(sink_ip) + ":" + std::to_string(port) +
                  "</Column><Column name=\"email_from\">PBX &lt;pbx@localhost.test&gt;</Column>");
  add_columns("<SetEntry table=\"extensions\" row=\"2\">",
              "<Column name=\"email_address\">owner101@example.test</Column>");
  e2e::telmond_process t(o);
  ASSERT_TRUE(t.start_with_accounts()) << t.error();
  const std::string maildir = t.dir() + "/maildir";
  smtp_sink sink(port, maildir);
  ASSERT_TRUE(sink.listening(port, 10000)) << t.read_file("maildir.log");

  // 100 leaves 101 three seconds of tone.
  ASSERT_EQ(e2e::leave_voicemail(t, "leave", "127.0.0.133", "100", "101", 3), 0)
      << t.read_file("sipp-leave/sipp.out");
  const std::string mail = first_mail(maildir, 20000);
  ASSERT_NE(mail, "") << t.stderr_text() << t.read_file("maildir.log");
  EXPECT_EQ(e2e::header_of(mail, "To"), "owner101@example.test") << mail.substr(0, 600);
  EXPECT_EQ(e2e::header_of(mail, "Subject"), "=?UTF-8?Q?New_voice_message_from_100?=");

  // The audio part's base64 body is the recording.
  const std::string boundary = e2e::match(mail, "boundary=\"([^\"]+)\"");
  ASSERT_NE(boundary, "") << mail.substr(0, 600);
  const size_t part = mail.find("Content-Type: audio/wav");
  ASSERT_NE(part, std::string::npos) << mail.substr(0, 1200);
  const size_t start = mail.find("\r\n\r\n", part) + 4;
  const std::string encoded = mail.substr(start, mail.find("--" + boundary, start) - start);
  const str wav = base64_decode(str(encoded.data(), encoded.size()));
  ASSERT_GT(wav.length(), 44u + 8000u) << encoded.substr(0, 200);
  EXPECT_EQ(std::string(wav.view().substr(0, 4)) + std::string(wav.view().substr(8, 4)),
            "RIFFWAVE");
  EXPECT_TRUE(t.wait_until_gone("spool/0000001-00.msg", 5000));
  EXPECT_TRUE(t.wait_for_log("Sucessfully sent email to owner101@example.test", 5000));
}

}  // namespace
