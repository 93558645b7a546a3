// The pieces of lumrax's firmware update that need no device: the exit code of each box
// that ends a transfer, the findings of a refused file, the image a read-back is compared
// with, and the progress shown meanwhile.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "cli/update.h"
#include "firmware/chip_table.h"
#include "firmware/hex_file.h"
#include "firmware/page_image.h"
#include "tests/fakes/test_env.h"

#ifndef LRX_FIXTURES
#define LRX_FIXTURES "tests/fixtures"
#endif

namespace {

std::string FileText(std::FILE* f) {
    std::string s;
    std::rewind(f);
    for (int c; (c = std::fgetc(f)) != EOF;) s.push_back(static_cast<char>(c));
    return s;
}

TEST(CliUpdateTest, EveryBoxThatEndsATransferHasItsExitCode) {
    const std::pair<const char*, int> cases[] = {
        {"AVR bootloader Timeout!", cli::kExitTimeout},
        {"AVR bootloader error message!", cli::kExitDevice},
        {"AVR bootloader unknown reply!", cli::kExitDevice},
        {"AVR reports bootloading is finished,\nbut we don't think so!!!\n"
         "lines_sent < ihex_line_num_max_app",
         cli::kExitEndMismatch},
        {"AVR reports bootloading is finished,\nbut WTF???\nlines_sent > ihex_line_num_max_app",
         cli::kExitEndMismatch},
        {"AVR did not report the end of bootloading\nafter the end-of-file line!\n"
         "Nothing more is sent.",
         cli::kExitEndMismatch},
        {"AVR bootloader: no line left to send!", cli::kExitEndMismatch},
        {"Open valid *.hex File!", cli::kExitDevice},
    };
    for (const auto& [text, code] : cases) {
        EXPECT_EQ(cli::TransferBoxCode(cli::MessageBox{text, "Error", 0x10}), code) << text;
    }
}

TEST(CliUpdateTest, TheFindingsOfARefusedFileAreItsOneLine) {
    const std::pair<const char*, const char*> cases[] = {
        {"File Size: 90 Bytes\nNumber of lines read: 2\nihex line length error, line 1\n"
         "ihex line CRC error, line 1\n\nError: AsciiLine2HexLine() !!!\n"
         "Hex File Validity Check: 1 Errors !!!\n",
         "ihex line CRC error, line 1"},
        {"ihex line address error, line 2 / 3\n:107FF000000102030405060708090A0B0C0D0E0F78\r\n"
         "\nHex File Validity Check: 1 Errors !!!\n",
         "ihex line address error, line 2 / 3"},
        {"\nError: ihex last line is not ':00000001FF' !!!\nHex File Validity Check: 1 Errors "
         "!!!\n",
         "Error: ihex last line is not ':00000001FF' !!!"},
        {"\nHex File Validity Check: too many lines: 5798 !!!\nMax. for ATmega328P application "
         "flash: 1793 lines\n",
         "Hex File Validity Check: too many lines: 5798 !!!; Max. for ATmega328P application "
         "flash: 1793 lines"},
        {"Hex File Validity Check: 1 Errors !!!\n", "the check failed"},
    };
    for (const auto& [trace, line] : cases) EXPECT_EQ(cli::CheckFindings(trace), line) << trace;
}

TEST(CliUpdateTest, ReadBackIsComparedOverTheWholeApplicationSection) {
    const std::vector<uint8_t> image = {1, 2, 3, 0xFF, 0xFF};
    struct Case {
        std::vector<uint8_t> device;
        uint32_t count;
        uint32_t first;
    };
    const Case cases[] = {
        {{1, 2, 3, 0xFF, 0xFF}, 0, 0},
        {{1, 2, 3, 0xFF, 0xFF, 0x55, 0x66}, 0, 0},  // the boot section behind is not compared
        {{1, 9, 3, 0xFF, 0x00}, 2, 1},
        {{1, 2, 3, 0xFF, 0x00}, 1, 4},  // erased flash expected behind the image
        {{1, 2, 3}, 2, 3},              // bytes not sent count
        {{}, 5, 0},
    };
    for (const Case& c : cases) {
        const cli::FlashDifference d = cli::CompareFlash(image, c.device);
        EXPECT_EQ(d.count, c.count) << c.device.size();
        EXPECT_EQ(d.first, c.first) << c.device.size();
    }
}

class CliImageTest : public fakes::CoreTest {};

TEST_F(CliImageTest, ExpectedApplicationIsTheFixtureThenErasedFlash) {
    for (uint8_t chip : {uint8_t{0}, uint8_t{1}}) {
        const std::string name = chip == 0 ? "atmega328p_app" : "atmega1284p_app";
        SCOPED_TRACE(name);
        g_chip.chip_index = chip;
        ASSERT_EQ(HexFileRead((std::string(LRX_FIXTURES) + "/" + name + ".hex").c_str()), 1);
        ASSERT_EQ(g_image.hex_file_valid, 1u);
        std::string want = fakes::ScratchDir::Read(std::string(LRX_FIXTURES) + "/" + name + ".ref");
        ASSERT_FALSE(want.empty());
        want.resize(chip_table[chip].app_size, '\xFF');
        const std::vector<uint8_t> app = cli::ExpectedApplication();
        EXPECT_EQ(std::string(app.begin(), app.end()), want);
    }
}

TEST(CliUpdateTest, PlainProgressIsOneLineEveryFivePercent) {
    constexpr uint32_t kTotal = 1269;
    constexpr int64_t kLineNs = int64_t{30} * 1000000;  // three ticks a line: 33.3 lines/s
    std::FILE* out = std::tmpfile();
    std::FILE* err = std::tmpfile();
    ASSERT_TRUE(out != nullptr && err != nullptr);
    cli::Output plain(false, out, err);
    cli::TransferProgress p(plain, false);
    for (uint32_t sent = 0; sent <= kTotal; ++sent) {
        p.Update(sent, kTotal, 1000 + int64_t{sent} * kLineNs);
        p.Update(sent, kTotal, 1000 + int64_t{sent} * kLineNs + 10);  // a tick that sent nothing
    }
    p.Finish();
    std::string want;
    for (uint32_t k = 1; k <= 20; ++k) {
        // The first line count that reaches k twentieths of the total.
        const uint32_t at = (k * kTotal + 19) / 20;
        want += "lumrax: " + std::to_string(k * 5) + " % (" + std::to_string(at) + " / 1269 " +
                "lines), 33.3 lines/s\n";
    }
    EXPECT_EQ(FileText(err), want);
    EXPECT_EQ(FileText(out), "");
    EXPECT_NEAR(p.Seconds(1000 + 1269 * kLineNs), 1268 * 0.03, 1e-9);

    // Passed at once: only the highest step; JSON objects on standard output instead.
    std::FILE* jout = std::tmpfile();
    std::FILE* jerr = std::tmpfile();
    ASSERT_TRUE(jout != nullptr && jerr != nullptr);
    cli::Output json(true, jout, jerr);
    cli::TransferProgress j(json, false);
    j.Update(0, 40, 0);
    j.Update(13, 40, 1000);
    j.Update(40, 40, 2000);
    EXPECT_EQ(FileText(jout),
              "{\"event\":\"progress\",\"percent\":30,\"lines\":13,\"total\":40}\n"
              "{\"event\":\"progress\",\"percent\":100,\"lines\":40,\"total\":40}\n");
    EXPECT_EQ(FileText(jerr), "");
    for (std::FILE* f : {out, err, jout, jerr}) std::fclose(f);
}

TEST(CliUpdateTest, TerminalBarShowsLinesPercentRateAndTimeLeft) {
    struct Case {
        uint32_t sent;
        uint32_t total;
        double rate;
        const char* text;
    };
    const Case cases[] = {
        {0, 1269, 0, "[........................] 0 / 1269 lines    0 %  - lines/s  -:-- left"},
        // 634 lines left at 33.3 lines/s: 19.04 s, shown rounded up.
        {635, 1269, 33.3,
         "[############............] 635 / 1269 lines   50 %  33.3 lines/s  0:20 left"},
        {1269, 5798, 32.0,
         "[#####...................] 1269 / 5798 lines   21 %  32.0 lines/s  2:22 left"},
        {5798, 5798, 33.3,
         "[########################] 5798 / 5798 lines  100 %  33.3 lines/s  0:00 left"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(cli::TransferProgress::BarText(c.sent, c.total, c.rate), c.text);
    }

    // Drawn in place; a message starts on the line below the bar.
    std::FILE* out = std::tmpfile();
    std::FILE* err = std::tmpfile();
    ASSERT_TRUE(out != nullptr && err != nullptr);
    cli::Output o(false, out, err);
    cli::TransferProgress bar(o, true);
    bar.Update(1, 2, 0);
    o.Message("Bootloading finished: AVR reports bootloading is finished!");
    EXPECT_EQ(FileText(err),
              "\r[############............] 1 / 2 lines   50 %  - lines/s  -:-- left\x1b[K\n"
              "lumrax: Bootloading finished: AVR reports bootloading is finished!\n");
    std::fclose(out);
    std::fclose(err);
}

}  // namespace
