#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "app/com_page.h"
#include "generator/gen_page.h"
#include "tests/fakes/test_env.h"

namespace {

using platform::Style;
using Member = platform::Wnd GenPageHandles::*;

class GenPageTest : public fakes::CoreTest {
  protected:
    void SetUp() override {
        CoreTest::SetUp();
        g_com.hFontTitle = fakes::FakeUi::FontHandle(0x5000);
        page = ui.NewWindow("page");
        before = ui.order.size();
        CreateGeneratorPage(page);
        created.assign(ui.order.begin() + static_cast<std::ptrdiff_t>(before), ui.order.end());
    }
    const fakes::FakeControl& Row(int row) { return ui.controls[created.at(row - 1)]; }

    platform::Wnd page = nullptr;
    std::size_t before = 0;
    std::vector<platform::Wnd> created;
};

TEST_F(GenPageTest, CreatesFiftyNineControlsOnThePage) {
    ASSERT_EQ(created.size(), 59u);
    std::map<std::string, int> per_class;
    std::map<Style, int> per_style;
    for (platform::Wnd w : created) {
        const fakes::FakeControl& c = ui.controls[w];
        EXPECT_EQ(c.parent, page);
        ++per_class[c.cls];
        ++per_style[c.spec.style];
        // Everything lies right of the communication controls.
        EXPECT_GE(c.spec.x, 600);
        if (c.cls != "STATIC") {
            EXPECT_LE(c.spec.x + c.spec.width, 960);
            EXPECT_LE(c.spec.y + c.spec.height, 545);
        }
    }
    EXPECT_EQ(per_class,
              (std::map<std::string, int>{{"STATIC", 22}, {"BUTTON", 22}, {"EDIT", 15}}));
    EXPECT_EQ(per_style[Style::LabelCentre], 3);
    EXPECT_EQ(per_style[Style::LabelLeft], 19);
    EXPECT_EQ(per_style[Style::PushButton], 16);
    EXPECT_EQ(per_style[Style::PushButtonMulti], 6);
    EXPECT_EQ(per_style[Style::ValueBox], 8);
    EXPECT_EQ(per_style[Style::EntryBox], 4);
    EXPECT_EQ(per_style[Style::PasswordBox], 1);
    EXPECT_EQ(per_style[Style::IdentBox], 2);
    // The generator page and the hardware/firmware boxes reach x 960 and y 545.
    EXPECT_EQ(Row(57).spec.x + Row(57).spec.width, 960);
    EXPECT_EQ(Row(59).spec.y + Row(59).spec.height, 545);
}

TEST_F(GenPageTest, EveryHandleIdAndTextInCreationOrder) {
    struct Want {
        int row;
        Member handle;
        const char* cls;
        const char* text;
        uint16_t id;
        Style style;
    };
    using G = GenPageHandles;
    const Want wants[] = {
        {2, &G::hWndPwmOnOff, "BUTTON", "PWM OFF", 1084, Style::PushButton},
        {4, &G::hWndCtlOnOff, "BUTTON", "CTL ON", 1104, Style::PushButton},
        {6, &G::hWndPwmRead, "BUTTON", "Read", 1085, Style::PushButton},
        {8, &G::hWndFreq, "EDIT", "-", 1024, Style::ValueBox},
        {9, &G::hWndFreqDown, "BUTTON", "f--", 1086, Style::PushButton},
        {10, &G::hWndFreqUp, "BUTTON", "f++", 1087, Style::PushButton},
        {12, &G::hWndDuty, "EDIT", "-", 1024, Style::ValueBox},
        {13, &G::hWndDutyDown, "BUTTON", "d--", 1088, Style::PushButton},
        {14, &G::hWndDutyUp, "BUTTON", "d++", 1089, Style::PushButton},
        {17, &G::hWndAutoSearch, "BUTTON", "AutoSearch", 1107, Style::PushButton},
        {18, &G::hWndSearchAlways, "BUTTON", "AS alw. ON", 1108, Style::PushButtonMulti},
        {21, &G::hWndFmax, "EDIT", "-", 1024, Style::EntryBox},
        {23, &G::hWndFmin, "EDIT", "-", 1024, Style::EntryBox},
        {24, &G::hWndFreqLimRead, "BUTTON", "Read", 1090, Style::PushButton},
        {25, &G::hWndFmaxWrite, "BUTTON", "Wr max", 1091, Style::PushButton},
        {26, &G::hWndFminWrite, "BUTTON", "Wr min", 1092, Style::PushButton},
        {28, &G::hWndVmin, "EDIT", "-", 1024, Style::EntryBox},
        {29, &G::hWndVminRead, "BUTTON", "Rd", 1096, Style::PushButton},
        {30, &G::hWndVminWrite, "BUTTON", "Wr", 1097, Style::PushButton},
        {32, &G::hWndMeasRead, "BUTTON", "Read", 1094, Style::PushButtonMulti},
        {33, &G::hWndAutoRead, "BUTTON", "AutoRead ON", 1095, Style::PushButtonMulti},
        {34, &G::hWndAntVpeak, "EDIT", "-", 1024, Style::ValueBox},
        {36, &G::hWndAntIpeak, "EDIT", "-", 1024, Style::ValueBox},
        {38, &G::hWndVsupply, "EDIT", "-", 1024, Style::ValueBox},
        {40, &G::hWndAntIavg, "EDIT", "-", 1024, Style::ValueBox},
        {42, &G::hWndAntPavg, "EDIT", "-", 1024, Style::ValueBox},
        {44, &G::hWndPcbTemp, "EDIT", "-", 1024, Style::ValueBox},
        {47, &G::hWndEepPassword, "EDIT", "", 1024, Style::PasswordBox},
        {48, &G::hWndEepWrEn, "BUTTON", "EEP WR EN", 1114, Style::PushButton},
        {49, &G::hWndPwmSave, "BUTTON", "Save PWM settings\nto Eeprom", 1115,
         Style::PushButtonMulti},
        {50, &G::hWndEepRecall, "BUTTON", "Recall\nEeprom Defaults", 1116, Style::PushButtonMulti},
        {51, &G::hWndOfflEdit, "BUTTON", "Enable\nPWM Offline Edit", 1117, Style::PushButtonMulti},
        {53, &G::hWndTempThresh, "EDIT", "-", 1024, Style::EntryBox},
        {54, &G::hWndTempThreshRead, "BUTTON", "Rd", 1124, Style::PushButton},
        {55, &G::hWndTempThreshWrite, "BUTTON", "Wr", 1125, Style::PushButton},
        {57, &G::hWndHwVersion, "EDIT", "...", 1024, Style::IdentBox},
        {59, &G::hWndFwVersion, "EDIT", "...", 1024, Style::IdentBox},
    };
    ASSERT_EQ(created.size(), 59u);
    std::set<int> handled_rows;
    std::set<uint16_t> button_ids;
    for (const Want& w : wants) {
        const platform::Wnd h = g_gen.*w.handle;
        EXPECT_EQ(h, created.at(w.row - 1)) << "row " << w.row;
        const fakes::FakeControl& c = ui.controls[h];
        EXPECT_EQ(c.cls, w.cls) << "row " << w.row;
        EXPECT_EQ(c.text, w.text) << "row " << w.row;
        EXPECT_EQ(c.spec.id, w.id) << "row " << w.row;
        EXPECT_EQ(c.spec.style, w.style) << "row " << w.row;
        handled_rows.insert(w.row);
        if (w.id != 1024) {
            EXPECT_TRUE(button_ids.insert(w.id).second) << w.id;
        }
    }
    EXPECT_EQ(button_ids.size(), 22u);
    // The rows nobody keeps a handle to are the labels.
    for (int row = 1; row <= 59; ++row) {
        if (handled_rows.count(row) != 0) continue;
        EXPECT_EQ(Row(row).cls, "STATIC") << "row " << row;
        EXPECT_EQ(Row(row).spec.id, 1024) << "row " << row;
    }
}

TEST_F(GenPageTest, SampledRowsInFull) {
    struct Want {
        int row;
        const char* text;
        int x, y, w, h;
        Style style;
    };
    const Want wants[] = {
        {1, "PWM on / off", 600, 5, 80, 20, Style::LabelCentre},
        {3, "DC CTL on/off", 700, 5, 80, 20, Style::LabelCentre},
        {6, "Read", 700, 63, 60, 22, Style::PushButton},
        {15, "Auto Search", 600, 175, 77, 20, Style::LabelLeft},
        {16, "for PWM frequency", 677, 175, 100, 20, Style::LabelLeft},
        {21, "-", 628, 240, 62, 20, Style::EntryBox},
        {24, "Read", 695, 255, 40, 20, Style::PushButton},
        {31, "Voltages - Currents - Temperature", 600, 340, 210, 20, Style::LabelLeft},
        {33, "AutoRead ON", 675, 364, 95, 22, Style::PushButtonMulti},
        {45, "PCB Temperature", 670, 520, 110, 20, Style::LabelLeft},
        {46, "EEPROM Password", 820, 10, 120, 20, Style::LabelCentre},
        {47, "", 820, 35, 120, 20, Style::PasswordBox},
        {49, "Save PWM settings\nto Eeprom", 820, 90, 120, 40, Style::PushButtonMulti},
        {52, "Temperature Threshold - ALARM", 800, 250, 180, 20, Style::LabelLeft},
        {55, "Wr", 910, 270, 45, 20, Style::PushButton},
        {57, "...", 820, 400, 140, 60, Style::IdentBox},
        {58, "Firmware Version", 820, 465, 120, 20, Style::LabelLeft},
        {59, "...", 820, 485, 140, 60, Style::IdentBox},
    };
    for (const Want& w : wants) {
        const fakes::FakeControl& c = Row(w.row);
        EXPECT_EQ(c.text, w.text) << "row " << w.row;
        EXPECT_EQ(c.spec.x, w.x) << "row " << w.row;
        EXPECT_EQ(c.spec.y, w.y) << "row " << w.row;
        EXPECT_EQ(c.spec.width, w.w) << "row " << w.row;
        EXPECT_EQ(c.spec.height, w.h) << "row " << w.row;
        EXPECT_EQ(c.spec.style, w.style) << "row " << w.row;
    }
    // Two-line captions hold one real line feed.
    for (int row : {49, 50, 51}) {
        const std::string& t = Row(row).text;
        EXPECT_EQ(std::count(t.begin(), t.end(), '\n'), 1) << "row " << row;
        EXPECT_EQ(t.find('\\'), std::string::npos) << "row " << row;
    }
}

TEST_F(GenPageTest, FontsPerControl) {
    ASSERT_EQ(ui.fonts.size(), 1u);
    EXPECT_EQ(ui.fonts[0].face, "Arial");
    EXPECT_EQ(ui.fonts[0].height, 15);
    EXPECT_EQ(ui.fonts[0].weight, 700);
    EXPECT_EQ(g_gen.hFontValue, fakes::FakeUi::FontHandle(1));

    const std::set<int> value_rows = {8, 12, 34, 36, 38, 40, 42, 44};
    const std::set<int> title_rows = {5, 15};
    ASSERT_EQ(created.size(), 59u);
    for (int row = 1; row <= 59; ++row) {
        platform::Font want = ui.DefaultGuiFont();
        if (value_rows.count(row) != 0) want = g_gen.hFontValue;
        if (title_rows.count(row) != 0) want = g_com.hFontTitle;
        EXPECT_EQ(Row(row).font, want) << "row " << row;
    }
}

}  // namespace
