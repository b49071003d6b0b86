#include "sip/auth_policy.h"

#include <vector>

#include "base/ip_port.h"
#include "base/log.h"
#include "base/version.h"
#include "frame/clock.h"
#include "frame/settings.h"
#include "sip/address_list.h"

namespace {

auth_hooks* g_hooks = nullptr;

const str c_authorization("Authorization");
const str c_proxy_authorization("Proxy-Authorization");
const str c_www_authenticate("WWW-Authenticate");
const str c_proxy_authenticate("Proxy-Authenticate");
const str c_user_agent("User-Agent");
const str c_warning("Warning");

// a.b.c.d/bits against the source, both masked to bits leading bits.
bool masked_match(const str& entry, long slash, const str& source) {
  str network = ip_address_parse(entry.leftstr(static_cast<size_t>(slash)));
  str bits_text = entry.substr(static_cast<size_t>(slash) + 1);
  if (network.length() != 4 || source.length() != 4 || !bits_text.is_number()) return false;
  int bits = bits_text.value();
  if (bits < 0 || bits > 32) return false;
  for (int i = 0; i < 4; i++) {
    int keep = bits - 8 * i;
    uint8_t mask = keep >= 8 ? 0xff : keep <= 0 ? 0 : static_cast<uint8_t>(0xff << (8 - keep));
    if ((network[i] & mask) != (source[i] & mask)) return false;
  }
  return true;
}

bool entry_matches(const str& entry, const str& source) {
  long slash = entry.find('/');
  if (slash >= 0) return masked_match(entry, slash, source);
  if (entry.icmp("localhost")) return source == ip_address_parse("127.0.0.1");
  str address = ip_address_parse(entry);
  return !address.empty() && address == source;
}

bool empty_passwords_allowed() {
  return ctrl_read_registry(ctrl_settings::allow_empty_passwords) == "true";
}

}  // namespace

const str c_forbidden("Forbidden");
const str c_authentication_required("Authentication Required");

void set_auth_hooks(auth_hooks* hooks) { g_hooks = hooks; }
auth_hooks* get_auth_hooks() { return g_hooks; }

str auth_user_agent() {
  return ctrl_read_registry(ctrl_settings::app_user_agent) + "/" + TELMOND_VERSION;
}

bool source_in_list(const ip_port& peer, const str& list) {
  // A dual-stack socket reports IPv4 peers in their mapped form.
  const str source = peer.unmapped().address;
  for (size_t i = 0;; i++) {
    str entry = list.get_field(i, " \t\r\n");
    if (entry.empty()) return false;
    if (entry_matches(entry, source)) return true;
  }
}

bool check_trusted_ip(const sip_message& request, const str& permitted) {
  if (permitted.strip().empty() || source_in_list(request.peer, permitted)) return false;
  sip_message response(403, c_forbidden, request);
  response.add_other_header(c_user_agent, str(), auth_user_agent());
  if (g_hooks) g_hooks->send_response(response, request);
  return true;
}

bool check_md5(const sip_message& request, std::set<str>& nonces, const str& realm, const str& user,
               const str& password) {
  if (password.empty()) return false;
  const str& uri = request.request_uri.serialize();
  bool nonce_known = false;
  for (const str& value : request.get_other_headers(c_authorization, str())) {
    // The scheme word is not compared; check_authentication skips it.
    if (check_authentication(value, request.method, uri, realm, user, password, nonces,
                             nonce_known)) {
      // A proven password clears the failed attempts of the address, for a call as for a
      // registration: the requests of a call would otherwise count on toward the blocking.
      authentication_result(clock_now(), request.peer.address, true, "sip");
      return false;
    }
  }
  sip_message response(401, c_authentication_required, request);
  response.add_other_header(c_user_agent, str(), auth_user_agent());
  if (nonce_known) {
    response.add_other_header(c_warning, str(),
                              str::sprintf("399 %s Password does not match", realm));
  } else {
    str nonce = auth_issue_nonce(nonces);
    response.add_other_header(c_www_authenticate, str(),
                              str::sprintf("Digest realm=%s,nonce=%s,domain=%s,algorithm=MD5",
                                           auth_quote(realm), auth_quote(nonce), auth_quote(uri)));
  }
  if (g_hooks) g_hooks->send_response(response, request);
  return true;
}

bool digest_policy(const sip_message& request, std::set<str>& nonces, const str& realm,
                   const str& user, const str& password) {
  if (password.empty()) {
    if (empty_passwords_allowed()) return false;
    // The deliberate silent drop; logged above the default level, for an operator looking
    // for a telephone that cannot register.
    log_printf(log_sip, 7,
               "Dropping %s from %s without an answer: the account %s has no password and "
               "allow_empty_passwords is not \"true\"",
               request.method, request.peer.readable(), user);
    return true;
  }
  return check_md5(request, nonces, realm, user, password);
}

bool registration_security_policy(const sip_message& request, bool authenticated,
                                  auth_credentials& c) {
  if (authenticated) return false;
  if (check_trusted_ip(request, c.permitted)) return true;
  return digest_policy(request, c.nonces, c.realm, c.user, c.password);
}

bool call_leg_security_policy(const sip_message& request, bool authenticated,
                              const call_leg_auth& settings, auth_credentials& c) {
  if (authenticated || !settings.require_authentication) return false;
  if (request.method == m_ack) return false;
  if (request.method == m_cancel && !settings.challenge_cancel) return false;
  if (request.method == m_bye && !settings.challenge_bye) return false;
  if (check_trusted_ip(request, c.permitted)) return true;
  return digest_policy(request, c.nonces, c.realm, c.user, c.password);
}

bool trunk_security_policy(const sip_message& request, bool authenticated, const str& user,
                           const str& password, std::set<str>& nonces) {
  if (authenticated) return false;
  return digest_policy(request, nonces, request.request_uri.get_host(), user, password);
}

bool answer_challenge(const sip_message& response, const sip_message& original, const str& user,
                      const str& password, int call_port_index, sip_message& new_request) {
  std::vector<str> www = response.get_other_headers(c_www_authenticate, str());
  std::vector<str> proxy = response.get_other_headers(c_proxy_authenticate, str());
  if ((www.empty() && proxy.empty()) || original.challenge_answered || user.empty()) return false;
  log_printf(log_sip, 8, "Answer challenge with username %s", user);

  new_request = original;
  new_request.remove_other_header(c_authorization, str());
  new_request.remove_other_header(c_proxy_authorization, str());

  const str& uri = original.request_uri.serialize();
  const str& default_realm = original.from.addr_spec().get_host();
  stored_challenge stored;
  str value =
      answer_challenge_header(www, original.method, uri, default_realm, user, password, &stored);
  const str* header_name = &c_authorization;
  if (value.empty()) {
    stored = stored_challenge();
    value = answer_challenge_header(proxy, original.method, uri, default_realm, user, password,
                                    &stored);
    header_name = &c_proxy_authorization;
  }
  if (value.empty()) return false;
  new_request.add_other_header(*header_name, str(), value);
  if (new_request.method != m_cancel) new_request.cseq++;
  new_request.challenge_answered = true;
  // A new transaction: the branch of the challenged one would make the copy look like a
  // retransmission of it (RFC 3261 8.1.3.5).
  new_request.branch_param.clear();

  if (!stored.empty()) {
    stored.header_name = *header_name;
    if (g_hooks && call_port_index >= 0) {
      g_hooks->store_call_port_challenge(call_port_index, stored);
    }
    if (g_hooks && original.method == m_register) {
      g_hooks->store_trunk_challenge(original.call_id, stored);
    }
  }

  if (original.method == m_invite && g_hooks) {
    // The ACK for a non-2xx final response: same request-URI, top Via, route set, Call-ID,
    // From and CSeq number as the INVITE, the To of the response.
    sip_message ack = original;
    ack.method = m_ack;
    ack.cseq_method = m_ack;
    ack.to = response.to;
    if (ack.via.size() > 1) ack.via.resize(1);
    ack.contact.clear();
    ack.other_headers.clear();
    ack.content_type.clear();
    ack.sdps.clear();
    ack.bodies.clear();
    g_hooks->send_request(ack);
  }
  if (g_hooks) g_hooks->send_request(new_request);
  return true;
}
