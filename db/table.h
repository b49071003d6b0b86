// The table store: the in-memory tables that hold all PBX state, each optionally mirrored to a
// directory of row files.
//
// A table maps positive record ids to rows of string values, one per named column, with
// optional secondary indexes on single columns. Everything is untyped text; an empty value is
// "not set" and is never written to disk. Record id 0 means "none" in every lookup.
//
// Side: ctrl. The store has no lock of its own: every call, read or write, must be made while
// holding ctrl_run_mutex. read_table with a delay releases that lock between batches through
// the yield hooks below. The trigger runs synchronously inside write_row under the same lock.
//
// Failure behaviour: no operation reports an error to its caller. Unknown columns read as empty
// and ignore writes. File errors are logged by the file layer; the in-memory rows stay
// authoritative and the next successful write of a row rewrites its whole file.
#pragma once

#include <map>
#include <set>
#include <unordered_map>
#include <vector>

#include "base/str.h"
#include "db/file_writer.h"

// Secondary index on one column. by_value keeps equal values in insertion order; by_row gives
// each row's entry. Every row of the table has exactly one entry (empty values included).
struct dbindex {
  std::multimap<str, int> by_value;
  std::unordered_map<int, std::multimap<str, int>::iterator> by_row;

  void add(int id, const str& value) { by_row[id] = by_value.emplace(value, id); }
  void remove(int id);
  void clear() {
    by_value.clear();
    by_row.clear();
  }
};

// The values of one row by column number. Only non-empty values take room: an extension sets a
// handful of its ninety-odd columns, and thirty thousand of them must fit in little memory.
// A stored value never keeps a large buffer alive (a whole configuration script or message
// text that it was a window on): such a value is compressed into a buffer of its own.
class row_values {
 public:
  // The value of column c; empty when not set.
  const str& operator[](size_t c) const;
  // Sets column c; an empty value frees the cell.
  void set(size_t c, const str& value);
  void clear() { cells_ = {}; }
  // Moves the values of the columns that are not in `indexed` into one buffer of their own
  // (a small value alone takes a buffer of 64 bytes). Values of indexed columns stay where they
  // are: the index keeps them anyway. With only_unshared, only values whose buffer no other
  // value of the row shares move, and only when there are two or more: texts that share a
  // buffer on purpose (a binding's, packed by its writer) are left in it.
  template <class Map>
  void pack(const Map& indexed, bool only_unshared);

 private:
  struct cell {
    uint32_t column;
    str value;
  };
  std::vector<cell> cells_;  // ascending by column, exactly as many as set
};

template <class Map>
void row_values::pack(const Map& indexed, bool only_unshared) {
  std::vector<bool> moves(cells_.size());
  size_t total = 0;
  int count = 0;
  for (size_t i = 0; i < cells_.size(); i++) {
    bool m = !indexed.count(static_cast<int>(cells_[i].column));
    for (size_t j = 0; m && only_unshared && j < cells_.size(); j++) {
      if (j != i && cells_[j].value.shares_with(cells_[i].value)) m = false;
    }
    moves[i] = m;
    if (!m) continue;
    total += cells_[i].value.length();
    count++;
  }
  if (count == 0 || (only_unshared && count < 2)) return;
  str buffer;
  buffer.reserve(total);
  for (size_t i = 0; i < cells_.size(); i++) {
    if (moves[i]) buffer.append(cells_[i].value.cbuffer(), cells_[i].value.length());
  }
  size_t at = 0;
  for (size_t i = 0; i < cells_.size(); i++) {
    cell& c = cells_[i];
    if (!moves[i]) continue;
    const size_t n = c.value.length();
    c.value = buffer.substr(at, n);
    at += n;
  }
}

// One row: a value per column, indexed by column number.
struct row {
  bool dirty = false;
  row_values values;
};

// How read_table gives up the run lock while loading throttled: yield(ms) releases
// ctrl_run_mutex, sleeps ms milliseconds and takes the lock again. The default is the frame's
// yield_thread; tests install a recording stand-in that does not sleep.
struct table_yield_hooks {
  void (*yield)(int ms) = nullptr;
};
void set_table_yield_hooks(const table_yield_hooks& hooks);
const table_yield_hooks& get_table_yield_hooks();


class table {
 public:
  // Change callback: (table name, record id).
  using trigger_fn = void (*)(const str& table_name, int id);
  static constexpr int all = 2147483647;

  explicit table(bool persistent);
  table(const table&) = delete;
  table& operator=(const table&) = delete;

  // ---- Construction and schema ----------------------------------------------------------------
  // Adds a column (next column number), or only brings an existing column's index in line with
  // `indexed`. Columns are never removed. The third argument is accepted and ignored.
  void add_column(const str& name, bool indexed = false, bool = false);
  // Keeps an index on an existing column in memory only. Lookups use it like any other index,
  // but the table's description on disk still shows the column as not indexed, and
  // add_column(column, false) leaves it in place. It is for columns that the system searches
  // on every request (account names) while the stored layout has no index for them.
  void add_lookup(const str& column);
  void dont_create() { create_on_set_ = false; }
  void use_binary() { binary_ = true; }
  void set_trigger(trigger_fn fn) { trigger_ = fn; }
  int get_column(const str& name) const;
  bool has_column(const str& name) const { return get_column(name) >= 0; }
  const str& get_name() const { return name_; }
  // Sets the table's directory without loading (tests and the schema).
  void set_name(const str& name) { name_ = name; }
  int get_index() const { return next_index_; }
  int size() const { return static_cast<int>(rows_.size()); }
  int count() const { return size(); }
  bool is_persistent() const { return persistent_; }
  bool is_binary() const { return binary_; }
  bool creates_on_set() const { return create_on_set_; }
  // True for a column indexed by add_column (not for a lookup-only index).
  bool is_indexed(const str& column) const;
  // Column names in column-number order.
  const std::vector<str>& column_names() const { return column_names_; }
  // Column name -> number, iterated in byte-wise name order.
  const std::map<str, int>& columns() const { return columns_; }

  // ---- Reading -------------------------------------------------------------------------------
  str get(int id, const str& column) const;
  // Clears out; for an existing row fills every column name -> value (empty values included).
  void get(int id, std::map<str, str>& out) const;
  bool has_row(int id) const { return id != 0 && rows_.count(id) != 0; }
  bool is_dirty(int id) const;

  // ---- Writing -------------------------------------------------------------------------------
  int add_row(bool write = true);
  void set(int id, const str& column, const str& value, bool write = true, bool notify = true);
  // Sets every known column of the map without writing; the caller writes the row afterwards.
  void set(int id, const std::map<str, str>& values);
  void reset_row(int id);
  void delete_row(int id);
  void delete_row(const str& column, const str& value);
  void delete_row(const str& col1, const str& val1, const str& col2, const str& val2);
  void delete_row();
  void write_row(int id, bool notify = true);
  void refresh(int column);

  // ---- Lookups: record ids, 0 (or an empty set) for none ---------------------------------------
  int first() const;
  int search() const { return first(); }
  int last() const;
  int next(int id) const;
  int prev(int id) const;
  int first(const str& col, const str& val) const;
  int last(const str& col, const str& val) const;
  int first(const str& col1, const str& val1, const str& col2, const str& val2) const;
  int last(const str& col1, const str& val1, const str& col2, const str& val2) const;
  int search(const str& col, const str& val) const { return first(col, val); }
  int search(const str& col1, const str& val1, const str& col2, const str& val2) const {
    return first(col1, val1, col2, val2);
  }
  int search(const str& col1, const str& val1, const str& col2, const str& val2, const str& col3,
             const str& val3) const;
  int count(const str& col, const str& val) const;
  int count(const str& col1, const str& val1, const str& col2, const str& val2) const;
  int next(int id, const str& col) const;
  int prev(int id, const str& col) const;
  std::set<int> search_list(int max, int skip, bool reverse) const;
  std::set<int> search_list(const str& col, const str& val, int max, int skip, bool reverse) const;
  std::set<int> search_list(const str& col1, const str& val1, const str& col2, const str& val2,
                            int max, int skip, bool reverse) const;
  std::set<int> search_list(const str& col1, const str& val1, const str& col2, const str& val2,
                            const str& col3, const str& val3, int max, int skip,
                            bool reverse) const;
  std::set<int> search_greater(const str& col1, const str& val1, const str& col2,
                               const str& val2) const;
  std::set<int> search_unequal(const str& col, const str& val) const;
  bool match_leftstr(const str& col1, const str& val1, const str& col2, const str& prefix) const;

  // ---- Files -----------------------------------------------------------------------------------
  // Empties the table, sets its name to path and loads index and row files. With delay_ms > 0
  // the run lock is released for delay_ms after every `batch` directory entries.
  void read_table(const str& path, int delay_ms = 0, int batch = 0);
  void read_row(int id);
  void read_index();
  void write_index();
  void read_description();
  void write_description();
  // The row file name of id and the file content of a row (exposed for tests and benchmarks).
  str row_file(int id) const;
  str row_content(int id) const;

  // ---- Text forms ------------------------------------------------------------------------------
  // The configuration-script text of the whole table (DeleteTable + SetEntry per row).
  str serialize() const;
  str get_info() const;

  // Read-only access to the rows in id order (exports).
  const std::map<int, row>& rows() const { return rows_; }

 private:
  struct cond {
    int column;
    const str* value;
  };
  // Conditions with resolved column numbers; false when a named column does not exist.
  bool resolve(const str* cols[], const str* vals[], int n, cond out[]) const;
  bool matches(const row& r, const cond c[], int n) const;
  // The first (or, from_end, the last) row matching n (at most 3) conditions; 0 for none.
  int find_one(const str* cols[], const str* vals[], int n, bool from_end) const;
  // Up to max matching ids after skipping skip of them, walked as search_list describes.
  std::set<int> list_matching(const str* cols[], const str* vals[], int n, int max, int skip,
                              bool reverse) const;
  // Walks the matching rows in lookup order (index of the first column when present, else id
  // order; reverse only by id). fn returns false to stop.
  template <class F>
  void walk(const cond c[], int n, bool reverse, bool use_index, F fn) const;
  // Deletes every row matching n (at most 3) conditions.
  void delete_matching(const str* cols[], const str* vals[], int n);
  // value, or, for an indexed column where other rows hold the same value, their copy: the
  // domain of 30,000 accounts is then one buffer, not 30,000.
  str shared_value(int column, const str& value) const;
  void add_to_indexes(int id, const row& r);
  void remove_from_indexes(int id);
  void create_row(int id);
  void apply_content(row& r, const str& content);

  str name_;
  int next_index_ = 1;
  int saved_index_ = 0;
  std::map<str, int> columns_;
  // The same names hashed: every get and set looks its column up by name.
  std::unordered_map<str, int, str_hash> column_ids_;
  std::vector<str> column_names_;
  std::map<int, row> rows_;
  bool persistent_;
  bool create_on_set_ = true;
  bool binary_ = false;
  trigger_fn trigger_ = nullptr;
  std::map<int, dbindex> indexes_;
  std::set<int> lookups_;  // columns of indexes_ kept for lookups only (add_lookup)
};
