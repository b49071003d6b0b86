// libFuzzer target: sip_uri and from_to_spec. Checks the contracts that must hold for any
// input: unmodified values give their text back, and rebuilt values parse to the same parts.
#include <cstddef>
#include <cstdint>

#include "sip/from_to_spec.h"
#include "sip/sip_uri.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  str input(data, size);

  sip_uri u(input);
  if (u.serialize() != input) __builtin_trap();
  (void)u.get_scheme();
  (void)u.get_user();
  (void)u.get_pass();
  (void)u.get_port();
  (void)u.get_parameter("maddr");
  (void)u.get_header("subject");
  if (u.serialize() != input.strip()) __builtin_trap();
  // Equality is symmetric. (Not always reflexive: with two parameters of one name the first
  // one's value is what the other side is compared with.)
  sip_uri copy(input);
  copy.set_port(u.get_port().empty() ? str("5060") : str());
  if ((u == copy) != (copy == u)) __builtin_trap();

  // Rebuild from the parts and parse again: the parts survive.
  sip_uri rebuilt = u;
  rebuilt.set_parameter("transport", "tcp");
  sip_uri back(rebuilt.serialize());
  // With a plain host name (letters, digits, "." and "-"), the parameter comes back.
  const str& host = rebuilt.get_host();
  bool plain_host = !host.empty();
  for (size_t i = 0; i < host.length(); ++i) plain_host = plain_host && hostname.has(host[i]);
  if (plain_host && input.find(str("{x-pre-")) < 0 && back.get_parameter("transport") != "tcp") {
    __builtin_trap();
  }
  (void)back.get_user();

  from_to_spec f(input);
  // The unparsed fast path of angle_content() agrees with parsing and rebuilding. (Setting an
  // empty tag removes the parameter, which a rebuild of a value without its closing quote or
  // angle can then no longer tell apart from the address: compare only with a real tag.)
  from_to_spec slow(input);
  str tag = slow.tag();
  if (!tag.empty()) {
    slow.set_tag(tag);
    if (f.angle_content() != slow.angle_content()) __builtin_trap();
  }
  (void)f.display_name();
  (void)f.tag();
  (void)f.addr_spec().get_host();
  if (f.content() != input) __builtin_trap();
  str angle = f.angle_content();
  from_to_spec g(angle);
  (void)g.tag();
  g.set_parm("x", input);
  (void)g.content();
  f.set_tag("t");
  (void)f.content();

  (void)deescape(input);
  (void)escape(input, user_unreserved);
  (void)unquote(input);
  (void)quoted_string(input);
  str display, uri, params;
  bool quoted;
  (void)parse_contact(input, display, quoted, uri, params, size % 2 == 0);
  return 0;
}
