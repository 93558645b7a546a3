#pragma once
// The measurements of one AutoRead cycle as CSV rows.
#include <string>
#include <string_view>

#include "generator/reply_parser.h"
#include "platform/types.h"

namespace cli {

struct MeasurementColumn {
    const char* name;
    Quantity quantity;
    int decimals;  // as the read-out shows it
};

constexpr int kMeasurementCount = 6;
extern const MeasurementColumn kMeasurementColumns[kMeasurementCount];
constexpr const char* kCsvHeader = "time,vpeak_V,ipeak_A,vsupply_V,iavg_A,pavg_W,pcb_temp_C";

// A reading as the CSV gives it: with the read-out's decimals; empty when the device has not
// reported it since the mark (the reply count then) or it is no finite number.
std::string ReadingValue(const Reading& r, int decimals, uint32_t mark);
// Local time as ISO 8601: 2024-03-05T14:07:09.
std::string IsoTime(const platform::LocalTime& t);

}  // namespace cli
