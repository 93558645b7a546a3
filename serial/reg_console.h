#pragma once
// The register console: Reg: field, Read, Write, ClearScr and the line polling timer.
#include <cstdint>

#include "platform/types.h"

constexpr unsigned REG_POLL_TIMER_ID = 2;

void button_Reg_Read_process(platform::Wnd wnd, uint32_t wParam, platform::Wnd lParam);
void button_Reg_Write_process(platform::Wnd wnd, uint32_t wParam, platform::Wnd lParam);
void button_ClearScr_process(platform::Wnd wnd, uint32_t wParam, platform::Wnd lParam);
void RegLinePollTimerProc(platform::Wnd wnd);
// Enter in the Reg: field: the field's text is read as a line ended by CR, exactly as the
// polling timer reads a line that holds its line break.
void RegLineEnter(platform::Wnd wnd);
