#include "media/audio_store.h"

#include <deque>
#include <map>
#include <set>

#include "base/file_system.h"
#include "base/log.h"
#include "media/wav_format.h"

mutex audio_mutex("audio_mutex");
semaphore audio_sema;

namespace {

struct read_cache {
  str contents;
  int references = 0;
  cache_state state = cache_state::loading;
};

std::deque<audio_request> audio_requests;
std::map<str, read_cache> read_files;

void queue(audio_request r) {
  {
    mutex_lock l(audio_mutex);
    audio_requests.push_back(std::move(r));
  }
  audio_sema.signal();
}

void create_directories(const str& name) {
  const long slash =
      name.view().rfind('/') == std::string_view::npos ? -1 : long(name.view().rfind('/'));
  if (slash > 0 && !fs().is_dir(name.leftstr(size_t(slash)))) {
    str::create_path(name.leftstr(size_t(slash)));
  }
}

// The file operations run without audio_mutex; only the cache changes take it.
void load(const audio_request& r) {
  str contents;
  const bool ok = fs().read(r.name, contents) == file_system::status::ok;
  if (!ok) log_printf(log_media, 3, "Could not open WAV file %s", r.name);
  mutex_lock l(audio_mutex);
  auto it = read_files.find(r.name);
  if (it == read_files.end()) return;  // every reader left meanwhile
  it->second.contents = ok ? contents : str();
  it->second.state = ok ? cache_state::loaded : cache_state::missing;
}

// The recordings whose writing failed, until their final request (audio thread only).
std::set<str>& failed_recordings() {
  static std::set<str> names;
  return names;
}

void write_failed(const audio_request& r) {
  log_printf(log_media, 2, "Could not write WAV file %s", r.name);
  fs().remove(r.name);
  if (!r.final) failed_recordings().insert(r.name);
  if (r.written) r.written(r.name, false);
}

void append(const audio_request& r) {
  if (failed_recordings().count(r.name)) {
    if (r.final) failed_recordings().erase(r.name);
    return;
  }
  bool fresh = r.create && !(r.append && fs().size(r.name) >= 0);
  if (fresh) create_directories(r.name);
  str bytes = fresh ? wav_header_template(r.format) + r.data : r.data;
  if (fs().write(r.name, bytes, !fresh) != file_system::status::ok) return write_failed(r);
  if (!r.final) return;
  // The sizes are known only now; the file layer has no seek, so the file is rewritten once.
  str file;
  if (fs().read(r.name, file) != file_system::status::ok || !wav_set_sizes(file) ||
      fs().write(r.name, file, false) != file_system::status::ok)
    return write_failed(r);
  if (r.written) r.written(r.name, true);
}

void forget(const str& name) {
  mutex_lock l(audio_mutex);
  read_files.erase(name);
}

void handle(const audio_request& r) {
  switch (r.type) {
    case audio_read:
      load(r);
      break;
    case audio_read_close: {
      log_printf(log_media, 9, "read_close_request %s", r.name);
      mutex_lock l(audio_mutex);
      auto it = read_files.find(r.name);
      if (it != read_files.end() && --it->second.references <= 0) read_files.erase(it);
      break;
    }
    case audio_append:
      log_printf(log_media, 9, "append_request %s", r.name);
      append(r);
      break;
    case audio_delete:
      forget(r.name);
      fs().remove(r.name);
      break;
    case audio_rename:
      forget(r.name);
      forget(r.name2);
      create_directories(r.name2);
      if (!fs().rename(r.name, r.name2)) {
        log_printf(log_media, 2, "Could not rename %s to %s", r.name, r.name2);
      }
      break;
    case audio_notify:
      if (r.written) r.written(r.name, true);
      break;
  }
}

}  // namespace

void read_open(const str& name, bool cache) {
  bool load_it;
  {
    mutex_lock l(audio_mutex);
    read_cache& c = read_files[name];
    load_it = !cache || c.references == 0;
    if (load_it) c.state = cache_state::loading;
    ++c.references;
  }
  if (!load_it) return;
  audio_request r;
  r.type = audio_read;
  r.name = name;
  r.cache = cache;
  queue(std::move(r));
}

cache_state read_state(const str& name) {
  mutex_lock l(audio_mutex);
  auto it = read_files.find(name);
  return it == read_files.end() ? cache_state::absent : it->second.state;
}

bool read_something(const str& name, size_t offset, size_t length, str& out) {
  mutex_lock l(audio_mutex);
  auto it = read_files.find(name);
  if (it == read_files.end() || it->second.state != cache_state::loaded) return false;
  const str& c = it->second.contents;
  if (offset > c.length() || c.length() - offset < length) return false;
  out = c.substr(offset, length);
  return true;
}

str read_contents(const str& name) {
  mutex_lock l(audio_mutex);
  auto it = read_files.find(name);
  return it == read_files.end() || it->second.state != cache_state::loaded ? str()
                                                                           : it->second.contents;
}

void read_close(const str& name) {
  audio_request r;
  r.type = audio_read_close;
  r.name = name;
  queue(std::move(r));
}

void append_something(const str& name, const str& data, int format, bool create, bool append,
                      bool final, file_written_fn written) {
  audio_request r;
  r.type = audio_append;
  r.name = name;
  r.data = data;
  r.format = format;
  r.create = create;
  r.append = append;
  r.final = final;
  r.written = written;
  queue(std::move(r));
}

void delete_something(const str& name) {
  audio_request r;
  r.type = audio_delete;
  r.name = name;
  queue(std::move(r));
}

void rename_something(const str& from, const str& to) {
  audio_request r;
  r.type = audio_rename;
  r.name = from;
  r.name2 = to;
  queue(std::move(r));
}

void notify_something(const str& name, file_written_fn written) {
  audio_request r;
  r.type = audio_notify;
  r.name = name;
  r.written = written;
  queue(std::move(r));
}

int run_audio_requests() {
  int handled = 0;
  for (;;) {
    audio_request r;
    {
      mutex_lock l(audio_mutex);
      if (audio_requests.empty()) return handled;
      r = std::move(audio_requests.front());
      audio_requests.pop_front();
    }
    handle(r);
    ++handled;
  }
}

void* audio_func(void*) {
  for (;;) {
    audio_sema.wait();
    run_audio_requests();
  }
  return nullptr;
}

str get_audio_stat() { return str::sprintf("WAV cache: %d", audio_cache_entries()); }

int audio_cache_entries() {
  mutex_lock l(audio_mutex);
  return int(read_files.size());
}

void reset_audio_store() {
  mutex_lock l(audio_mutex);
  audio_requests.clear();
  read_files.clear();
}
