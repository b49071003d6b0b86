// The signalling half of the registrar: one reg_in per Call-ID of a REGISTER or SUBSCRIBE
// dialog. It authenticates the phone against the policy the PBX half supplies, works out the
// NAT treatment and the requested expiry, hands the request to the PBX half for the decision,
// answers it (send_ok) and removes the binding when its removal timer fires.
//
// The PBX half is reached only through text messages (sip/sip_messages.h): GetRegisterPolicy
// and RegisterRequest are answered asynchronously by SetRegisterPolicy and RegisterResponse;
// meanwhile the requests wait in the reg_in's two queues (at most 10 each, the oldest dropped).
// A retransmission of a waiting request is dropped: the phone gets one answer, when the PBX
// half has spoken.
//
// srv side: every function runs under srv_run_mutex (SIP socket thread, SIP timer thread).
// Timers carry only the Call-ID and look the reg_in up when they fire.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <vector>

#include "base/ip_port.h"
#include "base/str.h"
#include "frame/timeout.h"
#include "sip/auth_policy.h"
#include "sip/sip_message.h"

// A request waiting for the PBX half, with the flag that it passed the security policy (the
// message itself has no such flag).
struct reg_pending {
  sip_message request;
  bool authenticated = false;
};

class reg_in {
 public:
  explicit reg_in(const str& call_id);
  ~reg_in();
  reg_in(const reg_in&) = delete;
  reg_in& operator=(const reg_in&) = delete;

  // REGISTER and SUBSCRIBE of this Call-ID.
  void handle_register_request(sip_message& request);
  // SetRegisterPolicy: the credentials the PBX half found, or the refusal (refused_code 403 or
  // 404 with its reason) that the addresses alone decide, which is answered before any
  // challenge; requests waiting for it run again.
  void set_register_policy(bool found, const str& permitted, const str& realm, const str& user,
                           const str& password, int refused_code = 0,
                           const str& refused_reason = str());
  // RegisterResponse for the queued request with that CSeq number.
  void register_response(unsigned cseq, int code, const str& reason, int expires);
  // Answers request with 200 for the granted expiry (this->expires).
  void send_ok(const sip_message& request, const str& require);
  // A NOTIFY in the subscription's dialog, which the 200 of the SUBSCRIBE registered with the
  // transaction layer (register_dialog) so that every NOTIFY takes the next CSeq; the dialog
  // ends with the binding or with a terminating NOTIFY. Subscription-State is active with the
  // seconds left on the removal timer when event is the subscription's and the timer runs, else
  // terminated (and the dialog's To tag is forgotten). Not sent without a route set.
  void send_notify(const str& event, const str& content_type, const str& body);
  // Sends a request of this binding: along the registered flow when the phone needs
  // keep-alive, else by its request-URI and Route headers.
  void send_request(sip_message& request);
  // Answers a NOTIFY that arrived in this binding's dialog with 200.
  void subscribe_notify(const sip_message& notify);
  // Any other request in this binding's dialog: NOTIFY goes to subscribe_notify, OPTIONS is
  // answered 200 (a phone probing the dialog), ACK is absorbed, and everything else is
  // answered 405 "Method Not Allowed" with the Allow list of the dialog.
  void handle_other_request(sip_message& request);
  // The request belongs to this binding's dialog: its To tag is the one generated here.
  bool in_dialog(const sip_message& request) const;
  // The request is a retransmission of one still waiting in a queue for the PBX half (same
  // CSeq, same top Via branch). The transaction layer absorbs a repeated request only once a
  // response exists; before that the repeat would be challenged or decided a second time.
  bool is_waiting(const sip_message& request) const;

  // ---- State (read by tests and status pages) ----
  //
  // Ten thousand bindings live for hours, so the state is kept small: the texts are packed
  // into one buffer of their own after every event (pack), never left as windows on a
  // received packet or message, which would keep the whole packet alive; the queues and the
  // last request sent take memory only while they hold something.
  str call_id;
  str from, to;  // header texts; To with the tag generated here
  str to_tag;
  str route_set;  // name-addr texts towards the phone, one per line, the Contact last
  str event, event_parameters;
  ip_port source;
  transport_type transport;
  str user_agent, supported, proxy_require, www;
  bool keep_alive = false, outbound = false, path = false, bound = false;
  bool policy_known = false, policy_asked = false, found = false;
  int refused_code = 0;  // the policy's refusal (0: none) and its reason phrase
  str refused_reason;
  bool just_authenticated = false;
  auth_credentials credentials;
  int reauth_counter = 0;
  int expires = 0;    // granted last
  int announced = 0;  // announced in the last 200
  int min_expires = 30, max_expires = 360;
  // Requests waiting for the policy and for the decision (front = oldest); held only while a
  // request waits.
  struct waiting_requests {
    std::vector<reg_pending> policy, decision;
  };
  std::unique_ptr<waiting_requests> waiting;
  const std::vector<reg_pending>& policy_queue() const;
  const std::vector<reg_pending>& decision_queue() const;
  // MD5 of the texts the last request handed to the PBX half was made of (empty before).
  str fingerprint;
  timeout removal_timer;
  str connection;  // name of the TCP/TLS connection that carries the binding, if any
  str addresses;   // the ipadr2regs keys listing this binding, one per line

  // Moves every text of the binding (not call_id, which the map key shares) into one buffer.
  void pack();
  // Lists the binding in ipadr2regs under its current transport and source address.
  void list_address();
  // A binding kept from before a restart: bound, with its removal timer remaining_ms from now.
  void keep_bound(int64_t remaining_ms);

  // Seconds until the removal timer fires (0 when idle).
  int64_t removal_seconds() const { return removal_timer.seconds(); }

 private:
  // A request that may change the binding, in steps: note_dialog, admit (policy, refusal,
  // credentials), note_flow (source, keep-alive), requested_expiry, then either the refresh
  // answered at once (RRU) or the RegisterRequest for the PBX half's decision.
  void process(sip_message& request, bool authenticated);
  void note_dialog(const sip_message& request, const from_to_spec* contact, bool star);
  bool admit(const sip_message& request, bool& authenticated_now);
  void note_flow(const sip_message& request, const from_to_spec* contact);
  int requested_expiry(const sip_message& request, const from_to_spec* contact, str& text) const;
  waiting_requests& queues();
  // Gives the queues back when both are empty.
  void release_queues();
  void set_removal(int64_t ms);
  void send_error(const sip_message& request, int code, const str& reason);
};

// All bindings by Call-ID.
extern std::map<str, std::unique_ptr<reg_in>> reg_ins;
// "%s:%s" (transport, source address) -> Call-IDs learned from there. A set per address, since
// one gateway or proxy can carry thousands of bindings.
extern std::map<str, std::set<str>> ipadr2regs;

// The entry of a received REGISTER or SUBSCRIBE: finds or creates the reg_in of its Call-ID.
void registrar_receive(sip_message& request);
// Removal timer target: tells the PBX half (RegisterExpires) and deletes the reg_in.
void remove_registration(const str& call_id);
// "eventlist" when request's event is dialog and its Supported lists eventlist, else empty.
str check_for_eventlist(const sip_message& request);
// The binding request came from (by Call-ID); nullptr, logged "Cannot determine from what
// registration the request was sent", when none.
reg_in* find_registration(const sip_message& request);
// A 401/407 to a request a binding sent: answered with the binding's credentials (true), or
// false when the request is not a binding's or cannot be answered.
bool registrar_check_authentication(const sip_message& response, const sip_message& request);
// The srv side's handler for the answers of the PBX half (SetRegisterPolicy,
// RegisterResponse, SubscriptionNotify: CallID, Event, ContentType, Body); true when text was
// one of them.
bool registrar_on_soap(const str& text);
// A TCP/TLS connection ends: the bindings it carried are removed.
class sip_connection;
void registrar_connection_closed(sip_connection& connection);
// A binding that outlived a restart (a registrations row whose date has not passed): its
// reg_in is re-created, bound, and removed (RegisterExpires) when remaining_ms are over. from,
// to and contact are the header texts; adr the source address text. The source port is the
// Contact's (5060 when it names none); the transport is UDP, since connections do not survive.
// Nothing happens for an empty Call-ID or no time left; an existing reg_in is left as it is.
void registrar_restore(const str& call_id, const str& from, const str& to, const str& event,
                       const str& adr, const str& contact, int64_t remaining_ms);
// Deletes every reg_in (tests).
void registrar_clear();

// Responses and NOTIFYs leave through the side's send, messages reach the PBX half through its
// post, and the removal timers run on its queue (srv_context).
// The auth_hooks of the registrar: 401/403 sent like the registrar's own responses.
auth_hooks& registrar_auth_hooks();
