// The generator buttons, each clicked through the page's router.

#include "tests/fakes/test_env.h"

namespace {

using G = GenPageHandles;
constexpr unsigned kWarn = platform::kMbIconWarning;

struct Step {
    uint16_t id;
    const char* wire;  // "": nothing sent
    const char* console;
    platform::Wnd G::*caption = nullptr;  // the only control whose text is set
    const char* text = nullptr;
    const char* info = nullptr;  // an "Info!" warning box
};
// One click each, in this order.
const Step kSteps[] = {
    {1085, "cr Wf\r", "cr Wf\r\nPWM settings read!\n"},
    {1086, "cw Wf-\r", "cw Wf-\r\nPWM setting done!\n"},
    {1087, "cw Wf+\r", "cw Wf+\r\nPWM setting done!\n"},
    {1088, "cw Wd-\r", "cw Wd-\r\nPWM setting done!\n"},
    {1089, "cw Wd+\r", "cw Wd+\r\nPWM setting done!\n"},
    // These two end without a line feed of their own.
    {1090, "cr Wl\r", "button_Pwm_FreqLim_Rd_process\ncr Wl\r"},
    {1096, "cr Wk\r", "button_Pwm_Vlim_Read_process\ncr Wk\r"},
    {1115, "cw Wesave\r", "button_PwmSet_save\ncw Wesave\r\n", nullptr, nullptr,
     "Check if settings are saved correctly:\npower up LUM_RAX device and read gain"},
    {1116, "cw Efault1\r", "button_Eep_Recall_Defaults\ncw Efault1\r\n", nullptr, nullptr,
     "Check big edit window for timer!\nUM_RAX must be powered OFF & ON!"},
    {1117, "cw Wn1\r", "button_PwmOfflEdit_En\ncw Wn1\r\n"},
    {1124, "cr Pt\r", "button_TempThresh_Rd\ncr Pt\r\n"},
    {1084, "cw Wo0\r", "cw Wo0\r\n", &G::hWndPwmOnOff, "PWM ON"},
    {1084, "cw Wo1\r", "cw Wo1\r\n", &G::hWndPwmOnOff, "PWM OFF"},
    {1104, "cw Wc1\r", "cw Wc1\r\n", &G::hWndCtlOnOff, "CTL OFF"},
    {1104, "cw Wc0\r", "cw Wc0\r\n", &G::hWndCtlOnOff, "CTL ON"},
    // The caption follows the device's reply, not the click.
    {1108, "cw WwA5\r", "Pwm_Srch_always\ncw WwA5\r\n", nullptr, nullptr,
     "Auto Search is always ON!\nSave to Eeprom!"},
    {1108, "cw Ww0\r", "Pwm_Srch_always\ncw Ww0\r\n", nullptr, nullptr,
     "Auto Search is always OFF!\nSave to Eeprom!"},
    // These only steer the sequencer.
    {1095, "", "", &G::hWndAutoRead, "AutoRead OFF"},
    {1095, "", "", &G::hWndAutoRead, "AutoRead ON"},
    {1094, "", ""},
};
// With the ids of kSteps, all twenty-two buttons of the page.
const uint16_t kEntryButtons[] = {1091, 1092, 1097, 1107, 1114, 1125};

std::string Box(const std::string& caption, const std::string& text, unsigned flags) {
    return caption + "|" + text + "|" + std::to_string(flags);
}

class GenCommandsTest : public fakes::PageTest {
  protected:
    // An entry button either sends exactly wire and prints sent, or refuses with its box.
    void ExpectSentOrRefused(const char* wire, const std::string& sent, const char* refused,
                             const std::string& box) {
        EXPECT_EQ(serial.writes, wire != nullptr ? Strings{wire} : Strings{});
        EXPECT_EQ(console.out, wire != nullptr ? sent : refused);
        EXPECT_EQ(Boxes(), wire != nullptr ? Strings{} : Strings{Box("Error", box, kWarn)});
    }
    static std::vector<uint16_t> AllButtons() {
        std::vector<uint16_t> ids(std::begin(kEntryButtons), std::end(kEntryButtons));
        for (const Step& s : kSteps) ids.push_back(s.id);
        return ids;
    }
    // What a button that does nothing must leave as it was.
    static auto State() {
        return std::make_tuple(g_dev.pwm_on, g_dev.pwm_ctl_on, g_dev.search_always_on,
                               g_autoread.autoread_on, g_autoread.autoread_step,
                               g_autoread.autoread_read_once, g_autoread.autoread_tick);
    }
};

TEST_F(GenCommandsTest, ButtonsNeedAClickAnOpenPortAndNoBootloader) {
    constexpr uint16_t kClick = platform::kBnClicked;
    // Bootloader, port open, notification: only a click with the port closed speaks up.
    const std::tuple<uint8_t, uint8_t, uint16_t> cases[] = {
        {0, 0, kClick}, {1, 1, kClick}, {1, 0, kClick}, {0, 1, 5}, {0, 0, 6}};
    ui.controls[g_gen.hWndEepPassword].text = "KTZ73";
    ui.controls[g_gen.hWndTempThresh].text = "50";
    const auto before = State();
    for (const auto& [bootloader, port_open, code] : cases) {
        g_dev.uCisBootloader = bootloader;
        g_port.com_port_open = port_open;
        const bool asks_for_port = bootloader == 0 && port_open == 0 && code == kClick;
        for (uint16_t id : AllButtons()) {
            SCOPED_TRACE(testing::Message() << "button " << id << ", code " << code << ", boot "
                                            << int{bootloader} << ", open " << int{port_open});
            Click(id, code);
            EXPECT_EQ(serial.writes, Strings{});
            EXPECT_TRUE(ui.set_texts.empty() && ui.appended.empty());
            EXPECT_EQ(console.out, asks_for_port ? "Error: Open COM port!\n" : "");
            EXPECT_EQ(Boxes(),
                      asks_for_port ? Strings{Box("Error", "Open COM port!", kWarn)} : Strings{});
            EXPECT_EQ(State(), before);
        }
    }
}

// Clicked in this order: the toggles go by the flag that the click before left.
TEST_F(GenCommandsTest, ButtonsSendEchoAndInform) {
    for (const Step& s : kSteps) {
        SCOPED_TRACE(testing::Message() << "button " << s.id << " " << s.wire);
        Click(s.id);
        EXPECT_EQ(serial.writes, *s.wire != '\0' ? Strings{s.wire} : Strings{});
        EXPECT_EQ(console.out, s.console);
        EXPECT_EQ(Boxes(), s.info != nullptr ? Strings{Box("Info!", s.info, kWarn)} : Strings{});
        using Set = std::vector<std::pair<platform::Wnd, std::string>>;
        EXPECT_EQ(ui.set_texts, (s.caption != nullptr ? Set{{g_gen.*s.caption, s.text}} : Set{}));
    }
    // The measurement Read asks the sequencer for one cycle at its next tick.
    EXPECT_EQ(std::make_tuple(g_autoread.autoread_step, g_autoread.autoread_read_once,
                              g_autoread.autoread_on),
              std::make_tuple(5, 1, 0));
    EXPECT_GT(g_autoread.autoread_tick, g_autoread.autoread_interval);
}

TEST_F(GenCommandsTest, AutoSearchAsksFirst) {
    const std::string started = "\r\nWIN info: Auto Search started...\r\n";
    const std::string canceled = "\r\nWIN info: Auto Search start canceled\r\n";
    const std::string ask = Box("", "Start Auto Search for optimum PWM frequency?",
                                platform::kMbOkCancel | platform::kMbIconQuestion);
    ui.answers = {platform::kIdCancel};
    Click(1107);
    EXPECT_EQ(serial.writes, Strings{});
    EXPECT_EQ(console.out, canceled);
    EXPECT_EQ(Boxes(), Strings{ask});

    ui.answers = {platform::kIdOk};
    Click(1107);
    EXPECT_EQ(serial.writes, Strings{"cw Ws1\r"});
    EXPECT_EQ(console.out, started + "button_Pwm_Srch_now\ncw Ws1\r\n");
    EXPECT_EQ(ui.Text(g_link_ui.hWndComText), canceled + started);
    EXPECT_EQ(Boxes(),
              (Strings{ask, Box("Info!", "Auto Search started...\nDo NOT read or write to device!",
                                kWarn)}));
}

TEST_F(GenCommandsTest, FrequencyLimitsNeedBothBoxesInRange) {
    struct Case {
        std::string fmax, fmin;
        const char* wire_max = nullptr;  // nullptr: both buttons refuse
        const char* wire_min = nullptr;
    };
    std::vector<Case> cases = {
        {"250", "100", "cw Wlx 250\r", "cw Wli 100\r"},
        {"125.00kHz", "100.00kHz", "cw Wlx 125\r", "cw Wli 100\r"},
        {" 180.6", "120.4", "cw Wlx 181\r", "cw Wli 120\r"},
        {"100.4", "100", "cw Wlx 100\r", "cw Wli 100\r"},
        {std::string(126, ' ') + "150", "120"}};  // the 128-byte read keeps "1"
    for (const std::string refused :
         {"150/150", "250.01/100", "250/99.99", "120/180", "-/100", "200/-", "nan/100"}) {
        const std::size_t slash = refused.find('/');
        cases.push_back({refused.substr(0, slash), refused.substr(slash + 1)});
    }
    const char* const box = "Enter valid frequencies (in kHz)";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fmax + " / " + c.fmin);
        ui.controls[g_gen.hWndFmax].text = c.fmax;
        ui.controls[g_gen.hWndFmin].text = c.fmin;
        Click(1091);
        ExpectSentOrRefused(c.wire_max, "", "Error: Out of Range!\n", box);
        Click(1092);
        ExpectSentOrRefused(c.wire_min, "", "Error: Out of Range!\n", box);
        EXPECT_EQ(ui.Text(g_gen.hWndFmax), c.fmax);
        EXPECT_EQ(ui.Text(g_gen.hWndFmin), c.fmin);
    }
}

TEST_F(GenCommandsTest, MinimumVoltageAndTemperatureThreshold) {
    const std::string thresh_box = "Enter valid temperature threshold (in \260C)";
    const std::string vmin_box = "Enter valid voltage (20V..35V)";
    const std::string blanks = std::string(61, ' ');
    // The button, the text in its box, what is sent (nullptr: refused).
    const std::tuple<uint16_t, std::string, const char*> cases[] = {
        {1097, "20", "cw Wk 20.000000\r"},
        {1097, "35", "cw Wk 35.000000\r"},
        {1097, blanks + std::string(64, ' ') + "25", "cw Wk 25.000000\r"},
        {1097, blanks + std::string(65, ' ') + "25", nullptr},  // the 128-byte read keeps "2"
        {1097, "19.99", nullptr},
        {1097, "35.01", nullptr},
        {1097, "1e30", nullptr},
        {1125, "75 \260C", "cw Pt 75\r"},
        {1125, blanks + "42", "cw Pt 42\r"},
        // Out of the int range: the nearest whole number that the command can carry.
        {1125, "1e20", "cw Pt 2147483647\r"},
        {1125, "-inf", "cw Pt -2147483648\r"},
        {1125, "2147483520", "cw Pt 2147483520\r"},  // the largest float below 2^31
        {1125, "2147483648", "cw Pt 2147483647\r"},  // 2^31 itself: no int holds it
        {1125, "-2147483648", "cw Pt -2147483648\r"},
        // No number: refused, nothing sent (never the "cw Pt 0" that %f's 0 would give).
        {1125, "-", nullptr},              // the box after COM Start
        {1125, blanks + "  42", nullptr},  // beyond the 64-byte read
    };
    for (const auto& [id, text, wire] : cases) {
        SCOPED_TRACE(text);
        const bool vmin = id == 1097;
        const platform::Wnd box = vmin ? g_gen.hWndVmin : g_gen.hWndTempThresh;
        ui.controls[box].text = text;
        Click(id);
        ExpectSentOrRefused(
            wire, vmin ? "" : std::string("button_TempThresh_Wr\n") + (wire ? wire : "") + "\n",
            vmin ? "Error: Out of Range!\n" : "Error: Not a number!\n",
            vmin ? vmin_box : thresh_box);
        EXPECT_EQ(ui.Text(box), text);
    }
}

TEST_F(GenCommandsTest, EepromPassword) {
    // Entered, sent ("cw Se0\r": refused), printed after "Entered Password is: ".
    const std::tuple<std::string, const char*, const char*> cases[] = {
        {"KTZ73", "cw SeKTZ73\r", "KTZ73"},
        {"KTZ73xyz123", "cw SeKTZ73x\r", "KTZ73x"},  // the device takes one character more
        {"KTZ7", "cw Se0\r", "KTZ7"},
        {"", "cw Se0\r", ""},
        {std::string(40, 'a'), "cw Se0\r", "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa"},  // a 32-byte read
    };
    for (const auto& [entered, wire, printed] : cases) {
        SCOPED_TRACE(entered);
        const bool valid = std::string(wire) != "cw Se0\r";
        ui.controls[g_gen.hWndEepPassword].text = entered;
        Click(1114);
        EXPECT_EQ(serial.writes, Strings{wire});
        EXPECT_EQ(console.out, (valid ? std::string(wire) + "\n" : "Error: invalid password!\n") +
                                   "button_sys_eep_wr_en_process\nEntered Password is: " + printed +
                                   "\n");
        EXPECT_EQ(
            Boxes(),
            valid ? Strings{}
                  : Strings{Box("Error", "Invalid Password!\nEeeprom writing disabled!", kWarn)});
        EXPECT_EQ(ui.Text(g_gen.hWndEepPassword), "");
    }
}

// A command the port did not take says so and changes nothing: no caption, no flag, no echo,
// no info box, no "started" text, no cleared password.
TEST_F(GenCommandsTest, FailedWriteIsToldAndChangesNothing) {
    ui.controls[g_gen.hWndFmax].text = "200";
    ui.controls[g_gen.hWndFmin].text = "110";
    ui.controls[g_gen.hWndVmin].text = "25";
    ui.controls[g_gen.hWndTempThresh].text = "50";
    serial.fail_write = true;
    const std::string failed =
        Box("Error", "Sending to COM15 failed!\nThe command was not carried out.",
            platform::kMbIconError);
    for (std::size_t put : {0u, 3u}) {  // nothing taken, or a time-out after 3 bytes
        serial.write_put = put;
        for (uint8_t flags : {0, 1}) {
            g_dev.pwm_on = g_dev.pwm_ctl_on = g_dev.search_always_on = flags;
            for (uint16_t id : AllButtons()) {
                if (id == 1094 || id == 1095) continue;  // they send nothing themselves
                SCOPED_TRACE(testing::Message() << "button " << id << ", put " << put);
                ui.controls[g_gen.hWndEepPassword].text = "KTZ73";
                const auto before = State();
                serial.write_calls = 0;
                Click(id);
                EXPECT_EQ(serial.write_calls, 1);
                EXPECT_TRUE(serial.writes.empty() && ui.set_texts.empty() && ui.appended.empty());
                EXPECT_EQ(State(), before);
                const Strings boxes = Boxes();
                EXPECT_EQ(boxes.size(), id == 1107 ? 2u : 1u);  // after the auto search question
                EXPECT_EQ(boxes.empty() ? "" : boxes.back(), failed);
                EXPECT_NE(console.out.find("Error: writing to COM15 failed, " +
                                           std::to_string(put) + " of "),
                          std::string::npos);
                for (const char* echo : {"cw ", "cr "})
                    EXPECT_EQ(console.out.find(echo), std::string::npos) << console.out;
            }
        }
    }
}

}  // namespace
