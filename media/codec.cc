#include "media/codec.h"

#include <mutex>
#include <vector>

namespace {

struct registry {
  std::mutex m;
  std::vector<str> names;  // index: codec number
  codec_map system;
};

registry& reg() {
  static registry* r = new registry;  // never destroyed: other threads may read at exit
  return *r;
}

// The registry's form of an encoding name.
str normalise(const str& name) {
  str n = name.strip().tolower();
  long first = n.find('/');
  if (first >= 0) {
    long second = n.find('/', size_t(first) + 1);
    if (second >= 0) n = n.substr(0, size_t(second));
  }
  if (n == "g729a/8000") n = "g729/8000";
  return n;
}

int lookup_locked(const registry& r, const str& n) {
  for (size_t i = 0; i < r.names.size(); ++i)
    if (r.names[i] == n) return int(i);
  return -1;
}

}  // namespace

void init_codecs() {
  static std::once_flag once;
  std::call_once(once, [] {
    static const struct {
      const char* name;
      int codec, pt;
    } known[] = {{"telephone-event/8000", codec_dtmf, 101},
                 {"pcmu/8000", codec_ulaw, 0},
                 {"pcma/8000", codec_alaw, 8},
                 {"gsm/8000", codec_gsm, 3},
                 {"g726-32/8000", codec_g726, 2},
                 {"l16/8000", codec_linear, -1},
                 {"g722/8000", codec_g722, 9},
                 {"g729/8000", codec_g729, 18},
                 {"cn/8000", codec_cn, 13}};
    registry& r = reg();
    std::lock_guard<std::mutex> g(r.m);
    for (const auto& k : known) {
      r.names.emplace_back(k.name);
      if (k.pt >= 0) r.system.add(k.pt, k.codec);
    }
  });
}

int get_local_codec(const str& name) {
  init_codecs();
  str n = normalise(name);
  if (n.empty()) return -1;
  registry& r = reg();
  std::lock_guard<std::mutex> g(r.m);
  int codec = lookup_locked(r, n);
  if (codec >= 0 || int(r.names.size()) >= max_codecs) return codec;
  n.compress();  // kept for the process's life: no window on a received packet
  r.names.push_back(n);
  return int(r.names.size()) - 1;
}

int find_codec(const str& name) {
  init_codecs();
  registry& r = reg();
  std::lock_guard<std::mutex> g(r.m);
  return lookup_locked(r, normalise(name));
}

str get_codec_name(int codec) {
  init_codecs();
  registry& r = reg();
  std::lock_guard<std::mutex> g(r.m);
  return codec >= 0 && size_t(codec) < r.names.size() ? r.names[size_t(codec)] : str();
}

void codec_map::add(int pt, int codec) {
  auto old_codec = to_codec_.find(pt);
  if (old_codec != to_codec_.end()) to_pt_.erase(old_codec->second);
  auto old_pt = to_pt_.find(codec);
  if (old_pt != to_pt_.end()) to_codec_.erase(old_pt->second);
  to_codec_[pt] = codec;
  to_pt_[codec] = pt;
}

int codec_map::find_local(int pt) const {
  auto it = to_codec_.find(pt);
  return it == to_codec_.end() ? -1 : it->second;
}

int codec_map::find_remote(int codec) const {
  auto it = to_pt_.find(codec);
  return it == to_pt_.end() ? -1 : it->second;
}

int codec_map::get_dynamic(int codec) {
  int pt =
      to_codec_.empty() || to_codec_.rbegin()->first <= 95 ? 96 : to_codec_.rbegin()->first + 1;
  if (pt > 127) return -1;
  add(pt, codec);
  return pt;
}

void codec_map::clear() {
  to_codec_.clear();
  to_pt_.clear();
}

const codec_map& local_codec_maping() {
  init_codecs();
  return reg().system;
}

int get_local_codec(int pt) { return local_codec_maping().find_local(pt); }

int get_remote_codec(int codec) { return local_codec_maping().find_remote(codec); }
