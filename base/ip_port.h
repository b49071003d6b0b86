// ip_port: an IPv4 or IPv6 address with a port, and netmasks over such addresses.
//
// The address is held in binary, 4 bytes for IPv4 and 16 for IPv6 (network order), as a str;
// an empty address means "none". Ports are host-order numbers, 0 = none.
//
// Readable forms: IPv4 dotted ("192.0.2.1"); IPv6 in the RFC 5952 form (lower case, the
// longest run of two or more zero groups as "::", IPv4-mapped addresses as "::ffff:1.2.3.4");
// with a port "192.0.2.1:5060" and "[2001:db8::1]:5060".
//
// Side-neutral; plain values, no shared state.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>
#include <functional>

#include "base/str.h"

struct ip_port {
  str address;  // 4 or 16 bytes, or empty
  uint16_t port = 0;

  ip_port() = default;
  ip_port(const str& addr, uint16_t p) : address(addr), port(p) {}

  // Parses "1.2.3.4", "1.2.3.4:5060", "::1", "[::1]", "[::1]:5060" (surrounding white space
  // ignored). Without a port in the text the port becomes default_port. False (and this left
  // unchanged) for anything else, including host names and ports above 65535.
  bool parse(const str& text, uint16_t default_port = 0);
  static ip_port from_text(const str& text, uint16_t default_port = 0);

  // From a socket address (AF_INET or AF_INET6); false for other families.
  bool from_sockaddr(const sockaddr* sa, socklen_t len);
  // To a socket address; returns its length, 0 when there is no valid address.
  socklen_t to_sockaddr(sockaddr_storage& ss) const;

  bool valid() const { return address.length() == 4 || address.length() == 16; }
  bool is_ipv4() const { return address.length() == 4; }
  bool is_ipv6() const { return address.length() == 16; }
  // 127.0.0.0/8, ::1 and IPv4-mapped 127.0.0.0/8.
  bool is_loopback() const;
  // 10/8, 172.16/12, 192.168/16, fc00::/7 and their IPv4-mapped forms.
  bool is_private() const;
  // 169.254/16 and fe80::/10.
  bool is_link_local() const;
  // 0.0.0.0 and :: (the any-addresses).
  bool is_any() const;
  // ::ffff:a.b.c.d
  bool is_v4_mapped() const;
  // An IPv4-mapped IPv6 address as its 4-byte IPv4 form; any other unchanged.
  ip_port unmapped() const;

  // The address alone ("1.2.3.4", "2001:db8::1"); empty when there is none.
  str readable_address() const;
  // The address in a form that a port may follow: IPv6 in brackets ("[2001:db8::1]").
  str readable_host() const;
  // Address and port ("1.2.3.4:5060", "[::1]:5060"); readable_host() alone when the port is 0.
  str readable() const;

  friend bool operator==(const ip_port& a, const ip_port& b) {
    return a.port == b.port && a.address == b.address;
  }
  friend bool operator!=(const ip_port& a, const ip_port& b) { return !(a == b); }
  // IPv4 before IPv6, then by address bytes, then by port.
  friend bool operator<(const ip_port& a, const ip_port& b);
};

struct ip_port_hash {
  size_t operator()(const ip_port& p) const { return str_hash()(p.address) * 31 + p.port; }
};

// Address text to binary (4 or 16 bytes); empty when the text is not an address. Accepts IPv6
// in brackets.
str ip_address_parse(const str& text);
// A port number as text: 1 to 5 decimal digits, at most 65535 (0 passes; callers that need a
// listening port refuse it). Nothing else, no sign, no spaces.
bool parse_port(const str& text, uint16_t& port);
// Binary address (4 or 16 bytes) to its readable form; empty for any other length.
str ip_address_readable(const str& address);

// A network: address and mask of the same length (4 or 16 bytes).
struct ip_netmask {
  str address;  // already masked
  str mask;

  // "10.0.0.0/8", "10.1.2.3/255.0.0.0", "2001:db8::/32", "[2001:db8::]/32", "fe80::/ffc0::"
  // and a plain address (all bits). The prefix length may be 0..32 (IPv4) or 0..128 (IPv6).
  // False for anything else.
  bool parse(const str& text);
  static ip_netmask from_prefix(const str& address, int prefix_length);
  bool valid() const { return !address.empty() && address.length() == mask.length(); }
  // Number of leading one bits when the mask is contiguous, else -1.
  int prefix_length() const;
  // True when the address lies in the network. An IPv4 network also matches IPv4-mapped IPv6
  // addresses, and an IPv4-mapped IPv6 network matches plain IPv4 addresses.
  bool matches(const str& address) const;
  bool matches(const ip_port& p) const { return matches(p.address); }
  // "10.0.0.0/8"; for a non-contiguous mask "10.0.0.0/255.0.255.0".
  str readable() const;
};

// The address in a white-space separated list of entries: netmasks and plain addresses as
// ip_netmask::parse reads them, and "localhost" (any case) for the loopback addresses.
// Unreadable entries match nothing.
bool ip_in_list(const str& list, const str& address);

template <>
struct std::hash<ip_port> {
  size_t operator()(const ip_port& p) const { return ip_port_hash()(p); }
};
