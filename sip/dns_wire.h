// DNS messages on the wire: encoding the queries of the resolver and decoding the answers into
// the record texts of its cache. The byte work is done by ldns; this module only chooses the
// query form and turns records into text.
//
// Record texts (one record per line in the cache, fields separated by single spaces):
//   A      "192.0.2.1"
//   AAAA   "2001:db8::1" (the readable form of base/ip_port.h)
//   CNAME  the canonical name
//   SRV    "priority weight target port"
//   NAPTR  "order preference flags service regexp replacement"
// Names are written without the trailing dot, in lower case, the root as ".". An empty NAPTR
// character string (flags, service, regexp) is written as "-", so the fields stay countable.
//
// Side-neutral; plain functions without state. Never throws, never rejects by crashing: any
// input that is not a well-formed DNS message makes dns_decode_answer return false.
#pragma once

#include <cstdint>
#include <vector>

#include "base/str.h"

// Record types the resolver asks for (the values are the wire codes).
enum class dns_type : uint16_t {
  a = 1,
  cname = 5,
  soa = 6,
  aaaa = 28,
  srv = 33,
  naptr = 35,
};

// "A", "CNAME", "SOA", "AAAA", "SRV", "NAPTR", else the decimal code.
str dns_type_name(dns_type type);

// The UDP payload size announced with EDNS0 in every query.
constexpr uint16_t dns_edns_udp_size = 1232;

// A name as the cache keys it: lower case, without a trailing dot ("." stays the root).
str dns_normalize_name(const str& name);

// One query for name and type with recursion desired and an EDNS0 record. Empty when the name
// cannot be encoded (empty label, label over 63 bytes, name over 255 bytes).
str dns_encode_query(uint16_t id, const str& name, dns_type type);

struct dns_record {
  str name;  // owner, normalised
  dns_type type;
  uint32_t ttl;  // seconds
  str data;      // the record text above
};

struct dns_answer {
  uint16_t id = 0;
  bool response = false;   // QR bit
  bool truncated = false;  // TC bit
  int rcode = 0;           // 0 no error, 2 server failure, 3 name error, 5 refused, ...
  str question_name;       // normalised; empty when the message has no question
  dns_type question_type = dns_type::a;
  // Answer-section records of the types above (A, AAAA, CNAME, SRV, NAPTR); others skipped.
  std::vector<dns_record> records;
  // Negative-answer lifetime from an SOA of the authority section: the smaller of its TTL and
  // its minimum field; -1 without SOA.
  int64_t negative_ttl = -1;
};

// Decodes one datagram. false for anything that is not a complete DNS message.
bool dns_decode_answer(const str& datagram, dns_answer& out);
