// The call messages: every kind goes through its writer and reader unchanged, the queue's
// text is the one the other side expects, and a message that lost a child is refused.
#include "sip/call_messages.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "base/log_capture_test_util.h"

namespace {

// Every kind, each field with a text of its own holding the characters XML must escape.
template <class M>
void round_trip() {
  SCOPED_TRACE(M::soap_name);
  M m, back;
  int i = 0;
  for (const auto& f : M::soap_fields()) m.*f.member = str::sprintf("%S%d <&\"'>", f.name, i++);
  ASSERT_TRUE(soap_read(soap_write(m), back));
  EXPECT_EQ(back, m);
}

TEST(CallMessages, EveryKindRoundTrips) {
  std::apply([](auto... m) { (round_trip<decltype(m)>(), ...); }, msg::call_events());
  std::apply([](auto... m) { (round_trip<decltype(m)>(), ...); }, msg::call_commands());
}

// The bytes on the queue: children in order, empty optional ones left out, Privacy present.
TEST(CallMessages, GetDialogStateText) {
  msg::get_dialog_state m{
      "7", "a@b", "<sip:1@x>;tag=1", "<sip:2@x>", "sip:2@x", "udp:127.0.0.1:5060", "0", "", "", "",
      "",  "true"};
  EXPECT_EQ(soap_write(m).view(),
            "<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n"
            "<env:Envelope xmlns:env=\"http://schemas.xmlsoap.org/soap/envelope/\" "
            "xmlns:t=\"urn:telmond\"><env:Body><t:GetDialogState><Call-ID>7</Call-ID>"
            "<SIP-ID>a@b</SIP-ID><From>&lt;sip:1@x&gt;;tag=1</From><To>&lt;sip:2@x&gt;</To>"
            "<URI>sip:2@x</URI><Transport>udp:127.0.0.1:5060</Transport><Codec>0</Codec>"
            "<Privacy>true</Privacy></t:GetDialogState></env:Body></env:Envelope>\r\n");
}

// The trunk's credentials for a leg: every child present, in order.
TEST(CallMessages, SetDialogCredentialsText) {
  EXPECT_EQ(soap_write(msg::set_dialog_credentials{"3", "carrier.test", "pbx", "p&w"}).view(),
            "<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n"
            "<env:Envelope xmlns:env=\"http://schemas.xmlsoap.org/soap/envelope/\" "
            "xmlns:t=\"urn:telmond\"><env:Body><t:SetDialogCredentials><CallID>3</CallID>"
            "<Realm>carrier.test</Realm><Username>pbx</Username><Password>p&amp;w</Password>"
            "</t:SetDialogCredentials></env:Body></env:Envelope>\r\n");
}

// A command without its StateCode is refused with a log line naming message and child.
TEST(CallMessages, MissingRequiredChildIsRefused) {
  log_capture logs;
  msg::set_dialog_state m;
  m.call_id = "3";
  m.state_code = "180";
  std::string text(soap_write(m).view());
  text.replace(text.find("<StateCode>180</StateCode>"), 26, "");
  EXPECT_FALSE(soap_read(str(text), m));
  EXPECT_EQ(log_capture::texts(),
            std::vector<std::string>{"Message SetDialogState without StateCode"});
}

}  // namespace
