#pragma once
// The flash read-back: raw bytes collected by the receive pump, dumped as hex at the end.
#include <cstdint>
#include <cstring>

constexpr uint32_t kFlashStreamSize = 131072;

struct FlashStreamState {
    uint8_t flash_stream_buf[kFlashStreamSize];
    uint32_t flash_stream_len;
    uint32_t ff_line_count;
    void Reset() {
        std::memset(flash_stream_buf, 0, sizeof flash_stream_buf);
        flash_stream_len = 0;
        ff_line_count = 0;
    }
};
extern FlashStreamState g_flash;

// Writes the dump to the console, the text area and the log, then empties the stream.
void FlashDump();
