#pragma once
// The window page's controls that the device layer shows its state in: the bootloader column,
// the status line, and the page's fonts. The link's own controls are in serial/link_controls.h.
#include "platform/types.h"

struct ComPageHandles {
    platform::Font hFontTitle = nullptr, hFontSmall = nullptr, hFontConsole = nullptr;
    platform::Wnd hWndChipSelect = nullptr, hWndBootSwitch = nullptr, hWndFlashErase = nullptr;
    platform::Wnd hWndFileOpen = nullptr, hWndHexFileName = nullptr, hWndFileCheck = nullptr;
    platform::Wnd hWndCheckResult = nullptr, hWndBootGo = nullptr, hWndProgress = nullptr;
    platform::Wnd hWndStatusLeft = nullptr, hWndStatusRight = nullptr;
    void Reset() { *this = ComPageHandles{}; }
};
extern ComPageHandles g_com;
