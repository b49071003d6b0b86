// The SIP port bindings from the three port settings, opened through a recording opener; the
// transaction layer on real loopback sockets.
#include "sip/sip_ports.h"

#include <gtest/gtest.h>
#include <poll.h>

#include <string>
#include <vector>

#include "base/log.h"
#include "frame/net.h"
#include "frame/options.h"
#include "frame/settings.h"
#include "sip/address_list.h"
#include "sip/send_packet.h"
#include "sip/sip_test_print.h"
#include "sip/sip_transport.h"
#include "sip/sip_udp_receive.h"
#include "sip/transaction.h"
#include "sip/transaction_test_fakes.h"

namespace {

std::vector<std::string> readable(const std::vector<sip_port_binding>& bindings) {
  std::vector<std::string> out;
  for (const sip_port_binding& b : bindings) {
    const char* kind = b.kind == sip_socket::udp   ? "udp"
                       : b.kind == sip_socket::tcp ? "tcp"
                                                   : "tls";
    out.push_back(std::string(kind) + " " + std::string(b.local.readable().view()));
  }
  return out;
}

TEST(SipPorts, ListsOfPortsAndAddresses) {
  log_capture logs;
  EXPECT_EQ(
      readable(
          parse_sip_port_bindings("5060 192.0.2.1:5070", "[2001:db8::1]:5080", "0", true, true)),
      (std::vector<std::string>{"udp 0.0.0.0:5060", "udp [::]:5060", "udp 192.0.2.1:5070",
                                "tcp [2001:db8::1]:5080", "tls 0.0.0.0:5061", "tls [::]:5061"}));
  EXPECT_EQ(readable(parse_sip_port_bindings("70000", "", "abc:1", true, false)),
            (std::vector<std::string>{"udp 0.0.0.0:5060"}));
  EXPECT_EQ(
      log_capture::texts(true),
      (std::vector<std::string>{"2 SIP: Port number 0 is invalid, taking 5061 instead",
                                "2 SIP: UDP port number 70000 is invalid, taking 5060 instead"}));
}

struct recording_opener : sip_port_opener {
  std::vector<std::string> calls;
  int next_fd = 100;
  int fail_port = 0;
  int open(const char* kind, const ip_port& l) {
    calls.push_back(kind + (" " + std::string(l.readable().view())));
    return l.port == fail_port ? -1 : next_fd++;
  }
  int open_udp(const ip_port& l) override { return open("udp", l); }
  int open_tcp(const ip_port& l) override { return open("tcp", l); }
  void close(int fd) override { calls.push_back("close " + std::to_string(fd)); }
  void set_tos(int fd, int tos) override {
    calls.push_back("tos " + std::to_string(fd) + " " + std::to_string(tos));
  }
  void join_sip_multicast(int fd) override { calls.push_back("mcast " + std::to_string(fd)); }
  void pause_ms(int ms) override { calls.push_back("pause " + std::to_string(ms)); }
};

TEST(SipPorts, OpensOnlyWhenASettingChanged) {
  const bool v4 = system_ipv4, v6 = system_ipv6, check = check_ports;
  system_ipv4 = true;
  system_ipv6 = false;
  check_ports = false;
  log_capture logs;
  sip_sockets.clear();
  reset_sip_port_bindings();
  ctrl_write_setting(ctrl_settings::ip_sip_udp_port, "5060");
  ctrl_write_setting(ctrl_settings::ip_sip_tcp_port, "5062");
  ctrl_write_setting(ctrl_settings::ip_sip_tls_port, "5061");
  ctrl_write_setting(ctrl_settings::tos_sip, "cs5");
  ctrl_write_setting(ctrl_settings::sip_mcast_net, "true");
  recording_opener opener;
  opener.fail_port = 5061;
  EXPECT_TRUE(sip_set_port_bindings(opener));
  EXPECT_EQ(opener.calls,
            (std::vector<std::string>{"udp 0.0.0.0:5060", "tos 100 160", "mcast 100",
                                      "tcp 0.0.0.0:5062", "tos 101 160", "tcp 0.0.0.0:5061"}));
  EXPECT_EQ(sip_sockets.size(), 2u);
  EXPECT_TRUE(log_capture::contains("FATAL: Could not open TCP port 5061 for SIP", 0));
  opener.calls.clear();
  EXPECT_FALSE(sip_set_port_bindings(opener));
  EXPECT_TRUE(opener.calls.empty());
  ctrl_write_setting(ctrl_settings::ip_sip_tls_port, "5063");
  ctrl_write_setting(ctrl_settings::sip_mcast_net, "false");
  EXPECT_TRUE(sip_set_port_bindings(opener));
  EXPECT_EQ(opener.calls,
            (std::vector<std::string>{"close 100", "close 101", "pause 2", "udp 0.0.0.0:5060",
                                      "tos 102 160", "tcp 0.0.0.0:5062", "tos 103 160",
                                      "tcp 0.0.0.0:5063", "tos 104 160"}));
  EXPECT_EQ(sip_sockets.size(), 3u);
  EXPECT_EQ(sip_sockets[2].kind, sip_socket::tls);
  sip_sockets.clear();
  reset_sip_port_bindings();
  system_ipv4 = v4;
  system_ipv6 = v6;
  check_ports = check;
}

TEST(SipPortLocalInfo, AddressAndPortOfTheServingSocket) {
  sip_sockets.clear();
  sip_sockets.push_back({sip_socket::udp, 10, ip_port(ip_address_parse("192.0.2.1"), 5070)});
  sip_sockets.push_back({sip_socket::udp, 11, ip_port(any_address(true), 5072)});
  sip_sockets.push_back({sip_socket::tls, 12, ip_port(ip_address_parse("192.0.2.1"), 5071)});
  sip_port_local_info info;
  const ip_port v4(ip_address_parse("198.51.100.1"), 5060);
  const ip_port v6(ip_address_parse("::1"), 5060);
  EXPECT_EQ(info.local_sip_address(v4, transport_type::udp), "192.0.2.1");
  EXPECT_EQ(info.local_sip_port(v4, transport_type::udp), 5070);
  EXPECT_EQ(info.local_sip_port(v6, transport_type::udp), 5072);
  EXPECT_EQ(info.local_sip_port(v4, transport_type::tls), 5071);
  EXPECT_EQ(info.local_sip_port(v4, transport_type::tcp), 5060);  // no TCP socket
  // Bound to the any-address: the routed source address (loopback towards loopback).
  EXPECT_EQ(info.local_sip_address(v6, transport_type::udp), "::1");
  ctrl_write_setting(ctrl_settings::ip_http_port, "8080");
  sip_sockets[0].local = ip_port(any_address(false), 5070);
  info.clear_routes();
  EXPECT_EQ(info.web_address(ip_port(ip_address_parse("127.0.0.1"), 5060), false),
            "http://127.0.0.1:8080");
  sip_sockets.clear();
}

// ---- The transaction layer on real loopback sockets ---------------------------------------------

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
  ASSERT_TRUE(sip_fd >= 0 && peer_fd >= 0 && closed_fd >= 0);
  const uint16_t sip_port = uint16_t(socket_local_port(sip_fd));
  const uint16_t peer_port = uint16_t(socket_local_port(peer_fd));
  const uint16_t closed_port = uint16_t(socket_local_port(closed_fd));
  close_socket(closed_fd);  // nothing listens there any more: the kernel refuses
  sip_sockets.clear();
  sip_sockets.push_back({sip_socket::udp, sip_fd, ip_port(loopback.address, sip_port)});

  sip_message m = test_request(m_options, "sip:bob@example.com");
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
