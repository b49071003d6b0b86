#include "sip/transport_type.h"

transport_type::transport_type(const str& name) : value_(none) {
  if (name.icmp("udp")) {
    value_ = udp;
  } else if (name.icmp("tcp")) {
    value_ = tcp;
  } else if (name.icmp("tls")) {
    value_ = tls;
  }
}

const char* transport_type::name() const {
  switch (value_) {
    case udp:
      return "udp";
    case tcp:
      return "tcp";
    case tls:
      return "tls";
    default:
      return "";
  }
}

str transport_type::serialize() const { return str(name()); }
