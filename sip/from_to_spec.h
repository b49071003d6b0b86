// from_to_spec: a name-address header value as used by From, To, Contact, Route, Record-Route
// and Path: optional display name, the URI, a tag and further header parameters.
//
// Like sip_uri it keeps the text it was built from, parses on first access, and gives that
// text back from content() until a setter was called. sip_message always writes these headers
// through angle_content(), so they leave in name-addr form.
//
// Also the free helpers of the SIP layer for quoting and for splitting a name-address.
//
// Side-neutral value type; not thread-safe (const getters fill the parse cache).
#pragma once

#include <vector>

#include "base/str.h"
#include "sip/sip_uri.h"
#include "sip/text_writer.h"

class from_to_spec {
 public:
  from_to_spec() : name_addr_(true), quoted_(true), needs_parse_(false), modified_(false) {}
  from_to_spec(const char* t) : from_to_spec(str(t)) {}
  from_to_spec(const str& t)
      : text_(t), name_addr_(false), quoted_(true), needs_parse_(true), modified_(false) {}
  from_to_spec(str&& t)
      : text_(std::move(t)),
        name_addr_(false),
        quoted_(true),
        needs_parse_(true),
        modified_(false) {}
  explicit from_to_spec(const sip_uri& uri)
      : addr_spec_(uri), name_addr_(false), quoted_(true), needs_parse_(false), modified_(true) {}
  from_to_spec& operator=(const str& t) { return *this = str(t); }
  from_to_spec& operator=(str&& t);
  from_to_spec& operator=(const char* t) { return *this = str(t); }

  const str& display_name() const;
  const sip_uri& addr_spec() const;
  const str& tag() const;
  // Value of the first other parameter with that name (case-insensitive), else "".
  str extract_parameter(const str& name) const;
  const std::vector<header>& parameters() const;
  bool is_name_addr() const;
  bool is_quoted() const;

  void set_display_name(const str& v);
  void set_addr_spec(const sip_uri& v);
  void set_tag(const str& v);
  void remove_tag() { set_tag(str()); }
  // "tag" sets the tag; any other name replaces the first parameter of that name or appends.
  void set_parm(const str& name, const str& value);
  // "tag" sets the tag; others are appended.
  void add_parm(const str& name, const str& value);
  void clear_other_parameters();

  // The value as text: the text it was built from unless modified, else rebuilt.
  const str& content() const;
  // The value in name-addr form, always with angle brackets.
  str angle_content() const;
  void write_angle_content(text_writer& w) const;
  // Other parameters as name=value separated by single spaces (for display).
  str get_parameters_as_string() const;

  bool empty() const { return addr_spec().empty(); }
  void clear();
  bool is_modified() const { return modified_; }

 private:
  void parse() const;
  void write_parameters(text_writer& w) const;
  void ensure() const {
    if (needs_parse_) parse();
  }
  void touch() {
    ensure();
    modified_ = true;
  }
  void add_parm_raw(str&& name, str&& value) const;

  mutable str text_;
  mutable str display_name_;
  mutable sip_uri addr_spec_;
  mutable str tag_;
  mutable std::vector<header> parameters_;
  mutable bool name_addr_;
  mutable bool quoted_;
  mutable bool needs_parse_;
  mutable bool modified_;
};

// Splits a name-address. display: the display name (quotes removed, backslash escapes
// resolved); quoted: it was written in double quotes; uri: the URI text; params: the header
// parameters after the URI (without the leading ";"). With uri_only a value without "<" is
// all URI. Returns true when a quoted display name or "<" was seen (name-addr form).
bool parse_contact(const str& text, str& display, bool& quoted, str& uri, str& params,
                   bool uri_only);
// The display name in double quotes when quoted is set or it holds a quote or backslash
// (those then escaped with a backslash); otherwise bare.
str quoted_display_name(const str& name, bool quoted);
// Every byte is a token character (an empty text counts as a token).
bool is_token(const str& text);
// The text in double quotes, with a backslash before each control character, DEL, backslash
// and double quote.
str quoted_string(const str& text);
// The text in double quotes, with a backslash before each backslash and double quote.
str quote(const str& text);
// Removes surrounding double quotes (when both are there) and resolves backslash escapes.
str unquote(const str& text);
