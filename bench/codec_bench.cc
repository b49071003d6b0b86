// The codec engine: encoding and decoding 10 ms (80 samples) per codec through one stream's
// codec object, and our G.711 beside spandsp's (g711_encode/g711_decode) on the same samples,
// with the ratios printed at the end.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <cstring>

#include "bench/ratio_reporter.h"
#include "media/codec_engine.h"

// After the standard headers: spandsp's telephony.h defines names of <cmath>.
#include <spandsp/telephony.h>
//
#include <spandsp/bit_operations.h>
#include <spandsp/g711.h>

namespace {

constexpr int unit = 80;

// A 10 ms unit of speech-like level: two tones.
struct samples {
  int16_t x[unit];
  samples() {
    for (int i = 0; i < unit; ++i)
      x[i] = int16_t(6000 * std::sin(0.37 * i) + 3000 * std::sin(1.9 * i + 1));
  }
};
const samples pcm_unit;

void BM_codec(benchmark::State& state, int c, bool gsm_ms) {
  codec enc, dec;
  enc.set_gsm_ms_form(gsm_ms);
  const str pcm(pcm_unit.x, sizeof pcm_unit.x);
  size_t bytes = 0;
  for (auto _ : state) {
    str payload = enc.encode(c, pcm);
    str out = dec.decode(c, payload);
    bytes += out.size();
    benchmark::DoNotOptimize(bytes);
  }
}

BENCHMARK_CAPTURE(BM_codec, pcmu, codec_ulaw, false);
BENCHMARK_CAPTURE(BM_codec, pcma, codec_alaw, false);
BENCHMARK_CAPTURE(BM_codec, l16, codec_linear, false);
BENCHMARK_CAPTURE(BM_codec, g722, codec_g722, false);
BENCHMARK_CAPTURE(BM_codec, g726, codec_g726, false);
BENCHMARK_CAPTURE(BM_codec, g729, codec_g729, false);
BENCHMARK_CAPTURE(BM_codec, gsm, codec_gsm, false);   // a frame every second call
BENCHMARK_CAPTURE(BM_codec, gsm65, codec_gsm, true);  // a frame every fourth call

// G.711 alone on buffers: ours and spandsp's, encode and decode of one unit.
void BM_g711_ours(benchmark::State& state, bool ulaw) {
  uint8_t code[unit];
  int16_t back[unit];
  for (auto _ : state) {
    if (ulaw) {
      for (int i = 0; i < unit; ++i) code[i] = encode_ulaw(pcm_unit.x[i]);
      for (int i = 0; i < unit; ++i) back[i] = decode_ulaw(code[i]);
    } else {
      for (int i = 0; i < unit; ++i) code[i] = encode_alaw(pcm_unit.x[i]);
      for (int i = 0; i < unit; ++i) back[i] = decode_alaw(code[i]);
    }
    benchmark::DoNotOptimize(back);
    benchmark::ClobberMemory();
  }
}

void BM_g711_spandsp(benchmark::State& state, bool ulaw) {
  g711_state_t* s = g711_init(nullptr, ulaw ? G711_ULAW : G711_ALAW);
  uint8_t code[unit];
  int16_t back[unit];
  for (auto _ : state) {
    g711_encode(s, code, pcm_unit.x, unit);
    g711_decode(s, back, code, unit);
    benchmark::DoNotOptimize(back);
    benchmark::ClobberMemory();
  }
  g711_free(s);
}

BENCHMARK_CAPTURE(BM_g711_ours, ulaw, true);
BENCHMARK_CAPTURE(BM_g711_spandsp, ulaw, true);
BENCHMARK_CAPTURE(BM_g711_ours, alaw, false);
BENCHMARK_CAPTURE(BM_g711_spandsp, alaw, false);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  ratio_reporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  std::printf("\n");
  reporter.print_ratio("G.711 u-law 10 ms encode+decode", "BM_g711_ours/ulaw",
                       "BM_g711_spandsp/ulaw");
  reporter.print_ratio("G.711 A-law 10 ms encode+decode", "BM_g711_ours/alaw",
                       "BM_g711_spandsp/alaw");
  return 0;
}
