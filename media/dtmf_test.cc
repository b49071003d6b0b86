#include "media/dtmf.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

namespace {

// One piece of test audio: a synthesizer event (event >= 0), else the sum of two sines of
// amplitude 2000 (0 Hz: none).
struct piece {
  int event, f1, f2, ms;
};

str render(const std::vector<piece>& pieces) {
  str out;
  dtmf_synthesizer synth;
  int n = 0;
  for (const piece& p : pieces) {
    for (int done = 0; done < p.ms; done += 10) {
      if (p.event >= 0) {
        out += synth.get_samples(p.event);
        continue;
      }
      for (int i = 0; i < 80; ++i, ++n) {
        double v = 0;
        for (int f : {p.f1, p.f2}) v += f ? 2000 * std::sin(2 * M_PI * f * n / 8000.0) : 0;
        const int16_t s = int16_t(std::lround(v));
        out.append(&s, 2);
      }
    }
  }
  return out;
}

TEST(dtmf, recognised_from_audio) {
  const piece quiet{-1, 0, 0, 60};
  const struct {
    std::vector<piece> audio;
    const char* digits;
  } cases[] = {
      {{{0, 0, 0, 60}, quiet}, "0"},
      {{{1, 0, 0, 60}, quiet}, "1"},
      {{{2, 0, 0, 60}, quiet}, "2"},
      {{{3, 0, 0, 60}, quiet}, "3"},
      {{{4, 0, 0, 60}, quiet}, "4"},
      {{{5, 0, 0, 60}, quiet}, "5"},
      {{{6, 0, 0, 60}, quiet}, "6"},
      {{{7, 0, 0, 60}, quiet}, "7"},
      {{{8, 0, 0, 60}, quiet}, "8"},
      {{{9, 0, 0, 60}, quiet}, "9"},
      {{{10, 0, 0, 60}, quiet}, "*"},
      {{{11, 0, 0, 60}, quiet}, "#"},
      {{{-1, 697, 1633, 60}}, "A"},
      {{{-1, 770, 1633, 60}}, "B"},
      {{{-1, 852, 1633, 60}}, "C"},
      {{{-1, 941, 1633, 60}}, "D"},
      {{{7, 0, 0, 200}, quiet}, "7"},  // held: once
      {{{5, 0, 0, 60}, {-1, 0, 0, 20}, {5, 0, 0, 60}}, "55"},
      {{{-1, 1100, 0, 500}}, "F"},   // fax calling tone
      {{{-1, 1209, 0, 200}}, ""},    // a column alone
      {{{-1, 697, 770, 200}}, ""},   // two rows
      {{{1, 0, 0, 20}, quiet}, ""},  // one block is not a key
  };
  for (const auto& c : cases) {
    // Tones of peak 2000 (the synthesizer's) sit at the silence limit under the default gain
    // of 512; phones send theirs several times louder.
    dtmf_recognition r(1024);
    r.calc_dtmf(render(c.audio));
    EXPECT_EQ(r.get_dtmf_nums(), str(c.digits)) << c.digits;
    EXPECT_EQ(r.get_dtmf_nums(), "");
  }
}

TEST(dtmf, synthesizer_continues_restarts_and_mutes) {
  dtmf_synthesizer s;
  const str first = s.get_samples(1);
  EXPECT_NE(s.get_samples(1), first);  // the waves continue
  s.get_samples(2);
  EXPECT_EQ(s.get_samples(1), first);  // a new event starts the waves again
  EXPECT_EQ(s.get_samples(12), str('\0', 160));
}

TEST(dtmf, event_rules) {
  EXPECT_EQ(get_oob_dtmf(5, 400, false), str::bytes({5, 0x0a, 0x01, 0x90}));
  EXPECT_EQ(get_oob_dtmf(11, 1280, true), str::bytes({11, 0x8a, 0x05, 0x00}));
  telephone_event e;
  ASSERT_TRUE(parse_telephone_event(get_oob_dtmf(11, 1280, true), e));
  EXPECT_EQ(std::vector<int>({e.event, e.end, e.volume, e.duration}),
            std::vector<int>({11, 1, 10, 1280}));
  EXPECT_FALSE(parse_telephone_event(str::bytes({1, 2, 3}), e));
  const std::string reported{dtmf_report_char(0),   dtmf_report_char(10),
                             dtmf_report_char(11),  dtmf_report_char('#'),
                             dtmf_report_char(16),  dtmf_report_char(31),
                             dtmf_report_char('F'), dtmf_report_char(12) ? 'x' : '-'};
  EXPECT_EQ(reported, "0*##RSF-");
  const int events[] = {recognised_event('F', true, false), recognised_event('F', false, true),
                        recognised_event('#', false, true), recognised_event('D', true, true),
                        recognised_event('7', true, false), recognised_event('?', true, true)};
  EXPECT_EQ(std::vector<int>(std::begin(events), std::end(events)),
            std::vector<int>({'F', -1, 11, 15, -1, -1}));
  EXPECT_EQ(dtmf_relay_info_body(10), "Signal= *\r\nDuration= 160");
  EXPECT_EQ(dtmf_relay_info_body('7') + dtmf_relay_info_body(16),
            "Signal= 7\r\nDuration= 160Signal= F\r\nDuration= 160");
}

}  // namespace
