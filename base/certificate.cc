#include "base/certificate.h"

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <ctime>

#include "base/ip_port.h"

namespace {

// Small owners of OpenSSL objects for the length of one call.
struct bio_holder {
  BIO* b;
  explicit bio_holder(BIO* p) : b(p) {}
  ~bio_holder() { BIO_free(b); }
};
struct key_holder {
  EVP_PKEY* k = nullptr;
  ~key_holder() { EVP_PKEY_free(k); }
};
struct x509_holder {
  X509* x = nullptr;
  ~x509_holder() { X509_free(x); }
};

str bio_text(BIO* b) {
  char* data = nullptr;
  long n = BIO_get_mem_data(b, &data);
  return n > 0 && data ? str(data, static_cast<size_t>(n)) : str();
}

BIO* memory_reader(const str& text) {
  return BIO_new_mem_buf(text.cbuffer(), static_cast<int>(text.length()));
}

bool add_extension(X509* cert, int nid, const char* value) {
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, cert, cert, nullptr, nullptr, 0);
  X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
  if (!ext) return false;
  bool ok = X509_add_ext(cert, ext, -1) == 1;
  X509_EXTENSION_free(ext);
  return ok;
}

str name_cn(const X509_NAME* name) {
  if (!name) return str();
  int i = X509_NAME_get_index_by_NID(name, NID_commonName, -1);
  if (i < 0) return str();
  const ASN1_STRING* s = X509_NAME_ENTRY_get_data(X509_NAME_get_entry(name, i));
  unsigned char* utf8 = nullptr;
  int n = ASN1_STRING_to_UTF8(&utf8, s);
  if (n < 0) return str();
  str out(utf8, static_cast<size_t>(n));
  OPENSSL_free(utf8);
  return out;
}

int64_t asn1_time_seconds(const ASN1_TIME* t) {
  struct tm tm = {};
  if (!t || ASN1_TIME_to_tm(t, &tm) != 1) return 0;
  return static_cast<int64_t>(timegm(&tm));
}

X509* read_x509(const str& pem) {
  bio_holder in(memory_reader(pem));
  return in.b ? PEM_read_bio_X509(in.b, nullptr, nullptr, nullptr) : nullptr;
}

}  // namespace

bool generate_self_signed_certificate(const str& host, int64_t now_s, certificate_pair& out,
                                      certificate_key_type type, int days) {
  out = certificate_pair();
  str h = host.strip();
  if (h.empty() || days <= 0) return false;
  key_holder key;
  key.k = type == certificate_key_type::rsa_2048 ? EVP_RSA_gen(2048) : EVP_EC_gen("P-256");
  if (!key.k) return false;

  x509_holder cert;
  cert.x = X509_new();
  if (!cert.x || X509_set_version(cert.x, 2) != 1) return false;

  unsigned char serial_bytes[16];
  if (RAND_bytes(serial_bytes, sizeof serial_bytes) != 1) return false;
  serial_bytes[0] &= 0x7f;  // a positive serial
  BIGNUM* serial_bn = BN_bin2bn(serial_bytes, sizeof serial_bytes, nullptr);
  if (!serial_bn) return false;
  ASN1_INTEGER* serial = BN_to_ASN1_INTEGER(serial_bn, nullptr);
  BN_free(serial_bn);
  if (!serial) return false;
  bool ok = X509_set_serialNumber(cert.x, serial) == 1;
  ASN1_INTEGER_free(serial);
  if (!ok) return false;

  time_t start = static_cast<time_t>(now_s);
  if (!X509_time_adj_ex(X509_getm_notBefore(cert.x), -1, 0, &start) ||
      !X509_time_adj_ex(X509_getm_notAfter(cert.x), days, 0, &start)) {
    return false;
  }

  X509_NAME* name = X509_get_subject_name(cert.x);
  if (X509_NAME_add_entry_by_NID(name, NID_commonName, MBSTRING_UTF8,
                                 reinterpret_cast<const unsigned char*>(h.c_str()), -1, -1,
                                 0) != 1 ||
      X509_set_issuer_name(cert.x, name) != 1 || X509_set_pubkey(cert.x, key.k) != 1) {
    return false;
  }

  str address = ip_address_parse(h);
  str san = address.empty() ? "DNS:" + h : "IP:" + ip_address_readable(address);
  if (!add_extension(cert.x, NID_subject_alt_name, san.c_str()) ||
      !add_extension(cert.x, NID_basic_constraints, "critical,CA:FALSE") ||
      !add_extension(cert.x, NID_key_usage, "critical,digitalSignature,keyEncipherment") ||
      !add_extension(cert.x, NID_ext_key_usage, "serverAuth,clientAuth") ||
      !add_extension(cert.x, NID_subject_key_identifier, "hash")) {
    return false;
  }
  if (X509_sign(cert.x, key.k, EVP_sha256()) <= 0) return false;

  bio_holder key_out(BIO_new(BIO_s_mem()));
  bio_holder cert_out(BIO_new(BIO_s_mem()));
  if (!key_out.b || !cert_out.b ||
      PEM_write_bio_PrivateKey(key_out.b, key.k, nullptr, nullptr, 0, nullptr, nullptr) != 1 ||
      PEM_write_bio_X509(cert_out.b, cert.x) != 1) {
    ERR_clear_error();
    return false;
  }
  out.key_pem = bio_text(key_out.b);
  out.certificate_pem = bio_text(cert_out.b);
  return !out.key_pem.empty() && !out.certificate_pem.empty();
}

bool read_certificate_info(const str& certificate_pem, certificate_info& info) {
  info = certificate_info();
  x509_holder cert;
  cert.x = read_x509(certificate_pem);
  if (!cert.x) {
    ERR_clear_error();
    return false;
  }
  info.subject_cn = name_cn(X509_get_subject_name(cert.x));
  info.issuer_cn = name_cn(X509_get_issuer_name(cert.x));
  info.not_before_s = asn1_time_seconds(X509_get0_notBefore(cert.x));
  info.not_after_s = asn1_time_seconds(X509_get0_notAfter(cert.x));

  auto* sans =
      static_cast<GENERAL_NAMES*>(X509_get_ext_d2i(cert.x, NID_subject_alt_name, nullptr, nullptr));
  for (int i = 0; sans && i < sk_GENERAL_NAME_num(sans); i++) {
    const GENERAL_NAME* g = sk_GENERAL_NAME_value(sans, i);
    if (g->type == GEN_DNS) {
      const ASN1_IA5STRING* s = g->d.dNSName;
      info.names.push_back(str(ASN1_STRING_get0_data(s), ASN1_STRING_length(s)));
    } else if (g->type == GEN_IPADD) {
      const ASN1_OCTET_STRING* s = g->d.iPAddress;
      info.names.push_back(
          ip_address_readable(str(ASN1_STRING_get0_data(s), ASN1_STRING_length(s))));
    }
  }
  GENERAL_NAMES_free(sans);

  EVP_PKEY* key = X509_get0_pubkey(cert.x);
  if (key) {
    int id = EVP_PKEY_get_base_id(key);
    info.key_type = id == EVP_PKEY_EC    ? str("EC")
                    : id == EVP_PKEY_RSA ? str("RSA")
                                         : str(OBJ_nid2sn(id));
    info.key_bits = EVP_PKEY_get_bits(key);
    info.self_signed =
        X509_NAME_cmp(X509_get_subject_name(cert.x), X509_get_issuer_name(cert.x)) == 0 &&
        X509_verify(cert.x, key) == 1;
  }
  ERR_clear_error();
  return true;
}

bool certificate_matches_key(const str& certificate_pem, const str& key_pem) {
  x509_holder cert;
  cert.x = read_x509(certificate_pem);
  key_holder key;
  bio_holder in(memory_reader(key_pem));
  if (in.b) key.k = PEM_read_bio_PrivateKey(in.b, nullptr, nullptr, nullptr);
  bool ok = cert.x && key.k && X509_check_private_key(cert.x, key.k) == 1;
  ERR_clear_error();
  return ok;
}
