// The small helpers on hot paths, each beside the library routine it competes with:
// - md5_hex of a Via-branch text (every request sent) vs OpenSSL's EVP_Digest with its
//   implicit fetch and our hex;
// - HMAC-SHA1 of an RTP packet with a reused hmac_context (SRTP) vs a one-shot hmac_sha1;
// - AES-CM keystream of a 160-byte packet;
// - base64 of 1 KiB vs OpenSSL's EVP_EncodeBlock/EVP_DecodeBlock;
// - a 32-digit nonce from our generator vs std::mt19937_64;
// - parsing and printing an address vs inet_pton/inet_ntop.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <cstdio>
#include <map>
#include <random>
#include <string>

#include "base/aes.h"
#include "base/digest.h"
#include "base/encoding.h"
#include "base/ip_port.h"
#include "base/random.h"
#include "base/str.h"
#include "bench/ratio_reporter.h"

namespace {

const str branch_text("8d1f0c4e5b6a7980-1a2b3c4d@192.168.1.20 z9hG4bK-524287-1 102 INVITE");

void BM_md5_hex(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(md5_hex(branch_text).length());
}

void BM_md5_hex_implicit_fetch(benchmark::State& state) {
  for (auto _ : state) {
    unsigned char out[16];
    unsigned int len = 0;
    EVP_Digest(branch_text.cbuffer(), branch_text.length(), out, &len, EVP_md5(), nullptr);
    benchmark::DoNotOptimize(hex_encode(str(out, len)).length());
  }
}

const str packet(std::string(172, 'p').c_str());
const str srtp_key(std::string(20, 'k').c_str());

void BM_hmac_sha1_context(benchmark::State& state) {
  hmac_context ctx(digest_algorithm::sha1, srtp_key);
  for (auto _ : state) {
    ctx.update(packet);
    benchmark::DoNotOptimize(ctx.final().length());
  }
}

void BM_hmac_sha1_one_shot(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(hmac_sha1(srtp_key, packet).length());
}

void BM_aes_ctr_packet(benchmark::State& state) {
  aes_cipher c;
  c.set_key(str(std::string(16, 'K').c_str()));
  const str iv(std::string(16, 'i').c_str());
  uint8_t buf[160] = {};
  for (auto _ : state) {
    c.ctr(iv, buf, buf, sizeof buf);
    benchmark::DoNotOptimize(buf[0]);
  }
}

std::string kib() {
  std::string s(1024, 0);
  for (size_t i = 0; i < s.size(); ++i) s[i] = static_cast<char>(i * 7 + 3);
  return s;
}
const std::string data_1k = kib();

void BM_base64_encode(benchmark::State& state) {
  const str d(data_1k.data(), data_1k.size());
  for (auto _ : state) benchmark::DoNotOptimize(base64_encode(d).length());
}

void BM_base64_encode_openssl(benchmark::State& state) {
  std::string out(1400, 0);
  for (auto _ : state) {
    benchmark::DoNotOptimize(EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                             reinterpret_cast<const unsigned char*>(data_1k.data()),
                                             static_cast<int>(data_1k.size())));
  }
}

void BM_base64_decode(benchmark::State& state) {
  const str enc = base64_encode(str(data_1k.data(), data_1k.size()));
  for (auto _ : state) benchmark::DoNotOptimize(base64_decode(enc).length());
}

void BM_base64_decode_openssl(benchmark::State& state) {
  const str enc = base64_encode(str(data_1k.data(), data_1k.size()));
  std::string out(1100, 0);
  for (auto _ : state) {
    benchmark::DoNotOptimize(EVP_DecodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                             reinterpret_cast<const unsigned char*>(enc.cbuffer()),
                                             static_cast<int>(enc.length())));
  }
}

void BM_random_hex32(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(random_hex(32).length());
}

void BM_random_hex32_mt19937(benchmark::State& state) {
  std::mt19937_64 gen(42);
  for (auto _ : state) {
    str out;
    char* o = out.extend(32);
    for (int i = 0; i < 32; i += 16) {
      uint64_t v = gen();
      for (int k = 0; k < 16; ++k, v >>= 4) o[i + k] = "0123456789abcdef"[v & 15];
    }
    benchmark::DoNotOptimize(out.length());
  }
}

void BM_ip_port_parse_readable(benchmark::State& state) {
  const str v4("192.168.101.20:5060"), v6("[2001:db8:85a3::8a2e:370:7334]:5061");
  for (auto _ : state) {
    ip_port a, b;
    a.parse(v4);
    b.parse(v6);
    benchmark::DoNotOptimize(a.readable().length() + b.readable().length());
  }
}

void BM_inet_pton_ntop(benchmark::State& state) {
  for (auto _ : state) {
    in_addr a;
    in6_addr b;
    inet_pton(AF_INET, "192.168.101.20", &a);
    inet_pton(AF_INET6, "2001:db8:85a3::8a2e:370:7334", &b);
    char x[INET6_ADDRSTRLEN], y[INET6_ADDRSTRLEN];
    inet_ntop(AF_INET, &a, x, sizeof x);
    inet_ntop(AF_INET6, &b, y, sizeof y);
    benchmark::DoNotOptimize(x[0] + y[0]);
  }
}

BENCHMARK(BM_md5_hex);
BENCHMARK(BM_md5_hex_implicit_fetch);
BENCHMARK(BM_hmac_sha1_context);
BENCHMARK(BM_hmac_sha1_one_shot);
BENCHMARK(BM_aes_ctr_packet);
BENCHMARK(BM_base64_encode);
BENCHMARK(BM_base64_encode_openssl);
BENCHMARK(BM_base64_decode);
BENCHMARK(BM_base64_decode_openssl);
BENCHMARK(BM_random_hex32);
BENCHMARK(BM_random_hex32_mt19937);
BENCHMARK(BM_ip_port_parse_readable);
BENCHMARK(BM_inet_pton_ntop);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  ratio_reporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  std::printf("\n");
  reporter.print_ratio("md5_hex vs implicit fetch", "BM_md5_hex", "BM_md5_hex_implicit_fetch");
  reporter.print_ratio("hmac context vs one-shot", "BM_hmac_sha1_context", "BM_hmac_sha1_one_shot");
  reporter.print_ratio("base64 encode vs OpenSSL", "BM_base64_encode", "BM_base64_encode_openssl");
  reporter.print_ratio("base64 decode vs OpenSSL", "BM_base64_decode", "BM_base64_decode_openssl");
  reporter.print_ratio("random_hex(32) vs mt19937_64", "BM_random_hex32",
                       "BM_random_hex32_mt19937");
  reporter.print_ratio("ip_port vs inet_pton/ntop", "BM_ip_port_parse_readable",
                       "BM_inet_pton_ntop");
  return 0;
}
