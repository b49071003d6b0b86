#include "base/tls.h"

#include <gtest/gtest.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <rapidcheck.h>

#include <string>

#include "base/certificate.h"

namespace {

constexpr int64_t now_s = 1767225600;

const certificate_pair& server_credentials() {
  static certificate_pair p = [] {
    certificate_pair c;
    generate_self_signed_certificate(str("pbx.example.com"), now_s, c);
    return c;
  }();
  return p;
}

std::shared_ptr<tls_context> server_context(bool ask_client = false) {
  const certificate_pair& p = server_credentials();
  return tls_context::make_server(p.certificate_pem, p.key_pem, ask_client);
}

// Moves records between the two sessions until neither has anything to send; chunk > 0 feeds
// them in pieces of that size, as a socket may deliver them. The number of rounds.
int shuttle(tls_session& a, tls_session& b, size_t chunk = 0) {
  int rounds = 0;
  for (; rounds < 100; rounds++) {
    str ab = a.take_output();
    str ba = b.take_output();
    if (ab.empty() && ba.empty()) break;
    for (auto [data, to] : {std::pair{ab, &b}, std::pair{ba, &a}}) {
      if (chunk == 0) {
        if (!data.empty()) to->on_input(data);
      } else {
        for (size_t i = 0; i < data.length(); i += chunk) to->on_input(data.substr(i, chunk));
      }
    }
  }
  return rounds;
}

std::string big_text(size_t n) {
  std::string s;
  for (size_t i = 0; s.size() < n; i++) s += "line " + std::to_string(i) + "\r\n";
  s.resize(n);
  return s;
}

}  // namespace

TEST(Tls, ClientAndServerTalkInMemory) {
  tls_session server(server_context());
  tls_session client(tls_context::make_client(), str("pbx.example.com"));
  EXPECT_EQ(client.get_state(), tls_session::state::handshaking);
  // Data written before the handshake waits for it.
  EXPECT_TRUE(client.write(str("REGISTER sip:example.com SIP/2.0\r\n\r\n")));
  shuttle(client, server);
  ASSERT_TRUE(client.established() && server.established()) << client.error().c_str();
  EXPECT_EQ(client.protocol(), "TLSv1.3");
  EXPECT_EQ(client.cipher(), server.cipher());
  EXPECT_EQ(server.take_plain(), "REGISTER sip:example.com SIP/2.0\r\n\r\n");
  // The client sees the server's certificate (not verified, but available).
  certificate_info info;
  ASSERT_TRUE(read_certificate_info(client.peer_certificate(), info));
  EXPECT_EQ(info.subject_cn, "pbx.example.com");
  // Both directions, more than one record, delivered byte by byte.
  std::string big = big_text(100000);
  EXPECT_TRUE(server.write(str(big)));
  EXPECT_TRUE(client.write(str("SIP/2.0 200 OK\r\n\r\n")));
  shuttle(client, server, 1);
  EXPECT_EQ(std::string(client.take_plain().view()), big);
  EXPECT_EQ(server.take_plain(), "SIP/2.0 200 OK\r\n\r\n");
  EXPECT_TRUE(client.take_plain().empty());
  // An orderly close reaches the other side; nothing is accepted afterwards.
  client.close();
  EXPECT_EQ(client.get_state(), tls_session::state::closed);
  shuttle(client, server);
  EXPECT_EQ(server.get_state(), tls_session::state::closed);
  EXPECT_FALSE(server.write(str("late")) || server.on_input(str("late")) ||
               client.write(str("late")));
  EXPECT_EQ(ERR_peek_error(), 0u);
}

// An RSA certificate (as an operator may store for the web server) and an older phone's TLS 1.2.
TEST(Tls, RsaServerAndTls12) {
  certificate_pair rsa;
  ASSERT_TRUE(generate_self_signed_certificate(str("rsa.example.com"), now_s, rsa,
                                               certificate_key_type::rsa_2048));
  tls_session server(tls_context::make_server(rsa.certificate_pem, rsa.key_pem));
  auto client_ctx = tls_context::make_client();
  SSL_CTX_set_max_proto_version(client_ctx->native(), TLS1_2_VERSION);
  tls_session client(client_ctx, str("192.0.2.1"));  // an address: no SNI
  shuttle(client, server, 7);
  ASSERT_TRUE(client.established() && server.established()) << client.error().c_str();
  certificate_info info;
  ASSERT_TRUE(read_certificate_info(client.peer_certificate(), info));
  EXPECT_EQ(info.key_type + " " + server.protocol(), "RSA TLSv1.2");
}

// Garbage in a handshake fails it: SipConnectionTest.TlsGarbageEndsTheConnection and the
// property below. A damaged record after the handshake fails the session too.
TEST(Tls, ForgedRecordFailsTheSession) {
  tls_session s2(server_context());
  tls_session c2(tls_context::make_client(), str("pbx.example.com"));
  shuttle(c2, s2);
  ASSERT_TRUE(c2.established() && s2.established());
  c2.write(str("INVITE"));
  str record = c2.take_output();
  record.set_character(record.length() - 3, static_cast<char>(record[record.length() - 3] ^ 1));
  EXPECT_FALSE(s2.on_input(record));
  EXPECT_EQ(s2.get_state(), tls_session::state::failed);
  EXPECT_TRUE(s2.take_plain().empty()) << "nothing of a forged record is delivered";
  EXPECT_EQ(ERR_peek_error(), 0u);
}

TEST(Tls, BadCredentialsGiveNoContext) {
  const certificate_pair& p = server_credentials();
  certificate_pair other;
  ASSERT_TRUE(generate_self_signed_certificate(str("other"), now_s, other));
  str error;
  EXPECT_FALSE(tls_context::make_server(p.certificate_pem, other.key_pem, false, &error));
  EXPECT_NE(error.find(str("does not match")), -1) << error.c_str();
  EXPECT_FALSE(tls_context::make_server(str("junk"), p.key_pem, false, &error));
  EXPECT_NE(error.find(str("certificate does not load")), -1) << error.c_str();
  EXPECT_FALSE(tls_context::make_server(p.certificate_pem, str(""), false, &error));
  tls_session none(nullptr);
  EXPECT_TRUE(none.get_state() == tls_session::state::failed && !none.on_input(str("x")) &&
              none.take_output().empty());
  EXPECT_EQ(ERR_peek_error(), 0u);
}

// Whatever bytes arrive, in whatever pieces, a server session ends handshaking or failed,
// never established, and never crashes.
TEST(Tls, RandomInputNeverEstablishes) {
  auto ctx = server_context();
  EXPECT_TRUE(rc::check([&](const std::vector<std::string>& pieces, bool tls_prefix) {
    tls_session s(ctx);
    bool first = true;
    for (const std::string& p : pieces) {
      str bytes(p);
      if (first && tls_prefix) bytes = str::bytes({0x16, 0x03, 0x01}) + bytes;
      first = false;
      s.on_input(bytes);
      s.take_output();
    }
    RC_ASSERT(s.get_state() != tls_session::state::established);
    RC_ASSERT(s.take_plain().empty());
    RC_ASSERT(ERR_peek_error() == 0u);
  }));
}
