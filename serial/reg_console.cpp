#include "serial/reg_console.h"

void button_Reg_Read_process(platform::Wnd, uint32_t, platform::Wnd) {}
void button_Reg_Write_process(platform::Wnd, uint32_t, platform::Wnd) {}
void button_ClearScr_process(platform::Wnd, uint32_t, platform::Wnd) {}
void RegLinePollTimerProc(platform::Wnd) {}
