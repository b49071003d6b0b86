#include "sip/notify_body.h"

#include "base/xml_tree.h"

const str c_message_summary("message-summary");
const str c_application_message_summary("application/simple-message-summary");
const str c_application_dialog_info("application/dialog-info+xml");
const str c_application_pidf("application/pidf+xml");
const str c_as_feature_event("as-feature-event");
const str c_application_feature_event("application/x-as-feature-event+xml");

namespace {
const char* const csta_ns = "http://www.ecma-international.org/standards/ecma-323/csta/ed3";
const char* const xml_head = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n";
}  // namespace

str message_summary_body(const str& account, int new_messages, int old_messages, int urgent_new,
                         int urgent_old) {
  str out = new_messages > 0 ? str("Messages-Waiting: yes\r\n") : str("Messages-Waiting: no\r\n");
  if (!account.empty()) out.appendf("Message-Account: %s\r\n", account);
  out.appendf("Voice-Message: %d/%d (%d/%d)\r\n", new_messages, old_messages, urgent_new,
              urgent_old);
  return out;
}

str dialog_info_body(const str& entity, int version, const str& state, const str& direction) {
  str out = str::sprintf(
      "<?xml version=\"1.0\"?>\r\n<dialog-info xmlns=\"urn:ietf:params:xml:ns:dialog-info\" "
      "version=\"%d\" state=\"full\" entity=\"%s\">",
      version, txt2xml(entity));
  if (!state.empty()) {
    out += "<dialog id=\"1\"";
    if (!direction.empty()) out.appendf(" direction=\"%s\"", txt2xml(direction));
    out.appendf("><state>%s</state></dialog>", txt2xml(state));
  }
  out += "</dialog-info>\r\n";
  return out;
}

str dialog_info_body(const str& entity, int version, bool in_call) {
  return in_call ? dialog_info_body(entity, version, "confirmed", "initiator")
                 : dialog_info_body(entity, version, str(), str());
}

str pidf_body(const str& entity, bool open) {
  str e = txt2xml(entity);
  return str::sprintf(
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<presence "
      "xmlns=\"urn:ietf:params:xml:ns:pidf\" entity=\"%s\"><tuple id=\"1\"><status><basic>%S"
      "</basic></status></tuple></presence>\r\n",
      e, open ? "open" : "closed");
}

str rlmi_list_body(const str& list_uri, int version, const std::vector<list_resource>& resources,
                   str& content_type) {
  // A boundary no part contains: lengthened until it is unique.
  str boundary("list-boundary");
  for (bool clash = true; clash;) {
    clash = false;
    for (const list_resource& r : resources) clash |= r.body.find(boundary) >= 0;
    if (clash) boundary += "-x";
  }
  content_type = str::sprintf(
      "multipart/related;type=\"application/rlmi+xml\";start=\"<rlmi@list>\";boundary=%s",
      boundary);
  str rlmi = str(xml_head) + str::sprintf(
                                 "<list xmlns=\"urn:ietf:params:xml:ns:rlmi\" uri=\"%s\" "
                                 "version=\"%d\" fullState=\"true\">",
                                 txt2xml(list_uri), version);
  for (size_t i = 0; i < resources.size(); i++) {
    rlmi.appendf(
        "<resource uri=\"%s\"><instance id=\"%d\" state=\"active\" cid=\"r%d@list\"/>"
        "</resource>",
        txt2xml(resources[i].uri), int(i + 1), int(i + 1));
  }
  rlmi += "</list>\r\n";
  str out = str::sprintf(
      "--%s\r\nContent-Transfer-Encoding: binary\r\nContent-ID: <rlmi@list>\r\n"
      "Content-Type: application/rlmi+xml;charset=\"UTF-8\"\r\n\r\n",
      boundary);
  out += rlmi;
  for (size_t i = 0; i < resources.size(); i++) {
    out.appendf(
        "\r\n--%s\r\nContent-Transfer-Encoding: binary\r\nContent-ID: <r%d@list>\r\n"
        "Content-Type: %s\r\n\r\n",
        boundary, int(i + 1), resources[i].content_type);
    out += resources[i].body;
  }
  out.appendf("\r\n--%s--\r\n", boundary);
  return out;
}

str dnd_event_body(const str& device, bool on) {
  return str(xml_head) + str::sprintf(
                             "<DoNotDisturbEvent xmlns=\"%S\"><device>%s</device><doNotDisturbOn>%S"
                             "</doNotDisturbOn></DoNotDisturbEvent>\r\n",
                             csta_ns, txt2xml(device), on ? "true" : "false");
}

str forwarding_event_body(const str& device, const str& type, bool on, const str& destination) {
  str out =
      str(xml_head) + str::sprintf(
                          "<ForwardingEvent xmlns=\"%S\"><device>%s</device><forwardingType>%s"
                          "</forwardingType><forwardStatus>%S</forwardStatus>",
                          csta_ns, txt2xml(device), txt2xml(type), on ? "true" : "false");
  if (on) out.appendf("<forwardTo>%s</forwardTo>", txt2xml(destination));
  out += "</ForwardingEvent>\r\n";
  return out;
}

bool parse_feature_change(const str& body, feature_change& out) {
  xml_tree doc;
  if (!xml_tree::parse(body, doc)) return false;
  auto child = [&doc](const char* name) {
    const xml_tree* c = doc.find_local(name);
    return c ? c->body().strip() : str();
  };
  out = feature_change();
  if (doc.local_name() == "SetDoNotDisturb") {
    out.dnd = true;
    out.on = child("doNotDisturbOn").tolower() == "true";
    return true;
  }
  if (doc.local_name() != "SetForwarding") return false;
  out.forwarding_type = child("forwardingType");
  out.on = child("activateForward").tolower() == "true";
  out.destination = child("forwardDN");
  return out.forwarding_type == "forwardImmediate" || out.forwarding_type == "forwardBusy" ||
         out.forwarding_type == "forwardNoAns";
}
