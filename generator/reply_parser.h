#pragma once
// The interpreter of device replies.
#include <cstdint>

#include "platform/types.h"

struct DeviceFlags {
    uint8_t uCisBootloader = 0;
    uint8_t pwm_on = 1;
    uint8_t pwm_ctl_on = 0;
    uint8_t search_always_on = 0;
    void Reset() { *this = DeviceFlags{}; }
};
extern DeviceFlags g_dev;

// What the device reported last, as numbers and texts beside the read-outs that show them.
enum class Quantity : uint8_t {
    kFrequency,   // kHz
    kDuty,        // %
    kAntVpeak,    // V
    kAntIpeak,    // A
    kFmax,        // kHz
    kFmin,        // kHz
    kVmin,        // V
    kPcbTemp,     // degrees C
    kVsupply,     // V
    kAntIavg,     // A
    kAntPavg,     // W
    kTempThresh,  // degrees C
    kCount
};
struct Reading {
    double value = 0;
    platform::LocalTime at{};
    uint32_t reply = 0;  // the parsed reply it came with (g_readings.replies then); 0: none yet
};
constexpr std::size_t kIdentSize = 256;
struct Readings {
    Reading values[static_cast<int>(Quantity::kCount)];
    uint32_t replies = 0;              // replies parsed so far
    uint32_t firmware_reply = 0;       // the reply of the last firmware identification; 0: none
    uint32_t hardware_reply = 0;       // the reply of the last hardware identification; 0: none
    uint32_t pwm_reply = 0;            // the reply that last reported pwm_on; 0: none
    uint32_t ctl_reply = 0;            // ... pwm_ctl_on
    uint32_t search_always_reply = 0;  // ... search_always_on
    char firmware[kIdentSize] = {};    // as the Firmware Version box shows it
    char hardware[kIdentSize] = {};    // as the Hardware Version box shows it
    const Reading& operator[](Quantity q) const { return values[static_cast<int>(q)]; }
    void Reset() { *this = Readings{}; }
};
extern Readings g_readings;

// Finds the first n characters of key in the first length characters of text (never past
// the text's NUL). On a match sets *position to its index; otherwise sets it to 0, except
// for length 0 or n 0, which leave it as it was.
bool SearchKnownString(const char* text, const char* key, uint32_t length, uint32_t n,
                       uint32_t* position);
// Interprets one complete reply, a NUL-terminated text that may be shortened in place.
// count is not used: the text ends at its first NUL.
void ParseDeviceReply(char* reply, uint32_t count);
