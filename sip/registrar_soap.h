// The registration messages between the two sides, as SOAP-style XML documents:
//
//   srv -> ctrl (out_post):    GetRegisterPolicy, RegisterRequest, RRU, RegisterExpires
//   ctrl -> srv (pbxsrv_post): SetRegisterPolicy, RegisterResponse
//
// Each message is an envelope with one element named after the message whose children carry
// the fields as text. Answers name the Call-ID of the registration they belong to, so that the
// srv side finds its reg_in; RegisterResponse is matched to the queued request by its CSeq.
//
// Side-neutral: pure text building and parsing, no state.
#pragma once

#include <initializer_list>
#include <utility>
#include <vector>

#include "base/str.h"

// One received message: its name (without namespace prefix) and its fields in order.
struct registrar_soap {
  str name;
  std::vector<std::pair<str, str>> fields;

  // The first field of that name; empty when absent.
  str get(const char* field) const;
  bool has(const char* field) const;
};

// The envelope text of message name with the given fields (values escaped). Fields whose value
// is empty are written as empty elements.
str registrar_soap_message(const char* name,
                           const std::vector<std::pair<const char*, str>>& fields);

// Reads a message; false when text is not an envelope with one element in its body.
bool registrar_soap_parse(const str& text, registrar_soap& out);

// Moves the texts into one new buffer of their own, each becoming a window on it, so that
// texts kept for a long time cost one small buffer together instead of one each, and keep
// no received packet or message alive through a window on it. Empty texts stay empty.
void pack_texts(std::initializer_list<str*> texts);
void pack_texts(std::vector<str*>& texts);

// Message and field names.
extern const str c_get_register_policy;  // "GetRegisterPolicy"
extern const str c_set_register_policy;  // "SetRegisterPolicy"
extern const str c_register_request;     // "RegisterRequest"
extern const str c_register_response;    // "RegisterResponse"
extern const str c_rru;                  // "RRU"
extern const str c_register_expires;     // "RegisterExpires"
