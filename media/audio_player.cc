#include "media/audio_player.h"

#include <algorithm>
#include <cstring>
#include <mutex>

#include "base/file_system.h"
#include "base/log.h"
#include "frame/net.h"
#include "media/codec.h"
#include "media/rtp_packet.h"
#include "media/rtp_stream.h"

namespace {

constexpr int unit_samples_10ms = 80;

int16_t saturate(int32_t v) { return int16_t(std::clamp(v, -32767, 32767)); }

void add_samples(int16_t* unit, const str& pcm) {
  // Copied, not cast: a window on a cached file may start at an odd address.
  int16_t s[unit_samples_10ms];
  const std::string_view bytes = pcm.view();
  const int n = std::min(unit_samples_10ms, int(bytes.size() / 2));
  if (n <= 0) return;
  std::memcpy(s, bytes.data(), size_t(2 * n));
  for (int i = 0; i < n; ++i) unit[i] = saturate(int32_t(unit[i]) + s[i]);
}

// The prompt's own name: the last path component without extension.
str prompt_key(const str& name) {
  const size_t slash = name.view().rfind('/');
  str base = slash == std::string_view::npos ? name : name.substr(slash + 1);
  const size_t dot = base.view().rfind('.');
  return dot == std::string_view::npos ? base : base.leftstr(dot);
}

std::set<str>& available_wavs() {
  static std::set<str> set;  // "<language>/<name>"
  return set;
}

std::map<int, std::unique_ptr<moh_rtp>> moh_rtps;

}  // namespace

mutex moh_mutex("moh_mutex");

// ---- Prompts ------------------------------------------------------------------------------

std::vector<str> expand_prompt_names(const str& list, const str& audio_language,
                                     const str& tone_language) {
  std::vector<str> out;
  const std::string_view v = list.view();
  for (size_t at = 0; at < v.size();) {
    const size_t end = std::min(v.find(' ', at), v.size());
    const str n = list.substr(at, end - at);
    at = end + 1;
    if (n.empty()) continue;
    if (n.starts_with("$a/")) {
      out.push_back("audio_" + audio_language + "/" + n.substr(3));
    } else if (n.starts_with("$t/")) {
      out.push_back("audio_" + tone_language + "/" + n.substr(3));
    } else if (n.starts_with("$m/")) {
      out.push_back("audio_moh/" + n.substr(3));
    } else {
      out.push_back(n);
    }
  }
  return out;
}

void check_available_wavs(const std::vector<str>& names, const std::vector<str>& languages) {
  std::set<str> found;
  for (const str& language : languages) {
    for (const str& name : names) {
      if (fs().size(str::sprintf("audio_%s/%s.wav", language, name)) >= 0) {
        found.insert(language + "/" + name);
      }
    }
  }
  available_wavs() = std::move(found);
}

bool wav_available(const str& name, const str& language) {
  return available_wavs().count(language + "/" + prompt_key(name)) > 0;
}

// ---- Playing ------------------------------------------------------------------------------

void play_list::start(const str& list, const std::vector<str>& names, bool loop, bool alert,
                      bool cache) {
  stop();
  list_ = list;
  names_ = names;
  loop_ = loop;
  alert_ = alert;
  cache_ = cache;
  current_ = 0;
  played_ = false;
  idle_units_ = 0;
  if (!names_.empty()) open_current();
}

void play_list::stop() {
  file_.close();
  next_.close();
  names_.clear();
  list_.clear();
  current_ = 0;
}

void play_list::set_speed(int percent) {
  speed_ = percent;
  file_.set_speed(percent);
}

void play_list::open_current() {
  if (next_.is_open() && next_.name() == names_[current_]) {
    file_ = next_;
    next_.close();
  } else {
    file_.open(names_[current_], cache_);
  }
  file_.set_speed(speed_);
  // The next file is read into the cache meanwhile, so that no gap opens between two.
  const size_t after = current_ + 1 < names_.size() ? current_ + 1 : loop_ ? 0 : names_.size();
  if (after < names_.size() && after != current_) {
    next_.open(names_[after], cache_);
  } else {
    next_.close();
  }
}

void play_list::mix(int16_t* unit) {
  // Each file of the list at most once per unit, so that a looping list of missing files
  // cannot spin.
  for (size_t tries = 0; playing() && tries <= names_.size(); ++tries) {
    const str pcm = file_.read(2 * unit_samples_10ms);
    if (!pcm.empty()) {
      add_samples(unit, pcm);
      played_ = true;
      return;
    }
    if (!file_.at_end()) return;  // still loading
    if (++current_ < names_.size()) {
      open_current();
      continue;
    }
    // A pass that found nothing to play lasts a second of silence, so that a menu that plays its
    // prompt again at the end of the last cannot make the two sides spin on missing files.
    if (!played_ && ++idle_units_ < idle_pass_units) return;
    idle_units_ = 0;
    const str list = list_;
    // A loop that found nothing to play in a whole pass ends, instead of ending every second.
    const bool played = played_;
    played_ = false;
    if (loop_ && !played) {
      stop();
    } else if (loop_ && names_.size() == 1) {
      --current_;
      file_.rewind();
    } else if (loop_) {
      current_ = 0;
      open_current();
    } else {
      stop();
    }
    if (alert_ && on_end) on_end(list);
    return;
  }
}

// ---- Music on hold ------------------------------------------------------------------------

void moh_rtp::on_rtp(const str& packet, const ip_port&) {
  rtp_header h;
  if (packet.length() < rtp_min_header || !rtp_parse(packet, h) || h.version != 2) return;
  const int codec = get_local_codec(h.payload_type);
  if (codec < 0 || codec == codec_dtmf || codec == codec_cn) return;
  const str pcm = partial_ + decoder_.decode(codec, h.payload);
  const size_t block_bytes = 2 * moh_block;
  size_t used = 0;
  mutex_lock l(moh_mutex);
  const std::string_view bytes = pcm.view();
  for (; bytes.size() - used >= block_bytes; used += block_bytes) {
    std::memcpy(ring_ + write_, bytes.data() + used, block_bytes);
    write_ = (write_ + moh_block) % moh_ring_samples;
  }
  partial_ = pcm.substr(used);
}

void moh_rtp::get_samples(int& position, int count, int16_t* out) {
  mutex_lock l(moh_mutex);
  for (int i = 0; i < count; ++i) {
    out[i] = ring_[position];
    position = (position + 1) % moh_ring_samples;
  }
}

int moh_rtp::write_position() {
  mutex_lock l(moh_mutex);
  return write_;
}

int moh_rtp::start_position() {
  return (write_position() + moh_ring_samples / 2) % moh_ring_samples;
}

void moh_rtp::set_port(int p, rtp_socket_ops* socket_ops) {
  close_sockets();
  port = p;
  ops = socket_ops;
  if (!ops) return;
  fd4 = ops->open(ip_port(any_address(false), uint16_t(port)));
  fd6 = ops->open(ip_port(any_address(true), uint16_t(port)));
  if (fd4 < 0 && fd6 < 0) log_printf(log_media, 2, "Could not open music port %d", port);
}

void moh_rtp::close_sockets() {
  if (ops && fd4 >= 0) ops->close(fd4);
  if (ops && fd6 >= 0) ops->close(fd6);
  fd4 = fd6 = -1;
}

moh_rtp* get_moh_rtp(int port, rtp_socket_ops* ops) {
  if (port <= 0 || port > 65535) return nullptr;
  std::unique_ptr<moh_rtp>& m = moh_rtps[port];
  if (!m) {
    m = std::make_unique<moh_rtp>();
    m->set_port(port, ops);
  }
  return m.get();
}

int moh_rtp_count() { return int(moh_rtps.size()); }

void reset_moh_rtps() {
  for (auto& [port, m] : moh_rtps) m->close_sockets();
  moh_rtps.clear();
}

void moh_rtps_fill(read_set& watch) {
  for (auto& [port, m] : moh_rtps) {
    for (int fd : {m->fd4, m->fd6}) watch.add(fd);
  }
}

void moh_rtps_serve(const read_set& ready) {
  for (auto& [port, m] : moh_rtps) {
    for (int fd : {m->fd4, m->fd6}) {
      if (!ready.ready(fd)) continue;
      str data;
      ip_port source;
      for (int n = 0; n < 16 && m->ops->receive(fd, data, source); ++n) m->on_rtp(data, source);
    }
  }
}

void mix_moh(int16_t* unit, const int16_t* music, int n, moh_volume& v) {
  for (int i = 0; i < n; ++i) {
    if (v.delta != 0) {
      v.value += v.delta;
      if ((v.delta > 0 && v.value >= v.dst) || (v.delta < 0 && v.value <= v.dst)) {
        v.value = v.dst;
        v.delta = 0;
      }
    }
    if (v.value <= 0) continue;
    const int32_t s = v.value >= 65536 && v.delta == 0
                          ? music[i]
                          : int32_t((int64_t(music[i]) * v.value) / 65536);
    unit[i] = saturate(int32_t(unit[i]) + s);
  }
}

bool moh_file::open(const str& source, rtp_socket_ops* ops) {
  close();
  name = source;
  if (source.get_field(0, ':') == "rtp") {
    moh_rtp* m = get_moh_rtp(source.get_field(1, ':').value(), ops);
    if (!m) return false;
    kind = 2;
    port = m->port;
    position = m->start_position();
    return true;
  }
  if (!file.open(source, true)) return false;
  kind = 0;
  return true;
}

void moh_file::read(int16_t* out, int n) {
  std::fill(out, out + n, int16_t(0));
  if (kind == 2) {
    if (moh_rtp* m = get_moh_rtp(port, nullptr)) m->get_samples(position, n, out);
    return;
  }
  // The music loops without a gap: the end of the file is followed by its start.
  for (int got = 0, rewinds = 0; kind == 0 && got < n && rewinds < 2;) {
    const str pcm = file.read(2 * (n - got));
    if (pcm.empty()) {
      if (!file.is_available() || !file.at_end()) return;
      file.rewind();
      ++rewinds;
      continue;
    }
    std::memcpy(out + got, pcm.cbuffer(), pcm.length() & ~size_t(1));
    got += int(pcm.length() / 2);
  }
}

void moh_file::close() {
  file.close();
  kind = -1;
  name.clear();
  port = position = 0;
}

// ---- A leg's audio ------------------------------------------------------------------------

void leg_audio::mix(int16_t* unit, bool play_ready) {
  if (play_ready) player.mix(unit);
  if (moh.is_open()) {
    int16_t music[unit_samples_10ms];
    moh.read(music, unit_samples_10ms);
    mix_moh(unit, music, unit_samples_10ms, moh_vol);
  }
  if (!recording.is_open() || !record_sent) return;
  // What was received in this unit's time joins what is sent.
  int16_t both[unit_samples_10ms];
  std::memcpy(both, unit, sizeof(both));
  const str in = received.leftstr(sizeof(both));
  received = received.substr(in.length());
  if (received.length() > 8 * sizeof(both)) received = received.rightstr(sizeof(both));
  add_samples(both, in);
  recording.write(str(both, sizeof(both)));
}

void leg_audio::on_received(int codec, const str& payload) {
  if (!recording.is_open() || codec < 0 || codec == codec_dtmf || codec == codec_cn) return;
  const str pcm = receive_decoder.decode(codec, payload);
  if (record_sent) {
    received += pcm;
    return;
  }
  for (size_t at = 0; at < pcm.length(); at += 2 * unit_samples_10ms) {
    recording.write(pcm.substr(at, 2 * unit_samples_10ms));
  }
}

void leg_audio::add_record_file(const str& name, const str& mode, bool compress, int max_seconds,
                                file_written_fn written) {
  recording.close();
  received.clear();
  record_sent = false;
  if (name.empty()) return;
  bool gsm = compress, both = false;
  for (size_t i = 0; !mode.get_field(i).empty(); ++i) {
    gsm = gsm || mode.get_field(i) == "gsm";
    both = both || mode.get_field(i) == "both";
  }
  record_sent = both;
  recording.open(name, gsm ? wav_gsm : wav_linear, max_seconds, false, written);
}
