#pragma once
// Portable names for the few Win32 values the core passes through the seam.
// The numbers are those of the Win32 ABI so the Windows side can hand them on unchanged.
#include <cstdint>

namespace platform {

struct WndOpaque;
using Wnd = WndOpaque*;  // a window or control; nullptr when none

struct FontOpaque;
using Font = FontOpaque*;

struct PortOpaque;
using PortHandle = PortOpaque*;  // an open serial port; nullptr when closed

// Message box flags and answers.
constexpr unsigned kMbOk = 0x00;
constexpr unsigned kMbOkCancel = 0x01;
constexpr unsigned kMbIconError = 0x10;
constexpr unsigned kMbIconQuestion = 0x20;
constexpr unsigned kMbIconWarning = 0x30;
constexpr unsigned kMbIconInformation = 0x40;
constexpr int kIdOk = 1;
constexpr int kIdCancel = 2;

// Notification codes in the high word of a WM_COMMAND wParam.
constexpr unsigned kBnClicked = 0;
constexpr unsigned kCbnSelEndOk = 9;

inline uint16_t LowWord(uint32_t v) {
    return static_cast<uint16_t>(v & 0xFFFFu);
}
inline uint16_t HighWord(uint32_t v) {
    return static_cast<uint16_t>(v >> 16);
}
inline uint32_t MakeWParam(uint16_t id, uint16_t code) {
    return (uint32_t{code} << 16) | id;
}

// Control looks, mapped to window style bits by the Windows side.
enum class Style : uint8_t {
    LabelCentre,      // SS_CENTER | SS_CENTERIMAGE
    LabelLeft,        // SS_LEFT | SS_CENTERIMAGE
    PushButton,       // BS_DEFPUSHBUTTON
    PushButtonTab,    // BS_DEFPUSHBUTTON | WS_TABSTOP
    PushButtonMulti,  // BS_DEFPUSHBUTTON | BS_MULTILINE
    DropDownList,     // CBS_DROPDOWNLIST | CBS_HASSTRINGS | WS_VSCROLL
    SingleLineField,  // WS_BORDER | WS_TABSTOP | ES_NOHIDESEL | ES_WANTRETURN
    TextArea,         // WS_BORDER | WS_VSCROLL | ES_MULTILINE | ES_AUTOVSCROLL | ES_NOHIDESEL |
                      // ES_WANTRETURN
    ReadOnlyField,    // ES_READONLY | ES_NOHIDESEL
    ValueBox,         // E1: WS_BORDER | WS_TABSTOP | ES_RIGHT | ES_NOHIDESEL
    EntryBox,         // E2: E1 | ES_AUTOVSCROLL | ES_WANTRETURN
    PasswordBox,      // E3: WS_BORDER | WS_TABSTOP | ES_CENTER | ES_NOHIDESEL
    IdentBox,         // E4: WS_BORDER | WS_TABSTOP | ES_MULTILINE | ES_NOHIDESEL
};

// One control as the page tables describe it.
struct ControlSpec {
    const char* cls;  // "STATIC", "BUTTON", "EDIT", "COMBOBOX"
    const char* text;
    int x, y, width, height;
    Style style;
    uint16_t id;
};

struct LocalTime {
    int year, month, day, hour, minute, second;
    int millisecond = 0;  // the chart's time axis; the log and the CSV show whole seconds
};

}  // namespace platform
