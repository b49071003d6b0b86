#include "base/xml_tree.h"

#include <cstring>
#include <pugixml.hpp>

const str c_xml_declaration("<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n");

namespace {

// Deeper documents are refused: the tree is built and written recursively, and no document of
// the system nests more than a handful of levels.
constexpr int k_max_depth = 256;

// 0 for ordinary bytes, else the index + 1 of the entity in k_entities.
struct escape_table {
  uint8_t v[256];
  constexpr escape_table() : v() {
    v[int{'\''}] = 1;
    v[int{'"'}] = 2;
    v[int{'&'}] = 3;
    v[int{'<'}] = 4;
    v[int{'>'}] = 5;
  }
};
constexpr escape_table k_escape;
const char* const k_entities[] = {"&apos;", "&quot;", "&amp;", "&lt;", "&gt;"};
const size_t k_entity_lengths[] = {6, 6, 5, 4, 4};

void append_utf8(str& out, uint32_t cp) {
  char b[4];
  size_t n;
  if (cp < 0x80) {
    b[0] = static_cast<char>(cp);
    n = 1;
  } else if (cp < 0x800) {
    b[0] = static_cast<char>(0xc0 | cp >> 6);
    b[1] = static_cast<char>(0x80 | (cp & 0x3f));
    n = 2;
  } else if (cp < 0x10000) {
    b[0] = static_cast<char>(0xe0 | cp >> 12);
    b[1] = static_cast<char>(0x80 | (cp >> 6 & 0x3f));
    b[2] = static_cast<char>(0x80 | (cp & 0x3f));
    n = 3;
  } else {
    b[0] = static_cast<char>(0xf0 | cp >> 18);
    b[1] = static_cast<char>(0x80 | (cp >> 12 & 0x3f));
    b[2] = static_cast<char>(0x80 | (cp >> 6 & 0x3f));
    b[3] = static_cast<char>(0x80 | (cp & 0x3f));
    n = 4;
  }
  out.append(b, n);
}

// Decodes the entity starting at p[0] == '&' (at most end). Returns the number of bytes
// consumed, or 0 when it is not an entity we know (the '&' is then kept as it is).
size_t decode_entity(const char* p, const char* end, str& out) {
  const size_t avail = static_cast<size_t>(end - p);
  auto is = [&](const char* e, size_t n) { return avail >= n && std::memcmp(p, e, n) == 0; };
  if (is("&lt;", 4)) return out += '<', 4;
  if (is("&gt;", 4)) return out += '>', 4;
  if (is("&amp;", 5)) return out += '&', 5;
  if (is("&quot;", 6)) return out += '"', 6;
  if (is("&apos;", 6)) return out += '\'', 6;
  if (avail < 4 || p[1] != '#') return 0;
  const bool hex = p[2] == 'x' || p[2] == 'X';
  size_t i = hex ? 3 : 2;
  uint32_t cp = 0;
  const size_t first = i;
  for (; i < avail && i < first + 8; ++i) {
    const char c = p[i];
    uint32_t d;
    if (c >= '0' && c <= '9') {
      d = static_cast<uint32_t>(c - '0');
    } else if (hex && c >= 'a' && c <= 'f') {
      d = static_cast<uint32_t>(c - 'a' + 10);
    } else if (hex && c >= 'A' && c <= 'F') {
      d = static_cast<uint32_t>(c - 'A' + 10);
    } else {
      break;
    }
    cp = cp * (hex ? 16 : 10) + d;
  }
  if (i == first || i >= avail || p[i] != ';') return 0;
  if (cp == 0 || cp > 0x10ffff || (cp >= 0xd800 && cp <= 0xdfff)) return 0;
  append_utf8(out, cp);
  return i + 1;
}

}  // namespace

str txt2xml(const str& text) {
  const char* p = text.cbuffer();
  const size_t n = text.length();
  size_t i = 0;
  while (i < n && !k_escape.v[static_cast<uint8_t>(p[i])]) ++i;
  if (i == n) return text;
  str out;
  out.reserve(n + 16);
  txt2xml_append(out, text);
  return out;
}

void txt2xml_append(str& out, const str& text) {
  const char* p = text.cbuffer();
  const size_t n = text.length();
  size_t run = 0;  // start of the current run of plain bytes
  for (size_t i = 0; i < n; ++i) {
    const uint8_t e = k_escape.v[static_cast<uint8_t>(p[i])];
    if (!e) continue;
    if (i > run) out.append(p + run, i - run);
    out.append(k_entities[e - 1], k_entity_lengths[e - 1]);
    run = i + 1;
  }
  if (n > run) out.append(p + run, n - run);
}

str xml2txt(const str& text) {
  const long amp = text.find('&');
  if (amp < 0) return text;
  const char* p = text.cbuffer();
  const char* const end = p + text.length();
  str out;
  out.reserve(text.length());
  out.append(p, static_cast<size_t>(amp));
  const char* run = p + amp;  // start of bytes not yet copied
  for (const char* q = run; q < end;) {
    if (*q != '&') {
      ++q;
      continue;
    }
    if (q > run) out.append(run, static_cast<size_t>(q - run));
    const size_t used = decode_entity(q, end, out);
    if (used) {
      q += used;
    } else {
      out += '&';
      ++q;
    }
    run = q;
  }
  if (end > run) out.append(run, static_cast<size_t>(end - run));
  return out;
}

// ---- Parsing -----------------------------------------------------------------------------------

// Turns pugixml's in-place DOM into an xml_tree whose strings are windows on the parsed copy.
struct xml_tree_builder {
  const str& doc;
  const char* base;
  size_t size;

  str text(const char* p) const {
    if (p >= base && p < base + size)
      return doc.substr(static_cast<size_t>(p - base),
                        strnlen(p, static_cast<size_t>(base + size - p)));
    return str(p);  // pugixml's own empty string
  }

  bool build(const pugi::xml_node& n, xml_tree& t, int depth) const {
    if (depth > k_max_depth) return false;
    t.name_ = text(n.name());
    for (pugi::xml_attribute a = n.first_attribute(); a; a = a.next_attribute())
      t.attributes_.push_back(xml_attribute{text(a.name()), text(a.value())});
    size_t elements = 0;
    for (pugi::xml_node c = n.first_child(); c; c = c.next_sibling())
      if (c.type() == pugi::node_element) ++elements;
    t.children_.reserve(elements);
    for (pugi::xml_node c = n.first_child(); c; c = c.next_sibling()) {
      switch (c.type()) {
        case pugi::node_element:
          t.children_.emplace_back();
          if (!build(c, t.children_.back(), depth + 1)) return false;
          break;
        case pugi::node_pcdata:
        case pugi::node_cdata:
          if (t.body_.empty()) {
            t.body_ = text(c.value());
          } else {
            t.body_ += text(c.value());
          }
          break;
        default:
          break;
      }
    }
    // Next to child elements, text of white space alone is layout, however it was written
    // (character references included), so that reading what we write gives the same tree.
    if (!t.children_.empty() && !t.body_.empty() && t.body_.strip().empty()) t.body_ = str();
    return true;
  }
};

bool xml_tree::parse(const str& text, xml_tree& out) {
  out = xml_tree();
  if (text.empty()) return false;
  // pugixml parses in place: it needs a private, writable copy, which the tree's strings then
  // share.
  str doc(text.cbuffer(), text.length());
  char* buf = doc.buffer();
  pugi::xml_document d;
  const unsigned options = pugi::parse_escapes | pugi::parse_cdata | pugi::parse_ws_pcdata_single;
  const pugi::xml_parse_result r =
      d.load_buffer_inplace(buf, doc.length(), options, pugi::encoding_utf8);
  if (!r) return false;
  pugi::xml_node root;
  for (pugi::xml_node c = d.first_child(); c; c = c.next_sibling()) {
    if (c.type() != pugi::node_element) continue;
    if (root) return false;  // a second root element
    root = c;
  }
  if (!root) return false;
  xml_tree_builder b{doc, buf, doc.length()};
  xml_tree t;
  if (!b.build(root, t, 0)) return false;
  out = std::move(t);
  return true;
}

xml_tree xml_tree::parse(const str& text) {
  xml_tree t;
  parse(text, t);
  return t;
}

// ---- Access ------------------------------------------------------------------------------------

str xml_tree::attribute(const str& name) const {
  for (const auto& a : attributes_)
    if (a.name == name) return a.value;
  return str();
}

bool xml_tree::has_attribute(const str& name) const {
  for (const auto& a : attributes_)
    if (a.name == name) return true;
  return false;
}

void xml_tree::set_attribute(const str& name, const str& value) {
  for (auto& a : attributes_) {
    if (a.name == name) {
      a.value = value;
      return;
    }
  }
  attributes_.push_back(xml_attribute{name, value});
}

bool xml_tree::remove_attribute(const str& name) {
  for (auto it = attributes_.begin(); it != attributes_.end(); ++it) {
    if (it->name == name) {
      attributes_.erase(it);
      return true;
    }
  }
  return false;
}

const xml_tree* xml_tree::find(const str& name) const {
  for (const auto& c : children_)
    if (c.name_ == name) return &c;
  return nullptr;
}

xml_tree* xml_tree::find(const str& name) {
  for (auto& c : children_)
    if (c.name_ == name) return &c;
  return nullptr;
}

str xml_tree::local_name() const {
  const char* p = name_.cbuffer();
  for (size_t i = name_.length(); i > 0; --i)
    if (p[i - 1] == ':') return name_.substr(i);
  return name_;
}

const xml_tree* xml_tree::find_local(const str& local) const {
  for (const auto& c : children_)
    if (c.local_name() == local) return &c;
  return nullptr;
}

str xml_tree::child_body(const str& name) const {
  const xml_tree* c = find(name);
  return c ? c->body_ : str();
}

xml_tree& xml_tree::add_child(const str& name) {
  children_.emplace_back(name);
  return children_.back();
}

xml_tree& xml_tree::add_child(const str& name, const str& body) {
  children_.emplace_back(name, body);
  return children_.back();
}

xml_tree& xml_tree::add_child(xml_tree child) {
  children_.push_back(std::move(child));
  return children_.back();
}

size_t xml_tree::remove_children(const str& name) {
  const size_t before = children_.size();
  std::erase_if(children_, [&](const xml_tree& c) { return c.name_ == name; });
  return before - children_.size();
}

// ---- Writing -----------------------------------------------------------------------------------

str xml_tree::serialise(const xml_write_options& options) const {
  str out;
  serialise_to(out, options);
  return out;
}

void xml_tree::serialise_to(str& out, const xml_write_options& options) const {
  write(out, options, 0);
}

void xml_tree::write(str& out, const xml_write_options& o, int depth) const {
  if (o.indent)
    for (int i = 0; i < depth; ++i) out += o.indent_unit;
  out += '<';
  out += name_;
  for (const auto& a : attributes_) {
    out += ' ';
    out += a.name;
    out.append("=\"", 2);
    if (o.attributes_escape_only_with_quote && !a.value.contains_char('"')) {
      out += a.value;
    } else {
      txt2xml_append(out, a.value);
    }
    out += '"';
  }
  if (body_.empty() && children_.empty()) {
    out.append("/>", 2);
  } else {
    out += '>';
    txt2xml_append(out, body_);
    if (!children_.empty()) {
      if (o.indent) out += o.line_end;
      for (const auto& c : children_) c.write(out, o, depth + 1);
      if (o.indent)
        for (int i = 0; i < depth; ++i) out += o.indent_unit;
    }
    out.append("</", 2);
    out += name_;
    out += '>';
  }
  if (o.indent) out += o.line_end;
}
