// TLS through OpenSSL memory BIOs: the engine of one TLS connection without a socket.
//
// The thread that owns the socket (a SIP or HTTP connection thread) feeds every received byte
// into on_input, sends whatever take_output returns, hands take_plain's bytes to its protocol
// and encrypts its own output with write. The session never reads, writes or waits on a
// socket, so it can be driven entirely in memory (two sessions can talk to each other).
//
// Side-neutral: a session belongs to the one thread that owns its connection; tls_context is
// immutable after creation and may be shared by sessions on any thread.
//
// Failure behaviour: nothing throws and no input can crash a session. A protocol error (garbage
// bytes, a failed handshake, a bad record) puts the session into state failed for good: every
// later call does nothing and returns false; take_output may still hold the alert to send
// before the connection is closed; error() tells why.
#pragma once

#include <memory>

#include "base/str.h"

typedef struct ssl_ctx_st SSL_CTX;
typedef struct ssl_st SSL;
typedef struct bio_st BIO;

// The shared settings of many sessions: role, own certificate and key.
class tls_context {
 public:
  // A server context with the certificate (PEM; further certificates in the text are sent as
  // the chain) and its private key (PEM). nullptr (and *error set) when they do not load or
  // do not belong together. request_client_certificate: ask clients for a certificate
  // (any is accepted; the application judges it by peer_certificate()).
  static std::shared_ptr<tls_context> make_server(const str& certificate_pem, const str& key_pem,
                                                  bool request_client_certificate = false,
                                                  str* error = nullptr);
  // A client context; the server's certificate is not verified (the application may look
  // at peer_certificate()). A certificate and key may be given for servers that ask for one.
  static std::shared_ptr<tls_context> make_client(const str& certificate_pem = str(),
                                                  const str& key_pem = str(), str* error = nullptr);
  ~tls_context();
  tls_context(const tls_context&) = delete;
  tls_context& operator=(const tls_context&) = delete;

  bool is_server() const { return server_; }
  SSL_CTX* native() const { return ctx_; }

 private:
  tls_context(SSL_CTX* ctx, bool server) : ctx_(ctx), server_(server) {}
  SSL_CTX* ctx_;
  bool server_;
};

class tls_session {
 public:
  enum class state {
    handshaking,  // created, or handshake records still being exchanged
    established,  // application data flows
    closed,       // a close_notify was sent or received; nothing more is read or written
    failed,       // a protocol error; see error()
  };

  // server_name (clients only): sent as SNI unless it is an IP address or empty. A client
  // session puts its ClientHello into the output at once.
  explicit tls_session(std::shared_ptr<tls_context> context, const str& server_name = str());
  ~tls_session();
  tls_session(const tls_session&) = delete;
  tls_session& operator=(const tls_session&) = delete;

  // Used in log lines, e.g. "SIP 192.0.2.1:5061".
  void set_description(const str& description) { description_ = description; }

  // Bytes received from the peer. Advances the handshake and decrypts application data
  // (take_plain). false when the session is (now) failed or closed.
  bool on_input(const str& bytes);
  // Application data to send; held until the handshake completes. false when failed or
  // closed.
  bool write(const str& plain);
  // Decrypted application data received so far (and not yet taken).
  str take_plain();
  // TLS records to send to the peer (and not yet taken).
  str take_output();
  // Sends close_notify (into the output) and enters state closed.
  void close();

  state get_state() const { return state_; }
  bool established() const { return state_ == state::established; }
  str error() const { return error_; }
  // The peer's certificate as PEM, empty when it sent none.
  str peer_certificate() const;
  // Negotiated protocol and cipher ("TLSv1.3", "TLS_AES_128_GCM_SHA256"); empty before.
  str protocol() const;
  str cipher() const;

 private:
  void fail(const char* what);
  void pump();  // handshake, reads and pending writes, as far as the input allows

  std::shared_ptr<tls_context> context_;
  SSL* ssl_ = nullptr;
  BIO* in_ = nullptr;   // owned by ssl_
  BIO* out_ = nullptr;  // owned by ssl_
  state state_ = state::handshaking;
  str plain_in_;
  str plain_out_;  // written before the handshake completed
  str error_;
  str description_;
};
