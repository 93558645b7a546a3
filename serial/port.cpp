#include "serial/port.h"

const int32_t baudrate_table[kBaudRows] = {1200, 2400, 4800, 9600, 14400, 19200, 38400, 57600, 115200};
const uint32_t com_timeout_table[kBaudRows] = {50, 30, 20, 15, 10, 10, 10, 10, 10};
PortState g_port;

void OpenComPort(platform::Wnd) {}
void CloseComPort(platform::Wnd) {}
void button_COM_StartStop_process(platform::Wnd, uint32_t, platform::Wnd) {}
void ComSelect_process(uint32_t, platform::Wnd) {}
void BaudSelect_process(uint32_t, platform::Wnd) {}
void ClearReadouts() {}
void PortWriteText(const char*) {}
