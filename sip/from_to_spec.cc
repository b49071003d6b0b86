#include "sip/from_to_spec.h"

#include <cstring>

namespace {

bool is_lws(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

bool is_token_char(char c) { return token.has(static_cast<uint8_t>(c)); }

// Removes one leading ";" (after stripping).
str strip_leading_semicolon(const str& s) {
  str t = s.strip();
  if (!t.empty() && t[0] == ';') t = t.substr(1);
  return t;
}

}  // namespace

bool parse_contact(const str& text, str& display, bool& quoted, str& uri, str& params,
                   bool uri_only) {
  display.clear();
  uri.clear();
  params.clear();
  str t = text.strip();
  const char* b = t.cbuffer();
  const size_t n = t.length();
  quoted = n > 0 && b[0] == '"';
  bool name_addr = quoted;
  str rest;
  if (quoted) {
    size_t i = 1;
    bool escaped = false;
    while (i < n && b[i] != '"') {
      if (b[i] == '\\' && i + 1 < n) {
        escaped = true;
        i += 2;
      } else {
        ++i;
      }
    }
    if (escaped) {
      str d;
      d.reserve(i);
      for (size_t k = 1; k < i && k < n; ++k) {
        if (b[k] == '\\' && k + 1 < i) ++k;
        d += b[k];
      }
      display = d;
    } else {
      display = t.substr(1, (i < n ? i : n) - 1);
    }
    rest = i < n ? t.substr(i + 1).strip() : str();
  } else {
    long lt = t.find('<');
    if (lt >= 0) {
      display = t.substr(0, lt).strip();
      rest = t.substr(lt);
    } else {
      rest = t;
    }
  }
  if (!rest.empty() && rest[0] == '<') {
    name_addr = true;
    long gt = rest.find('>');
    if (gt >= 0) {
      uri = rest.substr(1, gt - 1).strip();
      params = strip_leading_semicolon(rest.substr(gt + 1));
    } else {
      uri = rest.substr(1).strip();
    }
  } else if (uri_only) {
    uri = rest;
  } else {
    long semi = rest.find(';', 1);
    if (semi >= 0) {
      uri = rest.substr(0, semi).strip();
      params = strip_leading_semicolon(rest.substr(semi));
    } else {
      uri = rest;
    }
  }
  return name_addr;
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

from_to_spec& from_to_spec::operator=(const str& t) {
  text_ = t;
  display_name_.clear();
  addr_spec_.clear();
  tag_.clear();
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

void from_to_spec::add_parm_raw(const str& name, const str& value) const {
  if (name.icmp("tag")) {
    tag_ = value;
  } else {
    parameters_.emplace_back(name, value);
  }
}

void from_to_spec::parse() const {
  needs_parse_ = false;
  str display, uri, params;
  bool q = true;
  name_addr_ = parse_contact(text_, display, q, uri, params, false);
  quoted_ = q;
  display_name_ = display;
  addr_spec_ = uri;
  tag_.clear();
  parameters_.clear();

  // Header parameters: a character scanner over "name [= value] ; ...", values being tokens
  // or quoted strings.
  const char* p = params.cbuffer();
  const size_t n = params.length();
  size_t i = 0;
  while (i < n) {
    while (i < n && !is_token_char(p[i])) ++i;
    if (i >= n) break;
    size_t s = i;
    while (i < n && is_token_char(p[i])) ++i;
    str name = params.substr(s, i - s);
    while (i < n && p[i] != '=' && p[i] != ';') ++i;
    if (i >= n || p[i] == ';') {
      add_parm_raw(name, str());
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
      if (escaped) {
        for (size_t k = vs; k < i && k < n; ++k) {
          if (p[k] == '\\' && k + 1 < i) ++k;
          value += p[k];
        }
      } else {
        value = params.substr(vs, (i < n ? i : n) - vs);
      }
      if (i < n) ++i;  // closing quote
    } else {
      size_t vs = i;
      while (i < n && is_token_char(p[i])) ++i;
      value = params.substr(vs, i - vs);
    }
    add_parm_raw(name, value);
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
  add_parm_raw(name, value);
}

void from_to_spec::clear_other_parameters() {
  touch();
  parameters_.clear();
}

str from_to_spec::angle_content() const {
  ensure();
  const str& uri = addr_spec_.serialize();
  str out;
  out.reserve(display_name_.length() + uri.length() + tag_.length() + 16);
  if (!display_name_.empty()) {
    out += quoted_display_name(display_name_, quoted_);
    out += ' ';
  }
  out += '<';
  out += uri;
  out += '>';
  if (!tag_.empty()) {
    out += ";tag=";
    out += tag_;
  }
  for (const header& h : parameters_) {
    out += ';';
    out += h.name;
    out += '=';
    out += is_token(h.value) ? h.value : quoted_string(h.value);
  }
  return out;
}

const str& from_to_spec::content() const {
  if (!modified_) return text_;
  if (name_addr_ || !display_name_.empty() || addr_spec_.num_parameters() > 0) {
    text_ = angle_content();
  } else {
    str out = addr_spec_.serialize();
    if (!tag_.empty()) {
      out += ";tag=";
      out += tag_;
    }
    for (const header& h : parameters_) {
      out += ';';
      out += h.name;
      out += '=';
      out += h.value;
    }
    text_ = out;
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
