#include "sip/notify_body.h"

const str c_message_summary("message-summary");
const str c_application_message_summary("application/simple-message-summary");

str message_summary_body(const str& account, int new_messages, int old_messages, int urgent_new,
                         int urgent_old) {
  str out = new_messages > 0 ? str("Messages-Waiting: yes\r\n") : str("Messages-Waiting: no\r\n");
  if (!account.empty()) out.appendf("Message-Account: %s\r\n", account);
  out.appendf("Voice-Message: %d/%d (%d/%d)\r\n", new_messages, old_messages, urgent_new,
              urgent_old);
  return out;
}
