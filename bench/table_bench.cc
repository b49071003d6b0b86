// Table store benchmarks: loading call records (TLVB) and accounts (XML) from a real disk,
// lookups with and without an index, and set + write_row.
//
// The data sets are written once into a temporary directory (removed at exit). Aims: 10k
// accounts load in under 1 s; an indexed lookup takes under 1 microsecond.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "base/file_system.h"
#include "base/log.h"
#include "db/schema.h"

namespace {

constexpr int cdr_rows = 100000;
constexpr int account_rows = 10000;

void quiet(int, int, const str&) {}

void define_like(table& t, const char* dir, bool indexed = true) {
  const table_def* d = find_table_def(str(dir));
  for (size_t c = 0; c < d->column_count; c++) {
    t.add_column(*d->columns[c].name, indexed && d->columns[c].indexed);
  }
  if (d->binary) t.use_binary();
}

struct data_set {
  std::string root;
  str cdr_dir, account_dir, write_dir;

  data_set() {
    set_log_sink(quiet);
    char tmpl[] = "/tmp/table_bench.XXXXXX";
    root = mkdtemp(tmpl);
    cdr_dir = str(root.c_str()) + "/cdrt";
    account_dir = str(root.c_str()) + "/extensions";
    write_dir = str(root.c_str()) + "/users";
    table cdr(true);
    define_like(cdr, "cdrt");
    cdr.read_table(cdr_dir);
    for (int i = 0; i < cdr_rows; i++) {
      int id = cdr.add_row(false);
      cdr.set(id, trunk_cdr_primary_cid, str::sprintf("call-%d@pbx.example", i), false);
      cdr.set(id, trunk_cdr_from, str::sprintf("\"Caller %d\" <sip:%d@a.example>", i, i), false);
      cdr.set(id, trunk_cdr_to, str::sprintf("<sip:+4930%d@trunk.example>", 5550000 + i), false);
      cdr.set(id, trunk_cdr_direction, i % 2 ? "i" : "o", false);
      cdr.set(id, trunk_cdr_trunk, str::sprintf("%d", 1 + i % 5), false);
      cdr.set(id, trunk_cdr_domain, str::sprintf("%d", 1 + i % 20), false);
      cdr.set(id, trunk_cdr_start, str::sprintf("17672256%d", i % 100000), false);
      cdr.set(id, trunk_cdr_end, str::sprintf("17672257%d", i % 100000), false);
      cdr.write_row(id, false);
    }
    table acc(true);
    define_like(acc, "extensions");
    acc.read_table(account_dir);
    for (int i = 0; i < account_rows; i++) {
      int id = acc.add_row(false);
      acc.set(id, extensions_password, str::sprintf("secret%d", i), false);
      acc.set(id, extensions_web_password, str::sprintf("web%d", i), false);
      acc.set(id, extensions_first_name, "First", false);
      acc.set(id, extensions_last_name, str::sprintf("Last %d", i), false);
      acc.set(id, extensions_email_address, str::sprintf("user%d@a.example", i), false);
      acc.set(id, extensions_mac, str::sprintf("0004f2%06d", i), false);
      acc.set(id, extensions_cfr, str::sprintf("%d", i % 100), false);
      acc.set(id, extensions_mb_enable, "true", false);
      acc.set(id, extensions_dial_plan, "1", false);
      acc.set(id, extensions_language_audio, "en", false);
      acc.write_row(id, false);
    }
  }
  ~data_set() {
    if (std::system(("rm -rf " + root).c_str()) != 0)
      std::fprintf(stderr, "could not remove %s\n", root.c_str());
  }
};

data_set& data() {
  static data_set d;
  return d;
}

void BM_LoadCallRecordsTlvb100k(benchmark::State& state) {
  for (auto _ : state) {
    table t(true);
    define_like(t, "cdrt");
    t.read_table(data().cdr_dir);
    if (t.size() != cdr_rows) state.SkipWithError("row count");
  }
  state.SetItemsProcessed(state.iterations() * cdr_rows);
}
BENCHMARK(BM_LoadCallRecordsTlvb100k)->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_LoadAccountsXml10k(benchmark::State& state) {
  for (auto _ : state) {
    table t(true);
    define_like(t, "extensions");
    t.read_table(data().account_dir);
    if (t.size() != account_rows) state.SkipWithError("row count");
  }
  state.SetItemsProcessed(state.iterations() * account_rows);
}
BENCHMARK(BM_LoadAccountsXml10k)->Unit(benchmark::kMillisecond)->Iterations(5);

// The same loads from an in-memory file tree: the store's own cost (parsing, indexing) without
// the disk.
void load_from_memory(benchmark::State& state, const char* dir, const str& path, int rows) {
  memory_file_system mfs;
  {
    std::vector<str> names = str::get_dir(path);
    mfs.dirs.insert(std::string(path.view()));
    for (const str& n : names) {
      str bytes;
      str::read_file(path + "/" + n, bytes);
      mfs.files[std::string((path + "/" + n).view())] = std::string(bytes.view());
    }
  }
  scoped_file_system use(&mfs);
  for (auto _ : state) {
    table t(true);
    define_like(t, dir);
    t.read_table(path);
    if (t.size() != rows) state.SkipWithError("row count");
  }
  state.SetItemsProcessed(state.iterations() * rows);
}

void BM_LoadCallRecordsTlvb100kFromMemory(benchmark::State& state) {
  load_from_memory(state, "cdrt", data().cdr_dir, cdr_rows);
}
BENCHMARK(BM_LoadCallRecordsTlvb100kFromMemory)->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_LoadAccountsXml10kFromMemory(benchmark::State& state) {
  load_from_memory(state, "extensions", data().account_dir, account_rows);
}
BENCHMARK(BM_LoadAccountsXml10kFromMemory)->Unit(benchmark::kMillisecond)->Iterations(5);

// Lookups on the 10k accounts: mac is indexed (unique values), email_address is not; cfr is
// indexed with 100 rows per value.
struct lookup_table {
  table indexed{true}, plain{true};
  lookup_table() {
    define_like(indexed, "extensions");
    define_like(plain, "extensions", false);
    indexed.read_table(data().account_dir);
    plain.read_table(data().account_dir);
    // The lookups below must find distinct rows, or they measure nothing.
    if (indexed.first(extensions_mac, "0004f2000099") != 100 ||
        plain.first(extensions_mac, "0004f2000099") != 100 ||
        indexed.count(extensions_cfr, "42") != 100) {
      std::fprintf(stderr, "unexpected lookup data\n");
      std::abort();
    }
  }
};
lookup_table& lookups() {
  static lookup_table l;
  return l;
}

void BM_FirstIndexed(benchmark::State& state) {
  table& t = lookups().indexed;
  str keys[64];
  for (int i = 0; i < 64; i++) keys[i] = str::sprintf("0004f2%06d", (i * 157) % account_rows);
  int i = 0;
  for (auto _ : state) benchmark::DoNotOptimize(t.first(extensions_mac, keys[i++ & 63]));
}
BENCHMARK(BM_FirstIndexed);

void BM_FirstUnindexed(benchmark::State& state) {
  table& t = lookups().plain;
  str keys[64];
  for (int i = 0; i < 64; i++) keys[i] = str::sprintf("0004f2%06d", (i * 157) % account_rows);
  int i = 0;
  for (auto _ : state) benchmark::DoNotOptimize(t.first(extensions_mac, keys[i++ & 63]));
}
BENCHMARK(BM_FirstUnindexed)->Unit(benchmark::kMicrosecond);

void BM_SearchTwoColumnsIndexed(benchmark::State& state) {
  table& t = lookups().indexed;
  str cfr = "42", pw = "secret4242";
  for (auto _ : state)
    benchmark::DoNotOptimize(t.search(extensions_cfr, cfr, extensions_password, pw));
}
BENCHMARK(BM_SearchTwoColumnsIndexed)->Unit(benchmark::kMicrosecond);

void BM_CountIndexed(benchmark::State& state) {
  table& t = lookups().indexed;
  str key = "42";
  for (auto _ : state) benchmark::DoNotOptimize(t.count(extensions_cfr, key));
}
BENCHMARK(BM_CountIndexed);

void BM_CountUnindexed(benchmark::State& state) {
  table& t = lookups().plain;
  str key = "42";
  for (auto _ : state) benchmark::DoNotOptimize(t.count(extensions_cfr, key));
}
BENCHMARK(BM_CountUnindexed)->Unit(benchmark::kMicrosecond);

void BM_GetCell(benchmark::State& state) {
  table& t = lookups().indexed;
  int i = 0;
  for (auto _ : state) benchmark::DoNotOptimize(t.get(1 + (i++ % account_rows), extensions_mac));
}
BENCHMARK(BM_GetCell);

// set of one cell plus write_row of that row (a whole-file write with rename) per iteration.
void BM_SetAndWriteRow(benchmark::State& state) {
  table t(true);
  define_like(t, "users");
  t.read_table(data().write_dir);
  for (int i = 0; i < 1000; i++) {
    int id = t.add_row(false);
    t.set(id, users_domain, "1", false);
    t.set(id, users_type_name, "extensions", false);
    t.set(id, users_type_index, str::sprintf("%d", id), true, false);
  }
  int i = 0;
  for (auto _ : state) {
    int id = 1 + i % 1000;
    t.set(id, users_dialog_version, str::sprintf("%d", i), false);
    t.write_row(id, false);
    i++;
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SetAndWriteRow)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
