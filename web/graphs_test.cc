#include "web/graphs.h"

#include <gtest/gtest.h>

#include "base/encoding.h"

namespace {

// The colour of pixel (x, y), y counted from the top, read from the bottom-up rows of f.
uint32_t pixel(const str& f, int x, int y, int width = perf_graph::width,
               int height = perf_graph::height) {
  const size_t at = 54 + (height - 1 - y) * ((width * 3 + 3) & ~3) + x * 3;
  return uint32_t(f[at]) | uint32_t(f[at + 1]) << 8 | uint32_t(f[at + 2]) << 16;
}

// How many pixels of column x have the colour.
int count_in_column(const str& f, int x, uint32_t rgb, int n = 0) {
  for (int y = 0; y < perf_graph::height; y++) n += pixel(f, x, y) == rgb;
  return n;
}

TEST(Graphs, BmpHeaderRowsAndOneColumn) {
  std::vector<perf_interval> h(perf_history::intervals);
  // 3 calls, 4 legs: on a scale up to 5, bars of 105 and 140 of the 175 pixels; MOS 4.0: 140.
  h[100] = perf_interval{0, true, -1, 3, 4, 0, 80, 2};
  const str calls = perf_graph_bmp("calls.bmp", h), mos = perf_graph_bmp("mos.bmp", h);
  ASSERT_EQ(calls.length(), 54u + 620 * 3 * 200);
  EXPECT_EQ(hex_encode(calls.substr(0, 54)),
            "424d56ad05000000000036000000280000006c020000c8000000010018000000000020ad0500130b0000"
            "130b00000000000000000000");
  const int x = perf_graph::left + 1 + 100;
  using namespace perf_graph;
  EXPECT_EQ(str::sprintf("%d %d %d %d %d", count_in_column(calls, x, primary),
                         count_in_column(calls, x, secondary), count_in_column(mos, x, primary),
                         count_in_column(calls, x + 1, primary),
                         count_in_column(perf_graph_bmp("performance.bmp", h), x, primary)),
            "105 35 140 0 0");
  // The bars stand on the time axis.
  EXPECT_EQ(pixel(calls, x, bottom - 1), primary);
  EXPECT_EQ(pixel(calls, x, bottom), axis);
  web_request r;  // the chart: legs 4 of 5 at interval 100, a lone point
  history_chart(h, r);
  EXPECT_GE(r.out.find("<path d=\"M140 42\" class=\"line-legs\"/>"), 0) << r.out.view();
  // Rows of 5 pixels take 15 bytes and a byte of padding.
  bmp_canvas small(5, 2);
  small.set(4, 1, 0x102030);
  const str f = small.encode();
  EXPECT_EQ(f.length(), 54u + 2 * 16);
  EXPECT_EQ(pixel(f, 4, 1, 5, 2), 0x102030u);
}

}  // namespace
