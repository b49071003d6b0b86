#include "base/file_system.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>

namespace {

class real_file_system : public file_system {
 public:
  status read(const str& name, str& out) override {
    int fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return errno == ENOENT ? status::not_found : status::error;
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
      ::close(fd);
      return status::error;
    }
    out.clear();
    size_t want = static_cast<size_t>(st.st_size);
    if (want) {
      char* w = out.extend(want);
      size_t got = 0;
      while (got < want) {
        ssize_t r = ::read(fd, w + got, want - got);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) break;
        got += static_cast<size_t>(r);
      }
      out.truncate(got);  // the file shrank while we read it: keep what we got
    }
    ::close(fd);
    return status::ok;
  }

  // New files are 0600 and new folders 0700: row files and pbx.xml hold passwords and keys.
  // A replaced file keeps its own mode (copy_attributes), so an operator's choice stays.
  status write(const str& name, const str& bytes, bool append) override {
    int flags = O_WRONLY | O_CREAT | O_CLOEXEC | (append ? O_APPEND : O_TRUNC);
    int fd = ::open(name.c_str(), flags, 0600);
    if (fd < 0) return status::not_found;
    const char* p = bytes.cbuffer();
    size_t left = bytes.length();
    while (left) {
      ssize_t r = ::write(fd, p, left);
      if (r < 0 && errno == EINTR) continue;
      if (r <= 0) {
        ::close(fd);
        return status::error;
      }
      p += r;
      left -= static_cast<size_t>(r);
    }
    return ::close(fd) == 0 ? status::ok : status::error;
  }

  bool remove(const str& name) override { return ::unlink(name.c_str()) == 0; }

  bool rename(const str& from, const str& to) override {
    return ::rename(from.c_str(), to.c_str()) == 0;
  }

  bool mkdir(const str& path) override {
    return ::mkdir(path.c_str(), 0700) == 0 || (errno == EEXIST && is_dir(path));
  }

  bool list(const str& path, bool dirs, std::vector<str>& names) override {
    DIR* d = ::opendir(path.empty() ? "." : path.c_str());
    if (!d) return false;
    while (dirent* e = ::readdir(d)) {
      str n(e->d_name);
      if (n == "." || n == "..") continue;
      bool is_directory;
      if (e->d_type == DT_DIR || e->d_type == DT_REG) {
        is_directory = e->d_type == DT_DIR;
      } else {
        struct stat st;
        str full = path + "/" + n;
        if (::stat(full.c_str(), &st) != 0) continue;
        is_directory = S_ISDIR(st.st_mode);
        if (!is_directory && !S_ISREG(st.st_mode)) continue;
      }
      if (is_directory == dirs) names.push_back(n);
    }
    ::closedir(d);
    std::sort(names.begin(), names.end());
    return true;
  }

  int64_t size(const str& name) override {
    struct stat st;
    if (::stat(name.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return -1;
    return st.st_size;
  }

  bool is_dir(const str& path) override {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
  }

  existing_file inspect(const str& name) override {
    existing_file e;
    e.target = name;
    struct stat st;
    bool found = ::lstat(name.c_str(), &st) == 0;
    for (int hops = 0; found && S_ISLNK(st.st_mode) && hops < 40; hops++) {
      // 40: the kernel's own limit on a chain of links.
      char buf[4096];
      ssize_t n = ::readlink(e.target.c_str(), buf, sizeof buf);
      if (n <= 0 || static_cast<size_t>(n) >= sizeof buf) break;
      str link(buf, static_cast<size_t>(n));
      size_t dir_end = e.target.view().rfind('/');
      e.target = link[0] == '/' || dir_end == std::string_view::npos
                     ? link
                     : e.target.leftstr(dir_end + 1) + link;
      found = ::lstat(e.target.c_str(), &st) == 0;
    }
    if (!found || !S_ISREG(st.st_mode)) return e;
    e.links = static_cast<int>(st.st_nlink);
    e.mode = st.st_mode & 07777;
    e.uid = st.st_uid;
    e.gid = st.st_gid;
    e.custom = e.mode != 0600 || e.uid != ::geteuid() || e.gid != ::getegid();
    return e;
  }

  void take_attributes(const str& name, const existing_file& e) override {
    if (!e.custom) return;
    // The owner first: chown may clear set-id bits that chmod then restores. A process that
    // may not give files away keeps its own ownership and still copies the mode.
    if (::chown(name.c_str(), e.uid, e.gid) != 0) errno = 0;
    ::chmod(name.c_str(), e.mode);
  }
};

real_file_system the_real_fs;
std::atomic<file_system*> current{&the_real_fs};

std::string key(const str& name) {
  std::string k(name.view());
  while (k.size() > 1 && k.back() == '/') k.pop_back();
  if (k.rfind("./", 0) == 0) k.erase(0, 2);
  return k;
}

std::string parent(const std::string& k) {
  size_t at = k.rfind('/');
  return at == std::string::npos ? std::string() : k.substr(0, at);
}

}  // namespace

file_system& fs() { return *current.load(std::memory_order_acquire); }

file_system* set_file_system(file_system* f) { return current.exchange(f ? f : &the_real_fs); }

// ---- memory_file_system ------------------------------------------------------------------------------

bool memory_file_system::take(std::vector<std::pair<std::string, int>>& rules, const str& name) {
  for (auto& r : rules) {
    if (r.second > 0 && name.view().find(r.first) != std::string_view::npos) {
      r.second--;
      return true;
    }
  }
  return false;
}

void memory_file_system::fail_writes(const std::string& fragment, int n) {
  std::lock_guard<std::mutex> g(mu_);
  write_failures_.emplace_back(fragment, n);
}

void memory_file_system::fail_renames(const std::string& fragment, int n) {
  std::lock_guard<std::mutex> g(mu_);
  rename_failures_.emplace_back(fragment, n);
}

void memory_file_system::fail_reads(const std::string& fragment, int n) {
  std::lock_guard<std::mutex> g(mu_);
  read_failures_.emplace_back(fragment, n);
}

void memory_file_system::heal() {
  std::lock_guard<std::mutex> g(mu_);
  write_failures_.clear();
  rename_failures_.clear();
  read_failures_.clear();
  torn_bytes = 0;
}

file_system::status memory_file_system::read(const str& name, str& out) {
  std::lock_guard<std::mutex> g(mu_);
  std::string k = key(name);
  if (dirs.count(k)) return status::error;
  if (take(read_failures_, name)) return status::error;
  auto it = files.find(k);
  if (it == files.end()) return status::not_found;
  out = str(it->second.data(), it->second.size());
  return status::ok;
}

file_system::status memory_file_system::write(const str& name, const str& bytes, bool append) {
  std::lock_guard<std::mutex> g(mu_);
  std::string k = key(name);
  if (dirs.count(k) || !dirs.count(parent(k))) return status::not_found;
  std::string& f = files[k];
  if (!append) f.clear();
  if (take(write_failures_, name)) {
    f.append(bytes.cbuffer(), std::min(torn_bytes, bytes.length()));
    return status::error;
  }
  f.append(bytes.cbuffer(), bytes.length());
  return status::ok;
}

bool memory_file_system::remove(const str& name) {
  std::lock_guard<std::mutex> g(mu_);
  return files.erase(key(name)) > 0;
}

bool memory_file_system::rename(const str& from, const str& to) {
  std::lock_guard<std::mutex> g(mu_);
  if (take(rename_failures_, to)) return false;
  auto it = files.find(key(from));
  std::string target = key(to);
  if (it == files.end() || dirs.count(target) || !dirs.count(parent(target))) return false;
  std::string bytes = std::move(it->second);
  files.erase(it);
  files[target] = std::move(bytes);
  return true;
}

bool memory_file_system::mkdir(const str& path) {
  std::lock_guard<std::mutex> g(mu_);
  std::string k = key(path);
  if (files.count(k) || !dirs.count(parent(k))) return false;
  dirs.insert(k);
  return true;
}

bool memory_file_system::list(const str& path, bool want_dirs, std::vector<str>& names) {
  std::lock_guard<std::mutex> g(mu_);
  std::string k = key(path);
  if (k == ".") k.clear();
  if (!dirs.count(k)) return false;
  std::string prefix = k.empty() ? std::string() : k + "/";
  auto collect = [&](const std::string& entry) {
    if (entry.size() <= prefix.size() || entry.compare(0, prefix.size(), prefix) != 0) return;
    std::string rest = entry.substr(prefix.size());
    if (rest.find('/') == std::string::npos && rest != ".") names.push_back(str(rest));
  };
  if (want_dirs)
    for (auto& d : dirs) collect(d);
  else
    for (auto& f : files) collect(f.first);
  std::sort(names.begin(), names.end());
  return true;
}

int64_t memory_file_system::size(const str& name) {
  std::lock_guard<std::mutex> g(mu_);
  auto it = files.find(key(name));
  return it == files.end() ? -1 : static_cast<int64_t>(it->second.size());
}

bool memory_file_system::is_dir(const str& path) {
  std::lock_guard<std::mutex> g(mu_);
  std::string k = key(path);
  return dirs.count(k == "." ? std::string() : k) > 0;
}
