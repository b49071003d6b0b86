// The SMTP dialogue fed with reply texts: what it sends back, its final state, the texts of
// the message and its encoded headers.
#include "pbx/email_smtp.h"

#include <gtest/gtest.h>

#include <vector>

#include "base/certificate.h"
#include "base/log_capture_test_util.h"
#include "base/tls.h"

namespace {

const char* const message_text =
    "From: =?UTF-8?Q?Ann_B=C3=B6?= <ann@x.org>\r\nTo:bob@yy.org\r\n"
    "Subject: =?UTF-8?Q?New_message?=\r\nDate: D\r\nMIME-Version: 1.0\r\n"
    "Content-Type: text/plain\r\nContent-Length: 2\r\n\r\nhi\r\n.\r\n";

struct step {
  const char* reply;
  const char* sent;  // "MSG": message_text
};
struct dialogue_case {
  const char* name;
  const char* user;
  std::vector<step> steps;
  int state;
  const char* log;  // a line the dialogue must have logged ("" for none)
};

TEST(SmtpDialogue, RepliesAndWhatIsSentBack) {
  const step tail[] = {{"250 ok\r\n", "RCPT TO:<bob@yy.org>\r\n"},
                       {"250 ok\r\n", "DATA\r\n"},
                       {"354 go\r\n", "MSG"},
                       {"250 queued\r\n", "QUIT\r\n"},
                       {"221 bye\r\n", ""}};
  const auto with_tail = [&](std::vector<step> s) {
    s.insert(s.end(), std::begin(tail), std::end(tail));
    return s;
  };
  const dialogue_case cases[] = {
      {"second EHLO after 502", "",
       with_tail({{"220 hi\r\n", "EHLO localhost\r\n"},
                  {"502 no\r\n", "EHLO localhost\r\n"},
                  {"250 ok\r\n", "MAIL FROM:<ann@x.org>\r\n"}}),
       smtp_delivered, "Sucessfully sent email to bob@yy.org"},
      {"AUTH PLAIN", "u",
       with_tail({{"220 hi\r\n", "EHLO localhost\r\n"},
                  {"250-mx\r\n250-AUTH LOGIN PLAIN\r\n", ""},
                  {"250 SIZE\r\n", "AUTH PLAIN dQB1AHA=\r\n"},
                  {"235 ok\r\n", "MAIL FROM:<ann@x.org>\r\n"}}),
       smtp_delivered, ""},
      {"AUTH LOGIN, recipient refused",
       "u",
       {{"220 hi\r\n", "EHLO localhost\r\n"},
        {"250-mx\r\n250 AUTH LOGIN\r\n", "AUTH LOGIN\r\n"},
        {"334 VXNlcm5hbWU6\r\n", "dQ==\r\n"},
        {"334 UGFzc3dvcmQ6\r\n", "cA==\r\n"},
        {"235 ok\r\n", "MAIL FROM:<ann@x.org>\r\n"},
        {"550 no such user\r\n", ""}},
       smtp_refused,
       "SMTP Server returned 550"},
      {"no user: no AUTH",
       "",
       {{"220 hi\r\n", "EHLO localhost\r\n"}, {"250 AUTH PLAIN\r\n", "MAIL FROM:<ann@x.org>\r\n"}},
       smtp_mail_from,
       ""},
      {"challenge to PLAIN",
       "u",
       {{"220 hi\r\n", "EHLO localhost\r\n"},
        {"250 AUTH PLAIN\r\n", "AUTH PLAIN dQB1AHA=\r\n"},
        {"334 ?\r\n", ""}},
       smtp_refused,
       "SMTP Server returned unexpected authentication result 334"},
      {"STARTTLS",
       "u",
       {{"220 hi\r\n", "EHLO localhost\r\n"},
        {"250-AUTH PLAIN\r\n250 STARTTLS\r\n", "STARTTLS\r\n"},
        {"220 go ahead\r\n", "EHLO localhost\r\n"},
        {"250 AUTH LOGIN\r\n", "AUTH LOGIN\r\n"}},
       smtp_auth,
       ""},
      {"greeting refused", "", {{"554 go away\r\n", ""}}, smtp_refused, "SMTP Server returned 554"},
  };
  for (const dialogue_case& c : cases) {
    log_capture log(9);
    email m{.from = "Ann Bö <ann@x.org>",
            .to = "bob@yy.org",
            .user = c.user,
            .password = "p",
            .subject = "New message",
            .content_type = "text/plain",
            .body = "hi"};
    smtp_dialogue d(m, true, "D");
    for (const step& s : c.steps) {
      d.smtp_receive_data(s.reply);
      EXPECT_EQ(d.take_output(), str(s.sent) == "MSG" ? message_text : s.sent)
          << c.name << " on " << s.reply;
    }
    EXPECT_EQ(d.state(), c.state) << c.name;
    EXPECT_EQ(d.tls_active(), str(c.name) == "STARTTLS") << c.name;
    EXPECT_TRUE(!*c.log || log.contains(c.log)) << c.name;
  }
}

TEST(SmtpDialogue, HeaderEncodingAndAddresses) {
  const struct {
    const char *name, *value;
    bool address;
    const char* out;
  } cases[] = {
      {"Subject:", "New message", false, "Subject: =?UTF-8?Q?New_message?="},
      {"To:", "bob@yy.org", true, "To:bob@yy.org"},
      {"Subject:",
       "Gr\xC3\xBC\xC3\x9F"
       "e=?_",
       false, "Subject: =?UTF-8?Q?Gr=C3=BC=C3=9Fe=3D=3F=5F?="},
      {"Subject:", "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa", false,
       "Subject: =?UTF-8?Q?aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa?=\r\n"
       " =?UTF-8?Q?aaaaaaaaaaaaaaaaaaaaaa?="},
      {"From:", "\"Voicemail of Extension 101 in Demo\" <voicemail-101@pbx.example.com>", true,
       "From: =?UTF-8?Q?Voicemail_of_Extension_101_in_Demo?=\r\n"
       " <voicemail-101@pbx.example.com>"},
  };
  for (const auto& c : cases) {
    str out;
    append_rfc2047_header(out, c.name, c.value, c.address);
    EXPECT_EQ(out, c.out);
  }
  for (const auto& [in, out] : std::vector<std::pair<const char*, const char*>>{
           {"\"Ann <x>\" <ann@x.org>", "<ann@x.org>"}, {"Bob <b@y> ", "<b@y>"}, {"c@z", "<c@z>"}})
    EXPECT_EQ(smtp_angle_address(in), out);
}

// TLS from the start, and after STARTTLS: the EHLO that follows reaches the server inside TLS.
TEST(SmtpLink, TlsImplicitAndAfterStarttls) {
  certificate_pair c;
  ASSERT_TRUE(generate_self_signed_certificate("mx.example.com", 1767225600, c));
  for (bool implicit : {true, false}) {
    tls_session server(tls_context::make_server(c.certificate_pem, c.key_pem));
    email m{.from = "a@x.org", .to = "b@y.org", .subject = "S", .content_type = "text/plain"};
    smtp_link link(m, true, "D", implicit, "mx.example.com", "SMTP mx.example.com");
    const auto pump = [&] {
      for (int i = 0; i < 8; i++) {
        server.on_input(link.take_output());
        link.on_received(server.take_output());
      }
    };
    if (!implicit) {
      for (const char* reply : {"220 hi\r\n", "250-x\r\n250 STARTTLS\r\n"}) link.on_received(reply);
      EXPECT_EQ(link.take_output(), "EHLO localhost\r\nSTARTTLS\r\n");
      link.on_received("220 go ahead\r\n");
    }
    pump();
    ASSERT_TRUE(server.established()) << implicit;
    if (implicit) server.write("220 hi\r\n");
    pump();
    EXPECT_EQ(server.take_plain(), "EHLO localhost\r\n") << implicit;
    EXPECT_EQ(link.dialogue().state(), implicit ? smtp_ehlo : smtp_ehlo_tls);
  }
}

}  // namespace
