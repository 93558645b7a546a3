#include "serial/receive_pump.h"

RxState g_rx;

void ReceiveTimerProc(platform::Wnd) {}
