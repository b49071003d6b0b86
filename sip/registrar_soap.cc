#include "sip/registrar_soap.h"

#include "base/xml_tree.h"

const str c_get_register_policy("GetRegisterPolicy");
const str c_set_register_policy("SetRegisterPolicy");
const str c_register_request("RegisterRequest");
const str c_register_response("RegisterResponse");
const str c_rru("RRU");
const str c_register_expires("RegisterExpires");

str registrar_soap::get(const char* field) const {
  for (const auto& f : fields)
    if (f.first == field) return f.second;
  return str();
}

bool registrar_soap::has(const char* field) const {
  for (const auto& f : fields)
    if (f.first == field) return true;
  return false;
}

str registrar_soap_message(const char* name,
                           const std::vector<std::pair<const char*, str>>& fields) {
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

bool registrar_soap_parse(const str& text, registrar_soap& out) {
  out = registrar_soap();
  xml_tree doc = xml_tree::parse(text);
  if (doc.empty() || doc.local_name() != "Envelope") return false;
  const xml_tree* body = doc.find_local("Body");
  if (!body || body->children().size() != 1) return false;
  const xml_tree& m = body->children().front();
  out.name = m.local_name();
  for (const xml_tree& c : m.children()) out.fields.emplace_back(c.local_name(), c.body());
  return true;
}

namespace {

template <class It>
void pack_range(It begin, It end) {
  size_t total = 0;
  for (It it = begin; it != end; ++it) total += (*it)->length();
  if (total == 0) return;
  str all;
  all.reserve(total);
  // append, not +=: += on an empty string would share the first text's buffer.
  for (It it = begin; it != end; ++it) all.append((*it)->cbuffer(), (*it)->length());
  size_t at = 0;
  for (It it = begin; it != end; ++it) {
    const size_t n = (*it)->length();
    if (n) **it = all.substr(at, n);
    at += n;
  }
}

}  // namespace

void pack_texts(std::initializer_list<str*> texts) { pack_range(texts.begin(), texts.end()); }
void pack_texts(std::vector<str*>& texts) { pack_range(texts.begin(), texts.end()); }
