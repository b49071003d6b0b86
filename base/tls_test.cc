#include "base/tls.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <poll.h>
#include <rapidcheck.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
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
  ASSERT_TRUE(client.established()) << client.error().c_str();
  ASSERT_TRUE(server.established()) << server.error().c_str();
  EXPECT_EQ(client.protocol(), "TLSv1.3");
  EXPECT_EQ(client.cipher(), server.cipher());
  EXPECT_EQ(server.take_plain(), "REGISTER sip:example.com SIP/2.0\r\n\r\n");
  // The client sees the server's certificate (not verified, but available).
  certificate_info info;
  ASSERT_TRUE(read_certificate_info(client.peer_certificate(), info));
  EXPECT_EQ(info.subject_cn, "pbx.example.com");
  EXPECT_TRUE(server.peer_certificate().empty()) << "the client was not asked for one";
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
  EXPECT_FALSE(server.write(str("late")));
  EXPECT_FALSE(server.on_input(str("late")));
  EXPECT_FALSE(client.write(str("late")));
  EXPECT_EQ(ERR_peek_error(), 0u);
}

TEST(Tls, ClientCertificateAndRsaServer) {
  certificate_pair rsa;
  ASSERT_TRUE(generate_self_signed_certificate(str("rsa.example.com"), now_s, rsa,
                                               certificate_key_type::rsa_2048));
  auto server_ctx = tls_context::make_server(rsa.certificate_pem, rsa.key_pem, true);
  ASSERT_TRUE(server_ctx);
  certificate_pair phone;
  ASSERT_TRUE(generate_self_signed_certificate(str("phone-0004f2"), now_s, phone));
  auto client_ctx = tls_context::make_client(phone.certificate_pem, phone.key_pem);
  ASSERT_TRUE(client_ctx);
  tls_session server(server_ctx);
  tls_session client(client_ctx, str("192.0.2.1"));  // an address: no SNI
  shuttle(client, server, 7);
  ASSERT_TRUE(client.established()) << client.error().c_str();
  ASSERT_TRUE(server.established()) << server.error().c_str();
  certificate_info info;
  ASSERT_TRUE(read_certificate_info(server.peer_certificate(), info));
  EXPECT_EQ(info.subject_cn, "phone-0004f2");
  ASSERT_TRUE(read_certificate_info(client.peer_certificate(), info));
  EXPECT_EQ(info.key_type, "RSA");
}

TEST(Tls, GarbageFailsTheSessionCleanly) {
  // Plain SIP sent to a TLS port.
  tls_session server(server_context());
  EXPECT_FALSE(server.on_input(str("OPTIONS sip:pbx.example.com SIP/2.0\r\nVia: x\r\n\r\n")));
  EXPECT_EQ(server.get_state(), tls_session::state::failed);
  EXPECT_FALSE(server.error().empty());
  EXPECT_FALSE(server.write(str("x")));
  EXPECT_FALSE(server.on_input(str("more")));
  server.take_output();  // an alert, or nothing
  EXPECT_TRUE(server.take_plain().empty());
  // Garbage where the client expects the ServerHello.
  tls_session client(tls_context::make_client(), str("pbx.example.com"));
  EXPECT_FALSE(client.take_output().empty()) << "the ClientHello";
  EXPECT_FALSE(client.on_input(str::bytes({0x16, 0x03, 0x03, 0x00, 0x04, 0xff, 0xff, 0, 0})));
  EXPECT_EQ(client.get_state(), tls_session::state::failed);
  // A damaged record after the handshake.
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
  EXPECT_FALSE(tls_context::make_client(p.certificate_pem, str("junk"), &error));
  tls_session none(nullptr);
  EXPECT_EQ(none.get_state(), tls_session::state::failed);
  EXPECT_FALSE(none.on_input(str("x")));
  EXPECT_TRUE(none.take_output().empty());
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

// A real peer over loopback TCP: the openssl command-line client talks to a tls_session that the
// test drives the way a connection thread does (socket bytes in, records out).
class TlsOpenSslClient : public ::testing::TestWithParam<const char*> {};

TEST_P(TlsOpenSslClient, OverLoopback) {
  if (std::system("openssl version >/dev/null 2>&1") != 0) GTEST_SKIP() << "no openssl binary";
  int listener = socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(listener, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
  ASSERT_EQ(listen(listener, 1), 0);
  socklen_t len = sizeof sa;
  getsockname(listener, reinterpret_cast<sockaddr*>(&sa), &len);
  const int port = ntohs(sa.sin_port);
  // -quiet implies -ign_eof: the client keeps reading after its input ends, until the server
  // closes the TLS connection.
  std::string cmd =
      "printf 'OPTIONS sip:pbx.example.com SIP/2.0\\r\\n\\r\\n' | timeout 20 "
      "openssl s_client -connect 127.0.0.1:" +
      std::to_string(port) + " -servername pbx.example.com -quiet " + GetParam() + " 2>/dev/null";
  FILE* client = popen(cmd.c_str(), "r");
  ASSERT_NE(client, nullptr);
  pollfd p{listener, POLLIN, 0};
  ASSERT_EQ(poll(&p, 1, 20000), 1);
  int fd = accept(listener, nullptr, nullptr);
  ASSERT_GE(fd, 0);
  tls_session session(server_context());
  session.set_description(str("test client"));
  std::string request;
  bool answered = false;
  for (;;) {
    pollfd q{fd, POLLIN, 0};
    if (poll(&q, 1, 20000) != 1) break;
    char buf[4096];
    ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n <= 0) break;
    session.on_input(str(buf, static_cast<size_t>(n)));
    request += std::string(session.take_plain().view());
    if (!answered && request.find("\r\n\r\n") != std::string::npos) {
      session.write(str("SIP/2.0 200 OK\r\nContent-Length: 0\r\n\r\n"));
      session.close();
      answered = true;
    }
    str records = session.take_output();
    if (!records.empty()) send(fd, records.cbuffer(), records.length(), MSG_NOSIGNAL);
    if (answered || session.get_state() == tls_session::state::failed) break;
  }
  close(fd);
  close(listener);
  std::string got;  // what the client printed, read once it has seen the close
  for (int c; (c = fgetc(client)) != EOF;) got += static_cast<char>(c);
  pclose(client);
  EXPECT_EQ(request, "OPTIONS sip:pbx.example.com SIP/2.0\r\n\r\n");
  EXPECT_EQ(got, "SIP/2.0 200 OK\r\nContent-Length: 0\r\n\r\n");
  EXPECT_TRUE(answered) << session.error().c_str();
  EXPECT_EQ(session.protocol(), *GetParam() ? "TLSv1.2" : "TLSv1.3");
}

INSTANTIATE_TEST_SUITE_P(Tls, TlsOpenSslClient, ::testing::Values("", "-tls1_2"));
