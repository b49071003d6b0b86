// outgoing_buffer: what one source (a linked leg's stream) has delivered to a leg in
// media-aware mode and the leg has not sent yet: a ring of 16 entries of 10 ms units (GSM's
// unit is its frame), each with its codec and the source's RTP timestamp, plus the one
// telephone event that the source is relaying.
//
// The ring holds at most 15 units (fill = write - read modulo 16); a unit beyond that is
// dropped, so a source that delivers faster than the leg sends cannot grow the delay. Units
// are kept in timestamp order: a unit that is not later than the newest buffered ones is
// inserted before them.
//
// srv side: the RTP thread under srv_run_mutex (the source's receive path writes, the leg's
// 10 ms clock reads).
#pragma once

#include <cstdint>

#include "base/str.h"
#include "media/codec_engine.h"

struct outgoing_unit {
  str payload;
  int codec = -1;
  uint32_t timestamp = 0;
};

class outgoing_buffer {
 public:
  static constexpr int ring_size = 16;
  static constexpr int max_fill = ring_size - 1;

  int port = -1;    // the source leg's index, -1 while unused
  int stream = -1;  // the source's stream number

  bool in_use() const { return port >= 0; }
  int fill() const { return (write_ - read_) & (ring_size - 1); }
  // Claims the buffer for a source (empty, no event).
  void allocate(int source_port, int source_stream);
  // Frees it (unused, empty, no event).
  void release();
  // clear_jitter: empties the ring and the decoded samples; an event in progress stays.
  void clear();

  // Adds one unit in timestamp order; false (dropped) when 15 are buffered.
  bool add_audio(int codec, uint32_t timestamp, const str& unit);
  // Takes the oldest unit; false when empty.
  bool pop(outgoing_unit& unit);
  // The oldest unit; nullptr when empty.
  const outgoing_unit* front() const;

  // The next 80 samples (10 ms) of this source in linear form: decoded from the units in
  // their own codecs; a unit longer than 10 ms (GSM) leaves samples for the next call. Fewer
  // than 80 are padded with zeros. False when nothing is buffered.
  bool take_10ms(int16_t* samples);
  bool has_samples() const { return fill() > 0 || !pcm_.empty(); }
  // Decoded samples of a unit longer than 10 ms are waiting.
  bool decoded_pending() const { return !pcm_.empty(); }

  // ---- The relayed telephone event (RFC 4733 event numbers 0..15)
  // A packet of the event that started at the source's timestamp source_ts. A new timestamp
  // starts a new event; end marks the event's end and empties the ring. Packets of an event
  // that was already sent to its end (the repeated end packets) are ignored.
  void set_oob(int event, bool end, uint32_t source_ts);
  bool holds_dtmf() const { return oob_event >= 0; }
  // The event was sent to its end.
  void finish_oob();
  // An event of the leg itself (no source packets): its end is sent once duration_samples
  // have been sent.
  void start_own_event(int event, int duration_samples);

  int oob_event = -1;          // the event being relayed, -1 none
  bool oob_end = false;        // its end was received
  bool oob_started = false;    // a packet of it was sent
  uint32_t oob_timestamp = 0;  // the leg's timestamp at the event's start
  int oob_duration = 0;        // samples sent so far
  int oob_end_after = 0;       // an own event's length in samples; 0: the source ends it

 private:
  outgoing_unit ring_[ring_size];
  int read_ = 0, write_ = 0;
  str pcm_;                // decoded samples not yet taken
  codec decoder_;          // the source's decoder state
  bool oob_seen_ = false;  // oob_source_ts_ is valid
  uint32_t oob_source_ts_ = 0;
};
