#pragma once
// The COM traffic log file.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string_view>

#include "platform/console.h"
#include "platform/types.h"

// The log file's full name is formatted into a buffer of this size.
constexpr std::size_t kLogNameSize = 256;

struct ComLogState {
    std::FILE* pCOMLogFile = nullptr;
    uint8_t com_log_active = 0;
    char szCOMLogFileName[kLogNameSize] = {};  // the file in use (or last used)
    void Reset() { *this = ComLogState{}; }
};
extern ComLogState g_log;

void button_LOG_StartStop_process(platform::Wnd wnd, uint32_t wParam, platform::Wnd lParam);

// Starts the log in the given file, created or emptied, instead of a new time-stamped file
// in the log folder. False, with errno set, when it cannot be opened.
bool ComLogStartFile(const char* path);

// Writers: each does nothing while the log is off, and flushes so that a crash loses nothing.
void ComLogWrite(const void* data, std::size_t len);
void ComLogText(std::string_view text);
void ComLogPrintf(const char* fmt, ...) LRX_PRINTF(1, 2);
// Closes the log file if one is open (shutdown).
void ComLogClose();
