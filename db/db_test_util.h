// Test support for the data store: an in-memory file tree, captured log lines, and every
// table reset to empty on it. Only included by *_test.cc and fuzz targets.
#pragma once

#include <string>
#include <vector>

#include "base/file_system.h"
#include "base/log.h"
#include "db/schema.h"
#include "frame/settings.h"

namespace db_test {

inline std::vector<std::string>& logged() {
  static std::vector<std::string> lines;
  return lines;
}
inline void capture(int, int, const str& text) { logged().emplace_back(text.view()); }
inline bool has_log(const std::string& text) {
  for (auto& l : logged())
    if (l == text) return true;
  return false;
}

// Every table defined and loaded from the current (empty) file layer; settings at defaults.
inline void reset_store() {
  for (size_t i = 0; i < table_def_count; i++) {
    define_table(table_defs[i]);
    table_defs[i].t->read_table(table_defs[i].dir, 0, 0);
  }
  init_config();
}

inline void yield_without_sleeping(int) {}

}  // namespace db_test
