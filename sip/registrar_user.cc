#include "sip/registrar_user.h"

#include "base/log.h"
#include "frame/queues.h"
#include "sip/reg_in.h"
#include "sip/send_packet.h"
#include "sip/sip_connection.h"
#include "sip/sip_message.h"

bool registrar_transaction_user::refused_for_overload(const sip_message& request) {
  if (reg_ins.count(request.call_id) != 0) return false;
  const int64_t waiting = backlog_();
  if (waiting <= overload_backlog_bytes) return false;
  log_printf(log_sip, 5, "Overload: %d bytes of requests waiting, %s from %s answered 503",
             int(waiting), request.cseq_method, request.peer.readable());
  // Stateless, so that refusing costs no transaction: tag and Retry-After come from the
  // Call-ID, and a repeat gets the same bytes.
  const size_t h = str_hash()(request.call_id);
  sip_message response(503, "Service Unavailable", request);
  if (response.to.tag().empty()) response.to.set_tag(str::sprintf("%u", unsigned(h % 1000000007)));
  response.add_other_header("Retry-After", "", str::sprintf("%u", unsigned(5 + (h >> 32) % 26)));
  send_on_interface(request.port_name, request.peer,
                    response.serialize(request.peer, request.transport), request.transport);
  return true;
}

void registrar_transaction_user::travel_forward(sip_message& request, const str& raw) {
  if (request.is_request && (request.method == m_register || request.method == m_subscribe)) {
    if (refused_for_overload(request)) return;
    registrar_receive(request);
    return;
  }
  // Other requests of a binding's Call-ID: a NOTIFY always, the rest only inside the dialog
  // (a call that happens to reuse the Call-ID goes on to the call logic).
  if (request.is_request) {
    auto it = reg_ins.find(request.call_id);
    if (it != reg_ins.end() && (request.method == m_notify || it->second->in_dialog(request))) {
      it->second->handle_other_request(request);
      return;
    }
  }
  next_.travel_forward(request, raw);
}

bool registrar_transaction_user::check_authentication(const sip_message& response,
                                                      const sip_message& request) {
  return registrar_check_authentication(response, request) ||
         next_.check_authentication(response, request);
}

void install_registrar() {
  static registrar_transaction_user user(get_sip_transaction_user());
  set_sip_transaction_user(&user);
  if (!get_auth_hooks()) set_auth_hooks(&registrar_auth_hooks());
  set_sip_connection_closed(registrar_connection_closed);
  set_handle_ssoap([](const str& text) {
    registrar_on_soap(text);
    return 0;
  });
}
