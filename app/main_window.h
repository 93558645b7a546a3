#pragma once
// The main window's commands and the page's command router.
#include <cstdint>

#include "platform/types.h"

constexpr uint16_t IDM_HELP = 105;
constexpr uint16_t IDM_ABOUT = 106;
constexpr uint16_t IDM_OPEN = 107;
constexpr uint16_t IDM_EXIT = 108;
constexpr uint16_t IDM_RECONNECT = 109;
// Handled by the Windows shell, which owns the chart window.
constexpr uint16_t IDM_CHART = 111;

extern const char* const kHelpText;

struct MainWindowState {
    platform::Wnd hWndMain = nullptr;
    platform::Wnd hWndTab = nullptr;
    platform::Wnd hWndTabCOM = nullptr;
    platform::Wnd hWndCurrentPage = nullptr;
    void Reset() { *this = MainWindowState{}; }
};
extern MainWindowState g_main;

// A menu command of the main window. Returns false for ids it does not know
// (the caller then hands the message to the default procedure).
// For IDM_EXIT the caller destroys the window after this returns.
bool MainWindowCommand(platform::Wnd main, uint16_t id);

// Routes a WM_COMMAND of the page by control id. Returns false for ids not in the table.
bool PageCommand(platform::Wnd page, uint32_t wParam, platform::Wnd lParam);
