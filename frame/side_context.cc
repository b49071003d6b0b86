#include "frame/side_context.h"

#include "frame/queues.h"

void ctrl_context::pbxsrv_post_default(const str& message) { pbxsrv_post(message); }
