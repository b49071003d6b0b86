#include "sip/notify_body.h"

#include <gtest/gtest.h>
#include <rapidcheck.h>

TEST(NotifyBody, MessageSummary) {
  EXPECT_EQ(message_summary_body("100", 2, 8, 0, 2),
            "Messages-Waiting: yes\r\nMessage-Account: 100\r\nVoice-Message: 2/8 (0/2)\r\n");
  EXPECT_EQ(message_summary_body("", 0, 3, 0, 1),
            "Messages-Waiting: no\r\nVoice-Message: 0/3 (0/1)\r\n");
}
