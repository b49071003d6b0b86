#include "sip/sip_uri.h"

#include <cstring>

namespace {

const char k_hex[] = "0123456789ABCDEF";

int hex_value(uint8_t c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return 0;
}

bool is_letter(uint8_t c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

// Decodes only when there is something to decode, so plain components stay shared windows.
str decode_if_escaped(str&& s) {
  if (std::memchr(s.cbuffer(), '%', s.length())) return deescape(s);
  return std::move(s);
}

inline bool is_lws(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// The part after the scheme colon up to the first ";" is a port number: optional white space,
// at least one digit and nothing else. ("sip:-04" is the host "-04", not a port.)
bool is_port_number(const char* p, const char* end) {
  const char* semi = static_cast<const char*>(std::memchr(p, ';', end - p));
  if (semi) end = semi;
  while (p < end && (*p == ' ' || *p == '\t')) ++p;
  const char* digits = p;
  while (p < end && *p >= '0' && *p <= '9') ++p;
  return p > digits && p == end;
}

bool find_by_name(const std::vector<header>& list, const str& name, size_t& index) {
  for (size_t i = 0; i < list.size(); ++i) {
    if (list[i].name.icmp(name)) {
      index = i;
      return true;
    }
  }
  return false;
}

}  // namespace

str escape(const str& text, const char_class& cls) {
  const char* p = text.cbuffer();
  const size_t n = text.length();
  size_t i = 0;
  // Fast path: nothing to escape gives the same window.
  while (i < n && cls.has(static_cast<uint8_t>(p[i]))) ++i;
  if (i == n) return text;
  str out;
  out.reserve(n + 16);
  out.append(p, i);
  while (i < n) {
    uint8_t c = static_cast<uint8_t>(p[i]);
    if (c == '{' && n - i >= 7 && std::memcmp(p + i, "{x-pre-", 7) == 0) {
      const char* close = static_cast<const char*>(std::memchr(p + i, '}', n - i));
      size_t stop = close ? size_t(close - p) + 1 : n;
      out.append(p + i, stop - i);
      i = stop;
      continue;
    }
    if (cls.has(c)) {
      out += static_cast<char>(c);
    } else {
      char e[3] = {'%', k_hex[c >> 4], k_hex[c & 15]};
      out.append(e, 3);
    }
    ++i;
  }
  return out;
}

str deescape(const str& text) {
  const char* p = text.cbuffer();
  const size_t n = text.length();
  if (!std::memchr(p, '%', n)) return text;
  str out;
  out.reserve(n);
  for (size_t i = 0; i < n; ++i) {
    if (p[i] == '%' && i + 2 < n) {
      out += static_cast<char>(hex_value(static_cast<uint8_t>(p[i + 1])) * 16 +
                               hex_value(static_cast<uint8_t>(p[i + 2])));
      i += 2;
    } else {
      out += p[i];
    }
  }
  return out;
}

sip_uri::sip_uri(const str& scheme, const str& user, const str& host, const str& port)
    : needs_parse_(false),
      modified_(true),
      scheme_(scheme),
      user_(user),
      host_(host),
      port_(port) {}

sip_uri& sip_uri::operator=(str&& t) {
  text_ = std::move(t);
  needs_parse_ = true;
  modified_ = false;
  if (!scheme_.empty()) scheme_.clear();
  if (!user_.empty()) user_.clear();
  if (!password_.empty()) password_.clear();
  if (!host_.empty()) host_.clear();
  if (!port_.empty()) port_.clear();
  parameters_.clear();
  headers_.clear();
  return *this;
}

void sip_uri::clear() {
  if (!text_.empty()) text_.clear();
  needs_parse_ = false;
  modified_ = false;
  if (!scheme_.empty()) scheme_.clear();
  if (!user_.empty()) user_.clear();
  if (!password_.empty()) password_.clear();
  if (!host_.empty()) host_.clear();
  if (!port_.empty()) port_.clear();
  parameters_.clear();
  headers_.clear();
}

void sip_uri::parse() const {
  needs_parse_ = false;
  {
    const char* b = text_.cbuffer();
    size_t s = 0, e = text_.length();
    while (s < e && is_lws(b[s])) ++s;
    while (e > s && is_lws(b[e - 1])) --e;
    if (s > 0 || e < text_.length()) text_ = text_.substr(s, e - s);
  }
  scheme_.clear();
  user_.clear();
  password_.clear();
  host_.clear();
  port_.clear();
  parameters_.clear();
  headers_.clear();

  const str& t = text_;
  const char* base = t.cbuffer();
  const size_t n = t.length();
  const char* end = base + n;
  const char* at = static_cast<const char*>(std::memchr(base, '@', n));

  // Leading run of letters followed by ":".
  const char* s = base;
  while (s < end && is_letter(static_cast<uint8_t>(*s))) ++s;
  const bool scheme_like = s > base && s < end && *s == ':';

  const char* host_start;
  if (at) {
    const char* ui = base;
    if (scheme_like && s < at) {
      scheme_ = t.substr(0, s - base);
      ui = s + 1;
    }
    // The user runs to the first ":" that is not inside a %-escape.
    const char* q = ui;
    while (q < at && *q != ':') q += (*q == '%' && at - q >= 3) ? 3 : 1;
    user_ = decode_if_escaped(t.substr(ui - base, q - ui));
    if (q < at) password_ = decode_if_escaped(t.substr(q + 1 - base, at - q - 1));
    host_start = at + 1;
  } else {
    host_start = base;
    if (scheme_like && !is_port_number(s + 1, end)) {
      scheme_ = t.substr(0, s - base);
      host_start = s + 1;
    }
  }

  // Host: to the first ";", "?" or ":" outside brackets.
  const char* p = host_start;
  bool bracket = false;
  while (p < end) {
    char c = *p;
    if (c == '[') {
      bracket = true;
    } else if (c == ']') {
      bracket = false;
    } else if (!bracket && (c == ';' || c == '?' || c == ':')) {
      break;
    }
    ++p;
  }
  host_ = t.substr(host_start - base, p - host_start);
  if (p < end && *p == ':') {
    ++p;
    const char* digits = p;
    if (end - p >= 7 && std::memcmp(p, "{x-pre-", 7) == 0) {
      // A port placeholder stays a port (it is expanded at send time).
      const char* close = static_cast<const char*>(std::memchr(p, '}', end - p));
      p = close ? close + 1 : end;
    } else {
      while (p < end && *p >= '0' && *p <= '9') ++p;
    }
    port_ = t.substr(digits - base, p - digits);
  }

  while (p < end && *p == ';') {
    ++p;
    const char* name = p;
    while (p < end && *p != '=' && *p != ';' && *p != '?') ++p;
    const char* name_end = p;
    const char* v = p;
    if (p < end && *p == '=') {
      ++p;
      v = p;
      while (p < end && *p != ';' && *p != '?') ++p;
    }
    if (name_end > name) {
      parameters_.emplace_back(decode_if_escaped(t.substr(name - base, name_end - name)),
                               decode_if_escaped(t.substr(v - base, p - v)));
    }
  }

  if (p < end && *p == '?') {
    ++p;
    while (p < end) {
      const char* name = p;
      while (p < end && *p != '=' && *p != '&') ++p;
      const char* name_end = p;
      const char* v = p;
      if (p < end && *p == '=') {
        ++p;
        v = p;
        while (p < end && *p != '&') ++p;
      }
      const char* value_end = p;
      if (p < end) ++p;  // the "&"
      if (name_end > name) {
        headers_.emplace_back(decode_if_escaped(t.substr(name - base, name_end - name)),
                              decode_if_escaped(t.substr(v - base, value_end - v)));
      }
    }
  }
}

const str& sip_uri::get_scheme() const {
  ensure();
  return scheme_;
}
const str& sip_uri::get_user() const {
  ensure();
  return user_;
}
const str& sip_uri::get_pass() const {
  ensure();
  return password_;
}
const str& sip_uri::get_host() const {
  ensure();
  return host_;
}
const str& sip_uri::get_port() const {
  ensure();
  return port_;
}

str sip_uri::get_parameter(const str& name) const {
  ensure();
  size_t i;
  return find_by_name(parameters_, name, i) ? parameters_[i].value : str();
}

bool sip_uri::has_parameter(const str& name) const {
  ensure();
  size_t i;
  return find_by_name(parameters_, name, i);
}

str sip_uri::get_header(const str& name) const {
  ensure();
  size_t i;
  return find_by_name(headers_, name, i) ? headers_[i].value : str();
}

size_t sip_uri::num_parameters() const {
  ensure();
  return parameters_.size();
}

const std::vector<header>& sip_uri::parameters() const {
  ensure();
  return parameters_;
}

const std::vector<header>& sip_uri::headers() const {
  ensure();
  return headers_;
}

void sip_uri::set_scheme(const str& v) {
  touch();
  scheme_ = v;
}
void sip_uri::set_user(const str& v) {
  touch();
  user_ = v;
}
void sip_uri::set_pass(const str& v) {
  touch();
  password_ = v;
}
void sip_uri::set_host(const str& v) {
  touch();
  host_ = v;
}
void sip_uri::set_port(const str& v) {
  touch();
  port_ = v;
}

void sip_uri::set_parameter(const str& name, const str& value) {
  touch();
  size_t i;
  if (find_by_name(parameters_, name, i)) {
    parameters_[i].value = value;
  } else {
    parameters_.emplace_back(name, value);
  }
}

void sip_uri::remove_parameter(const str& name) {
  touch();
  for (size_t i = 0; i < parameters_.size();) {
    if (parameters_[i].name.icmp(name)) {
      parameters_.erase(parameters_.begin() + i);
    } else {
      ++i;
    }
  }
}

void sip_uri::set_header(const str& name, const str& value) {
  touch();
  size_t i;
  if (find_by_name(headers_, name, i)) {
    headers_[i].value = value;
  } else {
    headers_.emplace_back(name, value);
  }
}

void sip_uri::clear_headers() {
  touch();
  headers_.clear();
}

const str& sip_uri::serialize() const {
  if (!modified_) return text_;
  str out;
  out.reserve(scheme_.length() + user_.length() + host_.length() + 32);
  if (!scheme_.empty()) {
    out += scheme_;
    out += ':';
  }
  if (!user_.empty()) {
    out += escape(user_, user_unreserved);
    if (!password_.empty()) {
      out += ':';
      out += escape(password_, user_unreserved);
    }
    out += '@';
  }
  out += host_;
  if (!port_.empty()) {
    out += ':';
    out += port_;
  }
  for (const header& h : parameters_) {
    out += ';';
    out += escape(h.name, param_unreserved);
    if (!h.value.empty()) {
      out += '=';
      out += escape(h.value, param_unreserved);
    }
  }
  for (size_t i = 0; i < headers_.size(); ++i) {
    out += i == 0 ? '?' : '&';
    out += escape(headers_[i].name, hnv_unreserved);
    if (!headers_[i].value.empty()) {
      out += '=';
      out += escape(headers_[i].value, hnv_unreserved);
    }
  }
  text_ = out;
  modified_ = false;
  return text_;
}

bool operator==(const sip_uri& a, const sip_uri& b) {
  a.ensure();
  b.ensure();
  if (a.scheme_ != b.scheme_ || a.user_ != b.user_ || a.password_ != b.password_ ||
      a.host_ != b.host_ || a.port_ != b.port_) {
    return false;
  }
  if (a.headers_.size() != b.headers_.size()) return false;
  auto params_match = [](const sip_uri& x, const sip_uri& y) {
    for (const header& h : x.parameters_) {
      size_t i;
      if (find_by_name(y.parameters_, h.name, i)) {
        if (y.parameters_[i].value != h.value) return false;
      } else if (h.name.icmp("user") || h.name.icmp("ttl") || h.name.icmp("method") ||
                 h.name.icmp("maddr")) {
        return false;
      }
    }
    return true;
  };
  if (!params_match(a, b) || !params_match(b, a)) return false;
  for (const header& h : a.headers_) {
    size_t i;
    if (!find_by_name(b.headers_, h.name, i) || b.headers_[i].value != h.value) return false;
  }
  return true;
}
