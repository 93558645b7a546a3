#include "app/chart_layout.h"

#include <algorithm>
#include <cmath>

namespace chartview {

int Scaled(int px, int dpi) {
    return static_cast<int>((static_cast<int64_t>(px) * dpi + 48) / 96);
}

Layout ComputeLayout(int width, int height, int dpi) {
    Layout l;
    l.dpi = dpi > 0 ? dpi : 96;
    width = std::max(width, 0);
    height = std::max(height, 0);
    const auto s = [&](int px) { return Scaled(px, l.dpi); };
    l.font_px = s(kFontPx);
    l.big_font_px = s(kBigFontPx);
    l.pen = std::max(1, l.dpi / 96);
    l.bar = Box{0, 0, width, std::min(height, s(kBarHeight))};

    const int plot_left = std::min(width, s(kMargin + kInfoWidth + kTickWidth));
    const int plot_right = std::max(plot_left, width - s(kMargin) - s(kMargin));
    const int strips_top = std::min(height, l.bar.bottom + s(kMargin));
    const int axis_top = std::max(strips_top, height - s(kAxisHeight) - s(kMargin));
    l.time_axis = Box{plot_left, axis_top, plot_right, std::max(axis_top, height - s(kMargin))};

    // Equal strips; the rows the division leaves over go to the gaps at the bottom.
    const int gap = s(kStripGap);
    const int rows = std::max(0, axis_top - strips_top - gap * (chart::kSeriesCount - 1));
    const int strip = rows / chart::kSeriesCount;
    for (int i = 0; i < chart::kSeriesCount; ++i) {
        const int top = std::min(axis_top, strips_top + i * (strip + gap));
        const int bottom = std::min(axis_top, top + strip);
        l.plot[i] = Box{plot_left, top, plot_right, bottom};
        l.info[i] = Box{std::min(width, s(kMargin)), top,
                        std::max(std::min(width, s(kMargin)), plot_left - s(kTickWidth)), bottom};
    }
    return l;
}

int ValueRow(const chart::Scale& scale, const Box& plot, double v) {
    const int n = plot.height();
    if (n <= 0) return plot.top;
    const double range = scale.hi - scale.lo;
    if (!(range > 0) || !std::isfinite(v)) return plot.top + (n - 1) / 2;
    const double f = std::clamp((v - scale.lo) / range, 0.0, 1.0);
    return plot.bottom - 1 - static_cast<int>(std::lround(f * (n - 1)));
}

int TimeColumn(int64_t t0_ms, int64_t t1_ms, int columns, int64_t t_ms) {
    if (columns <= 0 || t1_ms <= t0_ms || t_ms < t0_ms || t_ms >= t1_ms) return -1;
    return static_cast<int>((t_ms - t0_ms) * columns / (t1_ms - t0_ms));
}

int ValueTicksFit(const Box& plot, int font_px) {
    // A label and a half of space between two.
    return std::max(2, plot.height() / std::max(1, font_px * 2) + 1);
}

int TimeTicksFit(int columns, int label_px) {
    return std::max(1, columns / std::max(1, label_px + label_px / 2));
}

chart::Scale StripScale(const chart::Column* columns, int count, int max_ticks) {
    double lo = NAN, hi = NAN;
    for (int c = 0; c < count; ++c) {
        if (!columns[c].has) continue;
        lo = std::isnan(lo) ? columns[c].min : std::min<double>(lo, columns[c].min);
        hi = std::isnan(hi) ? columns[c].max : std::max<double>(hi, columns[c].max);
    }
    return chart::RoundScale(lo, hi, max_ticks);
}

}  // namespace chartview
