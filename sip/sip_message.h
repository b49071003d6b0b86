// sip_message: the one representation of a SIP request or response.
//
// Every datagram or stream chunk that arrives is framed (get_first_packet) and parsed into a
// sip_message (deassemble); every component builds its outgoing requests and responses in one;
// the transport layer turns it back into text with serialize(destination, transport) when the
// destination and the local interface are known, expanding the "{x-pre-...}" placeholders.
//
// Parsing never rejects input: missing parts stay empty or zero. Header values are windows on
// the received text (no copies); URIs and name-addresses are parsed only when read.
//
// srv side: plain values without locking, used under srv_run_mutex.
#pragma once

#include <cstdint>
#include <vector>

#include "base/ip_port.h"
#include "base/str.h"
#include "media/sdp.h"
#include "sip/from_to_spec.h"
#include "sip/sip_uri.h"
#include "sip/transport_type.h"

// Method names (compared exactly).
extern const str m_invite, m_ack, m_cancel, m_bye, m_prack, m_update, m_refer, m_info, m_message,
    m_publish, m_subscribe, m_notify, m_register, m_options, m_discover, m_log, m_ping, m_service;
extern const str c_sip_20;  // "SIP/2.0"

class sip_message {
 public:
  bool is_request = true;
  str raw;
  ip_port peer;
  transport_type transport;
  str port_name;
  str received;
  str method;
  sip_uri request_uri;
  str version;
  int code = 0;
  str reason;
  from_to_spec from;
  from_to_spec to;
  str call_id;
  uint32_t cseq = 0;
  str cseq_method;
  str expires;
  int max_forwards = 70;
  // Transaction annotations (owned by the transaction layer).
  bool same_branch_as_invite = false;
  int route_by_uri = 0;
  str outbound_proxy;
  str destinations;
  int secure_only = 0;
  int transaction_timeout = 0;
  int call_port_index = -1;
  str branch_param;
  // The request carries credentials that answer a challenge: a challenge to it is
  // not answered again. Set on the copy answer_challenge makes; it travels with the message
  // whatever CSeq and branch the sending layer gives it.
  bool challenge_answered = false;
  std::vector<str> via;
  std::vector<from_to_spec> route;
  std::vector<from_to_spec> record_route;
  std::vector<from_to_spec> path;
  std::vector<from_to_spec> contact;
  std::vector<header> other_headers;
  str content_type;
  std::vector<sdp> sdps;
  std::vector<str> bodies;

  // An empty request without method.
  sip_message() = default;
  // Stores text as raw and parses it.
  explicit sip_message(const str& text);
  sip_message& operator=(const str& text);
  // A new request. cseq_method defaults to the method; CSeq 0, Max-Forwards 70.
  sip_message(const str& method, const from_to_spec& from, const from_to_spec& to,
              const str& call_id, const str& cseq_method = str());
  // A response to request: From, To, Call-ID, CSeq, Via, Record-Route, Path, port_name and
  // call_port_index copied; Max-Forwards 0; no Contact, Route, other headers or body.
  sip_message(int code, const str& reason, const sip_message& request);

  // Empties every field (Max-Forwards is kept).
  void clear();
  // Parses raw into the fields.
  void deassemble();

  // One "name: value" line, split at the first ":" and stripped.
  void store_header(const str& line);
  // The header dispatch: typed headers into their fields, others to the front of
  // other_headers.
  void store_header(const str& name, const str& value);
  // Each takes a header value that may hold several comma-separated entries.
  void add_via(const str& value);
  void add_route(const str& value);
  void add_record_route(const str& value);
  void add_path(const str& value);
  void add_contact(const str& value);

  // Text of a typed or other header ("" for Content-Length, Contact, Route, Record-Route and
  // Via: use the lists).
  str get_header(const str& name) const;

  // Other headers, matched by a long and a compact name (either may be empty), ignoring case.
  str get_other_header(const str& long_name, const str& short_name) const;
  std::vector<str> get_other_headers(const str& long_name, const str& short_name,
                                     bool split = false, char separator = ',') const;
  std::vector<header> get_complete_headers(const str& long_name, const str& short_name) const;
  void add_other_header(const str& long_name, const str& short_name, const str& value);
  void add_list_element(const str& name, const std::vector<str>& values);
  void set_other_header(const str& long_name, const str& short_name, const str& value);
  void set_other_headers(const str& long_name, const str& short_name,
                         const std::vector<str>& values);
  void remove_other_header(const str& long_name, const str& short_name);

  // The wire text for sending to destination over transport (CR LF line ends, fixed header
  // order, placeholders expanded, Content-Length always present).
  str serialize(const ip_port& destination, transport_type transport) const;

  // The address as it is to be written into messages (the ip_replacement_list table).
  static str replace_address(const str& address);

  // Repetition test used to drop retransmissions.
  bool operator==(const sip_message& other) const;
  bool operator!=(const sip_message& other) const { return !(*this == other); }

 private:
  void store_range(const str& base, size_t ns, size_t ne, size_t vs, size_t ve, bool at_front);
  void store_typed(int kind, str&& value);
  void store_body(const str& body);
};

// Framing: the first complete message of buffer, or empty when none is complete yet. Leading
// white space and NUL bytes are skipped. With remove set, the skipped bytes and the message are
// cut from buffer (bytes after it stay there; for UDP the caller drops them).
str get_first_packet(str& buffer, bool remove);

// The Content-Length value of a SIP header block (long or compact name, case-insensitive);
// 0 when missing. Saturates far above any size a message may have. Both the datagram framing
// above and the stream framer of the connections use it.
uint64_t framing_content_length(const char* block, size_t n);

// Writes rport/received into the top Via of a request received from source.
void add_via_received(sip_message& message, const ip_port& source);

// Expands every "{x-pre-...}" placeholder of text for destination and transport.
str expand_placeholders(const str& text, const ip_port& destination, transport_type transport);

// Forgets the replacement table so that it is read again on next use (tests, settings change).
void reset_ip_replacement_table();

// The value of parameter name (case-insensitive) of a Via entry, "" when absent.
str get_via_parameter(const str& via, const str& name);

// The receive entry: one framed message from source on local port port_name.
void process_pdu(const str& port_name, const str& packet, const ip_port& source,
                 transport_type transport);
