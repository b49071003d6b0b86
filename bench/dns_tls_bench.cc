// The DNS client and the TLS engine of the SIP transport, each beside the library it wraps:
// - decoding a NAPTR/SRV/A answer into cache texts vs ldns's bare ldns_wire2pkt;
// - one resolver round (request, answer, callback) and a cache hit among 10,000 entries;
// - an in-memory TLS handshake (ECDSA P-256 and RSA 2048) through tls_session vs the same
//   handshake on bare OpenSSL SSL objects over a BIO pair;
// - 64 KiB of application data through an established session pair;
// - generating a self-signed certificate.
// The ratios compare CPU time: wall time is meaningless on a loaded build machine.
#include <benchmark/benchmark.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>

#include <cstdio>
#include <map>
#include <string>

#include "base/certificate.h"
#include "base/tls.h"
#include "bench/ratio_reporter.h"
#include "sip/dns_resolver.h"
#include "sip/dns_test_answers.h"

namespace {

str naptr_answer() {
  dns_test_answer t;
  t.id = 0x4242;
  t.qname = "example.com";
  t.qtype = dns_type::naptr;
  t.answers = {
      "example.com. 300 IN NAPTR 10 50 \"S\" \"SIPS+D2T\" \"\" _sips._tcp.example.com.",
      "example.com. 300 IN NAPTR 20 50 \"S\" \"SIP+D2T\" \"\" _sip._tcp.example.com.",
      "example.com. 300 IN NAPTR 30 50 \"S\" \"SIP+D2U\" \"\" _sip._udp.example.com.",
      "_sip._udp.example.com. 300 IN SRV 10 60 5060 sip1.example.com.",
      "_sip._udp.example.com. 300 IN SRV 10 40 5060 sip2.example.com.",
      "sip1.example.com. 300 IN A 192.0.2.1",
      "sip2.example.com. 300 IN A 192.0.2.2",
  };
  return t.build();
}

void BM_dns_decode_answer(benchmark::State& state) {
  const str wire = naptr_answer();
  for (auto _ : state) {
    dns_answer a;
    benchmark::DoNotOptimize(dns_decode_answer(wire, a));
  }
}

void BM_ldns_wire2pkt(benchmark::State& state) {
  const str wire = naptr_answer();
  for (auto _ : state) {
    ldns_pkt* p = nullptr;
    benchmark::DoNotOptimize(
        ldns_wire2pkt(&p, reinterpret_cast<const uint8_t*>(wire.cbuffer()), wire.length()));
    ldns_pkt_free(p);
  }
}

class null_transport : public dns_transport {
 public:
  bool send(const str&, const ip_port&) override { return true; }
};
void nothing(int) {}

void BM_dns_resolver_round(benchmark::State& state) {
  timeout_queue queue;
  null_transport transport;
  dns_resolver resolver(&queue);
  resolver.set_transport(&transport);
  const ip_port server = ip_port::from_text(str("192.0.2.53:53"));
  resolver.set_servers({server});
  dns_test_answer t;
  t.qname = "_sip._udp.example.com";
  t.qtype = dns_type::srv;
  t.answers = {"_sip._udp.example.com. 300 IN SRV 10 60 5060 sip1.example.com."};
  const str wire = t.build();
  for (auto _ : state) {
    resolver.request_dns(str("_sip._udp.example.com"), dns_type::srv,
                         callback_argument(nothing, 0));
    int id = resolver.query_id(str("_sip._udp.example.com"), dns_type::srv);
    resolver.on_pdu_available(
        str::bytes({static_cast<uint8_t>(id >> 8), static_cast<uint8_t>(id)}) + wire.substr(2),
        server);
    resolver.clear_cache();
  }
}

void BM_dns_cache_hit(benchmark::State& state) {
  timeout_queue queue;
  null_transport transport;
  dns_resolver resolver(&queue);
  resolver.set_transport(&transport);
  const ip_port server = ip_port::from_text(str("192.0.2.53:53"));
  resolver.set_servers({server});
  for (int i = 0; i < 10000; i++) {
    std::string name = "host" + std::to_string(i) + ".example.com";
    resolver.request_dns(str(name), dns_type::a, callback_argument(nothing, 0));
    dns_test_answer t;
    t.id = static_cast<uint16_t>(resolver.query_id(str(name), dns_type::a));
    t.qname = name;
    t.answers = {name + ". 3600 IN A 192.0.2.7"};
    resolver.on_pdu_available(t.build(), server);
  }
  const str name("host4711.example.com");
  str result;
  for (auto _ : state) benchmark::DoNotOptimize(resolver.cache_lookup(name, dns_type::a, result));
}

const certificate_pair& credentials(bool rsa) {
  static certificate_pair ec, r;
  certificate_pair& p = rsa ? r : ec;
  if (p.key_pem.empty()) {
    generate_self_signed_certificate(
        str("pbx.example.com"), 1767225600, p,
        rsa ? certificate_key_type::rsa_2048 : certificate_key_type::ec_p256);
  }
  return p;
}

void shuttle(tls_session& a, tls_session& b) {
  for (int i = 0; i < 20; i++) {
    str ab = a.take_output(), ba = b.take_output();
    if (ab.empty() && ba.empty()) return;
    if (!ab.empty()) b.on_input(ab);
    if (!ba.empty()) a.on_input(ba);
  }
}

void BM_tls_handshake(benchmark::State& state) {
  const certificate_pair& p = credentials(state.range(0) != 0);
  auto server_ctx = tls_context::make_server(p.certificate_pem, p.key_pem);
  auto client_ctx = tls_context::make_client();
  for (auto _ : state) {
    tls_session server(server_ctx);
    tls_session client(client_ctx, str("pbx.example.com"));
    shuttle(client, server);
    if (!server.established()) state.SkipWithError("no handshake");
  }
}

// The same handshake on bare OpenSSL objects: two SSLs joined by a BIO pair.
void BM_openssl_handshake(benchmark::State& state) {
  const certificate_pair& p = credentials(state.range(0) != 0);
  auto server_ctx = tls_context::make_server(p.certificate_pem, p.key_pem);
  auto client_ctx = tls_context::make_client();
  for (auto _ : state) {
    SSL* s = SSL_new(server_ctx->native());
    SSL* c = SSL_new(client_ctx->native());
    BIO *bs = nullptr, *bc = nullptr;
    BIO_new_bio_pair(&bs, 0, &bc, 0);
    SSL_set_bio(s, bs, bs);
    SSL_set_bio(c, bc, bc);
    SSL_set_accept_state(s);
    SSL_set_connect_state(c);
    SSL_set_tlsext_host_name(c, "pbx.example.com");
    for (int i = 0; i < 20 && !(SSL_is_init_finished(s) && SSL_is_init_finished(c)); i++) {
      SSL_do_handshake(c);
      SSL_do_handshake(s);
    }
    if (!SSL_is_init_finished(s)) state.SkipWithError("no handshake");
    SSL_free(s);
    SSL_free(c);
    ERR_clear_error();
  }
}

void BM_tls_transfer_64k(benchmark::State& state) {
  const certificate_pair& p = credentials(false);
  tls_session server(tls_context::make_server(p.certificate_pem, p.key_pem));
  tls_session client(tls_context::make_client(), str("pbx.example.com"));
  shuttle(client, server);
  const str block(std::string(65536, 'x'));
  for (auto _ : state) {
    server.write(block);
    client.on_input(server.take_output());
    benchmark::DoNotOptimize(client.take_plain());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 65536);
}

void BM_certificate_generate(benchmark::State& state) {
  const auto type = state.range(0) ? certificate_key_type::rsa_2048 : certificate_key_type::ec_p256;
  for (auto _ : state) {
    certificate_pair p;
    benchmark::DoNotOptimize(
        generate_self_signed_certificate(str("pbx.example.com"), 1767225600, p, type));
  }
}

BENCHMARK(BM_dns_decode_answer);
BENCHMARK(BM_ldns_wire2pkt);
BENCHMARK(BM_dns_resolver_round);
BENCHMARK(BM_dns_cache_hit);
BENCHMARK(BM_tls_handshake)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_openssl_handshake)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_tls_transfer_64k)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_certificate_generate)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  ratio_reporter reporter(ratio_reporter::measure::cpu_time);
  benchmark::RunSpecifiedBenchmarks(&reporter);
  std::printf("\n");
  reporter.print_ratio("DNS answer to texts vs ldns parse", "BM_dns_decode_answer",
                       "BM_ldns_wire2pkt");
  reporter.print_ratio("TLS handshake EC vs bare OpenSSL", "BM_tls_handshake/0",
                       "BM_openssl_handshake/0");
  reporter.print_ratio("TLS handshake RSA vs bare OpenSSL", "BM_tls_handshake/1",
                       "BM_openssl_handshake/1");
  return 0;
}
