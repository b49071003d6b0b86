// The registrar's cost per request, both halves in one process joined through their message
// texts (as the two queues carry them), over an in-memory table store with 1,000 extensions:
// - a refresh (the bulk of a registrar's load): parse, fingerprint, RRU to the PBX half, 200;
// - a first registration with digest authentication and its removal: two REGISTERs, the
//   policy and decision round trips, the 401 and the 200, then Expires: 0.
// The timer queue is a private one that never runs (bindings stay until removed).
//
// BM_binding_memory: the heap each binding costs once N phones have registered, measured
// through the real transaction layer on a fake transport under a manual clock (see there).
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <cstdio>
#include <deque>
#include <string>
#include <utility>
#include <vector>

#include "base/file_system.h"
#include "base/log.h"
#include "db/schema.h"
#include "frame/clock.h"
#include "frame/settings.h"
#include "frame/side_context.h"
#include "pbx/registration.h"
#include "sip/address_list.h"
#include "sip/digest_auth.h"
#include "sip/pending_packet.h"
#include "sip/reg_in.h"
#include "sip/srv_context.h"
#include "sip/transaction_test_fakes.h"

namespace {

std::deque<str> to_ctrl, to_srv;
int responses = 0;
str last_nonce;

void post_ctrl(const str& t) { to_ctrl.push_back(t); }
void post_srv(const str& t) { to_srv.push_back(t); }
int count_send(const sip_message& m) {
  responses++;
  if (m.code == 401)
    last_nonce = parse_auth_header(m.get_other_header("WWW-Authenticate", "")).get("nonce");
  return 0;
}

void pump() {
  while (!to_ctrl.empty() || !to_srv.empty()) {
    while (!to_ctrl.empty()) {
      str t = to_ctrl.front();
      to_ctrl.pop_front();
      registration_on_soap(t);
    }
    while (!to_srv.empty()) {
      str t = to_srv.front();
      to_srv.pop_front();
      registrar_on_soap(t);
    }
  }
}

// A disk that forgets: row files cost nothing in memory, as on a real disk.
class discard_file_system : public file_system {
 public:
  status read(const str&, str&) override { return status::not_found; }
  status write(const str&, const str&, bool) override { return status::ok; }
  bool remove(const str&) override { return true; }
  bool rename(const str&, const str&) override { return true; }
  bool mkdir(const str&) override { return true; }
  bool list(const str&, bool, std::vector<str>&) override { return true; }
  int64_t size(const str&) override { return -1; }
  bool is_dir(const str&) override { return true; }
};

struct environment {
  memory_file_system mfs;
  discard_file_system discard;
  scoped_file_system use;
  timeout_queue queue;
  // Both halves joined through captured message queues; sends counted (or, with
  // real_sends, made through the transaction layer).
  std::unique_ptr<scoped_srv_context> srv_side;
  scoped_ctrl_context ctrl_side{ctrl_context{post_srv, &http_thread_queue}};
  void use_sends(int (*send)(const sip_message&)) {
    srv_side.reset();
    srv_context c;
    c.post = post_ctrl;
    c.send = send;
    c.queue = &queue;
    srv_side = std::make_unique<scoped_srv_context>(c);
  }

  // count extensions 1000.. (passwords pw0..) in the domain localhost. With forget_files the
  // row files go nowhere (memory figures), else into an in-memory tree (their cost in time).
  explicit environment(int count = 1000, bool forget_files = false)
      : use(forget_files ? static_cast<file_system*>(&discard) : &mfs) {
    for (size_t i = 0; i < table_def_count; i++) define_table(table_defs[i]);
    init_config();
    log_level_max = 0;
    registrar_clear();
    registrations.delete_row();
    user_alias.delete_row();
    users.delete_row();
    extensions.delete_row();
    domains.delete_row();
    int d = domains.add_row();
    domains.set(d, domains_name, "localhost");
    for (int n = 0; n < count; n++) {
      int e = extensions.add_row();
      extensions.set(e, extensions_password, str::sprintf("pw%d", n));
      int u = users.add_row();
      users.set(u, users_type_name, "extensions");
      users.set(u, users_type_index, str::sprintf("%d", e));
      users.set(u, users_domain, str::sprintf("%d", d));
      int a = user_alias.add_row();
      user_alias.set(a, user_alias_user, str::sprintf("%d", u));
      user_alias.set(a, user_alias_domain, str::sprintf("%d", d));
      user_alias.set(a, user_alias_name, str::sprintf("%d", 1000 + n));
    }
    use_sends(count_send);
    set_auth_hooks(&registrar_auth_hooks());
    bw_add_source(str::bytes({127, 0, 0, 0}), 8, true);  // no blocking in the load
  }
  ~environment() {
    registrar_clear();
    registrations.delete_row();
  }
};

str register_text(int user, const str& call_id, unsigned cseq, int expires,
                  const str& authorization) {
  str t = str::sprintf(
      "REGISTER sip:localhost SIP/2.0\r\nVia: SIP/2.0/UDP 127.0.0.5:5070;branch=z9hG4bK%u\r\n"
      "From: <sip:%d@localhost>;tag=f%d\r\nTo: <sip:%d@localhost>\r\nCall-ID: %s\r\n"
      "CSeq: %u REGISTER\r\nContact: <sip:%d@127.0.0.5:5070>\r\nExpires: %d\r\n"
      "User-Agent: bench\r\nMax-Forwards: 70\r\nContent-Length: 0\r\n",
      cseq, user, user, user, call_id, cseq, user, expires);
  if (!authorization.empty()) t.appendf("Authorization: %s\r\n", authorization);
  t += "\r\n";
  return t;
}

void receive(const str& text) {
  sip_message m(text);
  m.peer = ip_port::from_text("127.0.0.5:5070");
  m.transport = transport_type::udp;
  registrar_receive(m);
  pump();
}

str digest(int user, const str& nonce) {
  str uri = "sip:localhost", u = str::sprintf("%d", user), pw = str::sprintf("pw%d", user - 1000);
  return str::sprintf(
      "Digest username=\"%s\",realm=\"localhost\",nonce=\"%s\",uri=\"%s\",response=\"%s\"", u,
      nonce, uri, auth_md5_hex(nonce, u, "localhost", pw, "REGISTER", uri, "", "", ""));
}

// Registers user with a fresh Call-ID: challenge, answer, decision. The nonce is the one the
// binding issued (its only one).
void first_registration(int user, const str& call_id) {
  receive(register_text(user, call_id, 1, 3600, str()));
  auto it = reg_ins.find(call_id);
  if (it == reg_ins.end() || it->second->credentials.nonces.empty()) return;
  receive(
      register_text(user, call_id, 2, 3600, digest(user, *it->second->credentials.nonces.begin())));
}

void BM_register_refresh(benchmark::State& state) {
  environment env;
  const int bindings = 1000;
  for (int i = 0; i < bindings; i++) first_registration(1000 + i, str::sprintf("bench-%d", i));
  std::vector<str> texts;
  unsigned cseq = 3;
  int i = 0;
  for (auto _ : state) {
    receive(register_text(1000 + i, str::sprintf("bench-%d", i), cseq, 3600, str()));
    if (++i == bindings) {
      i = 0;
      cseq++;
    }
  }
  state.counters["registrations"] = double(registrations.size());
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_register_refresh);

void BM_register_first_and_remove(benchmark::State& state) {
  environment env;
  int n = 0;
  for (auto _ : state) {
    str call_id = str::sprintf("first-%d", n++);
    int user = 1000 + n % 1000;
    first_registration(user, call_id);
    receive(register_text(user, call_id, 3, 0, str()));
  }
  state.counters["registrations"] = double(registrations.size());
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_register_first_and_remove);

// Heap held by live objects: what malloc has handed out, less the str blocks that wait on
// their class free lists (str takes its blocks from malloc in batches and keeps freed ones).
int64_t heap_live() {
  str::meminfo m = str::get_meminfo_stats();
  int64_t waiting = 0;
  for (int c = 0; c < str::num_classes; c++) {
    int64_t stride = (int64_t(str::class_capacity(c)) + str::header_size + 15) / 16 * 16;
    waiting += int64_t(m.blocks_free[c]) * stride;
  }
  return int64_t(mallinfo2().uordblks) - waiting;
}

// str blocks in use per size class.
std::vector<int64_t> str_blocks() {
  str::meminfo m = str::get_meminfo_stats();
  return std::vector<int64_t>(m.blocks_in_use, m.blocks_in_use + str::num_classes);
}

// Bytes per binding of N bindings (state.range(0) phones, one binding each, Call-IDs as sipp
// makes them). The responses go through send_packet onto a fake UDP transport, so each
// binding also holds its two finished server transactions (the 401 and the 200) for their
// 32 s; the transaction queue then runs to 33 s, while the registrar's removal timers (their
// own queue) never run. Counters, all in bytes per binding:
//   total         everything a fresh binding holds, its transactions included
//   transactions  what the ended transactions gave back
//   steady_first  what stays for the binding's lifetime (total - transactions)
//   steady        the same once every binding has been refreshed (as bindings that live for
//                 hours all are), the refresh's transaction ended too
// and the steady figure taken apart by releasing the parts one after the other:
//   nonces        issued and not yet used (none once every challenge was answered)
//   reg_in        the srv half: the object, its packed texts, the removal timer, the reg_ins
//                 and ipadr2regs entries
//   row           the PBX half: the registrations row, its values and index entries
//   residual      what stays after all of that: the bucket arrays of the hash maps (row index
//                 and Call-ID links), which do not shrink
// The str blocks still held at the steady state are printed per size class (a class with
// more blocks than bindings would be packets kept alive by windows on them).
void BM_binding_memory(benchmark::State& state) {
  const int n = int(state.range(0));
  for (auto _ : state) {
    transaction_env tx;
    tx.transport.record = false;
    environment env(n, true);
    env.use_sends(srv_context::send_default);  // through send_packet
    std::vector<str> call_ids;
    for (int i = 0; i < n; i++) call_ids.push_back(str::sprintf("%d-4711@127.0.0.11", i + 1));
    const int64_t before = heap_live();
    const std::vector<int64_t> blocks_before = str_blocks();
    for (int i = 0; i < n; i++) first_registration(1000 + i, call_ids[i]);
    if (registrations.size() != n || int(reg_ins.size()) != n) {
      state.SkipWithError("not every phone registered");
      break;
    }
    const int64_t registered = heap_live();
    tx.run_until(33000);
    const int64_t steady_first = heap_live();
    // One refresh of every binding (answered at once), and its transaction run out as well.
    for (int i = 0; i < n; i++) receive(register_text(1000 + i, call_ids[i], 3, 3600, str()));
    tx.run_until(70000);
    const int64_t steady = heap_live();
    const std::vector<int64_t> blocks_steady = str_blocks();

    std::vector<std::pair<const char*, int64_t>> parts;
    int64_t last = steady;
    auto take = [&](const char* name) {
      int64_t now = heap_live();
      parts.emplace_back(name, last - now);
      last = now;
    };
    for (auto& [id, r] : reg_ins) r->credentials.nonces.clear();
    take("nonces");
    registrar_clear();
    take("reg_in");
    registrations.delete_row();
    take("row");

    state.counters["total"] = double(registered - before) / n;
    state.counters["transactions"] = double(registered - steady_first) / n;
    state.counters["steady_first"] = double(steady_first - before) / n;
    state.counters["steady"] = double(steady - before) / n;
    for (auto& [name, bytes] : parts) state.counters[name] = double(bytes) / n;
    state.counters["residual"] = double(last - before) / n;
    std::fprintf(stderr, "str blocks held at steady state (capacity:count):");
    for (int c = 0; c < str::num_classes; c++) {
      if (int64_t d = blocks_steady[c] - blocks_before[c])
        std::fprintf(stderr, " %u:%lld", unsigned(str::class_capacity(c)), (long long)d);
    }
    std::fprintf(stderr, "\n");
  }
}
BENCHMARK(BM_binding_memory)->Arg(10000)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
