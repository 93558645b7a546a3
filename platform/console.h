#pragma once
// The diagnostic console. Every byte reaches it as written: no line-end translation.
#include <cstddef>
#include <string_view>

namespace platform {

class Console {
  public:
    virtual ~Console() = default;
    virtual void Write(const char* data, std::size_t len) = 0;
    // Closes the output and releases the console; later writes are dropped.
    virtual void Release() = 0;
};

}  // namespace platform

#if defined(__GNUC__)
#define LRX_PRINTF(f, a) __attribute__((format(printf, f, a)))
#else
#define LRX_PRINTF(f, a)
#endif

// Formatted console output (the format is always the program's own literal).
void ConPrintf(const char* fmt, ...) LRX_PRINTF(1, 2);
// Text from the device or the user: printed as it stands, never as a format.
void ConWrite(std::string_view text);
