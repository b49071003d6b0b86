// libFuzzer target: the Authorization / WWW-Authenticate value parser and the code that reads
// such values (the server's check of one Authorization header and the client's answer to a
// challenge). Contracts that hold for any input:
// - parsed names are non-empty and hold no ',' or '=';
// - the parsed parameters, written again with quoted values, parse back to the same values;
// - checking a value against an empty nonce set never succeeds and never claims the nonce;
// - an answer to a challenge is either empty or a Digest value that this parser reads back
//   with the given user name and uri and a 32-digit response.
#include <cstddef>
#include <cstdint>
#include <set>

#include "sip/digest_auth.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  str input(data, size);
  auth_header_value h = parse_auth_header(input);
  str rebuilt = h.scheme.empty() ? str("x") : h.scheme;
  for (size_t i = 0; i < h.params.size(); i++) {
    const auth_param& p = h.params[i];
    if (p.name.empty() || p.name.contains_char(',') || p.name.contains_char('=')) {
      __builtin_trap();
    }
    rebuilt += i == 0 ? " " : ",";
    rebuilt += p.name + "=" + auth_quote(p.value);
  }
  auth_header_value back = parse_auth_header(rebuilt);
  // Names with white space inside or a leading quote do not survive rebuilding unchanged;
  // compare only when every name is a plain token.
  bool plain = true;
  for (const auth_param& p : h.params) {
    for (size_t i = 0; i < p.name.length(); i++) {
      char c = static_cast<char>(p.name[i]);
      plain = plain && c > ' ' && c != '"' && c != 0x7f;
    }
  }
  if (plain && !h.scheme.contains_char(',')) {
    if (back.params.size() != h.params.size()) __builtin_trap();
    for (size_t i = 0; i < h.params.size(); i++) {
      if (back.params[i].value != h.params[i].value) __builtin_trap();
    }
  }

  std::set<str> nonces;
  bool known = false;
  if (check_authentication(input, "REGISTER", "sip:example.com", "example.com", "alice", "pw",
                           nonces, known) ||
      known) {
    __builtin_trap();
  }
  // With the header's own nonce issued, a check may pass only by the right digest.
  nonces.insert(h.get("nonce"));
  (void)check_authentication(input, "INVITE", "sip:x", h.get("realm"), h.get("username"), "pw",
                             nonces, known);

  stored_challenge stored;
  str answer = answer_challenge_header({input}, "INVITE", "sip:1000@example.com", "example.com",
                                       "alice", "pw", &stored);
  if (!answer.empty()) {
    auth_header_value a = parse_auth_header(answer);
    if (a.scheme != "Digest" || a.get("username") != "alice" ||
        a.get("uri") != "sip:1000@example.com" || a.get("response").length() != 32) {
      __builtin_trap();
    }
    str next = get_cnonce_string(stored, "BYE", "sip:1000@example.com");
    if (!stored.empty() && parse_auth_header(next).get("nc") != "00000002") __builtin_trap();
  }
  return 0;
}
