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
#include "app/startup.h"
#include "generator/autoread.h"
#include "platform/env.h"
#include "platform/text_format.h"
#include "serial/com_log.h"
#include "serial/port.h"
#include "serial/reg_console.h"
#include "tests/fakes/test_env.h"

namespace {

using platform::Wnd;

std::string ReadAll(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

class WorkFolders : public fakes::CoreTest {};

TEST_F(WorkFolders, ConsoleFoldersAndPaths) {
    const std::string p250(250, 'p'), p259(259, 'q'), p260(260, 'r'), w = "C:\\work";
    const std::string head = "FOPEN_MAX = 20\r\n", exe = head + "szExePath: ";
    const std::string long_ =
        " dir path too long (more than 259 characters) - dir not created!\r\n";
    const auto made = [](const std::string& cwd, bool bin) {
        return "new settings path:\r\n" + cwd + "\\Settings\nnew log path:\r\n" + cwd +
               "\\COMlog\n" + (bin ? "new LUMRAXbin path:\r\n" + cwd + "\\LUMRAXbin\n" : "");
    };
    struct Case {
        const char* name;
        bool cwd_ok, exist;
        std::string cwd, exe;
        std::size_t made;  // folders whose path fits, in table order
        std::string console;
    };
    const Case cases[] = {
        {"created", true, false, w, w, 3, exe + w + "\n" + made(w, true)},
        {"existing", true, true, w, w, 3,
         exe + w +
             "\nSettings dir creation error - dir might already exist!\r\nC:\\work\\Settings"
             "\r\nCOMlog dir creation error!\r\nC:\\work\\COMlog\r\n"
             "LUMRAXbin dir creation error!\r\nC:\\work\\LUMRAXbin\r\n"},
        {"no current directory", false, false, "", "", 0,
         head + "Path Error, GetModuleFileName\r\n"},
        {"current directory of 260", true, false, p260, "", 0,
         head + "Path Error, current directory longer than 259 characters:\r\n" + p260 + "\r\n"},
        {"current directory of 259", true, false, p259, p259, 0,
         exe + p259 + "\nSettings" + long_ + "COMlog" + long_ + "LUMRAXbin" + long_},
        {"only the longest folder name too long", true, false, p250, p250, 2,
         exe + p250 + "\n" + made(p250, false) + "LUMRAXbin" + long_},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fakes::ResetCoreState();
        system = fakes::FakeSystem{};
        console.out.clear();
        system.cwd = c.cwd;
        system.cwd_ok = c.cwd_ok;
        std::vector<std::string> paths = {c.exe + "\\Settings", c.exe + "\\COMlog",
                                          c.exe + "\\LUMRAXbin"};
        paths.resize(c.made);
        if (c.exist) system.existing = {paths.begin(), paths.end()};
        char* const fields[] = {g_folders.szSettingsPath, g_folders.szLogPath, g_folders.szBinPath,
                                g_folders.szExePath};
        for (char* f : fields) std::strcpy(f, "old");  // must not survive a failure

        CreateWorkFolders();

        EXPECT_EQ(console.out, c.console);
        EXPECT_EQ(system.created, paths);
        paths.resize(3);
        paths.push_back(c.exe);
        for (std::size_t i = 0; i < 4; ++i) EXPECT_EQ(fields[i], paths[i]) << i;
    }
}

TEST(Banner, ThreeLinesWithVersionAndBuildTime) {
    g_app.Reset();
    std::memset(g_app.szBanner, 'x', sizeof g_app.szBanner);
    FormatBanner();
    ASSERT_NE(std::memchr(g_app.szBanner, '\0', sizeof g_app.szBanner), nullptr);
    const std::string banner(g_app.szBanner);
    EXPECT_EQ(banner.rfind("LUM_RAX_COM", 0), 0u);
    // Line 2 as "V0.34, build: Nov 19 2018, 13:21:13", from a build of this decade.
    const std::string rest = banner.substr(banner.find('\n') + 1);
    EXPECT_EQ(rest.substr(35), "\n - internal use only! -");
    char month[4] = {}, comma = 0;
    int day = 0, year = 0, hour = 0, minute = 0, second = 0;
    EXPECT_EQ(std::sscanf(rest.substr(0, 35).c_str(), "V0.34, build: %3s %2d %4d%c %2d:%2d:%2d",
                          month, &day, &year, &comma, &hour, &minute, &second),
              7);
    EXPECT_TRUE(comma == ',' && year >= 2024 && banner.find('\r') == std::string::npos) << banner;
    g_app.Reset();
}

class FormatTest : public fakes::CoreTest {};

TEST_F(FormatTest, BoundedFormatRefusesTextThatDoesNotFitAndConsoleTakesBytesVerbatim) {
    char buf[8];
    EXPECT_TRUE(FormatBounded(buf, 7, "cr %s\r", "Wo"));
    EXPECT_STREQ(buf, "cr Wo\r");
    EXPECT_FALSE(FormatBounded(buf, 6, "cr %s\r", "Wo"));  // no room for the NUL
    EXPECT_STREQ(buf, "");

    ConPrintf("A %d\r\n", 5);
    ConWrite(std::string_view("%s\n\0x", 5));
    EXPECT_EQ(console.out, std::string("A 5\r\n%s\n\0x", 10));
}

// Notes when focus, router and timers come: controls made so far (besides main window and page) and
// console bytes so far.
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
    void Note(const std::string& what) {
        events.push_back(what + " " + std::to_string(order.size() - 2) + " " +
                         std::to_string(con_.out.size()));
    }
    std::vector<std::string> events;
    const fakes::FakeConsole& con_;
};

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
        g_main.hWndMain = main_ = rui.NewWindow("main");
        g_main.hWndTabCOM = g_main.hWndCurrentPage = page_ = rui.NewWindow("page");
    }
    void TearDown() override {
        std::remove(settings_file_.c_str());
        rmdir(dir_.c_str());
        CoreTest::TearDown();
    }
    std::string SaveLines(const std::string& port, const std::string& baud) {
        return "save settings to file... \nsettings file created / overwritten:\n" +
               settings_file_ + "\n" + port + "\n" + baud + "\n";
    }

    RecordingUi rui{console};
    std::string dir_, settings_file_;
    Wnd main_ = nullptr, page_ = nullptr;
};

TEST_F(StartupTest, StepsRunInOrder) {
    AppStartup(main_, page_);

    const std::string& cwd = system.cwd;
    const std::string before_controls =
        "\n\nFOPEN_MAX = 20\r\nszExePath: " + cwd + "\nnew settings path:\r\n" + cwd +
        "\\Settings\nnew log path:\r\n" + cwd + "\\COMlog\nnew LUMRAXbin path:\r\n" + cwd +
        "\\LUMRAXbin\nload settings from file...\n" + settings_file_ +
        "\nno settings file found - will be created when application closes\n";
    EXPECT_EQ(console.out, before_controls + g_app.szBanner + "\r\n");
    // Router in place with the communication controls only; timers after the generator page;
    // banner after the timers.
    const std::size_t all = rui.order.size() - 2;
    ASSERT_GT(all, 24u);
    const std::string n = " " + std::to_string(before_controls.size());
    const std::string g = " " + std::to_string(all) + n;
    EXPECT_EQ(rui.events, (std::vector<std::string>{"focus 24" + n, "router 24" + n, "timer 2" + g,
                                                    "timer 3" + g}));
    EXPECT_EQ(rui.focus, g_com.hWndComSelect);
    EXPECT_EQ(rui.router_page, page_);
    ASSERT_EQ(rui.timers.size(), 2u);
    for (const unsigned id : {REG_POLL_TIMER_ID, AUTOREAD_TIMER_ID}) {
        EXPECT_EQ(rui.timers[id].wnd, main_);
        EXPECT_EQ(rui.timers[id].interval_ms, id == REG_POLL_TIMER_ID ? 20u : 25u);
        EXPECT_EQ(rui.timers[id].proc,
                  id == REG_POLL_TIMER_ID ? &RegLinePollTimerProc : &AutoReadTimerProc);
    }
    EXPECT_EQ(rui.Text(g_com.hWndStatusLeft), g_app.szBanner);
    EXPECT_EQ(rui.Text(g_com.hWndStatusRight), "...");

    console.out.clear();
    AppShutdown(main_);
    EXPECT_EQ(console.out, SaveLines("COM15", "38400"));  // no port to close
}

// Settings in, File -> Exit, then the window's destruction: one shutdown, one port close.
TEST_F(StartupTest, SettingsRoundTripAndOneShutdown) {
    std::ofstream(settings_file_, std::ios::binary) << "COM3\nbaudrate 115200\n";
    AppStartup(main_, page_);
    EXPECT_EQ(g_port.com_port_number, 3);
    EXPECT_EQ(g_port.com_baudrate, 115200);
    EXPECT_EQ(rui.controls[g_com.hWndComSelect].selection, 2);
    EXPECT_EQ(rui.controls[g_com.hWndBaudSelect].selection, 8);

    g_port.port_handle = serial.Open("\\\\.\\COM3");
    g_port.com_port_open = 1;
    rui.StartTimer(page_, RECEIVE_TIMER_ID, 10, nullptr);
    const std::string log_path = dir_ + "/log.txt";
    g_log.pCOMLogFile = std::fopen(log_path.c_str(), "wb");
    ASSERT_NE(g_log.pCOMLogFile, nullptr);
    g_log.com_log_active = 1;
    std::fputs("kept", g_log.pCOMLogFile);  // buffered until the file is closed
    console.out.clear();
    rui.timer_log.clear();

    EXPECT_TRUE(MainWindowCommand(main_, IDM_EXIT));
    g_port.com_port_number = 4;
    AppShutdown(main_);

    EXPECT_EQ(console.out, "IDM_EXIT\n" + SaveLines("COM3", "115200") + "Closing com port\n");
    EXPECT_TRUE(console.released);
    EXPECT_EQ(ReadAll(settings_file_), "COM3\nbaudrate 115200\n");
    EXPECT_EQ(rui.timer_log, (std::vector<std::string>{"stop 2", "stop 3", "stop 1"}));
    EXPECT_EQ(serial.closes, 1);
    EXPECT_EQ(g_port.port_handle, nullptr);
    EXPECT_EQ(g_log.pCOMLogFile, nullptr);
    EXPECT_EQ(ReadAll(log_path), "kept");
    std::remove(log_path.c_str());
    // The console font, made third, is the only one to go.
    EXPECT_EQ(rui.deleted_fonts, std::vector<platform::Font>{fakes::FakeUi::FontHandle(3)});
}

}  // namespace
