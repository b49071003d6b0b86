#include "sip/sip_environment.h"

#include "frame/settings.h"

str sip_settings_local_info::rtp_binding_ipv4() {
  return ctrl_read_registry(ctrl_settings::port_bind4);
}

str sip_settings_local_info::rtp_binding_ipv6() {
  return ctrl_read_registry(ctrl_settings::port_bind6);
}

bool sip_settings_local_info::short_header() {
  return ctrl_read_registry(ctrl_settings::short_header).icmp("true");
}

str sip_settings_local_info::ip_replacement_list() {
  return ctrl_read_registry(ctrl_settings::ip_replacement_list);
}
