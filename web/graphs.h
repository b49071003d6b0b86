// The statistics graphs of the system administrator: the four images performance.bmp,
// calls.bmp, registrations.bmp and mos.bmp drawn from the history of frame/perf_history.h, and
// the same history as an inline SVG chart for the start page (directive "history_chart").
//
// The images are written by our own small BMP writer: 24 bits per pixel, a BITMAPINFOHEADER,
// rows bottom-up, each row padded to a multiple of 4 bytes. One pixel column per interval of
// the history (the newest at the right), bars from the time axis up, the highest value of the
// scale printed at the top of the value axis, ticks every 6 hours.
//
// ctrl side (the pages render under ctrl_run_mutex); the drawing itself keeps no state.
#pragma once

#include <cstdint>
#include <vector>

#include "base/str.h"
#include "frame/perf_history.h"
#include "web/web_request.h"

// A picture in memory, white at first; (0, 0) is the top left pixel.
class bmp_canvas {
 public:
  bmp_canvas(int width, int height);
  int width() const { return width_; }
  int height() const { return height_; }
  // Points outside are ignored.
  void set(int x, int y, uint32_t rgb);
  uint32_t get(int x, int y) const;
  // The rectangle from (x0, y0) to (x1, y1), both corners included, in either order.
  void fill(int x0, int y0, int x1, int y1, uint32_t rgb);
  // Decimal digits in a 3x5 pixel font, from (x, y) as the top left corner.
  void digits(int x, int y, const str& text, uint32_t rgb);
  // The file: BITMAPFILEHEADER, BITMAPINFOHEADER, the rows bottom-up in blue-green-red order.
  str encode() const;

 private:
  int width_, height_;
  std::vector<uint32_t> pixels_;
};

// The layout of the graphs.
namespace perf_graph {
constexpr int width = 620, height = 200;
constexpr int left = 36;               // x of the value axis; interval i is column left + 1 + i
constexpr int top = 10, bottom = 185;  // y of the top of the scale and of the time axis
constexpr uint32_t background = 0xffffff, axis = 0x000000, grid = 0xdddddd;
constexpr uint32_t primary = 0x1f6fb2, secondary = 0x9cc3e6;  // the value, and legs behind calls
}  // namespace perf_graph

// Whether name is one of the four graph images.
bool is_perf_graph(const str& name);
// The image name of history (intervals oldest first); empty when name is none of the four.
str perf_graph_bmp(const str& name, const std::vector<perf_interval>& history);

// The history chart of the start page (calls, legs and registrations on the left scale, the
// RTP thread's load in percent on the right one), with labels in the session's language.
void history_chart(const std::vector<perf_interval>& history, web_request& r);
