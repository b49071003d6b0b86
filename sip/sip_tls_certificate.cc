#include "sip/sip_tls_certificate.h"

#include "base/log.h"
#include "base/tls.h"
#include "sip/sip_connection.h"

bool setup_sip_tls_certificate(certificate_store& store, const str& host, int64_t now_s) {
  certificate_pair pair;
  if (store.load(pair)) {
    str error;
    std::shared_ptr<tls_context> ctx =
        tls_context::make_server(pair.certificate_pem, pair.key_pem, false, &error);
    if (ctx) {
      log_printf(log_tls, 5, "TLS: Using the stored server certificate");
      set_sip_tls_server_context(ctx);
      return true;
    }
    log_printf(log_tls, 1, "TLS: The stored server certificate cannot be used: %s", error);
  }
  str subject = host.empty() ? str("localhost") : host;
  if (!generate_self_signed_certificate(subject, now_s, pair)) {
    log_printf(log_tls, 0, "TLS: Could not generate a certificate for %s", subject);
    set_sip_tls_server_context(nullptr);
    return false;
  }
  str error;
  std::shared_ptr<tls_context> ctx =
      tls_context::make_server(pair.certificate_pem, pair.key_pem, false, &error);
  if (!ctx) {
    log_printf(log_tls, 0, "TLS: Could not use the generated certificate: %s", error);
    set_sip_tls_server_context(nullptr);
    return false;
  }
  if (!store.save(pair, subject)) {
    log_printf(log_tls, 1, "TLS: Could not store the certificate for %s", subject);
  }
  log_printf(log_tls, 2, "TLS: Generated a self-signed certificate for %s", subject);
  set_sip_tls_server_context(ctx);
  return true;
}
