#include "sip/notify_body.h"

#include <gtest/gtest.h>
#include <rapidcheck.h>

#include "base/xml_tree.h"

TEST(NotifyBody, MessageSummary) {
  EXPECT_EQ(message_summary_body("100", 2, 8, 0, 2),
            "Messages-Waiting: yes\r\nMessage-Account: 100\r\nVoice-Message: 2/8 (0/2)\r\n");
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

namespace {

// Splits a multipart body by the boundary of its content type: the parts' header blocks and
// bodies (the CR LF before a delimiter belongs to the delimiter).
struct part {
  std::string headers, body;
};
std::vector<part> split_multipart(const std::string& body, const std::string& content_type) {
  std::string boundary = content_type.substr(content_type.find("boundary=") + 9);
  std::string delimiter = "--" + boundary;
  std::vector<part> parts;
  size_t at = body.find(delimiter);
  while (at != std::string::npos) {
    size_t start = at + delimiter.size();
    if (body.compare(start, 2, "--") == 0) break;  // closing delimiter
    start += 2;                                    // CR LF
    size_t next = body.find("\r\n" + delimiter, start);
    if (next == std::string::npos) break;
    std::string whole = body.substr(start, next - start);
    size_t split = whole.find("\r\n\r\n");
    parts.push_back({whole.substr(0, split), whole.substr(split + 4)});
    at = next + 2;
  }
  return parts;
}

std::string header(const part& p, const std::string& name) {
  size_t at = p.headers.find(name + ": ");
  if (at == std::string::npos) return "";
  size_t end = p.headers.find("\r\n", at);
  return p.headers.substr(at + name.size() + 2,
                          end == std::string::npos ? end : end - at - name.size() - 2);
}

}  // namespace

TEST(NotifyBody, RlmiListReferencesEveryResourceByContentId) {
  std::vector<list_resource> resources = {
      {"sip:101@localhost", c_application_dialog_info,
       dialog_info_body("sip:101@localhost", 0, false)},
      {"sip:1&2@localhost", c_application_pidf, pidf_body("sip:1&2@localhost", true)}};
  str ct;
  str body = rlmi_list_body("sip:100@localhost", 4, resources, ct);
  EXPECT_TRUE(
      ct.starts_with("multipart/related;type=\"application/rlmi+xml\";start=\"<rlmi@list>\""));
  std::vector<part> parts = split_multipart(std::string(body.view()), std::string(ct.view()));
  ASSERT_EQ(parts.size(), 3u) << body.c_str();
  EXPECT_EQ(header(parts[0], "Content-ID"), "<rlmi@list>");
  EXPECT_EQ(header(parts[0], "Content-Type"), "application/rlmi+xml;charset=\"UTF-8\"");
  xml_tree list = xml_tree::parse(str(parts[0].body));
  ASSERT_FALSE(list.empty()) << parts[0].body;
  EXPECT_EQ(list.attribute("uri"), "sip:100@localhost");
  EXPECT_EQ(list.attribute("version"), "4");
  EXPECT_EQ(list.attribute("fullState"), "true");
  ASSERT_EQ(list.children().size(), 2u);
  for (size_t i = 0; i < 2; i++) {
    const xml_tree& r = list.children()[i];
    EXPECT_EQ(r.attribute("uri"), resources[i].uri);
    ASSERT_NE(r.find("instance"), nullptr);
    EXPECT_EQ(r.find("instance")->attribute("state"), "active");
    std::string cid = "<" + std::string(r.find("instance")->attribute("cid").view()) + ">";
    EXPECT_EQ(header(parts[i + 1], "Content-ID"), cid);
    EXPECT_EQ(header(parts[i + 1], "Content-Type"), std::string(resources[i].content_type.view()));
    EXPECT_EQ(parts[i + 1].body, std::string(resources[i].body.view()));
  }
  // An empty list is still a well-formed full-state document.
  body = rlmi_list_body("sip:100@localhost", 0, {}, ct);
  parts = split_multipart(std::string(body.view()), std::string(ct.view()));
  ASSERT_EQ(parts.size(), 1u);
  EXPECT_TRUE(xml_tree::parse(str(parts[0].body)).children().empty());
}

TEST(NotifyBody, RlmiBoundaryNeverOccursInAPart) {
  EXPECT_TRUE(rc::check([](const std::vector<std::string>& bodies, bool plant) {
    std::vector<list_resource> resources;
    for (const std::string& b : bodies)
      resources.push_back({"sip:x@y", "text/plain", str(plant ? "--list-boundary" + b : b)});
    str ct;
    str body = rlmi_list_body("sip:l@y", 1, resources, ct);
    std::vector<part> parts = split_multipart(std::string(body.view()), std::string(ct.view()));
    RC_ASSERT(parts.size() == resources.size() + 1);
    for (size_t i = 0; i < resources.size(); i++)
      RC_ASSERT(parts[i + 1].body == std::string(resources[i].body.view()));
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

  feature_change c;
  ASSERT_TRUE(parse_feature_change(
      "<?xml version=\"1.0\"?><SetDoNotDisturb xmlns=\"http://www.ecma-international.org/"
      "standards/ecma-323/csta/ed3\"><device>100</device><doNotDisturbOn>TRUE</doNotDisturbOn>"
      "</SetDoNotDisturb>",
      c));
  EXPECT_TRUE(c.dnd);
  EXPECT_TRUE(c.on);
  ASSERT_TRUE(parse_feature_change(
      "<x:SetForwarding xmlns:x=\"urn:x\"><x:device>100</x:device><x:forwardingType>"
      "forwardImmediate</x:forwardingType><x:activateForward>true</x:activateForward>"
      "<x:forwardDN> 200 </x:forwardDN><x:ringCount>3</x:ringCount></x:SetForwarding>",
      c));
  EXPECT_FALSE(c.dnd);
  EXPECT_TRUE(c.on);
  EXPECT_EQ(c.forwarding_type, "forwardImmediate");
  EXPECT_EQ(c.destination, "200");
  EXPECT_FALSE(parse_feature_change(
      "<SetForwarding><forwardingType>forwardSometimes</forwardingType></SetForwarding>", c));
  EXPECT_FALSE(parse_feature_change("<GetDoNotDisturb/>", c));
  EXPECT_FALSE(parse_feature_change("<SetDoNotDisturb>", c));
  EXPECT_FALSE(parse_feature_change("", c));
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
