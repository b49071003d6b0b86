// The call legs in the SIP stack: the transaction user that hands them their requests and
// responses, the per-leg trace, and the challenges answered for their requests.
#include "base/log.h"
#include "frame/log.h"
#include "sip/call_port.h"
#include "sip/sip_transport.h"
#include "sip/srv_context.h"

void call_port_transaction_user::travel_forward(sip_message& request, const str& raw) {
  if (!call_port_request(request)) next_.travel_forward(request, raw);
}

void call_port_transaction_user::travel_backward(sip_message& response) {
  if (!call_port_response(response)) next_.travel_backward(response);
}

bool call_port_transaction_user::check_authentication(const sip_message& response,
                                                      const sip_message& request) {
  call_port* p = get_port(request.call_port_index);
  if (!p) return next_.check_authentication(response, request);
  sip_message again;
  if (!answer_challenge(response, request, p->auth_user, p->auth_password, p->index, again)) {
    return false;
  }
  if (again.method == m_invite) {
    p->last_invite = again;
  } else if (again.method != m_ack) {
    p->last_request = again;
  }
  return true;
}

bool call_port_transaction_user::has_connect_time(int index) {
  const call_port* p = get_port(index);
  return p && p->connect_time != 0;
}

void call_port_transaction_user::send_hangup_timeout(int index) {
  if (call_port* p = get_port(index)) p->send_hangup(hangup_timeout);
}

void no_dialog_user::travel_forward(sip_message& request, const str&) {
  if (request.to.tag().empty() || request.method == m_ack) return;
  sip_message response(481, "Call/Transaction Does Not Exist", request);
  srv_ctx().send(response);
}

namespace {

// A leg's trace is bounded: the messages of a long call with many re-INVITEs must not grow
// without end; the oldest half goes.
constexpr size_t max_leg_trace = 64 * 1024;

void leg_trace(int index, const str& direction, const str& address, const str& raw) {
  call_port* p = get_port(index);
  if (!p) return;
  if (p->sip_log.length() > max_leg_trace) p->sip_log = p->sip_log.substr(max_leg_trace / 2);
  p->sip_log.appendf("%s %s\r\n%s\r\n", direction, address, raw);
}

}  // namespace

void call_port_auth_hooks::send_response(const sip_message& response,
                                         const sip_message& request) {
  if (!next_) return;
  // A challenge of a leg's request carries the leg's tag, as every final response must.
  auto it = call_port_map.find(request.call_id);
  const call_port* p = it == call_port_map.end() ? nullptr : get_port(it->second);
  if (p && response.to.tag().empty() && !p->local.tag().empty()) {
    sip_message tagged = response;
    tagged.to.set_tag(p->local.tag());
    next_->send_response(tagged, request);
    return;
  }
  next_->send_response(response, request);
}

void call_port_auth_hooks::send_request(const sip_message& request) {
  if (next_) next_->send_request(request);
}

void call_port_auth_hooks::store_call_port_challenge(int index, const stored_challenge& c) {
  if (call_port* p = get_port(index)) p->challenge = c;
}

void call_port_auth_hooks::store_trunk_challenge(const str& call_id, const stored_challenge& c) {
  if (next_) next_->store_trunk_challenge(call_id, c);
}

void install_call_ports() {
  static call_port_transaction_user user(get_sip_transaction_user());
  set_sip_transaction_user(&user);
  static call_port_auth_hooks hooks(get_auth_hooks());
  set_auth_hooks(&hooks);
  set_call_leg_trace(leg_trace);
}
