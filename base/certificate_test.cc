#include "base/certificate.h"

#include <gtest/gtest.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>
#include <rapidcheck.h>

#include <string>

namespace {

constexpr int64_t now_s = 1767225600;  // 2026-01-01 00:00:00 UTC

// Verifies cert as its own trust anchor at the time at_s, with the TLS-server purpose and
// host name check; the X509_V_ code (validity and names are read by describe()).
int verify_at(const str& pem, int64_t at_s, const char* host) {
  BIO* in = BIO_new_mem_buf(pem.cbuffer(), static_cast<int>(pem.length()));
  X509* cert = PEM_read_bio_X509(in, nullptr, nullptr, nullptr);
  BIO_free(in);
  if (!cert) return -1;
  X509_STORE* store = X509_STORE_new();
  X509_STORE_add_cert(store, cert);
  X509_STORE_CTX* ctx = X509_STORE_CTX_new();
  X509_STORE_CTX_init(ctx, store, cert, nullptr);
  X509_VERIFY_PARAM* param = X509_STORE_CTX_get0_param(ctx);
  X509_VERIFY_PARAM_set_time(param, static_cast<time_t>(at_s));
  X509_VERIFY_PARAM_set_purpose(param, X509_PURPOSE_SSL_SERVER);
  if (host) X509_VERIFY_PARAM_set1_host(param, host, 0);
  int ok = X509_verify_cert(ctx);
  int code = ok == 1 ? X509_V_OK : X509_STORE_CTX_get_error(ctx);
  X509_STORE_CTX_free(ctx);
  X509_STORE_free(store);
  X509_free(cert);
  ERR_clear_error();
  return code;
}

// A certificate's fields as one line; validity in days from now_s, "?" when unreadable.
std::string describe(const str& pem) {
  certificate_info i;
  if (!read_certificate_info(pem, i)) return "?";
  std::string out = "cn=" + std::string(i.subject_cn.view()) +
                    " issuer=" + std::string(i.issuer_cn.view()) + " names=";
  for (const str& n : i.names) out += std::string(n.view()) + ",";
  return out + " days=" + std::to_string((i.not_before_s - now_s) / 86400) + ".." +
         std::to_string((i.not_after_s - now_s) / 86400) + (i.self_signed ? " self " : " ") +
         std::string(i.key_type.view()) + "/" + std::to_string(i.key_bits);
}

}  // namespace

TEST(Certificate, SelfSignedEcCertificateNamesTheHost) {
  certificate_pair p;
  ASSERT_TRUE(generate_self_signed_certificate(str("pbx.example.com"), now_s, p));
  // The PEM texts are read by OpenSSL here and by openssl s_client in SipTcpTlsE2E.
  EXPECT_EQ(describe(p.certificate_pem),
            "cn=pbx.example.com issuer=pbx.example.com names=pbx.example.com, days=-1..3650 self "
            "EC/256");
  EXPECT_TRUE(certificate_matches_key(p.certificate_pem, p.key_pem));
  EXPECT_EQ(verify_at(p.certificate_pem, now_s, "pbx.example.com"), X509_V_OK);
  // Another certificate's key does not match: SipTlsCertificate.GeneratedSelfSignedAndAForeignKey.
}

// An address as the host is an IP name in its canonical form. (The product generates EC keys
// for the default validity only; an RSA certificate is read in Tls.RsaServerAndTls12.)
TEST(Certificate, AddressHost) {
  certificate_pair p;
  ASSERT_TRUE(generate_self_signed_certificate(str(" 2001:DB8::5 "), now_s, p));
  EXPECT_EQ(describe(p.certificate_pem),
            "cn=2001:DB8::5 issuer=2001:DB8::5 names=2001:db8::5, days=-1..3650 self EC/256");
}

TEST(Certificate, FailuresAreReturnValues) {
  certificate_pair p;
  EXPECT_FALSE(generate_self_signed_certificate(str(""), now_s, p));
  EXPECT_FALSE(generate_self_signed_certificate(str("   "), now_s, p));
  EXPECT_TRUE(p.key_pem.empty() && p.certificate_pem.empty());
  EXPECT_EQ(describe(str("")) +
                describe(str("-----BEGIN CERTIFICATE-----\nAAAA\n-----END CERTIFICATE-----\n")),
            "??");
  EXPECT_FALSE(certificate_matches_key(str("x"), str("y")));
  EXPECT_EQ(ERR_peek_error(), 0u) << "no error left in this thread's OpenSSL queue";
}

TEST(Certificate, DamagedPemNeverCrashes) {
  certificate_pair p;
  ASSERT_TRUE(generate_self_signed_certificate(str("x.example"), now_s, p));
  const std::string pem(p.certificate_pem.view());
  EXPECT_TRUE(rc::check([&](uint32_t pos, uint8_t b) {
    std::string damaged = pem;
    damaged[pos % damaged.size()] = static_cast<char>(b);
    certificate_info info;
    if (read_certificate_info(str(damaged), info)) RC_ASSERT(info.not_after_s >= 0);
    RC_ASSERT(ERR_peek_error() == 0u);
  }));
}
