#pragma once
// The measurements of one AutoRead cycle as CSV rows.
#include <string>
#include <string_view>

#include "chart/chart.h"
#include "generator/reply_parser.h"
#include "platform/types.h"

namespace cli {

// The columns are the chart's series, in its order, and a marker column: a row with only the
// time and a label for each command of the run that changed the generator.
constexpr int kMeasurementCount = chart::kSeriesCount;
constexpr const char* kCsvHeader = chart::kCsvHeader;

// A reading as the CSV gives it: with the read-out's decimals; empty when the device has not
// reported it since the mark (the reply count then) or it is no finite number.
std::string ReadingValue(const Reading& r, int decimals, uint32_t mark);

}  // namespace cli
