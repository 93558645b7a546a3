#include "app/com_page.h"

#include "app/settings.h"
#include "page/control_ids.h"
#include "firmware/chip_table.h"
#include "platform/env.h"
#include "platform/text_format.h"
#include "serial/port.h"
#include "serial/link_controls.h"

namespace {

using platform::Wnd;

enum FontRole : uint8_t { kGui, kTitle, kSmall, kConsole };

struct ComControlRow {
    platform::ControlSpec spec;
    FontRole font;
    Wnd* handle;  // nullptr: nobody uses the control later
};

// In creation order; positions are offsets from the page's client origin.
using S = platform::Style;
// clang-format off
const ComControlRow kComControls[] = {
    {{"STATIC", "COM 8N1", 20, 10, 80, 20, S::LabelCentre, id::kLabel}, kTitle, nullptr},
    {{"BUTTON", "COM Start", 20, 30, 80, 25, S::PushButton, id::kComStartStop}, kGui, &g_link_ui.hWndComStartStop},
    {{"COMBOBOX", "", 20, 60, 80, 150, S::DropDownList, id::kComSelect}, kGui, &g_link_ui.hWndComSelect},
    {{"COMBOBOX", "", 20, 85, 80, 150, S::DropDownList, id::kBaudSelect}, kGui, &g_link_ui.hWndBaudSelect},
    {{"STATIC", "Reg:", 130, 15, 30, 20, S::LabelCentre, id::kLabel}, kGui, nullptr},
    {{"EDIT", "", 160, 15, 160, 20, S::SingleLineField, id::kRegEdit}, kGui, &g_link_ui.hWndRegEdit},
    {{"BUTTON", "Read", 330, 15, 40, 20, S::PushButtonTab, id::kRegRead}, kGui, &g_link_ui.hWndRegRead},
    {{"BUTTON", "Write", 380, 15, 40, 20, S::PushButtonTab, id::kRegWrite}, kGui, &g_link_ui.hWndRegWrite},
    {{"BUTTON", "LOG Start", 430, 15, 60, 20, S::PushButton, id::kLogStartStop}, kGui, &g_link_ui.hWndLogStartStop},
    {{"BUTTON", "ClearScr", 510, 15, 60, 20, S::PushButton, id::kClearScr}, kGui, &g_link_ui.hWndClearScr},
    {{"EDIT", "", 130, 40, 450, 450, S::TextArea, id::kComText}, kConsole, &g_link_ui.hWndComText},
    {{"STATIC", "Bootloader", 20, 220, 80, 20, S::LabelCentre, id::kLabel}, kTitle, nullptr},
    {{"COMBOBOX", "", 20, 240, 100, 150, S::DropDownList, id::kChipSelect}, kGui, &g_com.hWndChipSelect},
    {{"BUTTON", "Switch Boot/App", 20, 270, 100, 25, S::PushButton, id::kBootSwitch}, kGui, &g_com.hWndBootSwitch},
    {{"BUTTON", "Flash Erase", 20, 305, 80, 25, S::PushButton, id::kFlashErase}, kGui, &g_com.hWndFlashErase},
    {{"BUTTON", "File Open", 20, 345, 80, 25, S::PushButton, id::kFileOpen}, kGui, &g_com.hWndFileOpen},
    {{"STATIC", "...", 10, 370, 100, 20, S::LabelCentre, id::kLabel}, kSmall, &g_com.hWndHexFileName},
    {{"BUTTON", "File Check", 20, 395, 80, 25, S::PushButton, id::kFileCheck}, kGui, &g_com.hWndFileCheck},
    {{"STATIC", "Check: -", 15, 420, 90, 20, S::LabelCentre, id::kLabel}, kGui, &g_com.hWndCheckResult},
    {{"BUTTON", "Go!", 20, 445, 80, 25, S::PushButton, id::kBootGo}, kGui, &g_com.hWndBootGo},
    {{"STATIC", "Progress:", 15, 470, 90, 20, S::LabelCentre, id::kLabel}, kGui, nullptr},
    {{"EDIT", "lines: - / -", 15, 490, 90, 15, S::ReadOnlyField, id::kLabel}, kGui, &g_com.hWndProgress},
    {{"EDIT", "", 15, 555, 580, 16, S::ReadOnlyField, id::kLabel}, kGui, &g_com.hWndStatusLeft},
    {{"EDIT", "...", 600, 555, 200, 16, S::ReadOnlyField, id::kLabel}, kGui, &g_com.hWndStatusRight},
};
// clang-format on

constexpr uint8_t kDefaultPort = 15;
constexpr int kDefaultBaudRow = 6;  // 38400
constexpr int kPortCount = 40;

platform::Font FontFor(FontRole role, platform::Font gui) {
    switch (role) {
        case kTitle:
            return g_com.hFontTitle;
        case kSmall:
            return g_com.hFontSmall;
        case kConsole:
            return g_com.hFontConsole;
        case kGui:
            break;
    }
    return gui;
}

void FillCombos(platform::Ui& ui) {
    char item[32];
    ui.ComboReset(g_link_ui.hWndComSelect);
    for (long port = 1; port <= kPortCount; ++port) {
        if (FormatBounded(item, sizeof item, "COM%li", port))
            ui.ComboAdd(g_link_ui.hWndComSelect, item);
    }
    ui.ComboReset(g_link_ui.hWndBaudSelect);
    for (int32_t rate : baudrate_table) {
        if (FormatBounded(item, sizeof item, "%li bps", static_cast<long>(rate))) {
            ui.ComboAdd(g_link_ui.hWndBaudSelect, item);
        }
    }
    ui.ComboReset(g_com.hWndChipSelect);
    for (const ChipRow& chip : chip_table) {
        if (FormatBounded(item, sizeof item, "ATmega%s", chip.name)) {
            ui.ComboAdd(g_com.hWndChipSelect, item);
        }
    }
}

void SelectStartValues(platform::Ui& ui) {
    const bool valid = g_settings.settings_valid != 0 && g_settings.settings_com >= 1 &&
                       g_settings.settings_com <= static_cast<uint32_t>(kPortCount);
    g_port.com_port_number = valid ? static_cast<uint8_t>(g_settings.settings_com) : kDefaultPort;
    g_port.reconnect_enabled = g_settings.settings_reconnect;
    ui.ComboSetSelection(g_link_ui.hWndComSelect, g_port.com_port_number - 1);

    int row = kDefaultBaudRow;
    if (valid) {
        for (int i = 0; i < kBaudRows; ++i) {
            if (static_cast<uint32_t>(baudrate_table[i]) == g_settings.settings_baudrate) {
                row = i;
                break;
            }
        }
    }
    // COM_timeout_max stays as it is until the user confirms a baud rate.
    g_port.com_baudrate = baudrate_table[row];
    ui.ComboSetSelection(g_link_ui.hWndBaudSelect, row);

    g_chip.chip_index = 0;
    ui.ComboSetSelection(g_com.hWndChipSelect, 0);
}

}  // namespace

void CreateComPageControls(platform::Wnd page) {
    platform::Ui& ui = platform::UI();
    const platform::Font gui = ui.DefaultGuiFont();
    g_com.hFontTitle = ui.MakeFont("Arial", 15, 700);
    g_com.hFontSmall = ui.MakeFont("Arial", 12, 0);

    for (const ComControlRow& row : kComControls) {
        // The console font comes right before the text area that uses it.
        if (row.font == kConsole && g_com.hFontConsole == nullptr) {
            g_com.hFontConsole = ui.MakeFont("Courier New", 14, 0);
        }
        const Wnd control = ui.CreateControl(page, row.spec);
        ui.SetControlFont(control, FontFor(row.font, gui));
        if (row.handle != nullptr) *row.handle = control;
    }

    FillCombos(ui);
    SelectStartValues(ui);
}
