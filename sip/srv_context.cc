#include "sip/srv_context.h"

#include "frame/queues.h"
#include "sip/send_packet.h"

void srv_context::out_post_default(const str& message) { out_post(message); }
int srv_context::send_default(const sip_message& message) { return send_packet(message); }
