// How a side's layers get their collaborators (scoped_context, shared by both sides), and the
// ctrl side's context. What the layers of the ctrl side reach beyond themselves: the srv
// side's queue and their timer queue. The composition root builds the context of the running daemon and installs it;
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

// Installs a context of one side for the lifetime of the object; the previous one comes back
// after. Until one is installed, current() is a default-constructed Context: the daemon's
// wiring.
template <class Context>
class scoped_context {
 public:
  explicit scoped_context(const Context& c) : context_(c), previous_(installed()) {
    installed() = &context_;
  }
  ~scoped_context() { installed() = previous_; }
  scoped_context(const scoped_context&) = delete;
  scoped_context& operator=(const scoped_context&) = delete;

  static const Context& current() {
    static const Context daemon;
    return installed() ? *installed() : daemon;
  }

 private:
  static const Context*& installed() {
    static const Context* top = nullptr;
    return top;
  }
  Context context_;
  const Context* previous_;
};

struct ctrl_context {
  // Posts a message to the srv side's queue (the daemon: pbxsrv_post).
  void (*post)(const str& message) = pbxsrv_post_default;
  // The ctrl side's timer queue (the daemon: http_thread_queue).
  timeout_queue* queue = &http_thread_queue;

  static void pbxsrv_post_default(const str& message);
};

using scoped_ctrl_context = scoped_context<ctrl_context>;
inline const ctrl_context& ctrl_ctx() { return scoped_ctrl_context::current(); }
