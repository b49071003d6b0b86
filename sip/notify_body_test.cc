#include "sip/notify_body.h"

#include <gtest/gtest.h>
#include <rapidcheck.h>

#include "base/xml_tree.h"

TEST(NotifyBody, MessageSummary) {
  EXPECT_EQ(message_summary_body("100", 2, 8, 0, 2),
            "Messages-Waiting: yes\r\nMessage-Account: 100\r\nVoice-Message: 2/8 (0/2)\r\n");
  EXPECT_EQ(message_summary_body("", 0, 3, 0, 1),
            "Messages-Waiting: no\r\nVoice-Message: 0/3 (0/1)\r\n");
}

TEST(NotifyBody, DialogInfoAndPidfAreWellFormedAndEscaped) {
  str d = dialog_info_body("sip:a&b@x", 3, true);
  xml_tree t = xml_tree::parse(d);
  ASSERT_FALSE(t.empty()) << d.c_str();
  EXPECT_EQ(t.attribute("entity"), "sip:a&b@x");
  EXPECT_EQ(t.attribute("version"), "3");
  ASSERT_NE(t.find("dialog"), nullptr);
  EXPECT_EQ(t.find("dialog")->child_body("state"), "confirmed");
  EXPECT_EQ(xml_tree::parse(dialog_info_body("sip:a@x", 0, false)).children().size(), 0u);

  xml_tree p = xml_tree::parse(pidf_body("sip:\"q\"@x", false));
  ASSERT_FALSE(p.empty());
  EXPECT_EQ(p.attribute("entity"), "sip:\"q\"@x");
  EXPECT_EQ(p.find("tuple")->find("status")->child_body("basic"), "closed");
}
