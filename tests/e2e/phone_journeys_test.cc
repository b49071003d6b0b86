// Journeys of a telephone that follows the SIP rules to the letter, played over raw UDP by the
// test: it answers challenges with its password, keeps the To tag of each dialog, checks the
// order of what it receives, and challenges requests itself. What it sees of its
// subscriptions' NOTIFYs and of a REGISTER that cannot succeed is what a desk phone sees.
#include <gtest/gtest.h>

#include "tests/e2e/harness_phones.h"

namespace {

using e2e::header_of;
using e2e::raw_phone;

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
  // The two subscriptions by Call-ID: their headers and next CSeq.
  std::map<std::string, std::pair<std::string, int>> dialogs = {
      {"mwi-42", {"Event: message-summary\r\nExpires: 600\r\n", 1}},
      {"fe-42",
       {"Event: as-feature-event\r\nExpires: 600\r\n"
        "Content-Type: application/x-as-feature-event+xml\r\n",
        1}}};
  // Both subscribe, message waiting is refreshed, then the feature keys with do-not-disturb on
  // and off.
  const std::pair<const char*, std::string> steps[] = {
      {"mwi-42", ""}, {"fe-42", ""}, {"mwi-42", ""}, {"fe-42", dnd(true)}, {"fe-42", dnd(false)}};
  for (const auto& [id, body] : steps) {
    auto& [headers, cseq] = dialogs[id];
    ASSERT_EQ(phone.request("SUBSCRIBE", id, cseq, headers, body), "SIP/2.0 200 OK") << id << body;
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
  // The account's row and log follow the feature keys (the bodies are proved in
  // pbx/registration_test.cc).
  EXPECT_TRUE(t->wait_for_log("Account 104 turned do not disturb on", 1000));
  EXPECT_TRUE(t->wait_for_log("Account 104 turned do not disturb off", 1000));
  EXPECT_TRUE(t->wait_for_file("extensions/5.xml", "<dnd>false</dnd>", 3000))
      << t->read_file("extensions/5.xml");
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
  for (const std::string& n : phone.received("NOTIFY", "fe-45"))
    by_body[n.substr(n.find("\r\n\r\n"))].push_back(n);
  EXPECT_EQ(by_body.size(), 4u);
  for (const auto& [body, copies] : by_body) {
    ASSERT_EQ(copies.size(), 2u) << body;
    EXPECT_EQ(header_of(copies[0], "Authorization"), "");
    EXPECT_NE(header_of(copies[1], "Authorization"), "");
    EXPECT_NE(header_of(copies[0], "Via"), header_of(copies[1], "Via"));  // the branch
  }
}

}  // namespace
