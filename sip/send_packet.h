// send_packet: everything this system sends over SIP enters here. A request or response
// becomes a pending_packet with its Via, CSeq and transaction timer, and a list of resolution
// steps (explicit destinations, outbound proxy, maddr, NAPTR, SRV, A and AAAA, in RFC 3263
// order) that route_pending_packet walks until the packet is sent over UDP, over an existing
// TCP/TLS connection, or over a connection it opens.
//
// Resolution steps are texts of words separated by single spaces:
//   udp|tcp|tls ADDRESS PORT    send there (dotted IPv4 or bracketed IPv6)
//   url URI                     derive steps from a SIP URI
//   naptr HOST, naptrs HOST     NAPTR lookup (naptrs: SIPS)
//   enum DOMAIN                 NAPTR lookup in the ENUM tree
//   srv TRANSPORT NAME          SRV lookup
//   a|aaaa TRANSPORT HOST [PORT]  address lookup (port default 5060)
//   discover HOST               address discovery of a DISCOVER request
// Steps a handler creates go to the front of the list. DNS goes through the installed sip_dns;
// a cache miss starts a query whose callback resumes route_pending_packet, so routing never
// blocks.
//
// srv side: every function requires srv_run_mutex.
#pragma once

#include <vector>

#include "base/ip_port.h"
#include "base/str.h"
#include "sip/pending_packet.h"
#include "sip/sip_message.h"
#include "sip/transport_type.h"

// Sends a request or response. Returns the number of the packet made for it, 0 when nothing
// was sent or kept (missing From/To/Call-ID, response to ACK, response without Via).
int send_packet(const sip_message& message);

// Continues resolving and sending packet number (also the callback of DNS queries).
void route_pending_packet(int number);

// Sends raw text on the named local UDP port, or on the connection of that name. Logs "Could
// not send on socket %s" when neither exists.
bool send_on_interface(const str& port_name, const ip_port& address, const str& text,
                       transport_type transport);

// Sends packet p to destination over transport (UDP, or a TCP/TLS connection found or
// opened), recording destination, transport, port name and text on it; traced with direction
// ("Tx" or "Tr"). False when nothing was sent. Does not touch the timers.
bool send_to_destination(pending_packet& p, transport_type transport, const ip_port& destination,
                         const char* direction);

// The destination of the last UDP send. The socket loop reports an ICMP refusal without the
// refused address (the kernel gives it only with the error queue); it is nearly always the
// last destination sent to, which on_udp_connection_refused then takes.
extern ip_port last_udp_destination;

// Reads a direct step ("udp 192.0.2.1 5060"): its transport and address. False for any other
// step.
bool parse_direct_step(const str& step, transport_type& transport, ip_port& destination);

// SRV ordering: records whose first field is the priority and second the weight are grouped by
// priority (lowest first) and ordered within each group by weighted random choice (RFC 2782).
std::vector<str> resort_list(const std::vector<str>& records);

// "+49 30 123" -> "3.2.1.0.3.9.4.e164.arpa"; empty when the user holds no digit.
str enum_domain(const str& user);
// Applies an ENUM NAPTR regexp ("!^.*$!sip:info@example.com!") to text; empty when it does
// not match or cannot be read.
str apply_naptr_regexp(const str& regexp, const str& text);
