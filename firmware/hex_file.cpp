#include "firmware/hex_file.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <vector>

#include "firmware/page_image.h"
#include "platform/env.h"
#include "platform/text_format.h"

HexFileState g_hex;

void HexFileState::Reset() {
    std::memset(this, 0, sizeof *this);
}

namespace {

constexpr uint32_t kTextRoom = kIhexLineSize - 1;  // the slot keeps its terminating zero

bool Fail(const char* path, const char* reason) {
    char* msg = g_hex.szReadError;
    if (!FormatBounded(msg, sizeof g_hex.szReadError, "%s:\n%s", reason, path)) {
        FormatBounded(msg, sizeof g_hex.szReadError, "%s", reason);
    }
    ConPrintf("Error: hex file not read: %s\n", reason);
    return false;
}

// The whole file, unless it cannot be read or is too large to be a valid image.
bool LoadBytes(const char* path, std::vector<uint8_t>& bytes) {
    // A folder opens for reading on POSIX and gives a senseless size.
    std::error_code ec;
    const std::filesystem::file_status st = std::filesystem::status(path, ec);
    if (std::filesystem::is_directory(st)) return Fail(path, "This is a folder, not a file");
    if (std::filesystem::exists(st) && !std::filesystem::is_regular_file(st)) {
        return Fail(path, "This is not a regular file");
    }
    std::FILE* f = std::fopen(path, "rb");
    if (f == nullptr) return Fail(path, "The file cannot be opened");
    long size = -1;
    if (std::fseek(f, 0, SEEK_END) == 0) size = std::ftell(f);
    if (size < 0 || std::fseek(f, 0, SEEK_SET) != 0) {
        std::fclose(f);
        return Fail(path, "The file size cannot be read");
    }
    if (static_cast<unsigned long>(size) > kHexFileMaxBytes) {
        std::fclose(f);
        char reason[128];
        FormatBounded(reason, sizeof reason,
                      "The file is too large (%ld bytes): a valid hex file has at most %lu bytes",
                      size, static_cast<unsigned long>(kHexFileMaxBytes));
        return Fail(path, reason);
    }
    // One byte more than expected tells a file that grew since its size was taken.
    bytes.resize(static_cast<std::size_t>(size) + 1);
    const std::size_t got = std::fread(bytes.data(), 1, bytes.size(), f);
    const bool error = std::ferror(f) != 0;
    std::fclose(f);
    if (error || got != static_cast<std::size_t>(size)) {
        return Fail(path, "The file cannot be read whole (it changed while being read?)");
    }
    bytes.resize(got);
    return true;
}

// FNV-1a: tells an edited file from the one read (not meant to withstand a forger).
uint64_t Fingerprint(const std::vector<uint8_t>& bytes) {
    uint64_t h = 14695981039346656037ull;
    for (const uint8_t b : bytes) {
        h ^= b;
        h *= 1099511628211ull;
    }
    return h;
}

// Every ':' starts a slot; what comes before the first one is dropped. Blank lines are no
// records: their CR and LF are left out, so that a record's slot holds only its own text.
void SplitLines(const std::vector<uint8_t>& bytes) {
    std::memset(g_hex.ihex_ascii_line, 0, sizeof g_hex.ihex_ascii_line);
    std::memset(g_hex.ihex_hex_line, 0, sizeof g_hex.ihex_hex_line);
    std::memset(g_hex.ihex_line_too_long, 0, sizeof g_hex.ihex_line_too_long);
    uint32_t line = 0;
    uint32_t column = 0;
    bool seen = false;
    bool line_start = true;  // after a LF, or before anything
    for (const uint8_t b : bytes) {
        if (line_start && (b == '\r' || b == '\n')) continue;
        line_start = b == '\n';
        if (b == ':') {
            if (seen) {
                ++line;
            } else {
                seen = true;
                std::memset(g_hex.ihex_ascii_line[0], 0, kIhexLineSize);
                g_hex.ihex_line_too_long[0] = 0;
            }
            column = 0;
        }
        if (line < kIhexLines) {
            if (column < kTextRoom) {
                g_hex.ihex_ascii_line[line][column] = static_cast<char>(b);
            } else {
                g_hex.ihex_line_too_long[line] = 1;
            }
        }
        if (column < kIhexLineSize) ++column;
    }
    g_hex.ihex_line_num = line + 1;
}

}  // namespace

int HexFileRead(const char* path) {
    std::vector<uint8_t> bytes;
    if (path == nullptr || !LoadBytes(path, bytes)) return 0;
    if (path != g_hex.szHexFilePath) {
        // The dialog's path is known to fit: it came from a buffer of the same size.
        FormatBounded(g_hex.szHexFilePath, sizeof g_hex.szHexFilePath, "%s", path);
    }
    SplitLines(bytes);
    g_hex.read_size = bytes.size();
    g_hex.read_hash = Fingerprint(bytes);
    ConPrintf("File Size: %li Bytes\n", static_cast<long>(bytes.size()));
    ConPrintf("Number of lines read: %li\n", static_cast<long>(g_hex.ihex_line_num));
    if (HexFileCheck() != 0) {
        ConPrintf("\nHex File Check: Okay!\n");
        ConPrintf("Number of lines - app: %li\n", static_cast<long>(g_image.ihex_line_num_max_app));
    } else {
        ConPrintf("\nHex File Check: ERROR !!!\n");
    }
    return 1;
}

void NoteHexFinding(HexFindingKind kind, uint32_t line, const char* fmt, ...) {
    HexFinding& f = g_hex.finding;
    f.kind = kind;
    f.line = line;
    std::va_list args;
    va_start(args, fmt);
    std::vsnprintf(f.text, sizeof f.text, fmt, args);
    va_end(args);
}

bool HexFileStillAsRead() {
    std::vector<uint8_t> bytes;
    if (!LoadBytes(g_hex.szHexFilePath, bytes)) return false;
    return bytes.size() == g_hex.read_size && Fingerprint(bytes) == g_hex.read_hash;
}
