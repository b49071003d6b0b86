#include "sip/notify_body.h"

#include "base/xml_tree.h"

const str c_message_summary("message-summary");
const str c_application_message_summary("application/simple-message-summary");
const str c_application_dialog_info("application/dialog-info+xml");
const str c_application_pidf("application/pidf+xml");

str message_summary_body(const str& account, int new_messages, int old_messages, int urgent_new,
                         int urgent_old) {
  str out = new_messages > 0 ? str("Messages-Waiting: yes\r\n") : str("Messages-Waiting: no\r\n");
  if (!account.empty()) out.appendf("Message-Account: %s\r\n", account);
  out.appendf("Voice-Message: %d/%d (%d/%d)\r\n", new_messages, old_messages, urgent_new,
              urgent_old);
  return out;
}

str dialog_info_body(const str& entity, int version, bool in_call) {
  str e = txt2xml(entity);
  str out = str::sprintf(
      "<?xml version=\"1.0\"?>\r\n<dialog-info xmlns=\"urn:ietf:params:xml:ns:dialog-info\" "
      "version=\"%d\" state=\"full\" entity=\"%s\">",
      version, e);
  if (in_call) {
    out += "<dialog id=\"1\" direction=\"initiator\"><state>confirmed</state></dialog>";
  }
  out += "</dialog-info>\r\n";
  return out;
}

str pidf_body(const str& entity, bool open) {
  str e = txt2xml(entity);
  return str::sprintf(
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<presence "
      "xmlns=\"urn:ietf:params:xml:ns:pidf\" entity=\"%s\"><tuple id=\"1\"><status><basic>%S"
      "</basic></status></tuple></presence>\r\n",
      e, open ? "open" : "closed");
}
