// The extcall application: a call to a number that is no account of the system, routed by the
// caller's dial plan (pbx/dial_plan.h) to a trunk, an extension or the loopback trunk; also
// calling cards and direct inward system access, where the caller enters the number.
//
// A handler lives for one event (call_app.h). What it remembers lives in the call object's row:
//   "is" the state: "idle", "numw" (enter the number), "enter_extension", "enter_pin", "ac"
//        (enter a cost-centre code), "ap" (enter the PIN), "noise" (the outbound call
//        proceeds; the caller hears ringback), "connected", "empty", "notallowed", "busy",
//        "error";
//   "iu" the calling account (an extension, a calling card, or 0), "i1" the number being
//   called, "i2" the alternative numbers still to try (space-separated), "i3" the confirmation
//   key, "i4" the digits typed so far, "i5" the extension a DISA caller logged in as.
// A failed trunk leg moves on to the next dial plan entry when the trunk's failover allows it,
// then to the next alternative number; never back to an entry already tried.
//
// ctrl side.
#pragma once

#include "base/str.h"
#include "pbx/call_app.h"

class extcall : public call_app {
 public:
  explicit extcall(int cobj) : call_app(cobj) {}

  // account: a calling card (the caller enters the number), or 0 with number the destination
  // (a URI, or several numbers separated by spaces: the first and its alternatives).
  void start(int account, const str& number) override;
  // Routes number from the smallest preference; failing that, an unanswered call ends 404
  // "Not Found", an answered one hears "notallowed".
  void goto_number(const str& number, const str& key);
  // True when try_external_number started a leg (state "noise"), found the number empty
  // ("empty") or handed the call on.
  bool try_number(const str& number, int min_preference);

  void on_ringback(int leg, const msg::dialog_response& in) override;
  bool on_connect(int leg, const msg::dialog_response& in) override;
  void on_error(int leg, int code, const msg::dialog_response& in) override;
  void on_hangup(int leg) override;
  void on_dtmf(const str& digits) override;
  void on_audio_end() override;
  void on_timeout(int leg, const str& name, const str& arg) override;

 private:
  str var(const str& column) const;
  void set_var(const str& column, const str& value);
  int primary() const;
  int domain() const;
  int card() const;  // the calling card's users row, 0 when the caller is none
  bool answered() const;
  void goto_state(const char* s);
  void play(const str& files, bool loop = false);
  // The account routing is done for: the extension the caller name names, else "iu" (or the
  // extension a DISA caller logged in as).
  int routing_user() const;
  void failed(int leg, int code, const str& reason);
  void entered(const str& digits);
  void release_lines(int leg);
};

// Registers the class for "extcall" (composition root, tests).
void install_extcall();
