// Cost of a log call: suppressed by level (the common case on the signalling and media paths),
// written (format, collapse check, buffer), collapsed as a repetition, and the logging
// thread's cost per line written to a file.
#include <benchmark/benchmark.h>

#include <atomic>
#include <thread>

#include "base/file_system.h"
#include "frame/log.h"
#include "frame/settings.h"

namespace {

void setup(int level) {
  log_reset();
  init_logging();
  set_log_file("");  // no file in the working directory
  log_up = true;
  set_log_level(level);
  set_log_length(100);
}

void BM_log_filtered_out(benchmark::State& state) {
  setup(5);
  str peer("udp:192.0.2.1:5060");
  int n = 0;
  for (auto _ : state) {
    log_printf(log_sip, 8, "Received %d bytes from %s", n, peer);
    benchmark::DoNotOptimize(++n);
  }
  benchmark::DoNotOptimize(get_log_entry_count());
}
BENCHMARK(BM_log_filtered_out);

// Logged calls with a different text each time, while the real logging thread drains the
// queue (no log file: the caller's cost is what is measured).
void BM_log_written(benchmark::State& state) {
  setup(9);
  std::atomic<bool> stop{false};
  std::thread writer([&] { run_logging_loop(&stop); });
  str peer("udp:192.0.2.1:5060");
  int n = 0;
  for (auto _ : state) log_printf(log_sip, 8, "Received %d bytes from %s", ++n, peer);
  stop = true;
  log_wait_written();
  writer.join();
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_log_written);

void BM_log_repeated(benchmark::State& state) {
  setup(9);
  std::atomic<bool> stop{false};
  std::thread writer([&] { run_logging_loop(&stop); });
  for (auto _ : state) log_printf(log_general, 3, "Same message %d", 1);
  stop = true;
  log_wait_written();
  writer.join();
}
BENCHMARK(BM_log_repeated);

// The logging thread: lines per pass into one daily file (in memory).
void BM_log_file_writer(benchmark::State& state) {
  setup(9);
  memory_file_system files;
  scoped_file_system use(&files);
  set_log_file("log-$.txt");
  const int batch = static_cast<int>(state.range(0));
  int n = 0;
  for (auto _ : state) {
    state.PauseTiming();
    for (int i = 0; i < batch; ++i) log_add_message(0, 5, str::sprintf("line %d", ++n));
    files.files.clear();
    state.ResumeTiming();
    log_write_pending();
  }
  state.SetItemsProcessed(state.iterations() * batch);
  log_reset();
}
BENCHMARK(BM_log_file_writer)->Arg(1)->Arg(100);

}  // namespace

BENCHMARK_MAIN();
