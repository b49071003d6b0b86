#include "db/table.h"

#include <algorithm>
#include <climits>
#include <iterator>

#include "base/file_system.h"
#include "base/log.h"
#include "db/xml_text.h"
#include "frame/mutex.h"

namespace {

table_yield_hooks yield_hooks = {yield_thread};

const char xml_declaration[] = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n";

void put_be16(str& out, size_t v) {
  char* p = out.extend(2);
  p[0] = static_cast<char>(v >> 8 & 0xff);
  p[1] = static_cast<char>(v & 0xff);
}

void put_be32(str& out, size_t v) {
  char* p = out.extend(4);
  p[0] = static_cast<char>(v >> 24 & 0xff);
  p[1] = static_cast<char>(v >> 16 & 0xff);
  p[2] = static_cast<char>(v >> 8 & 0xff);
  p[3] = static_cast<char>(v & 0xff);
}

// The record id of a row file name ("12.xml" -> 12), or 0 when the name is not a positive
// decimal number followed by ".xml".
int row_file_id(const str& name) {
  long dot = name.find('.');
  if (dot <= 0 || dot > 10) return 0;
  if (name.substr(static_cast<size_t>(dot)) != ".xml") return 0;
  int64_t v = 0;
  for (long i = 0; i < dot; i++) {
    uint8_t c = name[static_cast<size_t>(i)];
    if (c < '0' || c > '9') return 0;
    v = v * 10 + (c - '0');
  }
  return v > 0 && v <= INT_MAX ? static_cast<int>(v) : 0;
}

}  // namespace

void set_table_yield_hooks(const table_yield_hooks& hooks) { yield_hooks = hooks; }
const table_yield_hooks& get_table_yield_hooks() { return yield_hooks; }

// ---- dbindex --------------------------------------------------------------------------------

void dbindex::remove(int id) {
  auto it = by_row.find(id);
  if (it == by_row.end()) return;
  by_value.erase(it->second);
  by_row.erase(it);
}

// ---- Construction and schema ----------------------------------------------------------------

table::table(bool persistent) : persistent_(persistent) {}

void table::add_column(const str& name, bool indexed, bool) {
  if (name.empty()) return;
  auto it = columns_.find(name);
  if (it != columns_.end()) {
    int c = it->second;
    bool has = indexes_.count(c) != 0;
    if (indexed && !has) refresh(c);
    if (indexed) lookups_.erase(c);
    if (!indexed && has && !lookups_.count(c)) indexes_.erase(c);
    return;
  }
  int c = static_cast<int>(column_names_.size());
  columns_.emplace(name, c);
  column_ids_.emplace(name, c);
  column_names_.push_back(name);
  if (indexed) refresh(c);
}

void table::add_lookup(const str& column) {
  int c = get_column(column);
  if (c < 0 || indexes_.count(c)) return;
  lookups_.insert(c);
  refresh(c);
}

int table::get_column(const str& name) const {
  auto it = column_ids_.find(name);
  return it == column_ids_.end() ? -1 : it->second;
}

bool table::is_indexed(const str& column) const {
  int c = get_column(column);
  return c >= 0 && indexes_.count(c) != 0 && !lookups_.count(c);
}

// ---- Reading ----------------------------------------------------------------------------------

str table::get(int id, const str& column) const {
  int c = get_column(column);
  if (c < 0) return str();
  auto it = rows_.find(id);
  if (it == rows_.end()) return str();
  return it->second.values[static_cast<size_t>(c)];
}

void table::get(int id, std::map<str, str>& out) const {
  out.clear();
  auto it = rows_.find(id);
  if (it == rows_.end() || id == 0) return;
  for (const auto& [name, c] : columns_) out.emplace(name, it->second.values[c]);
}

bool table::is_dirty(int id) const {
  auto it = rows_.find(id);
  return it != rows_.end() && it->second.dirty;
}

// ---- Rows -------------------------------------------------------------------------------------

const str& row_values::operator[](size_t c) const {
  auto it = std::lower_bound(cells_.begin(), cells_.end(), c,
                             [](const cell& x, size_t column) { return x.column < column; });
  return it != cells_.end() && it->column == c ? it->value : str_null;
}

void row_values::set(size_t c, const str& value) {
  auto it = std::lower_bound(cells_.begin(), cells_.end(), c,
                             [](const cell& x, size_t column) { return x.column < column; });
  const bool present = it != cells_.end() && it->column == c;
  if (value.empty()) {
    if (present) cells_.erase(it);
    return;
  }
  str own = value;
  // A window on a big buffer (a configuration script, a message text) moves into a buffer of
  // its own. Texts that share a small buffer on purpose (a row file's values, the packed texts
  // of a binding) stay as they are.
  if (own.capacity() > str::class_capacity(3)) own.compress();
  if (present) {
    it->value = std::move(own);
    return;
  }
  // Grown by one: rows are small and change seldom, so no spare capacity is kept.
  std::vector<cell> grown;
  grown.reserve(cells_.size() + 1);
  grown.insert(grown.end(), std::make_move_iterator(cells_.begin()), std::make_move_iterator(it));
  grown.push_back(cell{static_cast<uint32_t>(c), std::move(own)});
  grown.insert(grown.end(), std::make_move_iterator(it), std::make_move_iterator(cells_.end()));
  cells_ = std::move(grown);
}

// ---- Writing ----------------------------------------------------------------------------------

str table::shared_value(int column, const str& value) const {
  auto ix = indexes_.find(column);
  if (value.empty() || ix == indexes_.end()) return value;
  auto it = ix->second.by_value.lower_bound(value);
  return it != ix->second.by_value.end() && it->first == value ? it->first : value;
}

void table::add_to_indexes(int id, const row& r) {
  for (auto& [c, index] : indexes_) index.add(id, r.values[c]);
}

void table::remove_from_indexes(int id) {
  for (auto& [c, index] : indexes_) index.remove(id);
}

void table::create_row(int id) {
  row& r = rows_[id];
  r.dirty = false;
  r.values.clear();
}

int table::add_row(bool write) {
  int id;
  do {
    id = next_index_;
    // Past the largest id the count starts again at 1; ids in use are skipped.
    next_index_ = id > 0 && id < INT_MAX ? id + 1 : 1;
  } while (id <= 0 || rows_.count(id) != 0);
  create_row(id);
  row& r = rows_[id];
  r.dirty = write;
  write_index();
  add_to_indexes(id, r);
  if (write) write_row(id, true);
  return id;
}

void table::set(int id, const str& column, const str& value, bool write, bool notify) {
  if (id <= 0) return;
  int c = get_column(column);
  if (c < 0) return;
  auto it = rows_.find(id);
  if (it != rows_.end()) {
    row& r = it->second;
    if (r.values[c] != value) r.dirty = true;
    r.values.set(c, shared_value(c, value));
    auto ix = indexes_.find(c);
    if (ix != indexes_.end()) {
      ix->second.remove(id);
      ix->second.add(id, r.values[c]);  // the stored copy, not a window on the caller's text
    }
  } else {
    if (!create_on_set_) {
      log_printf(log_general, 2, "Writing to row that does not exist, ignoring request");
      return;
    }
    if (next_index_ <= id) {
      next_index_ = id == INT_MAX ? id : id + 1;
      write_index();
    }
    create_row(id);
    row& r = rows_[id];
    r.dirty = !value.empty();
    r.values.set(c, shared_value(c, value));
    add_to_indexes(id, r);
  }
  if (write) write_row(id, notify);
}

void table::set(int id, const std::map<str, str>& values) {
  for (const auto& [name, value] : values) {
    if (has_column(name)) set(id, name, value, false, false);
  }
}

void table::reset_row(int id) {
  auto it = rows_.find(id);
  if (it == rows_.end()) return;
  for (const auto& name : column_names_) set(id, name, str(), false, false);
  write_row(id, true);
}

void table::delete_row(int id) {
  auto it = rows_.find(id);
  if (it == rows_.end() || id <= 0) return;
  remove_from_indexes(id);
  rows_.erase(it);
  write_row(id, true);
  write_index();
}

void table::delete_matching(const str* cols[], const str* vals[], int n) {
  cond c[3];
  if (!resolve(cols, vals, n, c)) return;
  std::vector<int> ids;
  walk(c, n, false, true, [&](int id) {
    ids.push_back(id);
    return true;
  });
  for (int id : ids) delete_row(id);
}

void table::delete_row(const str& column, const str& value) {
  const str* cols[] = {&column};
  const str* vals[] = {&value};
  delete_matching(cols, vals, 1);
}

void table::delete_row(const str& col1, const str& val1, const str& col2, const str& val2) {
  const str* cols[] = {&col1, &col2};
  const str* vals[] = {&val1, &val2};
  delete_matching(cols, vals, 2);
}

void table::delete_row() {
  std::vector<int> ids;
  ids.reserve(rows_.size());
  for (const auto& [id, r] : rows_) ids.push_back(id);
  for (int id : ids) {
    rows_.erase(id);
    for (auto& [c, index] : indexes_) index.remove(id);
    write_row(id, true);
  }
  for (auto& [c, index] : indexes_) index.clear();
  next_index_ = 1;
  write_index();
}

str table::row_file(int id) const { return name_ + "/" + str::from_int64(id) + ".xml"; }

str table::row_content(int id) const {
  str out;
  auto it = rows_.find(id);
  if (it == rows_.end()) return out;
  const row& r = it->second;
  if (binary_) {
    out.reserve(256);
    out += "TLVB";
    for (const auto& [name, c] : columns_) {
      const str& v = r.values[c];
      if (v.empty()) continue;
      put_be16(out, name.length());
      out += name;
      put_be32(out, v.length());
      out += v;
    }
    return out;
  }
  out.reserve(256);
  out += xml_declaration;
  bool any = false;
  for (const auto& [name, c] : columns_) {
    const str& v = r.values[c];
    if (v.empty()) continue;
    if (!any) out += "<row>";
    any = true;
    out += '<';
    out += name;
    out += '>';
    append_xml_escaped(out, v);
    out += "</";
    out += name;
    out += '>';
  }
  out += any ? "</row>" : "<row/>";
  return out;
}

void table::write_row(int id, bool notify) {
  if (id <= 0 || !persistent_) return;
  if (!name_.empty()) {
    auto it = rows_.find(id);
    if (it != rows_.end()) {
      if (it->second.dirty) {
        // A failed write is logged by the file layer; the row counts as clean all the same and
        // its next write rewrites the whole file from memory.
        write_whole_file(row_file(id), row_content(id));
        it->second.dirty = false;
        it->second.values.pack(indexes_, true);
        // An index file whose last write failed is retried with the next row write.
        write_index();
      }
    } else {
      remove_whole_file(row_file(id));
    }
  }
  if (notify && trigger_) trigger_(name_, id);
}

void table::refresh(int column) {
  if (column < 0 || static_cast<size_t>(column) >= column_names_.size()) return;
  dbindex& index = indexes_[column];
  index.clear();
  for (const auto& [id, r] : rows_) index.add(id, r.values[column]);
}

// ---- Lookups ----------------------------------------------------------------------------------

bool table::resolve(const str* cols[], const str* vals[], int n, cond out[]) const {
  for (int i = 0; i < n; i++) {
    out[i].column = get_column(*cols[i]);
    if (out[i].column < 0) return false;
    out[i].value = vals[i];
  }
  return true;
}

bool table::matches(const row& r, const cond c[], int n) const {
  for (int i = 0; i < n; i++) {
    if (r.values[c[i].column] != *c[i].value) return false;
  }
  return true;
}

template <class F>
void table::walk(const cond c[], int n, bool reverse, bool use_index, F fn) const {
  auto ix = use_index ? indexes_.find(c[0].column) : indexes_.end();
  if (ix != indexes_.end()) {
    auto range = ix->second.by_value.equal_range(*c[0].value);
    if (!reverse) {
      for (auto it = range.first; it != range.second; ++it) {
        const row& r = rows_.find(it->second)->second;
        if (matches(r, c + 1, n - 1) && !fn(it->second)) return;
      }
    } else {
      for (auto it = range.second; it != range.first;) {
        --it;
        const row& r = rows_.find(it->second)->second;
        if (matches(r, c + 1, n - 1) && !fn(it->second)) return;
      }
    }
    return;
  }
  if (!reverse) {
    for (const auto& [id, r] : rows_) {
      if (matches(r, c, n) && !fn(id)) return;
    }
  } else {
    for (auto it = rows_.rbegin(); it != rows_.rend(); ++it) {
      if (matches(it->second, c, n) && !fn(it->first)) return;
    }
  }
}

int table::first() const { return rows_.empty() ? 0 : rows_.begin()->first; }
int table::last() const { return rows_.empty() ? 0 : rows_.rbegin()->first; }

int table::next(int id) const {
  auto it = rows_.find(id);
  if (it == rows_.end() || ++it == rows_.end()) return 0;
  return it->first;
}

int table::prev(int id) const {
  auto it = rows_.find(id);
  if (it == rows_.end() || it == rows_.begin()) return 0;
  return (--it)->first;
}

int table::find_one(const str* cols[], const str* vals[], int n, bool from_end) const {
  cond c[3];
  if (!resolve(cols, vals, n, c)) return 0;
  int found = 0;
  walk(c, n, from_end, true, [&](int id) {
    found = id;
    return false;
  });
  return found;
}

int table::first(const str& col, const str& val) const {
  const str* cols[] = {&col};
  const str* vals[] = {&val};
  return find_one(cols, vals, 1, false);
}

int table::last(const str& col, const str& val) const {
  const str* cols[] = {&col};
  const str* vals[] = {&val};
  return find_one(cols, vals, 1, true);
}

int table::first(const str& col1, const str& val1, const str& col2, const str& val2) const {
  const str* cols[] = {&col1, &col2};
  const str* vals[] = {&val1, &val2};
  return find_one(cols, vals, 2, false);
}

int table::last(const str& col1, const str& val1, const str& col2, const str& val2) const {
  const str* cols[] = {&col1, &col2};
  const str* vals[] = {&val1, &val2};
  return find_one(cols, vals, 2, true);
}

int table::search(const str& col1, const str& val1, const str& col2, const str& val2,
                  const str& col3, const str& val3) const {
  const str* cols[] = {&col1, &col2, &col3};
  const str* vals[] = {&val1, &val2, &val3};
  return find_one(cols, vals, 3, false);
}

int table::count(const str& col, const str& val) const {
  int ci = get_column(col);
  if (ci < 0) return 0;
  auto ix = indexes_.find(ci);
  if (ix != indexes_.end()) return static_cast<int>(ix->second.by_value.count(val));
  const str* cols[] = {&col};
  const str* vals[] = {&val};
  cond c[1];
  resolve(cols, vals, 1, c);
  int n = 0;
  walk(c, 1, false, false, [&](int) {
    n++;
    return true;
  });
  return n;
}

int table::count(const str& col1, const str& val1, const str& col2, const str& val2) const {
  const str* cols[] = {&col1, &col2};
  const str* vals[] = {&val1, &val2};
  cond c[2];
  if (!resolve(cols, vals, 2, c)) return 0;
  int n = 0;
  walk(c, 2, false, true, [&](int) {
    n++;
    return true;
  });
  return n;
}

int table::next(int id, const str& col) const {
  int c = get_column(col);
  auto it = rows_.find(id);
  if (c < 0 || it == rows_.end()) return 0;
  const str& value = it->second.values[c];
  auto ix = indexes_.find(c);
  if (ix != indexes_.end()) {
    auto e = ix->second.by_row.find(id);
    if (e == ix->second.by_row.end()) return 0;
    auto n = std::next(e->second);
    if (n == ix->second.by_value.end() || n->first != value) return 0;
    return n->second;
  }
  for (++it; it != rows_.end(); ++it) {
    if (it->second.values[c] == value) return it->first;
  }
  return 0;
}

int table::prev(int id, const str& col) const {
  int c = get_column(col);
  auto it = rows_.find(id);
  if (c < 0 || it == rows_.end()) return 0;
  const str& value = it->second.values[c];
  auto ix = indexes_.find(c);
  if (ix != indexes_.end()) {
    auto e = ix->second.by_row.find(id);
    if (e == ix->second.by_row.end() || e->second == ix->second.by_value.begin()) return 0;
    auto p = std::prev(e->second);
    return p->first == value ? p->second : 0;
  }
  while (it != rows_.begin()) {
    --it;
    if (it->second.values[c] == value) return it->first;
  }
  return 0;
}

std::set<int> table::search_list(int max, int skip, bool reverse) const {
  std::set<int> out;
  if (max <= 0) return out;
  auto take = [&](int id) {
    if (skip > 0) {
      skip--;
      return true;
    }
    out.insert(id);
    return static_cast<int>(out.size()) < max;
  };
  if (!reverse) {
    for (const auto& [id, r] : rows_) {
      if (!take(id)) break;
    }
  } else {
    for (auto it = rows_.rbegin(); it != rows_.rend(); ++it) {
      if (!take(it->first)) break;
    }
  }
  return out;
}

std::set<int> table::list_matching(const str* cols[], const str* vals[], int n, int max,
                                   int skip, bool reverse) const {
  cond c[3];
  std::set<int> out;
  if (max <= 0 || !resolve(cols, vals, n, c)) return out;
  walk(c, n, reverse, !reverse, [&](int id) {
    if (skip > 0) {
      skip--;
      return true;
    }
    out.insert(id);
    return static_cast<int>(out.size()) < max;
  });
  return out;
}

std::set<int> table::search_list(const str& col, const str& val, int max, int skip,
                                 bool reverse) const {
  const str* cols[] = {&col};
  const str* vals[] = {&val};
  return list_matching(cols, vals, 1, max, skip, reverse);
}

std::set<int> table::search_list(const str& col1, const str& val1, const str& col2, const str& val2,
                                 int max, int skip, bool reverse) const {
  const str* cols[] = {&col1, &col2};
  const str* vals[] = {&val1, &val2};
  return list_matching(cols, vals, 2, max, skip, reverse);
}

std::set<int> table::search_list(const str& col1, const str& val1, const str& col2, const str& val2,
                                 const str& col3, const str& val3, int max, int skip,
                                 bool reverse) const {
  const str* cols[] = {&col1, &col2, &col3};
  const str* vals[] = {&val1, &val2, &val3};
  return list_matching(cols, vals, 3, max, skip, reverse);
}

std::set<int> table::search_greater(const str& col1, const str& val1, const str& col2,
                                    const str& val2) const {
  std::set<int> out;
  int c1 = get_column(col1), c2 = get_column(col2);
  if (c1 < 0 || c2 < 0) return out;
  auto ix = indexes_.find(c1);
  if (ix != indexes_.end()) {
    for (auto it = ix->second.by_value.lower_bound(val1); it != ix->second.by_value.end(); ++it) {
      if (rows_.find(it->second)->second.values[c2] == val2) out.insert(it->second);
    }
    return out;
  }
  for (const auto& [id, r] : rows_) {
    if (!(r.values[c1] < val1) && r.values[c2] == val2) out.insert(id);
  }
  return out;
}

std::set<int> table::search_unequal(const str& col, const str& val) const {
  std::set<int> out;
  int c = get_column(col);
  if (c < 0) return out;
  for (const auto& [id, r] : rows_) {
    if (r.values[c] != val) out.insert(id);
  }
  return out;
}

bool table::match_leftstr(const str& col1, const str& val1, const str& col2,
                          const str& prefix) const {
  const str* cols[] = {&col1};
  const str* vals[] = {&val1};
  cond c[1];
  int c2 = get_column(col2);
  if (c2 < 0 || !resolve(cols, vals, 1, c)) return false;
  bool found = false;
  walk(c, 1, false, true, [&](int id) {
    found = rows_.find(id)->second.values[c2].starts_with(prefix);
    return !found;
  });
  return found;
}

// ---- Files ------------------------------------------------------------------------------------

void table::read_index() {
  str text;
  flush_file_writer();  // the file may still be on its way
  if (!str::read_file(name_ + "/index.txt", text, false)) text.clear();
  text = text.strip();
  int v = text.value();
  next_index_ = v > 0 ? v : 1;
  saved_index_ = v > 0 ? v : 0;
}

void table::write_index() {
  if (!persistent_ || name_.empty() || next_index_ == saved_index_) return;
  if (write_whole_file(name_ + "/index.txt", str::from_int64(next_index_))) {
    saved_index_ = next_index_;
  }
}

void table::read_table(const str& path, int delay_ms, int batch) {
  rows_.clear();
  for (auto& [c, index] : indexes_) index.clear();
  next_index_ = 1;
  saved_index_ = 0;
  name_ = path;
  read_index();
  if (!persistent_) return;
  flush_file_writer();
  std::vector<str> names = str::get_dir(path);
  int entries = 0;
  for (const str& entry : names) {
    int id = row_file_id(entry);
    if (id > 0) {
      read_row(id);
    } else if (entry.ends_with(".tmp")) {
      // Left over from a write that never reached its rename: the target is intact.
      str::remove_file(path + "/" + entry, false);
    }
    entries++;
    if (delay_ms > 0 && batch > 0 && entries % batch == 0) {
      if (yield_hooks.yield) yield_hooks.yield(delay_ms);
    }
  }
}

void table::apply_content(row& r, const str& content) {
  if (content.starts_with("TLVB")) {
    const uint8_t* p = reinterpret_cast<const uint8_t*>(content.cbuffer());
    size_t n = content.length(), pos = 4;
    while (n - pos >= 2) {
      size_t nl = static_cast<size_t>(p[pos]) << 8 | p[pos + 1];
      pos += 2;
      if (n - pos < nl) break;
      size_t name_at = pos;
      pos += nl;
      if (n - pos < 4) break;
      size_t vl = static_cast<size_t>(p[pos]) << 24 | static_cast<size_t>(p[pos + 1]) << 16 |
                  static_cast<size_t>(p[pos + 2]) << 8 | p[pos + 3];
      pos += 4;
      if (n - pos < vl) break;
      if (nl > 0) {
        auto it = columns_.find(content.substr(name_at, nl));
        if (it != columns_.end()) {
          r.values.set(it->second, shared_value(it->second, content.substr(pos, vl)));
        }
      }
      pos += vl;
    }
    return;
  }
  for_each_row_element(content, [&](const str& name, const str& value) {
    auto it = columns_.find(name);
    if (it != columns_.end()) r.values.set(it->second, shared_value(it->second, value));
  });
}

void table::read_row(int id) {
  if (id <= 0) return;
  str content;
  flush_file_writer();
  if (!str::read_file(row_file(id), content, false) || content.empty()) return;
  auto [it, inserted] = rows_.try_emplace(id);
  if (!inserted) remove_from_indexes(id);
  row& r = it->second;
  apply_content(r, content);
  r.values.pack(indexes_, false);  // off the file's text, which is not kept
  add_to_indexes(id, r);
}

void table::read_description() {
  columns_.clear();
  column_ids_.clear();
  column_names_.clear();
  rows_.clear();
  indexes_.clear();
  lookups_.clear();
  str content;
  flush_file_writer();
  if (!str::read_file(name_ + "/table.xml", content, false) || content.empty()) return;
  read_table_description(content,
                         [&](const str& column, bool indexed) { add_column(column, indexed); });
}

void table::write_description() {
  if (name_.empty()) return;
  str out = xml_declaration;
  out += "<table>";
  for (const auto& [name, c] : columns_) {
    out += is_indexed(name) ? "<row index=\"true\">" : "<row>";
    append_xml_escaped(out, name);
    out += "</row>";
  }
  out += "</table>";
  write_whole_file(name_ + "/table.xml", out);
}

// ---- Text forms -------------------------------------------------------------------------------

str table::serialize() const {
  str out;
  str name_attr = xml_attribute_value(name_);
  out.appendf("<DeleteTable table=\"%s\"/>", name_attr);
  for (const auto& [id, r] : rows_) {
    out.appendf("<SetEntry table=\"%s\" row=\"%s\">", name_attr, str::from_int64(id));
    for (const auto& [name, c] : columns_) {
      out += "<Column name=\"";
      out += xml_attribute_value(name);
      out += "\">";
      append_xml_escaped(out, r.values[c]);
      out += "</Column>";
    }
    out += "</SetEntry>";
  }
  return out;
}

str table::get_info() const {
  str out = str::sprintf("idx=%d size=%d col=%d", next_index_, static_cast<int>(rows_.size()),
                         static_cast<int>(column_names_.size()));
  for (const auto& [c, index] : indexes_) {
    out.appendf(" %d %d", static_cast<int>(index.by_value.size()),
                static_cast<int>(index.by_row.size()));
  }
  return out;
}
