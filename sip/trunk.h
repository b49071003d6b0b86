// trunk: the SIP side's image of one row of the trunks table, a connection to a SIP service
// provider or gateway. It registers this system at the provider when an account is set, keeps
// the registration and the NAT binding alive, answers the provider's challenges, learns the
// provider's addresses, and tells which trunk an incoming request came from (find_trunk).
//
// The PBX side sets trunks up with SetupTrunk and removes them with DeleteTrunk
// (sip/trunk_messages.h, read by trunk_on_soap); every final outcome of a registration goes
// back to it as TrunkStatus.
//
// srv side only: every function runs under srv_run_mutex (SIP socket thread, connection
// threads, SIP timer thread). Timers carry only the trunk's key and look it up when they fire;
// they run on the srv context's queue, REGISTERs leave through its send and TrunkStatus
// through its post.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <set>

#include "base/ip_port.h"
#include "base/str.h"
#include "frame/timeout.h"
#include "sip/auth_policy.h"
#include "sip/digest_auth.h"
#include "sip/sip_message.h"
#include "sip/sip_transport.h"
#include "sip/transport_type.h"
#include "sip/trunk_messages.h"

class trunk {
 public:
  enum keep_alive_kind { keep_alive_none = 0, keep_alive_stun = 2, keep_alive_crlf = 3 };

  // ---- From SetupTrunk
  str key;  // record id of the trunks row, decimal
  str name, reg_display, account, registrar, auth_user, password;
  int expires = 3600;       // requested registration time
  int keep = 0;             // reg_keep seconds; 0: not configured
  int request_timeout = 0;  // seconds; 0: the transaction default
  str outbound_proxy;       // a SIP URI; its keepalive and interval parameters
  str aadr;                 // associated addresses as configured
  std::set<str> domain_names;
  str domain_name;  // the first of them
  std::set<str> dids;
  str country_code, area_code;
  bool outbound_only = false, disabled = false;
  str require;  // Proxy-Require value
  bool rfcrtp = false, analog = false, dtmf = false, use_uuid = true;
  str uuid, icid;

  // ---- Made here, kept across refreshes and updates
  str line;  // the Contact's line parameter
  str reg_call_id, from_tag;

  // ---- Learned
  // The flow: where the last successful REGISTER answer came from, and on which local port
  // (UDP port name) or connection; flow_transport none while there is none.
  transport_type flow_transport;
  ip_port flow_address;
  str flow_port_name;
  // "transport:address:port" texts from resolving the registrar and the outbound proxy.
  std::set<str> learned_addresses;
  // From aadr: "address" or "address:port" texts.
  std::set<str> explicit_addresses;
  ip_port public_address;  // discovered public address for the Contact; invalid: unknown
  // The STUN request waiting for its answer (magic cookie and transaction id; empty: none)
  // and where it went.
  str stun_transaction_id;
  ip_port stun_server;
  bool discovering = false;
  stored_challenge challenge;
  keep_alive_kind keep_alive_type = keep_alive_none;
  int keep_alive_interval = 0;
  unsigned attempts = 0, successes = 0, failures = 0;
  timeout register_timer, keep_alive_timer;

  trunk() = default;
  trunk(const trunk&) = delete;
  trunk& operator=(const trunk&) = delete;
  ~trunk();

  // Takes the values of m (key excepted); the registration's identity stays.
  void update(const msg::setup_trunk& m);
  // Resolves the registrar and the outbound proxy and then registers (send_discover and, when
  // complete, send_register).
  void start_register();
  // Resolves the registrar and the outbound proxy into the learned addresses; a literal
  // address needs no lookup, names go out as one DISCOVER. With an account the REGISTER
  // follows once the addresses are complete (finish_trusted_address).
  void send_discover();
  // Sends the REGISTER (nothing for a disabled trunk).
  void send_register();
  // A final response (or the transaction's 408) to the trunk's REGISTER.
  void on_register_response(const sip_message& response);
  // A CRLF keep-alive on the flow (STUN when that type is chosen); rearms itself.
  void send_keep_alive();
  // A STUN binding request to destination from local port port_name (UDP flows only); the
  // previous one unanswered is logged.
  bool send_stun(const str& port_name, const ip_port& destination);
  // The answer to the STUN request: its mapped address becomes the public address of the
  // Contact; a changed one is registered at once.
  void on_stun_response(const str& datagram);
  // The registration timer's callback: the REGISTER of the trunk of key (if it still exists).
  static void refresh_procedure(const str& key);
  // Stops the registration and keep-alive timers.
  void stop();
  // The From of the REGISTER (with the trunk's tag).
  from_to_spec get_from() const;
  // A fresh Call-ID for the registration.
  static str make_callid();
  // The credentials value of the stored challenge for a request (nonce count incremented);
  // empty when nothing is stored.
  str get_cnonce_string(const str& method, const str& uri);
  // The destination URI of the trunk's requests: the outbound proxy, else the registrar.
  str next_hop() const;

  // Name resolution: an address found, and the end of the resolution.
  void add_to_trusted(transport_type transport, const ip_port& address);
  void finish_trusted_address();

 private:
  void post_status(const sip_message& response, const char* text);
  void choose_keep_alive();
  void schedule_register(int seconds);
};

// Every trunk by key; the line identifier and the registration Call-ID name the key.
extern std::map<str, std::unique_ptr<trunk>> srvtrunks;
extern std::map<str, str> trunk_lines;
extern std::map<str, str> trunk_call_ids;

// The trunk of key; nullptr when there is none.
trunk* get_trunk(const str& key);
// SetupTrunk: creates or updates the trunk and starts it (start_register with an account,
// else send_discover).
void setup_trunk(const msg::setup_trunk& m);
// The SIP sockets are bound (at start, and again after a restart): every trunk starts (again).
// Until the first call a SetupTrunk only stores the trunk, since a REGISTER sent before the
// sockets exist would be lost and retried only a minute later.
void trunks_ports_ready();
// DeleteTrunk: the trunk stops and is forgotten.
void delete_trunk(const str& key);
// Deletes every trunk; the sockets count as not bound again (tests).
void clear_trunks();

// The key of the trunk an incoming request came from, or empty (the caller then looks the
// request up among the accounts). A request-URI line parameter naming a trunk decides;
// otherwise every trunk that is neither outbound-only nor disabled is examined in key order
// and the first category that any trunk meets wins, the last trunk examined within it: IP
// and DID, IP and From, IP and user, IP/port and domain, IP and domain, IP/port, IP, domain
// only. Each choice and a miss are logged (trunk group, levels 5 and 8).
str find_trunk(const sip_message& request);

// The keep-alive timer's callback by key.
void send_keep_alive(const str& key);

// The name-resolution results for the trunk of key.
void add_to_trusted(const str& key, transport_type transport, const ip_port& address);
void finish_trusted_address(const str& key);

// The global form of number for country and area code ("+" country area number); a number
// that cannot be converted comes back unchanged.
str trunk_global_number(const str& country_code, const str& area_code, const str& number);

// A STUN Binding Success Response on a SIP UDP port (frame/sip_loop.h stun_response): given to
// the trunk whose request it answers; others are dropped.
void trunk_stun_response(const str& datagram, const ip_port& source);

// The srv queue's trunk commands (SetupTrunk, DeleteTrunk); true when text was one.
bool trunk_on_soap(const str& text);

// The trunks in the SIP stack: answers to their REGISTERs, the challenges to them and the
// ends of their DISCOVERs go to the trunk; everything else to next.
class trunk_transaction_user : public forwarding_transaction_user {
 public:
  using forwarding_transaction_user::forwarding_transaction_user;
  void travel_backward(sip_message& response) override;
  bool check_authentication(const sip_message& response, const sip_message& request) override;
  void add_trusted_address(const sip_message& request, transport_type transport,
                           const ip_port& address) override;
  void discovery_complete(const sip_message& request) override;
};

// Keeps a challenge answered for a trunk's REGISTER in the trunk; the rest goes to next.
class trunk_auth_hooks : public auth_hooks {
 public:
  explicit trunk_auth_hooks(auth_hooks* next) : next_(next) {}
  void send_response(const sip_message& response, const sip_message& request) override;
  void send_request(const sip_message& request) override;
  void store_call_port_challenge(int index, const stored_challenge& c) override;
  void store_trunk_challenge(const str& call_id, const stored_challenge& c) override;

 private:
  auth_hooks* next_;
};

// Installs the trunks in front of the current transaction user and auth_hooks. Call it after
// install_call_ports.
void install_trunks();
