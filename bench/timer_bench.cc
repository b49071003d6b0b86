// Cost of the timer queues with many pending timeouts: scheduling an idle timeout, cancelling
// a pending one, and firing the first due one (delay + next, as a timer thread does), with 1k,
// 100k and 1M other timeouts pending at random due times. Mutexes are live (not the
// single-threaded start-up mode), as in the running process.
#include <benchmark/benchmark.h>

#include <memory>
#include <random>
#include <vector>

#include "frame/mutex.h"
#include "frame/timeout.h"

namespace {

constexpr int batch = 1024;

void noop() {}

struct pending_set {
  timeout_queue queue;
  std::vector<timeout> background;
  std::mt19937_64 rng{42};
  explicit pending_set(int64_t n) : background(static_cast<size_t>(n)) {
    single_thread_mode = false;
    for (timeout& t : background) t.callback(queue, random_delay(), callback_argument(noop));
  }
  // Somewhere in the next hour, at nanosecond resolution.
  rtimestamp random_delay() { return static_cast<rtimestamp>(rng() % s2ticks(3600)) + s2ticks(1); }
};

void BM_schedule(benchmark::State& state) {
  pending_set p(state.range(0));
  std::vector<timeout> extra(batch);
  std::vector<rtimestamp> delays(batch);
  for (auto& d : delays) d = p.random_delay();
  size_t i = 0;
  for (auto _ : state) {
    extra[i].callback(p.queue, delays[i], callback_argument(noop));
    if (++i == batch) {
      state.PauseTiming();
      for (timeout& t : extra) t.clear();
      i = 0;
      state.ResumeTiming();
    }
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_cancel(benchmark::State& state) {
  pending_set p(state.range(0));
  std::vector<timeout> extra(batch);
  auto refill = [&] {
    for (timeout& t : extra) t.callback(p.queue, p.random_delay(), callback_argument(noop));
  };
  refill();
  size_t i = 0;
  for (auto _ : state) {
    extra[i].clear();
    if (++i == batch) {
      state.PauseTiming();
      refill();
      i = 0;
      state.ResumeTiming();
    }
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_fire(benchmark::State& state) {
  pending_set p(state.range(0));
  std::vector<timeout> due(batch);
  auto refill = [&] {
    for (timeout& t : due) t.callback(p.queue, 0, callback_argument(noop));  // due now
  };
  refill();
  size_t i = 0;
  for (auto _ : state) {
    rtimestamp now;
    uint64_t id;
    benchmark::DoNotOptimize(p.queue.delay(now, id));
    p.queue.next();
    if (++i == batch) {
      state.PauseTiming();
      refill();
      i = 0;
      state.ResumeTiming();
    }
  }
  state.SetItemsProcessed(state.iterations());
}

// A timer that re-schedules itself from its own callback (retransmission timers do this).
timeout* self;
timeout_queue* self_queue;
void again() { self->callback(*self_queue, s2ticks(1), callback_argument(again)); }

void BM_fire_and_reschedule(benchmark::State& state) {
  pending_set p(state.range(0));
  timeout t;
  self = &t;
  self_queue = &p.queue;
  for (auto _ : state) {
    t.callback(p.queue, 0, callback_argument(again));
    p.queue.next();
  }
  state.SetItemsProcessed(state.iterations());
}

}  // namespace

BENCHMARK(BM_schedule)->Arg(1000)->Arg(100000)->Arg(1000000);
BENCHMARK(BM_cancel)->Arg(1000)->Arg(100000)->Arg(1000000);
BENCHMARK(BM_fire)->Arg(1000)->Arg(100000)->Arg(1000000);
BENCHMARK(BM_fire_and_reschedule)->Arg(1000)->Arg(100000)->Arg(1000000);

BENCHMARK_MAIN();
