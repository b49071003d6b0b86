#include "media/dtmf_receiver.h"

#include "frame/settings.h"
#include "media/codec.h"

namespace {

void number_setting(int setting, int& out) {
  const str v = ctrl_read_registry(setting).strip();
  if (v.is_number()) out = v.value();
}

}  // namespace

void dtmf_receiver::init() {
  fax_detection = hangup_tone = false;
  inband_decoding = ctrl_read_registry(ctrl_settings::inband_decoding).is_true();
  decoder = codec();
  recognition.clear();
  synthesizer.clear();
  tones.clear();
  int threshold = 50, repeat = 5;
  number_setting(ctrl_settings::tone_thres, threshold);
  number_setting(ctrl_settings::tone_repeat, repeat);
  tones.set_parameters(threshold, repeat);
  event_seen = false;
  event_timestamp = 0;
  event_rendered = 0;
}

str dtmf_receiver::render_event(const telephone_event& e) {
  str pcm;
  for (int n = 0; event_rendered + 80 <= e.duration && n < 32; ++n, event_rendered += 80) {
    pcm += synthesizer.get_samples(e.event);
  }
  return pcm;
}

void dtmf_receiver::on_packet(const rtp_header& h, int codec, int telephone_event_pt,
                              bool local_media) {
  const bool is_event =
      (telephone_event_pt >= 0 && h.payload_type == telephone_event_pt) || codec == codec_dtmf;
  telephone_event e;
  const bool event_ok = is_event && parse_telephone_event(h.payload, e);
  const bool new_event = event_ok && (!event_seen || h.timestamp != event_timestamp);
  if (new_event) {
    event_seen = true;
    event_timestamp = h.timestamp;
    event_rendered = 0;
    synthesizer.clear();
  }
  if (decodes(telephone_event_pt, local_media) && (event_ok || !is_event)) {
    const str pcm = event_ok ? render_event(e) : decoder.decode(codec, h.payload);
    // Rendered events were reported as events already; only the peer's own audio counts.
    const bool digits = inband_decoding && telephone_event_pt < 0 && !is_event;
    if (fax_detection || digits) {
      recognition.calc_dtmf(pcm);
      const str found = recognition.get_dtmf_nums();
      for (size_t i = 0; i < found.length(); ++i) {
        const int event = recognised_event(char(found[i]), fax_detection, digits);
        if (event >= 0 && on_dtmf) on_dtmf(event);
      }
    }
    if (hangup_tone && !tones.disconnected()) {
      tones.calc_tone(pcm);
      if (tones.disconnected() && on_hangup_tone) on_hangup_tone();
    }
  }
  if (event_ok && e.end) synthesizer.clear();
  if (new_event && on_dtmf) on_dtmf(e.event);
}
