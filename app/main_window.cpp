#include "app/main_window.h"

const char* const kHelpText = "";
MainWindowState g_main;

bool MainWindowCommand(platform::Wnd, uint16_t) { return false; }
bool PageCommand(platform::Wnd, uint32_t, platform::Wnd) { return false; }
