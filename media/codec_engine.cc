#include "media/codec_engine.h"

#include <cstring>

extern "C" {
#include <bcg729/decoder.h>
#include <bcg729/encoder.h>
}
#include <gsm/gsm.h>
// spandsp's headers need telephony.h first.
#include <spandsp/telephony.h>
//
#include <spandsp/bitstream.h>
#include <spandsp/g722.h>
#include <spandsp/g726.h>

namespace {

constexpr int gsm_frame_bytes = 33, gsm_ms_bytes = 65, gsm_frame_samples = 160;
constexpr int g729_frame_bytes = 10, g729_sid_bytes = 2, g729_frame_samples = 80;

// Owners of the libraries' coder states.
struct g722_enc_free {
  void operator()(g722_encode_state_t* s) const { g722_encode_free(s); }
};
struct g722_dec_free {
  void operator()(g722_decode_state_t* s) const { g722_decode_free(s); }
};
struct g726_free_state {
  void operator()(g726_state_t* s) const { g726_free(s); }
};
struct g729_enc_free {
  void operator()(bcg729EncoderChannelContextStruct* s) const { closeBcg729EncoderChannel(s); }
};
struct g729_dec_free {
  void operator()(bcg729DecoderChannelContextStruct* s) const { closeBcg729DecoderChannel(s); }
};
struct gsm_free {
  void operator()(gsm_state* s) const { gsm_destroy(s); }
};
using gsm_ptr = std::unique_ptr<gsm_state, gsm_free>;

gsm_ptr make_gsm(bool ms_form) {
  gsm_ptr g(gsm_create());
  if (g && ms_form) {
    int one = 1;
    gsm_option(g.get(), GSM_OPT_WAV49, &one);
  }
  return g;
}

// Samples of one frame that encode codes at once; 1 for the codecs coded sample by sample.
int frame_samples(int codec, bool gsm_ms) {
  switch (codec) {
    case codec_g726:
      return 2;
    case codec_g729:
      return g729_frame_samples;
    case codec_gsm:
      return gsm_ms ? 2 * gsm_frame_samples : gsm_frame_samples;
    default:
      return 1;
  }
}

int16_t sample_at(const char* p, size_t i) {
  int16_t s;
  std::memcpy(&s, p + 2 * i, 2);
  return s;
}

// A str of n samples, written through the returned pointer.
int16_t* make_pcm(str& out, size_t n) { return reinterpret_cast<int16_t*>(out.extend(2 * n)); }

}  // namespace

int unit_bytes(int codec) {
  switch (codec) {
    case codec_ulaw:
    case codec_alaw:
    case codec_g722:
      return 80;
    case codec_g726:
      return 40;
    case codec_g729:
      return g729_frame_bytes;
    case codec_gsm:
      return gsm_frame_bytes;
    default:
      return 0;
  }
}

int unit_samples(int codec) {
  if (codec == codec_gsm) return gsm_frame_samples;
  return unit_bytes(codec) ? 80 : 0;
}

int unit_samples(int codec, const str& unit) {
  const int n = int(unit.size());
  switch (codec) {
    case codec_ulaw:
    case codec_alaw:
    case codec_g722:
      return n;
    case codec_g726:
      return 2 * n;
    case codec_g729:
      return n == g729_frame_bytes || n == g729_sid_bytes ? g729_frame_samples : 0;
    case codec_gsm:
      return n == gsm_frame_bytes ? gsm_frame_samples
             : n == gsm_ms_bytes  ? 2 * gsm_frame_samples
                                  : 0;
    default:
      return 0;
  }
}

std::vector<str> split_units(int codec, const str& payload) {
  std::vector<str> units;
  size_t unit = size_t(unit_bytes(codec));
  if (unit == 0) return units;
  const size_t n = payload.size();
  if (codec == codec_gsm && n % gsm_frame_bytes != 0 && n % gsm_ms_bytes == 0) unit = gsm_ms_bytes;
  size_t at = 0;
  for (; at + unit <= n; at += unit) units.push_back(payload.substr(at, unit));
  const size_t rest = n - at;
  const bool keep_rest = codec == codec_ulaw || codec == codec_alaw || codec == codec_g722 ||
                         codec == codec_g726 || (codec == codec_g729 && rest == g729_sid_bytes);
  if (rest > 0 && keep_rest) units.push_back(payload.substr(at, rest));
  return units;
}

str comfort_noise() { return str(comfort_noise_payload.data(), comfort_noise_payload.size()); }

struct codec::coders {
  std::unique_ptr<g722_encode_state_t, g722_enc_free> g722_enc;
  std::unique_ptr<g722_decode_state_t, g722_dec_free> g722_dec;
  std::unique_ptr<g726_state_t, g726_free_state> g726_enc, g726_dec;
  std::unique_ptr<bcg729EncoderChannelContextStruct, g729_enc_free> g729_enc;
  std::unique_ptr<bcg729DecoderChannelContextStruct, g729_dec_free> g729_dec;
  gsm_ptr gsm_enc, gsm_dec, gsm_ms_enc, gsm_ms_dec;
  bool gsm_ms = false;
  // Samples that did not fill a frame of pending_codec.
  int pending_codec = -1;
  std::vector<int16_t> pending;
  std::vector<int16_t> scratch;  // pending plus the new samples, reused between calls
};

codec::codec() = default;
codec::~codec() = default;
codec::codec(codec&&) noexcept = default;
codec& codec::operator=(codec&&) noexcept = default;

codec::coders& codec::state() {
  if (!coders_) coders_ = std::make_unique<coders>();
  return *coders_;
}

void codec::set_gsm_ms_form(bool on) {
  coders& c = state();
  if (c.gsm_ms != on && c.pending_codec == codec_gsm) c.pending.clear();
  c.gsm_ms = on;
}

str codec::encode(int codec, const str& pcm) {
  str out;
  const char* in = pcm.cbuffer();
  const size_t n = pcm.size() / 2;
  switch (codec) {
    case codec_ulaw:
    case codec_alaw: {
      uint8_t* p = reinterpret_cast<uint8_t*>(out.extend(n));
      if (codec == codec_ulaw)
        for (size_t i = 0; i < n; ++i) p[i] = encode_ulaw(sample_at(in, i));
      else
        for (size_t i = 0; i < n; ++i) p[i] = encode_alaw(sample_at(in, i));
      return out;
    }
    case codec_linear: {
      uint8_t* p = reinterpret_cast<uint8_t*>(out.extend(2 * n));
      for (size_t i = 0; i < n; ++i) {
        const uint16_t s = uint16_t(sample_at(in, i));
        p[2 * i] = uint8_t(s >> 8);
        p[2 * i + 1] = uint8_t(s);
      }
      return out;
    }
    case codec_g722:
    case codec_g726:
    case codec_g729:
    case codec_gsm:
      break;
    default:
      return out;
  }

  // The stateful coders: whole frames of the leftover samples and the new ones.
  coders& c = state();
  if (c.pending_codec != codec) c.pending.clear();
  c.pending_codec = codec;
  const size_t frame = size_t(frame_samples(codec, c.gsm_ms));
  std::vector<int16_t>& x = c.scratch;
  x.assign(c.pending.begin(), c.pending.end());
  for (size_t i = 0; i < n; ++i) x.push_back(sample_at(in, i));
  const size_t frames = x.size() / frame, used = frames * frame;
  c.pending.assign(x.begin() + long(used), x.end());
  if (frames == 0) return out;
  int16_t* s = x.data();

  switch (codec) {
    case codec_g722: {
      if (!c.g722_enc) c.g722_enc.reset(g722_encode_init(nullptr, 64000, G722_SAMPLE_RATE_8000));
      if (!c.g722_enc) break;
      uint8_t* p = reinterpret_cast<uint8_t*>(out.extend(used));
      out.truncate(size_t(g722_encode(c.g722_enc.get(), p, s, int(used))));
      break;
    }
    case codec_g726: {
      if (!c.g726_enc)
        c.g726_enc.reset(g726_init(nullptr, 32000, G726_ENCODING_LINEAR, G726_PACKING_RIGHT));
      if (!c.g726_enc) break;
      uint8_t* p = reinterpret_cast<uint8_t*>(out.extend(used / 2));
      out.truncate(size_t(g726_encode(c.g726_enc.get(), p, s, int(used))));
      break;
    }
    case codec_g729: {
      if (!c.g729_enc) c.g729_enc.reset(initBcg729EncoderChannel(0));
      if (!c.g729_enc) break;
      uint8_t* p = reinterpret_cast<uint8_t*>(out.extend(frames * g729_frame_bytes));
      size_t len = 0;
      for (size_t f = 0; f < frames; ++f) {
        uint8_t written = 0;  // 10 without voice activity detection
        bcg729Encoder(c.g729_enc.get(), s + f * frame, p + len, &written);
        len += written;
      }
      out.truncate(len);
      break;
    }
    case codec_gsm: {
      gsm_ptr& g = c.gsm_ms ? c.gsm_ms_enc : c.gsm_enc;
      if (!g) g = make_gsm(c.gsm_ms);
      if (!g) break;
      const size_t bytes = c.gsm_ms ? gsm_ms_bytes : gsm_frame_bytes;
      uint8_t* p = reinterpret_cast<uint8_t*>(out.extend(frames * bytes));
      for (size_t f = 0; f < frames; ++f) {
        int16_t* in_frame = s + f * frame;
        uint8_t* o = p + f * bytes;
        gsm_encode(g.get(), in_frame, o);
        // The two-frame form: the first frame's 32.5 bytes end in the second's first nibble.
        if (c.gsm_ms) gsm_encode(g.get(), in_frame + gsm_frame_samples, o + 32);
      }
      break;
    }
  }
  return out;
}

str codec::decode(int codec, const str& payload, bool lost) {
  str out;
  const uint8_t* in = reinterpret_cast<const uint8_t*>(payload.cbuffer());
  const size_t n = payload.size();
  if (lost) {
    const int samples = unit_samples(codec);
    if (samples == 0) return out;
    int16_t* p = make_pcm(out, size_t(samples));
    std::memset(p, 0, 2 * size_t(samples));
    if (codec == codec_g729) {
      coders& c = state();
      if (!c.g729_dec) c.g729_dec.reset(initBcg729DecoderChannel());
      if (c.g729_dec) bcg729Decoder(c.g729_dec.get(), nullptr, 0, 1, 0, 0, p);
    }
    return out;
  }
  switch (codec) {
    case codec_ulaw:
    case codec_alaw: {
      int16_t* p = make_pcm(out, n);
      const auto& table =
          codec == codec_ulaw ? g711_tables::linear_from_ulaw : g711_tables::linear_from_alaw;
      for (size_t i = 0; i < n; ++i) p[i] = table[in[i]];
      return out;
    }
    case codec_linear: {
      int16_t* p = make_pcm(out, n / 2);
      for (size_t i = 0; i < n / 2; ++i) p[i] = int16_t(in[2 * i] << 8 | in[2 * i + 1]);
      return out;
    }
    case codec_g722: {
      coders& c = state();
      if (!c.g722_dec) c.g722_dec.reset(g722_decode_init(nullptr, 64000, G722_SAMPLE_RATE_8000));
      if (!c.g722_dec || n == 0) return out;
      int16_t* p = make_pcm(out, n);
      out.truncate(2 * size_t(g722_decode(c.g722_dec.get(), p, in, int(n))));
      return out;
    }
    case codec_g726: {
      coders& c = state();
      if (!c.g726_dec)
        c.g726_dec.reset(g726_init(nullptr, 32000, G726_ENCODING_LINEAR, G726_PACKING_RIGHT));
      if (!c.g726_dec || n == 0) return out;
      int16_t* p = make_pcm(out, 2 * n);
      out.truncate(2 * size_t(g726_decode(c.g726_dec.get(), p, in, int(n))));
      return out;
    }
    case codec_g729: {
      coders& c = state();
      if (!c.g729_dec) c.g729_dec.reset(initBcg729DecoderChannel());
      if (!c.g729_dec) return out;
      const size_t frames = n / g729_frame_bytes;
      const bool sid = n % g729_frame_bytes == g729_sid_bytes;
      int16_t* p = make_pcm(out, (frames + sid) * g729_frame_samples);
      for (size_t f = 0; f < frames; ++f)
        bcg729Decoder(c.g729_dec.get(), in + f * g729_frame_bytes, g729_frame_bytes, 0, 0, 0,
                      p + f * g729_frame_samples);
      if (sid)
        bcg729Decoder(c.g729_dec.get(), in + frames * g729_frame_bytes, g729_sid_bytes, 0, 1, 0,
                      p + frames * g729_frame_samples);
      return out;
    }
    case codec_gsm: {
      coders& c = state();
      const bool ms = n % gsm_frame_bytes != 0 && n % gsm_ms_bytes == 0;
      gsm_ptr& g = ms ? c.gsm_ms_dec : c.gsm_dec;
      if (!g) g = make_gsm(ms);
      if (!g) return out;
      const size_t bytes = ms ? gsm_ms_bytes : gsm_frame_bytes, frames = n / bytes;
      const size_t samples = ms ? 2 * gsm_frame_samples : gsm_frame_samples;
      int16_t* p = make_pcm(out, frames * samples);
      // libgsm reads through a non-const pointer but does not write.
      uint8_t* src = const_cast<uint8_t*>(in);
      for (size_t f = 0; f < frames; ++f) {
        int16_t* o = p + f * samples;
        uint8_t* frame = src + f * bytes;
        if (gsm_decode(g.get(), frame, o) != 0) std::memset(o, 0, 2 * gsm_frame_samples);
        if (ms && gsm_decode(g.get(), frame + gsm_frame_bytes, o + gsm_frame_samples) != 0)
          std::memset(o + gsm_frame_samples, 0, 2 * gsm_frame_samples);
      }
      return out;
    }
    default:
      return out;
  }
}
