// What a call leg plays and records: its play list (prompts, tones, silences), its music on
// hold (a file, or an RTP music stream shared by every held leg through one ring), and its
// recording. The leg (sip/) owns one leg_audio and plugs it into its RTP stream: the stream's
// 10 ms mix calls mix, the receive path calls on_received.
//
// Prompt names: "$a/" stands for the audio language's prompt directory "audio_<language>/",
// "$t/" for the tone language's "audio_<language>/", "$m/" for the system sounds in "audio_moh/";
// a play list is a space-separated list of such names and silences ("space10": one second).
//
// srv side: everything runs under srv_run_mutex (RTP thread, SIP threads) except the music
// rings, which moh_mutex guards, and the prompt set, which is filled once at start.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <vector>

#include "base/ip_port.h"
#include "base/str.h"
#include "frame/mutex.h"
#include "frame/net.h"
#include "media/audio_file.h"
#include "media/codec_engine.h"

class rtp_socket_ops;

// ---- Prompts

// The names of a play list with the directory prefixes replaced.
std::vector<str> expand_prompt_names(const str& list, const str& audio_language,
                                     const str& tone_language);
// Checks which of names ("aa_welcome", without directory and extension) exist as
// "audio_<language>/<name>.wav" for each language; the result replaces available_wavs.
void check_available_wavs(const std::vector<str>& names, const std::vector<str>& languages);
// Whether the prompt exists in language; name is reduced to its last path component without
// extension ("$a/aa_welcome.wav" asks for "aa_welcome").
bool wav_available(const str& name, const str& language);

// ---- Playing

class play_list {
 public:
  // Plays the names of list (expanded), starting with the first; cache: the files stay shared
  // in the cache. A previous list is dropped without report.
  void start(const str& list, const std::vector<str>& names, bool loop, bool alert, bool cache);
  void stop();
  bool playing() const { return !names_.empty(); }
  // Adds the next 80 samples to unit with saturation. A file that is missing, no WAV or
  // truncated ends early and the list goes on; a file not yet in the cache adds nothing this
  // time. At the end of the list on_end gets the list text when alert was set; with loop the
  // list starts again (unless the whole pass played nothing), else it is cleared. A pass that
  // played nothing ends one second after it began, as if it had been silence.
  void mix(int16_t* unit);
  void set_speed(int percent);
  std::function<void(const str& list)> on_end;

 private:
  void open_current();
  str list_;
  std::vector<str> names_;
  size_t current_ = 0;
  bool loop_ = false, alert_ = false, cache_ = false;
  bool played_ = false;  // samples came from the list in this pass
  // A pass that played nothing ends after this many units (1 s), not at once.
  static constexpr int idle_pass_units = 100;
  int idle_units_ = 0;
  int speed_ = 100;
  read_file file_, next_;
};

// ---- Music on hold

constexpr int moh_ring_samples = 1280;  // 160 ms
constexpr int moh_block = 80;

// One RTP music source, shared by every leg that listens to its port.
class moh_rtp {
 public:
  // A packet of the source: version-2 RTP of at least 12 bytes, decoded with the codec of its
  // payload type (the system's default map) and written into the ring in 80-sample blocks.
  void on_rtp(const str& packet, const ip_port& source);
  // count samples from position on (wrapping at the ring's size); position advances.
  void get_samples(int& position, int count, int16_t* out);
  // Where a new listener starts: half a ring behind the writer.
  int start_position();
  int write_position();
  void set_port(int port, rtp_socket_ops* ops);
  void close_sockets();
  int port = 0;
  int fd4 = -1, fd6 = -1;
  rtp_socket_ops* ops = nullptr;

 private:
  codec decoder_;
  int16_t ring_[moh_ring_samples] = {};
  int write_ = 0;
  str partial_;  // decoded samples short of a whole block
};

// Guards every moh_rtp's ring.
extern mutex moh_mutex;
// The source of port, created (and bound on the any-addresses through ops, when given) on
// first use; never nullptr for a port in 1..65535.
moh_rtp* get_moh_rtp(int port, rtp_socket_ops* ops);
int moh_rtp_count();
void reset_moh_rtps();  // tests
// The RTP thread's part: the sockets of the music sources.
void moh_rtps_fill(read_set& watch);
void moh_rtps_serve(const read_set& ready);

// The volume of the music on a leg, in 1/65536; with a delta it moves towards dst per sample.
struct moh_volume {
  int value = 65536, delta = 0, dst = 65536;
};
// Adds n music samples to unit with the volume (ramp applied, saturating).
void mix_moh(int16_t* unit, const int16_t* music, int n, moh_volume& volume);

class moh_file {
 public:
  // "rtp:<port>" listens to that RTP music source; any other name plays the file, looping.
  bool open(const str& name, rtp_socket_ops* ops = nullptr);
  // The next n samples (silence while the file loads or the source is silent).
  void read(int16_t* out, int n);
  void close();
  bool is_open() const { return kind >= 0; }
  int kind = -1;  // 0 file, 2 RTP stream
  str name;
  read_file file;
  int port = 0;
  int position = 0;
};

// ---- A leg's audio

class leg_audio {
 public:
  play_list player;
  moh_file moh;
  moh_volume moh_vol;
  write_file recording;
  bool record_sent = false;  // the recording also takes what the leg sends (mixed)
  codec receive_decoder;
  str received;  // decoded but not yet recorded (in the mixed mode)

  bool active() const { return player.playing() || moh.is_open() || recording.is_open(); }
  // The leg's 10 ms mix: adds the play list (unless play_ready is false: the media path of a
  // connected call is still forming) and the music; in the mixed recording mode writes the unit
  // together with what was received meanwhile.
  void mix(int16_t* unit, bool play_ready = true);
  // A payload the leg received in codec: recorded (decoded) when a recording runs.
  void on_received(int codec, const str& payload);
  // Starts (name not empty) or stops the recording. mode is a list of words: "gsm" writes GSM,
  // "both" also records what the leg sends.
  void add_record_file(const str& name, const str& mode, bool compress, int max_seconds,
                       file_written_fn written);
};
