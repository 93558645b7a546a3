#pragma once
// Start-up after the main window exists, working folders, banner and shutdown.
#include "page/page.h"

struct AppState {
    char szAppTitle[100] = {};
    char szAppClass[100] = {};
    char szBanner[512] = {};
    bool shutdown_done = false;
    void Reset() { *this = AppState{}; }
};
extern AppState g_app;

void CreateWorkFolders();
void FormatBanner();
// Start-up steps from the two empty lines to the banner; main is the main window,
// page the tab page that holds every control.
void AppStartup(platform::Wnd main, platform::Wnd page);
// Runs once per process; later calls do nothing.
void AppShutdown(platform::Wnd main);
