// The messages between the two sides: small SOAP-style XML documents on the control queue
// (srv -> ctrl, out_post) and the server queue (ctrl -> srv, pbxsrv_post).
//
//   <?xml version="1.0" encoding="utf-8"?> CR LF
//   <env:Envelope xmlns:env="http://schemas.xmlsoap.org/soap/envelope/" xmlns:t="urn:telmond">
//   <env:Body><t:NAME><Field>value</Field>...</t:NAME></env:Body></env:Envelope> CR LF
//
// (one line on the queue). Every message is declared once, as a struct of text fields with
// one table that names the element of each field; the writer and the reader are derived from
// that table, so a field name cannot differ between the side that writes and the side that
// reads:
//
//   struct register_expires {
//     str call_id;
//     static constexpr const char* soap_name = "RegisterExpires";
//     static constexpr auto soap_fields() {
//       using m = register_expires;
//       return std::array{soap_field<m>{"CallID", &m::call_id}};
//     }
//     bool operator==(const register_expires&) const = default;
//   };
//   post(soap_write(register_expires{call_id}));
//   ... soap_envelope e; soap_parse(text, e); register_expires m; if (soap_read(e, m)) ...
//
// Values are texts, as everywhere in the PBX's data: numbers in decimal, flags "true"/"false".
// A field is written even when empty (an empty element), unless its table entry marks it
// optional; then it is written only when it has a value. Reading a message whose required
// field is absent fails with a log line: a message that lost a field is a fault to see, not
// a set of empty values to act on.
//
// Side-neutral: pure text building and parsing, no state.
#pragma once

#include <array>
#include <concepts>
#include <utility>
#include <vector>

#include "base/str.h"

template <class M>
struct soap_field {
  const char* name;  // the element name on the queue
  str M::*member;
  bool optional = false;  // written only when not empty; reads as empty when absent
};

// A message type: soap_name and the field table.
template <class M>
concept soap_message = requires {
  { M::soap_name } -> std::convertible_to<const char*>;
  M::soap_fields();
};

// A message as received: its name (without namespace prefix) and its fields in order.
struct soap_envelope {
  str name;
  std::vector<std::pair<str, str>> fields;

  // The first field of that name; nullptr when absent.
  const str* find(const char* field) const;
};

// Reads an envelope; false when text is not an envelope with one element in its body.
bool soap_parse(const str& text, soap_envelope& out);

// The envelope text of message name with the given fields (values escaped) in order.
str soap_envelope_text(const char* name, const std::vector<std::pair<const char*, str>>& fields);

// Logs a message that cannot be read: "Message %s without %s" (group SOAP, level 2).
void soap_log_missing(const char* message, const char* field);

template <soap_message M>
str soap_write(const M& m) {
  std::vector<std::pair<const char*, str>> fields;
  for (const soap_field<M>& f : M::soap_fields()) {
    if (!f.optional || !(m.*f.member).empty()) fields.emplace_back(f.name, m.*f.member);
  }
  return soap_envelope_text(M::soap_name, fields);
}

// True when the envelope is a message M; out then holds its fields. False for another
// message, and for an M that lacks a required field (logged).
template <soap_message M>
bool soap_read(const soap_envelope& e, M& out) {
  if (e.name != M::soap_name) return false;
  out = M();
  for (const soap_field<M>& f : M::soap_fields()) {
    if (const str* v = e.find(f.name)) {
      out.*f.member = *v;
    } else if (!f.optional) {
      soap_log_missing(M::soap_name, f.name);
      return false;
    }
  }
  return true;
}

// Parses text and reads it as M (both steps above).
template <soap_message M>
bool soap_read(const str& text, M& out) {
  soap_envelope e;
  return soap_parse(text, e) && soap_read(e, out);
}
