#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/com_page.h"
#include "app/settings.h"
#include "firmware/chip_table.h"
#include "serial/port.h"
#include "tests/fakes/test_env.h"

namespace {

using platform::Wnd;

class ComPageTest : public fakes::CoreTest {
  protected:
    Wnd page = ui.NewWindow("page");
};

TEST_F(ComPageTest, ControlsFontsAndCombos) {
    CreateComPageControls(page);

    ASSERT_EQ(ui.order.size(), 25u);
    const uint16_t ids[24] = {1024, 1036, 1034, 1035, 1024, 1038, 1039, 1040,
                              1041, 1042, 1037, 1024, 1069, 1070, 1071, 1064,
                              1024, 1065, 1024, 1066, 1024, 1024, 1024, 1024};
    for (std::size_t i = 0; i < 24; ++i) {
        const fakes::FakeControl& c = ui.controls[ui.order[i + 1]];
        EXPECT_EQ(c.parent, page) << i;
        EXPECT_EQ(c.spec.id, ids[i]) << i;
        // Titles "COM 8N1" and "Bootloader", the small hex file name, the console text area.
        EXPECT_EQ(c.font, i == 0 || i == 11 ? g_com.hFontTitle
                          : i == 16         ? g_com.hFontSmall
                          : i == 10         ? g_com.hFontConsole
                                            : ui.DefaultGuiFont())
            << i;
    }
    // Spot checks through the handles; the end-to-end run checks every control's place.
    const auto place = [&](Wnd w) {
        const platform::ControlSpec& c = ui.controls[w].spec;
        return std::vector<int>{c.x, c.y, c.width, c.height, static_cast<int>(c.style)};
    };
    using S = platform::Style;
    EXPECT_EQ(place(g_com.hWndComText), (std::vector<int>{130, 40, 450, 450, int(S::TextArea)}));
    EXPECT_EQ(place(g_com.hWndStatusRight),
              (std::vector<int>{600, 555, 200, 16, int(S::ReadOnlyField)}));
    EXPECT_EQ(place(g_com.hWndChipSelect),
              (std::vector<int>{20, 240, 100, 150, int(S::DropDownList)}));
    EXPECT_EQ(ui.Text(g_com.hWndComStartStop), "COM Start");
    EXPECT_EQ(ui.Text(g_com.hWndProgress), "lines: - / -");
    EXPECT_EQ(ui.Text(g_com.hWndStatusRight), "...");

    // Title, small, console: handles 1, 2, 3.
    std::string fonts;
    for (const fakes::FakeFont& f : ui.fonts) {
        fonts += f.face + " " + std::to_string(f.height) + " " + std::to_string(f.weight) + ";";
    }
    EXPECT_EQ(fonts, "Arial 15 700;Arial 12 0;Courier New 14 0;");
    EXPECT_EQ(
        std::vector<platform::Font>({g_com.hFontTitle, g_com.hFontSmall, g_com.hFontConsole}),
        std::vector<platform::Font>({fakes::FakeUi::FontHandle(1), fakes::FakeUi::FontHandle(2),
                                     fakes::FakeUi::FontHandle(3)}));

    std::vector<std::string> ports;
    for (int i = 1; i <= 40; ++i) ports.push_back("COM" + std::to_string(i));
    EXPECT_EQ(ui.controls[g_com.hWndComSelect].items, ports);
    EXPECT_EQ(ui.controls[g_com.hWndBaudSelect].items,
              (std::vector<std::string>{"1200 bps", "2400 bps", "4800 bps", "9600 bps", "14400 bps",
                                        "19200 bps", "38400 bps", "57600 bps", "115200 bps"}));
    EXPECT_EQ(ui.controls[g_com.hWndChipSelect].items,
              (std::vector<std::string>{"ATmega328P", "ATmega1284P", "ATmega1281"}));
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
        g_settings = {c.com, c.baud, c.valid};
        g_chip.chip_index = 2;
        g_port.COM_timeout_max = 50;  // changes only when a baud rate is confirmed

        CreateComPageControls(page);

        EXPECT_EQ(g_port.com_port_number, c.want_port);
        EXPECT_EQ(g_port.com_baudrate, baudrate_table[c.want_row]);
        EXPECT_EQ(g_port.COM_timeout_max, 50u);
        EXPECT_EQ(g_chip.chip_index, 0);
        EXPECT_EQ(ui.controls[g_com.hWndComSelect].selection, c.want_port - 1);
        EXPECT_EQ(ui.controls[g_com.hWndBaudSelect].selection, c.want_row);
        EXPECT_EQ(ui.controls[g_com.hWndChipSelect].selection, 0);
    }
}

}  // namespace
