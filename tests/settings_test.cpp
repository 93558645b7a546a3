#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <unistd.h>

#include "app/com_page.h"
#include "app/settings.h"
#include "app/startup.h"
#include "serial/port.h"
#include "tests/fakes/test_env.h"

namespace {

// The file lives in a real temporary directory. On this host the backslash of "%s\%s" is just a
// character, so the file is named "Settings\Lum_Rax.setup" inside that directory.
class SettingsTest : public fakes::CoreTest {
  protected:
    void SetUp() override {
        CoreTest::SetUp();
        std::string templ = ::testing::TempDir() + "lrx_settings_XXXXXX";
        ASSERT_NE(mkdtemp(templ.data()), nullptr);
        dir_ = templ;
        SetFolder(dir_ + "/Settings");
    }
    void TearDown() override {
        std::remove(file_.c_str());
        rmdir(dir_.c_str());
        CoreTest::TearDown();
    }

    void SetFolder(const std::string& folder) {
        ASSERT_LT(folder.size(), sizeof g_app.szSettingsPath);
        std::snprintf(g_app.szSettingsPath, sizeof g_app.szSettingsPath, "%s", folder.c_str());
        file_ = folder + "\\Lum_Rax.setup";
    }
    void WriteFile(const std::string& content) {
        std::ofstream f(file_, std::ios::binary);
        f << content;
    }
    std::string ReadFile() {
        std::ifstream f(file_, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
    }
    bool FileExists() { return access(file_.c_str(), F_OK) == 0; }

    std::string dir_;
    std::string file_;
};

TEST_F(SettingsTest, LoadedContentSelectsPortAndBaudRate) {
    struct Case {
        const char* name;
        bool file;
        std::string content;
        uint8_t valid;
        uint8_t port;
        int32_t baud;
        int baud_row;
    };
    const Case cases[] = {
        {"no file", false, "", 0, 15, 38400, 6},
        {"COM3 115200", true, "COM3\nbaudrate 115200", 1, 3, 115200, 8},
        {"as written", true, "COM40\nbaudrate 1200\n", 1, 40, 1200, 0},
        {"COM0", true, "COM0\nbaudrate 9600\n", 0, 15, 38400, 6},
        {"COM41", true, "COM41\nbaudrate 9600\n", 0, 15, 38400, 6},
        {"baud 100", true, "COM7\nbaudrate 100\n", 0, 15, 38400, 6},
        {"baud above table", true, "COM7\nbaudrate 230400\n", 0, 15, 38400, 6},
        {"baud 2000 not in table", true, "COM9\nbaudrate 2000\n", 1, 9, 38400, 6},
        {"CR LF", true, "COM3\r\nbaudrate 57600\r\n", 1, 3, 57600, 7},
        {"no line break", true, "COM4baudrate 4800", 1, 4, 4800, 2},
        {"blanks before numbers", true, "COM 5\n  baudrate   19200", 1, 5, 19200, 5},
        {"port only", true, "COM12\n", 0, 15, 38400, 6},
        {"negative port", true, "COM-3\nbaudrate 9600\n", 0, 15, 38400, 6},
        {"port beyond int", true, "COM99999999999999999999\nbaudrate 9600\n", 0, 15, 38400, 6},
        {"port wrapping past 2^32", true, "COM4294967299\nbaudrate 9600\n", 0, 15, 38400, 6},
        {"baud beyond int", true, "COM3\nbaudrate 99999999999999999999\n", 0, 15, 38400, 6},
        {"leading blank", true, " COM3\nbaudrate 9600\n", 0, 15, 38400, 6},
        {"garbage", true, "hello", 0, 15, 38400, 6},
        {"empty", true, "", 0, 15, 38400, 6},
        {"NUL inside", true, std::string("COM3\nbaud\0rate 9600", 19), 0, 15, 38400, 6},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fakes::ResetCoreState();
        ui = fakes::FakeUi{};
        SetFolder(dir_ + "/Settings");
        std::remove(file_.c_str());
        if (c.file) WriteFile(c.content);

        LoadSettings();
        CreateComPageControls(ui.NewWindow("page"));

        EXPECT_EQ(g_settings.settings_valid, c.valid);
        EXPECT_EQ(g_port.com_port_number, c.port);
        EXPECT_EQ(g_port.com_baudrate, c.baud);
        EXPECT_EQ(g_port.COM_timeout_max, 5u);
        EXPECT_EQ(ui.controls[g_com.hWndComSelect].selection, c.port - 1);
        EXPECT_EQ(ui.controls[g_com.hWndBaudSelect].selection, c.baud_row);
    }
}

TEST_F(SettingsTest, LoadPrintsPathContentAndResult) {
    const std::string head = "load settings from file...\n" + file_ + "\n";

    LoadSettings();
    EXPECT_EQ(console.out,
              head + "no settings file found - will be created when application closes\n");

    console.out.clear();
    WriteFile("COM3\nbaudrate 115200\n");
    LoadSettings();
    EXPECT_EQ(console.out, head + "settings file found:\n" + file_ + "\nfile content of: " + file_ +
                               "\nCOM3\nbaudrate 115200\nvalid settings found:\nCOM3\nbaudrate "
                               "115200\n");

    console.out.clear();
    g_settings.Reset();
    WriteFile("COM41\nbaudrate 9600\n");
    LoadSettings();
    EXPECT_EQ(console.out, head + "settings file found:\n" + file_ + "\nfile content of: " + file_ +
                               "\nCOM41\nbaudrate 9600\n");
    EXPECT_EQ(g_settings.settings_valid, 0);
}

TEST_F(SettingsTest, LongFileIsReadUpTo511Bytes) {
    std::string content = "COM3\nbaudrate 115200\n";
    content += std::string(600 - content.size() - 1, 'x') + "!";
    ASSERT_EQ(content.size(), 600u);
    WriteFile(content);

    LoadSettings();

    const std::string shown = content.substr(0, 511);
    const std::string head = "load settings from file...\n" + file_ + "\nsettings file found:\n" +
                             file_ + "\nfile content of: " + file_ + "\n";
    EXPECT_EQ(console.out, head + shown + "valid settings found:\nCOM3\nbaudrate 115200\n");
    EXPECT_EQ(g_settings.settings_com, 3u);
    EXPECT_EQ(g_settings.settings_baudrate, 115200u);
}

TEST_F(SettingsTest, SaveWritesPortAndBaudRate) {
    WriteFile(std::string(600, 'z'));  // an older, longer file is truncated

    SaveSettings();

    EXPECT_EQ(ReadFile(), "COM15\nbaudrate 38400\n");
    EXPECT_EQ(ReadFile().size(), 21u);
    EXPECT_EQ(console.out, "save settings to file... \nsettings file created / overwritten:\n" +
                               file_ + "\nCOM15\n38400\n");
}

TEST_F(SettingsTest, SavedFileLoadsBack) {
    g_port.com_port_number = 7;
    g_port.com_baudrate = 2400;
    SaveSettings();
    EXPECT_EQ(ReadFile(), "COM7\nbaudrate 2400\n");

    g_port.Reset();
    LoadSettings();
    CreateComPageControls(ui.NewWindow("page"));
    EXPECT_EQ(g_port.com_port_number, 7);
    EXPECT_EQ(g_port.com_baudrate, 2400);
}

TEST_F(SettingsTest, SaveIntoMissingFolderReportsFopenError) {
    SetFolder(dir_ + "/missing/Settings");
    SaveSettings();
    EXPECT_EQ(console.out, "save settings to file... \nsettings file fopen error!\n");
    EXPECT_FALSE(FileExists());
}

TEST_F(SettingsTest, SaveThatCannotBeWrittenSaysSo) {
    if (access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no /dev/full";
    ASSERT_EQ(symlink("/dev/full", file_.c_str()), 0);
    SaveSettings();
    EXPECT_EQ(console.out, "save settings to file... \nsettings file created / overwritten:\n" +
                               file_ + "\nCOM15\n38400\nsettings file write error!\n");
}

TEST_F(SettingsTest, PathMustFitIn256Bytes) {
    // The folder part of a name that just fits: 241 + "\Lum_Rax.setup" = 255 characters.
    const std::string base = dir_ + "/";
    const std::string fits = base + std::string(241 - base.size(), 's');
    SetFolder(fits);
    SaveSettings();
    EXPECT_EQ(ReadFile(), "COM15\nbaudrate 38400\n");
    std::remove(file_.c_str());

    const std::string too_long = fits + "s";
    SetFolder(too_long);
    console.out.clear();
    SaveSettings();
    EXPECT_EQ(console.out,
              "save settings to file... \nsettings file path too long (more than 255 characters) - "
              "settings not saved!\n");
    EXPECT_FALSE(FileExists());

    WriteFile("COM3\nbaudrate 115200\n");  // present, but its name is beyond the limit
    ASSERT_TRUE(FileExists());
    console.out.clear();
    LoadSettings();
    EXPECT_EQ(console.out,
              "settings file path too long (more than 255 characters) - settings not loaded!\n");
    EXPECT_EQ(g_settings.settings_valid, 0);
    EXPECT_EQ(g_settings.settings_com, 0u);
}

}  // namespace
