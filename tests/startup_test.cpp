#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <unistd.h>
#include <vector>

#include "app/com_page.h"
#include "app/main_window.h"
#include "app/settings.h"
#include "app/startup.h"
#include "generator/autoread.h"
#include "platform/env.h"
#include "serial/com_log.h"
#include "serial/port.h"
#include "serial/reg_console.h"
#include "tests/fakes/test_env.h"

namespace {

using platform::Wnd;

struct Event {
    std::string what;
    std::size_t controls;  // controls created so far (besides main window and page)
    std::size_t console;   // console bytes so far
};

// Records the start-up steps that leave no trace of their moment in the plain fake.
class RecordingUi : public fakes::FakeUi {
  public:
    explicit RecordingUi(const fakes::FakeConsole& con) : con_(con) {}
    void SetFocusTo(Wnd w) override {
        FakeUi::SetFocusTo(w);
        Note("focus");
    }
    void AttachRouter(Wnd page) override {
        FakeUi::AttachRouter(page);
        Note("router");
    }
    void StartTimer(Wnd w, unsigned id, unsigned ms, platform::TimerProc proc) override {
        FakeUi::StartTimer(w, id, ms, proc);
        Note("timer " + std::to_string(id));
    }
    void SetControlText(Wnd w, std::string_view text) override {
        FakeUi::SetControlText(w, text);
        if (w == g_com.hWndStatusLeft) Note("status");
    }
    std::vector<Event> events;

  private:
    void Note(const std::string& what) {
        events.push_back({what, order.size() - 2, con_.out.size()});
    }
    const fakes::FakeConsole& con_;
};

std::string ReadAll(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

std::string FolderLines(const std::string& cwd) {
    return "FOPEN_MAX = 20\r\nszExePath: " + cwd + "\nnew settings path:\r\n" + cwd +
           "\\Settings\nnew log path:\r\n" + cwd + "\\COMlog\nnew LUMRAXbin path:\r\n" + cwd +
           "\\LUMRAXbin\n";
}

TEST(WorkFolders, ConsoleFoldersAndPaths) {
    const std::string p250(250, 'p');
    const std::string p259(259, 'q');
    const std::string p260(260, 'r');
    struct Case {
        const char* name;
        bool cwd_ok;
        std::string cwd;
        bool exist;
        std::string console;
        std::vector<std::string> created;
        std::string exe, settings, log, bin;
    };
    const Case cases[] = {
        {"created",
         true,
         "C:\\work",
         false,
         FolderLines("C:\\work"),
         {"C:\\work\\Settings", "C:\\work\\COMlog", "C:\\work\\LUMRAXbin"},
         "C:\\work",
         "C:\\work\\Settings",
         "C:\\work\\COMlog",
         "C:\\work\\LUMRAXbin"},
        {"existing",
         true,
         "C:\\work",
         true,
         "FOPEN_MAX = 20\r\nszExePath: C:\\work\n"
         "Settings dir creation error - dir might already exist!\r\nC:\\work\\Settings\r\n"
         "COMlog dir creation error!\r\nC:\\work\\COMlog\r\n"
         "LUMRAXbin dir creation error!\r\nC:\\work\\LUMRAXbin\r\n",
         {"C:\\work\\Settings", "C:\\work\\COMlog", "C:\\work\\LUMRAXbin"},
         "C:\\work",
         "C:\\work\\Settings",
         "C:\\work\\COMlog",
         "C:\\work\\LUMRAXbin"},
        {"no current directory",
         false,
         "",
         false,
         "FOPEN_MAX = 20\r\nPath Error, GetModuleFileName\r\n",
         {},
         "",
         "",
         "",
         ""},
        {"current directory of 260",
         true,
         p260,
         false,
         "FOPEN_MAX = 20\r\nPath Error, current directory longer than 259 characters:\r\n" + p260 +
             "\r\n",
         {},
         "",
         "",
         "",
         ""},
        {"current directory of 259",
         true,
         p259,
         false,
         "FOPEN_MAX = 20\r\nszExePath: " + p259 +
             "\nSettings dir path too long (more than 259 characters) - dir not created!\r\n"
             "COMlog dir path too long (more than 259 characters) - dir not created!\r\n"
             "LUMRAXbin dir path too long (more than 259 characters) - dir not created!\r\n",
         {},
         p259,
         "",
         "",
         ""},
        {"only the longest folder name too long",
         true,
         p250,
         false,
         "FOPEN_MAX = 20\r\nszExePath: " + p250 + "\nnew settings path:\r\n" + p250 +
             "\\Settings\nnew log path:\r\n" + p250 +
             "\\COMlog\nLUMRAXbin dir path too long (more than 259 characters) - dir not "
             "created!\r\n",
         {p250 + "\\Settings", p250 + "\\COMlog"},
         p250,
         p250 + "\\Settings",
         p250 + "\\COMlog",
         ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fakes::FakeUi ui;
        fakes::FakeSerial serial;
        fakes::FakeSystem system;
        fakes::FakeConsole console;
        platform::SetEnv(platform::Env{&ui, &serial, &system, &console});
        fakes::ResetCoreState();
        system.cwd = c.cwd;
        system.cwd_ok = c.cwd_ok;
        if (c.exist) system.existing = {c.created.begin(), c.created.end()};
        // Left over from an earlier run: must not survive a failure.
        std::strcpy(g_app.szExePath, "old");
        std::strcpy(g_app.szSettingsPath, "old");
        std::strcpy(g_app.szLogPath, "old");
        std::strcpy(g_app.szBinPath, "old");

        CreateWorkFolders();

        EXPECT_EQ(console.out, c.console);
        EXPECT_EQ(system.created, c.created);
        EXPECT_EQ(g_app.szExePath, c.exe);
        EXPECT_EQ(g_app.szSettingsPath, c.settings);
        EXPECT_EQ(g_app.szLogPath, c.log);
        EXPECT_EQ(g_app.szBinPath, c.bin);
        fakes::ResetCoreState();
        platform::SetEnv(platform::Env{});
    }
}

TEST(Banner, ThreeLinesWithVersionAndBuildTime) {
    g_app.Reset();
    std::memset(g_app.szBanner, 'x', sizeof g_app.szBanner);
    FormatBanner();
    const std::string banner(g_app.szBanner);
    ASSERT_LT(banner.size(), sizeof g_app.szBanner);

    const std::size_t a = banner.find('\n');
    ASSERT_NE(a, std::string::npos);
    const std::size_t b = banner.find('\n', a + 1);
    ASSERT_NE(b, std::string::npos);
    EXPECT_EQ(banner.find('\n', b + 1), std::string::npos);
    EXPECT_EQ(banner.find('\r'), std::string::npos);
    const std::string line1 = banner.substr(0, a);
    const std::string line2 = banner.substr(a + 1, b - a - 1);
    const std::string line3 = banner.substr(b + 1);

    EXPECT_EQ(line1.rfind("LUM_RAX_COM", 0), 0u) << line1;
    // "Nov 19 2018" and "13:21:13" as the compiler gives them.
    char month[4] = {};
    int day = 0, year = 0, hour = 0, minute = 0, second = 0;
    char extra = 0;
    EXPECT_EQ(line2.size(), std::strlen("V0.34, build: Nov 19 2018, 13:21:13")) << line2;
    EXPECT_EQ(std::sscanf(line2.c_str(), "V0.34, build: %3s %d %d, %d:%d:%d%c", month, &day, &year,
                          &hour, &minute, &second, &extra),
              6)
        << line2;
    const std::size_t month_at = std::string("JanFebMarAprMayJunJulAugSepOctNovDec").find(month);
    EXPECT_TRUE(month_at != std::string::npos && month_at % 3 == 0) << month;
    EXPECT_TRUE(day >= 1 && day <= 31 && year >= 2024 && hour <= 23 && minute <= 59 && second <= 60)
        << line2;
    EXPECT_EQ(line3, " - internal use only! -");
    g_app.Reset();
}

// The current directory is a real temporary directory, so the settings file really exists.
class StartupTest : public fakes::CoreTest {
  protected:
    void SetUp() override {
        CoreTest::SetUp();
        platform::SetEnv(platform::Env{&rui, &serial, &system, &console});
        std::string templ = ::testing::TempDir() + "lrx_startup_XXXXXX";
        ASSERT_NE(mkdtemp(templ.data()), nullptr);
        dir_ = templ;
        system.cwd = dir_ + "/";
        settings_file_ = system.cwd + "\\Settings\\Lum_Rax.setup";
        main_ = rui.NewWindow("main");
        page_ = rui.NewWindow("page");
        g_main.hWndMain = main_;
        g_main.hWndTabCOM = page_;
        g_main.hWndCurrentPage = page_;
    }
    void TearDown() override {
        std::remove(settings_file_.c_str());
        rmdir(dir_.c_str());
        CoreTest::TearDown();
    }

    std::string SettingsLoadLines() {
        return "load settings from file...\n" + settings_file_ +
               "\nno settings file found - will be created when application closes\n";
    }
    std::string SettingsSaveLines(const char* port, const char* baud) {
        return std::string("save settings to file... \nsettings file created / overwritten:\n") +
               settings_file_ + "\n" + port + "\n" + baud + "\n";
    }

    RecordingUi rui{console};
    std::string dir_;
    std::string settings_file_;
    Wnd main_ = nullptr;
    Wnd page_ = nullptr;
};

TEST_F(StartupTest, StepsRunInOrder) {
    AppStartup(main_, page_);

    const std::string before_controls = "\n\n" + FolderLines(system.cwd) + SettingsLoadLines();
    const std::string banner(g_app.szBanner);
    ASSERT_FALSE(banner.empty());
    EXPECT_EQ(console.out, before_controls + banner + "\r\n");

    ASSERT_EQ(rui.events.size(), 5u);
    const char* const steps[] = {"focus", "router", "timer 2", "timer 3", "status"};
    for (std::size_t i = 0; i < 5; ++i) EXPECT_EQ(rui.events[i].what, steps[i]);
    // Focus and router come when the communication controls, and only they, exist.
    EXPECT_EQ(rui.events[0].controls, 24u);
    EXPECT_EQ(rui.events[1].controls, 24u);
    EXPECT_EQ(rui.events[1].console, before_controls.size());
    EXPECT_EQ(rui.events[3].console, before_controls.size());
    EXPECT_EQ(rui.focus, g_com.hWndComSelect);
    EXPECT_EQ(rui.router_page, page_);

    ASSERT_TRUE(rui.TimerRunning(REG_POLL_TIMER_ID));
    EXPECT_EQ(rui.timers[REG_POLL_TIMER_ID].wnd, main_);
    EXPECT_EQ(rui.timers[REG_POLL_TIMER_ID].interval_ms, 20u);
    EXPECT_EQ(rui.timers[REG_POLL_TIMER_ID].proc, &RegLinePollTimerProc);
    ASSERT_TRUE(rui.TimerRunning(AUTOREAD_TIMER_ID));
    EXPECT_EQ(rui.timers[AUTOREAD_TIMER_ID].wnd, main_);
    EXPECT_EQ(rui.timers[AUTOREAD_TIMER_ID].interval_ms, 25u);
    EXPECT_EQ(rui.timers[AUTOREAD_TIMER_ID].proc, &AutoReadTimerProc);
    EXPECT_FALSE(rui.TimerRunning(RECEIVE_TIMER_ID));

    EXPECT_EQ(rui.Text(g_com.hWndStatusLeft), banner);
    EXPECT_EQ(rui.Text(g_com.hWndStatusRight), "...");
    for (std::size_t i = 2; i < rui.order.size(); ++i) {
        EXPECT_EQ(rui.controls[rui.order[i]].parent, page_);
    }
}

TEST_F(StartupTest, SettingsAreLoadedBeforeThePortIsPreselected) {
    {
        std::ofstream f(settings_file_, std::ios::binary);
        f << "COM3\nbaudrate 115200\n";
    }
    AppStartup(main_, page_);
    EXPECT_EQ(g_port.com_port_number, 3);
    EXPECT_EQ(g_port.com_baudrate, 115200);
    EXPECT_EQ(rui.controls[g_com.hWndComSelect].selection, 2);
    EXPECT_EQ(rui.controls[g_com.hWndBaudSelect].selection, 8);
}

TEST_F(StartupTest, ShutdownRunsOnceOnly) {
    AppStartup(main_, page_);
    console.out.clear();
    rui.timer_log.clear();

    AppShutdown(main_);

    EXPECT_EQ(console.out, SettingsSaveLines("COM15", "38400"));
    EXPECT_TRUE(console.released);
    EXPECT_EQ(rui.timer_log, (std::vector<std::string>{"stop 2", "stop 3"}));
    EXPECT_FALSE(rui.TimerRunning(REG_POLL_TIMER_ID));
    EXPECT_FALSE(rui.TimerRunning(AUTOREAD_TIMER_ID));
    EXPECT_EQ(ReadAll(settings_file_), "COM15\nbaudrate 38400\n");
    ASSERT_GE(rui.fonts.size(), 3u);
    EXPECT_FALSE(rui.fonts[0].deleted);
    EXPECT_FALSE(rui.fonts[1].deleted);
    EXPECT_TRUE(rui.fonts[2].deleted);
    EXPECT_EQ(rui.deleted_fonts.size(), 1u);

    // A second request (the window's destruction after File -> Exit) changes nothing.
    g_port.com_port_number = 4;
    AppShutdown(main_);
    EXPECT_EQ(rui.timer_log.size(), 2u);
    EXPECT_EQ(rui.deleted_fonts.size(), 1u);
    EXPECT_EQ(ReadAll(settings_file_), "COM15\nbaudrate 38400\n");
}

TEST_F(StartupTest, OpenPortIsClosedOnce) {
    AppStartup(main_, page_);
    g_port.port_handle = serial.Open("\\\\.\\COM15", 38400);
    g_port.com_port_open = 1;
    rui.StartTimer(page_, RECEIVE_TIMER_ID, 10, nullptr);
    console.out.clear();

    AppShutdown(main_);
    AppShutdown(main_);

    EXPECT_EQ(console.out, SettingsSaveLines("COM15", "38400") + "Closing com port\n");
    EXPECT_EQ(serial.closes, 1);
    EXPECT_EQ(g_port.port_handle, nullptr);
    EXPECT_FALSE(rui.TimerRunning(RECEIVE_TIMER_ID));
}

TEST_F(StartupTest, ShutdownClosesTheLog) {
    AppStartup(main_, page_);
    const std::string log_path = dir_ + "/log.txt";
    g_log.pCOMLogFile = std::fopen(log_path.c_str(), "wb");
    ASSERT_NE(g_log.pCOMLogFile, nullptr);
    g_log.com_log_active = 1;
    std::fputs("kept", g_log.pCOMLogFile);  // buffered until the file is closed

    AppShutdown(main_);

    EXPECT_EQ(g_log.pCOMLogFile, nullptr);
    EXPECT_EQ(g_log.com_log_active, 0);
    EXPECT_EQ(ReadAll(log_path), "kept");
    std::remove(log_path.c_str());
}

TEST_F(StartupTest, ExitThenDestroyEqualsDestroyAlone) {
    AppStartup(main_, page_);
    console.out.clear();
    EXPECT_TRUE(MainWindowCommand(main_, IDM_EXIT));
    AppShutdown(main_);  // WM_DESTROY follows the window's destruction
    const std::string via_exit = console.out;
    EXPECT_EQ(via_exit, "IDM_EXIT\n" + SettingsSaveLines("COM15", "38400"));

    g_app.shutdown_done = false;
    console.out.clear();
    console.released = false;
    AppShutdown(main_);
    EXPECT_EQ("IDM_EXIT\n" + console.out, via_exit);
}

}  // namespace
