// Fuzz target: applying a configuration script (process_config and on_config_available) to a
// store on an in-memory file tree. Settings are stored without side effects so that no input
// reaches the logging or the network.
#include <cstdint>
#include <cstdlib>

#include "base/file_system.h"
#include "base/log.h"
#include "db/config_script.h"
#include "db/schema.h"
#include "frame/settings.h"

namespace {

void quiet(int, int, const str&) {}
void store_only(int setting, const str& value) { ctrl_write_setting(setting, value); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  set_log_sink(quiet);
  set_config_setting_writer(store_only);
  memory_file_system mfs;
  scoped_file_system use(&mfs);
  for (size_t i = 0; i < table_def_count; i++) {
    define_table(table_defs[i]);
    table_defs[i].t->read_table(table_defs[i].dir, 0, 0);
  }
  str text(data, size);
  process_config(text);
  on_config_available(200, text);
  // Nothing may be written outside the working directory.
  for (const auto& [name, bytes] : mfs.files) {
    if (name.empty() || name[0] == '/' || name.find("..") != std::string::npos) abort();
  }
  // Whatever was applied serialises and applies again.
  str script = serialize_config();
  process_config(script);
  return 0;
}
