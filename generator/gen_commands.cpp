#include "generator/gen_commands.h"

void button_Pwm_OnOff_process(Wnd, uint32_t, Wnd) {}
void button_PwmSet_read(Wnd, uint32_t, Wnd) {}
void button_Pwm_Step_process(Wnd, uint32_t, Wnd) {}
void button_Pwm_FreqLim_Rd_process(Wnd, uint32_t, Wnd) {}
void button_Pwm_FreqLim_Wr_process(Wnd, uint32_t, Wnd, int) {}
void button_Measure_Read_process(Wnd, uint32_t, Wnd) {}
void button_AutoRead_process(Wnd, uint32_t, Wnd) {}
void button_Pwm_Vlim_Read_process(Wnd, uint32_t, Wnd) {}
void button_Pwm_Vlim_Write_process(Wnd, uint32_t, Wnd) {}
void button_PwmCtl_OnOff_process(Wnd, uint32_t, Wnd) {}
void button_Pwm_Srch_now(Wnd, uint32_t, Wnd) {}
void Pwm_Srch_always(Wnd, uint32_t, Wnd) {}
void button_sys_eep_wr_en_process(Wnd, uint32_t, Wnd) {}
void button_PwmSet_save(Wnd, uint32_t, Wnd) {}
void button_Eep_Recall_Defaults(Wnd, uint32_t, Wnd) {}
void button_PwmOfflEdit_En(Wnd, uint32_t, Wnd) {}
void button_TempThresh_Rd(Wnd, uint32_t, Wnd) {}
void button_TempThresh_Wr(Wnd, uint32_t, Wnd) {}
