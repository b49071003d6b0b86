// The transaction layer at scale: send_packet and the retransmission bookkeeping for 100,000
// concurrent UDP transactions on a fake transport (no sockets, manual clock, own timer
// queue). items_per_second gives the transactions per second (microseconds per transaction =
// 1e6 / items_per_second); bytes_per_packet the heap each pending packet holds.
#include <benchmark/benchmark.h>
#include <malloc.h>

#include "sip/send_packet.h"
#include "sip/transaction.h"
#include "sip/transaction_test_fakes.h"

namespace {

constexpr int k_transactions = 100000;

sip_message template_request(const str& method) {
  sip_message m(method, from_to_spec("<sip:alice@example.org>;tag=1928301774"),
                from_to_spec("<sip:bob@example.com>"), "x");
  m.request_uri = "sip:bob@192.0.2.5:5060";
  m.contact.push_back(from_to_spec("<sip:alice@{x-pre-adr}:{x-pre-port}>"));
  m.add_other_header("User-Agent", str(), "telmond");
  return m;
}

// Starts n transactions with distinct Call-IDs.
void start_transactions(const sip_message& base, int n) {
  sip_message m = base;
  for (int i = 0; i < n; ++i) {
    m.call_id = str::sprintf("bench-%d@example.org", i);
    benchmark::DoNotOptimize(send_packet(m));
  }
}

size_t heap_in_use() { return mallinfo2().uordblks; }

void BM_SendPacket(benchmark::State& state) {
  const sip_message base = template_request(state.range(0) ? m_invite : m_options);
  double bytes_per_packet = 0;
  for (auto _ : state) {
    state.PauseTiming();
    transaction_env env;
    env.transport.record = false;
    const size_t before = heap_in_use();
    state.ResumeTiming();
    start_transactions(base, k_transactions);
    state.PauseTiming();
    bytes_per_packet = double(heap_in_use() - before) / k_transactions;
    if (pending_packets.size() != size_t(k_transactions)) state.SkipWithError("packets lost");
    clear_pending_packets();
    state.ResumeTiming();
  }
  state.counters["bytes_per_packet"] = bytes_per_packet;
  state.SetItemsProcessed(int64_t(k_transactions) * state.iterations());
}
BENCHMARK(BM_SendPacket)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->Iterations(3);

// One round of retransmissions: every one of the 100k transactions is due at once.
void BM_RetransmitRound(benchmark::State& state) {
  transaction_env env;
  env.transport.record = false;
  start_transactions(template_request(m_invite), k_transactions);
  int64_t at = 0;
  int64_t step = 500;
  for (auto _ : state) {
    at += step;
    step *= 2;
    if (at >= 31000) {
      state.PauseTiming();
      clear_pending_packets();
      env.run_until(40000);
      start_transactions(template_request(m_invite), k_transactions);
      at = 500;
      step = 1000;
      state.ResumeTiming();
    }
    env.run_until(at);
  }
  state.SetItemsProcessed(int64_t(k_transactions) * state.iterations());
  state.counters["sends"] = double(env.transport.sends);
}
BENCHMARK(BM_RetransmitRound)->Unit(benchmark::kMillisecond)->Iterations(5);

// The whole life of 100k transactions: send, one retransmission, the answer (through the
// repetition check that stops retransmission), the end of the transaction.
void BM_TransactionLife(benchmark::State& state) {
  for (auto _ : state) {
    state.PauseTiming();
    transaction_env env;
    env.transport.record = false;
    sip_message response(200, "OK", template_request(m_options));
    state.ResumeTiming();
    start_transactions(template_request(m_options), k_transactions);
    env.run_until(600);
    for (auto& [number, p] : pending_packets) {
      response.call_id = p.message->call_id;
      response.cseq = p.message->cseq;
      benchmark::DoNotOptimize(message_repetition(response, transport_type::udp));
    }
    env.run_until(33000);
    if (!pending_packets.empty()) state.SkipWithError("packets left");
  }
  state.SetItemsProcessed(int64_t(k_transactions) * state.iterations());
}
BENCHMARK(BM_TransactionLife)->Unit(benchmark::kMillisecond)->Iterations(2);

}  // namespace

BENCHMARK_MAIN();
