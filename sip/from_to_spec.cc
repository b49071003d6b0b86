#include "sip/from_to_spec.h"

#include <cstring>

namespace {

bool is_lws(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

bool is_token_char(char c) { return token.has(static_cast<uint8_t>(c)); }

}  // namespace

namespace {

// Where the parts of a name-address lie in its text (see parse_contact).
struct contact_split {
  size_t ds = 0, de = 0;  // display name (inside the quotes when quoted)
  size_t us = 0, ue = 0;  // URI
  size_t ps = 0, pe = 0;  // header parameters
  bool quoted = false;
  bool display_escaped = false;
  bool name_addr = false;
};

void split_contact(const char* b, size_t n, bool uri_only, contact_split& r) {
  size_t s = 0, e = n;
  while (s < e && is_lws(b[s])) ++s;
  while (e > s && is_lws(b[e - 1])) --e;
  r.quoted = s < e && b[s] == '"';
  r.name_addr = r.quoted;
  size_t rs;
  if (r.quoted) {
    size_t i = s + 1;
    while (i < e && b[i] != '"') {
      if (b[i] == '\\' && i + 1 < e) {
        r.display_escaped = true;
        i += 2;
      } else {
        ++i;
      }
    }
    if (i > e) i = e;
    r.ds = s + 1;
    r.de = i;
    rs = i < e ? i + 1 : e;
  } else {
    const char* lt = static_cast<const char*>(std::memchr(b + s, '<', e - s));
    if (lt) {
      r.ds = s;
      r.de = size_t(lt - b);
      while (r.ds < r.de && is_lws(b[r.ds])) ++r.ds;
      while (r.de > r.ds && is_lws(b[r.de - 1])) --r.de;
      rs = size_t(lt - b);
    } else {
      r.ds = r.de = s;
      rs = s;
    }
  }
  while (rs < e && is_lws(b[rs])) ++rs;
  r.ps = r.pe = e;
  if (rs < e && b[rs] == '<') {
    r.name_addr = true;
    const char* gt = static_cast<const char*>(std::memchr(b + rs, '>', e - rs));
    r.us = rs + 1;
    r.ue = gt ? size_t(gt - b) : e;
    if (gt) {
      r.ps = r.ue + 1;
      while (r.ps < e && is_lws(b[r.ps])) ++r.ps;
      if (r.ps < e && b[r.ps] == ';') ++r.ps;
    }
  } else if (uri_only) {
    r.us = rs;
    r.ue = e;
  } else {
    const char* semi =
        rs + 1 < e ? static_cast<const char*>(std::memchr(b + rs + 1, ';', e - rs - 1)) : nullptr;
    r.us = rs;
    r.ue = semi ? size_t(semi - b) : e;
    if (semi) r.ps = r.ue + 1;
  }
  while (r.us < r.ue && is_lws(b[r.us])) ++r.us;
  while (r.ue > r.us && is_lws(b[r.ue - 1])) --r.ue;
}

// The display name with backslash escapes resolved.
str unescape_display(const char* b, size_t ds, size_t de) {
  str d;
  d.reserve(de - ds);
  for (size_t k = ds; k < de; ++k) {
    if (b[k] == '\\' && k + 1 < de) ++k;
    d += b[k];
  }
  return d;
}

}  // namespace

bool parse_contact(const str& text, str& display, bool& quoted, str& uri, str& params,
                   bool uri_only) {
  contact_split r;
  const char* b = text.cbuffer();
  split_contact(b, text.length(), uri_only, r);
  display = r.display_escaped ? unescape_display(b, r.ds, r.de) : text.substr(r.ds, r.de - r.ds);
  uri = text.substr(r.us, r.ue - r.us);
  params = text.substr(r.ps, r.pe - r.ps);
  quoted = r.quoted;
  return r.name_addr;
}

str quoted_display_name(const str& name, bool quoted) {
  const bool special = name.contains_char('"') || name.contains_char('\\');
  if (!quoted && !special) return name;
  str out;
  out.reserve(name.length() + 4);
  out += '"';
  const char* p = name.cbuffer();
  for (size_t i = 0; i < name.length(); ++i) {
    if (p[i] == '"' || p[i] == '\\') out += '\\';
    out += p[i];
  }
  out += '"';
  return out;
}

bool is_token(const str& text) {
  const char* p = text.cbuffer();
  for (size_t i = 0; i < text.length(); ++i) {
    if (!is_token_char(p[i])) return false;
  }
  return true;
}

str quoted_string(const str& text) {
  str out;
  out.reserve(text.length() + 4);
  out += '"';
  const char* p = text.cbuffer();
  for (size_t i = 0; i < text.length(); ++i) {
    uint8_t c = static_cast<uint8_t>(p[i]);
    if (c < 0x20 || c == 0x7f || c == '\\' || c == '"') out += '\\';
    out += static_cast<char>(c);
  }
  out += '"';
  return out;
}

str quote(const str& text) { return quoted_display_name(text, true); }

str unquote(const str& text) {
  const size_t n = text.length();
  if (n < 2 || text[0] != '"' || text[n - 1] != '"') return text;
  str inner = text.substr(1, n - 2);
  if (!inner.contains_char('\\')) return inner;
  str out;
  const char* p = inner.cbuffer();
  for (size_t i = 0; i < inner.length(); ++i) {
    if (p[i] == '\\' && i + 1 < inner.length()) ++i;
    out += p[i];
  }
  return out;
}

from_to_spec& from_to_spec::operator=(str&& t) {
  text_ = std::move(t);
  if (!display_name_.empty()) display_name_.clear();
  addr_spec_.clear();
  if (!tag_.empty()) tag_.clear();
  parameters_.clear();
  name_addr_ = false;
  quoted_ = true;
  needs_parse_ = true;
  modified_ = false;
  return *this;
}

void from_to_spec::clear() {
  text_.clear();
  display_name_.clear();
  addr_spec_.clear();
  tag_.clear();
  parameters_.clear();
  name_addr_ = false;
  quoted_ = true;
  needs_parse_ = false;
  modified_ = false;
}

void from_to_spec::add_parm_raw(str&& name, str&& value) const {
  if (name.length() == 3 && name.icmp("tag")) {
    tag_ = std::move(value);
  } else {
    parameters_.emplace_back(std::move(name), std::move(value));
  }
}

void from_to_spec::parse() const {
  needs_parse_ = false;
  contact_split r;
  const str& t = text_;
  const char* p = t.cbuffer();
  split_contact(p, t.length(), false, r);
  name_addr_ = r.name_addr;
  quoted_ = r.quoted;
  display_name_ = r.display_escaped ? unescape_display(p, r.ds, r.de) : t.substr(r.ds, r.de - r.ds);
  addr_spec_ = t.substr(r.us, r.ue - r.us);
  tag_.clear();
  parameters_.clear();

  // Header parameters: a character scanner over "name [= value] ; ...", values being tokens
  // or quoted strings.
  const size_t n = r.pe;
  size_t i = r.ps;
  while (i < n) {
    while (i < n && !is_token_char(p[i])) ++i;
    if (i >= n) break;
    size_t s = i;
    while (i < n && is_token_char(p[i])) ++i;
    str name = t.substr(s, i - s);
    while (i < n && p[i] != '=' && p[i] != ';') ++i;
    if (i >= n || p[i] == ';') {
      add_parm_raw(std::move(name), str());
      if (i < n) ++i;
      continue;
    }
    ++i;  // "="
    while (i < n && is_lws(p[i])) ++i;
    str value;
    if (i < n && p[i] == '"') {
      ++i;
      size_t vs = i;
      bool escaped = false;
      while (i < n && p[i] != '"') {
        if (p[i] == '\\' && i + 1 < n) {
          escaped = true;
          ++i;
        }
        ++i;
      }
      if (i > n) i = n;
      value = escaped ? unescape_display(p, vs, i) : t.substr(vs, i - vs);
      if (i < n) ++i;  // closing quote
    } else {
      size_t vs = i;
      while (i < n && is_token_char(p[i])) ++i;
      value = t.substr(vs, i - vs);
    }
    add_parm_raw(std::move(name), std::move(value));
    while (i < n && p[i] != ';') ++i;
    if (i < n) ++i;
  }
}

const str& from_to_spec::display_name() const {
  ensure();
  return display_name_;
}
const sip_uri& from_to_spec::addr_spec() const {
  ensure();
  return addr_spec_;
}
const str& from_to_spec::tag() const {
  ensure();
  return tag_;
}
const std::vector<header>& from_to_spec::parameters() const {
  ensure();
  return parameters_;
}
bool from_to_spec::is_name_addr() const {
  ensure();
  return name_addr_;
}
bool from_to_spec::is_quoted() const {
  ensure();
  return quoted_;
}

str from_to_spec::extract_parameter(const str& name) const {
  ensure();
  for (const header& h : parameters_) {
    if (h.name.icmp(name)) return h.value;
  }
  return str();
}

void from_to_spec::set_display_name(const str& v) {
  touch();
  display_name_ = v;
}
void from_to_spec::set_addr_spec(const sip_uri& v) {
  touch();
  addr_spec_ = v;
}
void from_to_spec::set_tag(const str& v) {
  touch();
  tag_ = v;
}

void from_to_spec::set_parm(const str& name, const str& value) {
  touch();
  if (name.icmp("tag")) {
    tag_ = value;
    return;
  }
  for (header& h : parameters_) {
    if (h.name.icmp(name)) {
      h.value = value;
      return;
    }
  }
  parameters_.emplace_back(name, value);
}

void from_to_spec::add_parm(const str& name, const str& value) {
  touch();
  add_parm_raw(str(name), str(value));
}

void from_to_spec::clear_other_parameters() {
  touch();
  parameters_.clear();
}

str from_to_spec::angle_content() const {
  text_writer w(text_.length() + 32);
  write_angle_content(w);
  return w.to_str();
}

namespace {

// True when angle_content() of this text, parsed, gives the text itself back: an optional
// quoted display name (no escapes) and one space, the URI in angle brackets, then only
// ";name=value" parameters of token characters with a lower-case tag first. Conservative:
// false means only that the value has to be parsed and rebuilt.
bool is_canonical_angle_form(const char* b, size_t n) {
  size_t i = 0;
  if (n == 0) return false;
  if (b[0] == '"') {
    i = 1;
    while (i < n && b[i] != '"' && b[i] != '\\') ++i;
    if (i == 1 || i + 2 >= n || b[i] != '"' || b[i + 1] != ' ' || b[i + 2] != '<') return false;
    i += 2;
  }
  if (b[i] != '<') return false;
  const char* gt = static_cast<const char*>(std::memchr(b + i, '>', n - i));
  if (!gt) return false;
  size_t us = i + 1, ue = size_t(gt - b);
  if (us < ue && (is_lws(b[us]) || is_lws(b[ue - 1]))) return false;
  i = ue + 1;
  bool first = true;
  while (i < n) {
    if (b[i] != ';') return false;
    size_t ns = ++i;
    while (i < n && is_token_char(b[i])) ++i;
    size_t ne = i;
    if (ne == ns || i >= n || b[i] != '=') return false;
    ++i;
    while (i < n && is_token_char(b[i])) ++i;
    if (ne - ns == 3) {
      const bool lower_tag = b[ns] == 't' && b[ns + 1] == 'a' && b[ns + 2] == 'g';
      const bool any_tag =
          (b[ns] | 0x20) == 't' && (b[ns + 1] | 0x20) == 'a' && (b[ns + 2] | 0x20) == 'g';
      if (any_tag && !(lower_tag && first)) return false;
    }
    first = false;
  }
  return true;
}

}  // namespace

void from_to_spec::write_angle_content(text_writer& w) const {
  if (!modified_ && is_canonical_angle_form(text_.cbuffer(), text_.length())) {
    w.put(text_);
    return;
  }
  ensure();
  if (!display_name_.empty()) {
    const char* p = display_name_.cbuffer();
    const size_t n = display_name_.length();
    const bool special = std::memchr(p, '"', n) || std::memchr(p, '\\', n);
    if (quoted_ || special) {
      w.put('"');
      if (special) {
        for (size_t i = 0; i < n; ++i) {
          if (p[i] == '"' || p[i] == '\\') w.put('\\');
          w.put(p[i]);
        }
      } else {
        w.put(p, n);
      }
      w.put('"');
    } else {
      w.put(p, n);
    }
    w.put(' ');
  }
  w.put('<');
  w.put(addr_spec_.serialize());
  w.put('>');
  write_parameters(w);
}

// ";tag=..." and the other parameters; a value that is not a token (a quoted one in the text
// received) is written quoted again, so that it parses back to the same value.
void from_to_spec::write_parameters(text_writer& w) const {
  auto put_value = [&w](const str& value) {
    if (is_token(value)) {
      w.put(value);
    } else {
      w.put(quoted_string(value));
    }
  };
  if (!tag_.empty()) {
    w.put(";tag=");
    put_value(tag_);
  }
  for (const header& h : parameters_) {
    w.put(';');
    w.put(h.name);
    w.put('=');
    put_value(h.value);
  }
}

const str& from_to_spec::content() const {
  if (!modified_) return text_;
  if (name_addr_ || !display_name_.empty() || addr_spec_.num_parameters() > 0) {
    text_ = angle_content();
  } else {
    text_writer w(text_.length() + 32);
    w.put(addr_spec_.serialize());
    write_parameters(w);
    text_ = w.to_str();
  }
  modified_ = false;
  return text_;
}

str from_to_spec::get_parameters_as_string() const {
  ensure();
  str out;
  for (const header& h : parameters_) {
    if (!out.empty()) out += ' ';
    out += h.name;
    out += '=';
    out += h.value;
  }
  return out;
}
