#include "sip/srv_context.h"

#include "frame/queues.h"
#include "sip/send_packet.h"

namespace {

const srv_context& daemon_srv() {
  static const srv_context c;
  return c;
}
const srv_context* installed = nullptr;

}  // namespace

void srv_context::out_post_default(const str& message) { out_post(message); }
int srv_context::send_default(const sip_message& message) { return send_packet(message); }

const srv_context& srv_ctx() { return installed ? *installed : daemon_srv(); }

scoped_srv_context::scoped_srv_context(const srv_context& c) : context_(c), previous_(installed) {
  installed = &context_;
}

scoped_srv_context::~scoped_srv_context() { installed = previous_; }
