#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "firmware/chip_table.h"
#include "firmware/hex_file.h"
#include "firmware/ihex_line.h"
#include "tests/fakes/test_env.h"
#include "tests/hex_builder.h"

namespace {

using hexb::Bytes;

class IhexLineTest : public fakes::CoreTest {
  protected:
    // Puts text into slot n of a file of `lines` lines and checks it.
    int Check(const std::string& text, uint32_t n = 0, uint32_t lines = 3) {
        std::strncpy(g_hex.ihex_ascii_line[n], text.c_str(), kIhexLineSize - 1);
        g_hex.ihex_line_too_long[n] = text.size() >= kIhexLineSize ? 1 : 0;
        g_hex.ihex_line_num = lines;
        return IhexLineCheck(n);
    }
    Bytes Decoded(uint32_t n) {
        return Bytes(g_hex.ihex_hex_line[n], g_hex.ihex_hex_line[n] + g_hex.ihex_hex_len[n]);
    }
};

TEST(HexChars2Value, DigitsOfEitherCaseAndOtherCharactersByTheirCode) {
    EXPECT_EQ(HexChars2Value("1A", 2), 0x1Au);
    EXPECT_EQ(HexChars2Value("fF", 2), 0xFFu);
    EXPECT_EQ(HexChars2Value("7FF0", 4), 0x7FF0u);
    EXPECT_EQ(HexChars2Value("G0", 2), 71u * 16);
}

TEST_F(IhexLineTest, LinesPassOrFailWithTheirOwnMessage) {
    const std::string data16 = hexb::Data(0x0100, hexb::Counting(16, 0x40));
    std::string lower = data16;
    for (char& c : lower) c = static_cast<char>(std::tolower(c));
    std::string bad_digit = data16;
    bad_digit[12] = 'G';
    const std::string crc = "ihex line CRC error, line 1\n\nError: AsciiLine2HexLine() !!!";
    struct Case {
        std::string text;
        int result;
        std::string console;
    };
    const Case cases[] = {
        {data16, 1, ""},
        {lower, 1, ""},
        {bad_digit, 0, crc},
        {"X" + data16.substr(1), 0, "ihex line start error, line 1\n"},
        {data16.substr(0, data16.size() - 2) + "\n", 0, "ihex line end error, line 1\n"},
        {data16.substr(0, data16.size() - 2), 0, "ihex line end error, line 1\n"},
        {"\r\n", 0, "ihex line start error, line 1\n"},
        {":\r\n", 0, "ihex line byte count error, line 1\n\nError: AsciiLine2HexLine() !!!"},
        // A count whose checksum would lie beyond the 64-byte slot.
        {":3B000000\r\n", 0,
         "ihex line byte count error, line 1\n\nError: AsciiLine2HexLine() !!!"},
        {":10" + std::string(62, '0') + "\r\n", 0,
         "ihex line too long (64 characters or more), line 1\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        console.out.clear();
        EXPECT_EQ(Check(c.text), c.result);
        EXPECT_EQ(console.out, c.console);
    }
}

TEST_F(IhexLineTest, DecodesToBinaryRecordWithLineEnd) {
    ASSERT_EQ(Check(hexb::Data(0x0100, hexb::Counting(16, 0x40))), 1);
    Bytes want = {':', 0x10, 0x01, 0x00, 0x00};
    const Bytes data = hexb::Counting(16, 0x40);
    want.insert(want.end(), data.begin(), data.end());
    uint8_t sum = 0;
    for (std::size_t i = 1; i < want.size(); ++i) sum = static_cast<uint8_t>(sum + want[i]);
    want.push_back(static_cast<uint8_t>(-sum));
    want.push_back(0x0D);
    want.push_back(0x0A);
    EXPECT_EQ(Decoded(0), want);
    EXPECT_EQ(g_hex.ihex_hex_len[0], 24);
}

TEST_F(IhexLineTest, BlankLineBehindIsReportedAndDecodedButPasses) {
    const std::string line = hexb::Data(0, {0x11, 0x22});
    ASSERT_EQ(Check(line + "\r\n"), 1);
    EXPECT_EQ(console.out, "ihex line length error, line 1\n");
    const Bytes d = Decoded(0);
    ASSERT_EQ(d.size(), 10u);
    EXPECT_EQ(d[8], 0xDA);  // the CR LF pair read as two digits
    EXPECT_EQ(d[9], 0x0D);
}

TEST_F(IhexLineTest, LastLineMustBeTheUpperCaseEndRecord) {
    EXPECT_EQ(Check(hexb::kEof, 2, 3), 1);
    EXPECT_EQ(Check(":00000001ff\r\n", 2, 3), 0);
    EXPECT_EQ(console.out, "\nError: ihex last line is not ':00000001FF' !!!");
}

TEST_F(IhexLineTest, LineBeforeTheLastMustEndBelowTheFlashEnd) {
    struct Case {
        uint8_t chip;
        uint16_t offset;
        int result;
    };
    const Case cases[] = {{0, 0x7FE0, 1}, {0, 0x7FF0, 0}, {1, 0xFFF0, 1}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.offset);
        console.out.clear();
        g_chip.chip_index = c.chip;
        const std::string line = hexb::Data(c.offset, hexb::Counting(16));
        EXPECT_EQ(Check(line, 1, 3), c.result);
        EXPECT_EQ(Check(line, 0, 3), 1);  // only the line before the last is tested
        EXPECT_EQ(console.out, c.result ? "" : "ihex line address error, line 2 / 3\n" + line);
    }
}

}  // namespace
