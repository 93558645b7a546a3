#pragma once
// The AutoRead sequencer (25 ms timer).
#include <cstdint>

#include "platform/types.h"

constexpr unsigned AUTOREAD_TIMER_ID = 3;

struct AutoReadState {
    uint8_t autoread_step = 0;
    uint8_t autoread_tick = 0;
    uint8_t autoread_interval = 5;
    uint8_t autoread_on = 0;
    uint8_t autoread_read_once = 0;
    void Reset() { *this = AutoReadState{}; }
};
extern AutoReadState g_autoread;

void AutoReadTimerProc(platform::Wnd wnd);
