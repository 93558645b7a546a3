#pragma once
// Formatting into fixed buffers. A text that does not fit is refused, never cut silently.
#include <cstddef>

#include "platform/console.h"

// Formats into buf (size bytes, zero-filled first). Returns false, with buf holding an
// empty text, when the result would not fit with its terminating NUL.
bool FormatBounded(char* buf, std::size_t size, const char* fmt, ...) LRX_PRINTF(3, 4);
