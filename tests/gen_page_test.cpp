#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "app/com_page.h"
#include "generator/gen_page.h"
#include "tests/fakes/test_env.h"

namespace {

using G = GenPageHandles;
using platform::Style;

template <typename... Member>
std::vector<platform::Wnd> Handles(Member... members) {
    return {(g_gen.*members)...};
}

class GenPageTest : public fakes::CoreTest {
  protected:
    void SetUp() override {
        CoreTest::SetUp();
        g_com.hFontTitle = fakes::FakeUi::FontHandle(0x5000);
        page = ui.NewWindow("page");
        CreateGeneratorPage(page);
        created.assign(ui.order.begin() + 1, ui.order.end());
    }
    const fakes::FakeControl& Row(int row) { return ui.controls[created.at(row - 1)]; }
    // Caption and place of one control, "text @x,y wxh".
    std::string Place(int row) {
        const platform::ControlSpec& s = Row(row).spec;
        return Row(row).text + " @" + std::to_string(s.x) + "," + std::to_string(s.y) + " " +
               std::to_string(s.width) + "x" + std::to_string(s.height);
    }

    platform::Wnd page = nullptr;
    std::vector<platform::Wnd> created;
};

TEST_F(GenPageTest, FiftyNineControlsWithTheirStylesAndFonts) {
    ASSERT_EQ(created.size(), 59u);
    ASSERT_EQ(ui.fonts.size(), 1u);
    EXPECT_EQ(ui.fonts[0].face + " " + std::to_string(ui.fonts[0].height) + " " +
                  std::to_string(ui.fonts[0].weight),
              "Arial 15 700");
    EXPECT_EQ(g_gen.hFontValue, fakes::FakeUi::FontHandle(1));
    const std::set<int> value_rows = {8, 12, 34, 36, 38, 40, 42, 44};
    const std::set<int> title_rows = {5, 15};
    std::map<std::string, int> per_class;
    for (int row = 1; row <= 59; ++row) {
        SCOPED_TRACE(Place(row));
        const fakes::FakeControl& c = Row(row);
        EXPECT_EQ(c.parent, page);
        ++per_class[c.cls];
        // Right of the communication controls; only labels may reach past the boxes.
        EXPECT_GE(c.spec.x, 600);
        EXPECT_TRUE(c.cls == "STATIC" ||
                    (c.spec.x + c.spec.width <= 960 && c.spec.y + c.spec.height <= 545));
        platform::Font font = ui.DefaultGuiFont();
        if (value_rows.count(row) != 0) font = g_gen.hFontValue;
        if (title_rows.count(row) != 0) font = g_com.hFontTitle;
        EXPECT_EQ(c.font, font);
    }
    EXPECT_EQ(per_class,
              (std::map<std::string, int>{{"STATIC", 22}, {"BUTTON", 22}, {"EDIT", 15}}));
    EXPECT_EQ(Row(1).spec.style, Style::LabelCentre);
    EXPECT_EQ(ui.controls[g_gen.hWndEepPassword].spec.style, Style::PasswordBox);
    EXPECT_EQ(ui.controls[g_gen.hWndPwmSave].spec.style, Style::PushButtonMulti);
    EXPECT_EQ(ui.controls[g_gen.hWndFwVersion].spec.style, Style::IdentBox);
    // Spot checks of the layout; every place is checked where the page is shown for real.
    EXPECT_EQ(Place(1), "PWM on / off @600,5 80x20");
    EXPECT_EQ(Place(33), "AutoRead ON @675,364 95x22");
    EXPECT_EQ(Place(52), "Temperature Threshold - ALARM @800,250 180x20");
    EXPECT_EQ(Place(59), "... @820,485 140x60");
    // Two-line captions hold one real line feed.
    EXPECT_EQ(Place(49), "Save PWM settings\nto Eeprom @820,90 120x40");
    EXPECT_EQ(ui.Text(g_gen.hWndEepRecall), "Recall\nEeprom Defaults");
    EXPECT_EQ(ui.Text(g_gen.hWndOfflEdit), "Enable\nPWM Offline Edit");
}

// Every control that is not a label has a handle, and the buttons carry the ids that route
// their clicks; labels and read-out boxes share one id.
TEST_F(GenPageTest, HandlesAndIdsInCreationOrder) {
    const std::vector<platform::Wnd> handles = Handles(
        &G::hWndPwmOnOff, &G::hWndCtlOnOff, &G::hWndPwmRead, &G::hWndFreq, &G::hWndFreqDown,
        &G::hWndFreqUp, &G::hWndDuty, &G::hWndDutyDown, &G::hWndDutyUp, &G::hWndAutoSearch,
        &G::hWndSearchAlways, &G::hWndFmax, &G::hWndFmin, &G::hWndFreqLimRead, &G::hWndFmaxWrite,
        &G::hWndFminWrite, &G::hWndVmin, &G::hWndVminRead, &G::hWndVminWrite, &G::hWndMeasRead,
        &G::hWndAutoRead, &G::hWndAntVpeak, &G::hWndAntIpeak, &G::hWndVsupply, &G::hWndAntIavg,
        &G::hWndAntPavg, &G::hWndPcbTemp, &G::hWndEepPassword, &G::hWndEepWrEn, &G::hWndPwmSave,
        &G::hWndEepRecall, &G::hWndOfflEdit, &G::hWndTempThresh, &G::hWndTempThreshRead,
        &G::hWndTempThreshWrite, &G::hWndHwVersion, &G::hWndFwVersion);
    std::vector<platform::Wnd> not_labels;
    std::vector<int> button_ids;
    for (platform::Wnd w : created) {
        const fakes::FakeControl& c = ui.controls[w];
        if (c.cls != "STATIC") not_labels.push_back(w);
        if (c.cls == "BUTTON") button_ids.push_back(c.spec.id);
        EXPECT_TRUE(c.cls == "BUTTON" || c.spec.id == 1024) << c.text;
    }
    EXPECT_EQ(handles, not_labels);
    EXPECT_EQ(button_ids,
              (std::vector<int>{1084, 1104, 1085, 1086, 1087, 1088, 1089, 1107, 1108, 1090, 1091,
                                1092, 1096, 1097, 1094, 1095, 1114, 1115, 1116, 1117, 1124, 1125}));
}

}  // namespace
