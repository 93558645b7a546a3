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

const char kTextHead[] =
    "\r\nFlash streaming (hex):\r\n(16B lines containing only 0xFF are NOT displayed)\r\n";
const char kConsoleHeadings[] =
    "Flash streaming (hex):\r\n(16B lines containing only 0xFF are NOT displayed)\r\n";

class FlashDumpTest : public fakes::CoreTest {
  protected:
    void SetUp() override {
        CoreTest::SetUp();
        g_com.hWndComText = ui.NewWindow("ComText");
        g_log.pCOMLogFile = std::tmpfile();
        ASSERT_NE(g_log.pCOMLogFile, nullptr);
        g_log.com_log_active = 1;
    }
    std::string LogBytes() {
        std::FILE* f = g_log.pCOMLogFile;
        std::fflush(f);
        std::fseek(f, 0, SEEK_SET);
        std::string out;
        char buf[4096];
        std::size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
        std::fseek(f, 0, SEEK_END);
        return out;
    }
    void Stream(const std::vector<uint8_t>& bytes) {
        std::memcpy(g_flash.flash_stream_buf, bytes.data(), bytes.size());
        g_flash.flash_stream_len = static_cast<uint32_t>(bytes.size());
    }
    std::string Text() { return ui.Text(g_com.hWndComText); }

    static std::string Summary(const std::string& counts) {
        return "\r\n\r\nFlash streaming finished\r\n" + counts;
    }
    static std::size_t Count(const std::string& hay, const std::string& needle) {
        std::size_t n = 0;
        for (std::size_t p = hay.find(needle); p != std::string::npos; p = hay.find(needle, p + 1))
            ++n;
        return n;
    }
};

TEST_F(FlashDumpTest, BlankLinesAreLeftOffTheConsoleButLogged) {
    std::vector<uint8_t> bytes = {0x00, 0x01, 0x0A, 0x1F, 0x20, 0x7F, 0x80, 0x9C,
                                  0xA5, 0xB6, 0xC7, 0xD8, 0xE9, 0xFA, 0xFE, 0xFF};
    bytes.resize(32, 0xFF);
    Stream(bytes);
    FlashDump();

    const std::string line0 = "\r\n0x00000: 00 01 0A 1F 20 7F 80 9C A5 B6 C7 D8 E9 FA FE FF ";
    const std::string line1 = "\r\n0x00010: FF FF FF FF FF FF FF FF FF FF FF FF FF FF FF FF ";
    const std::string summary =
        Summary("Read 32 / 0x0020 bytes from device\r\nLines with 0xFF only: 1 (0x0010 bytes)\r\n");

    EXPECT_EQ(console.out, "\r\nRead 32 / 0x0020 bytes from device\r\n" +
                               std::string(kConsoleHeadings) + line0 + summary);
    EXPECT_EQ(LogBytes(), "Read 32 / 0x00020 bytes from device\r\nFlash stream (hex):\r\n" + line0 +
                              line1 + summary);
    EXPECT_EQ(Text(), kTextHead + summary);
    EXPECT_EQ(g_flash.flash_stream_len, 0u);
    EXPECT_EQ(g_flash.ff_line_count, 0u);
}

TEST_F(FlashDumpTest, FullFlashOf128KiBIsCountedInFiveHexDigits) {
    std::vector<uint8_t> bytes(kFlashStreamSize, 0xFF);
    bytes[0x1FFF3] = 0x42;  // only the last line holds data
    Stream(bytes);
    FlashDump();

    const std::string summary = Summary(
        "Read 131072 / 0x20000 bytes from device\r\n"
        "Lines with 0xFF only: 8191 (0x1FFF0 bytes)\r\n");
    EXPECT_EQ(console.out,
              "\r\nRead 131072 / 0x20000 bytes from device\r\n" + std::string(kConsoleHeadings) +
                  "\r\n0x1FFF0: FF FF FF 42 FF FF FF FF FF FF FF FF FF FF FF FF " + summary);
    const std::string log = LogBytes();
    const std::string log_head =
        "Read 131072 / 0x20000 bytes from device\r\nFlash stream (hex):\r\n";
    EXPECT_EQ(log.rfind(log_head, 0), 0u);
    EXPECT_EQ(Count(log, "\r\n0x"), 8192u);
    EXPECT_EQ(Count(log, " FF"), 131071u);
    EXPECT_NE(log.find("\r\n0x10000: FF "), std::string::npos);
    EXPECT_EQ(log.size(), log_head.size() + std::size_t{8192} * (11 + 48) + summary.size());
    EXPECT_EQ(Text(), kTextHead + summary);
}

TEST_F(FlashDumpTest, ShortLastLineShowsOnlyTheReceivedBytes) {
    struct Case {
        const char* name;
        std::vector<uint8_t> bytes;
        uint8_t after;  // what an earlier stream left behind in the buffer
        std::string console_lines;
        std::string log_lines;
        uint32_t ff_lines;
    };
    const std::string ff16 = "FF FF FF FF FF FF FF FF FF FF FF FF FF FF FF FF ";
    std::vector<uint8_t> data_then_ff(16, 0x11);
    data_then_ff.resize(20, 0xFF);
    std::vector<uint8_t> ff_then_data(16, 0xFF);
    ff_then_data.resize(20, 0x00);
    const Case cases[] = {
        {"short line of 0xFF after stale 0xFF", data_then_ff, 0xFF,
         "\r\n0x00000: 11 11 11 11 11 11 11 11 11 11 11 11 11 11 11 11 "
         "\r\n0x00010: FF FF FF FF ",
         "\r\n0x00000: 11 11 11 11 11 11 11 11 11 11 11 11 11 11 11 11 "
         "\r\n0x00010: FF FF FF FF ",
         0},
        {"short line after a blank line", ff_then_data, 0xFF, "\r\n0x00010: 00 00 00 00 ",
         "\r\n0x00000: " + ff16 + "\r\n0x00010: 00 00 00 00 ", 1},
        {"one short line",
         {0xDE, 0xAD, 0xBE, 0xEF, 0x01},
         0x00,
         "\r\n0x00000: DE AD BE EF 01 ",
         "\r\n0x00000: DE AD BE EF 01 ",
         0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        console.out.clear();
        std::memset(g_flash.flash_stream_buf, c.after, kFlashStreamSize);
        std::fclose(g_log.pCOMLogFile);
        g_log.pCOMLogFile = std::tmpfile();
        Stream(c.bytes);
        FlashDump();
        const std::size_t n = c.bytes.size();
        char counts[160];
        std::snprintf(counts, sizeof counts,
                      "Read %zu / 0x%04zX bytes from device\r\nLines with 0xFF only: %u (0x%04X "
                      "bytes)\r\n",
                      n, n, c.ff_lines, c.ff_lines * 16);
        char heading[64];
        std::snprintf(heading, sizeof heading, "\r\nRead %zu / 0x%04zX bytes from device\r\n", n,
                      n);
        char log_heading[64];
        std::snprintf(log_heading, sizeof log_heading, "Read %zu / 0x%05zX bytes from device\r\n",
                      n, n);
        EXPECT_EQ(console.out,
                  heading + std::string(kConsoleHeadings) + c.console_lines + Summary(counts));
        EXPECT_EQ(LogBytes(), log_heading + std::string("Flash stream (hex):\r\n") + c.log_lines +
                                  Summary(counts));
    }
}

TEST_F(FlashDumpTest, WithTheLogOffOnlyConsoleAndTextAreaGetTheDump) {
    g_log.com_log_active = 0;
    Stream({0x12, 0x34});
    FlashDump();
    g_log.com_log_active = 1;
    EXPECT_EQ(LogBytes(), "");
    EXPECT_NE(console.out.find("\r\n0x00000: 12 34 "), std::string::npos);
    EXPECT_EQ(Text(), kTextHead + Summary("Read 2 / 0x0002 bytes from device\r\n"
                                          "Lines with 0xFF only: 0 (0x0000 bytes)\r\n"));
}

TEST_F(FlashDumpTest, EmptyOrOverlongCountNeverReadsOutsideTheStream) {
    FlashDump();
    EXPECT_EQ(console.out, "");
    EXPECT_EQ(LogBytes(), "");
    EXPECT_EQ(Text(), "");

    g_flash.flash_stream_len = kFlashStreamSize + 100;
    FlashDump();
    EXPECT_NE(console.out.find("Read 131072 / 0x20000 bytes from device\r\nLines"),
              std::string::npos);
    EXPECT_EQ(Count(LogBytes(), "\r\n0x"), 8192u);
    EXPECT_EQ(g_flash.flash_stream_len, 0u);
}

}  // namespace
