#pragma once
// The bootloader column's buttons and the question that stops a running transfer.
#include <cstdint>

#include "platform/types.h"

void button_BootSwitch_process(platform::Wnd wnd, uint32_t wParam, platform::Wnd lParam);
void button_FlashErase_process(platform::Wnd wnd, uint32_t wParam, platform::Wnd lParam);
void button_FileCheck_process(platform::Wnd wnd);
void button_BootGo_process(platform::Wnd wnd);
// Asked when COM Stop is pressed during a transfer; true when the port may be closed.
bool BootStopQuestion(platform::Wnd wnd);
// While a transfer runs, the lines being sent must not change: the action is refused with a
// box naming it. True when refused.
bool RefusedDuringTransfer(platform::Wnd wnd, const char* action);
