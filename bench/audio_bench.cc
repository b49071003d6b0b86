// Prompts and recordings under load: 200 legs playing one prompt and 50 legs recording GSM at
// once, the 10 ms work of the RTP thread done for all of them in real time for a few seconds,
// while the audio thread serves the disk. The disk is the machine's own, made slow on purpose:
// every write waits disk_ms first (a congested or fsync-heavy disk).
//
//
//   BM_audio_legs/<disk_ms>  per 10 ms tick: rtp_us the RTP thread's CPU for the 250 legs (mix
//                            the prompt and encode it, decode and record the received audio),
//                            core_pct that share of one core, max_tick_ms the longest tick in
//                            wall time (a tick that waited on the disk would last disk_ms);
//                            queue_ms_avg / queue_ms_max how long a request waited in the audio
//                            thread's queue (a probe queued every 100 ms behind the recordings'
//                            batches); written_mb what reached the disk.
//
// A GSM recording reaches the disk in batches of 64000 bytes (39 s of audio) and when it closes;
// so after 1 s the 50 recording callers hang up at once and 50 new ones begin: 50 recordings
// are written and their sizes patched together, keeping the slow disk busy for seconds while
// the ticks go on. The RTP thread only copies from the cache and queues data; the aim is that
// it never waits on the disk (max_tick_ms far below disk_ms) and stays under 5% of a core for
// the 250 legs.
#include <benchmark/benchmark.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "base/file_system.h"
#include "base/log.h"
#include "media/audio_player.h"
#include "media/audio_store.h"
#include "media/codec.h"
#include "media/g711.h"
#include "media/wav_format.h"

namespace {

using std::chrono::steady_clock;

constexpr int players = 200, recorders = 50;

// The real file layer with a pause before every write.
class slow_file_system : public file_system {
 public:
  slow_file_system(file_system& real, int delay_ms) : real_(real), delay_ms_(delay_ms) {}
  status read(const str& n, str& out) override { return real_.read(n, out); }
  status write(const str& n, const str& bytes, bool append) override {
    if (delay_ms_ > 0) std::this_thread::sleep_for(std::chrono::milliseconds(delay_ms_));
    written += int64_t(bytes.length());
    return real_.write(n, bytes, append);
  }
  bool remove(const str& n) override { return real_.remove(n); }
  bool rename(const str& a, const str& b) override { return real_.rename(a, b); }
  bool mkdir(const str& p) override { return real_.mkdir(p); }
  bool list(const str& p, bool dirs, std::vector<str>& names) override {
    return real_.list(p, dirs, names);
  }
  int64_t size(const str& n) override { return real_.size(n); }
  bool is_dir(const str& p) override { return real_.is_dir(p); }
  std::atomic<int64_t> written{0};

 private:
  file_system& real_;
  int delay_ms_;
};

int64_t thread_cpu_ns() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return int64_t(t.tv_sec) * 1000000000 + t.tv_nsec;
}

// Queue-delay probes: the time each was queued, and the delays seen by the audio thread.
std::vector<steady_clock::time_point> probe_queued;
std::vector<double> probe_delay_ms;
void probe_done(const str& name, bool) {
  const size_t i = size_t(name.value());
  probe_delay_ms.push_back(
      std::chrono::duration<double, std::milli>(steady_clock::now() - probe_queued[i]).count());
}

// A 10 s prompt of a sine, 8 kHz linear.
str prompt_wav() {
  str data;
  for (int i = 0; i < 80000; ++i) {
    const int16_t s = int16_t(8000 * ((i / 10) % 2 ? 1 : -1));
    data.append(reinterpret_cast<const char*>(&s), 2);
  }
  str wav = wav_header_template(wav_linear) + data;
  wav_set_sizes(wav);
  return wav;
}

void BM_audio_legs(benchmark::State& state) {
  const int disk_ms = int(state.range(0));
  const std::string dir = "/tmp/audio_bench." + std::to_string(getpid());
  std::filesystem::create_directories(dir + "/rec");
  const std::string prompt = dir + "/prompt.wav";
  file_system& real = fs();
  real.write(str(prompt.c_str()), prompt_wav(), false);
  slow_file_system slow(real, disk_ms);
  file_system* previous = set_file_system(&slow);
  reset_audio_store();

  std::atomic<bool> stop{false};
  std::thread audio([&] {
    while (!stop) {
      audio_sema.wait(50);
      run_audio_requests();
    }
    run_audio_requests();
  });

  std::vector<std::unique_ptr<leg_audio>> legs;
  for (int i = 0; i < players; ++i) {
    legs.push_back(std::make_unique<leg_audio>());
    legs.back()->player.start(str(prompt.c_str()), {str(prompt.c_str())}, true, false, true);
  }
  // The recorders' calls: generation g records into its own files.
  const auto record = [&](int g) {
    for (int i = 0; i < recorders; ++i) {
      const std::string name =
          dir + "/rec/g" + std::to_string(g) + "-" + std::to_string(i) + ".wav";
      legs[size_t(players + i)]->add_record_file(str(name.c_str()), "gsm", false, 3600, nullptr);
    }
  };
  for (int i = 0; i < recorders; ++i) legs.push_back(std::make_unique<leg_audio>());
  record(0);
  str received;  // 10 ms of PCMU as a phone sends it
  for (int i = 0; i < 80; ++i)
    received += char(encode_ulaw(int16_t(4000 * ((i / 5) % 2 ? 1 : -1))));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));  // the prompt reaches the cache

  // 6 s of calls. After 1 s the 50 recording callers hang up together and 50 new ones begin:
  // the closing recordings are written and patched at once, which keeps the slow disk busy.
  const int ticks = 600;
  probe_queued.clear();
  probe_delay_ms.clear();
  int64_t cpu_ns = 0;
  double max_tick_ms = 0;
  for (auto _ : state) {
    const auto start = steady_clock::now();
    for (int t = 0; t < ticks; ++t) {
      const auto tick_start = steady_clock::now();
      const int64_t c0 = thread_cpu_ns();
      uint8_t out[80];
      for (int i = 0; i < players; ++i) {
        int16_t unit[80] = {};
        legs[size_t(i)]->mix(unit);
        for (int k = 0; k < 80; ++k) out[k] = encode_ulaw(unit[k]);
        benchmark::DoNotOptimize(out);
      }
      if (t == 100) record(1);
      for (int i = players; i < players + recorders; ++i)
        legs[size_t(i)]->on_received(codec_ulaw, received);
      if (t % 10 == 0) {
        probe_queued.push_back(steady_clock::now());
        notify_something(str::sprintf("%d", int(probe_queued.size() - 1)), probe_done);
      }
      cpu_ns += thread_cpu_ns() - c0;
      max_tick_ms = std::max(
          max_tick_ms,
          std::chrono::duration<double, std::milli>(steady_clock::now() - tick_start).count());
      std::this_thread::sleep_until(start + std::chrono::milliseconds(10 * (t + 1)));
    }
  }
  for (auto& l : legs) l->recording.close();
  legs.clear();
  stop = true;
  audio_sema.signal();
  audio.join();

  double avg = 0, worst = 0;
  for (double d : probe_delay_ms) avg += d, worst = std::max(worst, d);
  if (!probe_delay_ms.empty()) avg /= double(probe_delay_ms.size());
  const double per_tick_us = double(cpu_ns) / 1000.0 / double(ticks * state.iterations());
  state.counters["rtp_us"] = per_tick_us;
  state.counters["core_pct"] = per_tick_us / 100.0;  // of the 10 000 us of a tick
  state.counters["max_tick_ms"] = max_tick_ms;
  state.counters["queue_ms_avg"] = avg;
  state.counters["queue_ms_max"] = worst;
  state.counters["written_mb"] = double(slow.written.load()) / 1e6;
  set_file_system(previous);
  reset_audio_store();
  std::filesystem::remove_all(dir);
}
BENCHMARK(BM_audio_legs)->Arg(0)->Arg(50)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  log_level_max = 0;  // the log lines are not what is measured
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
