// The RFC 4475 torture messages sent to the running daemon over UDP and TCP: none of them
// disturbs it, the ones that frame to a message reach the SIP layer, and the two that do not
// (baddn has no end of header block, clerr announces more body than it carries) are logged as
// illegal datagrams.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>

#include "tests/e2e/harness.h"

namespace {

// Writes everything on one TCP connection from source_ip, then closes it.
bool send_tcp(const std::string& source_ip, int port, const std::string& bytes) {
  e2e::tcp_client c;
  return c.connect("127.0.0.1", port, source_ip) && c.send(bytes);
}

TEST(SipCorpusE2E, TortureMessagesDoNotDisturbTheDaemon) {
  e2e::telmond_process t;
  ASSERT_TRUE(t.start()) << t.error();
  // The corpus's messages by name (its .dat files).
  std::map<std::string, std::string> corpus;
  for (const auto& e : std::filesystem::directory_iterator(std::string(TELMOND_SOURCE_DIR) +
                                                           "/tests/testdata/rfc4475/"))
    if (e.path().extension() == ".dat") corpus[e.path().stem()] = e2e::slurp(e.path());
  ASSERT_EQ(corpus.size(), 49u);

  // Those that frame to nothing come from an address of their own.
  e2e::udp_peer framed("127.0.0.42"), unframed("127.0.0.43");
  std::string stream;
  for (const auto& [name, bytes] : corpus) {
    ASSERT_FALSE(bytes.empty()) << name;
    e2e::udp_peer& peer = name == "baddn" || name == "clerr" ? unframed : framed;
    EXPECT_TRUE(peer.send_to("127.0.0.1", t.ports().sip_udp, bytes)) << name;
    stream += bytes;
  }

  // The datagrams that frame to nothing are reported by the socket loop; the others were cut
  // by the SIP layer's framing and parsed.
  EXPECT_TRUE(t.wait_for_log("Illegal pdu(127.0.0.43:", 5000));
  EXPECT_TRUE(e2e::stun_answered_on(t.ports().sip_udp, 3000));

  // Over TCP: all 49 back to back on one connection, then each on a connection of its own.
  EXPECT_TRUE(send_tcp("127.0.0.44", t.ports().sip_tcp, stream));
  for (const char* name : {"wsinv", "clerr", "longreq", "mpart01", "dblreq"})
    EXPECT_TRUE(send_tcp("127.0.0.45", t.ports().sip_tcp, corpus[name])) << name;
  EXPECT_TRUE(e2e::stun_answered_on(t.ports().sip_udp, 3000));
  EXPECT_TRUE(t.running());

  // The daemon still serves SIP datagrams afterwards. Its log line comes after every line the
  // earlier datagrams caused, so the check below sees all of them.
  e2e::udp_peer late("127.0.0.46");
  EXPECT_TRUE(late.send_to("127.0.0.1", t.ports().sip_udp, "junk that is no SIP at all"));
  EXPECT_TRUE(t.wait_for_log("Illegal pdu(127.0.0.46:", 5000));
  EXPECT_EQ(t.log().find("Illegal pdu(127.0.0.42:"), std::string::npos);
}

}  // namespace
