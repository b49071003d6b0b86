#include "sip/sip_udp_receive.h"

#include <algorithm>

#include "frame/net.h"
#include "sip/sip_message.h"

namespace {

str first_packet_of_datagram(const str& datagram) {
  str buffer = datagram;
  return get_first_packet(buffer, false);  // bytes after the first message are dropped
}

void receive_udp(int socket_index, const str& message, const ip_port& source) {
  process_pdu(sip_udp_port_name(socket_index), message, source, transport_type::udp);
}

}  // namespace

int64_t sip_udp_backlog() {
  int64_t total = 0;
  for (const sip_socket& s : sip_sockets) {
    if (s.kind == sip_socket::udp) total += std::max<int64_t>(0, socket_queued_bytes(s.fd));
  }
  return total;
}

str sip_udp_port_name(int socket_index) { return str::sprintf("udp%d", socket_index); }

void fill_sip_udp_receive_hooks(sip_udp_hooks& hooks) {
  hooks.get_first_packet = first_packet_of_datagram;
  hooks.process_pdu = receive_udp;
}
