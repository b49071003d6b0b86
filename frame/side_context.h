// What the layers of the ctrl side reach beyond themselves: the srv side's queue and their
// timer queue. The composition root builds the context of the running daemon and installs it;
// a test builds its own and installs it for its lifetime, so a layer takes its collaborators
// from here instead of offering setters of its own. (The srv side's context, which also sends
// SIP messages, is sip/srv_context.h.) Process-wide state the design requires, the tables and
// the settings, stays global.
//
// Side: ctrl. Installed before the threads start (or, in a test, before the code under test
// runs); read under ctrl_run_mutex.
#pragma once

#include "base/str.h"
#include "frame/timeout.h"

struct ctrl_context {
  // Posts a message to the srv side's queue (the daemon: pbxsrv_post).
  void (*post)(const str& message) = pbxsrv_post_default;
  // The ctrl side's timer queue (the daemon: http_thread_queue).
  timeout_queue* queue = &http_thread_queue;

  static void pbxsrv_post_default(const str& message);
};

// The installed context (the daemon's wiring until one is installed).
const ctrl_context& ctrl_ctx();

// Installs a context for the lifetime of the object; the previous one comes back after.
class scoped_ctrl_context {
 public:
  explicit scoped_ctrl_context(const ctrl_context& c);
  ~scoped_ctrl_context();
  scoped_ctrl_context(const scoped_ctrl_context&) = delete;
  scoped_ctrl_context& operator=(const scoped_ctrl_context&) = delete;

 private:
  ctrl_context context_;
  const ctrl_context* previous_;
};
