#pragma once
// The communication page's controls (left and middle of the page).
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

void CreateComPageControls(platform::Wnd page);

// The text area keeps at most this many characters; older text is dropped first.
constexpr std::size_t kComTextLimit = 512 * 1024;
// Appends at the caret of hWndComText, dropping the oldest text beyond the limit.
void AppendComText(std::string_view text);
