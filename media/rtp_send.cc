// The media-aware side of rtp_stream: the outgoing buffers its sources fill and the packets
// the 10 ms clock makes of them (media/rtp_clock.h). See rtp_stream.h for the contracts.
#include <algorithm>
#include <cstring>

#include "base/log.h"
#include "frame/clock.h"
#include "media/rtp_clock.h"
#include "media/rtp_stream.h"

namespace {

constexpr int unit_samples_10ms = 80;
constexpr int event_end_repeats = 3;
constexpr int hold_noise_interval = 100;
constexpr int max_suppressed = 50;
constexpr int own_event_samples = 800;  // 100 ms

void own_event_step(int index) {
  if (rtp_stream* s = rtp_stream_of(index)) s->send_own_event();
}

// The RFC 4733 payload: event, end bit and volume 10, duration.
str event_payload(int event, bool end, int duration) {
  return str::bytes(
      {uint8_t(event), uint8_t(end ? 0x8a : 0x0a), uint8_t(duration >> 8), uint8_t(duration)});
}

int16_t saturate(int32_t v) { return int16_t(std::clamp(v, -32767, 32767)); }

str silence_10ms() { return str('\0', 2 * unit_samples_10ms); }

}  // namespace

// ---- Outgoing buffers ---------------------------------------------------------------------

outgoing_buffer* rtp_stream::allocate_obuf(int port, int stream) {
  if (outgoing_buffer* b = find_obuf(port, stream)) return b;
  for (outgoing_buffer& b : obufs) {
    if (b.in_use()) continue;
    b.allocate(port, stream);
    return &b;
  }
  return nullptr;
}

outgoing_buffer* rtp_stream::find_obuf(int port, int stream) {
  for (outgoing_buffer& b : obufs)
    if (b.in_use() && b.port == port && b.stream == stream) return &b;
  return nullptr;
}

void rtp_stream::free_obuf(int port, int stream) {
  if (outgoing_buffer* b = find_obuf(port, stream)) b->release();
}

void rtp_stream::clear_jitter(int port, int stream) {
  if (outgoing_buffer* b = find_obuf(port, stream)) b->clear();
}

int rtp_stream::obufs_in_use() const {
  return int(std::count_if(std::begin(obufs), std::end(obufs),
                           [](const outgoing_buffer& b) { return b.in_use(); }));
}

// The sources of a leg are the streams that relay to it; their buffers follow them. Links are
// kept symmetric (two legs are linked to each other or not at all), so the sources are the
// leg's own links.
void rtp_stream::sync_sources() {
  for (outgoing_buffer& b : obufs) {
    if (b.in_use() && (!linked.count(b.port) || !rtp_stream_of(b.port))) b.release();
  }
  for (int i : linked) {
    if (rtp_stream_of(i)) allocate_obuf(i, 0);
  }
}

bool rtp_stream::add_audio(int port, int stream, int codec, uint32_t ts, const str& unit) {
  outgoing_buffer* b = allocate_obuf(port, stream);
  return b && b->add_audio(codec, ts, unit);
}

void rtp_stream::set_oob(int port, int stream, const str& payload, uint32_t source_ts) {
  outgoing_buffer* b = allocate_obuf(port, stream);
  if (b && payload.size() >= 4) b->set_oob(payload[0], (payload[1] & 0x80) != 0, source_ts);
}

void rtp_stream::take_media(int port, int codec, const rtp_header& h) {
  if (codec == codec_dtmf) {
    set_oob(port, 0, h.payload, h.timestamp);
    return;
  }
  uint32_t ts = h.timestamp;
  for (const str& unit : split_units(codec, h.payload)) {
    add_audio(port, 0, codec, ts, unit);
    ts += uint32_t(unit_samples(codec, unit));
  }
}

// ---- Send path ----------------------------------------------------------------------------

int rtp_stream::send_payload_type() const {
  const int codec = media ? media->send_codec : -1;
  if (codec < 0) return -1;
  const int pt = media->codecs.find_remote(codec);
  return pt >= 0 ? pt : get_remote_codec(codec);
}

bool rtp_stream::send_own(bool marker, int payload_type, uint32_t ts, const str& payload) {
  str packet = rtp_write_header(marker, payload_type, sequence, ts, ssrc);
  packet += payload;
  if (!send_datagram(packet)) return false;
  ++sequence;
  ++packets_sent;
  bytes_sent += packet.length();
  last_sent = clock_now();
  return true;
}

void rtp_stream::send_rtp() {
  // A T.38 session would send its packet here instead (not in this engine yet).
  if (!destination.valid() || !has_sockets()) return;
  if (on_hold) {
    timestamp += unit_samples_10ms;
    if (++hold_calls % hold_noise_interval == 0) send_comfort_noise();
    return;
  }
  for (outgoing_buffer& b : obufs) {
    if (b.in_use() && b.holds_dtmf()) {
      send_rtp_outband(b);
      return;
    }
  }
  send_rtp_inband();
}

str rtp_stream::get_10ms(int codec, bool& empty) {
  empty = false;
  if (obufs_in_use() == 1 && !local_media) {
    outgoing_buffer& b = obufs[0].in_use() ? obufs[0] : obufs[1];
    if (!b.has_samples()) {
      empty = true;
      return encoder.encode(codec, silence_10ms());
    }
    const outgoing_unit* u = b.front();
    if (!b.decoded_pending() && u->codec == codec &&
        unit_samples(codec, u->payload) == unit_samples_10ms) {
      outgoing_unit taken;
      b.pop(taken);
      return taken.payload;
    }
  }
  int16_t mix[unit_samples_10ms] = {};
  int16_t part[unit_samples_10ms];
  for (outgoing_buffer& b : obufs) {
    if (!b.in_use() || !b.take_10ms(part)) continue;
    for (int i = 0; i < unit_samples_10ms; ++i) mix[i] = saturate(int32_t(mix[i]) + part[i]);
  }
  // Played files and music on hold join here; recordings and listeners would take the mix.
  if (add_local_audio) add_local_audio(mix);
  return encoder.encode(codec, str(mix, sizeof(mix)));
}

void rtp_stream::send_rtp_inband() {
  const int codec = media ? media->send_codec : -1;
  const int pt = send_payload_type();
  const uint32_t step = uint32_t(packet_length() * 8);
  if (codec < 0 || pt < 0) return;
  str payload;
  bool all_empty = true;
  for (int n = std::max(1, packet_length() / 10); n > 0; --n) {
    bool empty = false;
    payload += get_10ms(codec, empty);
    all_empty = all_empty && empty;
  }
  if (all_empty && suppressed < max_suppressed) {
    ++suppressed;
  } else if (!payload.empty()) {
    suppressed = 0;
    send_own(false, pt, timestamp, payload);
  }
  timestamp += step;
}

void rtp_stream::send_rtp_outband(outgoing_buffer& b) {
  const int te_pt = media ? media->codecs.find_remote(codec_dtmf) : -1;
  if (te_pt < 0) {
    send_dtmf_tone(b);
    return;
  }
  const uint32_t step = uint32_t(packet_length() * 8);
  const bool first = !b.oob_started;
  if (first) {
    b.oob_started = true;
    b.oob_timestamp = timestamp;
    b.oob_duration = 0;
  }
  b.oob_duration = std::min(b.oob_duration + int(step), 0xffff);
  if (b.oob_end_after && b.oob_duration >= b.oob_end_after) b.oob_end = true;
  const str payload = event_payload(b.oob_event, b.oob_end, b.oob_duration);
  for (int k = 0; k < (b.oob_end ? event_end_repeats : 1); ++k)
    send_own(first && k == 0, te_pt, b.oob_timestamp, payload);
  timestamp += step;
  if (b.oob_end) b.finish_oob();
}

void rtp_stream::send_dtmf_tone(outgoing_buffer& b) {
  const int codec = media ? media->send_codec : -1;
  const int pt = send_payload_type();
  if (codec >= 0 && pt >= 0) {
    str pcm;
    for (int n = std::max(1, packet_length() / 10); n > 0; --n)
      pcm += send_tones.get_samples(b.oob_event);
    send_own(!b.oob_started, pt, timestamp, encoder.encode(codec, pcm));
    b.oob_started = true;
  }
  timestamp += uint32_t(packet_length() * 8);
  b.oob_duration += packet_length() * 8;
  if (b.oob_end_after && b.oob_duration >= b.oob_end_after) b.oob_end = true;
  if (b.oob_end) {
    b.finish_oob();
    send_tones.clear();
  }
}

// ---- Events of the leg itself -------------------------------------------------------------

bool rtp_stream::send_event(int event) {
  if (event < 0 || event > 15) return false;
  const int te_pt = media ? media->codecs.find_remote(codec_dtmf) : -1;
  if (pass_through && te_pt >= 0) {
    own_event.timer.clear();
    own_event.event = event;
    own_event.payload_type = te_pt;
    own_event.start = timestamp;
    own_event.duration = 0;
    send_own_event();
    return true;
  }
  if (pass_through) fall_back_to_media_aware();
  outgoing_buffer* b = obufs[0].in_use() ? &obufs[0] : obufs[1].in_use() ? &obufs[1] : nullptr;
  if (!b) b = allocate_obuf(index, 1);
  if (!b) return false;
  b->start_own_event(event, own_event_samples);
  start_sending();
  return true;
}

void rtp_stream::send_own_event() {
  event_sender& e = own_event;
  if (e.event < 0) return;
  const uint32_t step = uint32_t(packet_length() * 8);
  const bool first = e.duration == 0;
  e.duration = std::min(e.duration + int(step), 0xffff);
  const bool end = e.duration >= own_event_samples;
  const str payload = event_payload(e.event, end, e.duration);
  for (int k = 0; k < (end ? event_end_repeats : 1); ++k)
    send_own(first && k == 0, e.payload_type, e.start, payload);
  if (!end) {
    e.timer.callback(*scoped_rtp_clock_context::current().queue, ms2ticks(packet_length()),
                     callback_argument(own_event_step, index));
    return;
  }
  // Relayed packets continue after the event, not inside it.
  if (int32_t(timestamp - e.start) < e.duration) timestamp = e.start + uint32_t(e.duration);
  e.event = -1;
}

void rtp_stream::send_comfort_noise() {
  send_own(false, comfort_noise_payload_type, timestamp, comfort_noise());
}
