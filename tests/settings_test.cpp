#include <gtest/gtest.h>

#include <cstdio>
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
        Fresh(dir_ + "/Settings", nullptr);
    }
    void TearDown() override {
        std::remove(file_.c_str());
        rmdir(dir_.c_str());
        CoreTest::TearDown();
    }
    // A fresh state, the settings folder and, unless content is null, a file holding it.
    void Fresh(const std::string& folder, const std::string* content) {
        fakes::ResetCoreState();
        console.out.clear();
        std::remove(file_.c_str());
        ASSERT_LT(folder.size(), sizeof g_folders.szSettingsPath);
        std::snprintf(g_folders.szSettingsPath, sizeof g_folders.szSettingsPath, "%s", folder.c_str());
        file_ = folder + "\\Lum_Rax.setup";
        if (content != nullptr) std::ofstream(file_, std::ios::binary) << *content;
    }
    std::string ReadFile() {
        std::ifstream f(file_, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
    }
    bool Exists() { return access(file_.c_str(), F_OK) == 0; }

    std::string dir_, file_;
    const std::string saved_ = "COM15\nbaudrate 38400\n";
    const std::string too_long_ = "settings file path too long (more than 255 characters) - ";
};

TEST_F(SettingsTest, LoadedContentSelectsPortAndBaudRate) {
    struct Case {
        bool file;
        std::string content;
        uint8_t valid, port;
        int baud_row;
    };
    const Case cases[] = {
        {false, "", 0, 15, 6},
        {true, "COM40\nbaudrate 1200\n", 1, 40, 0},
        {true, "COM1\nbaudrate 115200", 1, 1, 8},
        {true, "COM0\nbaudrate 9600\n", 0, 15, 6},
        {true, "COM41\nbaudrate 9600\n", 0, 15, 6},
        {true, "COM7\nbaudrate 100\n", 0, 15, 6},
        {true, "COM7\nbaudrate 230400\n", 0, 15, 6},
        {true, "COM9\nbaudrate 2000\n", 1, 9, 6},  // valid, but no such row: 38400
        {true, "COM3\r\nbaudrate 57600\r\n", 1, 3, 7},
        {true, "COM 5  baudrate   19200", 1, 5, 5},
        {true, "COM4baudrate 4800", 1, 4, 2},
        {true, "COM12\n", 0, 15, 6},
        {true, "COM-3\nbaudrate 9600\n", 0, 15, 6},
        {true, "COM99999999999999999999\nbaudrate 9600\n", 0, 15, 6},
        {true, "COM4294967299\nbaudrate 9600\n", 0, 15, 6},  // 3 after wrapping past 2^32
        {true, "COM3\nbaudrate 99999999999999999999\n", 0, 15, 6},
        {true, " COM3\nbaudrate 9600\n", 0, 15, 6},
        {true, "", 0, 15, 6},
        {true, std::string("COM3\nbaud\0rate 9600", 19), 0, 15, 6},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.content));
        Fresh(dir_ + "/Settings", c.file ? &c.content : nullptr);

        LoadSettings();
        CreateComPageControls(ui.NewWindow("page"));

        EXPECT_EQ(g_settings.settings_valid, c.valid);
        EXPECT_EQ(g_port.com_port_number, c.port);
        EXPECT_EQ(g_port.com_baudrate, baudrate_table[c.baud_row]);
        EXPECT_EQ(g_port.COM_timeout_max, 5u);
        EXPECT_EQ(ui.controls[g_com.hWndComSelect].selection, c.port - 1);
        EXPECT_EQ(ui.controls[g_com.hWndBaudSelect].selection, c.baud_row);
    }
}

TEST_F(SettingsTest, LoadPrintsPathContentAndResult) {
    const std::string valid = "valid settings found:\nCOM3\nbaudrate 115200\n";
    std::string long_file = "COM3\nbaudrate 115200\n";
    long_file += std::string(600 - long_file.size() - 1, 'x') + "!";
    const struct {
        bool file;
        std::string content, shown_tail;
    } cases[] = {
        {false, "", ""},
        {true, "COM3\nbaudrate 115200\n", "COM3\nbaudrate 115200\n" + valid},
        {true, "COM41\nbaudrate 9600\n", "COM41\nbaudrate 9600\n"},
        {true, long_file, long_file.substr(0, 511) + valid},  // 511 + NUL fill the buffer
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.content.size());
        Fresh(dir_ + "/Settings", c.file ? &c.content : nullptr);

        LoadSettings();

        EXPECT_EQ(console.out, "load settings from file...\n" + file_ + "\n" +
                                   (c.file ? "settings file found:\n" + file_ +
                                                 "\nfile content of: " + file_ + "\n" + c.shown_tail
                                           : "no settings file found - will be created when "
                                             "application closes\n"));
    }
    EXPECT_EQ(g_settings.settings_com, 3u);
    EXPECT_EQ(g_settings.settings_baudrate, 115200u);
}

TEST_F(SettingsTest, SaveWritesExactly21BytesOrSaysWhyNot) {
    const std::string older(600, 'z');  // an older, longer file is truncated
    Fresh(dir_ + "/Settings", &older);
    SaveSettings();
    EXPECT_EQ(ReadFile(), saved_);
    EXPECT_EQ(ReadFile().size(), 21u);
    const std::string lines = "save settings to file... \nsettings file created / overwritten:\n" +
                              file_ + "\nCOM15\n38400\n";
    EXPECT_EQ(console.out, lines);

    Fresh(dir_ + "/missing/Settings", nullptr);
    SaveSettings();
    EXPECT_EQ(console.out, "save settings to file... \nsettings file fopen error!\n");
    EXPECT_FALSE(Exists());

    if (access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no /dev/full";
    Fresh(dir_ + "/Settings", nullptr);
    ASSERT_EQ(symlink("/dev/full", file_.c_str()), 0);
    SaveSettings();
    EXPECT_EQ(console.out, lines + "settings file write error!\n");
}

TEST_F(SettingsTest, PathMustFitIn256Bytes) {
    // The folder part of a name that just fits: 241 + "\Lum_Rax.setup" = 255 characters.
    const std::string fits = dir_ + "/" + std::string(241 - dir_.size() - 1, 's');
    Fresh(fits, nullptr);
    SaveSettings();
    EXPECT_EQ(ReadFile(), saved_);

    Fresh(fits + "s", nullptr);
    SaveSettings();
    EXPECT_EQ(console.out, "save settings to file... \n" + too_long_ + "settings not saved!\n");
    EXPECT_FALSE(Exists());

    std::ofstream(file_) << "COM3\nbaudrate 115200\n";  // present, but its name is too long
    ASSERT_TRUE(Exists());
    console.out.clear();
    LoadSettings();
    EXPECT_EQ(console.out, too_long_ + "settings not loaded!\n");
    EXPECT_EQ(g_settings.settings_valid, 0);
    EXPECT_EQ(g_settings.settings_com, 0u);
}

}  // namespace
