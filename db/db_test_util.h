// Test support for the data store: an in-memory file tree, captured log lines, and every
// table reset to empty on it. Only included by *_test.cc.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "base/file_system.h"
#include "base/log.h"
#include "base/log_capture_test_util.h"
#include "db/schema.h"
#include "db/tar.h"
#include "frame/settings.h"

namespace db_test {

// Every table defined and loaded from the current (empty) file layer; settings at defaults.
inline void reset_store() {
  for (size_t i = 0; i < table_def_count; i++) {
    define_table(table_defs[i]);
    table_defs[i].t->read_table(table_defs[i].dir, 0, 0);
  }
  init_config();
}

inline void yield_without_sleeping(int) {}

using cells = std::initializer_list<std::pair<str, str>>;
// Sets the cells of row id one by one, in the order given.
inline int set_row(table& t, int id, cells c) {
  for (const auto& [column, value] : c) t.set(id, column, value);
  return id;
}
// A new row with the cells set one by one; its id.
inline int add_row(table& t, cells c) { return set_row(t, t.add_row(), c); }
// The same with the cells written as text, "column=value" separated by '|'; a column the
// table lacks fails the test.
inline int set_row(table& t, int id, const str& text) {
  const std::string s(text.view());
  for (size_t at = 0, end; at < s.size(); at = end + 1) {
    end = std::min(s.find('|', at), s.size());
    const size_t eq = s.find('=', at);
    const str column(s.substr(at, eq - at));
    const auto& known = t.column_names();
    EXPECT_NE(std::find(known.begin(), known.end(), column), known.end()) << s.substr(at, eq - at);
    t.set(id, column, str(s.substr(eq + 1, end - eq - 1)));
  }
  return id;
}
inline int add_row(table& t, const str& text) { return set_row(t, t.add_row(), text); }

// The entries of an archive that must read: "name=data " each, in order.
inline std::string tar_listing(const str& image) {
  std::vector<tar_entry> entries;
  str bad;
  EXPECT_EQ(tar_read(image, entries, bad), tar_status::ok);
  std::string out;
  for (const tar_entry& e : entries) out += std::string(e.name.view()) + "=" + e.data.c_str() + " ";
  return out;
}

const std::string xml_header = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n";

// A test on an in-memory file tree with the log captured.
class files_test : public ::testing::Test {
 protected:
  // Writes a file, making its directory first.
  void put(const std::string& name, const std::string& bytes) {
    if (name.find('/') != std::string::npos) str::create_path(str(name.substr(0, name.rfind('/'))));
    mfs.files[name] = bytes;
  }
  std::string file(const std::string& name) {
    auto it = mfs.files.find(name);
    return it == mfs.files.end() ? std::string("<missing>") : it->second;
  }
  memory_file_system mfs;
  scoped_file_system use{&mfs};
  log_capture log;
};

// The same with every table of the schema empty and the settings at their defaults.
class store_test : public files_test {
 protected:
  void SetUp() override { reset_store(); }
};

}  // namespace db_test
