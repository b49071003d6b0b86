// Cutting a typical SIP header block into lines and fields and parsing the numbers in it, the
// same work three ways: with str (shared windows), with std::string_view (the zero-copy
// baseline) and with std::string (copying). The ratios are printed at the end.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <string_view>

#include "base/str.h"
#include "bench/ratio_reporter.h"

namespace {

const char header_block[] =
    "INVITE sip:201@pbx.example.com;user=phone SIP/2.0\r\n"
    "Via: SIP/2.0/UDP 192.168.1.20:5060;branch=z9hG4bK-524287-1---e0f1c3a2b4;rport\r\n"
    "Max-Forwards: 70\r\n"
    "Contact: <sip:200@192.168.1.20:5060;transport=udp>\r\n"
    "To: <sip:201@pbx.example.com>\r\n"
    "From: \"Reception\" <sip:200@pbx.example.com>;tag=3f9a1c2d\r\n"
    "Call-ID: 8d1f0c4e5b6a7980-1a2b3c4d@192.168.1.20\r\n"
    "CSeq: 102 INVITE\r\n"
    "Allow: INVITE, ACK, CANCEL, BYE, NOTIFY, REFER, MESSAGE, OPTIONS, INFO, SUBSCRIBE\r\n"
    "Content-Type: application/sdp\r\n"
    "Supported: replaces, norefersub, extended-refer, timer, X-cisco-serviceuri\r\n"
    "User-Agent: Desk Phone 5.1.2\r\n"
    "Session-Expires: 1800;refresher=uac\r\n"
    "Expires: 3600\r\n"
    "Content-Length: 342\r\n"
    "\r\n";

// Result of one pass, so that the compiler cannot drop the work.
struct totals {
  long numbers = 0;
  size_t bytes = 0;
};

totals cut_str(const str& block) {
  totals t;
  str rest = block;
  for (;;) {
    str line = rest.get_first_line();
    if (line.empty()) break;
    str name = line.get_field(0, ':');
    str value = line.get_rest(1, ':').strip();
    str first = value.get_field(0);
    t.bytes += name.length() + first.length();
    if (first.is_number()) t.numbers += first.value();
  }
  return t;
}

// The same algorithm on string_view.
std::string_view first_line_sv(std::string_view& rest) {
  size_t e = rest.find_first_of("\r\n");
  if (e == std::string_view::npos) {
    std::string_view l = rest;
    rest = {};
    return l;
  }
  std::string_view l = rest.substr(0, e);
  size_t skip = e + 1;
  if (skip < rest.size() && rest[e] == '\r' && rest[skip] == '\n') ++skip;
  rest.remove_prefix(skip);
  return l;
}

std::string_view field_sv(std::string_view s, size_t n, char sep) {
  size_t i = 0;
  for (;;) {
    while (i < s.size() && s[i] == sep) ++i;
    if (i >= s.size()) return {};
    size_t j = s.find(sep, i);
    if (j == std::string_view::npos) j = s.size();
    if (!n--) return s.substr(i, j - i);
    i = j;
  }
}

std::string_view strip_sv(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

bool is_number_sv(std::string_view s) {
  if (s.empty()) return false;
  for (char c : s)
    if (c < '0' || c > '9') return false;
  return true;
}

long value_sv(std::string_view s) {
  long v = 0;
  for (char c : s) v = v * 10 + (c - '0');
  return v;
}

totals cut_sv(std::string_view block) {
  totals t;
  std::string_view rest = block;
  for (;;) {
    std::string_view line = first_line_sv(rest);
    if (line.empty()) break;
    std::string_view name = field_sv(line, 0, ':');
    size_t colon = line.find(':');
    std::string_view value =
        strip_sv(colon == std::string_view::npos ? std::string_view() : line.substr(colon + 1));
    std::string_view first = field_sv(value, 0, ' ');
    t.bytes += name.size() + first.size();
    if (is_number_sv(first)) t.numbers += value_sv(first);
  }
  return t;
}

// The same algorithm with copying std::strings.
totals cut_string(const std::string& block) {
  totals t;
  std::string rest = block;
  for (;;) {
    size_t e = rest.find_first_of("\r\n");
    std::string line = rest.substr(0, e);
    rest = e == std::string::npos ? std::string() : rest.substr(e + 2);
    if (line.empty()) break;
    std::string name(field_sv(line, 0, ':'));
    size_t colon = line.find(':');
    std::string value(strip_sv(colon == std::string::npos
                                   ? std::string_view()
                                   : std::string_view(line).substr(colon + 1)));
    std::string first(field_sv(value, 0, ' '));
    t.bytes += name.size() + first.size();
    if (is_number_sv(first)) t.numbers += std::stol(first);
  }
  return t;
}

void BM_str(benchmark::State& state) {
  str block(header_block);
  for (auto _ : state) benchmark::DoNotOptimize(cut_str(block));
}

void BM_string_view(benchmark::State& state) {
  std::string_view block(header_block);
  for (auto _ : state) benchmark::DoNotOptimize(cut_sv(block));
}

void BM_std_string(benchmark::State& state) {
  std::string block(header_block);
  for (auto _ : state) benchmark::DoNotOptimize(cut_string(block));
}

BENCHMARK(BM_str);
BENCHMARK(BM_string_view);
BENCHMARK(BM_std_string);

}  // namespace

int main(int argc, char** argv) {
  // Every variant must see the same fields.
  totals a = cut_str(str(header_block)), b = cut_sv(header_block), c = cut_string(header_block);
  if (a.numbers != b.numbers || a.bytes != b.bytes || b.numbers != c.numbers ||
      b.bytes != c.bytes) {
    std::fprintf(stderr, "str_bench: the three variants disagree\n");
    return 1;
  }
  benchmark::Initialize(&argc, argv);
  ratio_reporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  double s = reporter.time("BM_str"), v = reporter.time("BM_string_view"),
         d = reporter.time("BM_std_string");
  if (s > 0 && v > 0 && d > 0)
    std::printf("\nstr / string_view = %.2fx    std::string / str = %.2fx\n", s / v, d / s);
  return 0;
}
