#pragma once
// An Intel HEX file in memory: the reading of the file into the line tables and the line
// count.
#include <cstdint>

#include "platform/console.h"
#include "platform/work_folders.h"

constexpr uint32_t kIhexLines = 8192;
constexpr uint32_t kIhexLineSize = 64;
// A valid file has at most 7681 lines of at most 63 characters: anything larger is refused
// before it is read.
constexpr uint32_t kHexFileMaxBytes = 7681 * (kIhexLineSize - 1);

// Why the check refused a file: its first fault, with the line (from 1) that holds it.
enum class HexFindingKind : uint8_t {
    kNone,
    kLineCount,        // more lines than the tables hold
    kStart,            // a line that does not start with ':'
    kTooLong,          // a line of 64 characters or more
    kEnd,              // a line that does not end with CR LF
    kAddress,          // the last data line reaches the end of the flash
    kLastLine,         // the last line is not the end-of-file record
    kByteCount,        // a byte count no line can hold
    kLength,           // a length that does not match the byte count
    kChecksum,         // a checksum that does not hold
    kTooManyLines,     // more lines than the chip's application holds
    kExtendedRecord,   // an extended address record that does not hold 2 bytes
    kPastApplication,  // data that runs past the application section
    kAfterEnd,         // application data behind the line where the application ends
};
struct HexFinding {
    HexFindingKind kind;
    uint32_t line;   // 0: the whole file
    char text[160];  // in plain words, with the line: "line 17: checksum error"
};

struct HexFileState {
    char szHexFilePath[kPathSize];
    char ihex_ascii_line[kIhexLines][kIhexLineSize];
    uint8_t ihex_hex_line[kIhexLines][kIhexLineSize];
    uint8_t ihex_hex_len[kIhexLines];
    // Lines whose text did not fit their slot; the check fails them.
    uint8_t ihex_line_too_long[kIhexLines];
    uint32_t ihex_line_num;  // ':' characters in the file, even beyond the tables
    uint32_t hex_file_open;
    char szReadError[2 * kPathSize];  // why the last read failed
    HexFinding finding;               // of the last check; kind kNone when it passed
    // The bytes the line tables were read from, to tell when the file changes on disk.
    uint64_t read_size;
    uint64_t read_hash;
    void Reset();
};
extern HexFileState g_hex;

// Reads the file into the line tables and runs the check. Returns 1 when the file could be
// read (whatever the check found); 0, with the tables and the last check left as they were and
// szReadError saying why, otherwise.
int HexFileRead(const char* path);
// True when the file at szHexFilePath still holds the bytes that the line tables were read
// from.
bool HexFileStillAsRead();
// Keeps what refused the file; line counts from 1.
void NoteHexFinding(HexFindingKind kind, uint32_t line, const char* fmt, ...) LRX_PRINTF(3, 4);
