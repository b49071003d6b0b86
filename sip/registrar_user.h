// The registrar's place in the SIP stack: the transaction user that hands REGISTER and
// SUBSCRIBE to reg_in and everything else to the user installed before it, the receiver of
// the PBX half's answers on the srv queue, and the auth_hooks through which 401/403 leave.
//
// Overload. Received datagrams wait in the kernel's queue until the SIP side reads them, one
// at a time. When requests come faster than they are served, that queue grows, answers come
// later than the phones' first retransmission (500 ms), and every retransmitted copy is read,
// parsed and absorbed as well: work that achieves nothing, so that under a storm the
// registrar would serve about half of what it can. While more than overload_backlog_bytes
// wait, work that has not begun is therefore refused at once: a REGISTER or SUBSCRIBE of a
// Call-ID that has no binding yet is answered 503 "Service Unavailable" with a Retry-After of
// 5 to 30 seconds (spread by the Call-ID, so that the refused phones do not come back
// together). The answer is stateless (no transaction is kept for it) and the same for every
// repeat. Phones already being served (a challenge being answered, a refresh) go on, and their
// answers come in time.
//
// srv side: installed once at start-up, before the threads run.
#pragma once

#include <cstdint>

#include "sip/sip_transport.h"
#include "sip/sip_udp_receive.h"

// Bytes waiting in the kernel's receive queues above which new registrations are refused.
// Half of what the kernel holds for a SIP UDP socket (4 MB asked for, charged twice): about
// 2,000 REGISTERs, some 150 to 250 ms of work at full speed, still well before the phones'
// first retransmission.
constexpr int64_t overload_backlog_bytes = 4 << 20;

class registrar_transaction_user : public forwarding_transaction_user {
 public:
  // backlog: the bytes of requests waiting to be read (sip_udp_backlog; tests give their own).
  explicit registrar_transaction_user(sip_transaction_user& next,
                                      int64_t (*backlog)() = sip_udp_backlog)
      : forwarding_transaction_user(next), backlog_(backlog) {}
  void travel_forward(sip_message& request, const str& raw) override;
  bool check_authentication(const sip_message& response, const sip_message& request) override;

 private:
  // Answers a new REGISTER or SUBSCRIBE 503 while the SIP side is behind (see above); true when
  // it did.
  bool refused_for_overload(const sip_message& request);

  int64_t (*backlog_)();
};

// Installs the registrar in front of the current transaction user, its auth_hooks (when none
// are installed), its handler of the srv queue (SetRegisterPolicy, RegisterResponse,
// SubscriptionNotify) and the removal of the bindings a closing TCP/TLS connection carried.
void install_registrar();
