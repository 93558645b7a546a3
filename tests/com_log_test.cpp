#include <gtest/gtest.h>

#include <stdlib.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "app/com_page.h"
#include "app/startup.h"
#include "serial/com_log.h"
#include "serial/port.h"
#include "serial/reg_console.h"
#include "tests/fakes/test_env.h"

namespace fs = std::filesystem;

namespace {

constexpr uint32_t kClick = 0;
const char kHeader[] = "COM Port log file\nStarted: 14:07:09, 05.03.2024\n";
const char kName[] = "COM_log_2024-03-05_14h07m09.txt";

std::string FileBytes(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class ComLogTest : public fakes::CoreTest {
  protected:
    void SetUp() override {
        CoreTest::SetUp();
        char tmpl[] = "/tmp/lrx_comlog_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        SetLogPath(dir_.string());
        page_ = ui.NewWindow("page");
        g_com.hWndLogStartStop = ui.NewWindow("BUTTON");
        ui.SetControlText(g_com.hWndLogStartStop, "LOG Start");
    }
    void TearDown() override {
        CoreTest::TearDown();
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }

    void SetLogPath(const std::string& path) {
        ASSERT_LT(path.size(), sizeof g_app.szLogPath);
        std::memset(g_app.szLogPath, 0, sizeof g_app.szLogPath);
        std::memcpy(g_app.szLogPath, path.data(), path.size());
    }
    void Click(uint16_t code = kClick) {
        button_LOG_StartStop_process(page_, platform::MakeWParam(1041, code), nullptr);
    }
    std::vector<std::string> LogFiles(const fs::path& in) const {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(in)) names.push_back(e.path().filename());
        std::sort(names.begin(), names.end());
        return names;
    }
    std::string Caption() { return ui.Text(g_com.hWndLogStartStop); }

    fs::path dir_;
    platform::Wnd page_ = nullptr;
};

TEST_F(ComLogTest, StartNamesFileByLocalTimeAndWritesHeader) {
    struct Case {
        platform::LocalTime now;
        const char* name;
        const char* header;
    };
    const Case cases[] = {
        {{2024, 3, 5, 14, 7, 9}, kName, kHeader},
        {{1999, 12, 31, 0, 0, 0},
         "COM_log_1999-12-31_00h00m00.txt",
         "COM Port log file\nStarted: 00:00:00, 31.12.1999\n"},
        {{2031, 10, 1, 23, 59, 58},
         "COM_log_2031-10-01_23h59m58.txt",
         "COM Port log file\nStarted: 23:59:58, 01.10.2031\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        console.out.clear();
        system.now = c.now;
        Click();
        ASSERT_EQ(g_log.com_log_active, 1);
        ASSERT_NE(g_log.pCOMLogFile, nullptr);
        EXPECT_EQ(Caption(), "log STOP");
        const fs::path file = dir_ / c.name;
        // The header is on disk while the log is still open.
        EXPECT_EQ(FileBytes(file), c.header);

        char address[32];
        std::snprintf(address, sizeof address, "pCOMLogFile = 0x%X\n",
                      static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(g_log.pCOMLogFile)));
        EXPECT_EQ(console.out, "Starting COM log file creation... \nCreated log file: " +
                                   file.string() + "\n" + address);

        Click();
        EXPECT_EQ(g_log.com_log_active, 0);
        EXPECT_EQ(g_log.pCOMLogFile, nullptr);
        EXPECT_EQ(Caption(), "LOG Start");
        EXPECT_EQ(FileBytes(file), c.header);
    }
    EXPECT_EQ(LogFiles(dir_).size(), 3u);
    EXPECT_TRUE(ui.boxes.empty());
}

TEST_F(ComLogTest, SessionIsWrittenVerbatimAndOnDiskAfterEachEvent) {
    Click();
    ASSERT_EQ(g_log.com_log_active, 1);
    const fs::path file = dir_ / kName;
    std::string want = kHeader;

    // Port opening, as the port code writes it.
    ComLogPrintf("Com port open (handle %li)\n", 16L);
    ComLogPrintf("COM %li, %li bps\n", 15L, 38400L);
    ComLogText("--------------------------\n\n");
    want += "Com port open (handle 16)\nCOM 15, 38400 bps\n--------------------------\n\n";
    EXPECT_EQ(FileBytes(file), want);

    // A reply as received, framing bytes included.
    ComLogWrite("\x02OK\x03", 4);
    want += "\x02OK\x03";
    EXPECT_EQ(FileBytes(file), want);

    // A console read of Wo.
    g_port.port_handle = serial.Open("\\\\.\\COM15", 38400);
    g_port.com_port_open = 1;
    g_com.hWndRegEdit = ui.NewWindow("Reg");
    ui.SetControlText(g_com.hWndRegEdit, "Wo");
    button_Reg_Read_process(page_, platform::MakeWParam(1039, kClick), nullptr);
    want += "cr Wo\r\n";
    EXPECT_EQ(FileBytes(file), want);

    // A boot command; text from outside is never a format.
    ComLogText("cw Fe\r");
    ComLogText("\n");
    ComLogText("%s%n");
    want += "cw Fe\r\n%s%n";
    EXPECT_EQ(FileBytes(file), want);

    Click();
    EXPECT_EQ(FileBytes(file), want);

    // Writers do nothing while the log is off.
    ComLogText("late\n");
    ComLogWrite("late", 4);
    ComLogPrintf("late %d\n", 1);
    EXPECT_EQ(FileBytes(file), want);
    EXPECT_EQ(LogFiles(dir_), std::vector<std::string>{kName});
}

TEST_F(ComLogTest, StartsWithinOneSecondKeepEveryEarlierFileWhole) {
    const fs::path base = dir_ / kName;
    const std::vector<std::string> texts = {"first\n", "second\n", "third\n"};
    for (const std::string& t : texts) {
        Click();
        ASSERT_EQ(g_log.com_log_active, 1) << t;
        ComLogText(t);
        Click();
    }
    EXPECT_EQ(LogFiles(dir_), (std::vector<std::string>{kName, "COM_log_2024-03-05_14h07m09_2.txt",
                                                        "COM_log_2024-03-05_14h07m09_3.txt"}));
    EXPECT_EQ(FileBytes(base), std::string(kHeader) + "first\n");
    EXPECT_EQ(FileBytes(dir_ / "COM_log_2024-03-05_14h07m09_2.txt"),
              std::string(kHeader) + "second\n");
    EXPECT_EQ(FileBytes(dir_ / "COM_log_2024-03-05_14h07m09_3.txt"),
              std::string(kHeader) + "third\n");
    EXPECT_NE(console.out.find("Created log file: " +
                               (dir_ / "COM_log_2024-03-05_14h07m09_2.txt").string() + "\n"),
              std::string::npos);
    EXPECT_TRUE(ui.boxes.empty());
}

TEST_F(ComLogTest, FileOfTheSameNameFromElsewhereIsNotTouched) {
    { std::ofstream(dir_ / kName, std::ios::binary) << "keep me"; }
    Click();
    ASSERT_EQ(g_log.com_log_active, 1);
    ComLogText("new\n");
    EXPECT_EQ(FileBytes(dir_ / kName), "keep me");
    EXPECT_EQ(FileBytes(dir_ / "COM_log_2024-03-05_14h07m09_2.txt"),
              std::string(kHeader) + "new\n");
}

TEST_F(ComLogTest, MissingFolderShowsErrorAndLoggingStaysOff) {
    SetLogPath((dir_ / "COMlog").string());
    Click();
    EXPECT_EQ(console.out,
              "Starting COM log file creation... \nError: COM Log file creation failed!\n");
    ASSERT_EQ(ui.boxes.size(), 1u);
    EXPECT_EQ(ui.boxes[0].owner, page_);
    EXPECT_EQ(ui.boxes[0].text, "Log File Creation Error!\nlog path available?");
    EXPECT_EQ(ui.boxes[0].caption, "Error!");
    EXPECT_EQ(ui.boxes[0].flags, platform::kMbIconError);
    EXPECT_EQ(g_log.com_log_active, 0);
    EXPECT_EQ(g_log.pCOMLogFile, nullptr);
    EXPECT_EQ(Caption(), "LOG Start");
    ComLogText("nowhere\n");
    EXPECT_TRUE(LogFiles(dir_).empty());

    // A second click tries again rather than stopping a log that never ran.
    Click();
    EXPECT_EQ(ui.boxes.size(), 2u);
}

TEST_F(ComLogTest, LogPathTooLongForTheNameIsRefused) {
    // The full name is the folder, a separator and 31 characters, in 256 bytes with the NUL.
    struct Case {
        std::size_t path_len;
        bool earlier_file;  // a file of the plain name exists: the new one needs "_2"
        bool created;
    };
    const Case cases[] = {
        {223, false, true},
        {224, false, false},
        {221, true, true},
        {222, true, false},
        {sizeof g_app.szLogPath - 1, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path_len);
        console.out.clear();
        ui.boxes.clear();
        const std::string prefix = dir_.string() + "/";
        const fs::path folder = prefix + std::string(c.path_len - prefix.size(), 'a');
        ASSERT_EQ(folder.string().size(), c.path_len);
        fs::create_directory(folder);
        if (c.earlier_file) std::ofstream(folder / kName, std::ios::binary) << "earlier";
        SetLogPath(folder.string());

        Click();
        EXPECT_EQ(g_log.com_log_active, c.created ? 1 : 0);
        if (c.created) {
            EXPECT_TRUE(ui.boxes.empty());
            EXPECT_EQ(std::strlen(g_log.szCOMLogFileName), kLogNameSize - 1);
            Click();
        } else {
            EXPECT_EQ(console.out,
                      "Starting COM log file creation... \n"
                      "Error: log path too long for the log file name (max. 255 characters)!\n"
                      "Error: COM Log file creation failed!\n");
            ASSERT_EQ(ui.boxes.size(), 1u);
            EXPECT_EQ(ui.boxes[0].text, "Log File Creation Error!\nlog path available?");
            EXPECT_EQ(ui.boxes[0].caption, "Error!");
            EXPECT_EQ(ui.boxes[0].flags, platform::kMbIconError);
            EXPECT_EQ(Caption(), "LOG Start");
        }
        EXPECT_EQ(LogFiles(folder).size(), (c.created ? 1u : 0u) + (c.earlier_file ? 1u : 0u));
        if (c.earlier_file) {
            EXPECT_EQ(FileBytes(folder / kName), "earlier");
        }
        fs::remove_all(folder);
    }
}

TEST_F(ComLogTest, OnlyTheClickNotificationActs) {
    Click(5);
    EXPECT_EQ(g_log.com_log_active, 0);
    EXPECT_TRUE(console.out.empty());
    EXPECT_TRUE(LogFiles(dir_).empty());
    Click();
    ASSERT_EQ(g_log.com_log_active, 1);
    Click(5);
    EXPECT_EQ(g_log.com_log_active, 1);
    EXPECT_EQ(Caption(), "log STOP");
}

TEST_F(ComLogTest, CloseEndsLoggingAndKeepsTheFile) {
    Click();
    ComLogText("before\n");
    ComLogClose();
    EXPECT_EQ(g_log.com_log_active, 0);
    EXPECT_EQ(g_log.pCOMLogFile, nullptr);
    ComLogText("after\n");
    ComLogClose();  // a second close is harmless
    EXPECT_EQ(FileBytes(dir_ / kName), std::string(kHeader) + "before\n");
}

}  // namespace
