#include "generator/autoread.h"

AutoReadState g_autoread;

void AutoReadTimerProc(platform::Wnd) {}
