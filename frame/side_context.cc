#include "frame/side_context.h"

#include "frame/queues.h"

namespace {

const ctrl_context& daemon_ctrl() {
  static const ctrl_context c;
  return c;
}
const ctrl_context* installed = nullptr;

}  // namespace

void ctrl_context::pbxsrv_post_default(const str& message) { pbxsrv_post(message); }

const ctrl_context& ctrl_ctx() { return installed ? *installed : daemon_ctrl(); }

scoped_ctrl_context::scoped_ctrl_context(const ctrl_context& c)
    : context_(c), previous_(installed) {
  installed = &context_;
}

scoped_ctrl_context::~scoped_ctrl_context() { installed = previous_; }
