// dtmf_receiver: the digit and tone side of a stream's receive path. For every accepted packet
// it decodes the audio when the leg needs it (telephone events are rendered by the
// synthesizer instead), runs in-band recognition and hangup-tone detection on it, and reports
// new digit events and a recognised hangup tone through callbacks that the leg sets (media/
// does not know the legs).
//
// srv side: one per rtp_stream, on the RTP thread under srv_run_mutex; the callbacks run there
// too.
#pragma once

#include <cstdint>
#include <functional>

#include "base/str.h"
#include "media/codec_engine.h"
#include "media/dtmf.h"
#include "media/rtp_packet.h"
#include "media/tone_detection.h"

struct dtmf_receiver {
  // ---- Set by the leg
  bool fax_detection = false;   // report the 1100 Hz calling tone as 'F'
  bool inband_decoding = true;  // recognise in-band digits while the peer sends no events
  bool hangup_tone = false;     // the leg's trunk enables hangup-tone detection
  // A new digit event (0..16, a new RFC 4733 event timestamp or an in-band digit) or 'F'.
  std::function<void(int)> on_dtmf;
  // The hangup-tone detector has just set disconnected.
  std::function<void()> on_hangup_tone;

  // ---- State
  codec decoder;
  dtmf_recognition recognition;
  tone_detection tones;
  dtmf_synthesizer synthesizer;
  bool event_seen = false;
  uint32_t event_timestamp = 0;  // of the last telephone event
  int event_rendered = 0;        // samples of the current event already rendered

  // Fresh state; inband_decoding from its setting, the tone detector's threshold and repeat
  // limit from tone_thres and tone_repeat (when they are numbers).
  void init();

  // One accepted packet. codec: its payload type's codec (-1 unknown); telephone_event_pt:
  // the stream's learned type; local_media: the leg records, has listeners, shows gain or
  // conferences, so its audio is decoded anyway.
  void on_packet(const rtp_header& h, int codec, int telephone_event_pt, bool local_media);

  // Decoding runs with fax detection, with in-band decoding while no telephone-event type is
  // known, while the hangup tone is listened for, or with local media.
  bool decodes(int telephone_event_pt, bool local_media) const {
    return fax_detection || (inband_decoding && telephone_event_pt < 0) || hangup_tone ||
           local_media;
  }

 private:
  // The audio of a telephone-event packet: 80 synthesized samples per 10 ms of duration not
  // yet rendered, at most 2560 samples (5120 bytes) per packet.
  str render_event(const telephone_event& e);
};
