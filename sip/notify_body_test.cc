#include "sip/notify_body.h"

#include <gtest/gtest.h>
#include <rapidcheck.h>

#include "base/xml_tree.h"

// With messages waiting and an account:
// RegistrationTest.NewMessageSummarySubscriptionGetsItsInitialNotify.
TEST(NotifyBody, MessageSummaryWithoutMessagesOrAccount) {
  EXPECT_EQ(message_summary_body("", 0, 3, 0, 1),
            "Messages-Waiting: no\r\nVoice-Message: 0/3 (0/1)\r\n");
}

TEST(NotifyBody, DialogInfoAndPidfAreWellFormedAndEscaped) {
  const std::string head =
      "<?xml version=\"1.0\"?>\r\n<dialog-info xmlns=\"urn:ietf:params:xml:ns:dialog-info\" "
      "version=\"3\" state=\"full\" entity=\"sip:a&amp;b@x\">";
  const std::pair<str, std::string> cases[] = {
      {dialog_info_body("sip:a&b@x", 3, true),
       "<dialog id=\"1\" direction=\"initiator\"><state>confirmed</state></dialog>"},
      {dialog_info_body("sip:a&b@x", 3, "early", "recipient"),
       "<dialog id=\"1\" direction=\"recipient\"><state>early</state></dialog>"},
      {dialog_info_body("sip:a&b@x", 3, "terminated", ""),
       "<dialog id=\"1\"><state>terminated</state></dialog>"},
      {dialog_info_body("sip:a&b@x", 3, "", "initiator"), ""}};
  for (const auto& [body, dialogs] : cases)
    EXPECT_EQ(body, str(head + dialogs + "</dialog-info>\r\n"));

  xml_tree p = xml_tree::parse(pidf_body("sip:\"q\"@x", false));
  ASSERT_FALSE(p.empty());
  EXPECT_EQ(p.attribute("entity"), "sip:\"q\"@x");
  EXPECT_EQ(p.find("tuple")->find("status")->child_body("basic"), "closed");
}

// The RLMI document names every resource and its part by Content-ID; the parts follow in order.
TEST(NotifyBody, RlmiListReferencesEveryResourceByContentId) {
  str ct;
  str body = rlmi_list_body(
      "sip:100@localhost", 4,
      {{"sip:101@localhost", c_application_dialog_info, "D"}, {"sip:1&2@localhost", "t/p", "P"}},
      ct);
  EXPECT_EQ(ct,
            "multipart/related;type=\"application/rlmi+xml\";start=\"<rlmi@list>\";"
            "boundary=list-boundary");
  const std::string cte = "\r\nContent-Transfer-Encoding: binary\r\nContent-ID: ";
  EXPECT_EQ(body.view(),
            "--list-boundary" + cte +
                "<rlmi@list>\r\nContent-Type: application/rlmi+xml;charset=\"UTF-8\"\r\n\r\n"
                "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<list xmlns=\"urn:ietf:params:"
                "xml:ns:rlmi\" uri=\"sip:100@localhost\" version=\"4\" fullState=\"true\">"
                "<resource uri=\"sip:101@localhost\"><instance id=\"1\" state=\"active\" "
                "cid=\"r1@list\"/></resource><resource uri=\"sip:1&amp;2@localhost\"><instance "
                "id=\"2\" state=\"active\" cid=\"r2@list\"/></resource></list>\r\n"
                "\r\n--list-boundary" +
                cte + "<r1@list>\r\nContent-Type: application/dialog-info+xml\r\n\r\nD" +
                "\r\n--list-boundary" + cte + "<r2@list>\r\nContent-Type: t/p\r\n\r\nP" +
                "\r\n--list-boundary--\r\n");
  // Well-formed, also when empty: RegistrationTest.EventlistSubscriptionsGetTheWatchedAccounts.
}

// Whatever the parts hold, the boundary occurs in none of them and each part stands whole
// before a delimiter, so a reader splits the body where it was joined.
TEST(NotifyBody, RlmiBoundaryNeverOccursInAPart) {
  EXPECT_TRUE(rc::check([](const std::vector<std::string>& bodies, bool plant) {
    std::vector<list_resource> resources;
    for (const std::string& b : bodies)
      resources.push_back({"sip:x@y", "text/plain", str(plant ? "--list-boundary" + b : b)});
    str ct;
    const std::string body(rlmi_list_body("sip:l@y", 1, resources, ct).view());
    const std::string boundary(ct.view().substr(ct.view().find("boundary=") + 9));
    for (const list_resource& r : resources) {
      const std::string part(r.body.view());
      RC_ASSERT(part.find(boundary) == std::string::npos);
      RC_ASSERT(body.find("\r\n\r\n" + part + "\r\n--" + boundary) != std::string::npos);
    }
  }));
}

TEST(NotifyBody, FeatureEventsAndChanges) {
  const std::string head =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<%S xmlns=\"http://www.ecma-international.org/"
      "standards/ecma-323/csta/ed3\"><device>100</device>";
  EXPECT_EQ(dnd_event_body("100", true),
            str::sprintf(head.c_str(), "DoNotDisturbEvent") +
                "<doNotDisturbOn>true</doNotDisturbOn></DoNotDisturbEvent>\r\n");
  EXPECT_EQ(forwarding_event_body("100", "forwardBusy", true, "200"),
            str::sprintf(head.c_str(), "ForwardingEvent") +
                "<forwardingType>forwardBusy</forwardingType><forwardStatus>true</forwardStatus>"
                "<forwardTo>200</forwardTo></ForwardingEvent>\r\n");
  EXPECT_EQ(
      xml_tree::parse(forwarding_event_body("100", "forwardNoAns", false, "")).find("forwardTo"),
      nullptr);

  // Changes in the default namespace, and unknown ones refused:
  // RegistrationTest.FeatureEventsReportAndApplyDoNotDisturbAndForwarding. Here the case of the
  // flag and a prefixed namespace.
  feature_change c;
  ASSERT_TRUE(parse_feature_change(
      "<SetDoNotDisturb><doNotDisturbOn>TRUE</doNotDisturbOn></SetDoNotDisturb>", c));
  EXPECT_TRUE(c.dnd && c.on);
  ASSERT_TRUE(parse_feature_change(
      "<x:SetForwarding xmlns:x=\"urn:x\"><x:device>100</x:device><x:forwardingType>"
      "forwardImmediate</x:forwardingType><x:activateForward>true</x:activateForward>"
      "<x:forwardDN> 200 </x:forwardDN><x:ringCount>3</x:ringCount></x:SetForwarding>",
      c));
  EXPECT_EQ(str::sprintf("%d %d ", c.dnd, c.on) + c.forwarding_type + " " + c.destination,
            "0 1 forwardImmediate 200");
  EXPECT_FALSE(parse_feature_change("<GetDoNotDisturb/>", c));
}

TEST(NotifyBody, FeatureChangesRoundTripAnyDestination) {
  EXPECT_TRUE(rc::check([](const std::string& destination, bool on, unsigned type) {
    const char* types[] = {"forwardImmediate", "forwardBusy", "forwardNoAns"};
    const char* t = types[type % 3];
    str dn = str(destination).strip();
    str body = str::sprintf(
        "<SetForwarding><device>1</device><forwardingType>%S</forwardingType><activateForward>"
        "%S</activateForward><forwardDN>%s</forwardDN></SetForwarding>",
        t, on ? "true" : "false", txt2xml(dn));
    feature_change c;
    // Bytes XML cannot carry make the document malformed; anything else comes back as sent.
    if (!parse_feature_change(body, c)) return;
    RC_ASSERT(!c.dnd);
    RC_ASSERT(c.on == on);
    RC_ASSERT(c.forwarding_type == t);
    RC_ASSERT(c.destination == dn.strip());
  }));
  // Arbitrary text is never taken for a change.
  EXPECT_TRUE(rc::check([](const std::string& text) {
    feature_change c;
    RC_ASSERT(!parse_feature_change(str(text), c) || text.find("Set") != std::string::npos);
  }));
}
