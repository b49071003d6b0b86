// Telephones register: sipp registers extension 100 of the default configuration with digest
// authentication over UDP, and the registrations rows appear and disappear as it asks.
#include <gtest/gtest.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "base/digest.h"
#include "tests/e2e/harness.h"

namespace {

// A REGISTER scenario: the first request is challenged, the second answers the challenge; the
// final answer must be `final_code` and match the checks given as sipp <action> elements. With
// refresh, a third REGISTER without credentials must be answered 200 at once.
std::string scenario(const std::string& via_host, const std::string& contact,
                     const std::string& expires, int final_code, const std::string& checks,
                     const std::string& variables, bool refresh = false) {
  std::string request_head =
      "REGISTER sip:[remote_ip]:[remote_port] SIP/2.0\n"
      "Via: SIP/2.0/[transport] " +
      via_host +
      ":[local_port];branch=[branch];rport\n"
      "From: <sip:[field0]@localhost>;tag=[pid]SIPpTag00[call_number]\n"
      "To: <sip:[field0]@localhost>\n"
      "Call-ID: [call_id]\n";
  std::string request_tail = "Contact: " + contact + "\nExpires: " + expires +
                             "\nMax-Forwards: 70\nUser-Agent: sipp\nContent-Length: 0\n\n";
  return "<?xml version=\"1.0\" encoding=\"ISO-8859-1\" ?>\n"
         "<scenario name=\"register\">\n"
         "<send retrans=\"500\"><![CDATA[\n" +
         request_head + "CSeq: 1 REGISTER\n" + request_tail +
         "]]></send>\n"
         "<recv response=\"401\" auth=\"true\"/>\n"
         "<send retrans=\"500\"><![CDATA[\n" +
         request_head + "CSeq: 2 REGISTER\n" +
         "[authentication username=\"[field0]\" password=\"[field1]\"]\n" + request_tail +
         "]]></send>\n"
         "<recv response=\"" +
         std::to_string(final_code) + "\"><action>" + checks + "</action></recv>\n" +
         (refresh ? "<send retrans=\"500\"><![CDATA[\n" + request_head + "CSeq: 3 REGISTER\n" +
                        request_tail + "]]></send>\n<recv response=\"200\"/>\n"
                  : std::string()) +
         (variables.empty() ? "" : "<Reference variables=\"" + variables + "\"/>\n") +
         "</scenario>\n";
}

// Runs sipp from source_ip with the scenario and one user line for `calls` calls (one after
// the other); its exit status (0: every call succeeded).
int run_sipp(const e2e::telmond_process& t, const std::string& name, const std::string& source_ip,
             const std::string& scenario_text, const std::string& user_line, int calls = 1,
             bool tcp = false) {
  std::string dir = t.dir() + "/sipp-" + name;
  std::system(("mkdir -p " + dir).c_str());
  std::ofstream(dir + "/scenario.xml") << scenario_text;
  std::ofstream(dir + "/users.csv") << "SEQUENTIAL\n" << user_line << "\n";
  std::string cmd =
      "cd " + dir + " && timeout 30 sipp 127.0.0.1:" +
      std::to_string(tcp ? t.ports().sip_tcp : t.ports().sip_udp) +
      " -sf scenario.xml -inf users.csv -i " + source_ip + " -p " +
      std::to_string(e2e::free_port()) + (tcp ? " -t t1" : "") + " -m " + std::to_string(calls) +
      " -l 1 -timeout 20s -recv_timeout 5000 -nostdin -trace_err -trace_msg" + " > sipp.out 2>&1";
  int rc = std::system(cmd.c_str());
  return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
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

class RegisterE2E : public ::testing::Test {
 protected:
  void SetUp() override {
    e2e::telmond_options o;
    o.use_default_config();
    t = std::make_unique<e2e::telmond_process>(o);
    ASSERT_TRUE(t->start()) << t->error();
    ASSERT_TRUE(t->wait_for_file("user_alias/1.xml", "<name>100</name>", 5000));
  }
  void TearDown() override { t->stop(); }
  std::string sipp_log(const std::string& name) {
    return t->read_file("sipp-" + name + "/sipp.out");
  }
  std::unique_ptr<e2e::telmond_process> t;
};

TEST_F(RegisterE2E, RegisterRefreshAndClearWithDigest) {
  // 3600 asked, 360 granted (max_expires); the 200 announces it within 2 seconds.
  std::string ok =
      scenario("[local_ip]", "<sip:[field0]@[local_ip]:[local_port]>", "3600", 200,
               "<ereg regexp=\"expires=(3(5[89]|6[012]))\" search_in=\"hdr\" header=\"Contact:\" "
               "check_it=\"true\" assign_to=\"all,e\"/>",
               "all,e");
  ASSERT_EQ(run_sipp(*t, "register", "127.0.0.21", ok, "100;sip100;"), 0) << sipp_log("register");
  ASSERT_TRUE(t->wait_for_file("registrations/1.xml", "<contact>", 5000));
  std::string row = t->read_file("registrations/1.xml");
  EXPECT_NE(row.find("127.0.0.21"), std::string::npos) << row;
  EXPECT_NE(row.find("<user_agent>sipp</user_agent>"), std::string::npos) << row;
  EXPECT_TRUE(t->wait_for_log("Account 100 is registering a new contact", 3000));

  // Contact: * with Expires: 0 (a new Call-ID, so challenged again) removes every binding.
  std::string clear = scenario("[local_ip]", "*", "0", 200, "", "");
  ASSERT_EQ(run_sipp(*t, "clear", "127.0.0.22", clear, "100;sip100;"), 0) << sipp_log("clear");
  EXPECT_TRUE(t->wait_for_log("Account 100 requested clearing of registration database", 3000));
  for (int i = 0; i < 50 && t->file_exists("registrations/1.xml"); i++) usleep(100000);
  EXPECT_FALSE(t->file_exists("registrations/1.xml"));
}

TEST_F(RegisterE2E, WrongPasswordGets401WithWarning) {
  std::string bad =
      scenario("[local_ip]", "<sip:[field0]@[local_ip]:[local_port]>", "3600", 401,
               "<ereg regexp=\"399 localhost Password does not match\" search_in=\"hdr\" "
               "header=\"Warning:\" check_it=\"true\" assign_to=\"w\"/>",
               "w");
  EXPECT_EQ(run_sipp(*t, "bad", "127.0.0.23", bad, "100;wrong;"), 0) << sipp_log("bad");
  EXPECT_FALSE(t->file_exists("registrations/1.xml"));
}

// Digest by hand from 127.0.0.41: an Authorization whose nonce this binding never issued gets
// a fresh challenge, even with a response that is right for that nonce; the issued nonce gets
// 200; the same Authorization replayed on a new Call-ID is challenged again.
TEST_F(RegisterE2E, NonceNeverIssuedOrReplayedIsChallengedAgain) {
  e2e::udp_peer peer("127.0.0.41");
  ASSERT_TRUE(peer.ok());
  const std::string via = peer.ip() + ":" + std::to_string(peer.port());
  auto authorization = [](const std::string& nonce) {
    std::string ha1 = std::string(md5_hex("100:localhost:sip100").view());
    std::string ha2 = std::string(md5_hex("REGISTER:sip:localhost").view());
    std::string response =
        std::string(md5_hex(str((ha1 + ":" + nonce + ":" + ha2).c_str())).view());
    return "Authorization: Digest username=\"100\",realm=\"localhost\",nonce=\"" + nonce +
           "\",uri=\"sip:localhost\",response=\"" + response + "\",algorithm=MD5\r\n";
  };
  auto send = [&](const std::string& call_id, int cseq, const std::string& auth) {
    std::string text = "REGISTER sip:localhost SIP/2.0\r\nVia: SIP/2.0/UDP " + via +
                       ";branch=z9hG4bK-nonce-" + call_id + "-" + std::to_string(cseq) +
                       "\r\nFrom: <sip:100@localhost>;tag=n" + call_id +
                       "\r\nTo: <sip:100@localhost>\r\nCall-ID: " + call_id +
                       "\r\nCSeq: " + std::to_string(cseq) + " REGISTER\r\nContact: <sip:100@" +
                       via + ">\r\nExpires: 60\r\n" + auth + "Content-Length: 0\r\n\r\n";
    EXPECT_TRUE(peer.send_to("127.0.0.1", t->ports().sip_udp, text));
    std::string answer;
    if (!peer.receive(answer, 3000)) return std::string("(nothing)");
    return answer;
  };
  auto status = [](const std::string& answer) { return answer.substr(0, answer.find("\r\n")); };
  auto nonce_of = [](const std::string& answer) {
    size_t at = answer.find("nonce=\"");
    if (at == std::string::npos) return std::string();
    at += 7;
    return answer.substr(at, answer.find('"', at) - at);
  };

  std::string first = send("nonce-a", 1, "");
  ASSERT_EQ(status(first), "SIP/2.0 401 Authentication Required");
  std::string issued = nonce_of(first);
  ASSERT_FALSE(issued.empty());

  std::string forged = send("nonce-a", 2, authorization("00112233445566778899aabbccddeeff"));
  EXPECT_EQ(status(forged), "SIP/2.0 401 Authentication Required");
  EXPECT_FALSE(nonce_of(forged).empty());

  EXPECT_EQ(status(send("nonce-a", 3, authorization(issued))), "SIP/2.0 200 OK");
  EXPECT_EQ(status(send("nonce-b", 1, authorization(issued))),
            "SIP/2.0 401 Authentication Required");
}

TEST_F(RegisterE2E, PhoneBehindNatIsGrantedNatUdp) {
  // The Via names another address than the source: the phone is behind NAT and refreshes
  // every nat_udp (30) seconds.
  std::string nat =
      scenario("192.0.2.1", "<sip:[field0]@192.0.2.1:[local_port]>", "3600", 200,
               "<ereg regexp=\"expires=(2[89]|3[012])\" search_in=\"hdr\" header=\"Contact:\" "
               "check_it=\"true\" assign_to=\"all,e\"/>",
               "all,e");
  ASSERT_EQ(run_sipp(*t, "nat", "127.0.0.24", nat, "101;sip101;"), 0) << sipp_log("nat");
}

TEST_F(RegisterE2E, MessageSummarySubscriptionGetsItsInitialNotify) {
  // 600 asked, 360 granted; the NOTIFY follows the 200 with the (empty) mailbox summary.
  std::string head =
      "SUBSCRIBE sip:[field0]@[remote_ip]:[remote_port] SIP/2.0\n"
      "Via: SIP/2.0/[transport] [local_ip]:[local_port];branch=[branch];rport\n"
      "From: <sip:[field0]@localhost>;tag=[pid]SIPpTag00[call_number]\n"
      "To: <sip:[field0]@localhost>\n"
      "Call-ID: [call_id]\n";
  std::string tail =
      "Contact: <sip:[field0]@[local_ip]:[local_port]>\nEvent: message-summary\n"
      "Expires: 600\nMax-Forwards: 70\nContent-Length: 0\n\n";
  std::string text =
      "<?xml version=\"1.0\" encoding=\"ISO-8859-1\" ?>\n<scenario name=\"mwi\">\n"
      "<send retrans=\"500\"><![CDATA[\n" +
      head + "CSeq: 1 SUBSCRIBE\n" + tail +
      "]]></send>\n<recv response=\"401\" auth=\"true\"/>\n"
      "<send retrans=\"500\"><![CDATA[\n" +
      head + "CSeq: 2 SUBSCRIBE\n[authentication username=\"[field0]\" password=\"[field1]\"]\n" +
      tail +
      "]]></send>\n"
      "<recv response=\"200\"><action><ereg regexp=\"^ *(35[89]|36[012])$\" search_in=\"hdr\" "
      "header=\"Expires:\" check_it=\"true\" assign_to=\"all,e\"/></action></recv>\n"
      "<recv request=\"NOTIFY\"><action>"
      "<ereg regexp=\"Messages-Waiting: no\" search_in=\"body\" check_it=\"true\" "
      "assign_to=\"m\"/>"
      "<ereg regexp=\"active;expires=\" search_in=\"hdr\" header=\"Subscription-State:\" "
      "check_it=\"true\" assign_to=\"s\"/></action></recv>\n"
      "<send><![CDATA[\nSIP/2.0 200 OK\n[last_Via:]\n[last_From:]\n[last_To:]\n"
      "[last_Call-ID:]\n[last_CSeq:]\nContent-Length: 0\n\n]]></send>\n"
      "<Reference variables=\"all,e,m,s\"/>\n</scenario>\n";
  ASSERT_EQ(run_sipp(*t, "mwi", "127.0.0.25", text, "102;sip102;"), 0) << sipp_log("mwi");
  EXPECT_TRUE(t->wait_for_file("registrations/1.xml", "<event>message-summary</event>", 3000));
}

TEST_F(RegisterE2E, FeatureEventSubscriptionTurnsDoNotDisturbOn) {
  // The SUBSCRIBE carries SetDoNotDisturb: 103 is not to be disturbed, and the NOTIFYs that
  // follow the 200 report it (do-not-disturb first, then the three kinds of forwarding).
  std::string head =
      "SUBSCRIBE sip:[field0]@[remote_ip]:[remote_port] SIP/2.0\n"
      "Via: SIP/2.0/[transport] [local_ip]:[local_port];branch=[branch];rport\n"
      "From: <sip:[field0]@localhost>;tag=[pid]SIPpTag00[call_number]\n"
      "To: <sip:[field0]@localhost>\n"
      "Call-ID: [call_id]\n";
  std::string tail =
      "Contact: <sip:[field0]@[local_ip]:[local_port]>\nEvent: as-feature-event\n"
      "Expires: 600\nMax-Forwards: 70\nContent-Type: application/x-as-feature-event+xml\n"
      "Content-Length: [len]\n\n"
      "<SetDoNotDisturb xmlns=\"http://www.ecma-international.org/standards/ecma-323/csta/ed3\">"
      "<device>[field0]</device><doNotDisturbOn>true</doNotDisturbOn></SetDoNotDisturb>\n";
  std::string ok_notify =
      "<send><![CDATA[\nSIP/2.0 200 OK\n[last_Via:]\n[last_From:]\n[last_To:]\n"
      "[last_Call-ID:]\n[last_CSeq:]\nContent-Length: 0\n\n]]></send>\n";
  std::string text =
      "<?xml version=\"1.0\" encoding=\"ISO-8859-1\" ?>\n<scenario name=\"dnd\">\n"
      "<send retrans=\"500\"><![CDATA[\n" +
      head + "CSeq: 1 SUBSCRIBE\n" + tail +
      "]]></send>\n<recv response=\"401\" auth=\"true\"/>\n"
      "<send retrans=\"500\"><![CDATA[\n" +
      head + "CSeq: 2 SUBSCRIBE\n[authentication username=\"[field0]\" password=\"[field1]\"]\n" +
      tail +
      "]]></send>\n<recv response=\"200\"/>\n"
      "<recv request=\"NOTIFY\"><action>"
      "<ereg regexp=\"<doNotDisturbOn>true</doNotDisturbOn>\" search_in=\"body\" "
      "check_it=\"true\" assign_to=\"d\"/>"
      "<ereg regexp=\"as-feature-event\" search_in=\"hdr\" header=\"Event:\" "
      "check_it=\"true\" assign_to=\"e\"/></action></recv>\n" +
      ok_notify +
      "<recv request=\"NOTIFY\"><action><ereg regexp=\"forwardImmediate\" search_in=\"body\" "
      "check_it=\"true\" assign_to=\"f\"/></action></recv>\n" +
      ok_notify + "<recv request=\"NOTIFY\"/>\n" + ok_notify + "<recv request=\"NOTIFY\"/>\n" +
      ok_notify + "<Reference variables=\"d,e,f\"/>\n</scenario>\n";
  ASSERT_EQ(run_sipp(*t, "dnd", "127.0.0.26", text, "103;sip103;"), 0) << sipp_log("dnd");
  EXPECT_TRUE(t->wait_for_file("extensions/4.xml", "<dnd>true</dnd>", 3000))
      << t->read_file("extensions/4.xml");
  EXPECT_TRUE(t->wait_for_log("Account 103 turned do not disturb on", 3000));
}

TEST_F(RegisterE2E, SixthBindingIsTooMany) {
  // Five bindings of extension 103 (each call a new Call-ID and Contact) fill max_regs (5).
  std::string contact = "<sip:[field0]-[call_number]@[local_ip]:[local_port]>";
  std::string ok = scenario("[local_ip]", contact, "3600", 200, "", "");
  ASSERT_EQ(run_sipp(*t, "five", "127.0.0.26", ok, "103;sip103;", 5), 0) << sipp_log("five");
  std::string too_many =
      scenario("[local_ip]", "<sip:[field0]-six@[local_ip]:[local_port]>", "3600", 403,
               "<ereg regexp=\"Too Many Registrations\" search_in=\"msg\" check_it=\"true\" "
               "assign_to=\"r\"/><ereg regexp=\"3600\" search_in=\"hdr\" header=\"Retry-After:\" "
               "check_it=\"true\" assign_to=\"a\"/>",
               "r,a");
  EXPECT_EQ(run_sipp(*t, "six", "127.0.0.27", too_many, "103;sip103;"), 0) << sipp_log("six");
  for (int i = 1; i <= 5; i++)
    EXPECT_TRUE(t->file_exists("registrations/" + std::to_string(i) + ".xml"));
  EXPECT_FALSE(t->file_exists("registrations/6.xml"));
}

TEST_F(RegisterE2E, PhoneOnTcpIsGrantedNatTcpAndLosesItsBindingWithTheConnection) {
  std::string tcp =
      scenario("[local_ip]", "<sip:[field0]@[local_ip]:[local_port];transport=tcp>", "3600", 200,
               "<ereg regexp=\"expires=(1(7[89]|8[012]))\" search_in=\"hdr\" header=\"Contact:\" "
               "check_it=\"true\" assign_to=\"all,e\"/>",
               "all,e");
  ASSERT_EQ(run_sipp(*t, "tcp", "127.0.0.28", tcp, "104;sip104;", 1, true), 0) << sipp_log("tcp");
  // sipp closed its connection when it ended: the binding it carried ends with it.
  EXPECT_TRUE(
      t->wait_for_log("Registration for account 104 expired, removing contact "
                      "<sip:104@127.0.0.28:",
                      3000));
  for (int i = 0; i < 30 && t->file_exists("registrations/1.xml"); i++) usleep(100000);
  EXPECT_FALSE(t->file_exists("registrations/1.xml"));
}

// Part 3.3's dialog CSeq rule as a phone sees it: the NOTIFYs of each subscription count up,
// across a refresh and while the account's do-not-disturb state changes.
TEST_F(RegisterE2E, NotifiesOfASubscriptionCountUp) {
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
TEST_F(RegisterE2E, UnknownFromDomainOrUserIsAnsweredAtOnce) {
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

// Part 3.4 as a phone that challenges every NOTIFY sees it: each NOTIFY comes at most twice,
// the original and one copy with credentials on a branch of its own (it used to be a storm of
// thousands, every copy on the challenged one's branch).
TEST_F(RegisterE2E, PhoneThatChallengesNotifiesGetsEachAtMostTwice) {
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

// A phone that registers two Contacts reads back only the one bound (one binding per Call-ID),
// so it does not believe the second one reachable.
TEST_F(RegisterE2E, OfTwoContactsOnlyTheBoundOneIsListed) {
  raw_phone phone(*t, "127.0.0.46", "101", "sip101");
  int cseq = 1;
  ASSERT_EQ(phone.request("REGISTER", "two-46", cseq,
                          "Contact: <sip:101@192.0.2.46:5062>\r\nExpires: 60\r\n"),
            "SIP/2.0 200 OK");
  EXPECT_NE(header_of(phone.last_answer, "Contact").find("sip:101@127.0.0.46:"), std::string::npos)
      << phone.last_answer;
  EXPECT_EQ(phone.last_answer.find("192.0.2.46"), std::string::npos) << phone.last_answer;
  ASSERT_TRUE(t->wait_for_file("registrations/1.xml", "<contact>", 3000));
  EXPECT_EQ(t->read_file("registrations/1.xml").find("192.0.2.46"), std::string::npos);
}

}  // namespace
