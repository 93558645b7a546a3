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

bool SearchKnownString(const char* text, const char* key, uint32_t length, uint32_t n,
                       uint32_t* position);
void ParseDeviceReply(char* reply, uint32_t count);
