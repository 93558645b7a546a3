#pragma once
// The Windows implementations of the seam, made once by the entry point.
#include <windows.h>
#include <commctrl.h>

#include <memory>

#include "platform/console.h"
#include "platform/serial_port.h"
#include "platform/system.h"
#include "platform/ui.h"

namespace platform {

// AttachRouter makes page_router the page's window procedure.
std::unique_ptr<Ui> NewWin32Ui(WNDPROC page_router);
std::unique_ptr<SerialPort> NewWin32Serial();
std::unique_ptr<System> NewWin32System();
// Allocates the process's console and reopens stdout on it, untranslated.
std::unique_ptr<Console> OpenWin32Console();

inline HWND ToHwnd(Wnd w) {
    return reinterpret_cast<HWND>(w);
}
inline Wnd ToWnd(HWND h) {
    return reinterpret_cast<Wnd>(h);
}

}  // namespace platform
