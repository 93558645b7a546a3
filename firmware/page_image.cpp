#include "firmware/page_image.h"

#include <cstdarg>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "firmware/chip_table.h"
#include "firmware/hex_file.h"
#include "firmware/ihex_line.h"
#include "platform/env.h"
#include "platform/file_replace.h"
#include "platform/text_format.h"

PageImageState g_image;

const char* const szHexFileOkay = "Check: OK";
const char* const szHexFileError = "Check: ERR!";

void PageImageState::Reset() {
    std::memset(this, 0, sizeof *this);
}

namespace {

constexpr uint8_t IHEX_RECTYP_DATA = 0x00;
constexpr uint8_t IHEX_RECTYP_EOF = 0x01;
constexpr uint8_t IHEX_RECTYP_XSADR = 0x02;
constexpr uint8_t IHEX_RECTYP_XLADR = 0x04;

// Decoded line layout: ':', count, offset high, offset low, type, data..., checksum, CR, LF.
struct Record {
    uint8_t count;
    uint32_t offset;
    uint8_t type;
    const uint8_t* data;
};

Record RecordOf(uint32_t i) {
    const uint8_t* h = g_hex.ihex_hex_line[i];
    return Record{h[1], (uint32_t{h[2]} << 8) | h[3], h[4], h + 5};
}

const ChipRow& Chip() {
    return chip_table[g_chip.chip_index];
}

int Fail() {
    g_image.hex_file_valid = 0;
    return 0;
}

// The base an extended address record sets: a segment counts in 16-byte paragraphs, a linear
// address in 64 KiB.
uint32_t BaseOf(const Record& r) {
    const uint32_t value = (uint32_t{r.data[0]} << 8) | r.data[1];
    return r.type == IHEX_RECTYP_XSADR ? value << 4 : value << 16;
}

// Where the data lines land, before anything is written: a line that runs past the end of the
// application section would put part of its bytes into the bootloader, and application data
// behind the line where the application ends would be lost.
bool PlacementHolds() {
    const uint32_t app_size = Chip().app_size;
    uint32_t base = 0;
    uint32_t cut = 0;  // the line + 1 where the application ends; 0 while it goes on
    for (uint32_t i = 0; i < g_hex.ihex_line_num; ++i) {
        const Record r = RecordOf(i);
        const long line = static_cast<long>(i) + 1;
        if (r.type == IHEX_RECTYP_XSADR || r.type == IHEX_RECTYP_XLADR) {
            if (r.count != 2) {
                ConPrintf("\nihex line %li: an extended address record holds 2 bytes, not %li\n",
                          line, static_cast<long>(r.count));
                NoteHexFinding(HexFindingKind::kExtendedRecord, i + 1,
                               "line %li: an extended address record holds 2 bytes, not %li", line,
                               static_cast<long>(r.count));
                return false;
            }
            base = BaseOf(r);
        } else if (r.type == IHEX_RECTYP_DATA) {
            const uint32_t first = base + r.offset;
            if (first >= app_size) {
                if (cut == 0) cut = i + 1;  // the bootloader section: the cut is here
            } else if (cut != 0) {
                ConPrintf(
                    "\nihex line %li: application data at 0x%05lX after the application's end "
                    "in line %li\n",
                    line, static_cast<unsigned long>(first), static_cast<long>(cut));
                NoteHexFinding(HexFindingKind::kAfterEnd, i + 1,
                               "line %li: application data at 0x%05lX after the application's "
                               "end in line %li",
                               line, static_cast<unsigned long>(first), static_cast<long>(cut));
                return false;
            } else if (first + r.count > app_size) {
                ConPrintf(
                    "\nihex line %li: data 0x%05lX..0x%05lX runs past the application section "
                    "(0x%05lX bytes)\n",
                    line, static_cast<unsigned long>(first),
                    static_cast<unsigned long>(first + r.count - 1),
                    static_cast<unsigned long>(app_size));
                NoteHexFinding(HexFindingKind::kPastApplication, i + 1,
                               "line %li: data 0x%05lX..0x%05lX runs past the application "
                               "section (0x%05lX bytes)",
                               line, static_cast<unsigned long>(first),
                               static_cast<unsigned long>(first + r.count - 1),
                               static_cast<unsigned long>(app_size));
                return false;
            }
        } else if (r.type == IHEX_RECTYP_EOF && cut == 0) {
            cut = i + 1;
        }
    }
    return true;
}

void PrintLineBytes(uint32_t i) {
    const uint8_t* h = g_hex.ihex_hex_line[i];
    const uint32_t last = uint32_t{h[1]} + 5;
    for (uint32_t k = 0; k <= last && k < kIhexLineSize; ++k) ConPrintf("%02X ", h[k]);
    ConPrintf("\n");
}

// Closes the pages up to the one that holds the last byte, and the next when that one is
// full: an image always ends with a page that is not full. Never beyond the application.
void CloseImage(uint32_t end) {
    const ChipRow& chip = Chip();
    uint32_t pages = end / chip.page_size + 1;
    if (pages > chip.max_pages) pages = chip.max_pages;
    while (g_image.page_count < pages) PageClose();
}

// The application ends with the end-of-file record in line i, which is streamed too: the
// device answers it with the end of bootloading.
void EndApplication(uint32_t i) {
    g_image.ihex_line_num_max_app = i + 1;
    g_image.ihex_line_eof = i;
}

void CutAtBootloader(uint32_t i) {
    EndApplication(i);
    // The streamed application must end with an end-of-file record.
    std::memcpy(g_hex.ihex_hex_line[i], g_hex.ihex_hex_line[g_hex.ihex_line_num - 1],
                kIhexLineSize);
    g_hex.ihex_hex_len[i] = 8;
    ConPrintf("new last line:\n");
    ConPrintf("ihex_line_num_max_app = %li\n", static_cast<long>(g_image.ihex_line_num_max_app));
    ConPrintf("ihex_hex_len[%li] = %li\n", static_cast<long>(i), 8L);
    const uint8_t* h = g_hex.ihex_hex_line[i];
    ConPrintf("%c", h[0]);
    for (uint32_t k = 1; k <= 5; ++k) ConPrintf("%02X", h[k]);
    for (uint32_t k = 6; k < kIhexLineSize; ++k) ConPrintf("%c", h[k]);
    ConPrintf("\nBootloader section found!\nFinished in line %d\n", static_cast<int>(i));
}

// Places the data lines by address into the pages and cuts the line table where the
// application ends.
void BuildPages() {
    const ChipRow& chip = Chip();
    g_image.ext_addr = 0;
    g_image.address_base = 0;
    ConPrintf("Creating pages with numbers and CRCs\n");
    ConPrintf("ext_addr reset to %d\n", 0);
    PagesClear();
    uint32_t end = 0;
    for (uint32_t i = 0; i < g_hex.ihex_line_num; ++i) {
        const Record r = RecordOf(i);
        if (r.type == IHEX_RECTYP_DATA) {
            const uint32_t first = g_image.address_base + r.offset;
            if (first >= chip.app_size) {
                CloseImage(end);
                CutAtBootloader(i);
                return;
            }
            for (uint32_t k = 0; k < r.count; ++k) {
                const uint32_t a = first + k;
                g_image.page_table[a / chip.page_size].data[a % chip.page_size] = r.data[k];
            }
            if (first + r.count > end) end = first + r.count;
            g_image.page_fill = end % chip.page_size;
        } else if (r.type == IHEX_RECTYP_EOF) {
            CloseImage(end);
            EndApplication(i);
            ConPrintf("\nEOF found!\nFinished in line %d\n", static_cast<int>(i));
            return;
        } else if (r.type == IHEX_RECTYP_XSADR || r.type == IHEX_RECTYP_XLADR) {
            g_image.ext_addr = 1;
            g_image.address_base = BaseOf(r);
            ConPrintf(r.type == IHEX_RECTYP_XSADR ? "IHEX_RECTYP_XSADR found in line %d\n"
                                                  : "IHEX_RECTYP_XLADR found in line %d\n",
                      static_cast<int>(i));
            ConPrintf("ext_addr set to %d\n", 1);
            ConPrintf("address base = 0x%05lX\n", static_cast<unsigned long>(g_image.address_base));
            ConPrintf("This line buffer:\n");
            PrintLineBytes(i);
            ConPrintf("Next line buffer:\n");
            PrintLineBytes(i + 1);
            ConPrintf("\n");
        }
    }
}

bool WriteAll(std::FILE* f, const void* data, std::size_t len) {
    return std::fwrite(data, 1, len, f) == len;
}

bool WriteImages() {
    const uint32_t page_size = Chip().page_size;
    const uint32_t last = g_image.page_count - 1;
    bool ok = true;
    for (uint32_t p = 0; p < g_image.page_count; ++p) {
        page_record& rec = g_image.page_table[p];
        rec.last_page_number = last;
        const uint8_t head[4] = {static_cast<uint8_t>(rec.page_number),
                                 static_cast<uint8_t>(rec.page_number >> 8),
                                 static_cast<uint8_t>(last), static_cast<uint8_t>(last >> 8)};
        const uint8_t tail[3] = {rec.page_crc, 0x0D, 0x0A};
        ok = WriteAll(g_image.pAVRbinFile, head, sizeof head) &&
             WriteAll(g_image.pAVRbinFile, rec.data, page_size) &&
             WriteAll(g_image.pAVRbinFile, tail, sizeof tail) &&
             WriteAll(g_image.pFlashImageFile, rec.data, page_size) && ok;
    }
    return ok;
}

// fclose reports a write that failed only when the buffer is flushed.
bool CloseFile(std::FILE*& f) {
    if (f == nullptr) return true;
    const bool ok = std::fclose(f) == 0;
    f = nullptr;
    return ok;
}

// Only Windows takes '\\' and a drive's ':' as separators; on POSIX they are part of a name.
bool IsFolderSeparator(char c) {
#ifdef _WIN32
    return c == '\\' || c == '/';
#else
    return c == '/';
#endif
}

bool IsDriveColon(char c) {
#ifdef _WIN32
    return c == ':';
#else
    static_cast<void>(c);
    return false;
#endif
}

// The bare file name: what follows the last folder separator or drive colon.
const char* FileNameOf(const char* path) {
    const char* name = path;
    for (const char* p = path; *p != '\0'; ++p) {
        if ((IsFolderSeparator(*p) || IsDriveColon(*p)) && p[1] != '\0' &&
            !IsFolderSeparator(p[1])) {
            name = p + 1;
        }
    }
    return name;
}

void FilesNotWritten(const char* fmt, ...) LRX_PRINTF(1, 2);
void FilesNotWritten(const char* fmt, ...) {
    std::va_list args;
    va_start(args, fmt);
    std::vsnprintf(g_image.szImageFilesError, sizeof g_image.szImageFilesError, fmt, args);
    va_end(args);
}

// A new file beside target, under a name of its own kept in temp.
std::FILE* OpenTemp(const char* target, char (&temp)[kImageTempSize]) {
    if (!TempPathBeside(target, temp, sizeof temp)) return nullptr;
    std::FILE* f = std::fopen(temp, "wb+");
    if (f == nullptr) temp[0] = '\0';
    return f;
}

// Removes the temporaries this check made and did not put in place.
void DropTemps() {
    CloseFile(g_image.pAVRbinFile);
    CloseFile(g_image.pFlashImageFile);
    for (char* temp : {g_image.szAVRbinTemp, g_image.szFlashImageTemp}) {
        if (temp[0] != '\0') std::remove(temp);
        temp[0] = '\0';
    }
}

unsigned HandleValue(const std::FILE* f) {
    return static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(f));
}

bool OpenImageFiles() {
    // The file name, extension included, is what the page shows of the checked file.
    FormatBounded(g_image.szHexFileName, sizeof g_image.szHexFileName, "%s",
                  FileNameOf(g_hex.szHexFilePath));
    char name[kPathSize];
    FormatBounded(name, sizeof name, "%s", g_image.szHexFileName);
    if (char* dot = std::strrchr(name, '.')) *dot = '\0';

    const bool fit = FormatBounded(g_image.szAVRbinPath, sizeof g_image.szAVRbinPath,
                                   "%s" LRX_DIR_SEP "%s.bin", g_folders.szBinPath, name) &&
                     FormatBounded(g_image.szFlashImagePath, sizeof g_image.szFlashImagePath,
                                   "%s" LRX_DIR_SEP "%s.avr", g_folders.szBinPath, name);
    if (!fit) {
        ConPrintf("Image file path too long (more than %li characters)!\n",
                  static_cast<long>(kImagePathSize - 1));
        FilesNotWritten("their paths would be longer than %li characters",
                        static_cast<long>(kImagePathSize - 1));
        return false;
    }
    ConWrite(g_image.szAVRbinPath);
    ConPrintf("\n");
    ConWrite(g_image.szFlashImagePath);
    ConPrintf("\n");
    if (g_folders.szBinPath[0] == '\0') {
        ConPrintf("LUMRAXbin folder unknown!\n");
        FilesNotWritten("%s", "the folder for them is unknown");
        return false;
    }
    // The images of an earlier check stay whole until both new ones are complete.
    g_image.pAVRbinFile = OpenTemp(g_image.szAVRbinPath, g_image.szAVRbinTemp);
    g_image.pFlashImageFile = OpenTemp(g_image.szFlashImagePath, g_image.szFlashImageTemp);
    if (g_image.pAVRbinFile != nullptr && g_image.pFlashImageFile != nullptr) return true;
    ConPrintf("AVRbin file creation ERROR!\n");
    FilesNotWritten("%s cannot be created", g_image.pAVRbinFile == nullptr
                                                ? g_image.szAVRbinPath
                                                : g_image.szFlashImagePath);
    ConPrintf("pAVRbinFile = 0x%X\n", HandleValue(g_image.pAVRbinFile));
    ConPrintf("pFlashImageFile = 0x%X\n", HandleValue(g_image.pFlashImageFile));
    DropTemps();
    return false;
}

// Both complete files in place of the old ones; false, with the temporaries gone, otherwise.
bool CommitImageFiles(bool complete) {
    complete = CloseFile(g_image.pAVRbinFile) && complete;
    complete = CloseFile(g_image.pFlashImageFile) && complete;
    complete = complete && platform::Sys().ReplaceFile(g_image.szAVRbinTemp, g_image.szAVRbinPath);
    if (complete) g_image.szAVRbinTemp[0] = '\0';
    complete =
        complete && platform::Sys().ReplaceFile(g_image.szFlashImageTemp, g_image.szFlashImagePath);
    if (complete) g_image.szFlashImageTemp[0] = '\0';
    DropTemps();
    return complete;
}

}  // namespace

void PagesClear() {
    for (page_record& rec : g_image.page_table) {
        rec.page_number = 0xFFFF;
        rec.last_page_number = 0xFFFF;
        rec.page_crc = 0;
        std::memset(rec.data, 0xFF, sizeof rec.data);
    }
    g_image.page_count = 0;
    g_image.page_fill = 0;
}

void PageClose() {
    page_record& rec = g_image.page_table[g_image.page_count];
    uint8_t sum = 0;
    for (uint32_t k = 0; k < Chip().page_size; ++k) sum = static_cast<uint8_t>(sum + rec.data[k]);
    rec.page_crc = static_cast<uint8_t>(~sum + 1);
    rec.page_number = g_image.page_count;
    ++g_image.page_count;
    g_image.page_fill = 0;
}

int HexFileCheck() {
    g_image.image_files_written = 0;
    g_image.szImageFilesError[0] = '\0';
    g_hex.finding = HexFinding{};
    g_image.ihex_line_num_max_app = g_hex.ihex_line_num;
    g_image.ihex_line_eof = g_hex.ihex_line_num - 1;
    // Line 0 is checked even in a table that holds nothing.
    uint32_t n = 0;
    do {
        if (IhexLineCheck(n) == 0) {
            ConPrintf("\nHex File Validity Check: %li Errors !!!\n", 1L);
            return Fail();
        }
    } while (++n < g_hex.ihex_line_num);

    const ChipRow& chip = Chip();
    if (g_image.ihex_line_num_max_app > chip.max_hex_lines) {
        ConPrintf("\nHex File Validity Check: too many lines: %li !!!\n",
                  static_cast<long>(g_image.ihex_line_num_max_app));
        ConPrintf("Max. for ATmega%s application flash: %li lines\n", chip.name,
                  static_cast<long>(chip.max_hex_lines));
        NoteHexFinding(HexFindingKind::kTooManyLines, 0,
                       "%li lines: an ATmega%s application has at most %li",
                       static_cast<long>(g_image.ihex_line_num_max_app), chip.name,
                       static_cast<long>(chip.max_hex_lines));
        return Fail();
    }
    if (!PlacementHolds()) {
        ConPrintf("\nHex File Validity Check: %li Errors !!!\n", 1L);
        return Fail();
    }
    ConPrintf("\nHex File Validity Check: Okay!\n");
    g_image.hex_file_valid = 1;

    ConPrintf("Starting AVRbin file creation... \n");
    const bool files = OpenImageFiles();
    // Without files the pages are still built: the line table must be cut where the
    // application ends, or bootloading would stream the bootloader section.
    BuildPages();
    if (!files) {
        ConPrintf("Image files not written; the lines to send end at line %li\n",
                  static_cast<long>(g_image.ihex_line_eof) + 1);
        return 1;
    }
    ConPrintf("Start *.bin / *.avr file writing...\n");
    const bool ok = CommitImageFiles(WriteImages());
    if (!ok) {
        ConPrintf("AVRbin file write ERROR!\n");
        FilesNotWritten("writing %s and %s failed; the files there before are unchanged",
                        g_image.szAVRbinPath, g_image.szFlashImagePath);
    }
    g_image.image_files_written = ok ? 1 : 0;
    return 1;
}
