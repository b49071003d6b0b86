#include "sip/registrar_user.h"

#include "frame/queues.h"
#include "sip/reg_in.h"
#include "sip/sip_connection.h"
#include "sip/sip_message.h"

void registrar_transaction_user::travel_forward(sip_message& request, const str& raw) {
  if (request.is_request && (request.method == m_register || request.method == m_subscribe)) {
    registrar_receive(request);
    return;
  }
  if (request.is_request && request.method == m_notify) {
    auto it = reg_ins.find(request.call_id);
    if (it != reg_ins.end()) {
      it->second->subscribe_notify(request);
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
