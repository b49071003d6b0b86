// STUN on the SIP UDP ports: telling STUN from SIP, and answering a Binding Request with a
// Binding Success Response that carries the sender's address.
//
// Side: srv (called from the SIP socket thread).
#pragma once

#include <cstdint>

#include "base/ip_port.h"
#include "base/str.h"

constexpr int stun_binding_request = 1;
constexpr int stun_binding_success = 257;

// A datagram of 8 bytes or more whose first byte is 0 or 1.
bool is_stun(const str& datagram);
// The message type (first two bytes, network order); 0 when shorter than 2 bytes.
int stun_message_type(const str& datagram);
// The 16 bytes at offset 4 (magic cookie and transaction id); empty when shorter.
str stun_transaction(const str& datagram);
// The answer to a Binding Request: type 257, the request's magic cookie and transaction id,
// and a MAPPED-ADDRESS attribute with the source address and port (family 2 for a 16-byte
// IPv6 address, else 1). Empty when the datagram is not a Binding Request of at least 20
// bytes or the source has no address.
str stun_binding_response(const str& request, const ip_port& source);
// Reads the MAPPED-ADDRESS of a Binding Success Response (tests, trunks); false without one.
bool stun_mapped_address(const str& response, ip_port& out);
