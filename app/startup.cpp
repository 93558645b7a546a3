#include "app/startup.h"

AppState g_app;

void CreateWorkFolders() {}
void FormatBanner() {}
void AppStartup(platform::Wnd, platform::Wnd) {}
void AppShutdown(platform::Wnd) {}
