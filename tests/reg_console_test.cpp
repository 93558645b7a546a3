#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
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

using Strings = std::vector<std::string>;

constexpr uint16_t kRead = 1039;
constexpr uint16_t kWrite = 1040;
constexpr uint16_t kClearScr = 1042;
constexpr uint16_t kPoll = 0;  // a tick of the line polling timer

class RegConsoleTest : public fakes::CoreTest {
  protected:
    void SetUp() override {
        CoreTest::SetUp();
        g_com.hWndRegEdit = ui.NewWindow("Reg");
        g_com.hWndComText = ui.NewWindow("ComText");
    }
    void OpenPort() {
        g_port.port_handle = serial.Open("\\\\.\\COM15");
        g_port.com_port_open = 1;
    }
    // A fresh log in a scratch file that the test reads back.
    void StartLog() { fakes::StartScratchLog(); }
    std::string LogBytes() { return fakes::ScratchLogBytes(); }
    // Puts the text in the field and forgets what happened before.
    void Type(const std::string& text) {
        ui.SetControlText(g_com.hWndRegEdit, text);
        serial.writes.clear();
        console.out.clear();
        ui.boxes.clear();
    }
    std::string Field() { return ui.Text(g_com.hWndRegEdit); }
    void Press(uint16_t id, uint16_t code = platform::kBnClicked) {
        const uint32_t w = platform::MakeWParam(id, code);
        if (id == kRead) button_Reg_Read_process(page, w, nullptr);
        if (id == kWrite) button_Reg_Write_process(page, w, nullptr);
        if (id == kClearScr) button_ClearScr_process(page, w, nullptr);
        if (id == kPoll) RegLinePollTimerProc(page);
    }

    platform::Wnd page = ui.NewWindow("page");
};

TEST_F(RegConsoleTest, ButtonsSendTheFieldTextAsOneCommand) {
    struct Case {
        uint16_t button;
        std::string text, wire;
    };
    const Case cases[] = {
        {kRead, "Wo", "cr Wo\r"},
        {kRead, "", "cr \r"},
        {kRead, "%s%n%x", "cr %s%n%x\r"},
        {kRead, std::string(59, 'R'), "cr " + std::string(59, 'R') + "\r"},
        {kWrite, "Wk 1.5", "cw Wk 1.5\r"},
        {kWrite, "", "cw \r"},
        {kWrite, std::string(123, 'W'), "cw " + std::string(123, 'W') + "\r"},
    };
    OpenPort();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.wire);
        StartLog();
        Type(c.text);
        Press(c.button);
        EXPECT_EQ(serial.writes, Strings{c.wire});
        EXPECT_EQ(console.out, c.wire + "\n");
        EXPECT_EQ(LogBytes(), c.wire + "\n");
        EXPECT_TRUE(ui.boxes.empty());
        EXPECT_EQ(Field(), c.text);  // kept so the same command can be sent again
    }
}

TEST_F(RegConsoleTest, RefusalsSendNothingAndSayWhy) {
    const std::string closed = "Open COM port before reading uC registers!";
    const std::string long59 = "Register text too long (max. 59 characters)!";
    struct Case {
        uint16_t via;
        uint8_t open;
        std::string text, kept, msg;
    };
    const Case cases[] = {
        {kRead, 0, "Wo", "Wo", closed},
        {kWrite, 0, "Wo", "Wo", "Open COM port before writing uC registers!"},
        {kPoll, 0, "Wo\r", "", closed},  // cleared at once: the box's message loop polls on
        {kRead, 1, std::string(60, 'R'), std::string(60, 'R'), long59},
        // All the field gives (63 characters), and more that the fetch cuts to 63.
        {kRead, 1, "Mr" + std::string(61, '0'), "Mr" + std::string(61, '0'), long59},
        {kRead, 1, std::string(200, 'R'), std::string(200, 'R'), long59},
        {kWrite, 1, std::string(124, 'W'), std::string(124, 'W'),
         "Register text too long (max. 123 characters)!"},
        // A polled line too long is kept without its line breaks for editing.
        {kPoll, 1, std::string(59, 'R') + "\r", std::string(59, 'R'), long59},
        {kPoll, 1, "Wo\r" + std::string(57, 'x'), "Wo" + std::string(57, 'x'), long59},
        {kPoll, 1, "Mr\r\n" + std::string(59, '1'), "Mr" + std::string(59, '1'), long59},
    };
    OpenPort();
    ui.on_box = [this] { Press(kPoll); };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        g_port.com_port_open = c.open;
        StartLog();
        Type(c.text);
        Press(c.via);
        EXPECT_TRUE(serial.writes.empty());
        EXPECT_EQ(console.out, "Error: " + c.msg + "\n");
        ASSERT_EQ(ui.boxes.size(), 1u);
        EXPECT_EQ(ui.boxes[0].owner, page);
        EXPECT_EQ(ui.boxes[0].text, c.msg);
        EXPECT_EQ(ui.boxes[0].caption, "Error");
        EXPECT_EQ(ui.boxes[0].flags, platform::kMbIconWarning);
        EXPECT_EQ(Field(), c.kept);
        EXPECT_EQ(g_rx.flash_stream_mode, 0);
        EXPECT_EQ(LogBytes(), "");
    }
}

TEST_F(RegConsoleTest, ReadOfMrStartsTheFlashStreamOtherReadsEndIt) {
    const std::pair<std::string, bool> cases[] = {
        {"Mr", true},  {"Mr 0000 4000", true}, {"Mrx", true},  {"mr", false},
        {"MR", false}, {"M", false},           {"W r", false}, {"", false},
    };
    OpenPort();
    for (const auto& [text, starts] : cases) {
        // Through the Read button, a line ended in the field, and the Write button.
        for (int via = 0; via < 3; ++via) {
            SCOPED_TRACE(text + " via " + std::to_string(via));
            if (via == 1 && text.empty()) continue;  // an empty line is never sent
            g_rx.flash_stream_mode = 1;
            g_flash.flash_stream_len = 77;
            Type(via == 1 ? text + "\r" : text);
            Press(via == 0 ? kRead : via == 1 ? kPoll : kWrite);
            ASSERT_EQ(serial.writes.size(), 1u);
            // A write leaves the stream alone.
            EXPECT_EQ(g_rx.flash_stream_mode, via == 2 || starts ? 1 : 0);
            EXPECT_EQ(g_flash.flash_stream_len, via != 2 && starts ? 0u : 77u);
        }
    }
}

TEST_F(RegConsoleTest, PollingSendsOnlyAFinishedLine) {
    const std::pair<std::string, std::string> sent[] = {
        {"Wo\r", "cr Wo\r\r"},
        {"Wo\n", "cr Wo\n\r"},
        {"Wo\r\nPt", "cr Wo\r\nPt\r"},
        {"0\r", "cr 0\r\r"},
        {"z\r", "cr z\r\r"},
        {std::string(58, 'R') + "\r", "cr " + std::string(58, 'R') + "\r\r"}};
    OpenPort();
    for (const auto& [text, wire] : sent) {
        SCOPED_TRACE(text);
        StartLog();
        Type(text);
        Press(kPoll);
        EXPECT_TRUE(ui.boxes.empty());
        EXPECT_EQ(serial.writes, Strings{wire});
        EXPECT_EQ(console.out, wire);  // no line feed after a polled command
        EXPECT_EQ(LogBytes(), wire + "\n");
        EXPECT_EQ(Field(), "");
    }
    // Unfinished lines and lines that do not begin with '0'..'z' are left alone, also while
    // the port is closed.
    for (uint8_t open : {1, 0}) {
        g_port.com_port_open = open;
        for (const std::string text :
             {"", "Wo", "\r", "\rWo", " Wo\r", "{Wo\r", "/Wo\r", "\x80Wo\r"}) {
            Type(text);
            Press(kPoll);
            EXPECT_TRUE(serial.writes.empty() && console.out.empty() && ui.boxes.empty()) << text;
            EXPECT_EQ(Field(), text);
        }
    }
}

TEST_F(RegConsoleTest, ClearScrEmptiesTheTextAreaAndOnlyClicksAct) {
    OpenPort();
    ui.SetControlText(g_com.hWndComText, "reply");
    Type("Wo");
    for (uint16_t id : {kRead, kWrite, kClearScr}) Press(id, 1);
    g_port.com_port_open = 0;
    for (uint16_t id : {kRead, kWrite}) Press(id, 5);
    EXPECT_TRUE(serial.writes.empty());
    EXPECT_TRUE(console.out.empty());
    EXPECT_TRUE(ui.boxes.empty());
    EXPECT_EQ(ui.Text(g_com.hWndComText), "reply");
    Press(kClearScr);
    EXPECT_EQ(ui.Text(g_com.hWndComText), "");
}

}  // namespace

namespace {

// Enter in the field does what the polling timer does once the field holds the line with a
// CR at its end: the same bytes on the wire, console, log, field and boxes.
TEST_F(RegConsoleTest, EnterReadsTheFieldAsAPolledLine) {
    struct Outcome {
        Strings writes;
        std::string console, log, field;
        Strings boxes;
        uint8_t stream;
    };
    const auto run = [this](bool enter, const std::string& text) {
        StartLog();
        g_rx.flash_stream_mode = 0;
        Type(enter ? text : text + "\r");
        if (enter) {
            RegLineEnter(page);
        } else {
            Press(kPoll);
        }
        Outcome o{serial.writes, console.out, LogBytes(), Field(), {}, g_rx.flash_stream_mode};
        for (const fakes::ShownBox& b : ui.boxes) o.boxes.push_back(b.caption + "|" + b.text);
        return o;
    };
    OpenPort();
    // Sent; refused as too long; not a line; not begun with '0'..'z'.
    const std::string texts[] = {"Wo",  "Mr 0 100", std::string(58, 'R'), std::string(59, 'R'), "",
                                 " Wo", "{Wo"};
    for (uint8_t open : {1, 0}) {
        g_port.com_port_open = open;
        for (const std::string& text : texts) {
            SCOPED_TRACE(testing::Message() << text << " open " << int{open});
            const Outcome by_enter = run(true, text);
            const Outcome by_poll = run(false, text);
            EXPECT_EQ(by_enter.writes, by_poll.writes);
            EXPECT_EQ(by_enter.console, by_poll.console);
            EXPECT_EQ(by_enter.log, by_poll.log);
            // The field itself never holds the CR that Enter stands for.
            std::string polled = by_poll.field;
            polled.erase(std::remove(polled.begin(), polled.end(), '\r'), polled.end());
            EXPECT_EQ(by_enter.field, polled);
            EXPECT_EQ(by_enter.boxes, by_poll.boxes);
            EXPECT_EQ(by_enter.stream, by_poll.stream);
        }
    }
    g_port.com_port_open = 1;
    const Outcome wo = run(true, "Wo");
    EXPECT_EQ(wo.writes, Strings{"cr Wo\r\r"});
    EXPECT_EQ(wo.console, "cr Wo\r\r");
    EXPECT_EQ(wo.field, "");
}

// A command the port did not take is not logged, does not start a flash stream and leaves
// the text to send again (a polled line without its line break, so it is not sent again
// by itself).
TEST_F(RegConsoleTest, FailedWriteIsToldAndChangesNothing) {
    const std::pair<uint16_t, std::string> cases[] = {
        {kRead, "Mr"}, {kWrite, "Wo1"}, {kPoll, "Mr\r"}, {kPoll, "Wo\r\n"}};
    OpenPort();
    std::strcpy(g_port.open_port_name, "COM15");
    serial.fail_write = true;
    ui.on_box = [this] { Press(kPoll); };
    for (const auto& [via, text] : cases) {
        SCOPED_TRACE(text);
        StartLog();
        Type(text);
        Press(via);
        EXPECT_EQ(serial.written, "");
        EXPECT_EQ(console.out, "Error: writing to COM15 failed, 0 of " +
                                   std::to_string(text.size() + 4) + " bytes sent!\n");
        ASSERT_EQ(ui.boxes.size(), 1u);
        EXPECT_EQ(ui.boxes[0].text, "Sending to COM15 failed!\nThe command was not carried out.");
        EXPECT_EQ(ui.boxes[0].flags, platform::kMbIconError);
        EXPECT_EQ(Field(), via == kPoll ? text.substr(0, 2) : text);
        EXPECT_EQ(g_rx.flash_stream_mode, 0);
        EXPECT_EQ(LogBytes(), "");
    }
}

}  // namespace
