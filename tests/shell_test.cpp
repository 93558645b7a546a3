// The application shell: working folders, start-up and shutdown, the settings file. The
// controls themselves are checked on the real page (tests/e2e/test_shell.py).
#include <unistd.h>

#include "tests/fakes/test_env.h"

namespace {

using platform::Wnd;

class ShellTest : public fakes::CoreTest {
  protected:
    // The settings folder is a real one; a settings file holds content unless it is null.
    void Fresh(const std::string& folder, const std::string* content = nullptr) {
        fakes::ResetCoreState();
        console.out.clear();
        std::snprintf(g_folders.szSettingsPath, sizeof g_folders.szSettingsPath, "%s",
                      folder.c_str());
        // On this host the backslash of "%s\%s" is an ordinary character of the file name.
        file = folder + "\\Lum_Rax.setup";
        std::remove(file.c_str());
        if (content != nullptr) dir.Write(file.substr(dir.path().size() + 1), *content);
    }
    std::string SaveLines(const std::string& port, const std::string& baud) {
        return "save settings to file... \nsettings file created / overwritten:\n" + file + "\n" +
               port + "\n" + baud + "\n";
    }

    fakes::ScratchDir dir;
    std::string file;
};

// Made, or there already: the e2e run shows both; the failures here.
TEST_F(ShellTest, WorkFoldersConsoleAndPaths) {
    const std::string p250(250, 'p'), p259(259, 'q'), p260(260, 'r');
    const std::string head = "FOPEN_MAX = 20\r\n", path = head + "szExePath: ";
    const std::string long_ =
        " dir path too long (more than 259 characters) - dir not created!\r\n";
    // Whether the folder can be told, the folder and the program's path, the folders whose
    // path fits (in order), what is said.
    const std::tuple<bool, std::string, std::string, std::size_t, std::string> cases[] = {
        {false, "", "", 0, head + "Path Error, GetModuleFileName\r\n"},
        {true, p260, "", 0,
         head + "Path Error, current directory longer than 259 characters:\r\n" + p260 + "\r\n"},
        {true, p259, p259, 0,
         path + p259 + "\nSettings" + long_ + "COMlog" + long_ + "LUMRAXbin" + long_},
        {true, p250, p250, 2,
         path + p250 + "\nnew settings path:\r\n" + p250 + "\\Settings\nnew log path:\r\n" + p250 +
             "\\COMlog\nLUMRAXbin" + long_},
    };
    for (const auto& [cwd_ok, cwd, exe, made, said] : cases) {
        SCOPED_TRACE(cwd.size());
        fakes::ResetCoreState();
        console.out.clear();
        system.cwd = cwd;
        system.cwd_ok = cwd_ok;
        system.created.clear();
        Strings paths = {exe + "\\Settings", exe + "\\COMlog", exe + "\\LUMRAXbin"};
        paths.resize(made);
        char* const fields[] = {g_folders.szSettingsPath, g_folders.szLogPath, g_folders.szBinPath,
                                g_folders.szExePath};
        for (char* f : fields) std::strcpy(f, "old");  // must not survive a failure

        CreateWorkFolders();

        EXPECT_EQ(console.out, said);
        EXPECT_EQ(system.created, paths);
        paths.resize(3);
        paths.push_back(exe);
        for (std::size_t i = 0; i < 4; ++i) EXPECT_EQ(fields[i], paths[i]) << i;
    }
}

// Notes when focus, router and timers come: controls made so far and console bytes so far.
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
        Note("timer " + std::to_string(id) + " " + std::to_string(ms) + " ms");
    }
    void Note(const std::string& what) {
        events.push_back(what + " after " + std::to_string(order.size() - 2) + " controls, " +
                         std::to_string(con_.out.size()) + " bytes");
    }
    Strings events;
    const fakes::FakeConsole& con_;
};

class StartupTest : public ShellTest {
  protected:
    void SetUp() override {
        ShellTest::SetUp();
        platform::SetEnv(platform::Env{&rui, &serial, &system, &console});
        system.cwd = dir.path() + "/";
        g_main.hWndMain = main = rui.NewWindow("main");
        g_main.hWndTabCOM = page = rui.NewWindow("page");
    }
    RecordingUi rui{console};
    Wnd main = nullptr;
};

TEST_F(StartupTest, StepsRunInOrder) {
    AppStartup(main, page);

    const std::string& cwd = system.cwd;
    file = cwd + "\\Settings\\Lum_Rax.setup";
    const std::string before_controls =
        "\n\nFOPEN_MAX = 20\r\nszExePath: " + cwd + "\n" + "new settings path:\r\n" + cwd +
        "\\Settings\nnew log path:\r\n" + cwd + "\\COMlog\nnew LUMRAXbin path:\r\n" + cwd +
        "\\LUMRAXbin\nload settings from file...\n" + file +
        "\nno settings file found - will be created when application closes\n";
    EXPECT_EQ(console.out, before_controls + g_app.szBanner + "\r\n");
    // The 24 communication controls, then the router; the 60 generator controls, then the
    // timers; the banner last.
    const std::string b = std::to_string(before_controls.size()) + " bytes";
    EXPECT_EQ(rui.events,
              (Strings{"focus after 24 controls, " + b, "router after 24 controls, " + b,
                       "timer 2 20 ms after 84 controls, " + b,
                       "timer 3 25 ms after 84 controls, " + b}));
    EXPECT_EQ(rui.focus, g_link_ui.hWndComSelect);
    EXPECT_EQ(rui.router_page, page);
    EXPECT_EQ(rui.timers[REG_POLL_TIMER_ID].proc, &RegLinePollTimerProc);
    EXPECT_EQ(rui.timers[AUTOREAD_TIMER_ID].proc, &AutoReadTimerProc);
    for (const auto& [id, t] : rui.timers) EXPECT_EQ(t.wnd, main) << id;
    EXPECT_EQ(rui.Text(g_com.hWndStatusLeft), g_app.szBanner);

    console.out.clear();
    AppShutdown(main);
    EXPECT_EQ(console.out, SaveLines("COM15", "38400"));  // no port to close
}

// Settings in, File -> Exit, then the window's destruction: one shutdown, one port close.
TEST_F(StartupTest, ShutdownRunsOnceAndLeavesNothingOpen) {
    file = system.cwd + "\\Settings\\Lum_Rax.setup";
    dir.Write("\\Settings\\Lum_Rax.setup", "COM3\nbaudrate 115200\n");
    AppStartup(main, page);
    g_port.port_handle = serial.Open("\\\\.\\COM3");
    g_port.com_port_open = 1;
    rui.StartTimer(page, RECEIVE_TIMER_ID, 10, nullptr);
    const std::string log_path = dir.path() + "/log.txt";
    g_log.pCOMLogFile = std::fopen(log_path.c_str(), "wb");
    ASSERT_NE(g_log.pCOMLogFile, nullptr);
    g_log.com_log_active = 1;
    std::fputs("kept", g_log.pCOMLogFile);  // buffered until the file is closed
    console.out.clear();
    rui.timer_log.clear();

    EXPECT_TRUE(MainWindowCommand(main, IDM_EXIT));
    g_port.com_port_number = 4;
    AppShutdown(main);

    EXPECT_EQ(console.out, "IDM_EXIT\n" + SaveLines("COM3", "115200") + "Closing com port\n");
    EXPECT_TRUE(console.released);
    EXPECT_EQ(fakes::ScratchDir::Read(file),
              "COM3\nbaudrate 115200\nreconnect 1\nchart 0 0 0 0 0 0\n");
    EXPECT_EQ(rui.timer_log, (Strings{"stop 2", "stop 3", "stop 1"}));
    EXPECT_EQ(serial.closes, 1);
    EXPECT_EQ(g_log.pCOMLogFile, nullptr);
    EXPECT_EQ(fakes::ScratchDir::Read(log_path), "kept");
    // The console font, made third, is the only one to go.
    EXPECT_EQ(rui.deleted_fonts, std::vector<platform::Font>{fakes::FakeUi::FontHandle(3)});
}

TEST_F(ShellTest, LoadedSettingsPreselectPortAndBaudRate) {
    const std::string folder = dir.path() + "/Settings";
    std::string long_file = "COM3\nbaudrate 115200\n";
    long_file += std::string(600 - long_file.size() - 1, 'x') + "!";
    // Whether the file exists, its content, and what is read from it.
    const std::tuple<bool, std::string, uint8_t, uint8_t, int> cases[] = {
        {false, "", 0, 15, 6},
        {true, "COM40\nbaudrate 1200\n", 1, 40, 0},
        {true, "COM1\nbaudrate 115200", 1, 1, 8},
        {true, "COM0\nbaudrate 9600\n", 0, 15, 6},
        {true, "COM41\nbaudrate 9600\n", 0, 15, 6},
        {true, "COM7\nbaudrate 100\n", 0, 15, 6},
        {true, "COM9\nbaudrate 2000\n", 1, 9, 6},  // valid, but no such row: 38400
        {true, "COM3\r\nbaudrate 57600\r\n", 1, 3, 7},
        {true, "COM4294967299\nbaudrate 9600\n", 0, 15, 6},  // 3 after wrapping past 2^32
        {true, "COM3\nbaudrate 99999999999999999999\n", 0, 15, 6},
        {true, "", 0, 15, 6},
        {true, std::string("COM3\nbaud\0rate 9600", 19), 0, 15, 6},
        {true, long_file, 1, 3, 8},
    };
    for (const auto& [exists, content, valid, port, baud_row] : cases) {
        SCOPED_TRACE(::testing::PrintToString(content.substr(0, 40)));
        Fresh(folder, exists ? &content : nullptr);

        LoadSettings();
        CreateComPageControls(page);

        EXPECT_EQ(g_settings.settings_valid, valid);
        EXPECT_EQ(g_port.com_port_number, port);
        EXPECT_EQ(g_port.com_baudrate, baudrate_table[baud_row]);
        EXPECT_EQ(g_port.COM_timeout_max, 5u);  // changes only when a baud rate is confirmed
        EXPECT_EQ(ui.controls[g_link_ui.hWndComSelect].selection, port - 1);
        EXPECT_EQ(ui.controls[g_link_ui.hWndBaudSelect].selection, baud_row);
        // The first 511 bytes are shown, and the values found.
        const std::string found = "\nfile content of: " + file + "\n" + content.substr(0, 511);
        const std::string values = "valid settings found:\nCOM" + std::to_string(port) +
                                   "\nbaudrate " + std::to_string(g_settings.settings_baudrate) +
                                   "\n";
        EXPECT_EQ(console.out,
                  "load settings from file...\n" + file + "\n" +
                      (!exists ? "no settings file found - will be created when "
                                 "application closes\n"
                               : "settings file found:\n" + file +
                                     found.substr(0, found.find('\0')) + (valid ? values : "")));
    }
}

TEST_F(ShellTest, SaveWritesExactlyTheTwoLinesOrSaysWhyNot) {
    const std::string saved = "COM15\nbaudrate 38400\nreconnect 1\nchart 0 0 0 0 0 0\n";
    const std::string too_long = "settings file path too long (more than 255 characters) - ";
    const std::string older(600, 'z');  // an older, longer file is truncated
    // The folder part of a name that just fits: 241 + "\Lum_Rax.setup" = 255 characters.
    const std::string fits = dir.path() + "/" + std::string(241 - dir.path().size() - 1, 's');
    for (const std::string& folder : {dir.path() + "/Settings", fits}) {
        Fresh(folder, &older);
        SaveSettings();
        EXPECT_EQ(fakes::ScratchDir::Read(file), saved);
        EXPECT_EQ(console.out, SaveLines("COM15", "38400"));
    }

    Fresh(fits + "s");
    SaveSettings();
    EXPECT_EQ(console.out, "save settings to file... \n" + too_long + "settings not saved!\n");
    dir.Write(file.substr(dir.path().size() + 1), saved);  // present, but its name is too long
    console.out.clear();
    LoadSettings();
    EXPECT_EQ(console.out, too_long + "settings not loaded!\n");
    EXPECT_EQ(g_settings.settings_com, 0u);

    Fresh(dir.path() + "/Settings");
    if (symlink("/dev/full", file.c_str()) != 0) GTEST_SKIP() << "no /dev/full";
    SaveSettings();
    EXPECT_EQ(console.out, SaveLines("COM15", "38400") + "settings file write error!\n");
}

}  // namespace
