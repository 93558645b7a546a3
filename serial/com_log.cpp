#include "serial/com_log.h"

ComLogState g_log;

void button_LOG_StartStop_process(platform::Wnd, uint32_t, platform::Wnd) {}
void ComLogWrite(const void*, std::size_t) {}
void ComLogText(std::string_view) {}
void ComLogPrintf(const char*, ...) {}
void ComLogClose() {}
