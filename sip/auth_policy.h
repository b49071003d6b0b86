// The security policy that every state-changing SIP request passes before it is processed
// (permitted source addresses and digest authentication), and the answering of challenges
// that other servers send to the system's own requests.
//
// Each authenticating object (registration, call leg, trunk, event publisher) holds its
// expected credentials and nonce set in an auth_credentials; its apply_security_policy calls
// the policy function of its kind here. A policy returns true when the request was answered
// (403, 401) or dropped and must not be processed further, false when it may proceed; the
// caller then marks the request authenticated so that it is not checked again by another
// object.
//
// Empty passwords: an object whose expected password is empty is never challenged. The setting
// allow_empty_passwords decides what happens to its requests: "true" lets them proceed
// unauthenticated, anything else ("false", the default) drops them without an answer, so that
// an account without a password cannot be used and its existence is not revealed.
//
// srv side: everything here runs under srv_run_mutex. Responses and re-sent requests leave
// through the auth_hooks that the transaction layer installs.
#pragma once

#include <set>

#include "base/str.h"
#include "sip/digest_auth.h"
#include "sip/sip_message.h"

// What the policy and the challenge answering need from the transaction layer and the objects
// that own stored challenges.
class auth_hooks {
 public:
  virtual ~auth_hooks() = default;
  // Sends response (a 401 or 403 built here) to the source of request.
  virtual void send_response(const sip_message& response, const sip_message& request) = 0;
  // Sends a request of the system's own: the ACK for a challenged INVITE and the re-sent
  // request with credentials. The destination is the one the request carries.
  virtual void send_request(const sip_message& request) = 0;
  // A challenge answered with qop=auth for a request of call leg index.
  virtual void store_call_port_challenge(int call_port_index, const stored_challenge& c) = 0;
  // A challenge answered with qop=auth for a REGISTER: stored in the trunk whose registration
  // has that Call-ID (if any).
  virtual void store_trunk_challenge(const str& call_id, const stored_challenge& c) = 0;
};

// The installed instance (nullptr: responses and requests are dropped). Not owned.
void set_auth_hooks(auth_hooks* hooks);
auth_hooks* get_auth_hooks();

// Expected credentials and issued nonces of one authenticating object.
struct auth_credentials {
  str realm;
  str user;
  str password;
  // Permitted source addresses (check_trusted_ip); empty: any.
  str permitted;
  std::set<str> nonces;
};

// Reason phrases and header texts of the policy's answers.
extern const str c_forbidden;                // "Forbidden"
extern const str c_authentication_required;  // "Authentication Required"

// The User-Agent value: setting app_user_agent, "/" and the version number.
str auth_user_agent();

// True when permitted is non-empty and no entry of it matches the request's source; a 403
// "Forbidden" has then been sent. Entries (white-space separated): "a.b.c.d/bits" (bits 0 to
// 32, both addresses masked to that many leading bits), "localhost" (any case; the source
// 127.0.0.1) or a plain address (exact match). Unreadable entries match nothing.
bool check_trusted_ip(const sip_message& request, const str& permitted);
// True when peer matches an entry of list (the entries as above).
bool source_in_list(const ip_port& peer, const str& list);

// The digest check. True when a 401 "Authentication Required" has been sent: with a Warning
// "399 <realm> Password does not match" when some Authorization header carried one of our
// nonces but a wrong response, else with a fresh challenge in WWW-Authenticate. False when an
// Authorization header passed (its nonce is then used up) or when the password is empty
// (nothing is checked or sent then; see the file comment).
bool check_md5(const sip_message& request, std::set<str>& nonces, const str& realm, const str& user,
               const str& password);

// The digest check with the empty-password rule applied: true when answered or dropped.
bool digest_policy(const sip_message& request, std::set<str>& nonces, const str& realm,
                   const str& user, const str& password);

// Policies by object kind (first matching rule wins). authenticated: the request already passed
// another object's policy.
//   registration: authenticated -> proceed; permitted addresses (403); digest (401).
bool registration_security_policy(const sip_message& request, bool authenticated,
                                  auth_credentials& credentials);

// How a call leg treats requests.
struct call_leg_auth {
  bool require_authentication = true;
  bool challenge_cancel = false;
  bool challenge_bye = false;
};
//   call leg: authenticated, no authentication required, ACK, CANCEL (unless challenge_cancel),
//   BYE (unless challenge_bye) -> proceed; permitted addresses (403); digest (401).
bool call_leg_security_policy(const sip_message& request, bool authenticated,
                              const call_leg_auth& settings, auth_credentials& credentials);
//   trunk and publisher: authenticated -> proceed; digest (401) with the host of the
//   request-URI as realm and the object's user name and password.
bool trunk_security_policy(const sip_message& request, bool authenticated, const str& user,
                           const str& password, std::set<str>& nonces);

// Answers a challenge (401, 407 or another 4xx with WWW-Authenticate/Proxy-Authenticate) that
// response carries for original, a request sent by the system. Nothing is done (false) when the
// response has no such header, when original already answered a challenge (its
// challenge_answered mark), when user is empty, or when no challenge offers Digest; the
// requester then treats the response as a failure. Otherwise logs "Answer challenge with
// username %s", builds new_request (a copy of original without its credentials headers, with
// the answer in Authorization or Proxy-Authorization, the CSeq incremented unless it is a
// CANCEL, marked challenge_answered, and without a branch, so that the sending layer gives the
// new transaction a branch of its own), sends an ACK for the response first when original is an
// INVITE, sends new_request and returns true. Registrations, trunks and call legs all answer
// through here, so the mark holds for each of them. A qop=auth challenge is stored in call leg
// call_port_index (when >= 0) and, for a REGISTER, in the trunk with its Call-ID.
bool answer_challenge(const sip_message& response, const sip_message& original, const str& user,
                      const str& password, int call_port_index, sip_message& new_request);
