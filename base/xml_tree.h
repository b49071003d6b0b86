// xml_tree: a minimal XML element tree (name, attributes in order, body text, children), and
// the txt2xml / xml2txt escaping used by every XML text the system reads or writes.
//
// Reading goes through pugixml; entities are decoded (the five named ones and numeric
// character references). Comments, processing instructions, the declaration and the DOCTYPE
// are dropped. White space is kept exactly inside a body; white-space-only text between child
// elements (indentation) is dropped. A parse takes one copy of the input and the names and
// values of the tree are windows on that copy (so a kept value holds the document's buffer
// until it is modified or compressed). Where the structure stays clear the reader is lenient,
// as the configuration script needs it: a raw "<" in an attribute value and a bare "&" are
// taken as text, and of duplicate attributes both are kept (attribute() finds the first).
// Documents nested deeper than 256 elements are refused.
//
// Writing is our own and produces exact bytes: no declaration (callers write their own), an
// element without body and children as "<name/>", text escaped with txt2xml, attributes in
// their order in double quotes. Compact output has no white space between elements; indented
// output puts every element on its own line.
//
// Side-neutral. A tree is a plain value; it belongs to one thread at a time.
#pragma once

#include <cstddef>
#include <vector>

#include "base/str.h"

// Replaces ' " & < > by &apos; &quot; &amp; &lt; &gt;. Returns the text itself (no copy)
// when nothing needs escaping.
str txt2xml(const str& text);
// Appends the escaped text to out.
void txt2xml_append(str& out, const str& text);
// Undoes txt2xml and decodes numeric character references (&#60; &#x3C;) to UTF-8. Unknown or
// unterminated entities stay as they are. Returns the text itself when it holds no "&".
str xml2txt(const str& text);

struct xml_attribute {
  str name;
  str value;
};

struct xml_write_options {
  // Each element on its own line, children indented by indent_unit per level. An element
  // whose only content is its body stays on one line.
  bool indent = false;
  const char* indent_unit = "  ";
  const char* line_end = "\r\n";
  // Attribute values are escaped only when they contain a double quote and written as they
  // are otherwise (the configuration script's rule). Off: always escaped.
  bool attributes_escape_only_with_quote = false;
};

class xml_tree {
 public:
  xml_tree() = default;
  explicit xml_tree(const str& name) : name_(name) {}
  xml_tree(const str& name, const str& body) : name_(name), body_(body) {}

  // Parses a whole document into out (replacing it). False for malformed input (not well
  // formed, no root element, or more than one), and out is then empty.
  static bool parse(const str& text, xml_tree& out);
  // As above; an empty tree (empty() true) for malformed input.
  static xml_tree parse(const str& text);

  // No element at all (a default-constructed or failed parse).
  bool empty() const { return name_.empty(); }

  const str& name() const { return name_; }
  void set_name(const str& name) { name_ = name; }
  // The name without its namespace prefix ("Body" of "env:Body").
  str local_name() const;

  // ---- Attributes ----
  const std::vector<xml_attribute>& attributes() const { return attributes_; }
  // Value of the first attribute of that name; empty when missing.
  str attribute(const str& name) const;
  bool has_attribute(const str& name) const;
  // Replaces the value of an existing attribute in place, or appends a new one.
  void set_attribute(const str& name, const str& value);
  bool remove_attribute(const str& name);

  // ---- Body: the element's own text (unescaped) ----
  const str& body() const { return body_; }
  void set_body(const str& body) { body_ = body; }

  // ---- Children ----
  const std::vector<xml_tree>& children() const { return children_; }
  std::vector<xml_tree>& children() { return children_; }
  // The first child of that name, or nullptr.
  const xml_tree* find(const str& name) const;
  xml_tree* find(const str& name);
  // The first child whose local name is local, whatever its prefix (SOAP messages choose
  // their own prefixes), or nullptr.
  const xml_tree* find_local(const str& local) const;
  // Body of the first child of that name; empty when there is none.
  str child_body(const str& name) const;
  // Appends a child and returns it (the reference is valid until the next change of this
  // element's children).
  xml_tree& add_child(const str& name);
  xml_tree& add_child(const str& name, const str& body);
  xml_tree& add_child(xml_tree child);
  // Removes every child of that name; returns how many were removed.
  size_t remove_children(const str& name);

  // ---- Writing ----
  str serialise(const xml_write_options& options = xml_write_options()) const;
  str serialise_indented() const {
    xml_write_options o;
    o.indent = true;
    return serialise(o);
  }
  void serialise_to(str& out, const xml_write_options& options = xml_write_options()) const;

 private:
  void write(str& out, const xml_write_options& o, int depth) const;

  str name_;
  std::vector<xml_attribute> attributes_;
  str body_;
  std::vector<xml_tree> children_;

  friend struct xml_tree_builder;
};

// The declaration line of the files the system writes: '<?xml version="1.0"
// encoding="utf-8"?>' followed by CR LF.
extern const str c_xml_declaration;
