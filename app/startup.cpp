#include "app/startup.h"

#include <cstring>
#include <string>

#include "app/com_page.h"
#include "app/main_window.h"
#include "app/settings.h"
#include "device/wiring.h"
#include "generator/autoread.h"
#include "generator/gen_page.h"
#include "platform/env.h"
#include "platform/text_format.h"
#include "platform/version.h"
#include "serial/com_log.h"
#include "serial/port.h"
#include "serial/reg_console.h"
#include "serial/link_controls.h"
#include "platform/work_folders.h"

AppState g_app;

namespace {

struct WorkFolder {
    char (WorkFolders::*path)[kPathSize];
    const char* name;
    const char* created_heading;
    const char* failed_line;
};

const WorkFolder kWorkFolders[] = {
    {&WorkFolders::szSettingsPath, "Settings", "new settings path:\r\n",
     "Settings dir creation error - dir might already exist!\r\n"},
    {&WorkFolders::szLogPath, "COMlog", "new log path:\r\n", "COMlog dir creation error!\r\n"},
    {&WorkFolders::szBinPath, "LUMRAXbin", "new LUMRAXbin path:\r\n",
     "LUMRAXbin dir creation error!\r\n"},
};

void MakeWorkFolder(const WorkFolder& folder) {
    char* path = g_folders.*folder.path;
    if (!FormatBounded(path, kPathSize, "%s\\%s", g_folders.szExePath, folder.name)) {
        // The path stays empty, exactly as when the current directory is unknown.
        ConPrintf("%s dir path too long (more than %d characters) - dir not created!\r\n",
                  folder.name, kPathSize - 1);
        return;
    }
    if (platform::Sys().CreateFolder(path)) {
        ConPrintf("%s%s\n", folder.created_heading, path);
    } else {
        ConPrintf("%s%s\r\n", folder.failed_line, path);
    }
}

}  // namespace

void CreateWorkFolders() {
    g_folders.Reset();

    ConPrintf("FOPEN_MAX = %d\r\n", 20);
    std::string cwd;
    if (!platform::Sys().CurrentDirectory(cwd)) {
        ConPrintf("Path Error, GetModuleFileName\r\n");
        return;
    }
    if (cwd.size() >= sizeof g_folders.szExePath) {
        // Cutting it would put the folders somewhere else; better to have none.
        ConPrintf("Path Error, current directory longer than %d characters:\r\n", kPathSize - 1);
        ConWrite(cwd);
        ConPrintf("\r\n");
        return;
    }
    std::memcpy(g_folders.szExePath, cwd.data(), cwd.size());
    ConPrintf("szExePath: %s\n", g_folders.szExePath);

    for (const WorkFolder& folder : kWorkFolders) MakeWorkFolder(folder);
}

void FormatBanner() {
    FormatBounded(g_app.szBanner, sizeof g_app.szBanner,
                  "LUM_RAX_COM - service tool for Lum_Rax generators\n%s, build: %s, %s\n"
                  " - internal use only! -",
                  AppVersion(), __DATE__, __TIME__);
}

void AppStartup(platform::Wnd main, platform::Wnd page) {
    platform::Ui& ui = platform::UI();
    WireDevice();
    ConPrintf("\n\n");
    CreateWorkFolders();
    // The port and baud rate preselection below depends on the loaded settings.
    LoadSettings();
    CreateComPageControls(page);
    ui.SetFocusTo(g_link_ui.hWndComSelect);
    // In place before the generator controls exist, so none of their commands can miss it.
    ui.AttachRouter(page);
    CreateGeneratorPage(page);
    ui.StartTimer(main, REG_POLL_TIMER_ID, 20, RegLinePollTimerProc);
    ui.StartTimer(main, AUTOREAD_TIMER_ID, 25, AutoReadTimerProc);
    FormatBanner();
    ConPrintf("%s\r\n", g_app.szBanner);
    ui.SetControlText(g_com.hWndStatusLeft, g_app.szBanner);
}

void AppShutdown(platform::Wnd main) {
    // File -> Exit and the destruction of the window both end up here.
    if (g_app.shutdown_done) return;
    g_app.shutdown_done = true;

    platform::Ui& ui = platform::UI();
    ui.StopTimer(main, REG_POLL_TIMER_ID);
    ui.StopTimer(main, AUTOREAD_TIMER_ID);
    StopReconnectWatch();
    SaveSettings();
    // The receive timer runs on the page, where COM Start started it.
    if (g_port.port_handle != nullptr) CloseComPort(g_main.hWndTabCOM);
    ComLogClose();
    if (platform::Console* console = platform::GetEnv().console) console->Release();
    if (g_com.hFontConsole != nullptr) {
        ui.DeleteFont(g_com.hFontConsole);
        g_com.hFontConsole = nullptr;
    }
}
