// The seams between the SIP message model and the layers around it.
//
// sip_local_info: what serialisation needs to know about this host when it writes a message
// for one destination (placeholder expansion and header form). The transport layer implements
// it from its SIP port bindings and the settings; tests install fakes.
//
// sip_receive_hooks: what process_pdu hands a received message to (address policy, call-leg
// lookup, trace, repetition test, sending, and the transaction layer). Implemented by the
// transaction layer.
//
// srv side: both are called under srv_run_mutex only.
#pragma once

#include <cstdint>

#include "base/ip_port.h"
#include "base/str.h"
#include "sip/transport_type.h"

class sip_message;

class sip_local_info {
 public:
  virtual ~sip_local_info() = default;
  // The local SIP address used towards destination over transport: readable, IPv6 without
  // brackets. The replacement table is applied by the caller.
  virtual str local_sip_address(const ip_port& destination, transport_type transport) = 0;
  // The local SIP port used towards destination over transport.
  virtual uint16_t local_sip_port(const ip_port& destination, transport_type transport) = 0;
  // The configured RTP bindings (settings port_bind4 and port_bind6); empty when unset.
  virtual str rtp_binding_ipv4() = 0;
  virtual str rtp_binding_ipv6() = 0;
  // The local web address for destination (e.g. "http://192.0.2.1:8080"), plain or HTTPS.
  virtual str web_address(const ip_port& destination, bool https) = 0;
  // Setting short_header is "true": write the compact header names.
  virtual bool short_header() = 0;
  // Setting ip_replacement_list (read once, on first use of the replacement table).
  virtual str ip_replacement_list() = 0;
};

// The settings half of sip_local_info, read from the global settings: short_header,
// ip_replacement_list, port_bind4 and port_bind6. The transport layer derives from it and
// adds the local addresses of its SIP port bindings.
class sip_settings_local_info : public sip_local_info {
 public:
  str rtp_binding_ipv4() override;
  str rtp_binding_ipv6() override;
  bool short_header() override;
  str ip_replacement_list() override;
};

// The installed instance (nullptr: none; placeholders then expand to empty text, long header
// names are written and the replacement table is empty). Not owned.
void set_sip_local_info(sip_local_info* info);
sip_local_info* get_sip_local_info();

class sip_receive_hooks {
 public:
  virtual ~sip_receive_hooks() = default;
  // The address black/white list lets traffic from source through (bw_valid_source).
  virtual bool valid_source(const ip_port& source) = 0;
  // A request other than SERVICE, OPTIONS and PING came from source (address-based access
  // control counts it).
  virtual void report_request(const ip_port& source) = 0;
  // One more message received (the sip_receive counter).
  virtual void count_received() = 0;
  // The call leg of that dialog, or -1.
  virtual int find_call_port(const str& call_id, const str& local_tag, const str& remote_tag) = 0;
  // Adds the message to the trace of call leg index (may be -1), marked direction ("Rx").
  virtual void trace(int call_port_index, const sip_message& message, const char* direction,
                     transport_type transport, const ip_port& source) = 0;
  // True when the transaction layer recognises the message as a repetition it dealt with.
  virtual bool message_repetition(sip_message& message, transport_type transport) = 0;
  // Sends raw text on the named local port or connection.
  virtual void send_on_interface(const str& port_name, const ip_port& address, const str& text,
                                 transport_type transport) = 0;
  // New requests and responses, upwards.
  virtual void travel_forward(sip_message& request, const str& raw) = 0;
  virtual void travel_backward(sip_message& response) = 0;
};

// The installed instance (nullptr: process_pdu parses and then drops). Not owned.
void set_sip_receive_hooks(sip_receive_hooks* hooks);
sip_receive_hooks* get_sip_receive_hooks();
