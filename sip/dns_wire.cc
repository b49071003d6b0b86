#include "sip/dns_wire.h"

// ldns defines the macros bool, true and false unless stdbool.h came first.
#include <stdbool.h>
// clang-format off
#include <ldns/ldns.h>
// clang-format on

#include <cstdlib>

#include "base/ip_port.h"

namespace {

// Owns an ldns packet for the length of one call.
struct pkt_holder {
  ldns_pkt* p = nullptr;
  ~pkt_holder() {
    if (p) ldns_pkt_free(p);
  }
};

// A domain-name rdf (uncompressed labels, as ldns leaves them) as normalised text: lower case,
// no trailing dot, the root as ".". Bytes that would break the cache's line format or the name
// syntax are escaped the way ldns reads them back (\DDD, or a backslash before . ; ( ) \), so
// a name taken from an answer can be asked for again.
str dname_text(const ldns_rdf* rdf) {
  if (!rdf || ldns_rdf_get_type(rdf) != LDNS_RDF_TYPE_DNAME) return str();
  const uint8_t* d = ldns_rdf_data(rdf);
  size_t size = ldns_rdf_size(rdf);
  if (size == 0) return str();
  if (d[0] == 0) return str(".");
  str out;
  out.reserve(size);
  size_t i = 0;
  while (i < size && d[i] != 0) {
    size_t len = d[i++];
    if (len > 63 || i + len > size) return str();
    if (!out.empty()) out += '.';
    for (size_t k = 0; k < len; k++) {
      uint8_t c = d[i + k];
      if (c >= 'A' && c <= 'Z') {
        out += static_cast<char>(c + ('a' - 'A'));
      } else if (c == '.' || c == ';' || c == '(' || c == ')' || c == '\\') {
        out += '\\';
        out += static_cast<char>(c);
      } else if (c <= ' ' || c >= 0x7f) {
        out.appendf("\\%s", str(static_cast<int>(c), 3));
      } else {
        out += static_cast<char>(c);
      }
    }
    i += len;
  }
  return out;
}

// A character-string rdf (length byte and bytes) as one field: "-" when empty; spaces and
// control bytes escaped as \DDD so that the field count of the record line stays fixed.
str char_string_text(const ldns_rdf* rdf) {
  if (!rdf || ldns_rdf_get_type(rdf) != LDNS_RDF_TYPE_STR || ldns_rdf_size(rdf) < 1) {
    return str("-");
  }
  const uint8_t* d = ldns_rdf_data(rdf);
  size_t n = d[0];
  if (n + 1 > ldns_rdf_size(rdf)) n = ldns_rdf_size(rdf) - 1;
  if (n == 0) return str("-");
  str out;
  for (size_t i = 0; i < n; i++) {
    uint8_t c = d[1 + i];
    if (c <= ' ' || c >= 0x7f || c == '\\') {
      out.appendf("\\%s", str(static_cast<int>(c), 3));
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

bool int16_field(const ldns_rdf* rdf, unsigned& v) {
  if (!rdf || ldns_rdf_size(rdf) != 2) return false;
  v = ldns_rdf2native_int16(rdf);
  return true;
}

// The record text of rr, false for types the resolver does not use or malformed data.
bool record_text(const ldns_rr* rr, dns_type& type, str& text) {
  switch (ldns_rr_get_type(rr)) {
    case LDNS_RR_TYPE_A:
    case LDNS_RR_TYPE_AAAA: {
      const ldns_rdf* rdf = ldns_rr_rdf(rr, 0);
      if (!rdf) return false;
      size_t want = ldns_rr_get_type(rr) == LDNS_RR_TYPE_A ? 4 : 16;
      if (ldns_rdf_size(rdf) != want) return false;
      text = ip_address_readable(str(ldns_rdf_data(rdf), want));
      type = want == 4 ? dns_type::a : dns_type::aaaa;
      return !text.empty();
    }
    case LDNS_RR_TYPE_CNAME:
      text = dname_text(ldns_rr_rdf(rr, 0));
      type = dns_type::cname;
      return !text.empty();
    case LDNS_RR_TYPE_SRV: {
      unsigned prio, weight, port;
      if (ldns_rr_rd_count(rr) < 4 || !int16_field(ldns_rr_rdf(rr, 0), prio) ||
          !int16_field(ldns_rr_rdf(rr, 1), weight) || !int16_field(ldns_rr_rdf(rr, 2), port)) {
        return false;
      }
      str target = dname_text(ldns_rr_rdf(rr, 3));
      if (target.empty()) return false;
      text = str::sprintf("%u %u %s %u", prio, weight, target, port);
      type = dns_type::srv;
      return true;
    }
    case LDNS_RR_TYPE_NAPTR: {
      unsigned order, pref;
      if (ldns_rr_rd_count(rr) < 6 || !int16_field(ldns_rr_rdf(rr, 0), order) ||
          !int16_field(ldns_rr_rdf(rr, 1), pref)) {
        return false;
      }
      str replacement = dname_text(ldns_rr_rdf(rr, 5));
      if (replacement.empty()) return false;
      text = str::sprintf("%u %u %s %s %s %s", order, pref, char_string_text(ldns_rr_rdf(rr, 2)),
                          char_string_text(ldns_rr_rdf(rr, 3)),
                          char_string_text(ldns_rr_rdf(rr, 4)), replacement);
      type = dns_type::naptr;
      return true;
    }
    default:
      return false;
  }
}

}  // namespace

str dns_type_name(dns_type type) {
  switch (type) {
    case dns_type::a:
      return str("A");
    case dns_type::cname:
      return str("CNAME");
    case dns_type::soa:
      return str("SOA");
    case dns_type::aaaa:
      return str("AAAA");
    case dns_type::srv:
      return str("SRV");
    case dns_type::naptr:
      return str("NAPTR");
  }
  return str::sprintf("%u", static_cast<unsigned>(type));
}

str dns_normalize_name(const str& name) {
  str n = name.strip();
  if (n == ".") return n;
  while (n.length() > 0 && n[n.length() - 1] == '.') {
    // An escaped dot ("a\\.") belongs to the last label.
    size_t backslashes = 0;
    while (backslashes + 1 < n.length() && n[n.length() - 2 - backslashes] == '\\') {
      backslashes++;
    }
    if (backslashes % 2) break;
    n.truncate(n.length() - 1);
  }
  return n.tolower();
}

str dns_encode_query(uint16_t id, const str& name, dns_type type) {
  str n = dns_normalize_name(name);
  if (n.empty() || n.length() > 253) return str();
  ldns_rdf* qname = ldns_dname_new_frm_str(n.c_str());
  if (!qname) return str();
  pkt_holder q;
  q.p = ldns_pkt_query_new(qname, static_cast<ldns_rr_type>(type), LDNS_RR_CLASS_IN, LDNS_RD);
  if (!q.p) return str();
  ldns_pkt_set_id(q.p, id);
  ldns_pkt_set_edns_udp_size(q.p, dns_edns_udp_size);
  uint8_t* wire = nullptr;
  size_t size = 0;
  if (ldns_pkt2wire(&wire, q.p, &size) != LDNS_STATUS_OK || !wire) return str();
  str out(wire, size);
  std::free(wire);
  return out;
}

bool dns_decode_answer(const str& datagram, dns_answer& out) {
  out = dns_answer();
  if (datagram.length() < 12) return false;
  pkt_holder a;
  if (ldns_wire2pkt(&a.p, reinterpret_cast<const uint8_t*>(datagram.cbuffer()),
                    datagram.length()) != LDNS_STATUS_OK ||
      !a.p) {
    return false;
  }
  out.id = ldns_pkt_id(a.p);
  out.response = ldns_pkt_qr(a.p);
  out.truncated = ldns_pkt_tc(a.p);
  out.rcode = ldns_pkt_get_rcode(a.p);
  const ldns_rr_list* question = ldns_pkt_question(a.p);
  if (question && ldns_rr_list_rr_count(question) > 0) {
    const ldns_rr* q = ldns_rr_list_rr(question, 0);
    out.question_name = dname_text(ldns_rr_owner(q));
    out.question_type = static_cast<dns_type>(ldns_rr_get_type(q));
  }
  const ldns_rr_list* answer = ldns_pkt_answer(a.p);
  size_t count = answer ? ldns_rr_list_rr_count(answer) : 0;
  for (size_t i = 0; i < count; i++) {
    const ldns_rr* rr = ldns_rr_list_rr(answer, i);
    if (!rr || ldns_rr_get_class(rr) != LDNS_RR_CLASS_IN) continue;
    dns_record r;
    if (!record_text(rr, r.type, r.data)) continue;
    r.name = dname_text(ldns_rr_owner(rr));
    if (r.name.empty()) continue;
    r.ttl = ldns_rr_ttl(rr);
    out.records.push_back(r);
  }
  const ldns_rr_list* authority = ldns_pkt_authority(a.p);
  count = authority ? ldns_rr_list_rr_count(authority) : 0;
  for (size_t i = 0; i < count; i++) {
    const ldns_rr* rr = ldns_rr_list_rr(authority, i);
    if (!rr || ldns_rr_get_type(rr) != LDNS_RR_TYPE_SOA || ldns_rr_rd_count(rr) < 7) continue;
    const ldns_rdf* minimum = ldns_rr_rdf(rr, 6);
    if (!minimum || ldns_rdf_size(minimum) != 4) continue;
    int64_t ttl = ldns_rr_ttl(rr);
    int64_t min = ldns_rdf2native_int32(minimum);
    out.negative_ttl = ttl < min ? ttl : min;
    break;
  }
  return true;
}
