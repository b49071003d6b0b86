// Address blocking in the running daemon: unauthenticated requests count against their source
// address; the fourth within a second blocks it (its requests are dropped without an answer,
// the block is logged and stored as an accesslist row), while other addresses are served.
// Which requests count is proved in sip/transaction_test.cc, that white entries never count in
// sip/address_list_test.cc (and every e2e test whose phones send more than the blocking allows
// relies on a white row of its own).
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "tests/e2e/harness.h"

namespace {

// A request for extension 100 of the default configuration without credentials; each with
// its own branch and CSeq, so that none is taken for a retransmission.
std::string request(const std::string& method, const e2e::udp_peer& from, int n,
                    const std::string& protocol = "UDP") {
  const std::string via = from.ip() + ":" + std::to_string(from.port()), cseq = std::to_string(n);
  return method + " sip:localhost SIP/2.0\r\nVia: SIP/2.0/" + protocol + " " + via +
         ";branch=z9hG4bK-block-" + from.ip() + "-" + cseq +
         ";rport\r\nFrom: <sip:100@localhost>;tag=blk" + cseq +
         "\r\nTo: <sip:100@localhost>\r\nCall-ID: block-" + from.ip() + "\r\nCSeq: " + cseq + " " +
         method + "\r\nContact: <sip:100@" + via +
         ">\r\nExpires: 60\r\nMax-Forwards: 70\r\nContent-Length: 0\r\n\r\n";
}

// The status line of the next datagram within timeout_ms ("" when none came).
std::string next_status(e2e::udp_peer& peer, int timeout_ms) {
  std::string bytes;
  if (!peer.receive(bytes, timeout_ms)) return "";
  return bytes.substr(0, bytes.find("\r\n"));
}

class BlockingE2E : public ::testing::Test {
 protected:
  // Starts the default configuration, with a black access-list row for address if given.
  void start(const std::string& address = "") {
    e2e::telmond_options o;
    o.use_default_config();
    if (!address.empty()) o.allow(address, 32, false);
    t = std::make_unique<e2e::telmond_process>(o);
    ASSERT_TRUE(t->start_with_accounts()) << t->error();
  }
  bool send(e2e::udp_peer& peer, const std::string& method, int n) {
    return peer.send_to("127.0.0.1", t->ports().sip_udp, request(method, peer, n));
  }
  std::unique_ptr<e2e::telmond_process> t;
};

TEST_F(BlockingE2E, FourthUnauthenticatedRequestWithinASecondBlocksTheAddress) {
  start();
  e2e::udp_peer attacker("127.0.0.5");
  ASSERT_TRUE(attacker.ok());
  for (int n = 1; n <= 4; n++) ASSERT_TRUE(send(attacker, "REGISTER", n));
  // The fourth request is the one that blocks; it was let through before the block, so all
  // four are challenged.
  for (int n = 1; n <= 4; n++)
    EXPECT_EQ(next_status(attacker, 3000), "SIP/2.0 401 Authentication Required") << n;
  ASSERT_TRUE(t->wait_for_log("Address 127.0.0.5 has been blacklisted", 5000));
  ASSERT_TRUE(t->wait_for_file("accesslist/1.xml", "<adr>127.0.0.5</adr>", 5000));
  std::string row = t->read_file("accesslist/1.xml");
  EXPECT_NE(row.find("<mask>32</mask>"), std::string::npos) << row;
  EXPECT_NE(row.find("<type>false</type>"), std::string::npos) << row;
  EXPECT_NE(row.find("<reason>sip</reason>"), std::string::npos) << row;
  EXPECT_NE(row.find("<expires>"), std::string::npos) << row;

  // From now on its requests (of any method) go unanswered.
  ASSERT_TRUE(send(attacker, "REGISTER", 5));
  ASSERT_TRUE(send(attacker, "OPTIONS", 6));
  EXPECT_EQ(next_status(attacker, 1500), "");
  // Over TCP, too: the connection is closed at the accept, before it could carry anything.
  // (The kernel completes the handshake before the daemon sees the connection, so the connect
  // itself succeeds.)
  e2e::tcp_client stream;
  ASSERT_TRUE(stream.connect("127.0.0.1", t->ports().sip_tcp, "127.0.0.5"));
  EXPECT_FALSE(stream.receive(3000));
  EXPECT_TRUE(stream.peer_closed());
  EXPECT_EQ(stream.received(), "");
  EXPECT_TRUE(t->wait_for_log("Refused SIP connection from 127.0.0.5", 3000));

  // Another address is still served.
  e2e::udp_peer other("127.0.0.6");
  ASSERT_TRUE(send(other, "REGISTER", 1));
  EXPECT_EQ(next_status(other, 3000), "SIP/2.0 401 Authentication Required");
  e2e::tcp_client other_stream;
  ASSERT_TRUE(other_stream.connect("127.0.0.1", t->ports().sip_tcp, "127.0.0.6"));
  ASSERT_TRUE(other_stream.send(request("REGISTER", other, 2, "TCP")));
  EXPECT_TRUE(other_stream.receive_until("SIP/2.0 401", 3000)) << other_stream.received();
  EXPECT_FALSE(t->wait_for_log("Address 127.0.0.6 has been blacklisted", 500));
}

// Accepts on the SIP TCP port are paced (one per 500 ms with the default sip_rate), but a
// connection refused at the accept does not use the pacing: while a blocked address opens 50
// connections, another address's REGISTER over TCP is still answered within a second (it used
// to wait half a second per blocked attempt).
TEST_F(BlockingE2E, BlockedConnectionsDoNotDelayOthers) {
  start("127.0.0.11");
  std::vector<std::unique_ptr<e2e::tcp_client>> blocked(50);
  for (auto& c : blocked) {
    c = std::make_unique<e2e::tcp_client>();
    ASSERT_TRUE(c->connect("127.0.0.1", t->ports().sip_tcp, "127.0.0.11"));
  }
  e2e::udp_peer other("127.0.0.12");  // gives the Via its address
  e2e::tcp_client stream;
  ASSERT_TRUE(stream.connect("127.0.0.1", t->ports().sip_tcp, "127.0.0.12"));
  ASSERT_TRUE(stream.send(request("REGISTER", other, 1, "TCP")));
  EXPECT_TRUE(stream.receive_until("SIP/2.0 401", 1000)) << stream.received();
  EXPECT_TRUE(t->wait_for_log("Refused SIP connection from 127.0.0.11", 1000));
}

}  // namespace
