#include "sip/digest_auth.h"

#include "base/digest.h"
#include "base/random.h"

namespace {

bool is_lws(uint8_t c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

}  // namespace

str auth_header_value::get(const char* name) const {
  for (const auth_param& p : params) {
    if (p.name.icmp(name)) return p.value;
  }
  return str();
}

bool auth_header_value::has(const char* name) const {
  for (const auth_param& p : params) {
    if (p.name.icmp(name)) return true;
  }
  return false;
}

auth_header_value parse_auth_header(const str& value) {
  auth_header_value out;
  const size_t n = value.length();
  size_t i = 0;
  while (i < n && is_lws(value[i])) i++;
  size_t start = i;
  while (i < n && !is_lws(value[i])) i++;
  out.scheme = value.substr(start, i - start);

  while (i < n) {
    while (i < n && (is_lws(value[i]) || value[i] == ',')) i++;
    if (i >= n) break;
    start = i;
    while (i < n && value[i] != '=' && value[i] != ',') i++;
    auth_param p;
    p.name = value.substr(start, i - start).strip();
    if (i < n && value[i] == '=') {
      i++;
      while (i < n && is_lws(value[i])) i++;
      if (i < n && value[i] == '"') {
        i++;
        str unquoted;
        size_t run = i;  // start of the bytes not yet copied
        bool escaped = false;
        while (i < n && value[i] != '"') {
          if (value[i] == '\\' && i + 1 < n) {
            unquoted += value.substr(run, i - run);
            i++;
            run = i;
            escaped = true;
          }
          i++;
        }
        p.value = escaped ? unquoted + value.substr(run, i - run) : value.substr(run, i - run);
        if (i < n) i++;  // closing quote
        // Anything between the closing quote and the next comma is ignored.
        while (i < n && value[i] != ',') i++;
      } else {
        start = i;
        while (i < n && value[i] != ',') i++;
        p.value = value.substr(start, i - start).strip();
      }
    }
    if (!p.name.empty()) out.params.push_back(std::move(p));
  }
  return out;
}

str auth_quote(const str& value) {
  str out("\"");
  for (size_t i = 0; i < value.length(); i++) {
    char c = static_cast<char>(value[i]);
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  out += '"';
  return out;
}

str auth_md5_hex(const str& nonce, const str& user, const str& realm, const str& password,
                 const str& method, const str& uri, const str& qop, const str& nc,
                 const str& cnonce) {
  str ha1 = md5_hex(user + ":" + realm + ":" + password);
  str ha2 = md5_hex(method + ":" + uri);
  str text = ha1 + ":" + nonce + ":";
  if (!qop.empty()) text += nc + ":" + cnonce + ":" + qop + ":";
  text += ha2;
  return md5_hex(text);
}

str auth_new_nonce() { return random_hex(auth_nonce_length); }
str auth_new_cnonce() { return random_hex(auth_cnonce_length); }

str auth_nonce_count(unsigned count) { return str(count, 8); }

str auth_issue_nonce(std::set<str>& nonces) {
  while (nonces.size() >= auth_max_nonces) nonces.erase(nonces.begin());
  str nonce = auth_new_nonce();
  nonces.insert(nonce);
  return nonce;
}

bool check_authentication(const str& authorization_value, const str& method, const str& uri,
                          const str& realm, const str& user, const str& password,
                          std::set<str>& nonces, bool& nonce_known) {
  auth_header_value h = parse_auth_header(authorization_value);
  if (h.has("username") && h.get("username") != user) return false;
  str nonce = h.get("nonce");
  auto it = nonces.find(nonce);
  if (it == nonces.end()) return false;
  nonce_known = true;
  str digest_uri = h.has("uri") ? h.get("uri") : uri;
  str expected =
      auth_md5_hex(nonce, user, realm, password, method, digest_uri, str(), str(), str());
  // The client may write the hex digits in upper case.
  if (!h.get("response").icmp(expected)) return false;
  nonces.erase(it);
  return true;
}

str auth_credentials_value(const str& realm, const str& nonce, const str& user, const str& password,
                           const str& method, const str& uri, const str& qop, const str& nc,
                           const str& cnonce, const str& opaque) {
  str response = auth_md5_hex(nonce, user, realm, password, method, uri, qop, nc, cnonce);
  str out("Digest realm=");
  out += auth_quote(realm);
  out += ",nonce=";
  out += auth_quote(nonce);
  out += ",response=";
  out += auth_quote(response);
  out += ",username=";
  out += auth_quote(user);
  out += ",uri=";
  out += auth_quote(uri);
  if (!qop.empty()) {
    out.appendf(",qop=%s,nc=%s,cnonce=%s", auth_quote(qop), nc, auth_quote(cnonce));
  }
  if (!opaque.empty()) out.appendf(",opaque=%s", auth_quote(opaque));
  out += ",algorithm=MD5";
  return out;
}

namespace {

// True when the comma-separated list holds the token (surrounding white space ignored).
bool list_has_token(const str& list, const char* token) {
  size_t start = 0;
  const size_t n = list.length();
  while (start <= n) {
    long comma = list.find(',', start);
    size_t end = comma < 0 ? n : static_cast<size_t>(comma);
    if (list.substr(start, end - start).strip().icmp(token)) return true;
    if (comma < 0) break;
    start = end + 1;
  }
  return false;
}

}  // namespace

str answer_challenge_header(const std::vector<str>& challenges, const str& method, const str& uri,
                            const str& default_realm, const str& user, const str& password,
                            stored_challenge* store) {
  for (const str& challenge : challenges) {
    auth_header_value h = parse_auth_header(challenge);
    if (!h.scheme.icmp("Digest")) continue;
    str nonce = h.get("nonce");
    str realm = h.has("realm") ? h.get("realm") : default_realm;
    str opaque = h.get("opaque");
    str qop, nc, cnonce;
    if (list_has_token(h.get("qop"), "auth")) {
      qop = "auth";
      nc = auth_nonce_count(1);
      cnonce = auth_new_cnonce();
      if (store) {
        store->qop = qop;
        store->nc = 1;
        store->realm = realm;
        store->nonce = nonce;
        store->user = user;
        store->password = password;
        store->opaque = opaque;
      }
    }
    return auth_credentials_value(realm, nonce, user, password, method, uri, qop, nc, cnonce,
                                  opaque);
  }
  return str();
}

str get_cnonce_string(stored_challenge& challenge, const str& method, const str& uri) {
  if (challenge.empty()) return str();
  challenge.nc++;
  str nc = challenge.qop.empty() ? str() : auth_nonce_count(challenge.nc);
  str cnonce = challenge.qop.empty() ? str() : auth_new_cnonce();
  return auth_credentials_value(challenge.realm, challenge.nonce, challenge.user,
                                challenge.password, method, uri, challenge.qop, nc, cnonce,
                                challenge.opaque);
}
