#pragma once
// The ids of the page's controls: what the window program routes by, and what lumrax clicks.
// Labels and read-outs share one id; every routed control has its own.
#include <cstdint>

namespace id {
constexpr uint16_t kLabel = 1024;
// The communication area.
constexpr uint16_t kComSelect = 1034;
constexpr uint16_t kBaudSelect = 1035;
constexpr uint16_t kComStartStop = 1036;
constexpr uint16_t kComText = 1037;
constexpr uint16_t kRegEdit = 1038;
constexpr uint16_t kRegRead = 1039;
constexpr uint16_t kRegWrite = 1040;
constexpr uint16_t kLogStartStop = 1041;
constexpr uint16_t kClearScr = 1042;
// The bootloader column.
constexpr uint16_t kFileOpen = 1064;
constexpr uint16_t kFileCheck = 1065;
constexpr uint16_t kBootGo = 1066;
constexpr uint16_t kChipSelect = 1069;
constexpr uint16_t kBootSwitch = 1070;
constexpr uint16_t kFlashErase = 1071;
// The generator.
constexpr uint16_t kPwmOnOff = 1084;
constexpr uint16_t kPwmRead = 1085;
constexpr uint16_t kFreqDown = 1086;
constexpr uint16_t kFreqUp = 1087;
constexpr uint16_t kDutyDown = 1088;
constexpr uint16_t kDutyUp = 1089;
constexpr uint16_t kFreqLimRead = 1090;
constexpr uint16_t kFmaxWrite = 1091;
constexpr uint16_t kFminWrite = 1092;
constexpr uint16_t kMeasRead = 1094;
constexpr uint16_t kAutoRead = 1095;
constexpr uint16_t kChart = 1098;  // opens the window program's chart; not a core command
constexpr uint16_t kVminRead = 1096;
constexpr uint16_t kVminWrite = 1097;
constexpr uint16_t kCtlOnOff = 1104;
constexpr uint16_t kAutoSearch = 1107;
constexpr uint16_t kSearchAlways = 1108;
constexpr uint16_t kEepWrEn = 1114;
constexpr uint16_t kPwmSave = 1115;
constexpr uint16_t kEepRecall = 1116;
constexpr uint16_t kOfflEdit = 1117;
constexpr uint16_t kTempThreshRead = 1124;
constexpr uint16_t kTempThreshWrite = 1125;
}  // namespace id
