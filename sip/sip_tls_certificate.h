// The server certificate of SIP over TLS: loaded from the certificate store at start, or, when
// the store holds none, made once (self-signed, for the system's host name), stored there and
// used from then on, so that a restart presents the same certificate.
//
// srv side for the result (the TLS context of accepted connections); runs once during
// single-threaded start-up, which is also when the store (the certificates table, ctrl side)
// may be touched.
#pragma once

#include <cstdint>

#include "base/certificate.h"
#include "base/str.h"

// Where the certificate and key are kept; the process implements it on the certificates table.
class certificate_store {
 public:
  virtual ~certificate_store() = default;
  // The stored server certificate and key (PEM); false when there is none.
  virtual bool load(certificate_pair& out) = 0;
  // Stores a certificate made for subject; false when it could not be stored.
  virtual bool save(const certificate_pair& pair, const str& subject) = 0;
};

// Loads the certificate from store (a stored one whose key does not fit is logged and
// replaced), or generates one for host at now_s, saves it and logs "TLS: Generated a
// self-signed certificate for %s" (group TLS, level 2). Installs the result with
// set_sip_tls_server_context. false when no usable certificate could be installed (TLS
// connections are then refused).
bool setup_sip_tls_certificate(certificate_store& store, const str& host, int64_t now_s);
