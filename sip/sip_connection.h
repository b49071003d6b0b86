// SIP over TCP and TLS: the per-connection object sip_connection, the map sip_connections of
// all open connections, and the opening of connections this side starts (requests to tcp/tls
// destinations). The event loops that serve them are in sip/connection_loops.h.
//
// srv side. Every function and every member access happens under srv_run_mutex; the event
// loops release the mutex only while they wait in epoll. A connection belongs to the loop that
// serves it: only that loop erases it (when the peer closes, on a time-out, on garbage, or
// when its unframed input grows past 64 KiB). Other srv threads may send on it: send() queues
// the bytes, writes what the socket takes at once and has the loop watch the socket for
// writing until the rest is gone.
//
// Names: a connection is known by the readable remote address and port ("192.0.2.1:5060",
// "[2001:db8::1]:5061"); the same text is the port_name of every message received on it, so a
// response goes back on the connection its request came in on.
//
// Failure behaviour: nothing throws. A TLS protocol error or a peer that sends garbage ends only
// that connection (after its TLS alert was sent); other connections are not affected.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <set>

#include "base/ip_port.h"
#include "base/str.h"
#include "base/tls.h"
#include "frame/clock.h"
#include "sip/stream_framer.h"
#include "sip/transport_type.h"

class sip_connection {
 public:
  static constexpr int accepted_idle_timeout_s = 8;
  static constexpr int opened_idle_timeout_s = 60;

  // fd -1: no socket (tests); the bytes to send then collect in output().
  sip_connection(const str& name, const ip_port& peer, bool is_tls, bool accepted, int fd);
  ~sip_connection();
  sip_connection(const sip_connection&) = delete;
  sip_connection& operator=(const sip_connection&) = delete;

  // Raw bytes read from the socket: through the TLS engine when TLS (its records are queued
  // for sending), then framed (on_input). false when the connection must end now: the TLS
  // session failed or was closed by the peer, or the unframed input passed 64 KiB ("Received
  // too long packet").
  bool on_receive(const str& bytes);
  // Plain bytes: framing. Keep-alive white space updates last_activity (and is echoed with
  // echo_keepalive); a STUN Binding Request is answered with the peer's address; each complete
  // SIP message goes to process_pdu with the connection's name, peer and transport.
  void on_input(const str& bytes);
  // Queues text (encrypted when TLS; held until the handshake completes) and writes what the
  // socket takes now. false when the TLS session has failed or the socket is broken.
  bool send(const str& text);

  // Writes queued output to the socket without blocking; when bytes remain, the serving loop
  // watches the socket for writing. false when the socket failed (the connection is then
  // broken, and the loop ends it).
  bool flush();
  // Sends the TLS close_notify alert (warning level) and closes the session.
  void close_tls();
  bool output_pending() const { return !output_.empty(); }
  // The queued bytes (without socket: everything ever sent and not yet taken).
  str take_output();

  transport_type transport() const { return is_tls ? transport_type::tls : transport_type::tcp; }

  str name;
  ip_port peer;
  bool is_tls = false;
  std::unique_ptr<tls_session> tls;  // the TLS engine; null for TCP
  int fd = -1;                       // the TCP connection (owned by the serving loop)
  int thread_number = 0;             // key of sip_threads
  bool accepted = true;              // accepted from a peer, or opened by this side
  bool connecting = false;           // an opened connection whose connect has not completed
  bool broken = false;               // the socket failed; the loop ends the connection
  int idle_timeout = accepted_idle_timeout_s;
  std::set<str> registrations;   // registrations bound to this connection (registrar's keys)
  rtimestamp last_activity = 0;  // last keep-alive or complete message
  rtimestamp last_read = 0;      // last bytes read (or write readiness): the idle time-out
  rtimestamp served_since = 0;   // service began (the first-message time-out)
  bool got_message = false;      // a complete SIP message has arrived
  bool echo_keepalive = false;
  stream_framer input;  // received bytes not yet framed
  int epoll_fd = -1;    // the serving loop's epoll instance; -1 before service

  // Makes the serving loop watch the socket for writing exactly while a connect is running or
  // output is pending.
  void update_watch();

 private:
  str output_;
  bool watching_output_ = false;
};

// Every open connection by name. Guarded by srv_run_mutex.
extern std::map<str, std::unique_ptr<sip_connection>> sip_connections;

sip_connection* find_sip_connection(const str& name);
// The connection of connection thread number (via sip_threads), nullptr when it is gone.
sip_connection* find_sip_connection(int thread_number);

// The server certificate for accepted TLS connections (nullptr: TLS connections are refused
// with "TLS: No server certificate, closing connection from %s").
void set_sip_tls_server_context(std::shared_ptr<tls_context> context);
std::shared_ptr<tls_context> sip_tls_server_context();

// Called when a connection ends, before it is erased: the registrar removes the registrations
// bound to it. nullptr: nothing to do.
using sip_connection_closed_fn = void (*)(sip_connection& connection);
void set_sip_connection_closed(sip_connection_closed_fn f);

// The hooks of frame/threads.h for accepted connections (set_sip_tcp_hooks); serve is
// serve_sip_connection of sip/connection_loops.h.
void sip_connection_create(int number, int fd, const ip_port& remote, bool tls);
void sip_connection_release(int number);

// The connection failed with output pending (connect refused, or the peer closed before it
// took everything): logs "Connection refused on %s", removes its registrations, erases it and
// hands the destination to on_connection_refused, so that the transaction layer tries the next
// destination over a new connection.
void sip_connection_refused(sip_connection* c);

// Opens a connection to destination (tcp or tls) named name, with an idle time-out of 60 s,
// queues text on it (for TLS after the client handshake announcing server_name, no
// certificate verification) and hands it to an event loop. false when no socket could be
// made.
bool open_sip_connection(const str& name, const ip_port& destination, transport_type transport,
                         const str& server_name, const str& text);

// Installs connections into the process: the frame's SIP TCP/TLS hooks and a sip_transport
// that keeps the installed one for UDP and serves connections from sip_connections (the
// memory report counts them through sip_threads), and the source of the time-out settings. The
// composition root calls it once, after install_transaction_layer.
void install_sip_connections();
