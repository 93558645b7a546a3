#pragma once
// The measurements of one AutoRead cycle as CSV rows.
#include <string>
#include <string_view>

#include "generator/gen_page.h"
#include "platform/types.h"

namespace cli {

struct MeasurementColumn {
    const char* name;
    platform::Wnd GenPageHandles::*readout;
    const char* unit;  // what the reply parser puts behind the number
};

constexpr int kMeasurementCount = 6;
extern const MeasurementColumn kMeasurementColumns[kMeasurementCount];
constexpr const char* kCsvHeader = "time,vpeak_V,ipeak_A,vsupply_V,iavg_A,pavg_W,pcb_temp_C";

// The number in a read-out box, without its unit; empty when the box holds no such value
// (still "-", or a text of another form).
std::string ReadoutValue(std::string_view text, std::string_view unit);
// Local time as ISO 8601: 2024-03-05T14:07:09.
std::string IsoTime(const platform::LocalTime& t);

}  // namespace cli
