#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "app/com_page.h"
#include "boot/flash_dump.h"
#include "serial/com_log.h"
#include "serial/port.h"
#include "serial/receive_pump.h"
#include "serial/reg_console.h"
#include "tests/fakes/test_env.h"

namespace {

using Handler = void (*)(platform::Wnd, uint32_t, platform::Wnd);

constexpr uint16_t kIdRead = 1039;
constexpr uint16_t kIdWrite = 1040;
constexpr uint16_t kIdClearScr = 1042;

const char kReadClosedLine[] = "Error: Open COM port before reading uC registers!\n";
const char kReadClosedBox[] = "Open COM port before reading uC registers!";

class RegConsoleTest : public fakes::CoreTest {
  protected:
    void SetUp() override {
        CoreTest::SetUp();
        page_ = ui.NewWindow("page");
        g_com.hWndRegEdit = ui.NewWindow("Reg");
        g_com.hWndComText = ui.NewWindow("ComText");
    }

    void OpenPort() {
        g_port.port_handle = serial.Open("\\\\.\\COM15", 38400);
        g_port.com_port_open = 1;
    }
    // The log goes to a scratch file that the test reads back.
    void StartLog() {
        g_log.pCOMLogFile = std::tmpfile();
        ASSERT_NE(g_log.pCOMLogFile, nullptr);
        g_log.com_log_active = 1;
    }
    std::string LogBytes() {
        std::FILE* f = g_log.pCOMLogFile;
        if (f == nullptr) return {};
        std::fflush(f);
        std::fseek(f, 0, SEEK_SET);
        std::string out;
        char buf[256];
        std::size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
        std::fseek(f, 0, SEEK_END);
        return out;
    }
    void SetField(const std::string& text) {
        ui.SetControlText(g_com.hWndRegEdit, text);
        ui.set_texts.clear();
    }
    std::string Field() { return ui.Text(g_com.hWndRegEdit); }
    void Press(uint16_t id, uint16_t code = 0) {
        const uint32_t w = platform::MakeWParam(id, code);
        if (id == kIdRead) button_Reg_Read_process(page_, w, nullptr);
        if (id == kIdWrite) button_Reg_Write_process(page_, w, nullptr);
        if (id == kIdClearScr) button_ClearScr_process(page_, w, nullptr);
    }
    void Poll() { RegLinePollTimerProc(page_); }
    void ExpectBox(const std::string& text) {
        ASSERT_EQ(ui.boxes.size(), 1u);
        EXPECT_EQ(ui.boxes[0].owner, page_);
        EXPECT_EQ(ui.boxes[0].text, text);
        EXPECT_EQ(ui.boxes[0].caption, "Error");
        EXPECT_EQ(ui.boxes[0].flags, platform::kMbIconWarning);
    }
    void ResetRecords() {
        serial.writes.clear();
        serial.written.clear();
        console.out.clear();
        ui.boxes.clear();
    }

    platform::Wnd page_ = nullptr;
};

TEST_F(RegConsoleTest, ButtonsSendTheFieldTextAsOneCommand) {
    struct Case {
        uint16_t button;
        std::string text;
        std::string wire;
    };
    const std::vector<Case> cases = {
        {kIdRead, "Wo", "cr Wo\r"},
        {kIdRead, "", "cr \r"},
        {kIdRead, "Pt 25", "cr Pt 25\r"},
        {kIdRead, "%s%n%x", "cr %s%n%x\r"},
        {kIdRead, std::string(59, 'R'), "cr " + std::string(59, 'R') + "\r"},
        {kIdWrite, "Wo1", "cw Wo1\r"},
        {kIdWrite, "Wk 1.5", "cw Wk 1.5\r"},
        {kIdWrite, "", "cw \r"},
        {kIdWrite, std::string(123, 'W'), "cw " + std::string(123, 'W') + "\r"},
    };
    OpenPort();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.wire);
        ResetRecords();
        SetField(c.text);
        Press(c.button);
        EXPECT_EQ(serial.writes, std::vector<std::string>{c.wire});
        EXPECT_EQ(console.out, c.wire + "\n");
        EXPECT_TRUE(ui.boxes.empty());
        EXPECT_EQ(Field(), c.text);  // kept so the same command can be sent again
    }
}

TEST_F(RegConsoleTest, ButtonsWithPortClosedSendNothing) {
    struct Case {
        uint16_t button;
        const char* line;
        const char* box;
    };
    const Case cases[] = {
        {kIdRead, kReadClosedLine, kReadClosedBox},
        {kIdWrite, "Error: Open COM port before writing uC registers!\n",
         "Open COM port before writing uC registers!"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.box);
        ResetRecords();
        SetField("Wo");
        Press(c.button);
        EXPECT_TRUE(serial.writes.empty());
        EXPECT_EQ(console.out, c.line);
        ExpectBox(c.box);
        EXPECT_EQ(Field(), "Wo");
    }
}

TEST_F(RegConsoleTest, RegisterTextTooLongForTheCommandIsRefused) {
    struct Case {
        uint16_t button;
        std::string text;
        unsigned max;
    };
    const std::vector<Case> cases = {
        {kIdRead, std::string(60, 'R'), 59},
        {kIdRead, "Mr" + std::string(61, '0'), 59},  // all the field gives: 63 characters
        {kIdRead, std::string(200, 'R'), 59},        // the fetch cuts it to 63: still too long
        {kIdWrite, std::string(124, 'W'), 123},
        {kIdWrite, std::string(127, 'W'), 123},
    };
    OpenPort();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text.size());
        ResetRecords();
        StartLog();
        g_rx.flash_stream_mode = 0;
        SetField(c.text);
        Press(c.button);
        EXPECT_TRUE(serial.writes.empty());
        const std::string msg =
            "Register text too long (max. " + std::to_string(c.max) + " characters)!";
        EXPECT_EQ(console.out, "Error: " + msg + "\n");
        ExpectBox(msg);
        EXPECT_EQ(Field(), c.text);
        EXPECT_EQ(g_rx.flash_stream_mode, 0);
        EXPECT_EQ(LogBytes(), "");
        ComLogClose();
    }
}

TEST_F(RegConsoleTest, ReadOfMrStartsTheFlashStreamAndOtherReadsEndIt) {
    struct Case {
        const char* text;
        bool starts;
    };
    const Case cases[] = {
        {"Mr", true}, {"Mr 0000 4000", true}, {"Mrx", true},  {"mr", false}, {"MR", false},
        {"M", false}, {"Wr", false},          {"W r", false}, {"rM", false}, {"", false},
    };
    OpenPort();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        // Through the Read button and through a line ended in the field.
        for (int via_poll = 0; via_poll < 2; ++via_poll) {
            ResetRecords();
            g_rx.flash_stream_mode = 1;
            g_flash.flash_stream_len = 77;
            if (via_poll != 0) {
                if (c.text[0] == '\0') continue;  // an empty line is never sent
                SetField(std::string(c.text) + "\r");
                Poll();
            } else {
                SetField(c.text);
                Press(kIdRead);
            }
            ASSERT_EQ(serial.writes.size(), 1u);
            EXPECT_EQ(g_rx.flash_stream_mode, c.starts ? 1 : 0);
            EXPECT_EQ(g_flash.flash_stream_len, c.starts ? 0u : 77u);
        }
    }
}

TEST_F(RegConsoleTest, WriteLeavesTheFlashStreamAlone) {
    OpenPort();
    for (uint8_t mode : {0, 1}) {
        g_rx.flash_stream_mode = mode;
        g_flash.flash_stream_len = 32;
        SetField("Mr");
        Press(kIdWrite);
        EXPECT_EQ(g_rx.flash_stream_mode, mode);
        EXPECT_EQ(g_flash.flash_stream_len, 32u);
    }
    EXPECT_EQ(serial.writes, (std::vector<std::string>{"cw Mr\r", "cw Mr\r"}));
}

TEST_F(RegConsoleTest, ConsoleCommandsAreLoggedWithALineFeed) {
    struct Case {
        bool poll;
        uint16_t button;
        const char* text;
        const char* log;
    };
    const Case cases[] = {
        {false, kIdRead, "Wo", "cr Wo\r\n"},
        {false, kIdWrite, "Wo1", "cw Wo1\r\n"},
        {true, 0, "Wo\r", "cr Wo\r\r\n"},
        {false, kIdRead, "%n%s", "cr %n%s\r\n"},
    };
    OpenPort();
    StartLog();
    std::string want;
    for (const Case& c : cases) {
        SetField(c.text);
        if (c.poll) {
            Poll();
        } else {
            Press(c.button);
        }
        want += c.log;
        EXPECT_EQ(LogBytes(), want) << c.text;
    }
    // Log off: nothing is written.
    g_log.com_log_active = 0;
    SetField("Wo");
    Press(kIdRead);
    g_log.com_log_active = 1;
    EXPECT_EQ(LogBytes(), want);
}

TEST_F(RegConsoleTest, PollingSendsOnlyAFinishedLine) {
    struct Case {
        std::string text;
        std::string wire;  // empty: nothing is sent and the field keeps its text
    };
    const std::vector<Case> cases = {
        {"", ""},
        {"Wo", ""},
        {"\r", ""},
        {"\rWo", ""},
        {"\nWo", ""},
        {" Wo\r", ""},
        {"{Wo\r", ""},
        {"/Wo\r", ""},
        {"\x80Wo\r", ""},
        {"\xFFWo\r", ""},
        {"Wo\r", "cr Wo\r\r"},
        {"Wo\n", "cr Wo\n\r"},
        {"Wo\r\nPt", "cr Wo\r\nPt\r"},
        {"0\r", "cr 0\r\r"},
        {"z\r", "cr z\r\r"},
        {std::string(58, 'R') + "\r", "cr " + std::string(58, 'R') + "\r\r"},
    };
    OpenPort();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        ResetRecords();
        SetField(c.text);
        Poll();
        EXPECT_TRUE(ui.boxes.empty());
        if (c.wire.empty()) {
            EXPECT_TRUE(serial.writes.empty());
            EXPECT_EQ(console.out, "");
            EXPECT_EQ(Field(), c.text);
        } else {
            EXPECT_EQ(serial.writes, std::vector<std::string>{c.wire});
            EXPECT_EQ(console.out, c.wire);  // no line feed after a polled command
            EXPECT_EQ(Field(), "");
        }
    }
}

TEST_F(RegConsoleTest, PollingWithPortClosedClearsTheFieldOnce) {
    SetField("Wo\r");
    // The box's message loop keeps the timer running.
    ui.on_box = [this] { Poll(); };
    Poll();
    EXPECT_TRUE(serial.writes.empty());
    EXPECT_EQ(Field(), "");
    EXPECT_EQ(console.out, kReadClosedLine);
    ExpectBox(kReadClosedBox);

    // Text that would not be sent is not touched either.
    ResetRecords();
    SetField(" Wo\r");
    Poll();
    EXPECT_TRUE(ui.boxes.empty());
    EXPECT_EQ(Field(), " Wo\r");
}

TEST_F(RegConsoleTest, PollingRefusesALineTooLongAndKeepsItForEditing) {
    struct Case {
        std::string text;
        std::string kept;
    };
    const std::vector<Case> cases = {
        {std::string(59, 'R') + "\r", std::string(59, 'R')},
        {"Wo\r" + std::string(57, 'x'), "Wo" + std::string(57, 'x')},
        {"Mr\r\n" + std::string(59, '1'), "Mr" + std::string(59, '1')},
    };
    OpenPort();
    ui.on_box = [this] { Poll(); };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        ResetRecords();
        g_rx.flash_stream_mode = 0;
        SetField(c.text);
        Poll();
        EXPECT_TRUE(serial.writes.empty());
        EXPECT_EQ(Field(), c.kept);
        EXPECT_EQ(console.out, "Error: Register text too long (max. 59 characters)!\n");
        ExpectBox("Register text too long (max. 59 characters)!");
        EXPECT_EQ(g_rx.flash_stream_mode, 0);
    }
}

TEST_F(RegConsoleTest, ClearScrEmptiesTheTextArea) {
    ui.SetControlText(g_com.hWndComText, "reply\r\n");
    Press(kIdClearScr);
    EXPECT_EQ(ui.Text(g_com.hWndComText), "");
    EXPECT_TRUE(serial.writes.empty());
}

TEST_F(RegConsoleTest, OnlyTheClickNotificationActs) {
    OpenPort();
    ui.SetControlText(g_com.hWndComText, "reply");
    SetField("Wo");
    for (uint16_t id : {kIdRead, kIdWrite, kIdClearScr}) Press(id, 1);
    g_port.com_port_open = 0;
    for (uint16_t id : {kIdRead, kIdWrite}) Press(id, 5);
    EXPECT_TRUE(serial.writes.empty());
    EXPECT_TRUE(console.out.empty());
    EXPECT_TRUE(ui.boxes.empty());
    EXPECT_EQ(ui.Text(g_com.hWndComText), "reply");
}

}  // namespace
