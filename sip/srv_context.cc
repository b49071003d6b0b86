#include "sip/srv_context.h"

#include "base/log.h"
#include "frame/queues.h"
#include "sip/send_packet.h"

void srv_context::out_post_default(const str& message) { out_post(message); }
int srv_context::send_default(const sip_message& message) { return send_packet(message); }
void srv_context::admin_mail_default(const str& address, const str& subject, const str& text,
                                     const str&) {
  if (address.empty()) return;
  log_printf(log_email, 3, "Mail to %s: %s: %s", address, subject, text);
}
