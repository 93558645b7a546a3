#include "firmware/ihex_line.h"

#include <cstring>
#include <string_view>

#include "firmware/chip_table.h"
#include "firmware/hex_file.h"
#include "platform/console.h"

namespace {

// The checksum of a line sits at 5 + count in its 64-byte slot.
constexpr uint32_t kMaxByteCount = kIhexLineSize - 6;
constexpr char kEofRecord[] = ":00000001FF";

long LineNo(uint32_t n) {
    return static_cast<long>(n) + 1;
}

uint32_t TextLength(const char* s) {
    const void* nul = std::memchr(s, 0, kIhexLineSize);
    return nul == nullptr ? 0 : static_cast<uint32_t>(static_cast<const char*>(nul) - s);
}

}  // namespace

uint32_t HexChars2Value(const char* chars, uint32_t count) {
    uint32_t value = 0;
    for (uint32_t i = 0; i < count; ++i) {
        const unsigned c = static_cast<unsigned char>(chars[i]);
        uint32_t digit = c;  // no error for a bad character: the checksum catches it
        if (c >= '0' && c <= '9') {
            digit = c - '0';
        } else if (c >= 'A' && c <= 'F') {
            digit = c - 'A' + 10;
        } else if (c >= 'a' && c <= 'f') {
            digit = c - 'a' + 10;
        }
        value = value * 16 + digit;
    }
    return value;
}

int AsciiLine2HexLine(uint32_t n, uint32_t length) {
    const char* s = g_hex.ihex_ascii_line[n];
    uint8_t* hex = g_hex.ihex_hex_line[n];
    const uint32_t count = HexChars2Value(s + 1, 2);
    if (count > kMaxByteCount) {
        ConPrintf("ihex line byte count error, line %li\n", LineNo(n));
        NoteHexFinding(HexFindingKind::kByteCount, n + 1,
                       "line %li: byte count %lu, more than a line holds", LineNo(n),
                       static_cast<unsigned long>(count));
        return 0;
    }
    const uint32_t len = count + 8;
    g_hex.ihex_hex_len[n] = static_cast<uint8_t>(len);
    // The record's text is ':', count + 5 hex pairs and CR LF. Anything else would put text
    // into the image and send bytes that are not the record's, so it fails.
    if (length != 2 * (count + 5) + 3) {
        ConPrintf("ihex line length error, line %li\n", LineNo(n));
        NoteHexFinding(HexFindingKind::kLength, n + 1,
                       "line %li: %lu characters, but its byte count %lu makes %lu", LineNo(n),
                       static_cast<unsigned long>(length), static_cast<unsigned long>(count),
                       static_cast<unsigned long>(2 * (count + 5) + 3));
        return 0;
    }

    hex[0] = ':';
    uint32_t k = 1;
    for (uint32_t j = 0; j + 4 < length; j += 2) {
        hex[k++] = static_cast<uint8_t>(HexChars2Value(s + 1 + j, 2));
    }
    hex[k] = 0x0D;
    hex[k + 1] = 0x0A;

    uint8_t sum = 0;
    for (uint32_t i = 1; i <= len - 3; ++i) sum = static_cast<uint8_t>(sum + hex[i]);
    if (sum != 0) {
        ConPrintf("ihex line CRC error, line %li\n", LineNo(n));
        NoteHexFinding(HexFindingKind::kChecksum, n + 1, "line %li: checksum error", LineNo(n));
        return 0;
    }
    return 1;
}

int IhexLineCheck(uint32_t n) {
    if (n >= kIhexLines) {
        ConPrintf("ihex line count error, line %li: at most %li lines can be read\n", LineNo(n),
                  static_cast<long>(kIhexLines));
        NoteHexFinding(HexFindingKind::kLineCount, n + 1, "more than %li lines",
                       static_cast<long>(kIhexLines));
        return 0;
    }
    const char* s = g_hex.ihex_ascii_line[n];
    if (s[0] != ':') {
        ConPrintf("ihex line start error, line %li\n", LineNo(n));
        NoteHexFinding(HexFindingKind::kStart, n + 1, "line %li: does not start with ':'",
                       LineNo(n));
        return 0;
    }
    if (g_hex.ihex_line_too_long[n] != 0) {
        ConPrintf("ihex line too long (%li characters or more), line %li\n",
                  static_cast<long>(kIhexLineSize), LineNo(n));
        NoteHexFinding(HexFindingKind::kTooLong, n + 1, "line %li: %li characters or more",
                       LineNo(n), static_cast<long>(kIhexLineSize));
        return 0;
    }
    const uint32_t length = TextLength(s);
    if (length < 2 || s[length - 2] != '\r' || s[length - 1] != '\n') {
        ConPrintf("ihex line end error, line %li\n", LineNo(n));
        NoteHexFinding(HexFindingKind::kEnd, n + 1, "line %li: does not end with CR LF", LineNo(n));
        return 0;
    }
    const uint32_t lines = g_hex.ihex_line_num;
    if (n + 2 == lines) {
        const uint32_t end = HexChars2Value(s + 3, 4) + HexChars2Value(s + 1, 2);
        if (end >= chip_table[g_chip.chip_index].flash_size) {
            ConPrintf("ihex line address error, line %li / %li\n", LineNo(n),
                      static_cast<long>(lines));
            ConWrite(std::string_view(s, length));
            NoteHexFinding(HexFindingKind::kAddress, n + 1,
                           "line %li: the last data line reaches the end of the flash (0x%lX)",
                           LineNo(n), static_cast<unsigned long>(end));
            return 0;
        }
    }
    if (n + 1 == lines && std::strncmp(s, kEofRecord, sizeof kEofRecord - 1) != 0) {
        ConPrintf("\nError: ihex last line is not ':00000001FF' !!!");
        NoteHexFinding(HexFindingKind::kLastLine, n + 1,
                       "line %li: the last line is not the end-of-file record :00000001FF",
                       LineNo(n));
        return 0;
    }
    if (AsciiLine2HexLine(n, length) == 0) {
        ConPrintf("\nError: AsciiLine2HexLine() !!!");
        return 0;
    }
    return 1;
}
