// libFuzzer target: framing, parsing and serialising sip_message, plus the Via rewrite and the
// repetition test. Every lazily parsed value is read so that the whole parser is reached.
#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "base/ip_port.h"
#include "sip/sip_message.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  str input(data, size);
  str buffer = input;
  str framed = get_first_packet(buffer, true);
  if (framed.length() > buffer.length() + size) __builtin_trap();

  sip_message m(input);
  (void)m.request_uri.get_host();
  (void)m.request_uri.get_parameter("transport");
  (void)m.from.tag();
  (void)m.to.tag();
  (void)m.from.display_name();
  for (const from_to_spec& c : m.contact) (void)c.addr_spec().get_port();
  for (const from_to_spec& r : m.route) (void)r.angle_content();
  if (!m.via.empty()) (void)get_via_parameter(m.via[0], "branch");
  (void)m.get_other_headers("Allow", "", true, ',');

  static const ip_port dest4(ip_address_parse("192.0.2.1"), 5060);
  static const ip_port dest6(ip_address_parse("2001:db8::1"), 5060);
  str once = m.serialize(size % 2 ? dest4 : dest6, transport_type::udp);
  sip_message again(once);
  (void)again.serialize(dest4, transport_type::tls);
  (void)(m == again);

  // Serialising is a fixed point after one round (parsed other headers come newest first, so
  // their order is restored before comparing).
  std::reverse(again.other_headers.begin(), again.other_headers.end());
  str twice = again.serialize(dest4, transport_type::udp);
  sip_message third(twice);
  std::reverse(third.other_headers.begin(), third.other_headers.end());
  if (third.serialize(dest4, transport_type::udp) != twice) __builtin_trap();

  add_via_received(m, size % 3 ? dest4 : dest6);
  (void)expand_placeholders(input, dest4, transport_type::tcp);

  if (!framed.empty()) {
    sip_message f(framed);
    (void)f.serialize(dest4, transport_type::udp);
  }
  return 0;
}
