#pragma once
// The bootloading protocol: one decoded hex line per exchange with the device's bootloader.
#include <cstdint>

#include "platform/types.h"

struct BootState {
    uint8_t process_state_bootloader = 0;
    uint8_t bootloader_step = 0;
    uint32_t lines_sent = 0;
    uint32_t bootloader_retries = 0;
    char szProgress[32] = {};
    void Reset() { *this = BootState{}; }
};
extern BootState g_boot;

// 'c' replies a transfer may get before it is given up.
constexpr uint32_t kBootMaxRetries = 8;

// Called by the receive pump at the end of every tick while the port is open. reply_complete
// is 1 on the tick a reply ended; count then covers the reply and its terminating zero.
void BootloaderStep(platform::Wnd wnd, uint8_t reply_complete, uint32_t count,
                    const uint8_t* reply);
// Ends a running transfer as a time-out would: the device can no longer be heard.
void BootloaderPortLost(platform::Wnd wnd);
