#include "db/tar.h"

#include <cstring>

#include "base/file_system.h"
#include "base/log.h"
#include "db/schema.h"
#include "db/table.h"
#include "frame/settings.h"

namespace {

constexpr size_t block = 512;

// The NUL-terminated text of a header field.
str field(const char* p, size_t n) {
  size_t len = 0;
  while (len < n && p[len]) len++;
  return str(p, len);
}

// An octal number field: optional leading spaces, at least one octal digit, then NUL, space or
// the end of the field. False when it cannot be read.
bool octal(const char* p, size_t n, uint64_t& out) {
  size_t i = 0;
  while (i < n && p[i] == ' ') i++;
  size_t digits = 0;
  out = 0;
  for (; i < n && p[i] >= '0' && p[i] <= '7'; i++, digits++) {
    if (out >> 60) return false;
    out = out * 8 + static_cast<uint64_t>(p[i] - '0');
  }
  if (digits == 0) return false;
  for (; i < n; i++) {
    if (p[i] != 0 && p[i] != ' ') return false;
  }
  return true;
}

bool all_zero(const char* p, size_t n) {
  for (size_t i = 0; i < n; i++) {
    if (p[i]) return false;
  }
  return true;
}

void put_octal(char* p, size_t width, uint64_t v) {
  // width - 1 digits and a terminating NUL.
  for (size_t i = width - 1; i-- > 0;) {
    p[i] = static_cast<char>('0' + (v & 7));
    v >>= 3;
  }
  p[width - 1] = 0;
}

size_t max_tar_bytes() {
  uint64_t v = ctrl_read_registry(ctrl_settings::max_tar).uvalue64();
  return v ? static_cast<size_t>(v) : 2097152;
}

}  // namespace

bool tar_safe_name(const str& name) {
  if (name.empty() || name[0] == '/') return false;
  size_t start = 0;
  for (size_t i = 0; i <= name.length(); i++) {
    if (i == name.length() || name[i] == '/') {
      if (name.substr(start, i - start) == "..") return false;
      start = i + 1;
    }
  }
  return true;
}

bool tar_read_logged(const str& image, size_t max_bytes, std::vector<tar_entry>& out) {
  if (image.empty()) {
    log_printf(log_general, 0, "Configuration: No tar file specified");
    return false;
  }
  size_t limit = max_bytes ? max_bytes : max_tar_bytes();
  if (image.length() > limit) {
    log_printf(log_general, 0, "Configuration: Tar file of %s bytes exceeds max_tar (%s)",
               str::from_uint64(image.length()), str::from_uint64(limit));
    return false;
  }
  str bad;
  switch (tar_read(image, out, bad)) {
    case tar_status::ok:
      return true;
    case tar_status::not_tar:
      log_printf(log_general, 0, "Configuration: This is not a tar file");
      return false;
    case tar_status::invalid_length:
      log_printf(log_general, 0, "Configuration: Invalid length %s", bad);
      return false;
  }
  return false;
}

tar_status tar_read(const str& image, std::vector<tar_entry>& out, str& bad_field) {
  out.clear();
  const char* base = image.cbuffer();
  size_t n = image.length();
  size_t pos = 0;
  while (pos < n) {
    if (n - pos < block) {
      // A short tail: zero padding is harmless, anything else is not a header.
      return all_zero(base + pos, n - pos) ? tar_status::ok : tar_status::not_tar;
    }
    const char* h = base + pos;
    pos += block;
    if (h[0] == 0) {
      if (all_zero(h, block)) continue;
      return tar_status::not_tar;
    }
    str name = field(h, 100);
    if (std::memcmp(h + 257, "ustar", 5) == 0 && h[345]) name = field(h + 345, 155) + "/" + name;
    uint64_t size;
    if (!octal(h + 124, 12, size)) {
      bad_field = field(h + 124, 12);
      return tar_status::invalid_length;
    }
    char type = h[156];
    if (!tar_safe_name(name)) return tar_status::not_tar;
    if (type == '5' && size == 0 && name.ends_with("/")) {
      out.push_back(tar_entry{name, true, str()});
      continue;
    }
    if (type != '0' || size < 1) return tar_status::not_tar;
    if (size > n - pos) {
      bad_field = field(h + 124, 12);
      return tar_status::invalid_length;
    }
    out.push_back(tar_entry{name, false, image.substr(pos, static_cast<size_t>(size))});
    pos += (static_cast<size_t>(size) + block - 1) / block * block;
  }
  return tar_status::ok;
}

str tar_write(const std::vector<tar_entry>& entries) {
  str out;
  for (const tar_entry& e : entries) {
    char h[block];
    std::memset(h, 0, block);
    str name = e.name;
    if (e.directory && !name.ends_with("/")) name += "/";
    if (name.length() > 100) {
      // Split at a "/" so that the ustar prefix holds the front part.
      long cut = -1;
      for (size_t i = 0; i < name.length() && i <= 155; i++) {
        if (name[i] == '/' && name.length() - i - 1 <= 100) {
          cut = static_cast<long>(i);
          break;
        }
      }
      if (cut < 0) continue;  // cannot be represented; never produced by our exports
      str prefix = name.leftstr(static_cast<size_t>(cut));
      std::memcpy(h + 345, prefix.cbuffer(), prefix.length());
      name = name.substr(static_cast<size_t>(cut) + 1);
    }
    std::memcpy(h, name.cbuffer(), name.length());
    put_octal(h + 100, 8, e.directory ? 0755 : 0644);
    put_octal(h + 108, 8, 0);
    put_octal(h + 116, 8, 0);
    put_octal(h + 124, 12, e.directory ? 0 : e.data.length());
    put_octal(h + 136, 12, 0);
    h[156] = e.directory ? '5' : '0';
    std::memcpy(h + 257, "ustar", 6);
    std::memcpy(h + 263, "00", 2);
    std::memset(h + 148, ' ', 8);
    unsigned sum = 0;
    for (size_t i = 0; i < block; i++) sum += static_cast<unsigned char>(h[i]);
    put_octal(h + 148, 7, sum);
    h[155] = ' ';
    out.append(h, block);
    if (!e.directory) {
      out += e.data;
      size_t pad = (block - e.data.length() % block) % block;
      if (pad) out += str('\0', pad);
    }
  }
  out += str('\0', 2 * block);
  return out;
}

namespace {

void add_tree(const str& path, std::vector<tar_entry>& out) {
  const str prefix = path.empty() ? str() : path + "/";
  const str here = path.empty() ? str(".") : path;
  for (const str& f : str::get_dir(here)) {
    if (path.empty() && f.starts_with("log-")) continue;
    tar_entry e;
    e.name = prefix + f;
    if (str::read_file(e.name, e.data, false) && !e.data.empty()) out.push_back(std::move(e));
  }
  for (const str& d : str::get_dir(here, true)) {
    out.push_back({prefix + d + "/", true, str()});
    add_tree(prefix + d, out);
  }
}

}  // namespace

str get_tar() {
  flush_file_writer();
  std::vector<tar_entry> entries;
  add_tree(str(), entries);
  return tar_write(entries);
}

void erase_directory(const str& path) {
  str prefix = path.empty() ? str() : path + "/";
  for (const str& f : str::get_dir(path.empty() ? str(".") : path)) {
    str::remove_file(prefix + f);
  }
  for (const str& d : str::get_dir(path.empty() ? str(".") : path, true)) {
    erase_directory(prefix + d);
  }
}

bool put_tar(const str& image, size_t max_bytes) {
  std::vector<tar_entry> entries;
  if (!tar_read_logged(image, max_bytes, entries)) return false;
  // Checked completely before anything is removed: a refused image never costs the
  // configuration that is there.
  clear_tables();
  flush_file_writer();  // no queued row write may land after the erase
  erase_directory(str());
  for (const tar_entry& e : entries) {
    if (e.directory) {
      str::create_path(e.name.rstrip('/'));
    } else {
      write_whole_file(e.name, e.data);
    }
  }
  flush_file_writer();  // the restored files are read back next: pbx.xml first
  log_printf(log_general, 0, "Configuration: Successfully loaded configuration");
  return true;
}
