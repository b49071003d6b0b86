// The messages between the sides: every kind goes through its writer and reader unchanged,
// the queue's text is exactly what the other side expects, and a message that lost a field is
// refused with a line in the log rather than read as empty values.
#include "sip/sip_messages.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/log.h"
#include "sip/sip_test_print.h"

namespace {

// Every field gets a text of its own, with the characters XML must escape.
template <class M>
M filled() {
  M m;
  int i = 0;
  for (const auto& f : M::soap_fields()) m.*f.member = str::sprintf("%S %d <&\"'>", f.name, i++);
  return m;
}

template <class M>
void round_trip_and_refusals() {
  SCOPED_TRACE(M::soap_name);
  const M m = filled<M>();
  const str text = soap_write(m);
  M back;
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
  round_trip_and_refusals<msg::get_register_policy>();
  round_trip_and_refusals<msg::set_register_policy>();
  round_trip_and_refusals<msg::register_request>();
  round_trip_and_refusals<msg::register_response>();
  round_trip_and_refusals<msg::rru>();
  round_trip_and_refusals<msg::register_expires>();
  round_trip_and_refusals<msg::subscription_notify>();
  round_trip_and_refusals<msg::black_list_adr>();
}

// The bytes on the queue: the envelope, the element names of the message (RRU's "Call-ID"),
// escaped values, and an optional field left out when empty. Another message is not read as
// this one, and nothing is logged for it.
TEST(SipMessages, QueueTextAndOtherMessages) {
  const std::string envelope =
      "<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n"
      "<env:Envelope xmlns:env=\"http://schemas.xmlsoap.org/soap/envelope/\" "
      "xmlns:t=\"urn:telmond\"><env:Body>";
  EXPECT_EQ(soap_write(msg::rru{"c1@x", "3", "360", ""}).view(),
            envelope +
                "<t:RRU><Call-ID>c1@x</Call-ID><CSeq>3</CSeq><Expires>360</Expires></t:RRU>"
                "</env:Body></env:Envelope>\r\n");
  EXPECT_EQ(soap_write(msg::black_list_adr{"192.0.2.1", "true", "a<b"}).view(),
            envelope +
                "<t:BlackListAdr><Adr>192.0.2.1</Adr><State>true</State><Reason>a&lt;b</Reason>"
                "</t:BlackListAdr></env:Body></env:Envelope>\r\n");
  log_capture logs;
  msg::register_expires e;
  EXPECT_FALSE(soap_read(soap_write(msg::rru{"c1@x", "3", "360", ""}), e));
  EXPECT_FALSE(soap_read(str("not a message"), e));
  EXPECT_TRUE(log_capture::lines().empty());
}

}  // namespace
