#include "web/graphs.h"

#include <algorithm>

#include "web/pages.h"

bmp_canvas::bmp_canvas(int width, int height)
    : width_(width), height_(height), pixels_(static_cast<size_t>(width) * height, 0xffffff) {}

void bmp_canvas::set(int x, int y, uint32_t rgb) {
  if (x >= 0 && y >= 0 && x < width_ && y < height_)
    pixels_[static_cast<size_t>(y) * width_ + x] = rgb;
}

uint32_t bmp_canvas::get(int x, int y) const {
  if (x < 0 || y < 0 || x >= width_ || y >= height_) return 0;
  return pixels_[static_cast<size_t>(y) * width_ + x];
}

void bmp_canvas::fill(int x0, int y0, int x1, int y1, uint32_t rgb) {
  for (int y = std::min(y0, y1); y <= std::max(y0, y1); y++)
    for (int x = std::min(x0, x1); x <= std::max(x0, x1); x++) set(x, y, rgb);
}

void bmp_canvas::digits(int x, int y, const str& text, uint32_t rgb) {
  // Five rows of three pixels per digit, the left pixel the highest bit.
  static const uint8_t font[10][5] = {
      {7, 5, 5, 5, 7}, {2, 6, 2, 2, 7}, {7, 1, 7, 4, 7}, {7, 1, 7, 1, 7}, {5, 5, 7, 1, 1},
      {7, 4, 7, 1, 7}, {7, 4, 7, 5, 7}, {7, 1, 1, 1, 1}, {7, 5, 7, 5, 7}, {7, 5, 7, 1, 7}};
  for (size_t i = 0; i < text.length(); i++, x += 4) {
    const int d = text[i] - '0';
    if (d < 0 || d > 9) continue;
    for (int row = 0; row < 5; row++)
      for (int col = 0; col < 3; col++)
        if (font[d][row] & (4 >> col)) set(x + col, y + row, rgb);
  }
}

str bmp_canvas::encode() const {
  const uint32_t row_bytes = (static_cast<uint32_t>(width_) * 3 + 3) & ~3u;
  const uint32_t image = row_bytes * static_cast<uint32_t>(height_);
  str out;
  out.reserve(54 + image);
  auto u16 = [&out](uint32_t v) {
    out += static_cast<char>(v & 0xff);
    out += static_cast<char>((v >> 8) & 0xff);
  };
  auto u32 = [&](uint32_t v) {
    u16(v & 0xffff);
    u16(v >> 16);
  };
  out += "BM";
  u32(54 + image);
  u32(0);   // reserved
  u32(54);  // offset of the pixels
  u32(40);  // BITMAPINFOHEADER
  u32(static_cast<uint32_t>(width_));
  u32(static_cast<uint32_t>(height_));  // positive: bottom-up
  u16(1);                               // planes
  u16(24);                              // bits per pixel
  u32(0);                               // no compression
  u32(image);
  u32(2835);  // 72 dots per inch, as pixels per metre
  u32(2835);
  u32(0);  // no palette
  u32(0);
  for (int y = height_ - 1; y >= 0; y--) {
    for (int x = 0; x < width_; x++) {
      const uint32_t p = get(x, y);
      out += static_cast<char>(p & 0xff);
      out += static_cast<char>((p >> 8) & 0xff);
      out += static_cast<char>((p >> 16) & 0xff);
    }
    for (uint32_t pad = static_cast<uint32_t>(width_) * 3; pad < row_bytes; pad++) out += '\0';
  }
  return out;
}

namespace {

using namespace perf_graph;

// The value of one series in an interval; -1: none.
using series_fn = int (*)(const perf_interval&);

int load_of(const perf_interval& p) { return p.sampled ? p.load : -1; }
int calls_of(const perf_interval& p) { return p.sampled ? p.calls : -1; }
int legs_of(const perf_interval& p) { return p.sampled ? p.legs : -1; }
int registrations_of(const perf_interval& p) { return p.sampled ? p.registrations : -1; }
int mos_of(const perf_interval& p) { return p.mos(); }

// The smallest of 1, 2, 5, 10, 20, 50, ... that is at least v.
int nice_scale(int v) {
  for (int decade = 1;; decade *= 10)
    for (int step : {1, 2, 5})
      if (step * decade >= v || decade > 100000000) return step * decade;
}

int scale_for(const std::vector<perf_interval>& h, std::initializer_list<series_fn> series) {
  int top_value = 0;
  for (const perf_interval& p : h)
    for (series_fn f : series) top_value = std::max(top_value, f(p));
  return nice_scale(std::max(top_value, 1));
}

// The y of value v on a scale up to top_value.
int y_of(int v, int top_value) {
  const int span = bottom - top;
  return bottom - (std::min(v, top_value) * span + top_value / 2) / top_value;
}

void draw_frame(bmp_canvas& c, size_t intervals, const str& label) {
  for (int q = 1; q <= 4; q++) {
    const int y = bottom - (bottom - top) * q / 4;
    c.fill(left + 1, y, width - 1, y, grid);
  }
  c.fill(left, top - 4, left, bottom, axis);
  c.fill(left, bottom, width - 1, bottom, axis);
  c.fill(left - 3, top, left - 1, top, axis);
  // Ticks every 6 hours, counted back from the newest interval.
  const size_t per_tick = 6 * 3600 / perf_history::interval_s;
  for (size_t back = 0; back < intervals; back += per_tick) {
    const int x = left + 1 + static_cast<int>(intervals - 1 - back);
    c.fill(x, bottom + 1, x, bottom + 4, axis);
  }
  c.digits(left - 4 - 4 * static_cast<int>(label.length()), top - 2, label, axis);
}

void draw_bars(bmp_canvas& c, const std::vector<perf_interval>& h, series_fn f, int top_value,
               uint32_t color) {
  for (size_t i = 0; i < h.size(); i++) {
    const int v = f(h[i]);
    if (v <= 0) continue;
    const int x = left + 1 + static_cast<int>(i);
    c.fill(x, y_of(v, top_value), x, bottom - 1, color);
  }
}

}  // namespace

bool is_perf_graph(const str& name) {
  return name == "performance.bmp" || name == "calls.bmp" || name == "registrations.bmp" ||
         name == "mos.bmp";
}

str perf_graph_bmp(const str& name, const std::vector<perf_interval>& history) {
  if (!is_perf_graph(name)) return str();
  bmp_canvas c(width, height);
  if (name == "performance.bmp") {
    draw_frame(c, history.size(), "100");
    draw_bars(c, history, load_of, 100, primary);
  } else if (name == "calls.bmp") {
    const int s = scale_for(history, {calls_of, legs_of});
    draw_frame(c, history.size(), str::from_int64(s));
    draw_bars(c, history, legs_of, s, secondary);
    draw_bars(c, history, calls_of, s, primary);
  } else if (name == "registrations.bmp") {
    const int s = scale_for(history, {registrations_of});
    draw_frame(c, history.size(), str::from_int64(s));
    draw_bars(c, history, registrations_of, s, primary);
  } else {
    draw_frame(c, history.size(), "5");  // MOS 1.0 to 5.0, drawn in tenths
    draw_bars(c, history, mos_of, 50, primary);
  }
  return c.encode();
}

namespace {

// An SVG path through the intervals that have a value, broken where they have none.
str svg_path(const std::vector<perf_interval>& h, series_fn f, int top_value, int x0, int y0,
             int span) {
  str d;
  bool open = false;
  for (size_t i = 0; i < h.size(); i++) {
    const int v = f(h[i]);
    if (v < 0) {
      open = false;
      continue;
    }
    const int y = y0 + span - (std::min(v, top_value) * span + top_value / 2) / top_value;
    d.appendf("%c%d %d ", open ? 'L' : 'M', x0 + static_cast<int>(i), y);
    open = true;
  }
  return d.strip();
}

}  // namespace

void history_chart(const std::vector<perf_interval>& history, web_request& r) {
  const str lang = page_language(r);
  const int x0 = 40, y0 = 10, span = 160, w = static_cast<int>(history.size());
  const int s = scale_for(history, {calls_of, legs_of, registrations_of});
  str& o = r.out;
  o.appendf("<svg class=\"chart history\" viewBox=\"0 0 %d %d\" role=\"img\" aria-label=\"%s\">\n",
            x0 + w + 50, y0 + span + 50, html_escape(translate("history_title", lang)));
  o.appendf("<path d=\"M%d %d L%d %d L%d %d\" class=\"chart-axis\"/>\n", x0, y0, x0, y0 + span,
            x0 + w, y0 + span);
  o.appendf("<text x=\"%d\" y=\"%d\" class=\"chart-label\" text-anchor=\"end\">%d</text>\n", x0 - 4,
            y0 + 4, s);
  o.appendf("<text x=\"%d\" y=\"%d\" class=\"chart-label\">100%%</text>\n", x0 + w + 4, y0 + 4);
  const struct {
    series_fn f;
    const char* key;
  } lines[] = {{legs_of, "legs"},
               {calls_of, "calls"},
               {registrations_of, "registrations"},
               {load_of, "media_load"}};
  int legend_x = x0;
  for (const auto& l : lines) {
    const str d = svg_path(history, l.f, l.f == load_of ? 100 : s, x0, y0, span);
    if (!d.empty()) o.appendf("<path d=\"%s\" class=\"line-%s\"/>\n", d, str(l.key));
    o.appendf(
        "<rect x=\"%d\" y=\"%d\" width=\"10\" height=\"3\" class=\"key-%s\"/>"
        "<text x=\"%d\" y=\"%d\" class=\"chart-label\">%s</text>\n",
        legend_x, y0 + span + 36, str(l.key), legend_x + 14, y0 + span + 41,
        html_escape(translate(l.key, lang)));
    legend_x += 140;
  }
  // Time labels every 12 hours, counted back from now.
  const int per_label = 12 * 3600 / perf_history::interval_s;
  for (int back = 0; back < w; back += per_label) {
    const str text = back ? str::sprintf("-%d h", back * perf_history::interval_s / 3600)
                          : translate("now", lang);
    o.appendf("<text x=\"%d\" y=\"%d\" class=\"chart-label\" text-anchor=\"middle\">%s</text>\n",
              x0 + w - 1 - back, y0 + span + 16, html_escape(text));
  }
  o += "</svg>\n";
}
