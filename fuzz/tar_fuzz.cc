// Fuzz target: the tar reader and put_tar on an in-memory working directory. No entry may be
// written outside the working directory, and a refused image must change nothing.
#include <cstdint>
#include <cstdlib>

#include "base/file_system.h"
#include "base/log.h"
#include "db/schema.h"
#include "db/tar.h"
#include "frame/settings.h"

namespace {

void quiet(int, int, const str&) {}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  set_log_sink(quiet);
  memory_file_system mfs;
  scoped_file_system use(&mfs);
  for (size_t i = 0; i < table_def_count; i++) {
    define_table(table_defs[i]);
    table_defs[i].t->read_table(table_defs[i].dir, 0, 0);
  }
  domains.set(1, domains_name, "keep");
  str image(data, size);
  std::vector<tar_entry> entries;
  str bad;
  tar_status s = tar_read(image, entries, bad);
  for (const tar_entry& e : entries) {
    if (!tar_safe_name(e.name)) abort();
  }
  bool loaded = put_tar(image, 1 << 20);
  if (loaded != (s == tar_status::ok && size > 0 && size <= (1 << 20))) abort();
  if (!loaded && mfs.files.count("domains/1.xml") != 1) abort();
  for (const auto& [name, bytes] : mfs.files) {
    if (name.empty() || name[0] == '/' || !tar_safe_name(str(name))) abort();
  }
  return 0;
}
