#pragma once
// An Intel HEX file in memory: the reading of the file into the line tables and the line
// count.
#include <cstdint>

#include "platform/work_folders.h"

constexpr uint32_t kIhexLines = 8192;
constexpr uint32_t kIhexLineSize = 64;
// A valid file has at most 7681 lines of at most 63 characters: anything larger is refused
// before it is read.
constexpr uint32_t kHexFileMaxBytes = 7681 * (kIhexLineSize - 1);

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
