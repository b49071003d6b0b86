// Fuzz target: loading the settings file. Any bytes as pbx.xml must load without crashing;
// what was loaded, saved and loaded again gives the same values (the saved file is a fixed
// point), apart from the two things XML itself cannot carry: carriage returns (normalised to
// line feeds by every XML reader) and values that are only white space.
#include <cstdint>
#include <string>

#include "base/file_system.h"
#include "base/log.h"
#include "frame/settings.h"

namespace {

void quiet(int, int, const str&) {}

bool carried_by_xml(const str& v) {
  if (v.contains_char('\r')) return false;
  return v.empty() || !v.strip().empty();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  set_log_sink(quiet);
  memory_file_system mfs;
  scoped_file_system use(&mfs);
  config_file = "pbx.xml";
  mfs.files["pbx.xml"] = std::string(reinterpret_cast<const char*>(data), size);
  init_config();
  str first[ctrl_settings::setting_count];
  for (int i = 0; i < ctrl_settings::setting_count; ++i) first[i] = ctrl_read_registry(i);
  if (!save_config()) abort();
  init_config();
  for (int i = 0; i < ctrl_settings::setting_count; ++i)
    if (carried_by_xml(first[i]) && ctrl_read_registry(i) != first[i]) abort();
  return 0;
}
