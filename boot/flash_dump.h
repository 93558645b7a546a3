#pragma once
// The flash read-back: the raw bytes the receive pump collected, dumped as hex at the end.
#include <cstdint>

#include "serial/receive_pump.h"

struct FlashDumpState {
    uint32_t ff_line_count = 0;
    void Reset() { *this = FlashDumpState{}; }
};
extern FlashDumpState g_dump;

// Writes the dump to the console, the text area and the log, then empties the stream.
void FlashDump();
