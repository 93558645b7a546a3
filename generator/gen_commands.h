#pragma once
// Handlers of the generator page's buttons.
#include <cstdint>

#include "platform/types.h"

using platform::Wnd;

void button_Pwm_OnOff_process(Wnd wnd, uint32_t wParam, Wnd lParam);
void button_PwmSet_read(Wnd wnd, uint32_t wParam, Wnd lParam);
void button_Pwm_Step_process(Wnd wnd, uint32_t wParam, Wnd lParam);
void button_Pwm_FreqLim_Rd_process(Wnd wnd, uint32_t wParam, Wnd lParam);
void button_Pwm_FreqLim_Wr_process(Wnd wnd, uint32_t wParam, Wnd lParam, int selector);
void button_Measure_Read_process(Wnd wnd, uint32_t wParam, Wnd lParam);
void button_AutoRead_process(Wnd wnd, uint32_t wParam, Wnd lParam);
void button_Pwm_Vlim_Read_process(Wnd wnd, uint32_t wParam, Wnd lParam);
void button_Pwm_Vlim_Write_process(Wnd wnd, uint32_t wParam, Wnd lParam);
void button_PwmCtl_OnOff_process(Wnd wnd, uint32_t wParam, Wnd lParam);
void button_Pwm_Srch_now(Wnd wnd, uint32_t wParam, Wnd lParam);
void Pwm_Srch_always(Wnd wnd, uint32_t wParam, Wnd lParam);
void button_sys_eep_wr_en_process(Wnd wnd, uint32_t wParam, Wnd lParam);
void button_PwmSet_save(Wnd wnd, uint32_t wParam, Wnd lParam);
void button_Eep_Recall_Defaults(Wnd wnd, uint32_t wParam, Wnd lParam);
void button_PwmOfflEdit_En(Wnd wnd, uint32_t wParam, Wnd lParam);
void button_TempThresh_Rd(Wnd wnd, uint32_t wParam, Wnd lParam);
void button_TempThresh_Wr(Wnd wnd, uint32_t wParam, Wnd lParam);
