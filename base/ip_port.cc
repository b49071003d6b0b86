#include "base/ip_port.h"

#include <arpa/inet.h>

#include <cstring>

namespace {

const uint8_t k_v4_mapped_prefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};

const uint8_t* bytes(const str& s) { return reinterpret_cast<const uint8_t*>(s.cbuffer()); }

// Copies text into a zero-terminated buffer for inet_pton; false when it does not fit.
bool to_cbuf(const str& text, char (&buf)[64]) {
  if (text.length() >= sizeof buf) return false;
  std::memcpy(buf, text.cbuffer(), text.length());
  buf[text.length()] = 0;
  return true;
}

str parse_v4(const str& text) {
  char buf[64];
  in_addr a;
  if (!to_cbuf(text, buf) || inet_pton(AF_INET, buf, &a) != 1) return str();
  return str(&a, 4);
}

str parse_v6(const str& text) {
  char buf[64];
  in6_addr a;
  if (!to_cbuf(text, buf) || inet_pton(AF_INET6, buf, &a) != 1) return str();
  return str(&a, 16);
}

void append_v4(str& out, const uint8_t* a) {
  char buf[16];
  int n = 0;
  for (int i = 0; i < 4; ++i) {
    if (i) buf[n++] = '.';
    const unsigned v = a[i];
    if (v >= 100) buf[n++] = static_cast<char>('0' + v / 100);
    if (v >= 10) buf[n++] = static_cast<char>('0' + v / 10 % 10);
    buf[n++] = static_cast<char>('0' + v % 10);
  }
  out.append(buf, static_cast<size_t>(n));
}

// RFC 5952: lower case, no leading zeros, the longest run (first of equal ones) of at least two
// zero groups compressed to "::", IPv4-mapped addresses with the dotted tail.
void append_v6(str& out, const uint8_t* a) {
  static const char digits[] = "0123456789abcdef";
  uint16_t g[8];
  for (int i = 0; i < 8; ++i) g[i] = static_cast<uint16_t>(a[2 * i] << 8 | a[2 * i + 1]);
  const bool mapped = std::memcmp(a, k_v4_mapped_prefix, 12) == 0;
  const int groups = mapped ? 6 : 8;
  int best = -1, best_len = 0;
  for (int i = 0; i < groups;) {
    if (g[i]) {
      ++i;
      continue;
    }
    int j = i;
    while (j < groups && g[j] == 0) ++j;
    if (j - i > best_len) {
      best = i;
      best_len = j - i;
    }
    i = j;
  }
  if (best_len < 2) best = -1;
  char buf[48];
  int n = 0;
  for (int i = 0; i < groups; ++i) {
    if (i == best) {
      buf[n++] = ':';
      buf[n++] = ':';
      i += best_len - 1;
      continue;
    }
    if (i && i != best + best_len) buf[n++] = ':';
    const unsigned v = g[i];
    bool started = false;
    for (int shift = 12; shift >= 0; shift -= 4) {
      const unsigned d = (v >> shift) & 15;
      if (d || started || shift == 0) {
        buf[n++] = digits[d];
        started = true;
      }
    }
  }
  out.append(buf, static_cast<size_t>(n));
  if (mapped) {
    if (best + best_len != groups) out += ':';
    append_v4(out, a + 12);
  }
}

}  // namespace

bool parse_port(const str& text, uint16_t& port) {
  if (text.empty() || text.length() > 5) return false;
  unsigned v = 0;
  for (size_t i = 0; i < text.length(); ++i) {
    const uint8_t c = text[i];
    if (c < '0' || c > '9') return false;
    v = v * 10 + (c - '0');
  }
  if (v > 65535) return false;
  port = static_cast<uint16_t>(v);
  return true;
}


str ip_address_parse(const str& text) {
  str t = text.strip();
  if (t.length() >= 2 && t[0] == '[' && t[t.length() - 1] == ']')
    return parse_v6(t.substr(1, t.length() - 2));
  if (t.contains_char(':')) return parse_v6(t);
  return parse_v4(t);
}

str ip_address_readable(const str& address) {
  str out;
  if (address.length() == 4) {
    append_v4(out, bytes(address));
  } else if (address.length() == 16) {
    append_v6(out, bytes(address));
  }
  return out;
}

// ---- ip_port
// -------------------------------------------------------------------------------------

bool ip_port::parse(const str& text, uint16_t default_port) {
  const str t = text.strip();
  if (t.empty()) return false;
  str addr;
  uint16_t p = default_port;
  if (t[0] == '[') {
    const long close = t.find(']');
    if (close < 0) return false;
    addr = parse_v6(t.substr(1, static_cast<size_t>(close) - 1));
    const str rest = t.substr(static_cast<size_t>(close) + 1);
    if (!rest.empty() && (rest[0] != ':' || !parse_port(rest.substr(1), p))) return false;
  } else {
    const long colon = t.find(':');
    if (colon < 0) {
      addr = parse_v4(t);
    } else if (t.find(':', static_cast<size_t>(colon) + 1) >= 0) {
      addr = parse_v6(t);  // more than one colon: a bare IPv6 address, no port
    } else {
      addr = parse_v4(t.leftstr(static_cast<size_t>(colon)));
      if (!parse_port(t.substr(static_cast<size_t>(colon) + 1), p)) return false;
    }
  }
  if (addr.empty()) return false;
  address = addr;
  port = p;
  return true;
}

ip_port ip_port::from_text(const str& text, uint16_t default_port) {
  ip_port p;
  p.parse(text, default_port);
  return p;
}

bool ip_port::from_sockaddr(const sockaddr* sa, socklen_t len) {
  if (!sa) return false;
  if (sa->sa_family == AF_INET && len >= static_cast<socklen_t>(sizeof(sockaddr_in))) {
    sockaddr_in in;
    std::memcpy(&in, sa, sizeof in);
    address = str(&in.sin_addr, 4);
    port = ntohs(in.sin_port);
    return true;
  }
  if (sa->sa_family == AF_INET6 && len >= static_cast<socklen_t>(sizeof(sockaddr_in6))) {
    sockaddr_in6 in6;
    std::memcpy(&in6, sa, sizeof in6);
    address = str(&in6.sin6_addr, 16);
    port = ntohs(in6.sin6_port);
    return true;
  }
  return false;
}

socklen_t ip_port::to_sockaddr(sockaddr_storage& ss) const {
  std::memset(&ss, 0, sizeof ss);
  if (is_ipv4()) {
    auto* in = reinterpret_cast<sockaddr_in*>(&ss);
    in->sin_family = AF_INET;
    in->sin_port = htons(port);
    std::memcpy(&in->sin_addr, address.cbuffer(), 4);
    return sizeof(sockaddr_in);
  }
  if (is_ipv6()) {
    auto* in6 = reinterpret_cast<sockaddr_in6*>(&ss);
    in6->sin6_family = AF_INET6;
    in6->sin6_port = htons(port);
    std::memcpy(&in6->sin6_addr, address.cbuffer(), 16);
    return sizeof(sockaddr_in6);
  }
  return 0;
}

bool ip_port::is_v4_mapped() const {
  return is_ipv6() && std::memcmp(address.cbuffer(), k_v4_mapped_prefix, 12) == 0;
}

ip_port ip_port::unmapped() const {
  if (!is_v4_mapped()) return *this;
  return ip_port(address.substr(12), port);
}

bool ip_port::is_loopback() const {
  const ip_port u = unmapped();
  const uint8_t* a = bytes(u.address);
  if (u.is_ipv4()) return a[0] == 127;
  if (u.is_ipv6()) {
    for (int i = 0; i < 15; ++i)
      if (a[i]) return false;
    return a[15] == 1;
  }
  return false;
}

bool ip_port::is_private() const {
  const ip_port u = unmapped();
  const uint8_t* a = bytes(u.address);
  if (u.is_ipv4())
    return a[0] == 10 || (a[0] == 172 && (a[1] & 0xf0) == 16) || (a[0] == 192 && a[1] == 168);
  if (u.is_ipv6()) return (a[0] & 0xfe) == 0xfc;
  return false;
}

bool ip_port::is_link_local() const {
  const ip_port u = unmapped();
  const uint8_t* a = bytes(u.address);
  if (u.is_ipv4()) return a[0] == 169 && a[1] == 254;
  if (u.is_ipv6()) return a[0] == 0xfe && (a[1] & 0xc0) == 0x80;
  return false;
}

bool ip_port::is_any() const {
  if (!valid()) return false;
  const uint8_t* a = bytes(address);
  for (size_t i = 0; i < address.length(); ++i)
    if (a[i]) return false;
  return true;
}

str ip_port::readable_address() const { return ip_address_readable(address); }

str ip_port::readable_host() const {
  if (!is_ipv6()) return readable_address();
  str out("[");
  append_v6(out, bytes(address));
  out += ']';
  return out;
}

str ip_port::readable() const {
  str out = readable_host();
  if (port && !out.empty()) {
    out += ':';
    out += str(static_cast<unsigned>(port), 0);
  }
  return out;
}

bool operator<(const ip_port& a, const ip_port& b) {
  if (a.address.length() != b.address.length()) return a.address.length() < b.address.length();
  const int c = std::memcmp(a.address.cbuffer(), b.address.cbuffer(), a.address.length());
  if (c) return c < 0;
  return a.port < b.port;
}

// ---- ip_netmask
// ----------------------------------------------------------------------------------

ip_netmask ip_netmask::from_prefix(const str& address, int prefix_length) {
  ip_netmask n;
  const size_t len = address.length();
  if ((len != 4 && len != 16) || prefix_length < 0 || prefix_length > static_cast<int>(len * 8))
    return n;
  str mask;
  char* m = mask.extend(len);
  for (size_t i = 0; i < len; ++i) {
    const int bits = prefix_length - static_cast<int>(i * 8);
    m[i] = static_cast<char>(bits >= 8 ? 0xff : bits <= 0 ? 0 : (0xff << (8 - bits)) & 0xff);
  }
  n.address = address.l_and(mask);
  n.mask = mask;
  return n;
}

bool ip_netmask::parse(const str& text) {
  const str t = text.strip();
  const long slash = t.find('/');
  if (slash < 0) {
    const str a = ip_address_parse(t);
    if (a.empty()) return false;
    *this = from_prefix(a, static_cast<int>(a.length() * 8));
    return true;
  }
  const str a = ip_address_parse(t.leftstr(static_cast<size_t>(slash)));
  const str m = t.substr(static_cast<size_t>(slash) + 1);
  if (a.empty() || m.empty()) return false;
  bool digits = m.length() <= 3;
  for (size_t i = 0; i < m.length() && digits; ++i) digits = m[i] >= '0' && m[i] <= '9';
  if (digits) {
    const int bits = static_cast<int>(m.uvalue());
    if (bits > static_cast<int>(a.length() * 8)) return false;
    *this = from_prefix(a, bits);
    return true;
  }
  const str mask = ip_address_parse(m);
  if (mask.length() != a.length()) return false;
  address = a.l_and(mask);
  this->mask = mask;
  return true;
}

int ip_netmask::prefix_length() const {
  if (!valid()) return -1;
  const uint8_t* m = bytes(mask);
  int bits = 0;
  size_t i = 0;
  for (; i < mask.length() && m[i] == 0xff; ++i) bits += 8;
  if (i < mask.length()) {
    uint8_t b = m[i];
    while (b & 0x80) {
      ++bits;
      b = static_cast<uint8_t>(b << 1);
    }
    if (b) return -1;
    for (++i; i < mask.length(); ++i)
      if (m[i]) return -1;
  }
  return bits;
}

bool ip_netmask::matches(const str& addr) const {
  if (!valid()) return false;
  const uint8_t* a = bytes(addr);
  const uint8_t* net = bytes(address);
  const uint8_t* m = bytes(mask);
  size_t n = address.length();
  if (addr.length() != n) {
    // Compare IPv4 with IPv4-mapped IPv6 on their last 4 bytes.
    if (addr.length() == 16 && n == 4 && std::memcmp(a, k_v4_mapped_prefix, 12) == 0) {
      a += 12;
    } else if (addr.length() == 4 && n == 16 && std::memcmp(net, k_v4_mapped_prefix, 12) == 0 &&
               std::memcmp(m, "\xff\xff\xff\xff\xff\xff\xff\xff\xff\xff\xff\xff", 12) == 0) {
      net += 12;
      m += 12;
      n = 4;
    } else {
      return false;
    }
  }
  for (size_t i = 0; i < n; ++i)
    if ((a[i] & m[i]) != net[i]) return false;
  return true;
}

str ip_netmask::readable() const {
  if (!valid()) return str();
  str out = ip_address_readable(address);
  out += '/';
  const int bits = prefix_length();
  if (bits >= 0) {
    out += str(bits, 0);
  } else {
    out += ip_address_readable(mask);
  }
  return out;
}

bool ip_in_list(const str& list, const str& address) {
  if (address.empty()) return false;
  for (size_t i = 0;; ++i) {
    const str entry = list.get_field(i, " \t\r\n");
    if (entry.empty()) return false;
    if (entry.icmp("localhost")) {
      if (ip_port(address, 0).is_loopback()) return true;
      continue;
    }
    ip_netmask net;
    if (net.parse(entry) && net.matches(address)) return true;
  }
}
