#pragma once
// The 10 ms receive pump: reply framing, flash stream collection, bootloader replies.
#include <cstdint>
#include <cstring>

#include "platform/types.h"

constexpr uint32_t kRxMessageSize = 32768;
constexpr uint32_t kRxReadSize = 32766;
constexpr uint32_t kBootRxTimeoutTicks = 500;

struct RxState {
    uint8_t rx_message[kRxMessageSize];
    uint32_t rx_count;
    uint32_t rx_idle_countdown;
    uint32_t boot_rx_countdown;
    uint8_t flash_stream_mode;
    void Reset() {
        std::memset(rx_message, 0, sizeof rx_message);
        rx_count = 0;
        rx_idle_countdown = 0;
        boot_rx_countdown = kBootRxTimeoutTicks;
        flash_stream_mode = 0;
    }
};
extern RxState g_rx;

void ReceiveTimerProc(platform::Wnd wnd);
