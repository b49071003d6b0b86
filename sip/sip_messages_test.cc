// The messages between the sides: every kind round-trips, the queue's text is exact, and a
// message that lost a required field is refused with a log line rather than read as empty.
#include "sip/sip_messages.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "base/log.h"
#include "sip/call_messages.h"
#include "sip/sip_test_print.h"

namespace {

template <class M>
void round_trip_and_refusals() {
  SCOPED_TRACE(M::soap_name);
  M m, back;
  int i = 0;  // every field a text of its own, with the characters XML must escape
  for (const auto& f : M::soap_fields()) m.*f.member = str::sprintf("%S %d <&\"'>", f.name, i++);
  const str text = soap_write(m);
  ASSERT_TRUE(soap_read(text, back));
  EXPECT_EQ(back, m);
  // Each required field in turn misspelled: refused, and the log names message and field.
  for (const auto& f : M::soap_fields()) {
    if (f.optional) continue;
    std::string t(text.view());
    for (std::string tag : {std::string("<") + f.name + ">", std::string("</") + f.name + ">"}) {
      size_t at = t.find(tag);
      ASSERT_NE(at, std::string::npos) << tag;
      t.replace(at, tag.size(), tag.substr(0, tag.size() - 1) + "x>");
    }
    log_capture::clear();
    EXPECT_FALSE(soap_read(str(t), back)) << f.name;
    EXPECT_EQ(log_capture::texts(), std::vector<std::string>{std::string("Message ") +
                                                             M::soap_name + " without " + f.name});
  }
}

TEST(SipMessages, EveryKindRoundTripsAndRefusesAMissingField) {
  log_capture logs;
  using registrar =
      std::tuple<msg::get_register_policy, msg::set_register_policy, msg::register_request,
                 msg::register_response, msg::rru, msg::register_expires, msg::subscription_notify,
                 msg::black_list_adr>;
  const auto all = [](auto... m) { (round_trip_and_refusals<decltype(m)>(), ...); };
  std::apply(all, registrar());
  std::apply(all, msg::call_events());
  std::apply(all, msg::call_commands());
}

// The bytes on the queue: the envelope, the element names of each message (RRU's "Call-ID",
// SetDialogCredentials' "CallID"), children in order, escaped values, and optional children
// left out when empty. Another message is not read as this one, and nothing is logged for it.
TEST(SipMessages, QueueTextAndOtherMessages) {
  const std::string envelope =
      "<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n"
      "<env:Envelope xmlns:env=\"http://schemas.xmlsoap.org/soap/envelope/\" "
      "xmlns:t=\"urn:telmond\"><env:Body>";
  const std::pair<str, std::string> cases[] = {
      {soap_write(msg::rru{"c1@x", "3", "360", ""}),
       "<t:RRU><Call-ID>c1@x</Call-ID><CSeq>3</CSeq><Expires>360</Expires></t:RRU>"},
      {soap_write(msg::black_list_adr{"192.0.2.1", "true", "a<b"}),
       "<t:BlackListAdr><Adr>192.0.2.1</Adr><State>true</State><Reason>a&lt;b</Reason>"
       "</t:BlackListAdr>"},
      {soap_write(msg::get_dialog_state{"7", "a@b", "<sip:1@x>;tag=1", "<sip:2@x>", "sip:2@x",
                                        "udp:127.0.0.1:5060", "0", "", "", "", "", "true"}),
       "<t:GetDialogState><Call-ID>7</Call-ID><SIP-ID>a@b</SIP-ID><From>&lt;sip:1@x&gt;;tag=1"
       "</From><To>&lt;sip:2@x&gt;</To><URI>sip:2@x</URI><Transport>udp:127.0.0.1:5060"
       "</Transport><Codec>0</Codec><Privacy>true</Privacy></t:GetDialogState>"},
      {soap_write(msg::set_dialog_credentials{"3", "carrier.test", "pbx", "p&w"}),
       "<t:SetDialogCredentials><CallID>3</CallID><Realm>carrier.test</Realm><Username>pbx"
       "</Username><Password>p&amp;w</Password></t:SetDialogCredentials>"}};
  for (const auto& [text, body] : cases)
    EXPECT_EQ(text.view(), envelope + body + "</env:Body></env:Envelope>\r\n");
  log_capture logs;
  msg::register_expires e;
  EXPECT_FALSE(soap_read(soap_write(msg::rru{"c1@x", "3", "360", ""}), e));
  EXPECT_FALSE(soap_read(str("not a message"), e));
  EXPECT_TRUE(log_capture::lines().empty());
}

}  // namespace
