// Test helper (header only, used by the DNS tests and the fuzz seed generator): builds DNS
// response datagrams from zone-file lines with ldns, the way a recursive server would send
// them.
#pragma once

// ldns defines the macros bool, true and false unless stdbool.h came first.
#include <stdbool.h>
// clang-format off
#include <ldns/ldns.h>
// clang-format on

#include <cstdlib>
#include <string>
#include <vector>

#include "base/str.h"
#include "sip/dns_wire.h"

struct dns_test_answer {
  uint16_t id = 0;
  std::string qname;  // with or without trailing dot
  dns_type qtype = dns_type::a;
  std::vector<std::string> answers;    // "name. ttl IN TYPE data" lines
  std::vector<std::string> authority;  // same form
  int rcode = 0;
  bool truncated = false;
  bool qr = true;

  str build() const {
    ldns_pkt* p = ldns_pkt_new();
    ldns_pkt_set_id(p, id);
    ldns_pkt_set_qr(p, qr);
    ldns_pkt_set_rd(p, true);
    ldns_pkt_set_ra(p, true);
    ldns_pkt_set_tc(p, truncated);
    ldns_pkt_set_rcode(p, static_cast<uint8_t>(rcode));
    if (!qname.empty()) {
      ldns_rr* q = ldns_rr_new();
      ldns_rr_set_owner(q, ldns_dname_new_frm_str(qname.c_str()));
      ldns_rr_set_type(q, static_cast<ldns_rr_type>(qtype));
      ldns_rr_set_class(q, LDNS_RR_CLASS_IN);
      ldns_rr_set_question(q, true);
      ldns_pkt_push_rr(p, LDNS_SECTION_QUESTION, q);
    }
    push(p, LDNS_SECTION_ANSWER, answers);
    push(p, LDNS_SECTION_AUTHORITY, authority);
    uint8_t* wire = nullptr;
    size_t size = 0;
    str out;
    if (ldns_pkt2wire(&wire, p, &size) == LDNS_STATUS_OK) out = str(wire, size);
    std::free(wire);
    ldns_pkt_free(p);
    return out;
  }

 private:
  static void push(ldns_pkt* p, ldns_pkt_section section, const std::vector<std::string>& rrs) {
    for (const std::string& text : rrs) {
      ldns_rr* rr = nullptr;
      if (ldns_rr_new_frm_str(&rr, text.c_str(), 3600, nullptr, nullptr) == LDNS_STATUS_OK)
        ldns_pkt_push_rr(p, section, rr);
    }
  }
};
