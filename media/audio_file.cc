#include "media/audio_file.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <vector>

#include "base/log.h"
#include "base/random.h"
#include "media/g711.h"

namespace {

constexpr int max_pending = 64000;
constexpr int trim_head = 410;
constexpr int trim_tail = 2050;
constexpr int gsm_input_bytes = 2 * gsm_block_samples;

const str empty_name;

// Bytes of data per millisecond, as a fraction num / den.
void data_rate(int format, int& num, int& den) {
  num = format == wav_ulaw ? 8 : format == wav_gsm ? gsm_block_bytes : 16;
  den = format == wav_gsm ? 40 : 1;
}

str swap_bytes(const str& s) {
  str out = s;
  char* b = out.buffer();
  for (size_t i = 0; i + 1 < out.length(); i += 2) std::swap(b[i], b[i + 1]);
  return out;
}

}  // namespace

// ---- read_file -----------------------------------------------------------------------------

read_file::reference::~reference() {
  if (cached) read_close(name);
}

bool read_file::open(const str& name, bool cache, int max_seconds) {
  close();
  if (name.empty()) {
    log_printf(log_media, 4, "Trying to open file without filename");
    return false;
  }
  auto r = std::make_shared<reference>();
  r->name = name;
  r->max_seconds = max_seconds;
  const str rest = name.substr(5);
  if (name.starts_with("space") && !rest.empty() && rest.is_number()) {
    r->format = wav_silence;
    r->header_read = true;
    r->limit = r->data_length = rest.value() * 1600;
  } else {
    r->cached = true;
    read_open(name, cache);
  }
  ref_ = std::move(r);
  return true;
}

const str& read_file::name() const { return ref_ ? ref_->name : empty_name; }

bool read_file::read_header() {
  reference& r = *ref_;
  if (r.header_read) return true;
  const cache_state state = read_state(r.name);
  if (state == cache_state::missing) r.failed = true;
  if (state != cache_state::loaded) return false;
  r.header_read = true;
  const str contents = read_contents(r.name);
  wav_header h;
  if (!read_wav_header(contents, h, r.name)) {
    log_printf(log_media, 3, "WAV: File %s is not a WAV file", r.name);
    r.failed = true;
    return false;
  }
  if (h.format != wav_linear && h.format != wav_ulaw && h.format != wav_gsm) {
    log_printf(log_media, 3, "WAV: File %s has format %d, which cannot be played", r.name,
               h.format);
    r.failed = true;
    return false;
  }
  r.format = h.format;
  r.data_offset = h.data_offset;
  r.data_length = h.data_length;
  const int present = int(contents.length()) - h.data_offset;
  if (present < h.data_length) {
    log_printf(log_media, 3, "WAV: File %s is truncated (%d of %d bytes)", r.name, present,
               h.data_length);
  }
  r.limit = std::min(present, h.data_length);
  if (r.max_seconds > 0) r.limit = std::min(r.limit, r.max_seconds * 16000);
  return true;
}

bool read_file::is_available() {
  if (!ref_) return false;
  return ref_->format == wav_silence || read_state(ref_->name) == cache_state::loaded;
}

bool read_file::at_end() {
  if (!ref_) return true;
  if (!read_header()) return ref_->failed;
  const int step = ref_->format == wav_gsm ? gsm_block_bytes : 1;
  return ref_->limit - ref_->position < step && ref_->decoded.empty();
}

str read_file::read_raw(int bytes) {
  reference& r = *ref_;
  bytes &= ~1;
  if (bytes <= 0 || !read_header()) return str();
  const int left = r.limit - r.position;
  str out;
  switch (r.format) {
    case wav_silence: {
      const int n = std::min(bytes, left) & ~1;
      r.position += n;
      return n > 0 ? str('\0', n) : str();
    }
    case wav_linear: {
      const int n = std::min(bytes, left) & ~1;
      if (n <= 0 || !read_something(r.name, size_t(r.data_offset + r.position), size_t(n), out)) {
        return str();
      }
      r.position += n;
      return std::endian::native == std::endian::big ? swap_bytes(out) : out;
    }
    case wav_ulaw: {
      const int n = std::min(bytes / 2, left);
      str codes;
      if (n <= 0 || !read_something(r.name, size_t(r.data_offset + r.position), size_t(n), codes)) {
        return str();
      }
      r.position += n;
      std::vector<int16_t> pcm(static_cast<size_t>(n));
      for (int i = 0; i < n; ++i) pcm[size_t(i)] = decode_ulaw(codes[size_t(i)]);
      return str(pcm.data(), pcm.size() * 2);
    }
    case wav_gsm: {
      while (int(r.decoded.length()) < bytes && r.limit - r.position >= gsm_block_bytes) {
        str block;
        if (!read_something(r.name, size_t(r.data_offset + r.position), gsm_block_bytes, block)) {
          break;
        }
        r.position += gsm_block_bytes;
        r.decoded += r.gsm.decode(codec_gsm, block);
      }
      out = r.decoded.leftstr(size_t(bytes));
      r.decoded = r.decoded.substr(out.length());
      return out;
    }
  }
  return str();
}

str read_file::read(int bytes) {
  if (!ref_) return str();
  const int speed = ref_->speed;
  if (speed == 100) return read_raw(bytes);
  // Another speed: the samples of a longer (or shorter) stretch, picked at even steps.
  const int samples = bytes / 2;
  const str source = read_raw((samples * speed / 100) * 2);
  const int have = int(source.length() / 2);
  if (have == 0) return str();
  const int n = std::min(samples, have * 100 / speed);
  // Copied, not cast: a window on a cached file may start at an odd address.
  std::vector<int16_t> in(static_cast<size_t>(have)), out(static_cast<size_t>(n));
  std::memcpy(in.data(), source.cbuffer(), in.size() * 2);
  for (int i = 0; i < n; ++i) out[size_t(i)] = in[size_t(std::min(have - 1, i * speed / 100))];
  return str(out.data(), out.size() * 2);
}

void read_file::seek_ms(int ms) {
  if (!ref_ || !read_header()) return;
  int num, den;
  data_rate(ref_->format, num, den);
  int at = int(int64_t(std::max(ms, 0)) * num / den);
  if (ref_->format == wav_gsm) at -= at % gsm_block_bytes;
  if (ref_->format == wav_linear || ref_->format == wav_silence) at &= ~1;
  ref_->position = std::min(at, ref_->limit);
  ref_->decoded.clear();
}

void read_file::random() {
  const int duration = get_duration();
  if (duration > 0) seek_ms(int(random_below(uint32_t(duration))));
}

int read_file::get_duration() {
  if (!ref_ || !read_header()) return 0;
  int num, den;
  data_rate(ref_->format, num, den);
  return int(int64_t(ref_->limit) * den / num);
}

void read_file::set_speed(int percent) {
  if (ref_) ref_->speed = std::clamp(percent, 50, 400);
}

// ---- write_file ----------------------------------------------------------------------------

bool write_file::open(const str& name, int format, int max_seconds, bool append,
                      file_written_fn written) {
  close();
  if (name.empty()) {
    log_printf(log_media, 4, "Trying to open file without filename");
    return false;
  }
  auto r = std::make_shared<reference>();
  r->name = name;
  r->format = format == wav_gsm ? wav_gsm : wav_linear;
  r->max_units = max_seconds > 0 ? max_seconds * 100 : 0x7fffffff;
  r->append = append;
  r->swap = std::endian::native == std::endian::big;
  r->written = written;
  if (r->format == wav_gsm) r->gsm.set_gsm_ms_form(true);
  ref_ = std::move(r);
  return true;
}

const str& write_file::name() const { return ref_ ? ref_->name : empty_name; }

void write_file::set_trim(bool on) {
  if (ref_) ref_->trim = on;
}

void write_file::write(const str& samples) {
  if (!ref_ || samples.empty()) return;
  reference& r = *ref_;
  if (!r.trim) {
    r.put(samples);
    return;
  }
  r.received += int64_t(samples.length());
  if (r.received <= trim_head) return;
  if (r.delayed.size() * samples.length() > size_t(trim_tail)) {
    r.put(r.delayed.front());
    r.delayed.pop_front();
  }
  r.delayed.push_back(samples);
}

void write_file::reference::put(const str& samples) {
  if (units >= max_units) return;
  if (format == wav_gsm) {
    gsm_input += samples;
    size_t used = 0;
    while (gsm_input.length() - used >= size_t(gsm_input_bytes) && units < max_units) {
      pending += gsm.encode(codec_gsm, gsm_input.substr(used, gsm_input_bytes));
      used += gsm_input_bytes;
      units += 4;
    }
    gsm_input = gsm_input.substr(used);
  } else {
    pending += swap ? swap_bytes(samples) : samples;
    bytes_written += int64_t(samples.length());
    units = int(bytes_written / 160);
  }
  if (pending.length() > size_t(max_pending)) {
    append_something(name, pending, format, create, append, false, written);
    create = false;
    pending.clear();
  }
}

void write_file::change_filename(const str& to) {
  if (!ref_ || to.empty() || to == ref_->name) return;
  // What reached the file so far moves with it; the queue keeps the order.
  if (!ref_->create) rename_something(ref_->name, to);
  ref_->name = to;
}

write_file::reference::~reference() {
  append_something(name, pending, format, create, append, true, written);
}
