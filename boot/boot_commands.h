#pragma once
// The bootloader column: the chip choice, File Open, the buttons, and the question that stops a
// running transfer.
#include <cstdint>

#include "platform/types.h"

void button_BootSwitch_process(platform::Wnd wnd, uint32_t wParam, platform::Wnd lParam);
void button_FlashErase_process(platform::Wnd wnd, uint32_t wParam, platform::Wnd lParam);
void button_FileCheck_process(platform::Wnd wnd);
void button_BootGo_process(platform::Wnd wnd);
// Asked when COM Stop is pressed during a transfer; true when the port may be closed.
bool BootStopQuestion(platform::Wnd wnd);
// Ends a running transfer at once, as OK to the stop question does: nothing more is sent.
void BootloaderStop();
// While a transfer runs, the lines being sent must not change: the action is refused with a
// box naming it. True when refused.
bool RefusedDuringTransfer(platform::Wnd wnd, const char* action);

// The chip combo box: acts on a confirmed selection only.
void ChipSelect_process(uint32_t wParam, platform::Wnd lParam);
// File -> Open and the File Open button: the dialog, then HexFileLoad.
void HexFileOpen(platform::Wnd owner);
// The file read and checked, the result shown, and the file the one to send: what the dialog's
// choice starts. False when it could not be read (g_hex.szReadError says why); the file
// loaded before stays.
bool HexFileLoad(const char* path);
// The last check's result in the check label, the status line and the file name label.
void ShowHexFileCheck();
