#include "sip/sip_connection.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cctype>
#include <string>
#include <thread>
#include <vector>

#include "base/certificate.h"
#include "frame/mutex.h"
#include "frame/net.h"
#include "frame/stun.h"
#include "frame/threads.h"
#include "sip/connection_loops.h"
#include "sip/send_packet.h"
#include "sip/sip_environment.h"
#include "sip/sip_message.h"
#include "sip/sip_tls_certificate.h"
#include "sip/sip_transport.h"
#include "sip/stream_framer.h"
#include "sip/transaction_test_fakes.h"

namespace {

// What reached the layers above: "port transport peer call-id" of each request.
std::vector<std::string> arrived(const recording_receive_hooks& hooks) {
  std::vector<std::string> out;
  for (const sip_message& m : hooks.forwarded)
    out.push_back(std::string(m.port_name.view()) + " " + m.transport.name() + " " +
                  std::string(m.peer.readable().view()) + " " + std::string(m.call_id.view()));
  return out;
}

// A request n of the peer: Call-ID "ping-n", "options-n" ... after its method.
std::string request(const std::string& method, int n, const std::string& body = "") {
  std::string id = std::to_string(n), lower;
  for (char c : method) lower += char(std::tolower(c));
  return method + " sip:192.0.2.9 SIP/2.0\r\nVia: SIP/2.0/TCP 192.0.2.1:5060;branch=z9hG4bK-" +
         lower + id + "\r\nFrom: <sip:a@192.0.2.1>;tag=" + lower + id +
         "\r\nTo: <sip:192.0.2.9>\r\nCall-ID: " + lower + "-" + id + "\r\nCSeq: 1 " + method +
         "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}
std::string ping(int n) { return request("PING", n); }
std::string options(int n) { return request("OPTIONS", n); }

std::string stun_request() {
  std::string s = {0, 1, 0, 0, 0x21, 0x12, char(0xa4), 0x42};
  s += "0123456789ab";
  return s;
}

ip_port address(const char* text) { return ip_port::from_text(text); }

// For the cases with real sockets and threads: the real clock (nothing reaches a time-out) and
// run mutexes that work, restored afterwards.
struct real_threads {
  const bool was_single = single_thread_mode;
  real_threads() {
    set_clock(nullptr);
    single_thread_mode = false;
  }
  ~real_threads() { single_thread_mode = was_single; }
};

// A blocking socket of the test that gives up after five seconds.
int with_timeout(int fd) {
  timeval tv{5, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  return fd;
}

class SipConnectionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    install_sip_connections();
    hooks.pass_sends = true;
    set_sip_receive_hooks(&hooks);
    set_clock(&clock);
  }
  void TearDown() override {
    set_clock(nullptr);
    set_sip_receive_hooks(nullptr);
    sip_connections.clear();
    sip_threads.clear();
  }
  // A connection without socket, entered in the map as an accepted connection would be.
  sip_connection& add(const char* peer_text) {
    ip_port peer = address(peer_text);
    auto c = std::make_unique<sip_connection>(peer.readable(), peer, false, true, -1);
    sip_connection& ref = *c;
    sip_connections[peer.readable()] = std::move(c);
    return ref;
  }

  manual_clock clock;
  recording_receive_hooks hooks;
};

TEST_F(SipConnectionTest, MessagesCarryTheConnectionAndAnswersGoBackOnIt) {
  sip_connection& a = add("192.0.2.1:40000");
  sip_connection& b = add("192.0.2.2:40001");
  std::string both = options(1) + ping(2);
  ASSERT_TRUE(a.on_receive(str(both.substr(0, 50))));
  EXPECT_TRUE(hooks.forwarded.empty());
  ASSERT_TRUE(a.on_receive(str(both.substr(50))));
  // The PING is answered below the upper layers (on its connection: OpenedConnectionTest).
  EXPECT_EQ(arrived(hooks),
            std::vector<std::string>{"192.0.2.1:40000 tcp 192.0.2.1:40000 options-1"});
  EXPECT_EQ(a.take_output().view().substr(0, 22), "SIP/2.0 200 Keep Alive");
  // The transport seam of send_packet sees both connections by name.
  sip_transport& tr = get_sip_transport();
  EXPECT_EQ(str(tr.connection_transport("192.0.2.2:40001").name()) + " " +
                tr.connection_address("192.0.2.2:40001").readable(),
            "tcp 192.0.2.2:40001");
  EXPECT_TRUE(tr.has_connection("192.0.2.2:40001") &&
              tr.send_on_connection("192.0.2.2:40001", "hello"));
  EXPECT_EQ(b.take_output().view(), "hello");
  EXPECT_FALSE(tr.has_connection("192.0.2.3:5060") || tr.send_on_connection("192.0.2.3:5060", "x"));
}

TEST_F(SipConnectionTest, KeepAlivesAndStun) {
  sip_connection& c = add("192.0.2.1:40000");
  rtimestamp before = c.last_activity;
  clock.advance_ms(3000);
  ASSERT_TRUE(c.on_receive("\r\n\r\n"));
  EXPECT_EQ(c.last_activity, before + 3 * ns_per_second);
  EXPECT_TRUE(c.take_output().empty());  // not echoed by default

  c.echo_keepalive = true;
  ASSERT_TRUE(c.on_receive("\r\n\r\n"));
  EXPECT_EQ(c.take_output().view(), "\r\n\r\n");

  std::string request = stun_request();
  ASSERT_TRUE(c.on_receive(str(request)));
  str answer = c.take_output();
  EXPECT_EQ(stun_message_type(answer), stun_binding_success);
  ip_port mapped;
  ASSERT_TRUE(stun_mapped_address(answer, mapped));
  EXPECT_EQ(mapped, address("192.0.2.1:40000"));
  // Another STUN type is dropped without an answer.
  request[1] = 0x11;
  ASSERT_TRUE(c.on_receive(str(request)));
  EXPECT_TRUE(c.take_output().empty());
  EXPECT_EQ(c.input.pending(), 0u);
}

TEST_F(SipConnectionTest, TooLongInputEndsTheConnection) {
  sip_connection& c = add("192.0.2.1:40000");
  EXPECT_TRUE(c.on_receive(str(std::string(65536, 'x'))));
  EXPECT_FALSE(c.on_receive("x"));
  // A peer that mixes complete messages in stays connected however much it sends.
  sip_connection& d = add("192.0.2.4:40000");
  for (int i = 0; i < 400; ++i) ASSERT_TRUE(d.on_receive(str(options(i))));
  EXPECT_EQ(hooks.forwarded.size(), 400u);
}

// A TLS connection fed garbage fails its session and ends (the handshake and SIP over TLS:
// tests/e2e/sip_tcp_tls_test.cc with openssl s_client); one without certificate is refused.
TEST_F(SipConnectionTest, TlsGarbageOrNoCertificateEndsTheConnection) {
  certificate_pair pair;
  ASSERT_TRUE(generate_self_signed_certificate("pbx.example.com", 1767225600, pair));
  set_sip_tls_server_context(tls_context::make_server(pair.certificate_pem, pair.key_pem));
  sip_connection_create(12, -1, address("192.0.2.6:41000"), true);
  sip_connection* bad = find_sip_connection("192.0.2.6:41000");
  ASSERT_TRUE(bad && bad->tls);
  EXPECT_EQ(bad->transport(), transport_type::tls);
  EXPECT_FALSE(bad->on_receive(str("\x16\x03\x01\x00\x08\x01\x00\x00\x04GARB", 13)));
  EXPECT_EQ(bad->tls->get_state(), tls_session::state::failed);
  set_sip_tls_server_context(nullptr);  // without a certificate a TLS connection is refused
  sip_connection_create(13, -1, address("192.0.2.7:41000"), true);
  sip_connection* refused = find_sip_connection("192.0.2.7:41000");
  EXPECT_TRUE(refused && refused->broken);
}

// The store of the certificate.
class memory_store : public certificate_store {
 public:
  certificate_pair stored;
  int saves = 0;
  bool load(certificate_pair& out) override {
    if (stored.key_pem.empty()) return false;
    out = stored;
    return true;
  }
  bool save(const certificate_pair& pair, const str&) override {
    stored = pair;
    ++saves;
    return true;
  }
};

// A stored key that does not belong to the stored certificate is replaced by a new pair for the
// host (the certificate made at the first start, stored and presented again on the next:
// tests/e2e/sip_tcp_tls_test.cc).
TEST(SipTlsCertificate, AForeignKeyIsReplaced) {
  memory_store store;
  ASSERT_TRUE(setup_sip_tls_certificate(store, "pbx.example.com", 1767225600));
  certificate_pair other;
  ASSERT_TRUE(generate_self_signed_certificate("x.example.com", 1767225600, other));
  store.stored.key_pem = other.key_pem;
  ASSERT_TRUE(setup_sip_tls_certificate(store, "pbx.example.com", 1767225600));
  EXPECT_EQ(store.saves, 2);
  EXPECT_TRUE(certificate_matches_key(store.stored.certificate_pem, store.stored.key_pem));
  certificate_info info;
  ASSERT_TRUE(read_certificate_info(store.stored.certificate_pem, info));
  EXPECT_EQ(info.subject_cn.view(), "pbx.example.com");
  EXPECT_TRUE(info.self_signed);
  EXPECT_TRUE(sip_tls_server_context());
  set_sip_tls_server_context(nullptr);
}

// The time-outs the loops act on, under the manual clock: the idle time-out (raised by a
// registration) from the last bytes read, the connect that never completes, and the first
// SIP message an accepted connection owes.
TEST_F(SipConnectionTest, TimeoutsDueAtTheirDeadlines) {
  struct row {
    bool accepted, connecting, got_message;
    int idle, read_ago_ms, served_ago_ms, first_message_s;
    connection_due due;
    int next_in_ms;  // -1: none
  };
  const row rows[] = {
      {true, false, false, 8, 7999, 7999, 10, connection_due::nothing, 1},
      {true, false, false, 8, 8000, 8000, 10, connection_due::idle, -1},
      {true, false, false, 8, 1000, 10000, 10, connection_due::first_message, 7000},
      {true, false, false, 8, 1000, 9000, 10, connection_due::nothing, 1000},
      {true, false, false, 8, 1000, 10000, 0, connection_due::nothing, 7000},
      {true, false, true, 188, 60000, 600000, 10, connection_due::nothing, 128000},
      {false, false, false, 60, 1000, 600000, 10, connection_due::nothing, 59000},
      {false, true, false, 60, 60000, 60000, 10, connection_due::connect_failed, -1},
      {true, false, false, 0, 600000, 1000, 10, connection_due::nothing, 9000},
  };
  for (const row& r : rows) {
    sip_connection c("192.0.2.1:4000", address("192.0.2.1:4000"), false, r.accepted, -1);
    c.connecting = r.connecting;
    c.got_message = r.got_message;
    c.idle_timeout = r.idle;
    const rtimestamp now = clock_now();
    c.last_read = now - ms2ticks(r.read_ago_ms);
    c.served_since = now - ms2ticks(r.served_ago_ms);
    rtimestamp next = 0;
    EXPECT_EQ(check_connection_timeouts(c, now, r.first_message_s, next), r.due) << r.idle;
    EXPECT_EQ(next == 0 ? -1 : ticks2ms(next - now), r.next_in_ms) << r.idle;
  }
  // A message completes the first-message obligation.
  sip_connection& a = add("192.0.2.9:40000");
  EXPECT_FALSE(a.got_message);
  ASSERT_TRUE(a.on_receive(str("\r\n" + options(61))));
  EXPECT_TRUE(a.got_message);
}

// Connections this side opens: a refused connect hands the request back to the transaction
// layer, which sends it to the next destination over a new connection; the request is queued
// before the connect completes and written once it does (through the client handshake for
// TLS); the peer's messages come back on the same connection, known by the destination's name.
class OpenedConnectionTest : public SipConnectionTest,
                             public ::testing::WithParamInterface<bool> {};

TEST_P(OpenedConnectionTest, RequestFailsOverGoesOutAndAnswersComeBack) {
  const bool tls = GetParam();
  real_threads threads;
  certificate_pair pair;
  ASSERT_TRUE(generate_self_signed_certificate("peer.example.com", 1767225600, pair));
  tls_session server(tls_context::make_server(pair.certificate_pem, pair.key_pem));

  int closed_listener = tcp_listen(address("127.0.0.1:0"));
  int listener = tcp_listen(address("127.0.0.1:0"));
  ASSERT_GE(closed_listener, 0);
  ASSERT_GE(listener, 0);
  const int refused_port = socket_local_port(closed_listener), port = socket_local_port(listener);
  close_socket(closed_listener);  // nothing listens there any more
  const str refused = str::sprintf("127.0.0.1:%d", refused_port);
  const str name = str::sprintf("127.0.0.1:%d", port);
  const char* const kind = tls ? "tls" : "tcp";
  sip_message request(str(options(41)));
  request.destinations =
      str::sprintf("%S 127.0.0.1 %d\n%S 127.0.0.1 %d", kind, refused_port, kind, port);
  srv_run_mutex.lock();
  EXPECT_NE(send_packet(request), 0);
  srv_run_mutex.unlock();

  pollfd ready{listener, POLLIN, 0};
  ASSERT_EQ(poll(&ready, 1, 5000), 1);
  ip_port remote;
  int fd = with_timeout(tcp_accept(listener, remote));
  ASSERT_GE(fd, 0);
  srv_run_mutex.lock();
  EXPECT_EQ(find_sip_connection(refused), nullptr);
  const sip_connection* c = find_sip_connection(name);
  EXPECT_TRUE(c && !c->accepted && c->idle_timeout == 60);
  EXPECT_EQ(get_sip_transport().connection_transport(name),
            tls ? transport_type::tls : transport_type::tcp);
  srv_run_mutex.unlock();
  // Reads (through the TLS session if any) until text arrived; false on end of stream, error or
  // time-out.
  std::string plain;
  auto receive_until = [&](const std::string& text) {
    char buf[4096];
    while (plain.find(text) == std::string::npos) {
      ssize_t n = read(fd, buf, sizeof buf);
      if (n <= 0) return false;
      if (!tls) {
        plain.append(buf, size_t(n));
        continue;
      }
      server.on_input(str(buf, size_t(n)));
      str out = server.take_output();
      if (!out.empty() && write(fd, out.cbuffer(), out.length()) != ssize_t(out.length()))
        return false;
      plain += std::string(server.take_plain().view());
    }
    return true;
  };
  ASSERT_TRUE(receive_until("Call-ID: options-41\r\n")) << plain;
  EXPECT_EQ(plain.substr(0, 8), "OPTIONS ");
  EXPECT_NE(plain.find(tls ? "\r\nVia: SIP/2.0/TLS " : "\r\nVia: SIP/2.0/TCP "), std::string::npos);

  str p(ping(42));
  if (tls) {
    ASSERT_TRUE(server.write(p));
    p = server.take_output();
  }
  ASSERT_EQ(write(fd, p.cbuffer(), p.length()), ssize_t(p.length()));
  plain.clear();
  ASSERT_TRUE(receive_until("Call-ID: ping-42\r\n")) << plain;
  EXPECT_EQ(plain.substr(0, 22), "SIP/2.0 200 Keep Alive");

  // Our close ends the connection: its thread erases it and closes its socket.
  shutdown(fd, SHUT_WR);
  char rest[64];
  while (read(fd, rest, sizeof rest) > 0) continue;  // to the end of the stream
  srv_run_mutex.lock();                              // the thread has released the mutex for good
  EXPECT_EQ(find_sip_connection(name), nullptr);
  srv_run_mutex.unlock();
  close(fd);
  close(listener);
}

INSTANTIATE_TEST_SUITE_P(TcpAndTls, OpenedConnectionTest, ::testing::Bool());

// ---- Framing of the byte stream -----------------------------------------------------------------

using kind = stream_framer::kind;

// Everything the framer gives for a stream fed in the given pieces, in order, as "kind:data".
std::vector<std::string> frame(const std::vector<std::string>& pieces) {
  stream_framer f;
  std::vector<std::string> out;
  for (const std::string& p : pieces) {
    f.append(str(p));
    for (;;) {
      stream_framer::item it = f.next();
      if (it.type == kind::none) break;
      const char* k = it.type == kind::keepalive ? "ka:" : it.type == kind::stun ? "stun:" : "sip:";
      out.push_back(k + std::string(it.data.view()));
    }
  }
  return out;
}

// Items of a stream fed in pieces (the same however it is cut: fuzz/sip_stream_fuzz.cc): a body
// holding a blank line waits for its (compact) Content-Length; keep-alives and STUN, with
// attributes, between messages; two NULs are not STUN.
TEST(StreamFramer, MessagesKeepAlivesAndStun) {
  std::string m = request("MESSAGE", 1, "hello\r\n\r\nworld" + std::string(300, 'x'));
  m.replace(m.find("Content-Length"), 14, "l");
  const std::string a = options(1), s = stun_request();
  std::string sa = s;
  sa[3] = 8;  // 8 bytes of attributes
  sa += "ATTRIBUT";
  const struct {
    const char* what;
    std::vector<std::string> pieces, items;
  } rows[] = {
      {"body incomplete", {m.substr(0, m.size() - 1)}, {}},
      {"body complete",
       {m.substr(0, m.size() - 1), m.substr(m.size() - 1) + "\r\n"},
       {"sip:" + m, "ka:\r\n"}},
      {"between messages",
       {"\r\n\r\n" + a + "\r\n\r\n" + s + " \r\n" + a},
       {"ka:\r\n\r\n", "sip:" + a, "ka:\r\n\r\n", "stun:" + s, "ka: \r\n", "sip:" + a}},
      {"stun cut", {sa.substr(0, 19), sa.substr(19, 5), sa.substr(24)}, {"stun:" + sa}},
      {"two NULs", {std::string(2, '\0') + a}, {"sip:" + a}},
  };
  for (const auto& r : rows) EXPECT_EQ(frame(r.pieces), r.items) << r.what;
}

// A header announcing a body larger than the limit never completes (input without a header end:
// TooLongInputEndsTheConnection).
TEST(StreamFramer, CutOffPast64KiB) {
  stream_framer g;
  std::string head = request("MESSAGE", 1);
  head.replace(head.find("Content-Length: 0"), 17, "Content-Length: 900000");
  g.append(str(head));
  for (int i = 0; i < 70; ++i) {
    g.append(str(std::string(1024, 'b')));
    EXPECT_EQ(g.next().type, kind::none);
  }
  EXPECT_TRUE(g.too_long());

  // A message of just under the limit is fine.
  stream_framer h;
  std::string big = request("MESSAGE", 1, std::string(stream_framer::max_unframed - 300, 'c'));
  ASSERT_LE(big.size(), stream_framer::max_unframed);
  h.append(str(big));
  EXPECT_FALSE(h.too_long());
  EXPECT_EQ(h.next().type, kind::sip);
}

}  // namespace
