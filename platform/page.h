#pragma once
// What the core shares about the one page: the handles of its controls, the text area's
// writer and the working folders. Below every front end, so each can link the core alone.
#include <cstddef>
#include <string_view>

#include "platform/types.h"

struct ComPageHandles {
    platform::Font hFontTitle = nullptr, hFontSmall = nullptr, hFontConsole = nullptr;
    platform::Wnd hWndComStartStop = nullptr, hWndComSelect = nullptr, hWndBaudSelect = nullptr;
    platform::Wnd hWndRegEdit = nullptr, hWndRegRead = nullptr, hWndRegWrite = nullptr;
    platform::Wnd hWndLogStartStop = nullptr, hWndClearScr = nullptr, hWndComText = nullptr;
    platform::Wnd hWndChipSelect = nullptr, hWndBootSwitch = nullptr, hWndFlashErase = nullptr;
    platform::Wnd hWndFileOpen = nullptr, hWndHexFileName = nullptr, hWndFileCheck = nullptr;
    platform::Wnd hWndCheckResult = nullptr, hWndBootGo = nullptr, hWndProgress = nullptr;
    platform::Wnd hWndStatusLeft = nullptr, hWndStatusRight = nullptr;
    void Reset() { *this = ComPageHandles{}; }
};
extern ComPageHandles g_com;

// The text area keeps at most this many characters; older text is dropped first.
constexpr std::size_t kComTextLimit = 512 * 1024;
// Appends at the caret of hWndComText, dropping the oldest text beyond the limit.
void AppendComText(std::string_view text);

constexpr int kPathSize = 260;

// The working folders under the current directory (empty when unknown).
struct WorkFolders {
    char szExePath[kPathSize] = {};
    char szSettingsPath[kPathSize] = {};
    char szLogPath[kPathSize] = {};
    char szBinPath[kPathSize] = {};
    void Reset() { *this = WorkFolders{}; }
};
extern WorkFolders g_folders;

// A folder and a file name are joined by the host's folder separator.
#if defined(_WIN32)
#define LRX_DIR_SEP "\\"
#else
#define LRX_DIR_SEP "/"
#endif
