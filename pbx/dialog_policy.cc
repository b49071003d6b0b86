#include "pbx/dialog_policy.h"

#include "base/log.h"
#include "frame/side_context.h"
#include "frame/soap_message.h"
#include "sip/call_messages.h"

bool dialog_policy_on_soap(const str& text) {
  soap_envelope e;
  if (!soap_parse(text, e)) return false;
  msg::get_dialog_policy policy;
  if (soap_read(e, policy)) {
    msg::set_dialog_policy answer;
    answer.call_id = policy.call_id;
    answer.found = "false";
    ctrl_ctx().post(soap_write(answer));
    return true;
  }
  msg::get_dialog_state state;
  if (soap_read(e, state)) {
    log_printf(log_application, 5, "Call from %s to %s: no route", state.from, state.to);
    msg::set_dialog_state answer;
    answer.call_id = state.call_id;
    answer.play_loop = answer.play_alert = answer.analyse_dtmf = answer.moderator = "false";
    answer.state_code = "480";
    answer.state_reason = "Temporarily Unavailable";
    ctrl_ctx().post(soap_write(answer));
    return true;
  }
  return e.name == "DialogHangup" || e.name == "DialogEND" || e.name == "DialogResponse";
}
