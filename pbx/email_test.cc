// The spool on an in-memory file tree: message file bytes, the counter, the send_email forms,
// attaching a recording and what an attempt's outcome does to the file; the SMTP dialogue fed
// with reply texts: what it sends back, its final state, the message and its encoded headers.
#include "pbx/email.h"

#include "base/certificate.h"
#include "base/tls.h"
#include "pbx/email_client.h"
#include "pbx/email_smtp.h"
#include "pbx/pbx_test_util.h"

namespace {

class EmailTest : public pbx_test::call_test {
 protected:
  void SetUp() override {
    call_test::SetUp();
    log_level_max = 9;  // the capture puts it back
  }
  std::string spool() {
    std::string out;
    for (const auto& [name, bytes] : mfs.files)
      if (name.starts_with("spool/")) out += name + "=" + bytes + "\n";
    return out;
  }
};

TEST_F(EmailTest, MessageFileBytesSurviveAParse) {
  const char* text =
      "From: \"Ann\" <ann@x.org>\r\nTo: bob@y.org\r\nUser: u\r\nPassword: p\r\nDomain: 3\r\n"
      "Subject: Hi\r\nContent-Type: text/plain\r\nContent-Transfer-Encoding: 8bit\r\n\r\n"
      "a\r\n\r\nb";
  EXPECT_EQ(email_serialize(email_parse(text)), text);
}

TEST_F(EmailTest, SpoolCountsOnAndRefusesWhatItCannotSend) {
  put("spool/index.txt", "41\n");
  EXPECT_TRUE(send_email(0, "a@x.org", "b@y.org", "", "", "S", "text/plain", "", "1"));
  EXPECT_TRUE(email_sema.try_wait());
  EXPECT_FALSE(send_email(0, "a@x.org", "", "", "", "S", "text/plain", "", "2"));
  EXPECT_TRUE(log.contains("Dont send email because To/From header is empty", 8));
  mfs.fail_writes("0000043");
  EXPECT_FALSE(send_email(0, "a@x.org", "b@y.org", "", "", "S", "text/plain", "", "3"));
  EXPECT_EQ(spool(),
            "spool/0000042-00.msg=From: a@x.org\r\nTo: b@y.org\r\nSubject: S\r\n"
            "Content-Type: text/plain\r\n\r\n1\nspool/index.txt=43\n");
  // An account's mail: from the domain's sender, a copy to each valid address.
  mfs.files.clear();
  int account = add_extension("101");
  extensions.set(extension_row(account), extensions_email_address, "a@x.org; junk ;b@y.org");
  EXPECT_FALSE(send_email(account, "S", "text/plain", "", "1"));
  EXPECT_TRUE(log.contains("No valid source address for sending email to user", 6));
  domains.set(domain, domains_email_from, "PBX <pbx@x.org>");
  EXPECT_TRUE(send_email(account, "S", "text/plain", "", "1"));
  const char* head = "From: PBX <pbx@x.org>\r\nTo: ";
  const char* tail = "\r\nDomain: 1\r\nSubject: S\r\nContent-Type: text/plain\r\n\r\n1\n";
  EXPECT_EQ(spool(), std::string("spool/0000001-00.msg=") + head + "a@x.org" + tail +
                         "spool/0000002-00.msg=" + head + "b@y.org" + tail + "spool/index.txt=2\n");
}

TEST_F(EmailTest, MimeHelpers) {
  EXPECT_NE(mime_get_boundary(), mime_get_boundary());
  // Line ends become CRLF and a line of a lone dot gets a second (the boundary's form, sections
  // and parts: the mailbox's whole mail in apps/mailbox_test.cc).
  str text;
  mime_append(text, "text/plain", "one\n.\n.two", true);
  EXPECT_EQ(text, "Content-Type: text/plain\r\n\r\none\r\n..\r\n.two\r\n\r\n");
}

TEST_F(EmailTest, RecordingIsAttachedAndAnEmailoutMessageGoesWithTheMail) {
  const int row = db_test::add_row(messages, "filename=recordings/msg1.wav|type=emailout");
  put("recordings/msg1.wav", std::string("RIFF\x04\0\0\0WAVE", 12));
  put("spool/0000005-03.msg", "x");
  email m{.content_type = "multipart/mixed; boundary=\"B\"",
          .body =
              "--B\r\nContent-Type: text/plain\r\n\r\nhi\r\n--B\r\nContent-Type: audio/wav\r\n\r\n"
              "1\r\n--B\r\nContent-Type: audio/wav\r\n\r\n9\r\n--B--\r\n"};
  EXPECT_EQ(email_attachment_rows(m), (std::vector<int>{1, 9}));
  std::vector<int> emailout;
  ASSERT_TRUE(email_attach(m, emailout));
  EXPECT_EQ(m.body,
            "--B\r\nContent-Type: text/plain\r\n\r\nhi\r\n--B\r\nContent-Transfer-Encoding: "
            "base64\r\nContent-Type: audio/wav\r\n\r\nUklGRgQAAABXQVZF\r\n--B--\r\n");
  EXPECT_EQ(emailout, std::vector<int>{1});
  {
    mutex_lock l(email_mutex);
    EXPECT_TRUE(email_outcome("spool/0000005-03.msg", smtp_delivered));
  }
  email_delete_messages(emailout);
  EXPECT_FALSE(messages.has_row(row));
  EXPECT_EQ(file("recordings/msg1.wav") + spool(), "<missing>");
}

TEST_F(EmailTest, FailedAttemptRequeuesUntilTheFiftieth) {
  // clang-format off
  struct { const char* name; int state; const char* after; } cases[] = {
      {"spool/0000007-48.msg", smtp_transient, "spool/0000010-49.msg=m\n"},
      {"spool/0000012-47.msg", smtp_transient, "spool/0000013-48.msg=m\n"},
      {"spool/0000007-49.msg", smtp_transient, ""},
      {"spool/0000007-00.msg", smtp_refused, ""}, {"spool/0000007-00.msg", smtp_delivered, ""}};
  // clang-format on
  for (const auto& c : cases) {
    mfs.files.clear();
    put("spool/index.txt", "9");
    put(c.name, "m");
    int sent = email_sent, rejected = email_rejected;
    mutex_lock l(email_mutex);
    EXPECT_EQ(email_outcome(c.name, c.state), !c.after[0]);
    EXPECT_EQ(spool(), c.after + std::string("spool/index.txt=") +
                           (c.after[0] ? std::string(c.after + 11, 2) : "9") + "\n");
    EXPECT_EQ(email_sent - sent + 2 * (email_rejected - rejected),
              c.state == smtp_delivered ? 1 : 2);
    EXPECT_EQ(email_alert, c.state != smtp_delivered);
  }
}

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
