// DNS server location seen from outside: the daemon takes its name servers from a resolv.conf
// in its working directory; a small DNS server of the test on loopback answers its queries.
//
// The NOTIFY of a message-summary subscription whose Contact is a host name without port is
// routed by NAPTR, SRV and A records (sipp subscribes and receives the NOTIFY where the records
// point); the routing rules themselves are proved on scripted answers in sip/.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/e2e/harness.h"

namespace {

constexpr int type_a = 1;
constexpr int type_srv = 33;
constexpr int type_naptr = 35;

std::string u16(int v) { return std::string{char((v >> 8) & 0xff), char(v & 0xff)}; }

// A domain name in wire form (no compression).
std::string wire_name(const std::string& name) {
  std::string out;
  size_t at = 0;
  while (at <= name.size()) {
    size_t dot = name.find('.', at);
    if (dot == std::string::npos) dot = name.size();
    out += char(dot - at);
    out += name.substr(at, dot - at);
    at = dot + 1;
  }
  return out + '\0';
}

std::string char_string(const std::string& s) { return char(s.size()) + s; }

// Answers A, SRV and NAPTR queries for the records it was given; every other question gets an
// empty NOERROR answer (so AAAA lookups end at once). Records the questions it saw as
// "name type".
class dns_server {
 public:
  explicit dns_server(const std::string& ip) : socket_(ip) {
    thread_ = std::thread([this] { run(); });
  }
  ~dns_server() {
    stop_ = true;
    thread_.join();
  }
  int port() const { return socket_.port(); }
  void add_a(const std::string& name, const std::string& address) {
    in_addr bin{};
    inet_pton(AF_INET, address.c_str(), &bin);
    add(name, type_a, std::string(reinterpret_cast<const char*>(&bin), 4));
  }
  void add_srv(const std::string& name, int priority, int weight, int port,
               const std::string& target) {
    add(name, type_srv, u16(priority) + u16(weight) + u16(port) + wire_name(target));
  }
  void add_naptr(const std::string& name, int order, int preference, const std::string& flags,
                 const std::string& service, const std::string& replacement) {
    add(name, type_naptr,
        u16(order) + u16(preference) + char_string(flags) + char_string(service) + char_string("") +
            wire_name(replacement));
  }
  std::vector<std::string> questions() {
    std::lock_guard<std::mutex> l(m_);
    return questions_;
  }

 private:
  void run() {
    while (!stop_) {
      std::string query, from;
      int from_port = 0;
      if (!socket_.receive(query, 100, &from, &from_port)) continue;
      std::string answer = answer_to(query);
      if (!answer.empty()) socket_.send_to(from, from_port, answer);
    }
  }

  std::string answer_to(const std::string& q) {
    if (q.size() < 12) return "";
    // The question: labels up to the root, then type and class.
    size_t at = 12;
    std::string name;
    while (at < q.size() && q[at] != 0) {
      size_t len = static_cast<unsigned char>(q[at]);
      if (at + 1 + len > q.size()) return "";
      if (!name.empty()) name += '.';
      name += q.substr(at + 1, len);
      at += 1 + len;
    }
    if (at + 5 > q.size()) return "";
    const int type =
        (static_cast<unsigned char>(q[at + 1]) << 8) | static_cast<unsigned char>(q[at + 2]);
    const std::string question = q.substr(12, at + 5 - 12);
    std::vector<std::string> rdata;
    {
      std::lock_guard<std::mutex> l(m_);
      questions_.push_back(name + " " + std::to_string(type));
      for (const record& r : records_) {
        if (r.type == type && r.name == name) rdata.push_back(r.rdata);
      }
    }
    std::string r = q.substr(0, 2);   // id
    r += std::string("\x81\x80", 2);  // response, recursion desired and available
    r += std::string("\x00\x01", 2);  // one question
    r += u16(int(rdata.size()));      // answers
    r += std::string(4, '\0');        // no authority, no additional records
    r += question;
    for (const std::string& d : rdata) {
      // The question's name, the type, class IN, TTL 60, the data.
      r += std::string("\xc0\x0c", 2) + u16(type) + u16(1) + std::string("\x00\x00\x00\x3c", 4);
      r += u16(int(d.size())) + d;
    }
    return r;
  }

  struct record {
    std::string name;
    int type;
    std::string rdata;
  };
  void add(const std::string& name, int type, const std::string& rdata) {
    std::lock_guard<std::mutex> l(m_);
    records_.push_back({name, type, rdata});
  }

  e2e::udp_peer socket_;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::mutex m_;
  std::vector<record> records_;
  std::vector<std::string> questions_;
};

TEST(DnsE2E, NotifyToAHostNameFollowsNaptrSrvAndA) {
  dns_server dns("127.0.0.77");
  ASSERT_GT(dns.port(), 0);
  const int sipp_port = e2e::free_port();
  dns.add_naptr("mwi.e2e.test", 10, 10, "S", "SIP+D2U", "_sip._udp.mwi.e2e.test");
  dns.add_srv("_sip._udp.mwi.e2e.test", 0, 0, sipp_port, "sipp.e2e.test");
  dns.add_a("sipp.e2e.test", "127.0.0.26");

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

  // NAPTR first, then the SRV of the record's replacement, then A of the SRV target.
  std::vector<std::string> q = dns.questions();
  auto naptr = std::find(q.begin(), q.end(), "mwi.e2e.test " + std::to_string(type_naptr));
  auto srv = std::find(q.begin(), q.end(), "_sip._udp.mwi.e2e.test " + std::to_string(type_srv));
  auto a = std::find(q.begin(), q.end(), "sipp.e2e.test " + std::to_string(type_a));
  ASSERT_NE(naptr, q.end());
  ASSERT_NE(srv, q.end());
  ASSERT_NE(a, q.end());
  EXPECT_LT(naptr - q.begin(), srv - q.begin());
  EXPECT_LT(srv - q.begin(), a - q.begin());
  EXPECT_TRUE(t.wait_for_log("DNS: Add mwi.e2e.test NAPTR (ttl=60)", 1000));
  EXPECT_TRUE(t.wait_for_log("DNS: Add _sip._udp.mwi.e2e.test SRV (ttl=60)", 1000));
}

}  // namespace
