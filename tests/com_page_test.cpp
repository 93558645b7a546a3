#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "app/com_page.h"
#include "app/settings.h"
#include "firmware/chip_table.h"
#include "platform/env.h"
#include "serial/port.h"
#include "tests/fakes/test_env.h"

namespace {

using platform::Style;
using platform::Wnd;

// Notes how many controls existed when each font was made, and the combo calls in order.
class RecordingUi : public fakes::FakeUi {
  public:
    platform::Font MakeFont(const char* face, int height, int weight) override {
        controls_before_font.push_back(order.size() - 1);  // minus the page itself
        return FakeUi::MakeFont(face, height, weight);
    }
    void ComboReset(Wnd w) override {
        combo_calls.push_back({w, "reset"});
        FakeUi::ComboReset(w);
    }
    void ComboAdd(Wnd w, std::string_view item) override {
        combo_calls.push_back({w, "add"});
        FakeUi::ComboAdd(w, item);
    }
    std::vector<std::size_t> controls_before_font;
    std::vector<std::pair<Wnd, std::string>> combo_calls;
};

class ComPageTest : public fakes::CoreTest {
  protected:
    void SetUp() override {
        CoreTest::SetUp();
        platform::SetEnv(platform::Env{&rui, &serial, &system, &console});
        page = rui.NewWindow("page");
    }
    RecordingUi rui;
    Wnd page = nullptr;
};

enum class F { Gui, Title, Small, Console };

struct Expected {
    const char* cls;
    const char* text;
    int x, y, w, h;
    Style style;
    uint16_t id;
    F font;
    Wnd ComPageHandles::*handle;
};

const Expected kExpected[] = {
    {"STATIC", "COM 8N1", 20, 10, 80, 20, Style::LabelCentre, 1024, F::Title, nullptr},
    {"BUTTON", "COM Start", 20, 30, 80, 25, Style::PushButton, 1036, F::Gui,
     &ComPageHandles::hWndComStartStop},
    {"COMBOBOX", "", 20, 60, 80, 150, Style::DropDownList, 1034, F::Gui,
     &ComPageHandles::hWndComSelect},
    {"COMBOBOX", "", 20, 85, 80, 150, Style::DropDownList, 1035, F::Gui,
     &ComPageHandles::hWndBaudSelect},
    {"STATIC", "Reg:", 130, 15, 30, 20, Style::LabelCentre, 1024, F::Gui, nullptr},
    {"EDIT", "", 160, 15, 160, 20, Style::SingleLineField, 1038, F::Gui,
     &ComPageHandles::hWndRegEdit},
    {"BUTTON", "Read", 330, 15, 40, 20, Style::PushButtonTab, 1039, F::Gui,
     &ComPageHandles::hWndRegRead},
    {"BUTTON", "Write", 380, 15, 40, 20, Style::PushButtonTab, 1040, F::Gui,
     &ComPageHandles::hWndRegWrite},
    {"BUTTON", "LOG Start", 430, 15, 60, 20, Style::PushButton, 1041, F::Gui,
     &ComPageHandles::hWndLogStartStop},
    {"BUTTON", "ClearScr", 510, 15, 60, 20, Style::PushButton, 1042, F::Gui,
     &ComPageHandles::hWndClearScr},
    {"EDIT", "", 130, 40, 450, 450, Style::TextArea, 1037, F::Console,
     &ComPageHandles::hWndComText},
    {"STATIC", "Bootloader", 20, 220, 80, 20, Style::LabelCentre, 1024, F::Title, nullptr},
    {"COMBOBOX", "", 20, 240, 100, 150, Style::DropDownList, 1069, F::Gui,
     &ComPageHandles::hWndChipSelect},
    {"BUTTON", "Switch Boot/App", 20, 270, 100, 25, Style::PushButton, 1070, F::Gui,
     &ComPageHandles::hWndBootSwitch},
    {"BUTTON", "Flash Erase", 20, 305, 80, 25, Style::PushButton, 1071, F::Gui,
     &ComPageHandles::hWndFlashErase},
    {"BUTTON", "File Open", 20, 345, 80, 25, Style::PushButton, 1064, F::Gui,
     &ComPageHandles::hWndFileOpen},
    {"STATIC", "...", 10, 370, 100, 20, Style::LabelCentre, 1024, F::Small,
     &ComPageHandles::hWndHexFileName},
    {"BUTTON", "File Check", 20, 395, 80, 25, Style::PushButton, 1065, F::Gui,
     &ComPageHandles::hWndFileCheck},
    {"STATIC", "Check: -", 15, 420, 90, 20, Style::LabelCentre, 1024, F::Gui,
     &ComPageHandles::hWndCheckResult},
    {"BUTTON", "Go!", 20, 445, 80, 25, Style::PushButton, 1066, F::Gui,
     &ComPageHandles::hWndBootGo},
    {"STATIC", "Progress:", 15, 470, 90, 20, Style::LabelCentre, 1024, F::Gui, nullptr},
    {"EDIT", "lines: - / -", 15, 490, 90, 15, Style::ReadOnlyField, 1024, F::Gui,
     &ComPageHandles::hWndProgress},
    {"EDIT", "", 15, 555, 580, 16, Style::ReadOnlyField, 1024, F::Gui,
     &ComPageHandles::hWndStatusLeft},
    {"EDIT", "...", 600, 555, 200, 16, Style::ReadOnlyField, 1024, F::Gui,
     &ComPageHandles::hWndStatusRight},
};

TEST_F(ComPageTest, EveryControlAtItsPlaceWithTextStyleIdAndFont) {
    CreateComPageControls(page);

    const std::size_t n = sizeof kExpected / sizeof kExpected[0];
    ASSERT_EQ(n, 24u);
    ASSERT_EQ(rui.order.size(), n + 1);
    const platform::Font gui = rui.DefaultGuiFont();
    for (std::size_t i = 0; i < n; ++i) {
        const Expected& e = kExpected[i];
        SCOPED_TRACE(std::to_string(i + 1) + " " + e.text);
        const Wnd w = rui.order[i + 1];
        const fakes::FakeControl& c = rui.controls[w];
        EXPECT_EQ(c.parent, page);
        EXPECT_EQ(c.cls, e.cls);
        EXPECT_EQ(c.text, e.text);
        EXPECT_EQ(c.spec.x, e.x);
        EXPECT_EQ(c.spec.y, e.y);
        EXPECT_EQ(c.spec.width, e.w);
        EXPECT_EQ(c.spec.height, e.h);
        EXPECT_EQ(c.spec.style, e.style);
        EXPECT_EQ(c.spec.id, e.id);
        const platform::Font want = e.font == F::Title     ? g_com.hFontTitle
                                    : e.font == F::Small   ? g_com.hFontSmall
                                    : e.font == F::Console ? g_com.hFontConsole
                                                           : gui;
        EXPECT_NE(want, nullptr);
        EXPECT_EQ(c.font, want);
        if (e.handle != nullptr) {
            EXPECT_EQ(g_com.*e.handle, w);
        }
    }
}

TEST_F(ComPageTest, ThreeFontsInOrderConsoleFontRightBeforeTextArea) {
    CreateComPageControls(page);

    ASSERT_EQ(rui.fonts.size(), 3u);
    EXPECT_EQ(rui.fonts[0].face, "Arial");
    EXPECT_EQ(rui.fonts[0].height, 15);
    EXPECT_EQ(rui.fonts[0].weight, 700);
    EXPECT_EQ(rui.fonts[1].face, "Arial");
    EXPECT_EQ(rui.fonts[1].height, 12);
    EXPECT_EQ(rui.fonts[1].weight, 0);
    EXPECT_EQ(rui.fonts[2].face, "Courier New");
    EXPECT_EQ(rui.fonts[2].height, 14);
    EXPECT_EQ(rui.fonts[2].weight, 0);
    EXPECT_EQ(g_com.hFontTitle, fakes::FakeUi::FontHandle(1));
    EXPECT_EQ(g_com.hFontSmall, fakes::FakeUi::FontHandle(2));
    EXPECT_EQ(g_com.hFontConsole, fakes::FakeUi::FontHandle(3));
    // The text area is control 11: ten controls exist when its font is made.
    EXPECT_EQ(rui.controls_before_font, (std::vector<std::size_t>{0, 0, 10}));
}

TEST_F(ComPageTest, CombosAreEmptiedThenFilled) {
    CreateComPageControls(page);

    std::vector<std::string> ports;
    for (int i = 1; i <= 40; ++i) ports.push_back("COM" + std::to_string(i));
    EXPECT_EQ(rui.controls[g_com.hWndComSelect].items, ports);
    EXPECT_EQ(rui.controls[g_com.hWndBaudSelect].items,
              (std::vector<std::string>{"1200 bps", "2400 bps", "4800 bps", "9600 bps", "14400 bps",
                                        "19200 bps", "38400 bps", "57600 bps", "115200 bps"}));
    EXPECT_EQ(rui.controls[g_com.hWndChipSelect].items,
              (std::vector<std::string>{"ATmega328P", "ATmega1284P", "ATmega1281"}));

    for (Wnd combo : {g_com.hWndComSelect, g_com.hWndBaudSelect, g_com.hWndChipSelect}) {
        std::vector<std::string> calls;
        for (const auto& [w, what] : rui.combo_calls) {
            if (w == combo) calls.push_back(what);
        }
        ASSERT_FALSE(calls.empty());
        EXPECT_EQ(calls.front(), "reset");
        EXPECT_EQ(std::count(calls.begin(), calls.end(), "reset"), 1);
    }
    EXPECT_TRUE(console.out.empty()) << console.out;
}

TEST_F(ComPageTest, StartSelectionsFollowTheSettings) {
    struct Case {
        uint8_t valid;
        uint32_t com, baud;
        uint8_t want_port;
        int want_row;
    };
    const Case cases[] = {
        {0, 0, 0, 15, 6},      {0, 3, 115200, 15, 6}, {1, 3, 115200, 3, 8},
        {1, 1, 1200, 1, 0},    {1, 40, 14400, 40, 4}, {1, 7, 2000, 7, 6},
        {1, 12, 38400, 12, 6}, {1, 41, 9600, 15, 6},  {1, 256 + 3, 9600, 15, 6},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.com) + " " + std::to_string(c.baud));
        fakes::ResetCoreState();
        g_settings.settings_valid = c.valid;
        g_settings.settings_com = c.com;
        g_settings.settings_baudrate = c.baud;
        g_chip.chip_index = 2;
        g_port.COM_timeout_max = 5;

        CreateComPageControls(page);

        EXPECT_EQ(g_port.com_port_number, c.want_port);
        EXPECT_EQ(g_port.com_baudrate, baudrate_table[c.want_row]);
        EXPECT_EQ(g_port.COM_timeout_max, 5u);
        EXPECT_EQ(g_chip.chip_index, 0);
        EXPECT_EQ(rui.controls[g_com.hWndComSelect].selection, c.want_port - 1);
        EXPECT_EQ(rui.controls[g_com.hWndBaudSelect].selection, c.want_row);
        EXPECT_EQ(rui.controls[g_com.hWndChipSelect].selection, 0);
    }
}

}  // namespace
