#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "app/com_page.h"
#include "boot/flash_dump.h"
#include "serial/com_log.h"
#include "tests/fakes/test_env.h"

namespace {

const std::string kHeadings =
    "Flash streaming (hex):\r\n(16B lines containing only 0xFF are NOT displayed)\r\n";
const std::string kFF16 = "FF FF FF FF FF FF FF FF FF FF FF FF FF FF FF FF ";

std::string Summary(const std::string& counts) {
    return "\r\n\r\nFlash streaming finished\r\n" + counts;
}

class FlashDumpTest : public fakes::CoreTest {
  protected:
    void SetUp() override {
        CoreTest::SetUp();
        g_com.hWndComText = ui.NewWindow("ComText");
        fakes::StartScratchLog();
    }
    std::string LogBytes() { return fakes::ScratchLogBytes(); }
    void Dump(const std::vector<uint8_t>& bytes) {
        std::memcpy(g_flash.flash_stream_buf, bytes.data(), bytes.size());
        g_flash.flash_stream_len = static_cast<uint32_t>(bytes.size());
        FlashDump();
    }
    std::string Text() { return ui.Text(g_com.hWndComText); }
};

TEST_F(FlashDumpTest, BlankLinesAreLeftOffTheConsoleButLogged) {
    std::vector<uint8_t> bytes = {0x00, 0x01, 0x0A, 0x1F, 0x20, 0x7F, 0x80, 0x9C,
                                  0xA5, 0xB6, 0xC7, 0xD8, 0xE9, 0xFA, 0xFE, 0xFF};
    bytes.resize(32, 0xFF);
    Dump(bytes);

    const std::string line0 = "\r\n0x00000: 00 01 0A 1F 20 7F 80 9C A5 B6 C7 D8 E9 FA FE FF ";
    const std::string summary =
        Summary("Read 32 / 0x0020 bytes from device\r\nLines with 0xFF only: 1 (0x0010 bytes)\r\n");
    EXPECT_EQ(console.out,
              "\r\nRead 32 / 0x0020 bytes from device\r\n" + kHeadings + line0 + summary);
    EXPECT_EQ(LogBytes(), "Read 32 / 0x00020 bytes from device\r\nFlash stream (hex):\r\n" + line0 +
                              "\r\n0x00010: " + kFF16 + summary);
    EXPECT_EQ(Text(), "\r\n" + kHeadings + summary);
    EXPECT_EQ(g_flash.flash_stream_len, 0u);
    EXPECT_EQ(g_flash.ff_line_count, 0u);
}

TEST_F(FlashDumpTest, FullFlashIsCountedInFiveHexDigitsAndNothingBeyondIsRead) {
    FlashDump();  // an empty stream dumps nothing
    EXPECT_EQ(console.out, "");
    EXPECT_EQ(LogBytes(), "");
    EXPECT_EQ(Text(), "");

    std::memset(g_flash.flash_stream_buf, 0xFF, kFlashStreamSize);
    g_flash.flash_stream_buf[0x1FFF3] = 0x42;           // only the last line holds data
    g_flash.flash_stream_len = kFlashStreamSize + 100;  // a count past the buffer
    FlashDump();

    const std::string summary = Summary(
        "Read 131072 / 0x20000 bytes from device\r\n"
        "Lines with 0xFF only: 8191 (0x1FFF0 bytes)\r\n");
    EXPECT_EQ(console.out, "\r\nRead 131072 / 0x20000 bytes from device\r\n" + kHeadings +
                               "\r\n0x1FFF0: FF FF FF 42 " + kFF16.substr(12) + summary);
    const std::string log = LogBytes();
    const std::string log_head =
        "Read 131072 / 0x20000 bytes from device\r\nFlash stream (hex):\r\n";
    EXPECT_EQ(log.rfind(log_head, 0), 0u);
    EXPECT_NE(log.find("\r\n0x10000: " + kFF16 + "\r\n0x10010: "), std::string::npos);
    EXPECT_EQ(log.size(), log_head.size() + std::size_t{8192} * (11 + 48) + summary.size());
    EXPECT_EQ(Text(), "\r\n" + kHeadings + summary);
    EXPECT_EQ(g_flash.flash_stream_len, 0u);
}

TEST_F(FlashDumpTest, ShortLastLineShowsOnlyTheReceivedBytes) {
    const std::string data = "\r\n0x00000: 11 11 11 11 11 11 11 11 11 11 11 11 11 11 11 11 ";
    struct Case {
        uint8_t first16, last4;
        std::string shown, logged, blank_lines;
    };
    const Case cases[] = {{0x11, 0xFF, data + "\r\n0x00010: FF FF FF FF ",
                           data + "\r\n0x00010: FF FF FF FF ", "0 (0x0000"},
                          {0xFF, 0x00, "\r\n0x00010: 00 00 00 00 ",
                           "\r\n0x00000: " + kFF16 + "\r\n0x00010: 00 00 00 00 ", "1 (0x0010"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.shown);
        console.out.clear();
        std::fclose(g_log.pCOMLogFile);
        g_log.pCOMLogFile = std::tmpfile();
        std::memset(g_flash.flash_stream_buf, 0xFF, kFlashStreamSize);  // left from before
        std::vector<uint8_t> bytes(16, c.first16);
        bytes.resize(20, c.last4);
        Dump(bytes);
        const std::string summary =
            Summary("Read 20 / 0x0014 bytes from device\r\nLines with 0xFF only: " + c.blank_lines +
                    " bytes)\r\n");
        EXPECT_EQ(console.out,
                  "\r\nRead 20 / 0x0014 bytes from device\r\n" + kHeadings + c.shown + summary);
        EXPECT_EQ(LogBytes(), "Read 20 / 0x00014 bytes from device\r\nFlash stream (hex):\r\n" +
                                  c.logged + summary);
    }
}

TEST_F(FlashDumpTest, WithTheLogOffOnlyConsoleAndTextAreaGetTheDump) {
    g_log.com_log_active = 0;
    Dump({0x12, 0x34});
    EXPECT_EQ(LogBytes(), "");
    EXPECT_NE(console.out.find("\r\n0x00000: 12 34 "), std::string::npos);
    EXPECT_EQ(Text(), "\r\n" + kHeadings +
                          Summary("Read 2 / 0x0002 bytes from device\r\n"
                                  "Lines with 0xFF only: 0 (0x0000 bytes)\r\n"));
}

}  // namespace
