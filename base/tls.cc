#include "base/tls.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include "base/ip_port.h"
#include "base/log.h"

namespace {

// The oldest error of this thread's OpenSSL queue as text (the queue is then cleared, so that
// one connection's failure never shows up in another's).
str openssl_error(const char* what) {
  unsigned long e = ERR_get_error();
  char buf[256];
  str out(what);
  if (e) {
    ERR_error_string_n(e, buf, sizeof buf);
    out += ": ";
    out += buf;
  }
  ERR_clear_error();
  return out;
}

// Every certificate a server or client presents is accepted here; judging it is up to the
// application (peer_certificate()).
int accept_any(int, X509_STORE_CTX*) { return 1; }

SSL_CTX* new_ctx() {
  SSL_CTX* ctx = SSL_CTX_new(TLS_method());
  if (!ctx) return nullptr;
  SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
  // Idle sessions give their record buffers back: thousands of connected phones stay idle
  // most of the time.
  SSL_CTX_set_mode(ctx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER |
                            SSL_MODE_RELEASE_BUFFERS);
  return ctx;
}

// Loads certificate (with chain) and key into ctx; the text of the failure, or empty.
str load_credentials(SSL_CTX* ctx, const str& certificate_pem, const str& key_pem) {
  BIO* in = BIO_new_mem_buf(certificate_pem.cbuffer(), static_cast<int>(certificate_pem.length()));
  if (!in) return openssl_error("no memory");
  X509* cert = PEM_read_bio_X509(in, nullptr, nullptr, nullptr);
  str failure;
  if (!cert || SSL_CTX_use_certificate(ctx, cert) != 1) {
    failure = openssl_error("certificate does not load");
  } else {
    ERR_clear_error();
    while (X509* chain = PEM_read_bio_X509(in, nullptr, nullptr, nullptr)) {
      if (SSL_CTX_add0_chain_cert(ctx, chain) != 1) X509_free(chain);
    }
    ERR_clear_error();  // the end of the PEM text reads as an error
  }
  X509_free(cert);
  BIO_free(in);
  if (!failure.empty()) return failure;

  in = BIO_new_mem_buf(key_pem.cbuffer(), static_cast<int>(key_pem.length()));
  EVP_PKEY* key = in ? PEM_read_bio_PrivateKey(in, nullptr, nullptr, nullptr) : nullptr;
  BIO_free(in);
  if (!key) {
    failure = openssl_error("private key does not load");
  } else if (SSL_CTX_use_PrivateKey(ctx, key) != 1 || SSL_CTX_check_private_key(ctx) != 1) {
    failure = openssl_error("private key does not match the certificate");
  }
  EVP_PKEY_free(key);
  return failure;
}

}  // namespace

std::shared_ptr<tls_context> tls_context::make_server(const str& certificate_pem,
                                                      const str& key_pem,
                                                      bool request_client_certificate, str* error) {
  SSL_CTX* ctx = new_ctx();
  if (!ctx) {
    if (error) *error = openssl_error("no TLS context");
    return nullptr;
  }
  str failure = load_credentials(ctx, certificate_pem, key_pem);
  if (!failure.empty()) {
    if (error) *error = failure;
    SSL_CTX_free(ctx);
    return nullptr;
  }
  SSL_CTX_set_verify(ctx, request_client_certificate ? SSL_VERIFY_PEER : SSL_VERIFY_NONE,
                     request_client_certificate ? accept_any : nullptr);
  return std::shared_ptr<tls_context>(new tls_context(ctx, true));
}

std::shared_ptr<tls_context> tls_context::make_client(const str& certificate_pem,
                                                      const str& key_pem, str* error) {
  SSL_CTX* ctx = new_ctx();
  if (!ctx) {
    if (error) *error = openssl_error("no TLS context");
    return nullptr;
  }
  if (!certificate_pem.empty()) {
    str failure = load_credentials(ctx, certificate_pem, key_pem);
    if (!failure.empty()) {
      if (error) *error = failure;
      SSL_CTX_free(ctx);
      return nullptr;
    }
  }
  SSL_CTX_set_verify(ctx, SSL_VERIFY_NONE, nullptr);
  return std::shared_ptr<tls_context>(new tls_context(ctx, false));
}

tls_context::~tls_context() { SSL_CTX_free(ctx_); }

tls_session::tls_session(std::shared_ptr<tls_context> context, const str& server_name)
    : context_(std::move(context)) {
  if (!context_) {
    fail("no TLS context");
    return;
  }
  ssl_ = SSL_new(context_->native());
  in_ = BIO_new(BIO_s_mem());
  out_ = BIO_new(BIO_s_mem());
  if (!ssl_ || !in_ || !out_) {
    BIO_free(in_);
    BIO_free(out_);
    in_ = out_ = nullptr;
    fail("no memory for the TLS session");
    return;
  }
  // An empty input BIO means "wait for more", not end of file.
  BIO_set_mem_eof_return(in_, -1);
  BIO_set_mem_eof_return(out_, -1);
  SSL_set_bio(ssl_, in_, out_);
  if (context_->is_server()) {
    SSL_set_accept_state(ssl_);
  } else {
    SSL_set_connect_state(ssl_);
    str name = server_name.strip();
    if (!name.empty() && ip_address_parse(name).empty()) {
      SSL_set_tlsext_host_name(ssl_, name.c_str());
    }
    pump();  // the ClientHello
  }
}

tls_session::~tls_session() { SSL_free(ssl_); }  // frees both BIOs

void tls_session::fail(const char* what) {
  state_ = state::failed;
  error_ = openssl_error(what);
  log_printf(log_tls, 4, "TLS %s: %s", description_, error_);
}

void tls_session::pump() {
  if (state_ == state::failed || state_ == state::closed) return;
  ERR_clear_error();
  if (state_ == state::handshaking) {
    int r = SSL_do_handshake(ssl_);
    if (r != 1) {
      int e = SSL_get_error(ssl_, r);
      if (e != SSL_ERROR_WANT_READ && e != SSL_ERROR_WANT_WRITE) fail("handshake failed");
      return;
    }
    state_ = state::established;
  }
  for (;;) {
    char buf[16384];
    int n = SSL_read(ssl_, buf, sizeof buf);
    if (n > 0) {
      plain_in_.append(buf, static_cast<size_t>(n));
      continue;
    }
    int e = SSL_get_error(ssl_, n);
    if (e == SSL_ERROR_ZERO_RETURN) {
      // The peer's close_notify: answer it and stop.
      SSL_shutdown(ssl_);
      state_ = state::closed;
      return;
    }
    if (e != SSL_ERROR_WANT_READ && e != SSL_ERROR_WANT_WRITE) {
      fail("read failed");
      return;
    }
    break;
  }
  while (!plain_out_.empty()) {
    int n = SSL_write(ssl_, plain_out_.cbuffer(), static_cast<int>(plain_out_.length()));
    if (n <= 0) {
      int e = SSL_get_error(ssl_, n);
      if (e != SSL_ERROR_WANT_READ && e != SSL_ERROR_WANT_WRITE) fail("write failed");
      return;
    }
    plain_out_ = plain_out_.substr(static_cast<size_t>(n));
  }
}

bool tls_session::on_input(const str& bytes) {
  if (state_ == state::failed || state_ == state::closed) return false;
  if (!bytes.empty()) {
    int n = BIO_write(in_, bytes.cbuffer(), static_cast<int>(bytes.length()));
    if (n != static_cast<int>(bytes.length())) {
      fail("no memory for the input");
      return false;
    }
  }
  pump();
  return state_ == state::handshaking || state_ == state::established;
}

bool tls_session::write(const str& plain) {
  if (state_ == state::failed || state_ == state::closed) return false;
  plain_out_ += plain;
  if (state_ == state::established) pump();
  return state_ == state::handshaking || state_ == state::established;
}

str tls_session::take_plain() {
  str out = plain_in_;
  plain_in_.clear();
  return out;
}

str tls_session::take_output() {
  if (!out_) return str();
  size_t n = BIO_ctrl_pending(out_);
  if (n == 0) return str();
  str out;
  char* p = out.extend(n);
  int got = BIO_read(out_, p, static_cast<int>(n));
  out.truncate(got > 0 ? static_cast<size_t>(got) : 0);
  return out;
}

void tls_session::close() {
  if (state_ == state::established || state_ == state::handshaking) {
    ERR_clear_error();
    if (state_ == state::established) SSL_shutdown(ssl_);
    ERR_clear_error();
    state_ = state::closed;
  }
}

str tls_session::peer_certificate() const {
  if (!ssl_) return str();
  X509* cert = SSL_get1_peer_certificate(ssl_);
  if (!cert) return str();
  BIO* b = BIO_new(BIO_s_mem());
  str out;
  if (b && PEM_write_bio_X509(b, cert) == 1) {
    char* data = nullptr;
    long n = BIO_get_mem_data(b, &data);
    if (n > 0) out = str(data, static_cast<size_t>(n));
  }
  BIO_free(b);
  X509_free(cert);
  return out;
}

str tls_session::protocol() const {
  return ssl_ && state_ != state::handshaking ? str(SSL_get_version(ssl_)) : str();
}

str tls_session::cipher() const {
  if (!ssl_ || state_ == state::handshaking) return str();
  const SSL_CIPHER* c = SSL_get_current_cipher(ssl_);
  return c ? str(SSL_CIPHER_get_name(c)) : str();
}
