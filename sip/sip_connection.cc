#include "sip/sip_connection.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "base/log.h"
#include "base/random.h"
#include "frame/log.h"
#include "frame/mutex.h"
#include "frame/net.h"
#include "frame/settings.h"
#include "frame/stun.h"
#include "frame/threads.h"
#include "sip/connection_loops.h"
#include "sip/sip_message.h"
#include "sip/sip_transport.h"
#include "sip/transaction.h"

std::map<str, std::unique_ptr<sip_connection>> sip_connections;

namespace {

std::shared_ptr<tls_context> g_server_context;
std::shared_ptr<tls_context> g_client_context;
sip_connection_closed_fn g_closed = nullptr;

std::shared_ptr<tls_context> client_context() {
  if (!g_client_context) g_client_context = tls_context::make_client();
  return g_client_context;
}

}  // namespace

// ---- sip_connection -----------------------------------------------------------------------------

sip_connection::sip_connection(const str& n, const ip_port& p, bool tls_flag, bool acc, int f)
    : name(n), peer(p), is_tls(tls_flag), fd(f), accepted(acc) {
  idle_timeout = accepted ? accepted_idle_timeout_s : opened_idle_timeout_s;
  last_activity = clock_now();
}

sip_connection::~sip_connection() = default;

void sip_connection::update_watch() {
  const bool want = connecting || !output_.empty();
  if (epoll_fd < 0 || fd < 0 || want == watching_output_) return;
  epoll_event ev{};
  ev.events = EPOLLIN | EPOLLRDHUP | (want ? uint32_t{EPOLLOUT} : 0u);
  ev.data.u64 = static_cast<uint64_t>(thread_number);
  if (epoll_ctl(epoll_fd, EPOLL_CTL_MOD, fd, &ev) == 0) watching_output_ = want;
}

bool sip_connection::on_receive(const str& bytes) {
  if (tls) {
    bool ok = tls->on_input(bytes);
    output_ += tls->take_output();
    str plain = tls->take_plain();
    if (!plain.empty()) on_input(plain);
    if (!ok) {
      if (tls->get_state() == tls_session::state::failed) {
        log_printf(log_tls, 4, "TLS: Connection %s failed: %s", name, tls->error());
      }
      return false;
    }
  } else {
    on_input(bytes);
  }
  if (input.too_long()) {
    log_printf(log_sip, 4, "Received too long packet");
    return false;
  }
  return true;
}

void sip_connection::on_input(const str& bytes) {
  input.append(bytes);
  for (;;) {
    stream_framer::item it = input.next();
    switch (it.type) {
      case stream_framer::kind::none:
        return;
      case stream_framer::kind::keepalive:
        last_activity = clock_now();
        if (echo_keepalive) send(it.data);
        break;
      case stream_framer::kind::stun: {
        int type = stun_message_type(it.data);
        if (type == stun_binding_request) {
          str answer = stun_binding_response(it.data, peer);
          if (!answer.empty()) send(answer);
        } else {
          log_printf(log_sip, 8, "STUN: Type %d not handled", type);
        }
        break;
      }
      case stream_framer::kind::sip:
        last_activity = clock_now();
        got_message = true;
        process_pdu(name, it.data, peer, transport());
        break;
    }
  }
}

bool sip_connection::send(const str& text) {
  if (tls) {
    if (!tls->write(text)) return false;
    output_ += tls->take_output();
  } else {
    output_ += text;
  }
  return flush();
}

bool sip_connection::flush() {
  if (broken) return false;
  if (fd < 0 || connecting) return true;
  size_t done = 0;
  while (done < output_.length()) {
    ssize_t n =
        ::send(fd, output_.cbuffer() + done, output_.length() - done, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      done += size_t(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
    broken = true;
    return false;
  }
  output_ = done < output_.length() ? output_.substr(done) : str();
  update_watch();
  return true;
}

void sip_connection::close_tls() {
  if (!tls) return;
  tls->close();
  output_ += tls->take_output();
  flush();
}

str sip_connection::take_output() {
  str out = output_;
  output_.clear();
  return out;
}

// ---- The map ------------------------------------------------------------------------------------

sip_connection* find_sip_connection(const str& name) {
  auto it = sip_connections.find(name);
  return it == sip_connections.end() ? nullptr : it->second.get();
}

sip_connection* find_sip_connection(int thread_number) {
  auto t = sip_threads.find(thread_number);
  if (t == sip_threads.end()) return nullptr;
  sip_connection* c = find_sip_connection(t->second.remote);
  return c && c->thread_number == thread_number ? c : nullptr;
}

void set_sip_tls_server_context(std::shared_ptr<tls_context> context) {
  g_server_context = std::move(context);
}
std::shared_ptr<tls_context> sip_tls_server_context() { return g_server_context; }

void set_sip_connection_closed(sip_connection_closed_fn f) { g_closed = f; }

// ---- Accepted and opened connections -----------------------------------------------------------

void sip_connection_create(int number, int fd, const ip_port& remote, bool tls) {
  str name = remote.readable();
  auto c = std::make_unique<sip_connection>(name, remote, tls, true, fd);
  c->thread_number = number;
  if (tls) {
    if (!g_server_context) {
      log_printf(log_tls, 2, "TLS: No server certificate, closing connection from %s", name);
      c->broken = true;
    } else {
      c->tls = std::make_unique<tls_session>(g_server_context);
      c->tls->set_description(str::sprintf("SIP %s", name));
    }
  }
  // A second connection from the same address and port replaces the first in the map; the
  // loop serving the first one then no longer finds it and ends it.
  sip_connections[name] = std::move(c);
}

void sip_connection_refused(sip_connection* c) {
  const transport_type transport = c->transport();
  const ip_port peer = c->peer;
  const str name = c->name;
  log_printf(log_sip, 5, "Connection refused on %s", name);
  if (g_closed) g_closed(*c);
  sip_connections.erase(name);
  on_connection_refused(transport, peer);
}

void sip_connection_release(int number) {
  sip_connection* c = find_sip_connection(number);
  if (!c) return;
  if (g_closed) g_closed(*c);
  sip_connections.erase(c->name);
}

bool open_sip_connection(const str& name, const ip_port& destination, transport_type transport,
                         const str& server_name, const str& text) {
  const bool tls = transport == transport_type::tls;
  sockaddr_storage ss;
  socklen_t len = destination.to_sockaddr(ss);
  if (len == 0) return false;
  int fd = socket(ss.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  if (connect(fd, reinterpret_cast<sockaddr*>(&ss), len) != 0 && errno != EINPROGRESS) {
    close(fd);
    return false;
  }
  std::shared_ptr<tls_context> ctx;
  if (tls && !(ctx = client_context())) {
    close(fd);
    return false;
  }
  fd = prepare_sip_connection_socket(fd);
  auto c = std::make_unique<sip_connection>(name, destination, tls, false, fd);
  c->connecting = true;
  if (tls) {
    c->tls = std::make_unique<tls_session>(ctx, server_name);
    c->tls->set_description(str::sprintf("SIP %s", destination.readable()));
  }
  c->send(text);

  int number = ++sip_thread_number;
  sip_thread_entry& e = sip_threads[number];
  e.remote = name;
  e.fd = fd;
  e.tls = tls;
  e.peer = destination;
  e.start = clock_now();
  c->thread_number = number;
  log_printf(log_sip, 8, "Received SIP connection %d from %s", number, name);
  int count = int(sip_threads.size());
  if (count >= max_sip_threads) {
    log_printf(log_sip, 3,
               "Current number of SIP threads %d has reached maximum %d, further connections "
               "will not be accepted",
               count, max_sip_threads);
  }
  sip_connections[name] = std::move(c);
  serve_sip_connection(number);
  return true;
}

// ---- The transport seam -------------------------------------------------------------------------

namespace {

// Keeps the UDP side of the transport installed before and adds the connections.
class connected_transport : public sip_transport {
 public:
  explicit connected_transport(sip_transport& udp) : udp_(udp) {}
  bool has_udp_port(const str& port_name) override { return udp_.has_udp_port(port_name); }
  bool send_udp(const str& port_name, const ip_port& destination, const str& text) override {
    return udp_.send_udp(port_name, destination, text);
  }
  str default_udp_binding(const ip_port& destination) override {
    return udp_.default_udp_binding(destination);
  }
  uint16_t loopback_udp_port(bool ipv6) override { return udp_.loopback_udp_port(ipv6); }
  bool has_connection(const str& name) override { return find_sip_connection(name) != nullptr; }
  transport_type connection_transport(const str& name) override {
    sip_connection* c = find_sip_connection(name);
    return c ? c->transport() : transport_type::none;
  }
  ip_port connection_address(const str& name) override {
    sip_connection* c = find_sip_connection(name);
    return c ? c->peer : ip_port();
  }
  bool send_on_connection(const str& name, const str& text) override {
    sip_connection* c = find_sip_connection(name);
    return c && c->send(text);
  }
  bool open_connection(const str& name, const ip_port& destination, transport_type transport,
                       const str& server_name, const str& text) override {
    return open_sip_connection(name, destination, transport, server_name, text);
  }
  std::vector<ip_port> take_refused_destinations() override {
    return udp_.take_refused_destinations();
  }
  bool ipv4_enabled() override { return udp_.ipv4_enabled(); }
  bool ipv6_enabled() override { return udp_.ipv6_enabled(); }

 private:
  sip_transport& udp_;
};

}  // namespace

void install_sip_connections() {
  static connected_transport* installed = nullptr;
  if (installed) return;
  installed = new connected_transport(get_sip_transport());
  set_sip_transport(installed);
  sip_tcp_hooks hooks;
  hooks.create = sip_connection_create;
  hooks.serve = serve_sip_connection;
  hooks.release = sip_connection_release;
  set_sip_tcp_hooks(hooks);
}
