// The per-packet and per-request costs of the security layer:
// - bw_valid_source (every received datagram and accepted connection) with 1,000 list entries,
//   beside a linear scan of the same entries with ip_netmask::matches, the obvious alternative;
// - authentication_result on the failure path (every received request until it succeeds);
// - check_authentication of a typical Authorization header (parser plus three MD5s).
#include <benchmark/benchmark.h>

#include <set>
#include <vector>

#include "base/ip_port.h"
#include "frame/clock.h"
#include "frame/settings.h"
#include "sip/address_list.h"
#include "sip/digest_auth.h"

namespace {

str v4(uint32_t v) {
  return str::bytes({static_cast<uint8_t>(v >> 24), static_cast<uint8_t>(v >> 16),
                     static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)});
}

// 500 black /32 entries and 500 white /24 entries spread over 10.0.0.0/8.
std::vector<ip_netmask> fill_lists() {
  bw_clear();
  std::vector<ip_netmask> nets;
  for (uint32_t i = 0; i < 500; i++) {
    str a = v4(0x0a000000u + i * 7919u);
    bw_add_source(a, 32, false);
    nets.push_back(ip_netmask::from_prefix(a, 32));
    str b = v4(0x0a000000u + (i << 8) * 13u);
    bw_add_source(b, 24, true);
    nets.push_back(ip_netmask::from_prefix(b, 24));
  }
  return nets;
}

void BM_bw_valid_source(benchmark::State& state) {
  fill_lists();
  const str probe = v4(0xc0000201u);  // no entry: every prefix length is looked at
  for (auto _ : state) benchmark::DoNotOptimize(bw_valid_source(probe));
  bw_clear();
}

void BM_linear_netmask_scan(benchmark::State& state) {
  std::vector<ip_netmask> nets = fill_lists();
  const str probe = v4(0xc0000201u);
  for (auto _ : state) {
    bool found = false;
    for (const ip_netmask& n : nets) {
      if (n.matches(probe)) {
        found = true;
        break;
      }
    }
    benchmark::DoNotOptimize(found);
  }
  bw_clear();
}

void ignore_report(const str&, bool, const str&) {}

void BM_authentication_result_failure(benchmark::State& state) {
  bw_clear();
  ctrl_write_setting(ctrl_settings::blacklist_attempts, "4");
  ctrl_write_setting(ctrl_settings::blacklist_period, "1000");
  set_blacklist_report(ignore_report);
  manual_clock clock;
  scoped_clock use(&clock);
  uint32_t n = 0;
  for (auto _ : state) {
    // A new source every time, 1 ms apart: records start, age and expire as under a scan.
    clock.advance_ms(1);
    authentication_result(clock_now(), v4(0xc6336400u + (n++ & 0xffff)), false, "sip");
  }
  set_blacklist_report(nullptr);
  bw_clear();
}

void BM_check_authentication(benchmark::State& state) {
  std::set<str> nonces;
  str nonce = auth_issue_nonce(nonces);
  str response = auth_md5_hex(nonce, "alice", "example.com", "secret", "REGISTER",
                              "sip:example.com", "", "", "");
  str value = str::sprintf(
      "Digest username=\"alice\",realm=\"example.com\",nonce=\"%s\",uri=\"sip:example.com\","
      "response=\"%s\",algorithm=MD5",
      nonce, response);
  for (auto _ : state) {
    bool known = false;
    nonces.insert(nonce);  // each nonce passes once
    benchmark::DoNotOptimize(check_authentication(value, "REGISTER", "sip:example.com",
                                                  "example.com", "alice", "secret", nonces, known));
  }
}

}  // namespace

BENCHMARK(BM_bw_valid_source);
BENCHMARK(BM_linear_netmask_scan);
BENCHMARK(BM_authentication_result_failure);
BENCHMARK(BM_check_authentication);
BENCHMARK_MAIN();
