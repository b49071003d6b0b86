// The registrar's place in the SIP stack: the transaction user that hands REGISTER and
// SUBSCRIBE to reg_in and everything else to the user installed before it, the receiver of
// the PBX half's answers on the srv queue, and the auth_hooks through which 401/403 leave.
//
// srv side: installed once at start-up, before the threads run.
#pragma once

#include "sip/sip_transport.h"

class registrar_transaction_user : public sip_transaction_user {
 public:
  explicit registrar_transaction_user(sip_transaction_user& next) : next_(next) {}
  void travel_forward(sip_message& request, const str& raw) override;
  void travel_backward(sip_message& response) override { next_.travel_backward(response); }
  bool check_authentication(const sip_message& response, const sip_message& request) override;
  int find_call_port(const str& call_id, const str& local_tag, const str& remote_tag) override {
    return next_.find_call_port(call_id, local_tag, remote_tag);
  }
  bool has_connect_time(int index) override { return next_.has_connect_time(index); }
  void ack_no_ok_timeout(int index) override { next_.ack_no_ok_timeout(index); }
  void send_hangup_timeout(int index) override { next_.send_hangup_timeout(index); }
  void report_destination(const ip_port& d) override { next_.report_destination(d); }
  void add_trusted_address(transport_type t, const ip_port& a) override {
    next_.add_trusted_address(t, a);
  }
  void discovery_complete(const sip_message& request) override {
    next_.discovery_complete(request);
  }

 private:
  sip_transaction_user& next_;
};

// Installs the registrar in front of the current transaction user, its auth_hooks (when none
// are installed), its handler of the srv queue (SetRegisterPolicy, RegisterResponse,
// SubscriptionNotify) and the removal of the bindings a closing TCP/TLS connection carried.
void install_registrar();
