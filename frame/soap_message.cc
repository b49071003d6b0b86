#include "frame/soap_message.h"

#include "base/log.h"
#include "base/xml_tree.h"

const str* soap_envelope::find(const char* field) const {
  for (const auto& f : fields)
    if (f.first == field) return &f.second;
  return nullptr;
}

bool soap_parse(const str& text, soap_envelope& out) {
  out = soap_envelope();
  xml_tree doc = xml_tree::parse(text);
  if (doc.empty() || doc.local_name() != "Envelope") return false;
  const xml_tree* body = doc.find_local("Body");
  if (!body || body->children().size() != 1) return false;
  const xml_tree& m = body->children().front();
  out.name = m.local_name();
  for (const xml_tree& c : m.children()) out.fields.emplace_back(c.local_name(), c.body());
  return true;
}

str soap_envelope_text(const char* name, const std::vector<std::pair<const char*, str>>& fields) {
  str out(
      "<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n"
      "<env:Envelope xmlns:env=\"http://schemas.xmlsoap.org/soap/envelope/\" "
      "xmlns:t=\"urn:telmond\"><env:Body><t:");
  out += name;
  out += '>';
  for (const auto& f : fields) {
    out.appendf("<%S>", f.first);
    txt2xml_append(out, f.second);
    out.appendf("</%S>", f.first);
  }
  out.appendf("</t:%S></env:Body></env:Envelope>\r\n", name);
  return out;
}

void soap_log_missing(const char* message, const char* field) {
  log_printf(log_soap, 2, "Message %S without %S", message, field);
}
