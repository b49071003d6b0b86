// The messages between the PBX side's trunks table and the SIP side's trunk objects (the
// envelope and the writer and reader: frame/soap_message.h).
//
//   ctrl -> srv (pbxsrv_post): SetupTrunk, DeleteTrunk
//   srv -> ctrl (out_post):    TrunkStatus
//
// A trunk is named by its key: the record id of its trunks row in decimal. Lists inside a
// value are space-separated (domain names, DIDs, associated addresses); flags are "true" or
// "false"; numbers decimal, empty when not set.
//
// Side-neutral declarations: the PBX side may include this header.
#pragma once

#include <array>

#include "base/str.h"
#include "frame/soap_message.h"

namespace msg {

// Creates or updates the SIP side's trunk from its row and its domain, then starts it: with an
// account it registers at the provider, without one it only discovers its addresses.
//   name            the row's name (for the logs)
//   reg_display, account, registrar, auth_user, password
//                   the registration's display name, the user part registered (and matched
//                   on incoming requests), the registrar (host, optionally ":" port), the
//                   authentication user (reg_user, else the account) and password
//   expires         requested registration time in seconds (3600 when the row has none)
//   keep            the keep-alive interval in seconds (reg_keep), empty when not numeric
//   request_timeout seconds an outgoing INVITE on the trunk may go without final answer
//   outbound_proxy  a SIP URI, its parameters keepalive ("stun", "crlf") and interval
//   aadr            associated addresses: "address" or "address:port" items
//   domain_names    every name of the trunk's domain, the first being its main name
//   dids            the domain's numbers (aliases) as the trunk recognises them
//   country_code, area_code
//                   the domain's, the area code without its leading "0"
//   direction       the row's dir ("o": outbound only); disabled the row's dis
//   require         the Proxy-Require value; rfcrtp, analog, dtmf flags; use_uuid, uuid, icid
struct setup_trunk {
  str key, name, reg_display, account, registrar, auth_user, password, expires, keep,
      request_timeout, outbound_proxy, aadr, domain_names, dids, country_code, area_code, direction,
      disabled, require, rfcrtp, analog, dtmf, use_uuid, uuid, icid;
  static constexpr const char* soap_name = "SetupTrunk";
  static constexpr auto soap_fields() {
    using m = setup_trunk;
    using f = soap_field<m>;
    return std::array{f{"Key", &m::key},
                      f{"Name", &m::name},
                      f{"RegDisplay", &m::reg_display},
                      f{"Account", &m::account},
                      f{"Registrar", &m::registrar},
                      f{"AuthUser", &m::auth_user},
                      f{"Password", &m::password},
                      f{"Expires", &m::expires},
                      f{"Keep", &m::keep},
                      f{"RequestTimeout", &m::request_timeout},
                      f{"OutboundProxy", &m::outbound_proxy},
                      f{"Aadr", &m::aadr},
                      f{"DomainNames", &m::domain_names},
                      f{"DIDs", &m::dids},
                      f{"CountryCode", &m::country_code},
                      f{"AreaCode", &m::area_code},
                      f{"Direction", &m::direction},
                      f{"Disabled", &m::disabled},
                      f{"Require", &m::require},
                      f{"RfcRtp", &m::rfcrtp},
                      f{"Analog", &m::analog},
                      f{"DTMF", &m::dtmf},
                      f{"UseUUID", &m::use_uuid},
                      f{"UUID", &m::uuid},
                      f{"ICID", &m::icid}};
  }
  bool operator==(const setup_trunk&) const = default;
};

// The trunk's row was deleted: the SIP side stops registering and forgets the trunk.
struct delete_trunk {
  str key;
  static constexpr const char* soap_name = "DeleteTrunk";
  static constexpr auto soap_fields() {
    using m = delete_trunk;
    return std::array{soap_field<m>{"Key", &m::key}};
  }
  bool operator==(const delete_trunk&) const = default;
};

// The outcome of a registration at the provider: status is the response code and reason
// phrase separated by one space, text one of "Refresh interval N seconds", "No refresh
// interval", "Registration failed, retry after 60 seconds"; attempts, successes and failures
// count the registrations since the trunk was set up.
struct trunk_status {
  str key, status, text, attempts, successes, failures;
  static constexpr const char* soap_name = "TrunkStatus";
  static constexpr auto soap_fields() {
    using m = trunk_status;
    using f = soap_field<m>;
    return std::array{
        f{"Key", &m::key},           f{"Status", &m::status},       f{"Text", &m::text},
        f{"Attempts", &m::attempts}, f{"Successes", &m::successes}, f{"Failures", &m::failures}};
  }
  bool operator==(const trunk_status&) const = default;
};

}  // namespace msg
