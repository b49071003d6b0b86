// Codec numbers and the maps between payload types and codec numbers.
//
// A codec number is a small integer that stands for one codec name ("pcmu/8000"). The nine
// codecs the system knows are registered first, in a fixed order, so their numbers are the
// constants below; any other name (from an "a=rtpmap" line) gets the next free number on first
// use. init_codecs registers them and fills the system map local_codec_maping() with their
// default payload types; every function here calls it first, so calling it is optional.
//
// Side-neutral: the name registry is guarded by a mutex; the system map is written once, inside
// init_codecs, and only read afterwards. A codec_map is a plain value of one leg.
#pragma once

#include <map>

#include "base/str.h"

constexpr int codec_dtmf = 0;    // "telephone-event/8000", 101
constexpr int codec_ulaw = 1;    // "pcmu/8000", 0
constexpr int codec_alaw = 2;    // "pcma/8000", 8
constexpr int codec_gsm = 3;     // "gsm/8000", 3
constexpr int codec_g726 = 4;    // "g726-32/8000", 2
constexpr int codec_linear = 5;  // "l16/8000", no default payload type (dynamic)
constexpr int codec_g722 = 6;    // "g722/8000", 9
constexpr int codec_g729 = 7;    // "g729/8000", 18
constexpr int codec_cn = 8;      // "cn/8000", 13

// Names registered beyond this many codec numbers get none (-1), so that peers sending ever
// new encoding names cannot grow the registry without bound.
constexpr int max_codecs = 256;

// Idempotent and thread-safe.
void init_codecs();

// The codec number of an encoding name: lower-cased, a third "/" field (channels) dropped,
// "g729a/8000" taken as "g729/8000". An unknown name is registered; -1 for an empty name or a
// full registry.
int get_local_codec(const str& name);
// The codec number of a registered name (normalised as above), -1 without registering.
int find_codec(const str& name);
// The registered name, empty when unknown.
str get_codec_name(int codec);

class codec_map {
 public:
  // Maps pt to codec and codec to pt; older entries of either are replaced, so the two
  // directions stay in step.
  void add(int pt, int codec);
  // The codec of a payload type, -1 when absent.
  int find_local(int pt) const;
  // The payload type of a codec, -1 when absent.
  int find_remote(int codec) const;
  // Adds codec under the next dynamic payload type and returns it: 96 when the map is empty or
  // its highest payload type is 95 or less, else the highest plus one; -1 past 127.
  int get_dynamic(int codec);
  void clear();
  bool empty() const { return to_codec_.empty(); }

 private:
  std::map<int, int> to_codec_;  // payload type -> codec
  std::map<int, int> to_pt_;     // codec -> payload type
};

// The system map: the default payload type of each known codec.
const codec_map& local_codec_maping();
// The codec of a payload type in the system map, -1 when none.
int get_local_codec(int pt);
// The system default payload type of a codec, -1 when none.
int get_remote_codec(int codec);
