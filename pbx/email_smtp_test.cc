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

// A dialogue as a transcript: "<" lines are the server's (fed one by one), ">" lines what the
// client must have sent since the previous "<" line; ">MSG" stands for message_text, "<EOF"
// for the server closing the connection.
const std::string tail =
    "<250 ok\n>RCPT TO:<bob@yy.org>\n<250 ok\n>DATA\n<354 go\n>MSG\n"
    "<250 queued\n>QUIT\n";
// log: a line that must have been logged ("" for none).
// clang-format off
const struct { const char *user; std::string transcript; int state; const char* log; } dialogues[] = {
    {"",
     "<220 hi\n>EHLO localhost\n<502 no\n>EHLO localhost\n<250 ok\n>MAIL FROM:<ann@x.org>\n" +
         tail + "<221 bye\n",
     smtp_delivered, "Sucessfully sent email to bob@yy.org"},
    {"u",
     "<220 hi\n>EHLO localhost\n<250-mx\n<250-AUTH LOGIN PLAIN\n<250 SIZE\n"
     ">AUTH PLAIN dQB1AHA=\n<235 ok\n>MAIL FROM:<ann@x.org>\n" +
         tail + "<EOF\n",
     smtp_delivered, ""},
    {"u",
     "<220 hi\n>EHLO localhost\n<250 AUTH LOGIN\n>AUTH LOGIN\n<334 VXNlcm5hbWU6\n>dQ==\n"
     "<334 UGFzc3dvcmQ6\n>cA==\n<235 ok\n>MAIL FROM:<ann@x.org>\n<550 no such user\n",
     smtp_refused, "SMTP Server returned 550"},
    {"", "<220 hi\n>EHLO localhost\n<250 AUTH PLAIN\n>MAIL FROM:<ann@x.org>\n", smtp_mail_from, ""},
    {"u", "<220 hi\n>EHLO localhost\n<250 AUTH PLAIN\n>AUTH PLAIN dQB1AHA=\n<334 ?\n", smtp_refused,
     "SMTP Server returned unexpected authentication result 334"},
    {"u",
     "<220 hi\n>EHLO localhost\n<250-AUTH PLAIN\n<250 STARTTLS\n>STARTTLS\n<220 go\n"
     ">EHLO localhost\n<250 AUTH LOGIN\n>AUTH LOGIN\n",
     smtp_auth, ""},
    {"", "<554 go away\n", smtp_refused, "SMTP Server returned 554"},
};
// clang-format on

TEST(SmtpDialogue, RepliesAndWhatIsSentBack) {
  for (const auto& c : dialogues) {
    log_capture log(9);
    email m = email_parse(
        "From: Ann Bö <ann@x.org>\r\nTo: bob@yy.org\r\nUser: " + str(c.user) +
        "\r\nPassword: p\r\nSubject: New message\r\nContent-Type: text/plain\r\n\r\nhi");
    smtp_dialogue d(m, true, "D");
    std::string expected, sent;
    for (size_t at = 0, end; at < c.transcript.size(); at = end + 1) {
      end = c.transcript.find('\n', at);
      std::string line = c.transcript.substr(at + 1, end - at - 1);
      if (c.transcript[at] == '>') {
        expected += line == "MSG" ? message_text : line + "\r\n";
        continue;
      }
      sent += std::string(d.take_output().view());
      EXPECT_EQ(sent, expected) << c.transcript;
      if (line == "EOF") {
        d.on_closed("mx");
      } else {
        d.smtp_receive_data(str(line + "\r\n"));
      }
    }
    EXPECT_EQ(sent + std::string(d.take_output().view()), expected) << c.transcript;
    EXPECT_EQ(d.state(), c.state) << c.transcript;
    EXPECT_EQ(d.tls_active(), c.state == smtp_auth) << c.transcript;
    EXPECT_TRUE(!*c.log || log.contains(c.log)) << c.transcript;
  }
}

TEST(SmtpDialogue, HeaderEncodingAndAddresses) {
  // clang-format off
  const struct { const char *name, *value; bool address; const char* out; } cases[] = {
      {"Subject:", "New message", false, "Subject: =?UTF-8?Q?New_message?="},
      {"To:", "bob@yy.org", true, "To:bob@yy.org"},
      {"Subject:", "Gr\xC3\xBC\xC3\x9F=?_", false, "Subject: =?UTF-8?Q?Gr=C3=BC=C3=9F=3D=3F=5F?="},
      {"Subject:", "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa", false,
       "Subject: =?UTF-8?Q?aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa?=\r\n"
       " =?UTF-8?Q?aaaaaaaaaaaaaaaaaaaaaa?="},
      {"From:", "\"Voicemail of Extension 101 in Demo\" <voicemail-101@pbx.example.com>", true,
       "From: =?UTF-8?Q?Voicemail_of_Extension_101_in_Demo?=\r\n"
       " <voicemail-101@pbx.example.com>"},
  };
  // clang-format on
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
