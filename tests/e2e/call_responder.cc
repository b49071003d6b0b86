// telmond_call_responder: the daemon with a minimal stand-in for the PBX's call logic, so that
// the call legs can be driven end to end by a real peer before that logic exists.
//
// Every call event on the ctrl queue is logged as "Call responder: <element> <child>=<value>
// ..." (children in the order received) and taken; every other message goes on to the
// daemon's own receivers. The answers:
//   GetDialogPolicy -> SetDialogPolicy, Found "false" (no authentication);
//   GetDialogState  -> SetDialogState 180 "Ringing" (Ring180 "true"), then 300 ms later on
//                      the ctrl timer queue SetDialogState 200 "Ok";
//                      Calls to the user "relay" come in pairs: the second one is linked
//                      to the first with ConnectCalls, so that their media is relayed;
//   DialogEND       -> the pending answer of that leg, if any, is dropped;
//   other events    -> nothing.
//
// Side: ctrl (the handler and its timers run under ctrl_run_mutex).
#include <map>
#include <string>
#include <tuple>

#include "base/log.h"
#include "base/str.h"
#include "daemon/telmond.h"
#include "frame/clock.h"
#include "frame/side_context.h"
#include "frame/soap_message.h"
#include "frame/startup.h"
#include "frame/timeout.h"
#include "sip/call_messages.h"

namespace {

constexpr int answer_delay_ms = 300;

// The pending 200 of each leg, by its Call-ID child (the port index).
std::map<std::string, timeout>& answer_timers() {
  static std::map<std::string, timeout> timers;
  return timers;
}

// The call to "relay" that waits for its partner (empty when none).
str& waiting_relay() {
  static str leg;
  return leg;
}

void post_state(const str& call_id, const char* code, const char* ring180, const char* reason) {
  msg::set_dialog_state s;
  s.call_id = call_id;
  s.state_code = code;
  s.ring180 = ring180;
  s.state_reason = reason;
  ctrl_ctx().post(soap_write(s));
}

void answer(const str& call_id) { post_state(call_id, "200", "", "Ok"); }

bool is_call_event(const str& name) {
  return std::apply([&](auto... m) { return ((name == decltype(m)::soap_name) || ...); },
                    msg::call_events());
}

bool on_ctrl_message(const str& text) {
  soap_envelope e;
  if (!soap_parse(text, e) || !is_call_event(e.name)) return false;
  str line = str::sprintf("Call responder: %s", e.name);
  for (const auto& [name, value] : e.fields) line.appendf(" %s=%s", name, value);
  log_printf(log_general, 1, "%s", line);

  msg::get_dialog_policy policy;
  msg::get_dialog_state state;
  msg::dialog_end end;
  if (soap_read(e, policy)) {
    msg::set_dialog_policy answer_policy;
    answer_policy.call_id = policy.call_id;
    answer_policy.found = "false";
    ctrl_ctx().post(soap_write(answer_policy));
  } else if (soap_read(e, state)) {
    if (state.to.find(str("sip:relay@")) >= 0) {
      if (waiting_relay().empty()) {
        waiting_relay() = state.call_id;
      } else {
        ctrl_ctx().post(soap_write(msg::connect_calls{state.call_id, waiting_relay()}));
        waiting_relay() = str();
      }
    }
    post_state(state.call_id, "180", "true", "Ringing");
    answer_timers()[std::string(state.call_id.view())].callback(
        *ctrl_ctx().queue, ms2ticks(answer_delay_ms), callback_argument(answer, state.call_id));
  } else if (soap_read(e, end)) {
    answer_timers().erase(std::string(end.call_id.view()));
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  daemon_extras extras;
  extras.ctrl_handler = on_ctrl_message;
  process_exit(run_telmond(argc, argv, extras));
}
