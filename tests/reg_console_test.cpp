#include "tests/fakes/test_env.h"

namespace {

// Read, Write and ClearScr are their button ids; these two stand for a tick of the line
// polling timer and for Enter in the field.
constexpr uint16_t kRead = 1039, kWrite = 1040, kClearScr = 1042, kPoll = 0, kEnter = 1;

class RegConsoleTest : public fakes::PageTest {
  protected:
    // Puts the text in the field, forgets what happened before and starts a fresh log.
    void Type(const std::string& text) {
        ui.SetControlText(g_link_ui.hWndRegEdit, text);
        Forget();
        fakes::StartScratchLog();
    }
    std::string Field() { return ui.Text(g_link_ui.hWndRegEdit); }
    void Press(uint16_t id, uint16_t code = platform::kBnClicked) {
        if (id == kPoll) RegLinePollTimerProc(page);
        if (id == kEnter) RegLineEnter(page);
        if (id > kEnter) Command(id, code);
    }
};

// The field's text goes out as one command: the buttons keep the text to send it again, a
// line ended in the field (by a line break or by Enter) is read and the field emptied.
TEST_F(RegConsoleTest, TheFieldTextGoesOutAsOneCommand) {
    const std::string r58(58, 'R');
    const std::tuple<uint16_t, std::string, std::string> cases[] = {
        {kRead, "Wo", "cr Wo\r"},
        {kRead, "", "cr \r"},
        {kRead, "%s%n%x", "cr %s%n%x\r"},
        {kRead, std::string(59, 'R'), "cr " + std::string(59, 'R') + "\r"},
        {kWrite, "Wk 1.5", "cw Wk 1.5\r"},
        {kWrite, std::string(123, 'W'), "cw " + std::string(123, 'W') + "\r"},
        {kPoll, "Wo\r", "cr Wo\r\r"},
        {kPoll, "Wo\r\nPt", "cr Wo\r\nPt\r"},
        {kPoll, "0\r", "cr 0\r\r"},
        {kPoll, "z\r", "cr z\r\r"},
        {kPoll, r58 + "\r", "cr " + r58 + "\r\r"},
        {kEnter, "Wo", "cr Wo\r\r"},  // the field never holds the CR that Enter stands for
        {kEnter, r58, "cr " + r58 + "\r\r"},
    };
    for (const auto& [via, text, wire] : cases) {
        SCOPED_TRACE(wire);
        Type(text);
        Press(via);
        const bool line = via == kPoll || via == kEnter;
        EXPECT_EQ(serial.writes, Strings{wire});
        EXPECT_EQ(console.out, line ? wire : wire + "\n");  // no line feed after a line
        EXPECT_EQ(fakes::ScratchLogBytes(), wire + "\n");
        EXPECT_TRUE(ui.boxes.empty());
        EXPECT_EQ(Field(), line ? "" : text);
    }
}

// Nothing is sent; the user is told why, the log stays empty and no flash stream begins.
TEST_F(RegConsoleTest, RefusalsSendNothingAndSayWhy) {
    const std::string closed = "Open COM port before reading uC registers!";
    const std::string long59 = "Register text too long (max. 59 characters)!";
    const std::string r59(59, 'R'), x57(57, 'x'), mr63 = "Mr" + std::string(61, '0');
    struct Case {
        uint16_t via;
        bool open;
        std::string text, kept, box;
        int tried = 0;  // the bytes of a command that the port did not take
    };
    const Case cases[] = {
        {kRead, false, "Wo", "Wo", closed},
        {kWrite, false, "Wo", "Wo", "Open COM port before writing uC registers!"},
        // Emptied at once: the box's message loop polls on.
        {kPoll, false, "Wo\r", "", closed},
        {kEnter, false, "Wo", "", closed},
        {kRead, true, r59 + "R", r59 + "R", long59},
        {kRead, true, mr63, mr63, long59},  // all the field gives: 63 characters
        {kWrite, true, std::string(124, 'W'), std::string(124, 'W'),
         "Register text too long (max. 123 characters)!"},
        // A line too long is kept without its line breaks for editing.
        {kPoll, true, r59 + "\r", r59, long59},
        {kEnter, true, r59, r59, long59},
        {kPoll, true, "Wo\r" + x57, "Wo" + x57, long59},
        // The text stays to be sent again, a polled line without its line break, so that it
        // is not sent again by itself.
        {kRead, true, "Mr", "Mr", "", 6},
        {kWrite, true, "Wo1", "Wo1", "", 7},
        {kPoll, true, "Mr\r", "Mr", "", 7},
        {kPoll, true, "Wo\r\n", "Wo", "", 8},
    };
    ui.on_box = [this] { Press(kPoll); };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        g_port.com_port_open = c.open ? 1 : 0;
        serial.fail_write = c.tried > 0;
        Type(c.text);
        Press(c.via);
        EXPECT_EQ(serial.written, "");
        if (c.tried > 0) {
            EXPECT_EQ(console.out, "Error: writing to COM15 failed, 0 of " +
                                       std::to_string(c.tried) + " bytes sent!\n");
            EXPECT_EQ(Boxes(), Strings{"Error|Sending to COM15 failed!\nThe command was not "
                                       "carried out.|16"});
        } else {
            EXPECT_EQ(console.out, "Error: " + c.box + "\n");
            EXPECT_EQ(Boxes(), Strings{"Error|" + c.box + "|48"});
        }
        EXPECT_EQ(Field(), c.kept);
        EXPECT_EQ(g_rx.flash_stream_mode, 0);
        EXPECT_EQ(fakes::ScratchLogBytes(), "");
    }
}

TEST_F(RegConsoleTest, ReadOfMrStartsTheFlashStreamOtherReadsEndIt) {
    const std::pair<std::string, bool> cases[] = {
        {"Mr", true}, {"Mr 0000 4000", true}, {"mr", false}, {"MR", false},
        {"M", false}, {"W r", false},         {"", false},
    };
    for (const auto& [text, starts] : cases) {
        // A write leaves the stream alone.
        for (uint16_t via : {kRead, kPoll, kEnter, kWrite}) {
            SCOPED_TRACE(text + " via " + std::to_string(via));
            if (via == kPoll && text.empty()) continue;  // an empty line is never sent
            g_rx.flash_stream_mode = 1;
            g_flash.flash_stream_len = 77;
            Type(via == kPoll ? text + "\r" : text);
            Press(via);
            ASSERT_EQ(serial.writes.size(), text.empty() && via == kEnter ? 0u : 1u);
            if (serial.writes.empty()) continue;
            EXPECT_EQ(g_rx.flash_stream_mode, via == kWrite || starts ? 1 : 0);
            EXPECT_EQ(g_flash.flash_stream_len, via != kWrite && starts ? 0u : 77u);
        }
    }
}

// Unfinished lines and lines that do not begin with '0'..'z' are left alone, also while
// the port is closed; notifications other than a click do nothing.
TEST_F(RegConsoleTest, OnlyFinishedLinesAndClicksAct) {
    for (uint8_t open : {1, 0}) {
        g_port.com_port_open = open;
        for (const std::string text :
             {"", "Wo", "\r", "\rWo", " Wo\r", "{Wo\r", "/Wo\r", "\x80Wo\r"}) {
            Type(text);
            Press(kPoll);
            if (text != "Wo") Press(kEnter);  // a line break only where Enter adds it
            EXPECT_TRUE(serial.writes.empty() && console.out.empty() && ui.boxes.empty()) << text;
            EXPECT_EQ(Field(), text);
        }
    }
    g_port.com_port_open = 1;
    ui.SetControlText(g_link_ui.hWndComText, "reply");
    Type("Wo");
    for (uint16_t id : {kRead, kWrite, kClearScr}) Press(id, 1);
    EXPECT_TRUE(serial.writes.empty() && console.out.empty() && ui.boxes.empty());
    EXPECT_EQ(ui.Text(g_link_ui.hWndComText), "reply");
    Press(kClearScr);
    EXPECT_EQ(ui.Text(g_link_ui.hWndComText), "");
}

}  // namespace
