// Journeys of a telephone that follows the SIP rules to the letter, played over raw UDP by the
// test: it answers challenges with its password, keeps the To tag of each dialog, checks the
// order of what it receives, and challenges requests itself. What it sees of its
// subscriptions' NOTIFYs and of a REGISTER that cannot succeed is what a desk phone sees.
#include <gtest/gtest.h>
#include <time.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "base/digest.h"
#include "tests/e2e/harness.h"
#include "tests/e2e/harness_phones.h"

namespace {

using e2e::md5_of;

using e2e::first_line;
using e2e::header_of;
std::string body_of(const std::string& m) { return m.substr(m.find("\r\n\r\n") + 4); }
// A quoted parameter of a header value (nonce="...").
std::string quoted(const std::string& value, const std::string& name) {
  size_t at = value.find(name + "=\"");
  if (at == std::string::npos) return "";
  at += name.size() + 2;
  return value.substr(at, value.find('"', at) - at);
}

// A telephone played by the test over raw UDP from its own loopback address, as RFC 3261 asks:
// it answers a challenge to its requests with its password, keeps the To tag of the dialog a
// 200 makes, and answers every request it receives (a NOTIFY) with request_answer, a 401 with
// a challenge of its own. The requests it received are kept in order.
class raw_phone {
 public:
  raw_phone(const e2e::telmond_process& t, const std::string& ip, const std::string& user,
            const std::string& password)
      : peer_(ip), port_(t.ports().sip_udp), user_(user), password_(password) {
    from = to = "sip:" + user + "@localhost";
  }
  // Sends method with CSeq cseq (again with the next CSeq and credentials when challenged),
  // leaving cseq at the next unused number; the status line of the final answer, "" when none
  // came within timeout_ms.
  std::string request(const std::string& method, const std::string& call_id, int& cseq,
                      const std::string& headers, const std::string& body = "",
                      int timeout_ms = 3000) {
    const std::string uri = method == "REGISTER" ? "sip:localhost" : to;
    last_answer = transact(method, uri, call_id, cseq++, headers, body, timeout_ms);
    if (first_line(last_answer).find(" 401 ") != std::string::npos) {
      const std::string challenge = header_of(last_answer, "WWW-Authenticate");
      const std::string nonce = quoted(challenge, "nonce"), realm = quoted(challenge, "realm");
      const std::string response = md5_of(md5_of(user_ + ":" + realm + ":" + password_) + ":" +
                                          nonce + ":" + md5_of(method + ":" + uri));
      const std::string credentials = "Authorization: Digest username=\"" + user_ + "\",realm=\"" +
                                      realm + "\",nonce=\"" + nonce + "\",uri=\"" + uri +
                                      "\",response=\"" + response + "\",algorithm=MD5\r\n";
      last_answer = transact(method, uri, call_id, cseq++, headers + credentials, body, timeout_ms);
    }
    const std::string to_header = header_of(last_answer, "To");
    if (first_line(last_answer).find(" 200 ") != std::string::npos &&
        to_header.find(";tag=") != std::string::npos)
      to_tags_[call_id] = to_header.substr(to_header.find(";tag=") + 5);
    return first_line(last_answer);
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

  std::string from, to;  // addresses of the requests (default: user@localhost)
  int request_answer = 200;
  std::string last_answer;  // the whole last answer request() got

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
                       const std::string& call_id, int cseq, const std::string& headers,
                       const std::string& body, int timeout_ms) {
    const std::string via = peer_.ip() + ":" + std::to_string(peer_.port());
    const std::string& tag = to_tags_[call_id];
    peer_.send_to(
        "127.0.0.1", port_,
        method + " " + uri + " SIP/2.0\r\nVia: SIP/2.0/UDP " + via + ";branch=z9hG4bK-" + call_id +
            "-" + std::to_string(cseq) + ";rport\r\nFrom: <" + from + ">;tag=" + call_id +
            "\r\nTo: <" + to + ">" + (tag.empty() ? "" : ";tag=" + tag) +
            "\r\nCall-ID: " + call_id + "\r\nCSeq: " + std::to_string(cseq) + " " + method +
            "\r\nContact: <sip:" + user_ + "@" + via + ">\r\nMax-Forwards: 70\r\n" + headers +
            "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body);
    return final_answer(call_id, std::to_string(cseq) + " " + method, timeout_ms);
  }
  std::string final_answer(const std::string& call_id, const std::string& cseq, int timeout_ms) {
    std::string bytes;
    for (auto end = now_ms() + timeout_ms; receive(bytes, int(end - now_ms()));) {
      if (bytes.rfind("SIP/2.0 ", 0) != 0) {
        answer(bytes);
      } else if (header_of(bytes, "Call-ID") == call_id && header_of(bytes, "CSeq") == cseq &&
                 bytes.rfind("SIP/2.0 1", 0) != 0) {
        return bytes;
      }
    }
    return "";
  }
  void answer(const std::string& request) {
    requests_.push_back(request);
    std::string r = request_answer == 401 ? "SIP/2.0 401 Unauthorized\r\n" : "SIP/2.0 200 OK\r\n";
    for (const char* h : {"Via", "From", "To", "Call-ID", "CSeq"})
      r += std::string(h) + ": " + header_of(request, h) + "\r\n";
    if (request_answer == 401)
      r += "WWW-Authenticate: Digest realm=\"phone\",nonce=\"" + md5_of(request) + "\"\r\n";
    peer_.send_to(source_ip_, source_port_, r + "Content-Length: 0\r\n\r\n");
  }

  e2e::udp_peer peer_;
  int port_;
  std::string user_, password_, source_ip_;
  int source_port_ = 0;
  std::map<std::string, std::string> to_tags_;  // Call-ID -> To tag of its dialog
  std::vector<std::string> requests_;
};

class PhoneJourneyE2E : public ::testing::Test {
 protected:
  void SetUp() override {
    e2e::telmond_options o;
    o.use_default_config();
    t = std::make_unique<e2e::telmond_process>(o);
    ASSERT_TRUE(t->start_with_accounts()) << t->error();
  }
  std::unique_ptr<e2e::telmond_process> t;
};

// The NOTIFYs of each subscription count up in its dialog, across a refresh and while the
// account's do-not-disturb state changes; a phone would refuse a lower CSeq and keep a stale
// lamp.
TEST_F(PhoneJourneyE2E, NotifiesOfASubscriptionCountUp) {
  raw_phone phone(*t, "127.0.0.42", "104", "sip104");
  auto dnd = [](bool on) {
    return std::string(
               "<SetDoNotDisturb xmlns=\"http://www.ecma-international.org/standards/ecma-323/"
               "csta/ed3\"><device>104</device><doNotDisturbOn>") +
           (on ? "true" : "false") + "</doNotDisturbOn></SetDoNotDisturb>";
  };
  const std::string mwi = "Event: message-summary\r\nExpires: 600\r\n";
  const std::string features =
      "Event: as-feature-event\r\nExpires: 600\r\n"
      "Content-Type: application/x-as-feature-event+xml\r\n";
  int mwi_cseq = 1, fe_cseq = 1;
  struct step {
    const char* name;
    const std::string* headers;
    int* cseq;
    std::string call_id, body;
  } steps[] = {{"subscribe to message waiting", &mwi, &mwi_cseq, "mwi-42", ""},
               {"subscribe to the feature keys", &features, &fe_cseq, "fe-42", ""},
               {"refresh message waiting", &mwi, &mwi_cseq, "mwi-42", ""},
               {"refresh with do-not-disturb on", &features, &fe_cseq, "fe-42", dnd(true)},
               {"refresh with do-not-disturb off", &features, &fe_cseq, "fe-42", dnd(false)}};
  for (const step& s : steps) {
    ASSERT_EQ(phone.request("SUBSCRIBE", s.call_id, *s.cseq, *s.headers, s.body), "SIP/2.0 200 OK")
        << s.name;
    phone.listen(500);
  }
  for (const char* call_id : {"mwi-42", "fe-42"}) {
    const std::vector<std::string> notifies = phone.received("NOTIFY", call_id);
    ASSERT_FALSE(notifies.empty()) << call_id;
    for (size_t i = 1; i < notifies.size(); i++)
      EXPECT_LT(std::stoul(header_of(notifies[i - 1], "CSeq")),
                std::stoul(header_of(notifies[i], "CSeq")))
          << call_id << " NOTIFY " << i;
  }
  EXPECT_EQ(phone.received("NOTIFY", "fe-42").size(), 12u);  // four per state
}

// A REGISTER that cannot succeed because of its From gets its final answer at once (it used to
// get none, and the phone timed out), and the log says why.
TEST_F(PhoneJourneyE2E, UnknownFromDomainOrUserIsAnsweredAtOnce) {
  const struct {
    const char *source, *from, *answer;
  } cases[] = {{"127.0.0.43", "sip:100@unknown.example", "SIP/2.0 404 Not Found"},
               {"127.0.0.44", "sip:999@localhost", "SIP/2.0 404 Not Found"}};
  for (const auto& c : cases) {
    raw_phone phone(*t, c.source, "100", "sip100");
    phone.from = c.from;
    int cseq = 1;
    EXPECT_EQ(phone.request("REGISTER", std::string("from-") + c.source, cseq, "Expires: 60\r\n",
                            "", 1000),
              c.answer)
        << c.from;
    EXPECT_TRUE(t->wait_for_log(
        std::string("Refusing registration from ") + c.source + " (From <" + c.from + ">;tag=",
        1000))
        << c.from;
  }
}

// A phone that challenges every NOTIFY gets each at most twice: the original and one copy
// with credentials on a branch of its own (it used to be a storm of thousands, every copy on
// the challenged one's branch).
TEST_F(PhoneJourneyE2E, PhoneThatChallengesNotifiesGetsEachAtMostTwice) {
  raw_phone phone(*t, "127.0.0.45", "105", "sip105");
  phone.request_answer = 401;
  int cseq = 1;
  ASSERT_EQ(
      phone.request("SUBSCRIBE", "fe-45", cseq, "Event: as-feature-event\r\nExpires: 600\r\n"),
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
