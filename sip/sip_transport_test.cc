// The transaction layer on real loopback sockets (port 0): the default transport sends from
// the SIP UDP socket of the socket loop with the local address and port expanded into the
// Via, and an ICMP refusal read by the socket loop's datagram handler fails over to the next
// destination.
#include "sip/sip_transport.h"

#include <gtest/gtest.h>
#include <poll.h>

#include "frame/net.h"
#include "frame/options.h"
#include "sip/address_list.h"
#include "sip/send_packet.h"
#include "sip/sip_ports.h"
#include "sip/sip_udp_receive.h"
#include "sip/transaction.h"
#include "sip/transaction_test_fakes.h"

namespace {

// Reads one datagram, waiting at most a second for it (loopback delivers at once).
bool read_datagram(int fd, str& data, ip_port& source) {
  pollfd p{fd, POLLIN, 0};
  if (poll(&p, 1, 1000) != 1) return false;
  return udp_receive(fd, data, source);
}

TEST(SocketTransport, SendsFromTheSipSocketAndFailsOverOnRefusal) {
  transaction_env env;
  set_sip_transport(nullptr);  // the sockets of the socket loop
  const bool v4 = system_ipv4;
  system_ipv4 = true;

  const ip_port loopback(ip_address_parse("127.0.0.1"), 0);
  sip_udp_hooks hooks;
  fill_sip_udp_receive_hooks(hooks);
  install_transaction_layer(hooks);
  set_sip_udp_hooks(hooks);
  int sip_fd = default_sip_port_opener().open_udp(loopback);  // with IP_RECVERR
  int peer_fd = udp_open(loopback);
  int closed_fd = udp_open(loopback);
  ASSERT_GE(sip_fd, 0);
  ASSERT_GE(peer_fd, 0);
  ASSERT_GE(closed_fd, 0);
  const uint16_t sip_port = uint16_t(socket_local_port(sip_fd));
  const uint16_t peer_port = uint16_t(socket_local_port(peer_fd));
  const uint16_t closed_port = uint16_t(socket_local_port(closed_fd));
  close_socket(closed_fd);  // nothing listens there any more: the kernel refuses
  sip_sockets.clear();
  sip_sockets.push_back({sip_socket::udp, sip_fd, ip_port(loopback.address, sip_port)});

  sip_message m(m_options, from_to_spec("<sip:alice@example.org>;tag=a1"),
                from_to_spec("<sip:bob@example.com>"), "sock-1");
  m.request_uri = "sip:bob@example.com";
  m.destinations =
      str::sprintf("udp 127.0.0.1 %d\nudp 127.0.0.1 %d", int(closed_port), int(peer_port));
  ASSERT_NE(send_packet(m), 0);

  // The socket loop reads the refusal from the SIP socket and hands it on.
  str data;
  ip_port source;
  ASSERT_TRUE(read_datagram(sip_fd, data, source));
  EXPECT_TRUE(data.empty());
  EXPECT_FALSE(source.valid());  // the read does not tell whom: the error queue does
  last_udp_destination = ip_port();
  handle_sip_udp_datagram(0, data, source);

  ASSERT_TRUE(read_datagram(peer_fd, data, source));
  EXPECT_EQ(source.port, sip_port);
  sip_message received(data);
  EXPECT_EQ(received.method, "OPTIONS");
  ASSERT_EQ(received.via.size(), 1u);
  EXPECT_TRUE(received.via[0].starts_with(
      str::sprintf("SIP/2.0/UDP 127.0.0.1:%d;branch=z9hG4bK-", int(sip_port))));

  // The peer's answer arrives through the socket loop and reaches the layer above once.
  sip_message ok(200, "OK", received);
  udp_send(peer_fd, ok.serialize(source, transport_type::udp), ip_port(loopback.address, sip_port));
  ASSERT_TRUE(read_datagram(sip_fd, data, source));
  bw_add_source(loopback.address, 32, true);
  handle_sip_udp_datagram(0, data, source);
  ASSERT_EQ(env.user.backward.size(), 1u);
  EXPECT_EQ(env.user.backward[0].code, 200);

  set_sip_receive_hooks(nullptr);
  set_sip_local_info(nullptr);
  set_sip_udp_hooks(sip_udp_hooks());
  sip_udp_report_refusals = false;
  bw_clear();
  sip_sockets.clear();
  close_socket(sip_fd);
  close_socket(peer_fd);
  system_ipv4 = v4;
}

}  // namespace
