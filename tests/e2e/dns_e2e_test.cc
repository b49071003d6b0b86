// DNS server location seen from outside: the daemon takes its name servers from a resolv.conf
// in its working directory; a small DNS server of the test on loopback answers its queries.
//
// The path exercised is the one the running daemon takes today: a response to a request whose
// top Via carries a maddr host name is sent to that host, looked up with AAAA and A queries.
// (NAPTR and SRV lookups start from requests this side sends to host-name URIs; nothing in
// the running daemon sends one from outside stimulus yet.)
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
constexpr int type_aaaa = 28;

// Answers A queries for the names it knows; every other question gets an empty NOERROR
// answer (so AAAA lookups end at once). Records the questions it saw as "name type".
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
    std::lock_guard<std::mutex> l(m_);
    a_.emplace_back(name, address);
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
    std::vector<std::string> addresses;
    {
      std::lock_guard<std::mutex> l(m_);
      questions_.push_back(name + " " + std::to_string(type));
      for (const auto& [n, a] : a_) {
        if (type == type_a && n == name) addresses.push_back(a);
      }
    }
    std::string r = q.substr(0, 2);             // id
    r += std::string("\x81\x80", 2);            // response, recursion desired and available
    r += std::string("\x00\x01", 2);            // one question
    r += char(0), r += char(addresses.size());  // answers
    r += std::string(4, '\0');                  // no authority, no additional records
    r += question;
    for (const std::string& a : addresses) {
      in_addr bin{};
      inet_pton(AF_INET, a.c_str(), &bin);
      r += std::string("\xc0\x0c\x00\x01\x00\x01\x00\x00\x00\x3c\x00\x04", 12);  // A IN, TTL 60
      r += std::string(reinterpret_cast<const char*>(&bin), 4);
    }
    return r;
  }

  e2e::udp_peer socket_;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::mutex m_;
  std::vector<std::pair<std::string, std::string>> a_;
  std::vector<std::string> questions_;
};

TEST(DnsE2E, ResponseToAMaddrHostIsSentToTheAddressTheTestServerGives) {
  dns_server dns("127.0.0.77");
  ASSERT_GT(dns.port(), 0);
  dns.add_a("phone.e2e.test", "127.0.0.62");

  e2e::telmond_options o;
  o.files["resolv.conf"] = "nameserver 127.0.0.77:" + std::to_string(dns.port()) + "\n";
  e2e::telmond_process t(o);
  ASSERT_TRUE(t.start()) << t.error();
  EXPECT_TRUE(
      t.wait_for_log("DNS: Using the name servers of resolv.conf in the working directory", 3000));

  e2e::udp_peer sink("127.0.0.62");  // where phone.e2e.test points
  e2e::udp_peer phone("127.0.0.61");
  ASSERT_TRUE(sink.ok() && phone.ok());
  const std::string request =
      "REGISTER sip:127.0.0.1 SIP/2.0\r\n"
      "Via: SIP/2.0/UDP 127.0.0.61:" +
      std::to_string(sink.port()) +
      ";maddr=phone.e2e.test;branch=z9hG4bK-dns-e2e-1\r\n"
      "From: <sip:100@127.0.0.1>;tag=dns1\r\nTo: <sip:100@127.0.0.1>\r\n"
      "Call-ID: dns-e2e-1@127.0.0.61\r\nCSeq: 1 REGISTER\r\n"
      "Contact: <sip:100@127.0.0.61:" +
      std::to_string(phone.port()) + ">\r\nExpires: 60\r\nContent-Length: 0\r\n\r\n";
  ASSERT_TRUE(phone.send_to("127.0.0.1", t.ports().sip_udp, request));

  std::string answer;
  bool got = false;
  for (int i = 0; i < 50 && !got; ++i) {
    got = sink.receive(answer, 100) &&
          answer.find("Call-ID: dns-e2e-1@127.0.0.61") != std::string::npos;
  }
  ASSERT_TRUE(got) << "nothing at the maddr host; DNS questions seen: " << dns.questions().size();
  EXPECT_EQ(answer.substr(0, 8), "SIP/2.0 ");

  // The maddr host is looked up with AAAA first, then A; both answers are cached for their TTL.
  std::vector<std::string> q = dns.questions();
  auto aaaa = std::find(q.begin(), q.end(), "phone.e2e.test " + std::to_string(type_aaaa));
  auto a = std::find(q.begin(), q.end(), "phone.e2e.test " + std::to_string(type_a));
  ASSERT_NE(a, q.end());
  ASSERT_NE(aaaa, q.end());
  EXPECT_LT(aaaa - q.begin(), a - q.begin());
  EXPECT_TRUE(t.wait_for_log("DNS: Add phone.e2e.test A (ttl=60)", 1000));
  // The phone's own address saw nothing: the answer went where DNS said.
  std::string stray;
  EXPECT_FALSE(phone.receive(stray, 200));
}

}  // namespace
