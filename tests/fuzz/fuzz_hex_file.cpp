// Arbitrary bytes as an Intel HEX file for one of the chips: read and checked as File Open
// does, the pages built and the lines that would be streamed walked. A file that passes may
// only stream whole records of its own, and its image must hold exactly its application data.
//
// Input: the first byte picks the chip (modulo 3) and, with bit 7, whether the image files are
// written; the rest is the file.
#include <unistd.h>

#include <fstream>
#include <map>

#include "tests/fuzz/fuzz_support.h"

namespace {

constexpr uint8_t kData = 0x00, kEof = 0x01, kSegment = 0x02, kLinear = 0x04;

std::string Folder() {
    // In memory where there is such a folder: the image files are written for many inputs.
    char dir[] = "/dev/shm/lrx_fuzz_hex_XXXXXX", other[] = "/tmp/lrx_fuzz_hex_XXXXXX";
    const char* made = mkdtemp(dir) != nullptr ? dir : mkdtemp(other);
    FUZZ_CHECK(made != nullptr);
    return made;
}

uint32_t Pair(const char* text, uint32_t at) {
    return HexChars2Value(text + at, 2) & 0xFF;
}

// The application's bytes by address, read from the text lines as a file in address order
// holds them; the streamed lines checked on the way.
std::map<uint32_t, uint8_t> ApplicationData(const ChipRow& chip) {
    std::map<uint32_t, uint8_t> app;
    uint32_t base = 0;
    for (uint32_t n = 0; n < g_hex.ihex_line_num; ++n) {
        const char* text = g_hex.ihex_ascii_line[n];
        const uint32_t count = Pair(text, 1);
        const uint32_t type = Pair(text, 7);
        // A passing file's lines are whole records: the text is the count's pairs and CR LF.
        FUZZ_CHECK(std::strlen(text) == 2 * (count + 5) + 3);
        if (type == kSegment || type == kLinear) {
            const uint32_t value = Pair(text, 9) << 8 | Pair(text, 11);
            base = type == kSegment ? value << 4 : value << 16;
        } else if (type == kData) {
            const uint32_t first = base + (Pair(text, 3) << 8 | Pair(text, 5));
            for (uint32_t k = 0; k < count; ++k) {
                if (first + k < chip.app_size)
                    app[first + k] = static_cast<uint8_t>(Pair(text, 9 + 2 * k));
            }
        }
    }
    return app;
}

// What the bootloading step would send: lines 0 .. ihex_line_num_max_app - 1, each a record
// whose bytes are its declared count plus header, checksum and CR LF, summing to zero, the
// last one the end record.
void CheckStreamedLines(const ChipRow& chip) {
    const uint32_t lines = g_image.ihex_line_num_max_app;
    FUZZ_CHECK(lines >= 1 && lines <= g_hex.ihex_line_num && lines <= chip.max_hex_lines);
    uint32_t base = 0;
    for (uint32_t n = 0; n < lines; ++n) {
        const uint8_t* h = g_hex.ihex_hex_line[n];
        const uint32_t len = g_hex.ihex_hex_len[n];
        FUZZ_CHECK(h[0] == ':' && len == h[1] + 8u && len <= kIhexLineSize);
        FUZZ_CHECK(h[len - 2] == 0x0D && h[len - 1] == 0x0A);
        uint8_t sum = 0;
        for (uint32_t k = 1; k + 2 < len; ++k) sum = static_cast<uint8_t>(sum + h[k]);
        FUZZ_CHECK(sum == 0);
        FUZZ_CHECK((h[4] == kEof) == (n + 1 == lines));
        if (h[4] == kSegment || h[4] == kLinear) {
            const uint32_t value = uint32_t{h[5]} << 8 | h[6];
            base = h[4] == kSegment ? value << 4 : value << 16;
        } else if (h[4] == kData) {
            // Never a byte for the bootloader section.
            FUZZ_CHECK(base + (uint32_t{h[2]} << 8 | h[3]) + h[1] <= chip.app_size);
        }
    }
}

std::string Read(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    fuzz::FreshCore core;
    static const std::string folder = Folder();
    fuzz::Input in(data, size);
    const uint8_t pick = in.Byte();
    g_chip.chip_index = static_cast<uint8_t>(pick % 3);
    const bool files = (pick & 0x80) != 0;
    std::snprintf(g_folders.szBinPath, sizeof g_folders.szBinPath, "%s",
                  files ? folder.c_str() : "");
    const std::string path = folder + "/app.hex";
    std::ofstream(path, std::ios::binary | std::ios::trunc) << in.Bytes(size);
    std::remove((folder + "/app.avr").c_str());

    FUZZ_CHECK(HexFileRead(path.c_str()) == 1);
    if (g_image.hex_file_valid == 0) return 0;

    const ChipRow& chip = chip_table[g_chip.chip_index];
    CheckStreamedLines(chip);
    FUZZ_CHECK(g_image.page_count >= 1 && g_image.page_count <= chip.max_pages);
    const std::map<uint32_t, uint8_t> app = ApplicationData(chip);
    const uint32_t image_size = g_image.page_count * chip.page_size;
    std::string image(image_size, '\xFF');
    for (uint32_t a = 0; a < image_size; ++a)
        image[a] =
            static_cast<char>(g_image.page_table[a / chip.page_size].data[a % chip.page_size]);
    // Every image byte is the file's byte at its address or erased flash, and every byte of
    // the application is in the image.
    for (uint32_t a = 0; a < image_size; ++a) {
        const auto it = app.find(a);
        FUZZ_CHECK(static_cast<uint8_t>(image[a]) == (it == app.end() ? 0xFF : it->second));
    }
    FUZZ_CHECK(app.empty() || app.rbegin()->first < image_size);
    if (files) {
        FUZZ_CHECK(g_image.image_files_written == 1);
        FUZZ_CHECK(Read(folder + "/app.avr") == image);
    }
    return 0;
}
