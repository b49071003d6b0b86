// The file layer: every file access of str's file helpers (and so of the table store, the
// settings file and the spools) goes through the current file_system, so that tests can run
// on an in-memory tree or make chosen operations fail.
//
// Side-neutral. The real implementation is thread-safe; memory_file_system takes its own lock.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "base/str.h"

class file_system {
 public:
  enum class status { ok, not_found, error };
  virtual ~file_system() = default;
  // Whole-file read. not_found when the file does not exist, error when it cannot be read
  // (a directory in its place, no permission, no size).
  virtual status read(const str& name, str& out) = 0;
  // Creates or truncates and writes all bytes. not_found when the file cannot be opened
  // (missing directory), error when not all bytes could be written.
  virtual status write(const str& name, const str& bytes, bool append) = 0;
  virtual bool remove(const str& name) = 0;
  virtual bool rename(const str& from, const str& to) = 0;
  virtual bool mkdir(const str& path) = 0;  // one level; true when it exists afterwards
  virtual bool list(const str& path, bool dirs, std::vector<str>& names) = 0;
  virtual int64_t size(const str& name) = 0;  // -1 when missing or not a regular file
  virtual bool is_dir(const str& path) = 0;

  // Replacing a whole file (str::write_file) keeps what the operator set up around it.
  struct existing_file {
    // The file a write of the name lands in: the name itself, or the final target when the
    // name is a symbolic link (followed through chains; a relative link resolves against its
    // directory).
    str target;
    // Hard links of the target (0 when it does not exist). A file with more than one is
    // rewritten in place, since renaming a new file over it would cut it off from its other
    // names.
    int links = 0;
    // Mode and owner differ from those of a new file: the replacement takes them over.
    bool custom = false;
    uint32_t mode = 0, uid = 0, gid = 0;
  };
  virtual existing_file inspect(const str& name) {
    existing_file e;
    e.target = name;
    e.links = size(name) >= 0 ? 1 : 0;
    return e;
  }
  // Gives the new file name the mode and owner of e (when e.custom).
  virtual void take_attributes(const str& name, const existing_file& e) {
    (void)name;
    (void)e;
  }
};

// The process's file layer (the real one unless a test installed another).
file_system& fs();
// Installs f (nullptr: back to the real one); returns the previous one.
file_system* set_file_system(file_system* f);

// An in-memory file tree for tests, with failure injection.
class memory_file_system : public file_system {
 public:
  status read(const str& name, str& out) override;
  status write(const str& name, const str& bytes, bool append) override;
  bool remove(const str& name) override;
  bool rename(const str& from, const str& to) override;
  bool mkdir(const str& path) override;
  bool list(const str& path, bool dirs, std::vector<str>& names) override;
  int64_t size(const str& name) override;
  bool is_dir(const str& path) override;

  // Failure injection: the next n writes (or renames) whose name contains the fragment fail.
  void fail_writes(const std::string& fragment, int n = 1000000);
  void fail_renames(const std::string& fragment, int n = 1000000);
  void fail_reads(const std::string& fragment, int n = 1000000);
  void heal();
  // Writes of a failing write leave only the first bytes_before_failure bytes (a torn write).
  size_t torn_bytes = 0;

  std::map<std::string, std::string> files;
  std::set<std::string> dirs{"", "."};

 private:
  bool take(std::vector<std::pair<std::string, int>>& rules, const str& name);
  std::mutex mu_;
  std::vector<std::pair<std::string, int>> write_failures_, rename_failures_, read_failures_;
};

// Installs a file system for the lifetime of the object (tests).
class scoped_file_system {
 public:
  explicit scoped_file_system(file_system* f) : prev_(set_file_system(f)) {}
  ~scoped_file_system() { set_file_system(prev_); }

 private:
  file_system* prev_;
};
