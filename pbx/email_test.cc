// The spool on an in-memory file tree: message file bytes, the counter, the send_email forms,
// attaching a recording and what an attempt's outcome does to the file.
#include "pbx/email.h"

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

TEST_F(EmailTest, MessageFileBytesAndParse) {
  for (const char* text :
       {"From: \"Ann\" <ann@x.org>\r\nTo: bob@y.org\r\nUser: u\r\nPassword: p\r\nDomain: 3\r\n"
        "Subject: Hi\r\nContent-Type: text/plain\r\nContent-Transfer-Encoding: "
        "8bit\r\n\r\na\r\n\r\nb",
        "From: a@x.org\r\nTo: b@y.org\r\nSubject: S\r\nContent-Type: text/html\r\n\r\n"})
    EXPECT_EQ(email_serialize(email_parse(text)), text);
  email m = email_parse("Domain: 3\r\nPassword: p\r\nUser: u\r\nTo: t\r\n\r\n\r\nb");
  EXPECT_EQ(str::sprintf("%d|%s|%s|%s|%s", m.domain, m.user, m.password, m.to, m.body),
            "3|u|p|t|\r\nb");
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

TEST_F(EmailTest, TitleAndMimeHelpers) {
  EXPECT_EQ(email_get_title("<html><TITLE>New message</Title><title>x</title>"), "New message");
  EXPECT_EQ(email_get_title("<html><title>no end"), "");
  EXPECT_TRUE(log.contains("Could not find title tag in html document", 5));
  str b = mime_get_boundary(), text;
  EXPECT_TRUE(b.starts_with("b-") && b.length() == 28 && b != mime_get_boundary()) << b.view();
  mime_section(text, "B");
  mime_add_header(text, "Content-Disposition", "attachment");
  mime_append(text, "text/plain", "one\n.\n.two", true);
  mime_section(text, "B");
  mime_append(text, "audio/wav", "7", false);
  mime_terminate(text, "B");
  EXPECT_EQ(text,
            "--B\r\nContent-Disposition: attachment\r\nContent-Type: text/plain\r\n\r\n"
            "one\r\n..\r\n.two\r\n\r\n--B\r\nContent-Type: audio/wav\r\n\r\n7\r\n--B--\r\n");
}

TEST_F(EmailTest, RecordingIsAttachedAndAnEmailoutMessageGoesWithTheMail) {
  int row = messages.add_row();
  messages.set(row, messages_filename, "recordings/msg1.wav");
  messages.set(row, messages_type, "emailout");
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

}  // namespace
