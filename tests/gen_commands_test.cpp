#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "app/com_page.h"
#include "generator/autoread.h"
#include "generator/gen_commands.h"
#include "generator/gen_page.h"
#include "generator/reply_parser.h"
#include "serial/port.h"
#include "tests/fakes/test_env.h"

namespace {

using G = GenPageHandles;
using Handler = void (*)(Wnd, uint32_t, Wnd);
using Texts = std::vector<std::string>;
constexpr unsigned kWarn = platform::kMbIconWarning;

void FreqLimWrMax(Wnd w, uint32_t p, Wnd l) {
    button_Pwm_FreqLim_Wr_process(w, p, l, 0);
}
void FreqLimWrMin(Wnd w, uint32_t p, Wnd l) {
    button_Pwm_FreqLim_Wr_process(w, p, l, 1);
}

struct Step {
    uint16_t id;
    Handler handler;
    const char* wire;  // "": nothing sent
    const char* console;
    platform::Wnd G::*caption = nullptr;  // the only control whose text is set
    const char* text = nullptr;
    const char* info = nullptr;  // an "Info!" warning box
};
// One click each, in this order.
const Step kSteps[] = {
    {1085, button_PwmSet_read, "cr Wf\r", "cr Wf\r\nPWM settings read!\n"},
    {1086, button_Pwm_Step_process, "cw Wf-\r", "cw Wf-\r\nPWM setting done!\n"},
    {1087, button_Pwm_Step_process, "cw Wf+\r", "cw Wf+\r\nPWM setting done!\n"},
    {1088, button_Pwm_Step_process, "cw Wd-\r", "cw Wd-\r\nPWM setting done!\n"},
    {1089, button_Pwm_Step_process, "cw Wd+\r", "cw Wd+\r\nPWM setting done!\n"},
    // These two end without a line feed of their own.
    {1090, button_Pwm_FreqLim_Rd_process, "cr Wl\r", "button_Pwm_FreqLim_Rd_process\ncr Wl\r"},
    {1096, button_Pwm_Vlim_Read_process, "cr Wk\r", "button_Pwm_Vlim_Read_process\ncr Wk\r"},
    {1115, button_PwmSet_save, "cw Wesave\r", "button_PwmSet_save\ncw Wesave\r\n", nullptr, nullptr,
     "Check if settings are saved correctly:\npower up LUM_RAX device and read gain"},
    {1116, button_Eep_Recall_Defaults, "cw Efault1\r", "button_Eep_Recall_Defaults\ncw Efault1\r\n",
     nullptr, nullptr, "Check big edit window for timer!\nUM_RAX must be powered OFF & ON!"},
    {1117, button_PwmOfflEdit_En, "cw Wn1\r", "button_PwmOfflEdit_En\ncw Wn1\r\n"},
    {1124, button_TempThresh_Rd, "cr Pt\r", "button_TempThresh_Rd\ncr Pt\r\n"},
    {1084, button_Pwm_OnOff_process, "cw Wo0\r", "cw Wo0\r\n", &G::hWndPwmOnOff, "PWM ON"},
    {1084, button_Pwm_OnOff_process, "cw Wo1\r", "cw Wo1\r\n", &G::hWndPwmOnOff, "PWM OFF"},
    {1104, button_PwmCtl_OnOff_process, "cw Wc1\r", "cw Wc1\r\n", &G::hWndCtlOnOff, "CTL OFF"},
    {1104, button_PwmCtl_OnOff_process, "cw Wc0\r", "cw Wc0\r\n", &G::hWndCtlOnOff, "CTL ON"},
    // The caption follows the device's reply, not the click.
    {1108, Pwm_Srch_always, "cw WwA5\r", "Pwm_Srch_always\ncw WwA5\r\n", nullptr, nullptr,
     "Auto Search is always ON!\nSave to Eeprom!"},
    {1108, Pwm_Srch_always, "cw Ww0\r", "Pwm_Srch_always\ncw Ww0\r\n", nullptr, nullptr,
     "Auto Search is always OFF!\nSave to Eeprom!"},
    // These only steer the sequencer.
    {1095, button_AutoRead_process, "", "", &G::hWndAutoRead, "AutoRead OFF"},
    {1095, button_AutoRead_process, "", "", &G::hWndAutoRead, "AutoRead ON"},
    {1094, button_Measure_Read_process, "", ""},
};
// The buttons that kSteps leaves out; with it, all twenty-two of the page.
const std::pair<uint16_t, Handler> kOtherButtons[] = {{1091, FreqLimWrMax},
                                                      {1092, FreqLimWrMin},
                                                      {1097, button_Pwm_Vlim_Write_process},
                                                      {1107, button_Pwm_Srch_now},
                                                      {1114, button_sys_eep_wr_en_process},
                                                      {1125, button_TempThresh_Wr}};

std::string Box(const std::string& caption, const std::string& text, unsigned flags) {
    return caption + "|" + text + "|" + std::to_string(flags);
}

class GenCommandsTest : public fakes::CoreTest {
  protected:
    void SetUp() override {
        CoreTest::SetUp();
        page = ui.NewWindow("page");
        g_com.hWndComText = ui.NewWindow("com text");
        CreateGeneratorPage(page);
        g_port.port_handle = serial.Open("\\\\.\\COM15");
        g_port.com_port_open = 1;
    }
    void Click(Handler h, uint16_t id, uint16_t code = platform::kBnClicked) {
        serial.writes.clear();
        console.out.clear();
        ui.boxes.clear();
        ui.set_texts.clear();
        ui.appended.clear();
        h(page, platform::MakeWParam(id, code), nullptr);
    }
    // The boxes shown, each as Box() renders it.
    Texts Boxes() {
        Texts out;
        for (const fakes::ShownBox& b : ui.boxes) {
            EXPECT_EQ(b.owner, page);
            out.push_back(Box(b.caption, b.text, b.flags));
        }
        return out;
    }
    // A write button either sends exactly wire, or refuses with an out-of-range box.
    void ExpectSentOrRefused(const char* wire, const char* refusal) {
        EXPECT_EQ(serial.writes, wire != nullptr ? Texts{wire} : Texts{});
        EXPECT_EQ(console.out, wire != nullptr ? "" : "Error: Out of Range!\n");
        EXPECT_EQ(Boxes(), wire != nullptr ? Texts{} : Texts{Box("Error", refusal, kWarn)});
    }

    platform::Wnd page = nullptr;
};

TEST_F(GenCommandsTest, ButtonsNeedAClickAnOpenPortAndNoBootloader) {
    constexpr uint16_t kClick = platform::kBnClicked;
    // Bootloader, port open, notification: only a click with the port closed speaks up.
    const std::tuple<uint8_t, uint8_t, uint16_t> cases[] = {
        {0, 0, kClick}, {1, 1, kClick}, {1, 0, kClick}, {0, 1, 5}, {0, 0, 6}};
    ui.controls[g_gen.hWndEepPassword].text = "KTZ73";
    ui.controls[g_gen.hWndTempThresh].text = "50";
    const auto state = [] {
        return std::make_tuple(g_dev.pwm_on, g_dev.pwm_ctl_on, g_dev.search_always_on,
                               g_autoread.autoread_on, g_autoread.autoread_step,
                               g_autoread.autoread_read_once, g_autoread.autoread_tick);
    };
    const auto before = state();
    for (const auto& [bootloader, port_open, code] : cases) {
        g_dev.uCisBootloader = bootloader;
        g_port.com_port_open = port_open;
        const bool asks_for_port = bootloader == 0 && port_open == 0 && code == kClick;
        std::vector<std::pair<uint16_t, Handler>> buttons(std::begin(kOtherButtons),
                                                          std::end(kOtherButtons));
        for (const Step& s : kSteps) buttons.emplace_back(s.id, s.handler);
        for (const auto& [id, handler] : buttons) {
            SCOPED_TRACE(testing::Message() << "button " << id << ", code " << code << ", boot "
                                            << int{bootloader} << ", open " << int{port_open});
            const int reads_before = ui.get_text_calls;
            Click(handler, id, code);
            EXPECT_EQ(serial.writes, Texts{});
            EXPECT_TRUE(ui.set_texts.empty() && ui.appended.empty());
            EXPECT_EQ(ui.get_text_calls, reads_before);
            EXPECT_EQ(console.out, asks_for_port ? "Error: Open COM port!\n" : "");
            EXPECT_EQ(Boxes(),
                      asks_for_port ? Texts{Box("Error", "Open COM port!", kWarn)} : Texts{});
            EXPECT_EQ(state(), before);
        }
    }
}

// Clicked in this order: the toggles go by the flag that the click before left.
TEST_F(GenCommandsTest, ButtonsSendEchoAndInform) {
    for (const Step& s : kSteps) {
        SCOPED_TRACE(testing::Message() << "button " << s.id << " " << s.wire);
        Click(s.handler, s.id);
        EXPECT_EQ(serial.writes, *s.wire != '\0' ? Texts{s.wire} : Texts{});
        EXPECT_EQ(console.out, s.console);
        EXPECT_EQ(Boxes(), s.info != nullptr ? Texts{Box("Info!", s.info, kWarn)} : Texts{});
        using Set = std::vector<std::pair<platform::Wnd, std::string>>;
        EXPECT_EQ(ui.set_texts, (s.caption != nullptr ? Set{{g_gen.*s.caption, s.text}} : Set{}));
    }
}

TEST_F(GenCommandsTest, AutoSearchAsksFirst) {
    const std::string started = "\r\nWIN info: Auto Search started...\r\n";
    const std::string canceled = "\r\nWIN info: Auto Search start canceled\r\n";
    const std::string ask = Box("", "Start Auto Search for optimum PWM frequency?",
                                platform::kMbOkCancel | platform::kMbIconQuestion);
    ui.answers = {platform::kIdCancel};
    Click(button_Pwm_Srch_now, 1107);
    EXPECT_EQ(serial.writes, Texts{});
    EXPECT_EQ(console.out, canceled);
    EXPECT_EQ(Boxes(), Texts{ask});

    ui.answers = {platform::kIdOk};
    Click(button_Pwm_Srch_now, 1107);
    EXPECT_EQ(serial.writes, Texts{"cw Ws1\r"});
    EXPECT_EQ(console.out, started + "button_Pwm_Srch_now\ncw Ws1\r\n");
    EXPECT_EQ(ui.Text(g_com.hWndComText), canceled + started);
    EXPECT_EQ(Boxes(),
              (Texts{ask, Box("Info!", "Auto Search started...\nDo NOT read or write to device!",
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
    for (const std::string refused : {"150/150", "250.01/100", "250/99.99", "120/180", "-/100",
                                      "200/-", "/", "nan/100", "inf/100"}) {
        const std::size_t slash = refused.find('/');
        cases.push_back({refused.substr(0, slash), refused.substr(slash + 1)});
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fmax + " / " + c.fmin);
        ui.controls[g_gen.hWndFmax].text = c.fmax;
        ui.controls[g_gen.hWndFmin].text = c.fmin;
        Click(FreqLimWrMax, 1091);
        ExpectSentOrRefused(c.wire_max, "Enter valid frequencies (in kHz)");
        Click(FreqLimWrMin, 1092);
        ExpectSentOrRefused(c.wire_min, "Enter valid frequencies (in kHz)");
        EXPECT_EQ(ui.Text(g_gen.hWndFmax), c.fmax);
        EXPECT_EQ(ui.Text(g_gen.hWndFmin), c.fmin);
    }
}

TEST_F(GenCommandsTest, MinimumVoltageRange) {
    std::vector<std::pair<std::string, const char*>> cases = {
        {"20", "cw Wk 20.000000\r"},
        {"35", "cw Wk 35.000000\r"},
        {"24.5 V", "cw Wk 24.500000\r"},
        {std::string(125, ' ') + "25", "cw Wk 25.000000\r"},
        {std::string(126, ' ') + "25", nullptr}};  // the 128-byte read keeps "2"
    for (const char* refused : {"19.99", "35.01", "-", "", "nan", "1e30"}) {
        cases.emplace_back(refused, nullptr);
    }
    for (const auto& [text, wire] : cases) {
        SCOPED_TRACE(text);
        ui.controls[g_gen.hWndVmin].text = text;
        Click(button_Pwm_Vlim_Write_process, 1097);
        ExpectSentOrRefused(wire, "Enter valid voltage (20V..35V)");
    }
}

TEST_F(GenCommandsTest, TemperatureThresholdIsSentAsAWholeNumber) {
    const std::pair<std::string, const char*> cases[] = {
        {"75 \260C", "cw Pt 75\r"},
        {"-3.7", "cw Pt -3\r"},
        {std::string(61, ' ') + "42", "cw Pt 42\r"},
        // Out of the int range: the nearest whole number that the command can carry.
        {"1e20", "cw Pt 2147483647\r"},
        {"-inf", "cw Pt -2147483648\r"},
        {"2147483648", "cw Pt 2147483647\r"},
        {"-2147483648", "cw Pt -2147483648\r"},
        {"2147483520", "cw Pt 2147483520\r"},  // the largest float below 2^31
        // No number: refused, nothing sent (never the "cw Pt 0" that %f's 0 would give).
        {"-", nullptr},  // the box after COM Start
        {"abc", nullptr},
        {"", nullptr},
        {"nan", nullptr},
        {std::string(63, ' ') + "42", nullptr},  // beyond the 64-byte read
    };
    for (const auto& [text, wire] : cases) {
        SCOPED_TRACE(text);
        ui.controls[g_gen.hWndTempThresh].text = text;
        Click(button_TempThresh_Wr, 1125);
        EXPECT_EQ(serial.writes, wire != nullptr ? Texts{wire} : Texts{});
        EXPECT_EQ(console.out, wire != nullptr ? std::string("button_TempThresh_Wr\n") + wire + "\n"
                                               : "Error: Not a number!\n");
        EXPECT_EQ(Boxes(), wire != nullptr ? Texts{}
                                           : Texts{Box("Error",
                                                       "Enter valid temperature threshold (in "
                                                       "\260C)",
                                                       kWarn)});
        EXPECT_EQ(ui.Text(g_gen.hWndTempThresh), text);
    }
}

TEST_F(GenCommandsTest, EepromPassword) {
    struct Case {
        std::string entered;
        const char* wire;     // "cw Se0\r": refused
        const char* printed;  // after "Entered Password is: "
    };
    const Case cases[] = {
        {"KTZ73", "cw SeKTZ73\r", "KTZ73"},
        {"KTZ731", "cw SeKTZ731\r", "KTZ731"},
        {"KTZ73xyz123", "cw SeKTZ73x\r", "KTZ73x"},  // the device takes one character more
        {"KTZ7", "cw Se0\r", "KTZ7"},
        {"ktz73", "cw Se0\r", "ktz73"},
        {"XKTZ73", "cw Se0\r", "XKTZ73"},
        {"", "cw Se0\r", ""},
        {std::string(40, 'a'), "cw Se0\r", "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa"},  // a 32-byte read
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.entered);
        const bool valid = std::string(c.wire) != "cw Se0\r";
        ui.controls[g_gen.hWndEepPassword].text = c.entered;
        Click(button_sys_eep_wr_en_process, 1114);
        EXPECT_EQ(serial.writes, Texts{c.wire});
        EXPECT_EQ(console.out,
                  (valid ? std::string(c.wire) + "\n" : "Error: invalid password!\n") +
                      "button_sys_eep_wr_en_process\nEntered Password is: " + c.printed + "\n");
        EXPECT_EQ(Boxes(),
                  valid
                      ? Texts{}
                      : Texts{Box("Error", "Invalid Password!\nEeeprom writing disabled!", kWarn)});
        ASSERT_FALSE(ui.set_texts.empty());
        EXPECT_EQ(ui.set_texts.back(), std::make_pair(g_gen.hWndEepPassword, std::string()));
    }
}

}  // namespace

namespace {

// A command the port did not take says so and changes nothing: no caption, no flag, no echo,
// no info box, no "started" text, no cleared password.
TEST_F(GenCommandsTest, FailedWriteIsToldAndChangesNothing) {
    ui.controls[g_gen.hWndFmax].text = "200";
    ui.controls[g_gen.hWndFmin].text = "110";
    ui.controls[g_gen.hWndVmin].text = "25";
    ui.controls[g_gen.hWndTempThresh].text = "50";
    std::strcpy(g_port.open_port_name, "COM15");
    serial.fail_write = true;
    const std::string failed =
        Box("Error", "Sending to COM15 failed!\nThe command was not carried out.",
            platform::kMbIconError);
    const auto state = [] {
        return std::make_tuple(g_dev.pwm_on, g_dev.pwm_ctl_on, g_dev.search_always_on,
                               g_autoread.autoread_on);
    };
    std::vector<std::pair<uint16_t, Handler>> buttons(std::begin(kOtherButtons),
                                                      std::end(kOtherButtons));
    for (const Step& s : kSteps) {
        if (*s.wire != '\0') buttons.emplace_back(s.id, s.handler);
    }
    for (std::size_t put : {0u, 3u}) {  // nothing taken, or a time-out after 3 bytes
        serial.write_put = put;
        for (uint8_t flags : {0, 1}) {
            g_dev.pwm_on = g_dev.pwm_ctl_on = g_dev.search_always_on = flags;
            for (const auto& [id, handler] : buttons) {
                SCOPED_TRACE(testing::Message() << "button " << id << ", put " << put);
                ui.controls[g_gen.hWndEepPassword].text = "KTZ73";
                const auto before = state();
                serial.write_calls = 0;
                Click(handler, id);
                EXPECT_EQ(serial.write_calls, 1);
                EXPECT_TRUE(serial.writes.empty());
                EXPECT_TRUE(ui.set_texts.empty());
                EXPECT_TRUE(ui.appended.empty());
                EXPECT_EQ(state(), before);
                const Texts boxes = Boxes();
                ASSERT_FALSE(boxes.empty());
                EXPECT_EQ(boxes.back(), failed);
                EXPECT_EQ(boxes.size(), id == 1107 ? 2u : 1u);  // after the auto search question
                const std::string tail =
                    "Error: writing to COM15 failed, " + std::to_string(put) + " of ";
                EXPECT_NE(console.out.find(tail), std::string::npos) << console.out;
                EXPECT_EQ(console.out.find("cw "), std::string::npos) << console.out;
                EXPECT_EQ(console.out.find("cr "), std::string::npos) << console.out;
            }
        }
    }
}

}  // namespace
