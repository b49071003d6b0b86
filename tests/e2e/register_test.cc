// Telephones register: sipp registers and subscribes with accounts of the default
// configuration with digest authentication over UDP and TCP, and the registrations rows appear
// and disappear as it asks; a phone played over raw UDP challenges the NOTIFYs it gets.
#include <gtest/gtest.h>
#include <time.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "base/digest.h"
#include "tests/e2e/harness.h"

namespace {

// A challenged REGISTER of contact for expires seconds whose final answer must be final_code
// and pass the sipp <action> checks, which assign the variables.
std::string register_scenario(const std::string& contact, const std::string& expires,
                              int final_code, const std::string& checks = "",
                              const std::string& variables = "") {
  return e2e::sipp_challenged(
      "REGISTER",
      "Contact: " + contact + "\nExpires: " + expires +
          "\nMax-Forwards: 70\nUser-Agent: sipp\nContent-Length: 0\n\n",
      "<recv response=\"" + std::to_string(final_code) + "\"><action>" + checks +
          "</action></recv>\n" +
          (variables.empty() ? "" : "<Reference variables=\"" + variables + "\"/>\n"));
}

// A challenged SUBSCRIBE to event with body (of content_type) answered 200, then the steps of
// rest.
std::string subscribe_scenario(const std::string& event, const std::string& content_type,
                               const std::string& body, const std::string& rest) {
  return e2e::sipp_challenged(
      "SUBSCRIBE",
      "Contact: <sip:[field0]@[local_ip]:[local_port]>\nEvent: " + event +
          "\nExpires: 600\nMax-Forwards: 70\n" +
          (content_type.empty() ? "" : "Content-Type: " + content_type + "\n") +
          "Content-Length: [len]\n\n" + body,
      rest);
}

// The value of the first header line named name ("" when none).
std::string header_of(const std::string& message, const std::string& name) {
  size_t at = message.find("\r\n" + name + ":");
  if (at == std::string::npos) return "";
  at += name.size() + 3;
  size_t end = message.find("\r\n", at);
  size_t start = message.find_first_not_of(' ', at);
  return message.substr(start, end - start);
}
std::string first_line(const std::string& m) { return m.substr(0, m.find("\r\n")); }
std::string body_of(const std::string& m) { return m.substr(m.find("\r\n\r\n") + 4); }
// A quoted parameter of a header value (nonce="...").
std::string quoted(const std::string& value, const std::string& name) {
  size_t at = value.find(name + "=\"");
  if (at == std::string::npos) return "";
  at += name.size() + 2;
  return value.substr(at, value.find('"', at) - at);
}
std::string md5_of(const std::string& text) {
  return std::string(md5_hex(str(text.c_str())).view());
}

// A telephone played by the test over raw UDP from its own loopback address: it answers a
// challenge to its request with its password, and every request it receives (a NOTIFY) with a
// 401 that challenges it in turn. The requests it received are kept in order.
class raw_phone {
 public:
  raw_phone(const e2e::telmond_process& t, const std::string& ip, const std::string& user,
            const std::string& password)
      : peer_(ip), port_(t.ports().sip_udp), user_(user), password_(password) {}
  // Sends method (again with credentials when challenged); the status line of the final
  // answer, "" when none came within 3 s.
  std::string request(const std::string& method, const std::string& call_id,
                      const std::string& headers) {
    const std::string uri = "sip:" + user_ + "@localhost";
    std::string answer = transact(method, uri, call_id, 1, headers);
    if (first_line(answer).find(" 401 ") != std::string::npos) {
      const std::string challenge = header_of(answer, "WWW-Authenticate");
      const std::string nonce = quoted(challenge, "nonce"), realm = quoted(challenge, "realm");
      const std::string response = md5_of(md5_of(user_ + ":" + realm + ":" + password_) + ":" +
                                          nonce + ":" + md5_of(method + ":" + uri));
      answer = transact(method, uri, call_id, 2,
                        headers + "Authorization: Digest username=\"" + user_ + "\",realm=\"" +
                            realm + "\",nonce=\"" + nonce + "\",uri=\"" + uri + "\",response=\"" +
                            response + "\",algorithm=MD5\r\n");
    }
    return first_line(answer);
  }
  // Receives for ms milliseconds, answering every request.
  void listen(int ms) {
    std::string bytes;
    for (auto end = now_ms() + ms; now_ms() < end;)
      if (receive(bytes, int(end - now_ms())) && bytes.rfind("SIP/2.0 ", 0) != 0) answer(bytes);
  }
  // The requests received of method on call_id, in order.
  std::vector<std::string> received(const std::string& method, const std::string& call_id) const {
    std::vector<std::string> out;
    for (const std::string& r : requests_)
      if (r.rfind(method + " ", 0) == 0 && header_of(r, "Call-ID") == call_id) out.push_back(r);
    return out;
  }

 private:
  static int64_t now_ms() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
  }
  bool receive(std::string& bytes, int timeout_ms) {
    return timeout_ms > 0 && peer_.receive(bytes, timeout_ms, &source_ip_, &source_port_);
  }
  // Sends one request and waits for its final answer, answering the requests that come first.
  std::string transact(const std::string& method, const std::string& uri,
                       const std::string& call_id, int cseq, const std::string& headers) {
    const std::string via = peer_.ip() + ":" + std::to_string(peer_.port());
    const std::string cseq_value = std::to_string(cseq) + " " + method;
    peer_.send_to("127.0.0.1", port_,
                  method + " " + uri + " SIP/2.0\r\nVia: SIP/2.0/UDP " + via + ";branch=z9hG4bK-" +
                      call_id + "-" + std::to_string(cseq) + ";rport\r\nFrom: <" + uri +
                      ">;tag=" + call_id + "\r\nTo: <" + uri + ">\r\nCall-ID: " + call_id +
                      "\r\nCSeq: " + cseq_value + "\r\nContact: <sip:" + user_ + "@" + via +
                      ">\r\nMax-Forwards: 70\r\n" + headers + "Content-Length: 0\r\n\r\n");
    std::string bytes;
    for (auto end = now_ms() + 3000; receive(bytes, int(end - now_ms()));) {
      if (bytes.rfind("SIP/2.0 ", 0) != 0)
        answer(bytes);
      else if (header_of(bytes, "Call-ID") == call_id && header_of(bytes, "CSeq") == cseq_value &&
               bytes.rfind("SIP/2.0 1", 0) != 0)
        return bytes;
    }
    return "";
  }
  void answer(const std::string& request) {
    requests_.push_back(request);
    std::string r = "SIP/2.0 401 Unauthorized\r\n";
    for (const char* h : {"Via", "From", "To", "Call-ID", "CSeq"})
      r += std::string(h) + ": " + header_of(request, h) + "\r\n";
    r += "WWW-Authenticate: Digest realm=\"phone\",nonce=\"" + md5_of(request) + "\"\r\n";
    peer_.send_to(source_ip_, source_port_, r + "Content-Length: 0\r\n\r\n");
  }

  e2e::udp_peer peer_;
  int port_;
  std::string user_, password_, source_ip_;
  int source_port_ = 0;
  std::vector<std::string> requests_;
};

class RegisterE2E : public ::testing::Test {
 protected:
  void SetUp() override {
    e2e::telmond_options o;
    o.use_default_config();
    t = std::make_unique<e2e::telmond_process>(o);
    ASSERT_TRUE(t->start_with_accounts()) << t->error();
  }
  std::string sipp_log(const std::string& name) {
    return t->read_file("sipp-" + name + "/sipp.out");
  }
  std::unique_ptr<e2e::telmond_process> t;
};

TEST_F(RegisterE2E, RegisterRefreshAndClearWithDigest) {
  // 3600 asked, 360 granted (max_expires); the 200 announces it within 2 seconds.
  std::string ok = register_scenario(
      "<sip:[field0]@[local_ip]:[local_port]>", "3600", 200,
      "<ereg regexp=\"expires=(3(5[89]|6[012]))\" search_in=\"hdr\" header=\"Contact:\" "
      "check_it=\"true\" assign_to=\"all,e\"/>",
      "all,e");
  ASSERT_EQ(e2e::run_sipp(*t, "register", "127.0.0.21", ok, "100;sip100;"), 0)
      << sipp_log("register");
  ASSERT_TRUE(t->wait_for_file("registrations/1.xml", "<contact>", 5000));
  std::string row = t->read_file("registrations/1.xml");
  EXPECT_NE(row.find("127.0.0.21"), std::string::npos) << row;
  EXPECT_NE(row.find("<user_agent>sipp</user_agent>"), std::string::npos) << row;
  EXPECT_TRUE(t->wait_for_log("Account 100 is registering a new contact", 3000));

  // Contact: * with Expires: 0 (a new Call-ID, so challenged again) removes every binding.
  ASSERT_EQ(e2e::run_sipp(*t, "clear", "127.0.0.22", register_scenario("*", "0", 200),
                          "100;sip100;"),
            0)
      << sipp_log("clear");
  EXPECT_TRUE(t->wait_for_log("Account 100 requested clearing of registration database", 3000));
  EXPECT_TRUE(t->wait_until_gone("registrations/1.xml", 5000));
}

TEST_F(RegisterE2E, MessageSummarySubscriptionGetsItsInitialNotify) {
  // 600 asked, 360 granted; the NOTIFY follows the 200 with the (empty) mailbox summary.
  std::string text = subscribe_scenario(
      "message-summary", "", "",
      std::string("<recv response=\"200\"><action><ereg regexp=\"^ *(35[89]|36[012])$\" "
                  "search_in=\"hdr\" header=\"Expires:\" check_it=\"true\" assign_to=\"all,e\"/>"
                  "</action></recv>\n<recv request=\"NOTIFY\"><action>"
                  "<ereg regexp=\"Messages-Waiting: no\" search_in=\"body\" check_it=\"true\" "
                  "assign_to=\"m\"/><ereg regexp=\"active;expires=\" search_in=\"hdr\" "
                  "header=\"Subscription-State:\" check_it=\"true\" assign_to=\"s\"/></action>"
                  "</recv>\n") +
          e2e::sipp_answer_ok + "<Reference variables=\"all,e,m,s\"/>\n");
  ASSERT_EQ(e2e::run_sipp(*t, "mwi", "127.0.0.25", text, "102;sip102;"), 0) << sipp_log("mwi");
  EXPECT_TRUE(t->wait_for_file("registrations/1.xml", "<event>message-summary</event>", 3000));
}

TEST_F(RegisterE2E, FeatureEventSubscriptionTurnsDoNotDisturbOn) {
  // The SUBSCRIBE carries SetDoNotDisturb: 103 is not to be disturbed, and the NOTIFYs that
  // follow the 200 report it (do-not-disturb first, then the three kinds of forwarding).
  const std::string ok = e2e::sipp_answer_ok;
  std::string text = subscribe_scenario(
      "as-feature-event", "application/x-as-feature-event+xml",
      "<SetDoNotDisturb xmlns=\"http://www.ecma-international.org/standards/ecma-323/csta/ed3\">"
      "<device>[field0]</device><doNotDisturbOn>true</doNotDisturbOn></SetDoNotDisturb>\n",
      "<recv response=\"200\"/>\n<recv request=\"NOTIFY\"><action>"
      "<ereg regexp=\"<doNotDisturbOn>true</doNotDisturbOn>\" search_in=\"body\" "
      "check_it=\"true\" assign_to=\"d\"/><ereg regexp=\"as-feature-event\" search_in=\"hdr\" "
      "header=\"Event:\" check_it=\"true\" assign_to=\"e\"/></action></recv>\n" +
          ok +
          "<recv request=\"NOTIFY\"><action><ereg regexp=\"forwardImmediate\" search_in=\"body\" "
          "check_it=\"true\" assign_to=\"f\"/></action></recv>\n" +
          ok + "<recv request=\"NOTIFY\"/>\n" + ok + "<recv request=\"NOTIFY\"/>\n" + ok +
          "<Reference variables=\"d,e,f\"/>\n");
  ASSERT_EQ(e2e::run_sipp(*t, "dnd", "127.0.0.26", text, "103;sip103;"), 0) << sipp_log("dnd");
  EXPECT_TRUE(t->wait_for_file("extensions/4.xml", "<dnd>true</dnd>", 3000))
      << t->read_file("extensions/4.xml");
  EXPECT_TRUE(t->wait_for_log("Account 103 turned do not disturb on", 3000));
}

TEST_F(RegisterE2E, PhoneOnTcpIsGrantedNatTcpAndLosesItsBindingWithTheConnection) {
  std::string tcp = register_scenario(
      "<sip:[field0]@[local_ip]:[local_port];transport=tcp>", "3600", 200,
      "<ereg regexp=\"expires=(1(7[89]|8[012]))\" search_in=\"hdr\" header=\"Contact:\" "
      "check_it=\"true\" assign_to=\"all,e\"/>",
      "all,e");
  ASSERT_EQ(e2e::run_sipp(*t, "tcp", "127.0.0.28", tcp, "104;sip104;", 1, true), 0)
      << sipp_log("tcp");
  // sipp closed its connection when it ended: the binding it carried ends with it.
  EXPECT_TRUE(
      t->wait_for_log("Registration for account 104 expired, removing contact "
                      "<sip:104@127.0.0.28:",
                      3000));
  EXPECT_TRUE(t->wait_until_gone("registrations/1.xml", 3000));
}

// A phone that challenges every NOTIFY gets each at most twice: the original and one copy with
// credentials on a branch of its own (it used to be a storm of thousands, every copy on the
// challenged one's branch).
TEST_F(RegisterE2E, PhoneThatChallengesNotifiesGetsEachAtMostTwice) {
  raw_phone phone(*t, "127.0.0.45", "105", "sip105");
  ASSERT_EQ(phone.request("SUBSCRIBE", "fe-45", "Event: as-feature-event\r\nExpires: 600\r\n"),
            "SIP/2.0 200 OK");
  phone.listen(3000);  // longer than the first retransmission interval
  std::map<std::string, std::vector<std::string>> by_body;  // the four feature states
  for (const std::string& n : phone.received("NOTIFY", "fe-45")) by_body[body_of(n)].push_back(n);
  EXPECT_EQ(by_body.size(), 4u);
  for (const auto& [body, copies] : by_body) {
    ASSERT_EQ(copies.size(), 2u) << body;
    EXPECT_EQ(header_of(copies[0], "Authorization"), "");
    EXPECT_NE(header_of(copies[1], "Authorization"), "");
    EXPECT_NE(header_of(copies[0], "Via"), header_of(copies[1], "Via"));  // the branch
  }
}

}  // namespace
