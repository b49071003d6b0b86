#include "media/outgoing_buffer.h"

#include <cstring>

namespace {
constexpr int mask = outgoing_buffer::ring_size - 1;
}  // namespace

void outgoing_buffer::allocate(int source_port, int source_stream) {
  release();
  port = source_port;
  stream = source_stream;
}

void outgoing_buffer::release() {
  clear();
  port = stream = -1;
  finish_oob();
  oob_seen_ = false;
  decoder_ = codec();
}

void outgoing_buffer::clear() {
  for (outgoing_unit& u : ring_) u = outgoing_unit();
  read_ = write_ = 0;
  pcm_ = str();
}

bool outgoing_buffer::add_audio(int codec, uint32_t timestamp, const str& unit) {
  if (fill() >= max_fill) return false;
  // Walk back over the buffered units that are not earlier than this one (serial-number
  // comparison, so a timestamp wrap keeps the order).
  int at = write_;
  while (at != read_) {
    const int before = (at - 1) & mask;
    if (int32_t(timestamp - ring_[before].timestamp) > 0) break;
    ring_[at] = ring_[before];
    at = before;
  }
  ring_[at] = outgoing_unit{unit, codec, timestamp};
  write_ = (write_ + 1) & mask;
  return true;
}

bool outgoing_buffer::pop(outgoing_unit& unit) {
  if (fill() == 0) return false;
  unit = ring_[read_];
  ring_[read_] = outgoing_unit();
  read_ = (read_ + 1) & mask;
  return true;
}

const outgoing_unit* outgoing_buffer::front() const { return fill() ? &ring_[read_] : nullptr; }

bool outgoing_buffer::take_10ms(int16_t* samples) {
  constexpr size_t unit_bytes_pcm = 80 * 2;
  outgoing_unit u;
  while (pcm_.size() < unit_bytes_pcm && pop(u)) pcm_ += decoder_.decode(u.codec, u.payload);
  if (pcm_.empty()) return false;
  const size_t n = pcm_.size() < unit_bytes_pcm ? pcm_.size() & ~size_t(1) : unit_bytes_pcm;
  std::memset(samples, 0, unit_bytes_pcm);
  std::memcpy(samples, pcm_.cbuffer(), n);
  pcm_ = pcm_.size() > n ? pcm_.substr(n) : str();
  return true;
}

void outgoing_buffer::set_oob(int event, bool end, uint32_t source_ts) {
  if (event < 0 || event > 15) return;
  const bool same = oob_seen_ && source_ts == oob_source_ts_;
  if (same && oob_event < 0) return;  // a repeated end packet of an event already sent
  if (!same) {
    oob_event = event;
    oob_end = false;
    oob_started = false;
    oob_duration = oob_end_after = 0;
    oob_seen_ = true;
    oob_source_ts_ = source_ts;
  }
  if (end) {
    oob_end = true;
    clear();
  }
}

void outgoing_buffer::start_own_event(int event, int duration_samples) {
  finish_oob();
  oob_event = event;
  oob_end_after = duration_samples;
}

void outgoing_buffer::finish_oob() {
  oob_event = -1;
  oob_end = oob_started = false;
  oob_duration = oob_end_after = 0;
}
