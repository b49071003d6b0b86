// Journeys of a telephone that follows the SIP rules to the letter, played over raw UDP by the
// test: it answers challenges with its password, keeps the To tag of each dialog, checks the
// order of what it receives, and challenges requests itself. What it sees of its
// subscriptions' NOTIFYs and of a REGISTER that cannot succeed is what a desk phone sees.
#include <gtest/gtest.h>

#include "tests/e2e/harness_phones.h"

namespace {

using e2e::dialer;
using e2e::header_of;

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
  auto dnd = [](bool on) {
    return std::string(
               "<SetDoNotDisturb xmlns=\"http://www.ecma-international.org/standards/ecma-323/"
               "csta/ed3\"><device>104</device><doNotDisturbOn>") +
           (on ? "true" : "false") + "</doNotDisturbOn></SetDoNotDisturb>";
  };
  // Phone 104's two subscriptions, each a dialog of its own.
  dialer mwi(*t, "127.0.0.42", "104"), fe(*t, "127.0.0.42", "104");
  const std::string aor = "sip:104@localhost",
                    mwi_headers = "Event: message-summary\r\nExpires: 600\r\n",
                    fe_headers =
                        "Event: as-feature-event\r\nExpires: 600\r\n"
                        "Content-Type: application/x-as-feature-event+xml\r\n";
  const auto listen = [&] {  // both answer their NOTIFYs for half a second
    for (int i = 0; i < 10; i++) mwi.listen(25), fe.listen(25);
  };
  ASSERT_EQ(mwi.open("SUBSCRIBE", aor, mwi_headers), "200 OK");
  ASSERT_EQ(fe.open("SUBSCRIBE", aor, fe_headers), "200 OK");
  // Message waiting is refreshed, then the feature keys turn do-not-disturb on and off.
  listen();
  ASSERT_EQ(mwi.request("SUBSCRIBE", mwi_headers), "200 OK");
  for (const bool on : {true, false}) {
    listen();
    ASSERT_EQ(fe.request("SUBSCRIBE", fe_headers, dnd(on)), "200 OK") << on;
  }
  listen();
  for (dialer* d : {&mwi, &fe}) {
    const std::vector<std::string> notifies = d->received("NOTIFY");
    ASSERT_FALSE(notifies.empty()) << d->call_id;
    for (size_t i = 1; i < notifies.size(); i++)
      EXPECT_LT(std::stoul(header_of(notifies[i - 1], "CSeq")),
                std::stoul(header_of(notifies[i], "CSeq")))
          << d->call_id << " NOTIFY " << i;
  }
  EXPECT_EQ(fe.received("NOTIFY").size(), 12u);  // four per state
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
  for (const auto& [source, from] : {std::pair{"127.0.0.43", "sip:100@unknown.example"},
                                     std::pair{"127.0.0.44", "sip:999@localhost"}}) {
    dialer phone(*t, source, "100");
    phone.from = from;
    EXPECT_EQ(phone.open("REGISTER", "sip:100@localhost", "Expires: 60\r\n", "", 1000),
              "404 Not Found")
        << from;
    EXPECT_TRUE(t->wait_for_log(
        std::string("Refusing registration from ") + source + " (From <" + from + ">;tag=", 1000))
        << from;
  }
}

// A phone that challenges every NOTIFY gets each at most twice: the original and one copy
// with credentials on a branch of its own (it used to be a storm of thousands, every copy on
// the challenged one's branch).
TEST_F(PhoneJourneyE2E, PhoneThatChallengesNotifiesGetsEachAtMostTwice) {
  dialer phone(*t, "127.0.0.45", "105");
  phone.request_answer = 401;
  ASSERT_EQ(
      phone.open("SUBSCRIBE", "sip:105@localhost", "Event: as-feature-event\r\nExpires: 600\r\n"),
      "200 OK");
  phone.listen(3000);  // longer than the first retransmission interval
  std::map<std::string, std::vector<std::string>> by_body;  // the four feature states
  for (const std::string& n : phone.received("NOTIFY"))
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
