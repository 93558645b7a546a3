// Intel HEX files: each line's check and decoding, the page images, where the application
// ends, and the File Open, File Check and chip buttons.

#include <cctype>
#include <fstream>

#include "tests/fakes/test_env.h"
#include "tests/hex_builder.h"

namespace {

using hexb::Bytes;

// The .avr image: bytes placed by address, 0xFF elsewhere, pages up to the one after the last
// byte (capped at the application's end).
std::string AvrImage(const Bytes& placed, const ChipRow& chip) {
    uint32_t pages = static_cast<uint32_t>(placed.size()) / chip.page_size + 1;
    if (pages > chip.max_pages) pages = chip.max_pages;
    std::string avr(std::size_t{pages} * chip.page_size, '\xFF');
    for (std::size_t i = 0; i < placed.size() && i < avr.size(); ++i)
        avr[i] = static_cast<char>(placed[i]);
    return avr;
}

// The .bin records around the pages of an .avr image: page number and last page number
// (little endian), the page, the byte that makes the page's sum 0, CR LF.
std::string BinImage(const std::string& avr, uint32_t page_size) {
    const uint32_t pages = static_cast<uint32_t>(avr.size() / page_size);
    std::string bin;
    for (uint32_t p = 0; p < pages; ++p) {
        const std::string data = avr.substr(std::size_t{p} * page_size, page_size);
        uint8_t sum = 0;
        for (char c : data) sum = static_cast<uint8_t>(sum + static_cast<uint8_t>(c));
        const char head[] = {static_cast<char>(p), static_cast<char>(p >> 8),
                             static_cast<char>(pages - 1), static_cast<char>((pages - 1) >> 8)};
        bin += std::string(head, 4) + data + static_cast<char>(-sum) + "\r\n";
    }
    return bin;
}

class FirmwareTest : public fakes::CoreTest {
  protected:
    void SetUp() override {
        CoreTest::SetUp();
        std::snprintf(g_folders.szBinPath, sizeof g_folders.szBinPath, "%s", dir.path().c_str());
        CreateComPageControls(page);
    }
    // Puts text into slot n of a file of `lines` lines and checks it.
    int Check(const std::string& text, uint32_t n = 0, uint32_t lines = 3) {
        std::strncpy(g_hex.ihex_ascii_line[n], text.c_str(), kIhexLineSize - 1);
        g_hex.ihex_line_too_long[n] = text.size() >= kIhexLineSize ? 1 : 0;
        g_hex.ihex_line_num = lines;
        return IhexLineCheck(n);
    }
    // Opens the file as the File Open button does, the dialog answering with path.
    void Open(const std::string& path) {
        ui.dialog_answers.push_back(path);
        Command(1064);
    }
    std::string OpenText(const std::string& text, const std::string& name = "motor.hex") {
        const std::string path = dir.Write(name, text);
        Open(path);
        return path;
    }
    std::string Out(const std::string& name) {
        return fakes::ScratchDir::Read(dir.path() + "/" + name);
    }

    fakes::ScratchDir dir;
};

TEST_F(FirmwareTest, LinesPassOrFailWithTheirOwnMessage) {
    const std::string data16 = hexb::Data(0x0100, hexb::Counting(16, 0x40));
    std::string lower = data16, bad_digit = data16;
    for (char& c : lower) c = static_cast<char>(std::tolower(c));
    bad_digit[12] = 'G';
    const std::string call = ", line 1\n\nError: AsciiLine2HexLine() !!!";
    const std::string line_7ff0 = hexb::Data(0x7FF0, hexb::Counting(16));
    struct Case {
        std::string text;
        int result;
        std::string console;
        uint32_t n = 0, lines = 3;
        uint8_t chip = 0;
    };
    const Case cases[] = {
        {data16, 1, ""},
        {lower, 1, ""},
        {bad_digit, 0, "ihex line CRC error" + call},
        {"X" + data16.substr(1), 0, "ihex line start error, line 1\n"},
        {data16.substr(0, data16.size() - 2) + "\n", 0, "ihex line end error, line 1\n"},
        {":3B000000\r\n", 0, "ihex line byte count error" + call},  // its sum lies past the slot
        {":10" + std::string(62, '0') + "\r\n", 0,
         "ihex line too long (64 characters or more), line 1\n"},
        // Text behind the record, or a record shorter than its count says: never sent.
        {hexb::Data(0, {0x11, 0x22}) + "\r\n", 0, "ihex line length error" + call},
        {":3A" + data16.substr(3), 0, "ihex line length error" + call},
        // 25 bytes make the longest line a slot holds: 63 characters.
        {hexb::Data(0, hexb::Counting(25)), 1, ""},
        {hexb::Data(0, hexb::Counting(25)).insert(61, "0"), 0,
         "ihex line too long (64 characters or more), line 1\n"},
        // The last line is the end record in upper case.
        {hexb::kEof, 1, "", 2},
        {":00000001ff\r\n", 0, "\nError: ihex last line is not ':00000001FF' !!!", 2},
        // The line before the last must end below the flash's end; only that one.
        {hexb::Data(0x7FE0, hexb::Counting(16)), 1, "", 1},
        {line_7ff0, 0, "ihex line address error, line 2 / 3\n" + line_7ff0, 1},
        {line_7ff0, 1, "", 0},
        {hexb::Data(0xFFF0, hexb::Counting(16)), 1, "", 1, 3, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        console.out.clear();
        g_chip.chip_index = c.chip;
        EXPECT_EQ(Check(c.text, c.n, c.lines), c.result);
        EXPECT_EQ(console.out, c.console);
    }
}

// Each file gives its page images, placed by address; the fixtures give their reference.
TEST_F(FirmwareTest, FilesGiveNumberedPagesWithChecksums) {
    const Bytes first = hexb::Counting(16);
    Bytes gap(48, 0xFF), high(0x10010, 0xFF);
    for (int i = 0; i < 16; ++i) gap[i] = gap[32 + i] = high[0x10000 + i] = first[i];
    const std::string ref328 = fakes::ScratchDir::Read(LRX_FIXTURES "/atmega328p_app.ref");
    const std::string ref1284 = fakes::ScratchDir::Read(LRX_FIXTURES "/atmega1284p_app.ref");
    ASSERT_FALSE(ref328.empty() || ref1284.empty());
    // The chip, a file's text or the name of a fixture, the bytes placed from address 0, and
    // the lines sent to the device: to the end record.
    const Bytes full_pages = hexb::Counting(1600, 7);  // 25 pages of 64: one blank page more
    const std::tuple<uint8_t, std::string, Bytes, uint32_t> cases[] = {
        {0, hexb::Contiguous(full_pages), full_pages, 101},
        {0, hexb::Data(0, first) + hexb::Data(32, first) + hexb::kEof, gap, 3},
        {0, hexb::Record(0x02, 0, {0, 0}) + hexb::Data(0, first) + hexb::kEof, first, 3},
        {1, hexb::Record(0x02, 0, {0x10, 0}) + hexb::Data(0, first) + hexb::kEof, high, 3},
        {1, hexb::Record(0x04, 0, {0, 1}) + hexb::Data(0, first) + hexb::kEof, high, 3},
        {0, "atmega328p_app", Bytes(ref328.begin(), ref328.end()), 1269},
        {1, "atmega1284p_app", Bytes(ref1284.begin(), ref1284.end()), 5798},
    };
    for (const auto& [chip, text, placed, lines] : cases) {
        SCOPED_TRACE(text.substr(0, 40));
        g_chip.chip_index = chip;
        const bool fixture = text[0] != ':';
        const std::string name = fixture ? text : "motor";
        const std::string path =
            fixture ? LRX_FIXTURES "/" + text + ".hex" : dir.Write("motor.hex", text);
        console.out.clear();
        Open(path);
        const std::string avr = AvrImage(placed, chip_table[chip]);
        const std::string n = std::to_string(lines);
        EXPECT_EQ(Out(name + ".avr"), avr);
        EXPECT_EQ(Out(name + ".bin"), BinImage(avr, chip_table[chip].page_size));
        EXPECT_EQ(g_image.ihex_line_num_max_app, lines);  // the end record is streamed too
        EXPECT_EQ(ui.Text(g_com.hWndCheckResult) + "|" + ui.Text(g_com.hWndHexFileName) + "|" +
                      ui.Text(g_com.hWndStatusLeft) + "|" + ui.Text(g_com.hWndProgress),
                  "Check: OK|" + name + ".hex|" + path + "|lines: 0 / " + n);
        EXPECT_EQ(console.out.rfind("WM_BUTTON_BOOT_FOPEN\n" + path + "\r\nFile Size: ", 0), 0u);
        EXPECT_NE(console.out.find("Finished in line " + std::to_string(lines - 1) +
                                   "\nStart *.bin / *.avr file writing...\n\nHex File Check: "
                                   "Okay!\nNumber of lines - app: " +
                                   n + "\n"),
                  std::string::npos);
    }
}

// The application ends where data for the bootloader section begins, or where the file
// ends; its lines may fill the section, never more.
TEST_F(FirmwareTest, TheApplicationEndsBeforeTheBootloaderSection) {
    const Bytes data = hexb::Counting(16);
    Bytes two = data;
    two.insert(two.end(), data.begin(), data.end());
    OpenText(hexb::Data(0, data) + hexb::Data(0x10, data) + hexb::Data(0x7000, data) +
             hexb::Data(0x7010, data) + hexb::kEof);
    EXPECT_EQ(g_image.hex_file_valid, 1u);
    EXPECT_EQ(g_image.ihex_line_eof, 2u);
    EXPECT_EQ(Bytes(g_hex.ihex_hex_line[2], g_hex.ihex_hex_line[2] + g_hex.ihex_hex_len[2]),
              Bytes({':', 0, 0, 0, 1, 0xFF, 0x0D, 0x0A}));
    EXPECT_EQ(Out("motor.avr"), AvrImage(two, chip_table[0]));
    EXPECT_NE(console.out.find("new last line:\nihex_line_num_max_app = 3\nihex_hex_len[2] = 8\n"
                               ":00000001FF\r\n" +
                               std::string(56, '\0') +
                               "\nBootloader section found!\nFinished in line 2\n"),
              std::string::npos);

    // 1792 lines of 16 bytes fill the ATmega328P's application section exactly.
    Bytes full = hexb::Counting(0x7000);
    OpenText(hexb::Contiguous(full));
    EXPECT_EQ(g_image.hex_file_valid, 1u);
    EXPECT_EQ(Out("motor.avr").size(), 0x7000u);  // never a page beyond the application
    full.resize(0x7000 + 16, 0x55);
    console.out.clear();
    OpenText(hexb::Contiguous(full));
    EXPECT_EQ(g_image.hex_file_valid, 0u);
    EXPECT_EQ(ui.Text(g_com.hWndCheckResult), "Check: ERR!");
    EXPECT_NE(console.out.find("\nHex File Validity Check: too many lines: 1794 !!!\n"
                               "Max. for ATmega328P application flash: 1793 lines\n"),
              std::string::npos);

    // Without image files the lines are still cut at the application's end.
    std::snprintf(g_folders.szBinPath, sizeof g_folders.szBinPath, "%s/none", dir.path().c_str());
    console.out.clear();
    OpenText(hexb::Data(0, data) + hexb::Data(0x7000, data) + hexb::kEof);
    EXPECT_EQ(g_image.hex_file_valid, 1u);
    EXPECT_EQ(g_image.image_files_written, 0u);
    EXPECT_EQ(g_image.ihex_line_eof, 1u);
    EXPECT_EQ(g_hex.ihex_hex_len[1], 8u);
    EXPECT_NE(console.out.find("Image files not written; the lines to send end at line 2\n"),
              std::string::npos);
}

// What goes on the wire for a file: each streamed record's bytes, as the bootloading step
// sends them.
std::string Streamed() {
    std::string wire;
    for (uint32_t n = 0; n < g_image.ihex_line_num_max_app; ++n)
        wire.append(reinterpret_cast<const char*>(g_hex.ihex_hex_line[n]), g_hex.ihex_hex_len[n]);
    return wire;
}

// The records of a well-formed file as bytes: ':', the pairs decoded, CR LF.
std::string Records(const std::string& text) {
    std::string wire;
    for (std::size_t at = 0; (at = text.find(':', at)) != std::string::npos;) {
        const std::size_t end = text.find('\r', at);
        wire += ':';
        for (std::size_t k = at + 1; k + 1 < end; k += 2)
            wire += static_cast<char>(std::stoi(text.substr(k, 2), nullptr, 16));
        wire += "\r\n";
        at = end;
    }
    return wire;
}

// Files a toolchain would not write, or a person edited: blank lines are no records; text
// behind a record, a count that does not match, or application data behind the end of the
// application fail with the line that holds it.
TEST_F(FirmwareTest, OnlyWholeRecordsOfTheApplicationGoOnTheWire) {
    const std::string a = hexb::Data(0, hexb::Counting(16));
    const std::string b = hexb::Data(16, hexb::Counting(16, 16));
    const std::string boot = hexb::Data(0x7000, hexb::Counting(16, 0x70));
    const std::string fail = "\nHex File Validity Check: 1 Errors !!!\n";
    const std::string length = "ihex line length error, line 2\n\nError: AsciiLine2HexLine() !!!";
    // The file, what the check says last, the records sent ("" when refused).
    const std::tuple<std::string, std::string, std::string> cases[] = {
        {"\r\n" + a + "\r\n\r\n" + b + "\n" + hexb::kEof + "\r\n", "Check: OK",
         Records(a + b + hexb::kEof)},
        {"junk" + a + b + hexb::kEof, "Check: OK", Records(a + b + hexb::kEof)},
        {a + b.substr(0, b.size() - 2) + "00\r\n" + hexb::kEof, length + fail, ""},
        {a + b + "x\r\n" + hexb::kEof, length + fail, ""},
        {a + b + hexb::kEof + " ", "ihex line end error, line 3\n" + fail, ""},
        {boot + a + b + hexb::kEof,
         "\nihex line 2: application data at 0x00000 after the application's end in line 1\n" +
             fail,
         ""},
        {a + hexb::kEof + b + hexb::kEof,
         "\nihex line 3: application data at 0x00010 after the application's end in line 2\n" +
             fail,
         ""},
        // In address order the bootloader's lines are cut, and the end record takes their place.
        {a + b + boot + hexb::kEof, "Check: OK", Records(a + b + hexb::kEof)},
    };
    for (const auto& [text, said, wire] : cases) {
        SCOPED_TRACE(text);
        console.out.clear();
        OpenText(text);
        const bool ok = said == "Check: OK";
        EXPECT_EQ(g_image.hex_file_valid, ok ? 1u : 0u);
        if (ok) {
            EXPECT_EQ(Streamed(), wire);
            EXPECT_EQ(console.out.find("error"), std::string::npos);
        } else {
            EXPECT_NE(console.out.find(said + "\nHex File Check: ERROR !!!\n"), std::string::npos);
        }
    }
}

// On POSIX only '/' separates folders; the images take the rest of the name.
TEST_F(FirmwareTest, ImageFilesAreNamedAfterTheWholeFileName) {
    const std::string file = hexb::Contiguous(hexb::Counting(20));
    for (const std::string name : {"fw:v2.hex", "a\\b.hex"}) {
        SCOPED_TRACE(name);
        OpenText(file, name);
        const std::string stem = name.substr(0, name.size() - 4);
        EXPECT_EQ(ui.Text(g_com.hWndHexFileName), name);
        EXPECT_EQ(std::string(g_image.szAVRbinPath), dir.path() + "/" + stem + ".bin");
        EXPECT_EQ(Out(stem + ".avr"), AvrImage(hexb::Counting(20), chip_table[0]));
    }
}

// The images of the last check stay whole until both new ones are written, and a file of the
// temporary's name that was there is left alone.
TEST_F(FirmwareTest, ImagesAreReplacedOnlyWhenComplete) {
    OpenText(hexb::Contiguous(hexb::Counting(20)));
    const std::string bin = Out("motor.bin"), avr = Out("motor.avr");
    const std::string theirs = dir.Write("motor.bin.tmp", "somebody's");
    system.replace_fails = true;
    console.out.clear();
    OpenText(hexb::Contiguous(hexb::Counting(90)));
    EXPECT_NE(console.out.find("AVRbin file write ERROR!\n"), std::string::npos);
    EXPECT_EQ(g_image.image_files_written, 0u);
    EXPECT_EQ(Out("motor.bin") + Out("motor.avr"), bin + avr);
    EXPECT_EQ(Out("motor.bin.tmp"), "somebody's");
    EXPECT_FALSE(std::ifstream(dir.path() + "/motor.bin.tmp1").good());
    EXPECT_FALSE(std::ifstream(dir.path() + "/motor.avr.tmp").good());
    system.replace_fails = false;
    OpenText(hexb::Contiguous(hexb::Counting(90)));
    EXPECT_EQ(Out("motor.avr"), AvrImage(hexb::Counting(90), chip_table[0]));
    EXPECT_EQ(Out("motor.bin.tmp"), "somebody's");
}

TEST_F(FirmwareTest, BadFilesFailTheCheckWithoutWritingImages) {
    std::string many;
    for (int i = 0; i < 8193; ++i) many += ":0000000000\r\n";
    const std::tuple<const char*, uint8_t, std::string, std::string> cases[] = {
        {"empty", 0, "",
         "File Size: 0 Bytes\nNumber of lines read: 1\nihex line start error, line 1\n"},
        {"more lines than the table", 1, many,
         "ihex line count error, line 8193: at most 8192 lines can be read\n"},
        {"line across the bootloader", 0, hexb::Data(0x6FF8, hexb::Counting(16)) + hexb::kEof,
         "\nihex line 1: data 0x06FF8..0x07007 runs past the application section (0x07000 "
         "bytes)\n"},
        {"short extended record", 1,
         hexb::Record(0x02, 0, {0x10}) + hexb::Data(0, hexb::Counting(16)) + hexb::kEof,
         "\nihex line 1: an extended address record holds 2 bytes, not 1\n"},
    };
    for (const auto& [what, chip, text, message] : cases) {
        SCOPED_TRACE(what);
        console.out.clear();
        g_chip.chip_index = chip;
        OpenText(text, std::string(what) + ".hex");
        EXPECT_EQ(g_image.hex_file_valid, 0u);
        EXPECT_NE(console.out.find(message), std::string::npos);
        EXPECT_NE(console.out.find(
                      "\nHex File Validity Check: 1 Errors !!!\n\nHex File Check: ERROR !!!\n"),
                  std::string::npos);
        EXPECT_EQ(Out(std::string(what) + ".bin"), "");
    }
}

// A file that cannot be read leaves the loaded one in place. The largest file read is one
// of 7681 lines of 63 characters, the most a valid image can have.
TEST_F(FirmwareTest, UnreadableOrOversizedFileLeavesTheLoadedOneInPlace) {
    std::string largest(kHexFileMaxBytes, 'x');
    largest[0] = ':';
    OpenText(largest);
    EXPECT_TRUE(ui.boxes.empty());
    EXPECT_EQ(g_hex.hex_file_open, 1u);  // read, and refused by the check

    const std::string good = OpenText(hexb::Contiguous(hexb::Counting(40)), "good.hex");
    ASSERT_EQ(g_image.hex_file_valid, 1u);
    const std::string big = dir.Write("big.hex", largest + ":");
    const std::string missing = dir.path() + "/missing.hex";
    for (const std::string& path : {missing, big, dir.path()}) {
        ui.boxes.clear();
        Open(path);
        const std::string why = path == missing ? "The file cannot be opened:\n"
                                : path == big   ? "The file is too large (483904 bytes): a valid "
                                                  "hex file has at most 483903 bytes:\n"
                                                : "This is a folder, not a file:\n";
        EXPECT_EQ(Boxes(), Strings{"Error|" + why + path + "|16"});
        EXPECT_EQ(g_image.hex_file_valid, 1u);
        EXPECT_EQ(std::string(g_hex.szHexFilePath), good);
        EXPECT_EQ(g_hex.ihex_line_num, 4u);
    }

    // The menu's Open uses the main window; a cancelled dialog changes nothing.
    const platform::Wnd main = ui.NewWindow("main");
    console.out.clear();
    MainWindowCommand(main, IDM_OPEN);
    EXPECT_EQ(ui.dialog_owners.back(), main);
    EXPECT_EQ(console.out, "IDM_OPEN\n");
    EXPECT_EQ(std::string(g_hex.szHexFilePath), good);
}

TEST_F(FirmwareTest, FileCheckButtonAndChipChoice) {
    Command(1065);
    EXPECT_EQ(Boxes(), Strings{"Error|Open *.hex file first!|48"});

    // A file good for the ATmega1284P only: its line before the last ends at 0x8000.
    OpenText(hexb::Data(0x7FF0, hexb::Counting(16)) + hexb::kEof);
    EXPECT_EQ(g_image.hex_file_valid, 0u);
    console.out.clear();
    ui.controls[g_com.hWndChipSelect].selection = 1;
    Command(1069, platform::kCbnSelEndOk);
    EXPECT_EQ(console.out,
              "Selected Chip: 1\nATmega1284P\nflash size: 0x20000 bytes; application size: "
              "0x1E000 bytes\npage size: 128 bytes; maximum number of pages: 960\n"
              "max lines in hex file: 7681; page size: 128\n");
    EXPECT_EQ(g_image.hex_file_valid, 0u);  // nothing changes before the next check
    Command(1065);
    EXPECT_EQ(g_image.hex_file_valid, 1u);
    EXPECT_EQ(ui.boxes.back().caption + "|" + ui.boxes.back().text, "Okay|*.hex file valid!");

    console.out.clear();
    ui.controls[g_com.hWndChipSelect].selection = -1;
    Command(1069, platform::kCbnSelEndOk);
    EXPECT_EQ(console.out.rfind("Chip selection ERROR!\nSelected Chip: 0\n", 0), 0u);
    Command(1065);
    EXPECT_EQ(ui.boxes.back().text, "*.hex file Error!!!");
    EXPECT_EQ(ui.boxes.back().flags, platform::kMbIconError);
}

TEST_F(FirmwareTest, FileCheckRefusesAFileThatChangedSinceFileOpen) {
    const std::string good = hexb::Contiguous(hexb::Counting(40));
    std::string broken = good;
    broken[10] = broken[10] == '0' ? '1' : '0';  // a data digit: the line's checksum fails
    // What is on disk at File Check; "" stands for a removed file.
    for (const std::string& now : {good, broken, std::string()}) {
        const std::string path = OpenText(good);
        ASSERT_EQ(g_image.hex_file_valid, 1u);
        if (now.empty()) std::remove(path.c_str());
        if (!now.empty()) dir.Write("motor.hex", now);
        console.out.clear();
        Command(1065);
        const bool refused = now != good;
        SCOPED_TRACE(refused);
        EXPECT_EQ(ui.boxes.back().text, refused ? "*.hex file changed since File Open!\n" + path +
                                                      "\nOpen it again to read and check it."
                                                : "*.hex file valid!");
        EXPECT_EQ(g_image.hex_file_valid, refused ? 0u : 1u);
        if (!refused) continue;
        EXPECT_EQ(ui.boxes.back().flags, platform::kMbIconError);
        EXPECT_EQ(ui.Text(g_com.hWndCheckResult), "Check: ERR!");
        // No check ran: this is the last that was said.
        const std::string said = "Error: the hex file has changed since File Open!\n";
        EXPECT_EQ(console.out.substr(console.out.size() - said.size()), said);
    }
}

}  // namespace
