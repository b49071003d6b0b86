// The dispatch table of the PBX applications: which class serves the call objects of each type
// ("attendant", "extcall", "mailbox", "hunt", "acd", "conference", "orbit", "hoot", "srvflag",
// "ivrnode", "starcode", "caller"), and for which events.
//
// An application is not a long-lived object. For every event the dispatcher builds a handler
// of the call object's type from the row number, lets it act and drops it; whatever it must
// remember lives in the call object's row (state "is", files "if", variables "i1".."i7", the
// user "iu", the extension "ia") and in the legs rows. An application registers itself once at
// start-up (the composition root calls its install function); a type that has no registered
// class, or whose class does not take an event, gets the generic behaviour of the dispatcher
// (dialog_events.h).
//
// ctrl side.
#pragma once

#include <memory>

#include "base/str.h"
#include "sip/call_messages.h"

// The events an application may take, as a mask in call_app_class::events.
enum call_event : unsigned {
  ev_ringback = 1u << 0,        // 180..199 on an outbound leg
  ev_connect = 1u << 1,         // 200..299 on an outbound leg
  ev_error = 1u << 2,           // 300..699 on an outbound leg
  ev_hangup = 1u << 3,          // DialogHangup
  ev_dtmf = 1u << 4,            // DialogDTMF
  ev_dtmf_ext = 1u << 5,        // DialogDTMF on a leg other than the primary leg
  ev_audio_end = 1u << 6,       // DialogEOF on the primary leg
  ev_audio_end_ext = 1u << 7,   // DialogEOF on another leg
  ev_timeout = 1u << 8,         // DialogTimoutReport
  ev_hold = 1u << 9,            // DialogHold
  ev_record_failed = 1u << 10,  // FileWritten reporting that a recording could not be written
};

// One handler, built for one event of call object cobj.
class call_app {
 public:
  explicit call_app(int cobj) : cobj_(cobj) {}
  virtual ~call_app() = default;
  call_app(const call_app&) = delete;
  call_app& operator=(const call_app&) = delete;

  // Takes a call object that dial_a_number routed to account (a users row of a type this
  // class serves, or 0 for a text destination given in number). The call object's "type" and
  // "iu" are already set.
  virtual void start(int /*account*/, const str& /*number*/) {}

  virtual void on_ringback(int /*leg*/, const msg::dialog_response& /*in*/) {}
  // True: bridge the answering leg now (for attendant, hunt and acd calls; the others are
  // bridged anyway).
  virtual bool on_connect(int /*leg*/, const msg::dialog_response& /*in*/) { return true; }
  virtual void on_error(int /*leg*/, int /*code*/, const msg::dialog_response& /*in*/) {}
  virtual void on_hangup(int /*leg*/) {}
  virtual void on_dtmf(const str& /*digits*/) {}
  virtual void on_dtmf_ext(int /*leg*/, const str& /*digits*/) {}
  virtual void on_audio_end() {}
  virtual void on_audio_end_ext(int /*leg*/) {}
  virtual void on_timeout(int /*leg*/, const str& /*name*/, const str& /*arg*/) {}
  // A recording of the call object could not be written (a full or read-only disk): its file
  // is gone and the messages rows naming it are removed after this returns.
  virtual void on_record_failed(const str& /*file*/) {}
  // True: the hold is then handled generically (the other leg on hold with music).
  virtual bool on_hold(int /*leg*/, const msg::dialog_hold& /*in*/) { return true; }

 protected:
  const int cobj_;
};

struct call_app_class {
  const char* type;  // the call object type it serves
  unsigned events;   // the call_event bits it takes
  std::unique_ptr<call_app> (*make)(int cobj);
};

// Registers (or replaces) the class of a type. Called at start-up and by tests.
void register_call_app(const call_app_class& c);
// Removes every registration (tests).
void clear_call_apps();
// A handler of the call object's type when that type's class takes ev; nullptr otherwise.
std::unique_ptr<call_app> make_call_app(int cobj, call_event ev);
// A handler of the given type for starting a call object (the start operation); nullptr when
// no class serves the type.
std::unique_ptr<call_app> make_call_app(const str& type, int cobj);
