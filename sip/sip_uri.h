// sip_uri: a SIP, SIPS or other URI (tel, ...) split into scheme, user, password, host, port,
// parameters and headers; plus the character classes and the %-escaping used by the SIP layer.
//
// A sip_uri keeps the text it was built from and parses it only when a component is first
// asked for (at most once per assignment). serialize() gives that text back unchanged as long
// as no setter was called; only then is the text rebuilt from the components. So addresses
// that pass through the back-to-back user agent untouched stay byte-identical, and addresses
// that are never inspected cost no parsing.
//
// Side-neutral value type; not thread-safe (const getters fill the parse cache).
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "base/str.h"

// One (name, value) pair: a SIP header, a URI parameter or a URI header. Both as received.
struct header {
  str name;
  str value;
  header() = default;
  header(const str& n, const str& v) : name(n), value(v) {}
  header(str&& n, str&& v) : name(std::move(n)), value(std::move(v)) {}
  friend bool operator==(const header& a, const header& b) {
    return a.name == b.name && a.value == b.value;
  }
};

// A fixed set of ASCII characters.
class char_class {
 public:
  constexpr char_class(const char* extra, bool with_alphanum) : bits_{0, 0, 0, 0} {
    if (with_alphanum) {
      for (int c = '0'; c <= '9'; ++c) set(c);
      for (int c = 'a'; c <= 'z'; ++c) set(c);
      for (int c = 'A'; c <= 'Z'; ++c) set(c);
    }
    for (const char* p = extra; *p; ++p) set(static_cast<uint8_t>(*p));
  }
  constexpr bool has(uint8_t c) const { return (bits_[c >> 6] >> (c & 63)) & 1u; }

 private:
  constexpr void set(uint8_t c) { bits_[c >> 6] |= uint64_t(1) << (c & 63); }
  uint64_t bits_[4];
};

inline constexpr char_class alphanum("", true);
inline constexpr char_class unreserved("-_.!~*'()", true);
inline constexpr char_class user_unreserved("-_.!~*'()&=+$,;?/", true);
inline constexpr char_class pass_unreserved("-_.!~*'()&=+$,;?/", true);
inline constexpr char_class param_unreserved("-_.!~*'()[]/:&+$", true);
inline constexpr char_class header_unreserved("-_.!~*'()[]/?:+$", true);
inline constexpr char_class hnv_unreserved("-_.!~*'()[]/?:+$", true);
inline constexpr char_class hostname(".-", true);
inline constexpr char_class token("-.!%*_+`'~", true);

// Each byte outside the class becomes "%" and two upper-case hex digits. A placeholder that
// starts with "{x-pre-" is copied unchanged up to its closing "}" (it is expanded at send time).
str escape(const str& text, const char_class& cls);
// "%" and two characters become the byte of that hex value (a non-hex character counts as 0).
// A "%" with fewer than two characters after it is kept literally.
str deescape(const str& text);

class sip_uri {
 public:
  // Default: empty, nothing to parse, counts as modified.
  sip_uri() : needs_parse_(false), modified_(true) {}
  sip_uri(const char* t) : text_(t), needs_parse_(true), modified_(false) {}
  sip_uri(const str& t) : text_(t), needs_parse_(true), modified_(false) {}
  sip_uri(str&& t) : text_(std::move(t)), needs_parse_(true), modified_(false) {}
  sip_uri(const str& scheme, const str& user, const str& host, const str& port);
  sip_uri& operator=(const str& t) { return *this = str(t); }
  sip_uri& operator=(str&& t);
  sip_uri& operator=(const char* t) { return *this = str(t); }

  const str& get_scheme() const;
  const str& get_user() const;
  const str& get_pass() const;
  const str& get_host() const;
  const str& get_port() const;
  // Names match case-insensitively; the first match wins; missing gives "".
  str get_parameter(const str& name) const;
  bool has_parameter(const str& name) const;
  str get_header(const str& name) const;
  size_t num_parameters() const;
  const std::vector<header>& parameters() const;
  const std::vector<header>& headers() const;

  void set_scheme(const str& v);
  void set_user(const str& v);
  void set_pass(const str& v);
  void set_host(const str& v);
  void set_port(const str& v);
  // Replace the value of the first entry of that name (case-insensitive), else append.
  void set_parameter(const str& name, const str& value);
  void remove_parameter(const str& name);
  void set_header(const str& name, const str& value);
  void clear_headers();

  // The URI text: the stored text while unmodified, else rebuilt (and stored).
  const str& serialize() const;
  bool empty() const { return serialize().empty(); }
  // Everything empty, nothing to parse, not modified.
  void clear();

  bool is_modified() const { return modified_; }
  bool is_parsed() const { return !needs_parse_; }

  friend bool operator==(const sip_uri& a, const sip_uri& b);
  friend bool operator!=(const sip_uri& a, const sip_uri& b) { return !(a == b); }

 private:
  void parse() const;
  void ensure() const {
    if (needs_parse_) parse();
  }
  void touch() {
    ensure();
    modified_ = true;
  }

  mutable str text_;
  mutable bool needs_parse_;
  mutable bool modified_;
  mutable str scheme_;
  mutable str user_;
  mutable str password_;
  mutable str host_;
  mutable str port_;
  mutable std::vector<header> parameters_;
  mutable std::vector<header> headers_;
};
