#include "media/dtmf_receiver.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace {

// 20 ms PCMU packets of tone f1+f2 (peak 3000 each) switched on for on_ms of every period_ms,
// or, with event >= 0, RFC 4733 packets: 3 of a first event and its end sent 3 times, then 2 of
// a second event (event + 1).
std::vector<rtp_header> packets(int f1, int f2, int on_ms, int period_ms, int ms, int event) {
  std::vector<rtp_header> out;
  codec enc;
  for (int t = 0, n = 0; t < ms; t += 20) {
    rtp_header h;
    h.timestamp = uint32_t(t < 100 ? 0 : 800) * 8;
    if (event >= 0) {
      h.payload_type = 101;
      h.payload = get_oob_dtmf(event + (t >= 100), t % 100 * 8 + 160, t % 100 >= 40);
    } else {
      int16_t pcm[160];
      for (int16_t& x : pcm) {
        const double w = 2 * M_PI * n / 8000.0, on = n++ % (period_ms * 8) < on_ms * 8;
        x = int16_t(on * 3000 * (std::sin(w * f1) + (f2 ? std::sin(w * f2) : 0)));
      }
      h.payload = enc.encode(codec_ulaw, str(pcm, sizeof pcm));
    }
    out.push_back(h);
  }
  return out;
}

TEST(dtmf_receiver, reports_digits_fax_and_hangup_tones) {
  const struct {
    std::vector<rtp_header> audio;
    bool fax, hangup;
    int te_pt;
    std::vector<int> events;  // -2: the hangup tone
  } cases[] = {
      {packets(770, 1336, 60, 200, 400, -1), false, false, -1, {5, 5}},
      {packets(770, 1336, 60, 200, 400, -1), false, false, 101, {}},  // the peer sends events
      {packets(0, 0, 0, 1, 200, 4), false, false, 101, {4, 5}},
      {packets(0, 0, 0, 1, 200, 4), false, false, -1, {4, 5}},  // by the negotiated codec
      {packets(1100, 0, 500, 500, 500, -1), true, false, 101, {'F'}},
      {packets(1100, 0, 500, 500, 500, -1), false, false, 101, {}},
      // Busy 425 Hz, 480 ms on and off: whole 80 ms blocks, so no block straddles an edge.
      {packets(425, 0, 480, 960, 8000, -1), false, true, -1, {-2}},
      {packets(425, 0, 480, 960, 8000, -1), false, false, -1, {}},
  };
  for (const auto& c : cases) {
    dtmf_receiver r;
    r.init();
    r.fax_detection = c.fax;
    r.hangup_tone = c.hangup;
    std::vector<int> got;
    r.on_dtmf = [&](int e) { got.push_back(e); };
    r.on_hangup_tone = [&] { got.push_back(-2); };
    for (const rtp_header& h : c.audio) {
      r.on_packet(h, h.payload_type == 101 ? codec_dtmf : codec_ulaw, c.te_pt, false);
    }
    EXPECT_EQ(got, c.events) << &c - cases;
  }
}

}  // namespace
