#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdio>
#include <string>

#include "app/main_window.h"
#include "boot/boot_commands.h"
#include "firmware/chip_table.h"
#include "firmware/hex_file.h"
#include "firmware/page_image.h"
#include "tests/fakes/test_env.h"
#include "tests/hex_builder.h"

#ifndef LRX_FIXTURES
#define LRX_FIXTURES "tests/fixtures"
#endif

namespace {

using hexb::Bytes;

std::string Str(const Bytes& b) {
    return std::string(b.begin(), b.end());
}

// The .avr image: bytes placed by address, 0xFF elsewhere, pages up to the one after the last
// byte (capped at the application's end).
std::string AvrImage(const Bytes& placed, uint32_t page_size, uint32_t max_pages) {
    uint32_t pages = static_cast<uint32_t>(placed.size()) / page_size + 1;
    if (pages > max_pages) pages = max_pages;
    std::string avr(std::size_t{pages} * page_size, '\xFF');
    for (std::size_t i = 0; i < placed.size() && i < avr.size(); ++i) {
        avr[i] = static_cast<char>(placed[i]);
    }
    return avr;
}

// The .bin records around the pages of an .avr image.
std::string BinImage(const std::string& avr, uint32_t page_size) {
    const uint32_t pages = static_cast<uint32_t>(avr.size() / page_size);
    std::string bin;
    for (uint32_t p = 0; p < pages; ++p) {
        const std::string data = avr.substr(std::size_t{p} * page_size, page_size);
        uint8_t sum = 0;
        for (char c : data) sum = static_cast<uint8_t>(sum + static_cast<uint8_t>(c));
        bin += Str({static_cast<uint8_t>(p), static_cast<uint8_t>(p >> 8),
                    static_cast<uint8_t>(pages - 1), static_cast<uint8_t>((pages - 1) >> 8)});
        bin += data;
        bin += Str({static_cast<uint8_t>(-sum), 0x0D, 0x0A});
    }
    return bin;
}

class HexImageTest : public fakes::CoreTest {
  protected:
    void SetUp() override {
        CoreTest::SetUp();
        bin_dir = dir.path() + "/LUMRAXbin";
        mkdir(bin_dir.c_str(), 0755);
        std::snprintf(g_folders.szBinPath, sizeof g_folders.szBinPath, "%s", bin_dir.c_str());
        page = ui.NewWindow("page");
        g_com.hWndCheckResult = ui.NewWindow("check");
        g_com.hWndHexFileName = ui.NewWindow("name");
        g_com.hWndStatusLeft = ui.NewWindow("status");
        g_com.hWndProgress = ui.NewWindow("progress");
    }
    // Opens the file as the File Open button does, the dialog answering with path.
    void Open(const std::string& path) {
        ui.dialog_answers.push_back(path);
        PageCommand(page, platform::MakeWParam(1064, platform::kBnClicked), nullptr);
    }
    std::string OpenText(const std::string& text, const std::string& name = "motor.hex") {
        const std::string path = dir.Write(name, text);
        Open(path);
        return path;
    }
    std::string Out(const char* ext) { return fakes::ScratchDir::Read(bin_dir + "/motor" + ext); }
    Bytes Sent(uint32_t n) {
        return Bytes(g_hex.ihex_hex_line[n], g_hex.ihex_hex_line[n] + g_hex.ihex_hex_len[n]);
    }

    fakes::ScratchDir dir;
    std::string bin_dir;
    platform::Wnd page = nullptr;
};

TEST_F(HexImageTest, ContiguousFileGivesNumberedPagesAndAnExtraBlankPage) {
    // 100 lines of 16 bytes fill 25 pages of the ATmega328P exactly.
    const Bytes image = hexb::Counting(1600, 7);
    const std::string path = OpenText(hexb::Contiguous(image));

    const std::string avr = AvrImage(image, 64, 448);
    ASSERT_EQ(avr.size(), 1664u);
    EXPECT_EQ(Out(".avr"), avr);
    const std::string bin = Out(".bin");
    EXPECT_EQ(bin, BinImage(avr, 64));
    ASSERT_EQ(bin.size(), 26u * 71);
    EXPECT_EQ(static_cast<uint8_t>(bin[25 * 71 + 68]), 0x40);  // 64 bytes of 0xFF
    EXPECT_EQ(g_image.ihex_line_num_max_app, 101u);            // the end record is streamed too
    EXPECT_EQ(g_image.hex_file_valid, 1u);
    EXPECT_EQ(g_hex.hex_file_open, 1u);
    EXPECT_EQ(ui.Text(g_com.hWndCheckResult), "Check: OK");
    EXPECT_EQ(ui.Text(g_com.hWndHexFileName), "motor.hex");
    EXPECT_EQ(ui.Text(g_com.hWndStatusLeft), path);
    EXPECT_EQ(ui.Text(g_com.hWndProgress), "lines: 0 / 101");
    EXPECT_EQ(console.out.rfind("WM_BUTTON_BOOT_FOPEN\n" + path + "\r\nFile Size: ", 0), 0u);
    EXPECT_NE(console.out.find("\nEOF found!\nFinished in line 100\n"), std::string::npos);
    EXPECT_NE(console.out.find("Start *.bin / *.avr file writing...\n\nHex File Check: Okay!\n"
                               "Number of lines - app: 101\n"),
              std::string::npos);
}

TEST_F(HexImageTest, DataIsPlacedByAddress) {
    struct Case {
        const char* what;
        uint8_t chip;
        std::string text;
        Bytes placed;  // from address 0
    };
    Bytes gap(48, 0xFF);
    for (int i = 0; i < 16; ++i) gap[i] = gap[32 + i] = static_cast<uint8_t>(i);
    Bytes high(0x10010, 0xFF);
    for (int i = 0; i < 16; ++i) high[0x10000 + i] = static_cast<uint8_t>(i);
    const Bytes first = hexb::Counting(16);
    const Case cases[] = {
        {"gap filled with 0xFF", 0, hexb::Data(0, first) + hexb::Data(32, first) + hexb::kEof, gap},
        {"segment 0 first", 0, hexb::Segment(0) + hexb::Data(0, first) + hexb::kEof, first},
        {"segment 0x1000", 1, hexb::Segment(0x1000) + hexb::Data(0, first) + hexb::kEof, high},
        {"linear 1", 1, hexb::Linear(1) + hexb::Data(0, first) + hexb::kEof, high},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        g_chip.chip_index = c.chip;
        OpenText(c.text);
        const ChipRow& chip = chip_table[c.chip];
        EXPECT_EQ(g_image.hex_file_valid, 1u);
        EXPECT_EQ(Out(".avr"), AvrImage(c.placed, chip.page_size, chip.max_pages));
    }
}

TEST_F(HexImageTest, FixturesGiveTheirReferenceImage) {
    struct Case {
        const char* name;
        uint8_t chip;
    };
    for (const Case& c : {Case{"atmega328p_app", 0}, Case{"atmega1284p_app", 1}}) {
        SCOPED_TRACE(c.name);
        g_chip.chip_index = c.chip;
        Open(std::string(LRX_FIXTURES) + "/" + c.name + ".hex");
        const std::string ref =
            fakes::ScratchDir::Read(std::string(LRX_FIXTURES) + "/" + c.name + ".ref");
        ASSERT_FALSE(ref.empty());
        const ChipRow& chip = chip_table[c.chip];
        const std::string avr = fakes::ScratchDir::Read(bin_dir + "/" + c.name + ".avr");
        EXPECT_EQ(avr, AvrImage(Bytes(ref.begin(), ref.end()), chip.page_size, chip.max_pages));
        EXPECT_EQ(fakes::ScratchDir::Read(bin_dir + "/" + c.name + ".bin"),
                  BinImage(avr, chip.page_size));
        EXPECT_EQ(g_image.image_files_written, 1u);
    }
}

TEST_F(HexImageTest, DataInTheBootloaderSectionEndsTheApplication) {
    const Bytes data = hexb::Counting(16);
    OpenText(hexb::Data(0, data) + hexb::Data(0x10, data) + hexb::Data(0x7000, data) +
             hexb::Data(0x7010, data) + hexb::kEof);
    EXPECT_EQ(g_image.hex_file_valid, 1u);
    EXPECT_EQ(g_image.ihex_line_eof, 2u);
    EXPECT_EQ(Sent(2), Bytes({':', 0, 0, 0, 1, 0xFF, 0x0D, 0x0A}));
    Bytes two = data;
    two.insert(two.end(), data.begin(), data.end());
    EXPECT_EQ(Out(".avr"), AvrImage(two, 64, 448));
    EXPECT_NE(console.out.find("new last line:\nihex_line_num_max_app = 3\nihex_hex_len[2] = 8\n"
                               ":00000001FF\r\n" +
                               std::string(56, '\0') +
                               "\nBootloader section found!\nFinished in line 2\n"),
              std::string::npos);
}

TEST_F(HexImageTest, LineCountLimitIsTheApplicationPlusTheEndRecord) {
    // 1792 lines of 16 bytes fill the ATmega328P's application section exactly.
    const Bytes full = hexb::Counting(0x7000);
    OpenText(hexb::Contiguous(full));
    EXPECT_EQ(g_image.hex_file_valid, 1u);
    EXPECT_EQ(Out(".avr").size(), 0x7000u);  // never a page beyond the application

    Bytes more = full;
    more.resize(0x7000 + 16, 0x55);
    console.out.clear();
    OpenText(hexb::Contiguous(more));
    EXPECT_EQ(g_image.hex_file_valid, 0u);
    EXPECT_EQ(ui.Text(g_com.hWndCheckResult), "Check: ERR!");
    EXPECT_NE(console.out.find("\nHex File Validity Check: too many lines: 1794 !!!\n"
                               "Max. for ATmega328P application flash: 1793 lines\n"),
              std::string::npos);
}

TEST_F(HexImageTest, BadFilesFailTheCheckWithoutWritingImages) {
    const std::string data = hexb::Data(0, hexb::Counting(16));
    std::string many;
    for (int i = 0; i < 8193; ++i) many += ":0000000000\r\n";
    struct Case {
        const char* what;
        uint8_t chip;
        std::string text;
        std::string message;
    };
    const Case cases[] = {
        {"empty", 0, "",
         "File Size: 0 Bytes\nNumber of lines read: 1\nihex line start error, line 1\n"},
        {"LF line ends", 0, ":00000001FF\n", "ihex line end error, line 1\n"},
        {"more lines than the table", 1, many,
         "ihex line count error, line 8193: at most 8192 lines can be read\n"},
        {"line across the bootloader", 0, hexb::Data(0x6FF8, hexb::Counting(16)) + hexb::kEof,
         "\nihex line 1: data 0x06FF8..0x07007 runs past the application section (0x07000 "
         "bytes)\n"},
        {"short extended record", 1, hexb::Record(0x02, 0, {0x10}) + data + hexb::kEof,
         "\nihex line 1: an extended address record holds 2 bytes, not 1\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        console.out.clear();
        g_chip.chip_index = c.chip;
        OpenText(c.text, std::string(c.what) + ".hex");
        EXPECT_EQ(g_image.hex_file_valid, 0u);
        EXPECT_NE(console.out.find(c.message), std::string::npos);
        EXPECT_NE(console.out.find(
                      "\nHex File Validity Check: 1 Errors !!!\n\nHex File Check: ERROR !!!\n"),
                  std::string::npos);
        EXPECT_EQ(fakes::ScratchDir::Read(bin_dir + "/" + c.what + ".bin"), "");
    }
}

TEST_F(HexImageTest, UnreadableOrOversizedFileLeavesTheLoadedOneInPlace) {
    const std::string good = OpenText(hexb::Contiguous(hexb::Counting(40)));
    ASSERT_EQ(g_image.hex_file_valid, 1u);
    const std::string big = dir.Write("big.hex", std::string(kHexFileMaxBytes + 1, ':'));
    struct Case {
        std::string path;
        std::string box;
    };
    const Case cases[] = {
        {dir.path() + "/missing.hex", "The file cannot be opened:\n" + dir.path() + "/missing.hex"},
        {big, "The file is too large (483904 bytes): a valid hex file has at most 483903 bytes:\n" +
                  big},
    };
    for (const Case& c : cases) {
        ui.boxes.clear();
        Open(c.path);
        ASSERT_EQ(ui.boxes.size(), 1u);
        EXPECT_EQ(ui.boxes[0].text, c.box);
        EXPECT_EQ(ui.boxes[0].flags, platform::kMbIconError);
        EXPECT_EQ(g_image.hex_file_valid, 1u);
        EXPECT_EQ(std::string(g_hex.szHexFilePath), good);
        EXPECT_EQ(g_hex.ihex_line_num, 4u);
    }
}

TEST_F(HexImageTest, WithoutImageFilesTheLinesAreStillCutAtTheApplicationEnd) {
    std::snprintf(g_folders.szBinPath, sizeof g_folders.szBinPath, "%s/none", dir.path().c_str());
    const Bytes data = hexb::Counting(16);
    OpenText(hexb::Data(0, data) + hexb::Data(0x7000, data) + hexb::kEof);
    EXPECT_EQ(g_image.hex_file_valid, 1u);
    EXPECT_EQ(g_image.image_files_written, 0u);
    EXPECT_EQ(g_image.ihex_line_eof, 1u);
    EXPECT_EQ(g_hex.ihex_hex_len[1], 8u);
    EXPECT_NE(
        console.out.find("AVRbin file creation ERROR!\npAVRbinFile = 0x0\npFlashImageFile = 0x0\n"),
        std::string::npos);
    EXPECT_NE(console.out.find("Image files not written; the lines to send end at line 2\n"),
              std::string::npos);
}

TEST_F(HexImageTest, FileCheckButtonAndChipChoice) {
    g_com.hWndChipSelect = ui.NewWindow("chips");
    auto check = [&] {
        PageCommand(page, platform::MakeWParam(1065, platform::kBnClicked), nullptr);
    };
    check();
    ASSERT_EQ(ui.boxes.size(), 1u);
    EXPECT_EQ(ui.boxes[0].text, "Open *.hex file first!");
    EXPECT_EQ(ui.boxes[0].flags, platform::kMbIconWarning);

    // A file good for the ATmega1284P only: its line before the last ends at 0x8000.
    OpenText(hexb::Data(0x7FF0, hexb::Counting(16)) + hexb::kEof);
    EXPECT_EQ(g_image.hex_file_valid, 0u);
    console.out.clear();
    ui.controls[g_com.hWndChipSelect].selection = 1;
    PageCommand(page, platform::MakeWParam(1069, platform::kCbnSelEndOk), nullptr);
    EXPECT_EQ(console.out,
              "Selected Chip: 1\nATmega1284P\nflash size: 0x20000 bytes; application size: "
              "0x1E000 bytes\npage size: 128 bytes; maximum number of pages: 960\n"
              "max lines in hex file: 7681; page size: 128\n");
    EXPECT_EQ(g_image.hex_file_valid, 0u);  // nothing changes before the next check
    check();
    EXPECT_EQ(g_image.hex_file_valid, 1u);
    EXPECT_EQ(ui.boxes.back().text, "*.hex file valid!");
    EXPECT_EQ(ui.boxes.back().caption, "Okay");

    console.out.clear();
    ui.controls[g_com.hWndChipSelect].selection = -1;
    PageCommand(page, platform::MakeWParam(1069, platform::kCbnSelEndOk), nullptr);
    EXPECT_EQ(console.out.rfind("Chip selection ERROR!\nSelected Chip: 0\n", 0), 0u);
    check();
    EXPECT_EQ(ui.boxes.back().text, "*.hex file Error!!!");
    EXPECT_EQ(ui.boxes.back().flags, platform::kMbIconError);
}

TEST_F(HexImageTest, MenuOpenUsesTheMainWindowAndCancelChangesNothing) {
    const platform::Wnd main = ui.NewWindow("main");
    MainWindowCommand(main, IDM_OPEN);  // no answer queued: cancelled
    EXPECT_EQ(ui.dialog_owners, std::vector<platform::Wnd>{main});
    EXPECT_EQ(console.out, "IDM_OPEN\n");
    EXPECT_EQ(g_hex.hex_file_open, 0u);
    EXPECT_EQ(ui.Text(g_com.hWndProgress), "");
}

TEST_F(HexImageTest, FileCheckRefusesAFileThatChangedSinceFileOpen) {
    const std::string good = hexb::Contiguous(hexb::Counting(40));
    std::string broken = good;
    broken[10] = broken[10] == '0' ? '1' : '0';  // a data digit: the line's checksum fails
    struct Case {
        const char* what;
        const char* now_on_disk;  // nullptr: the file is gone
        bool refused;
    } const cases[] = {
        {"rewritten with the same bytes", good.c_str(), false},
        {"replaced by a broken file", broken.c_str(), true},
        {"removed", nullptr, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string path = OpenText(good);
        ASSERT_EQ(g_image.hex_file_valid, 1u);
        if (c.now_on_disk != nullptr) {
            dir.Write("motor.hex", c.now_on_disk);
        } else {
            std::remove(path.c_str());
        }
        const std::size_t boxes = ui.boxes.size();
        console.out.clear();
        PageCommand(page, platform::MakeWParam(1065, platform::kBnClicked), nullptr);
        ASSERT_EQ(ui.boxes.size(), boxes + 1);
        if (!c.refused) {
            EXPECT_EQ(ui.boxes.back().text, "*.hex file valid!");
            EXPECT_EQ(g_image.hex_file_valid, 1u);
            continue;
        }
        EXPECT_EQ(ui.boxes.back().text, "*.hex file changed since File Open!\n" + path +
                                            "\nOpen it again to read and check it.");
        EXPECT_EQ(ui.boxes.back().flags, platform::kMbIconError);
        EXPECT_EQ(g_image.hex_file_valid, 0u);
        EXPECT_EQ(ui.Text(g_com.hWndCheckResult), "Check: ERR!");
        EXPECT_NE(console.out.find("Error: the hex file has changed since File Open!\n"),
                  std::string::npos);
        EXPECT_EQ(console.out.find("Hex File Validity Check"), std::string::npos);
    }
}

}  // namespace
