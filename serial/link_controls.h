#pragma once
// The controls of the communication area that the link's own handlers use: COM Start/Stop,
// the port and rate choices, the Reg: field and its buttons, LOG Start/Stop, ClearScr and the
// text area. Whoever creates the page fills them in.
#include <cstddef>
#include <string_view>

#include "platform/types.h"

struct LinkControls {
    platform::Wnd hWndComStartStop = nullptr, hWndComSelect = nullptr, hWndBaudSelect = nullptr;
    platform::Wnd hWndRegEdit = nullptr, hWndRegRead = nullptr, hWndRegWrite = nullptr;
    platform::Wnd hWndLogStartStop = nullptr, hWndClearScr = nullptr, hWndComText = nullptr;
    void Reset() { *this = LinkControls{}; }
};
extern LinkControls g_link_ui;

// The text area keeps at most this many characters; older text is dropped first.
constexpr std::size_t kComTextLimit = 512 * 1024;
// Appends at the caret of hWndComText, dropping the oldest text beyond the limit.
void AppendComText(std::string_view text);
