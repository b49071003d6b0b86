// The messages the SIP side exchanges with the PBX side about registrations, subscriptions
// and blocked addresses (the envelope and the writer and reader: frame/soap_message.h).
//
//   srv -> ctrl (out_post):    GetRegisterPolicy, RegisterRequest, RRU, RegisterExpires,
//                              BlackListAdr
//   ctrl -> srv (pbxsrv_post): SetRegisterPolicy, RegisterResponse, SubscriptionNotify
//
// Answers name the Call-ID of the registration they belong to, so that the srv side finds its
// reg_in; RegisterResponse is matched to the queued request by its CSeq. The element names
// are the queue's own, spellings included (RRU names its Call-ID "Call-ID", the others
// "CallID").
//
// Side-neutral declarations: the PBX side may include this header.
#pragma once

#include <array>

#include "base/str.h"
#include "frame/soap_message.h"

namespace msg {

// A REGISTER or SUBSCRIBE of a Call-ID the PBX has not yet judged: may it be served?
struct get_register_policy {
  str call_id, adr, to, from;
  static constexpr const char* soap_name = "GetRegisterPolicy";
  static constexpr auto soap_fields() {
    using m = get_register_policy;
    return std::array{soap_field<m>{"CallID", &m::call_id}, soap_field<m>{"Adr", &m::adr},
                      soap_field<m>{"To", &m::to}, soap_field<m>{"From", &m::from}};
  }
  bool operator==(const get_register_policy&) const = default;
};

// The answer: whether the account exists, what it may do, its credentials, and the refusal
// that the addresses alone decide (Code and Reason; empty code when there is none).
struct set_register_policy {
  str call_id, found, permitted, realm, user, password, code, reason;
  static constexpr const char* soap_name = "SetRegisterPolicy";
  static constexpr auto soap_fields() {
    using m = set_register_policy;
    return std::array{soap_field<m>{"CallID", &m::call_id}, soap_field<m>{"Found", &m::found},
                      soap_field<m>{"Permitted", &m::permitted},
                      soap_field<m>{"Realm", &m::realm},       soap_field<m>{"User", &m::user},
                      soap_field<m>{"Password", &m::password}, soap_field<m>{"Code", &m::code},
                      soap_field<m>{"Reason", &m::reason}};
  }
  bool operator==(const set_register_policy&) const = default;
};

// An authenticated REGISTER or SUBSCRIBE that changes a binding.
struct register_request {
  str adr, from, to, call_id, cseq, expires, contact, event, event_parameters, instance, www,
      user_agent, supported, proxy_require, body;
  static constexpr const char* soap_name = "RegisterRequest";
  static constexpr auto soap_fields() {
    using m = register_request;
    return std::array{soap_field<m>{"Adr", &m::adr},
                      soap_field<m>{"From", &m::from},
                      soap_field<m>{"To", &m::to},
                      soap_field<m>{"CallID", &m::call_id},
                      soap_field<m>{"CSeq", &m::cseq},
                      soap_field<m>{"Expires", &m::expires},
                      soap_field<m>{"Contact", &m::contact},
                      soap_field<m>{"Event", &m::event},
                      soap_field<m>{"EventParameters", &m::event_parameters},
                      soap_field<m>{"Instance", &m::instance},
                      soap_field<m>{"WWW", &m::www},
                      soap_field<m>{"UserAgent", &m::user_agent},
                      soap_field<m>{"Supported", &m::supported},
                      soap_field<m>{"ProxyRequire", &m::proxy_require},
                      soap_field<m>{"Body", &m::body}};
  }
  bool operator==(const register_request&) const = default;
};

// The PBX's decision on a RegisterRequest.
struct register_response {
  str call_id, cseq, code, reason, expires;
  static constexpr const char* soap_name = "RegisterResponse";
  static constexpr auto soap_fields() {
    using m = register_response;
    return std::array{soap_field<m>{"CallID", &m::call_id}, soap_field<m>{"CSeq", &m::cseq},
                      soap_field<m>{"Code", &m::code}, soap_field<m>{"Reason", &m::reason},
                      soap_field<m>{"Expires", &m::expires}};
  }
  bool operator==(const register_response&) const = default;
};

// A refresh that changes nothing but the time (and, for as-feature-event, may carry a body).
struct rru {
  str call_id, cseq, expires, body;
  static constexpr const char* soap_name = "RRU";
  static constexpr auto soap_fields() {
    using m = rru;
    return std::array{soap_field<m>{"Call-ID", &m::call_id}, soap_field<m>{"CSeq", &m::cseq},
                      soap_field<m>{"Expires", &m::expires},
                      soap_field<m>{"Body", &m::body, true}};
  }
  bool operator==(const rru&) const = default;
};

// A binding that ended on the SIP side (expired, removed, its connection closed).
struct register_expires {
  str call_id;
  static constexpr const char* soap_name = "RegisterExpires";
  static constexpr auto soap_fields() {
    using m = register_expires;
    return std::array{soap_field<m>{"CallID", &m::call_id}};
  }
  bool operator==(const register_expires&) const = default;
};

// A NOTIFY for a subscription: the SIP side sends it in the subscription's dialog.
struct subscription_notify {
  str call_id, event, content_type, body;
  static constexpr const char* soap_name = "SubscriptionNotify";
  static constexpr auto soap_fields() {
    using m = subscription_notify;
    return std::array{soap_field<m>{"CallID", &m::call_id}, soap_field<m>{"Event", &m::event},
                      soap_field<m>{"ContentType", &m::content_type},
                      soap_field<m>{"Body", &m::body}};
  }
  bool operator==(const subscription_notify&) const = default;
};

// An address was blocked (state "true") or cleared, with the reason.
struct black_list_adr {
  str adr, state, reason;
  static constexpr const char* soap_name = "BlackListAdr";
  static constexpr auto soap_fields() {
    using m = black_list_adr;
    return std::array{soap_field<m>{"Adr", &m::adr}, soap_field<m>{"State", &m::state},
                      soap_field<m>{"Reason", &m::reason}};
  }
  bool operator==(const black_list_adr&) const = default;
};

}  // namespace msg
