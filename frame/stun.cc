#include "frame/stun.h"

namespace {

constexpr int attr_mapped_address = 0x0001;

void put16(str& s, int v) {
  s += static_cast<char>((v >> 8) & 0xff);
  s += static_cast<char>(v & 0xff);
}

int get16(const str& s, size_t at) { return s[at] << 8 | s[at + 1]; }

}  // namespace

bool is_stun(const str& datagram) {
  return datagram.length() >= 8 && (datagram[0] == 0 || datagram[0] == 1);
}

int stun_message_type(const str& datagram) {
  return datagram.length() < 2 ? 0 : get16(datagram, 0);
}

str stun_transaction(const str& datagram) {
  return datagram.length() < 20 ? str() : datagram.substr(4, 16);
}

str stun_binding_response(const str& request, const ip_port& source) {
  if (!is_stun(request) || request.length() < 20) return str();
  if (stun_message_type(request) != stun_binding_request) return str();
  if (!source.valid()) return str();
  int attr_len = 4 + static_cast<int>(source.address.length());
  str out;
  put16(out, stun_binding_success);
  put16(out, 4 + attr_len);
  out += request.substr(4, 16);
  put16(out, attr_mapped_address);
  put16(out, attr_len);
  out += '\0';
  out += static_cast<char>(source.is_ipv6() ? 2 : 1);
  put16(out, source.port);
  out += source.address;
  return out;
}

bool stun_mapped_address(const str& response, ip_port& out) {
  if (response.length() < 20) return false;
  size_t end = 20 + static_cast<size_t>(get16(response, 2));
  if (end > response.length()) end = response.length();
  size_t at = 20;
  while (at + 4 <= end) {
    int type = get16(response, at);
    size_t len = static_cast<size_t>(get16(response, at + 2));
    if (at + 4 + len > end) return false;
    if (type == attr_mapped_address && len >= 8) {
      int family = response[at + 5];
      size_t alen = family == 2 ? 16 : 4;
      if (len < 4 + alen) return false;
      out.port = static_cast<uint16_t>(get16(response, at + 6));
      out.address = response.substr(at + 8, alen);
      return true;
    }
    at += 4 + ((len + 3) & ~size_t{3});
  }
  return false;
}
