// DNS server location seen from outside: the daemon takes its name servers from a resolv.conf
// in its working directory; a small DNS server of the test on loopback answers its queries.
//
// The NOTIFY of a message-summary subscription whose Contact is a host name without port is
// routed by NAPTR, SRV and A records (sipp subscribes and receives the NOTIFY where the records
// point); the routing rules themselves are proved on scripted answers in sip/.
// ldns defines the macros bool, true and false unless stdbool.h came first.
#include <stdbool.h>
// clang-format off
#include <ldns/ldns.h>
// clang-format on

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/e2e/harness.h"

namespace {

// Answers each question with the records of the zone (zone-file lines) of its name and type,
// and any other question with an empty NOERROR answer (so AAAA lookups end at once). Keeps the
// questions it saw as "name. TYPE".
class dns_server {
 public:
  dns_server(const std::string& ip, const std::vector<std::string>& zone) : socket_(ip) {
    for (const std::string& line : zone) {
      ldns_rr* rr = nullptr;
      if (ldns_rr_new_frm_str(&rr, line.c_str(), 60, nullptr, nullptr) == LDNS_STATUS_OK)
        ldns_rr_list_push_rr(zone_, rr);
    }
    thread_ = std::thread([this] { run(); });
  }
  ~dns_server() {
    stop_ = true;
    thread_.join();
    ldns_rr_list_deep_free(zone_);
  }
  int port() const { return socket_.port(); }
  std::vector<std::string> questions() {
    std::lock_guard<std::mutex> l(m_);
    return questions_;
  }

 private:
  void run() {
    for (std::string query, from; !stop_;) {
      int from_port = 0;
      ldns_pkt* p = nullptr;
      if (!socket_.receive(query, 100, &from, &from_port) ||
          ldns_wire2pkt(&p, reinterpret_cast<const uint8_t*>(query.data()), query.size()) !=
              LDNS_STATUS_OK)
        continue;
      const ldns_rr* q = ldns_rr_list_rr(ldns_pkt_question(p), 0);
      ldns_pkt_set_qr(p, true);
      ldns_pkt_set_ra(p, true);
      for (size_t i = 0; q && i < ldns_rr_list_rr_count(zone_); ++i) {
        const ldns_rr* rr = ldns_rr_list_rr(zone_, i);
        if (ldns_rr_get_type(rr) == ldns_rr_get_type(q) &&
            ldns_dname_compare(ldns_rr_owner(rr), ldns_rr_owner(q)) == 0)
          ldns_pkt_push_rr(p, LDNS_SECTION_ANSWER, ldns_rr_clone(rr));
      }
      if (q) {
        char* name = ldns_rdf2str(ldns_rr_owner(q));
        char* type = ldns_rr_type2str(ldns_rr_get_type(q));
        std::lock_guard<std::mutex> l(m_);
        questions_.push_back(std::string(name) + " " + type);
        free(name), free(type);
      }
      uint8_t* wire = nullptr;
      size_t size = 0;
      if (ldns_pkt2wire(&wire, p, &size) == LDNS_STATUS_OK)
        socket_.send_to(from, from_port, std::string(reinterpret_cast<char*>(wire), size));
      free(wire);
      ldns_pkt_free(p);
    }
  }

  e2e::udp_peer socket_;
  ldns_rr_list* zone_ = ldns_rr_list_new();
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::mutex m_;
  std::vector<std::string> questions_;
};

TEST(DnsE2E, NotifyToAHostNameFollowsNaptrSrvAndA) {
  const int sipp_port = e2e::free_port();
  dns_server dns(
      "127.0.0.77",
      {"mwi.e2e.test. 60 IN NAPTR 10 10 \"S\" \"SIP+D2U\" \"\" _sip._udp.mwi.e2e.test.",
       "_sip._udp.mwi.e2e.test. 60 IN SRV 0 0 " + std::to_string(sipp_port) + " sipp.e2e.test.",
       "sipp.e2e.test. 60 IN A 127.0.0.26"});
  ASSERT_GT(dns.port(), 0);

  e2e::telmond_options o;
  o.files["resolv.conf"] = "nameserver 127.0.0.77:" + std::to_string(dns.port()) + "\n";
  o.use_default_config();
  e2e::telmond_process t(o);
  ASSERT_TRUE(t.start_with_accounts()) << t.error();

  // The subscription of account 102, with the Contact naming mwi.e2e.test; the NOTIFY must
  // reach sipp at the address and port of the SRV and A records.
  const std::string scenario = e2e::sipp_challenged(
      "SUBSCRIBE",
      "Contact: <sip:[field0]@mwi.e2e.test>\nEvent: message-summary\nExpires: 600\n"
      "Content-Length: 0\n\n",
      std::string("<recv response=\"200\"/>\n<recv request=\"NOTIFY\"/>\n") + e2e::sipp_answer_ok);
  EXPECT_EQ(e2e::run_sipp(t, "mwi", "127.0.0.26", scenario, "102;sip102;", 1, false, sipp_port), 0)
      << t.read_file("sipp-mwi/sipp.out");

  // NAPTR first, then the SRV of the record's replacement, then A of the SRV target (the
  // questions of these records, each the first time it was asked).
  std::string order;
  for (const std::string& q : dns.questions())
    if ((q == "mwi.e2e.test. NAPTR" || q == "_sip._udp.mwi.e2e.test. SRV" ||
         q == "sipp.e2e.test. A") &&
        order.find(q) == std::string::npos)
      order += q + " | ";
  EXPECT_EQ(order, "mwi.e2e.test. NAPTR | _sip._udp.mwi.e2e.test. SRV | sipp.e2e.test. A | ");
  EXPECT_TRUE(t.wait_for_log("DNS: Add mwi.e2e.test NAPTR (ttl=60)", 1000));
  EXPECT_TRUE(t.wait_for_log("DNS: Add _sip._udp.mwi.e2e.test SRV (ttl=60)", 1000));
}

}  // namespace
