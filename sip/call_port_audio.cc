// The call leg's audio: its play list, music on hold and recording (media/audio_player.h),
// hooked into the leg's RTP stream. The stream mixes the leg's own audio into every 10 ms unit
// it sends and hands each received payload to the recording; the ends of play lists and the
// finished recordings go to the PBX as DialogEOF and FileWritten.
//
// srv side: under srv_run_mutex (SIP threads for the commands, the RTP thread for the mix),
// except post_file_written, which runs on the audio thread.
#include "base/log.h"
#include "frame/settings.h"
#include "frame/soap_message.h"
#include "sip/call_messages.h"
#include "sip/call_port.h"
#include "sip/srv_context.h"

namespace {

// In a connected call a prompt waits until the media path has formed, so that its start is
// not lost: the leg has received media or has sent more than 50 packets.
constexpr uint64_t packets_before_playing = 50;

void post_file_written(const str& name, bool ok) {
  srv_ctx().post(soap_write(msg::file_written{name, ok ? str() : str("true")}));
}

void mix_leg(int index, int16_t* unit) {
  call_port* p = get_port(index);
  if (!p || !p->audio) return;
  const rtp_stream* s = p->stream();
  const bool ready =
      !p->is_connected() || (s && (s->media_received || s->packets_sent > packets_before_playing));
  p->audio->mix(unit, ready);
}

void received_by_leg(int index, int codec, const str& payload) {
  call_port* p = get_port(index);
  if (p && p->audio) p->audio->on_received(codec, payload);
}

// The leg's audio, made on first use, and the stream's hooks to it.
leg_audio& audio_of(call_port& p) {
  if (!p.audio) {
    p.audio = std::make_shared<leg_audio>();
    const int index = p.index;
    p.audio->player.on_end = [index](const str& list) {
      call_port* leg = get_port(index);
      if (!leg) return;
      if (!leg->audio->player.playing()) leg->play_file.clear();
      srv_ctx().post(soap_write(msg::dialog_eof{str::sprintf("%d", index), list}));
    };
  }
  if (rtp_stream* s = p.stream()) {
    const int index = p.index;
    s->add_local_audio = [index](int16_t* unit) { mix_leg(index, unit); };
    s->take_received = [index](int codec, const str& payload) {
      received_by_leg(index, codec, payload);
    };
  }
  return *p.audio;
}

}  // namespace

void call_port::play() {
  leg_audio& a = audio_of(*this);
  const bool was_playing = a.player.playing();
  const std::vector<str> names =
      expand_prompt_names(play_file, ctrl_read_registry(ctrl_settings::language_audio),
                          ctrl_read_registry(ctrl_settings::language_tones));
  if (names.empty()) {
    a.player.stop();
  } else {
    a.player.start(play_file, names, play_loop, play_alert, cache);
  }
  if (was_playing || a.player.playing()) redetermine_media();
}

void call_port::set_moh(const str& file) {
  moh_file = file;
  leg_audio& a = audio_of(*this);
  if (file.empty()) {
    a.moh.close();
  } else {
    a.moh.open(file, srv_ctx().rtp_sockets);
  }
  redetermine_media();
}

void call_port::set_recording(const str& file, const str& mode) {
  record_file = file;
  record_mode = mode;
  leg_audio& a = audio_of(*this);
  int max_seconds = ctrl_read_registry(ctrl_settings::max_rec_duration).value();
  if (max_seconds <= 0) max_seconds = 3600;
  a.add_record_file(file, mode, ctrl_read_registry(ctrl_settings::record_compress).is_true(),
                    max_seconds, post_file_written);
  redetermine_media();
  if (!file.empty()) start_sending();
}

void call_port::change_record_filename(const str& file) {
  if (audio && audio->recording.is_open()) audio->recording.change_filename(file);
  record_file = file;
}

void call_port::set_playback_speed(const str& speed) {
  playback_speed = speed;
  // A speed in percent; anything else plays at normal speed.
  const int percent = speed.strip().is_number() ? speed.strip().value() : 100;
  audio_of(*this).player.set_speed(percent > 0 ? percent : 100);
}

void call_port::set_moh_vol_val(int value) { audio_of(*this).moh_vol.value = value; }
void call_port::set_moh_vol_delta(int delta) { audio_of(*this).moh_vol.delta = delta; }
void call_port::set_moh_vol_dst(int dst) { audio_of(*this).moh_vol.dst = dst; }

void call_port::take_ivr(call_port& from) {
  if (&from == this) return;
  play_file = from.play_file;
  play_loop = from.play_loop;
  play_alert = from.play_alert;
  cache = from.cache;
  playback_speed = from.playback_speed;
  analyse_dtmf = from.analyse_dtmf;
  record_file = from.record_file;
  record_mode = from.record_mode;
  from.play_file.clear();
  from.analyse_dtmf = false;
  from.record_file.clear();
  from.record_mode.clear();
  // This leg's own list and recording end here (the recording is finished and reported).
  leg_audio& mine = audio_of(*this);
  mine.player.stop();
  mine.recording.close();
  mine.received.clear();
  if (from.audio) {
    leg_audio& theirs = *from.audio;
    // The lists change places; each keeps the report of its own leg.
    std::swap(mine.player, theirs.player);
    std::swap(mine.player.on_end, theirs.player.on_end);
    mine.recording = std::move(theirs.recording);
    theirs.recording.close();
    mine.record_sent = theirs.record_sent;
    theirs.received.clear();
    from.redetermine_media();
  }
  redetermine_media();
  if ((mine.active() || !record_file.empty()) && !hangup_sent) start_sending();
}
