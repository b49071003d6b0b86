#include "web/graphs.h"

#include <gtest/gtest.h>

namespace {

uint32_t u32_at(const str& f, size_t at) {
  return uint32_t(f[at]) | uint32_t(f[at + 1]) << 8 | uint32_t(f[at + 2]) << 16 |
         uint32_t(f[at + 3]) << 24;
}

// The colour of pixel (x, y), y counted from the top, read from the rows of the file.
uint32_t pixel(const str& f, int x, int y) {
  const size_t row_bytes = (u32_at(f, 18) * 3 + 3) & ~3u;
  const size_t at = 54 + (u32_at(f, 22) - 1 - y) * row_bytes + x * 3;
  return uint32_t(f[at]) | uint32_t(f[at + 1]) << 8 | uint32_t(f[at + 2]) << 16;
}

// How many pixels of the column have the colour.
int count_in_column(const str& f, int x, uint32_t rgb) {
  int n = 0;
  for (int y = 0; y < perf_graph::height; y++) n += pixel(f, x, y) == rgb;
  return n;
}

TEST(Graphs, BmpHeaderRowsAndOneColumn) {
  std::vector<perf_interval> h(perf_history::intervals);
  perf_interval& p = h[100];
  p.sampled = true;
  p.calls = 3;
  p.legs = 4;  // the scale's top is 5: bars of 105 and 140 of the 175 pixels
  p.mos_sum = 80;
  p.mos_count = 2;  // 4.0 of 5: 140 pixels
  const str calls = perf_graph_bmp("calls.bmp", h);
  const size_t image = 620 * 3 * 200;
  ASSERT_EQ(calls.length(), 54 + image);
  EXPECT_EQ(calls.substr(0, 2), "BM");
  const uint32_t header[][2] = {{2, 54 + image}, {10, 54},           {14, 40}, {18, 620},
                                {22, 200},       {26, 1 | 24 << 16}, {30, 0},  {34, image}};
  for (const auto& [at, value] : header) EXPECT_EQ(u32_at(calls, at), value) << at;

  const int x = perf_graph::left + 1 + 100;
  EXPECT_EQ(count_in_column(calls, x, perf_graph::primary), 105);
  EXPECT_EQ(count_in_column(calls, x, perf_graph::secondary), 35);
  EXPECT_EQ(pixel(calls, x, perf_graph::bottom - 1), perf_graph::primary);  // bars stand on
  EXPECT_EQ(pixel(calls, x, perf_graph::bottom), perf_graph::axis);         // the time axis
  EXPECT_EQ(count_in_column(calls, x + 1, perf_graph::primary), 0);
  const str mos = perf_graph_bmp("mos.bmp", h);
  EXPECT_EQ(count_in_column(mos, x, perf_graph::primary), 140);
  EXPECT_EQ(count_in_column(perf_graph_bmp("performance.bmp", h), x, perf_graph::primary), 0);

  EXPECT_TRUE(perf_graph_bmp("other.bmp", h).empty());
  // Rows of 5 pixels take 15 bytes and a byte of padding; the bottom row comes first.
  bmp_canvas small(5, 2);
  small.set(4, 1, 0x102030);
  const str f = small.encode();
  ASSERT_EQ(f.length(), 54u + 2 * 16);
  EXPECT_EQ(f.substr(54 + 12, 4), str::bytes({0x30, 0x20, 0x10, 0}));
}

}  // namespace
