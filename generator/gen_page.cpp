#include "generator/gen_page.h"

#include "page/control_ids.h"

#include "page/page.h"
#include "platform/env.h"

GenPageHandles g_gen;

namespace {

using platform::Style;

enum class FontKind : uint8_t { Gui, Title, Value };

// Labels and read-out boxes share one id; they are reached by handle only.

constexpr Style L1 = Style::LabelCentre;
constexpr Style L2 = Style::LabelLeft;
constexpr Style B1 = Style::PushButton;
constexpr Style B2 = Style::PushButtonMulti;
constexpr Style E1 = Style::ValueBox;
constexpr Style E2 = Style::EntryBox;
constexpr Style E3 = Style::PasswordBox;
constexpr Style E4 = Style::IdentBox;

constexpr FontKind GUI = FontKind::Gui;
constexpr FontKind TITLE = FontKind::Title;
constexpr FontKind VALUE = FontKind::Value;

struct Row {
    platform::Wnd GenPageHandles::*handle;  // nullptr: a label nobody touches later
    platform::ControlSpec spec;
    FontKind font;
};

using G = GenPageHandles;

// clang-format off
const Row kRows[] = {
    {nullptr,                 {"STATIC", "PWM on / off",      600,   5,  80, 20, L1, id::kLabel}, GUI},
    {&G::hWndPwmOnOff,        {"BUTTON", "PWM OFF",           600,  25,  80, 20, B1, id::kPwmOnOff},      GUI},
    {nullptr,                 {"STATIC", "DC CTL on/off",     700,   5,  80, 20, L1, id::kLabel}, GUI},
    {&G::hWndCtlOnOff,        {"BUTTON", "CTL ON",            700,  25,  80, 20, B1, id::kCtlOnOff},      GUI},
    {nullptr,                 {"STATIC", "PWM Settings",      600,  60, 100, 20, L2, id::kLabel}, TITLE},
    {&G::hWndPwmRead,         {"BUTTON", "Read",              700,  63,  60, 22, B1, id::kPwmRead},      GUI},
    {nullptr,                 {"STATIC", "Frequency",         600,  80,  50, 20, L2, id::kLabel}, GUI},
    {&G::hWndFreq,            {"EDIT",   "-",                 600, 100,  70, 20, E1, id::kLabel}, VALUE},
    {&G::hWndFreqDown,        {"BUTTON", "f--",               680, 100,  50, 20, B1, id::kFreqDown},      GUI},
    {&G::hWndFreqUp,          {"BUTTON", "f++",               740, 100,  50, 20, B1, id::kFreqUp},      GUI},
    {nullptr,                 {"STATIC", "Duty Cycle",        600, 125,  50, 20, L2, id::kLabel}, GUI},
    {&G::hWndDuty,            {"EDIT",   "-",                 600, 145,  70, 20, E1, id::kLabel}, VALUE},
    {&G::hWndDutyDown,        {"BUTTON", "d--",               680, 145,  50, 20, B1, id::kDutyDown},      GUI},
    {&G::hWndDutyUp,          {"BUTTON", "d++",               740, 145,  50, 20, B1, id::kDutyUp},      GUI},
    {nullptr,                 {"STATIC", "Auto Search",       600, 175,  77, 20, L2, id::kLabel}, TITLE},
    {nullptr,                 {"STATIC", "for PWM frequency", 677, 175, 100, 20, L2, id::kLabel}, GUI},
    {&G::hWndAutoSearch,      {"BUTTON", "AutoSearch",        600, 195,  90, 20, B1, id::kAutoSearch},      GUI},
    {&G::hWndSearchAlways,    {"BUTTON", "AS alw. ON",        700, 195,  90, 20, B2, id::kSearchAlways},      GUI},
    {nullptr,                 {"STATIC", "Auto Search Frequency Limits", 600, 220, 180, 20, L2, id::kLabel}, GUI},
    {nullptr,                 {"STATIC", "fmax",              600, 240,  25, 20, L2, id::kLabel}, GUI},
    {&G::hWndFmax,            {"EDIT",   "-",                 628, 240,  62, 20, E2, id::kLabel}, GUI},
    {nullptr,                 {"STATIC", "fmin",              600, 265,  25, 20, L2, id::kLabel}, GUI},
    {&G::hWndFmin,            {"EDIT",   "-",                 628, 265,  62, 20, E2, id::kLabel}, GUI},
    {&G::hWndFreqLimRead,     {"BUTTON", "Read",              695, 255,  40, 20, B1, id::kFreqLimRead},      GUI},
    {&G::hWndFmaxWrite,       {"BUTTON", "Wr max",            740, 240,  50, 20, B1, id::kFmaxWrite},      GUI},
    {&G::hWndFminWrite,       {"BUTTON", "Wr min",            740, 265,  50, 20, B1, id::kFminWrite},      GUI},
    {nullptr,                 {"STATIC", "Voltage minimum for AutoSearch", 600, 290, 180, 20, L2, id::kLabel}, GUI},
    {&G::hWndVmin,            {"EDIT",   "-",                 600, 310,  70, 20, E2, id::kLabel}, GUI},
    {&G::hWndVminRead,        {"BUTTON", "Rd",                675, 310,  50, 20, B1, id::kVminRead},      GUI},
    {&G::hWndVminWrite,       {"BUTTON", "Wr",                730, 310,  50, 20, B1, id::kVminWrite},      GUI},
    {nullptr,                 {"STATIC", "Voltages - Currents - Temperature", 600, 340, 210, 20, L2, id::kLabel}, GUI},
    {&G::hWndMeasRead,        {"BUTTON", "Read",              600, 365,  50, 20, B2, id::kMeasRead},      GUI},
    {&G::hWndAutoRead,        {"BUTTON", "AutoRead ON",       655, 364,  85, 22, B2, id::kAutoRead},      GUI},
    {nullptr,                 {"BUTTON", "Chart",             745, 365,  45, 20, B1, id::kChart},         GUI},
    {&G::hWndAntVpeak,        {"EDIT",   "-",                 600, 395,  60, 20, E1, id::kLabel}, VALUE},
    {nullptr,                 {"STATIC", "Ant. peak Volt",    670, 395, 110, 20, L2, id::kLabel}, GUI},
    {&G::hWndAntIpeak,        {"EDIT",   "-",                 600, 420,  60, 20, E1, id::kLabel}, VALUE},
    {nullptr,                 {"STATIC", "Ant. peak Current", 670, 420, 110, 20, L2, id::kLabel}, GUI},
    {&G::hWndVsupply,         {"EDIT",   "-",                 600, 445,  60, 20, E1, id::kLabel}, VALUE},
    {nullptr,                 {"STATIC", "Voltage Supply",    670, 445, 110, 20, L2, id::kLabel}, GUI},
    {&G::hWndAntIavg,         {"EDIT",   "-",                 600, 470,  60, 20, E1, id::kLabel}, VALUE},
    {nullptr,                 {"STATIC", "Ant. avg Current",  670, 470, 110, 20, L2, id::kLabel}, GUI},
    {&G::hWndAntPavg,         {"EDIT",   "-",                 600, 495,  60, 20, E1, id::kLabel}, VALUE},
    {nullptr,                 {"STATIC", "Ant. avg Power",    670, 495, 110, 20, L2, id::kLabel}, GUI},
    {&G::hWndPcbTemp,         {"EDIT",   "-",                 600, 520,  60, 20, E1, id::kLabel}, VALUE},
    {nullptr,                 {"STATIC", "PCB Temperature",   670, 520, 110, 20, L2, id::kLabel}, GUI},
    {nullptr,                 {"STATIC", "EEPROM Password",   820,  10, 120, 20, L1, id::kLabel}, GUI},
    {&G::hWndEepPassword,     {"EDIT",   "",                  820,  35, 120, 20, E3, id::kLabel}, GUI},
    {&G::hWndEepWrEn,         {"BUTTON", "EEP WR EN",         820,  60, 120, 20, B1, id::kEepWrEn},      GUI},
    {&G::hWndPwmSave,         {"BUTTON", "Save PWM settings\nto Eeprom", 820,  90, 120, 40, B2, id::kPwmSave}, GUI},
    {&G::hWndEepRecall,       {"BUTTON", "Recall\nEeprom Defaults",      820, 140, 120, 40, B2, id::kEepRecall}, GUI},
    {&G::hWndOfflEdit,        {"BUTTON", "Enable\nPWM Offline Edit",     820, 200, 120, 40, B2, id::kOfflEdit}, GUI},
    {nullptr,                 {"STATIC", "Temperature Threshold - ALARM", 800, 250, 180, 20, L2, id::kLabel}, GUI},
    {&G::hWndTempThresh,      {"EDIT",   "-",                 800, 270,  50, 20, E2, id::kLabel}, GUI},
    {&G::hWndTempThreshRead,  {"BUTTON", "Rd",                860, 270,  45, 20, B1, id::kTempThreshRead},      GUI},
    {&G::hWndTempThreshWrite, {"BUTTON", "Wr",                910, 270,  45, 20, B1, id::kTempThreshWrite},      GUI},
    {nullptr,                 {"STATIC", "Hardware Version",  820, 380, 120, 20, L2, id::kLabel}, GUI},
    {&G::hWndHwVersion,       {"EDIT",   "...",               820, 400, 140, 60, E4, id::kLabel}, GUI},
    {nullptr,                 {"STATIC", "Firmware Version",  820, 465, 120, 20, L2, id::kLabel}, GUI},
    {&G::hWndFwVersion,       {"EDIT",   "...",               820, 485, 140, 60, E4, id::kLabel}, GUI},
};
// clang-format on

static_assert(sizeof kRows / sizeof kRows[0] == 60, "the generator page has 60 controls");

}  // namespace

void CreateGeneratorPage(platform::Wnd page) {
    platform::Ui& ui = platform::UI();
    const platform::Font gui = ui.DefaultGuiFont();
    g_gen.hFontValue = ui.MakeFont("Arial", 15, 700);

    for (const Row& row : kRows) {
        const platform::Wnd w = ui.CreateControl(page, row.spec);
        platform::Font font = gui;
        if (row.font == FontKind::Title) font = g_com.hFontTitle;
        if (row.font == FontKind::Value) font = g_gen.hFontValue;
        ui.SetControlFont(w, font);
        if (row.handle != nullptr) g_gen.*row.handle = w;
    }
}

void ClearReadouts() {
    const platform::Wnd idents[] = {g_gen.hWndFwVersion, g_gen.hWndHwVersion};
    const platform::Wnd values[] = {g_gen.hWndFreq,    g_gen.hWndDuty,      g_gen.hWndFmax,
                                    g_gen.hWndFmin,    g_gen.hWndAntVpeak,  g_gen.hWndAntIpeak,
                                    g_gen.hWndPcbTemp, g_gen.hWndVsupply,   g_gen.hWndAntIavg,
                                    g_gen.hWndAntPavg, g_gen.hWndTempThresh};
    platform::Ui& ui = platform::UI();
    // Before the generator page exists there is nothing to reset.
    for (platform::Wnd w : idents)
        if (w != nullptr) ui.SetControlText(w, "...");
    for (platform::Wnd w : values)
        if (w != nullptr) ui.SetControlText(w, "-");
}
