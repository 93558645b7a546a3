#pragma once
// The interpreter of device replies.
#include <cstdint>

struct DeviceFlags {
    uint8_t uCisBootloader = 0;
    uint8_t pwm_on = 1;
    uint8_t pwm_ctl_on = 0;
    uint8_t search_always_on = 0;
    void Reset() { *this = DeviceFlags{}; }
};
extern DeviceFlags g_dev;

// Finds the first n characters of key in the first length characters of text (never past
// the text's NUL). On a match sets *position to its index; otherwise sets it to 0, except
// for length 0 or n 0, which leave it as it was.
bool SearchKnownString(const char* text, const char* key, uint32_t length, uint32_t n,
                       uint32_t* position);
// Interprets one complete reply, a NUL-terminated text that may be shortened in place.
// count is not used: the text ends at its first NUL.
void ParseDeviceReply(char* reply, uint32_t count);
