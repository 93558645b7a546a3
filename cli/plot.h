#pragma once
// lumrax plot: a CSV of monitor (or of the chart's export) drawn as an SVG picture, the six
// series in strips stacked on one time axis, the markers across them.
#include <cstdint>
#include <string>

#include "cli/session.h"

namespace cli {

// A CSV larger than this is refused before it is read.
constexpr uint64_t kMaxPlotCsvBytes = 512ull << 20;

// 2024-03-05T14:07:09, optionally with .mmm, as chart::LocalMs counts it. False for any other
// text or a date that does not exist.
bool ParseIsoTime(const std::string& text, int64_t& ms);

int RunPlot(Context& ctx);

}  // namespace cli
