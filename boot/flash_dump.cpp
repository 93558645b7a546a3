#include "boot/flash_dump.h"

#include <cstddef>
#include <cstring>

#include "page/page.h"
#include "platform/env.h"
#include "platform/text_format.h"
#include "serial/com_log.h"
#include "serial/link_controls.h"

FlashDumpState g_dump;

namespace {

constexpr uint32_t kDumpLineBytes = 16;
constexpr std::size_t kPieceSize = 256;

// Head "\r\n0x%05lX: " (11 characters) and sixteen "%02X " (48 characters).
constexpr std::size_t kLineTextSize = 64;

void AppendHexByte(char* line, std::size_t& len, uint8_t b) {
    static const char kHex[] = "0123456789ABCDEF";
    line[len++] = kHex[b >> 4];
    line[len++] = kHex[b & 0x0F];
    line[len++] = ' ';
}

// Dump lines are passed on in blocks: a flushed log write or a console write per line would
// cost a system call for every 59 bytes of a 128 KiB stream.
class Batch {
  public:
    using Sink = void (*)(const char*, std::size_t);
    explicit Batch(Sink sink) : sink_(sink) {}
    void Add(const char* text, std::size_t len) {
        if (used_ + len > sizeof buf_) Flush();
        std::memcpy(buf_ + used_, text, len);
        used_ += len;
    }
    void Flush() {
        if (used_ > 0) sink_(buf_, used_);
        used_ = 0;
    }

  private:
    Sink sink_;
    char buf_[8192];
    std::size_t used_ = 0;
};

void ToConsole(const char* text, std::size_t len) {
    ConWrite(std::string_view(text, len));
}
void ToLog(const char* text, std::size_t len) {
    ComLogWrite(text, len);
}

}  // namespace

void FlashDump() {
    // The pump stops collecting at the buffer's end; never read past it whatever the count says.
    uint32_t len = g_flash.flash_stream_len;
    if (len > kFlashStreamSize) len = kFlashStreamSize;
    if (len == 0) return;

    const long count = static_cast<long>(len);
    const unsigned long count_hex = len;
    char piece[kPieceSize];

    AppendComText("\r\nFlash streaming (hex):\r\n");
    AppendComText("(16B lines containing only 0xFF are NOT displayed)\r\n");

    ConPrintf("\r\nRead %li / 0x%04lX bytes from device\r\n", count, count_hex);
    ConPrintf("Flash streaming (hex):\r\n");
    ConPrintf("(16B lines containing only 0xFF are NOT displayed)\r\n");

    ComLogPrintf("Read %li / 0x%05lX bytes from device\r\n", count, count_hex);
    ComLogPrintf("Flash stream (hex):\r\n");

    // Whole lines to each sink; the bytes are those of the head and "%02X " per byte.
    const bool logging = g_log.com_log_active != 0;
    Batch console_lines(ToConsole);
    Batch log_lines(ToLog);
    for (uint32_t start = 0; start < len; start += kDumpLineBytes) {
        const uint32_t end = len - start < kDumpLineBytes ? len : start + kDumpLineBytes;
        // Only a full line of received bytes counts as blank flash: a short last line is
        // always shown, and bytes past the stream (left from an earlier one) are never read.
        uint8_t ff_count = 0;
        for (uint32_t p = start; p < end; ++p) {
            if (g_flash.flash_stream_buf[p] == 0xFF) ++ff_count;
        }
        const bool blank = ff_count == kDumpLineBytes;
        if (blank) ++g_dump.ff_line_count;

        char line[kLineTextSize];
        FormatBounded(line, sizeof line, "\r\n0x%05lX: ", static_cast<unsigned long>(start));
        std::size_t line_len = std::strlen(line);
        for (uint32_t p = start; p < end; ++p) {
            AppendHexByte(line, line_len, g_flash.flash_stream_buf[p]);
        }
        if (logging) log_lines.Add(line, line_len);
        if (!blank) console_lines.Add(line, line_len);
    }

    console_lines.Flush();
    log_lines.Flush();

    const uint32_t ff_lines = g_dump.ff_line_count;
    FormatBounded(piece, sizeof piece,
                  "\r\n\r\nFlash streaming finished\r\nRead %li / 0x%04lX bytes from device\r\n"
                  "Lines with 0xFF only: %li (0x%04lX bytes)\r\n",
                  count, count_hex, static_cast<long>(ff_lines),
                  static_cast<unsigned long>(ff_lines) * kDumpLineBytes);
    AppendComText(piece);
    ComLogText(piece);
    ConWrite(piece);

    g_flash.flash_stream_len = 0;
    g_dump.ff_line_count = 0;
}
