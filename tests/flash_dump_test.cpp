#include "tests/fakes/test_env.h"

namespace {

const std::string kFF16 = "FF FF FF FF FF FF FF FF FF FF FF FF FF FF FF FF ";

class FlashDumpTest : public fakes::CoreTest {
  protected:
    void SetUp() override {
        CoreTest::SetUp();
        g_link_ui.hWndComText = ui.NewWindow("ComText");
        fakes::StartScratchLog();
    }
};

// The stream's bytes, a line of 16 a dump line: blank lines (all 0xFF) are left off the
// console and the text area, never off the log; a short last line shows only what came.
TEST_F(FlashDumpTest, DumpToConsoleTextAreaAndLog) {
    const std::string line0 = "\r\n0x00000: 00 01 0A 1F 20 7F 80 9C A5 B6 C7 D8 E9 FA FE FF ";
    const std::string ones = "\r\n0x00000: 11 11 11 11 11 11 11 11 11 11 11 11 11 11 11 11 ";
    std::vector<uint8_t> mixed = {0x00, 0x01, 0x0A, 0x1F, 0x20, 0x7F, 0x80, 0x9C,
                                  0xA5, 0xB6, 0xC7, 0xD8, 0xE9, 0xFA, 0xFE, 0xFF};
    mixed.resize(32, 0xFF);
    std::vector<uint8_t> short_last(16, 0x11), blank_first(16, 0xFF);
    short_last.resize(20, 0xFF);
    blank_first.resize(20, 0x00);
    struct Case {
        std::vector<uint8_t> bytes;
        bool logging;
        std::string shown, logged, read, read_logged, blank;
    };
    const Case cases[] = {
        {mixed, true, line0, line0 + "\r\n0x00010: " + kFF16, "32 / 0x0020", "32 / 0x00020",
         "1 (0x0010"},
        {short_last, true, ones + "\r\n0x00010: FF FF FF FF ", ones + "\r\n0x00010: FF FF FF FF ",
         "20 / 0x0014", "20 / 0x00014", "0 (0x0000"},
        {blank_first, true, "\r\n0x00010: 00 00 00 00 ",
         "\r\n0x00000: " + kFF16 + "\r\n0x00010: 00 00 00 00 ", "20 / 0x0014", "20 / 0x00014",
         "1 (0x0010"},
        {{0x12, 0x34}, false, "\r\n0x00000: 12 34 ", "", "2 / 0x0002", "", "0 (0x0000"},
    };
    const std::string headings =
        "Flash streaming (hex):\r\n(16B lines containing only 0xFF are NOT displayed)\r\n";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.shown);
        console.out.clear();
        ui.SetControlText(g_link_ui.hWndComText, "");
        fakes::StartScratchLog();
        g_log.com_log_active = c.logging;
        std::memset(g_flash.flash_stream_buf, 0xFF, kFlashStreamSize);  // left from before
        std::memcpy(g_flash.flash_stream_buf, c.bytes.data(), c.bytes.size());
        g_flash.flash_stream_len = static_cast<uint32_t>(c.bytes.size());
        FlashDump();
        const std::string summary = "\r\n\r\nFlash streaming finished\r\nRead " + c.read +
                                    " bytes from device\r\nLines with 0xFF only: " + c.blank +
                                    " bytes)\r\n";
        EXPECT_EQ(console.out,
                  "\r\nRead " + c.read + " bytes from device\r\n" + headings + c.shown + summary);
        EXPECT_EQ(fakes::ScratchLogBytes(),
                  c.logging
                      ? "Read " + c.read_logged + " bytes from device\r\nFlash stream (hex):\r\n" +
                            c.logged + summary
                      : "");
        EXPECT_EQ(ui.Text(g_link_ui.hWndComText), "\r\n" + headings + summary);
        EXPECT_EQ(g_flash.flash_stream_len + g_dump.ff_line_count, 0u);
    }
}

// 128 KiB: the count in five hex digits; nothing of an empty stream, nothing past the buffer.
TEST_F(FlashDumpTest, FullFlashAndNothingBeyond) {
    FlashDump();  // an empty stream dumps nothing
    EXPECT_EQ(console.out + fakes::ScratchLogBytes() + ui.Text(g_link_ui.hWndComText), "");
    std::memset(g_flash.flash_stream_buf, 0xFF, kFlashStreamSize);
    g_flash.flash_stream_buf[0x1FFF3] = 0x42;           // only the last line holds data
    g_flash.flash_stream_len = kFlashStreamSize + 100;  // a count past the buffer
    FlashDump();
    const std::string summary =
        "\r\n\r\nFlash streaming finished\r\nRead 131072 / 0x20000 bytes from device\r\n"
        "Lines with 0xFF only: 8191 (0x1FFF0 bytes)\r\n";
    EXPECT_EQ(console.out.substr(console.out.find("\r\n0x")),
              "\r\n0x1FFF0: FF FF FF 42 " + kFF16.substr(12) + summary);
    const std::string log = fakes::ScratchLogBytes();
    const std::string head = "Read 131072 / 0x20000 bytes from device\r\nFlash stream (hex):\r\n";
    EXPECT_EQ(log.rfind(head, 0), 0u);
    EXPECT_NE(log.find("\r\n0x10000: " + kFF16 + "\r\n0x10010: "), std::string::npos);
    EXPECT_EQ(log.size(), head.size() + std::size_t{8192} * (11 + 48) + summary.size());
}

}  // namespace
