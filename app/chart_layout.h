#pragma once
// Where the chart window puts its strips, scales and labels: plain arithmetic on pixels, so
// that the host tests (and the screenshot test, through the same numbers) can check it.
#include <cstdint>

#include "chart/chart.h"

namespace chartview {

// Pixels; right and bottom are exclusive.
struct Box {
    int left = 0, top = 0, right = 0, bottom = 0;
    int width() const { return right - left; }
    int height() const { return bottom - top; }
};

struct Layout {
    int dpi = 96;
    int font_px = 0;                // the labels' text height
    int big_font_px = 0;            // the latest values
    int pen = 1;                    // the lines' width
    Box bar;                        // the buttons and the view's state
    Box info[chart::kSeriesCount];  // name, unit and latest value of each strip
    Box plot[chart::kSeriesCount];  // the curves; every strip has the same columns
    Box time_axis;                  // the time labels under the last strip
    int columns() const { return plot[0].width(); }
};

// At 96 dpi; everything scales with dpi.
constexpr int kBarHeight = 30;
constexpr int kButtonWidth = 64;
constexpr int kButtonGap = 4;
constexpr int kMargin = 6;
constexpr int kInfoWidth = 138;
constexpr int kTickWidth = 46;
constexpr int kStripGap = 8;
constexpr int kFontPx = 13;
constexpr int kBigFontPx = 22;
constexpr int kAxisHeight = 20;

int Scaled(int px, int dpi);
// A client area of any size gives boxes that lie inside it and do not overlap; strips of a
// window too small for them are empty (no rows or no columns).
Layout ComputeLayout(int width, int height, int dpi);

// The pixel row of value v in plot: lo on the bottom row, hi on the top row, clamped into
// the plot. A scale without height puts every value in the middle.
int ValueRow(const chart::Scale& scale, const Box& plot, double v);
// The column that Decimate gives a sample at t_ms in [t0_ms, t1_ms), or -1 outside.
int TimeColumn(int64_t t0_ms, int64_t t1_ms, int columns, int64_t t_ms);

// How many value ticks the strip's labels leave room for (at least 2), and time ticks under
// columns of time labels text_px wide.
int ValueTicksFit(const Box& plot, int font_px);
int TimeTicksFit(int columns, int label_px);

// The scale of one strip's columns: round, holding every drawn value.
chart::Scale StripScale(const chart::Column* columns, int count, int max_ticks);

// The window's view: span index and, when paused, the frozen end of the time axis.
struct View {
    int span = 0;
    bool paused = false;
    int64_t end_ms = 0;  // the right edge of the axis
    int64_t start_ms() const { return end_ms - chart::kSpansMs[span]; }
};

}  // namespace chartview
