#include "db/xml_text.h"

#include <pugixml.hpp>

#include "base/xml_tree.h"

namespace {

// The text of an element: all its PCDATA and CDATA children joined.
str element_text(const pugi::xml_node& n) {
  str out;
  for (pugi::xml_node c = n.first_child(); c; c = c.next_sibling()) {
    if (c.type() == pugi::node_pcdata || c.type() == pugi::node_cdata) out += c.value();
  }
  return out;
}

constexpr unsigned parse_flags = pugi::parse_escapes | pugi::parse_cdata | pugi::parse_ws_pcdata;

}  // namespace

void append_xml_escaped(str& out, const str& v) { txt2xml_append(out, v); }

str xml_escape(const str& v) {
  str out;
  append_xml_escaped(out, v);
  return out;
}

str xml_attribute_value(const str& v) { return v.contains_char('"') ? xml_escape(v) : v; }

void for_each_row_element(const str& content,
                          const std::function<void(const str& name, const str& value)>& fn) {
  pugi::xml_document doc;
  // A malformed file still leaves the elements parsed before the fault in the tree.
  doc.load_buffer(content.cbuffer(), content.length(), parse_flags, pugi::encoding_utf8);
  pugi::xml_node root = doc.document_element();
  if (std::string_view(root.name()) != "row") return;
  for (pugi::xml_node c = root.first_child(); c; c = c.next_sibling()) {
    if (c.type() != pugi::node_element || !*c.name()) continue;
    fn(str(c.name()), element_text(c));
  }
}

void read_table_description(const str& content,
                            const std::function<void(const str& column, bool indexed)>& fn) {
  pugi::xml_document doc;
  doc.load_buffer(content.cbuffer(), content.length(), parse_flags, pugi::encoding_utf8);
  pugi::xml_node root = doc.document_element();
  if (std::string_view(root.name()) != "table") return;
  for (pugi::xml_node c = root.child("row"); c; c = c.next_sibling("row")) {
    str text = element_text(c);
    if (!text.empty()) fn(text, std::string_view(c.attribute("index").value()) == "true");
  }
}
