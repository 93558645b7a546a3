#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/com_page.h"
#include "generator/autoread.h"
#include "generator/gen_commands.h"
#include "generator/gen_page.h"
#include "generator/reply_parser.h"
#include "serial/port.h"
#include "tests/fakes/test_env.h"

namespace {

using Handler = void (*)(Wnd, uint32_t, Wnd);

void FreqLimWrMax(Wnd w, uint32_t p, Wnd l) {
    button_Pwm_FreqLim_Wr_process(w, p, l, 0);
}
void FreqLimWrMin(Wnd w, uint32_t p, Wnd l) {
    button_Pwm_FreqLim_Wr_process(w, p, l, 1);
}

struct Button {
    const char* name;
    uint16_t id;
    Handler handler;
};

// The twenty-two buttons of the generator page and the handler each is routed to.
const Button kButtons[] = {
    {"PWM on/off", 1084, button_Pwm_OnOff_process},
    {"PWM read", 1085, button_PwmSet_read},
    {"f--", 1086, button_Pwm_Step_process},
    {"f++", 1087, button_Pwm_Step_process},
    {"d--", 1088, button_Pwm_Step_process},
    {"d++", 1089, button_Pwm_Step_process},
    {"limits read", 1090, button_Pwm_FreqLim_Rd_process},
    {"Wr max", 1091, FreqLimWrMax},
    {"Wr min", 1092, FreqLimWrMin},
    {"measure read", 1094, button_Measure_Read_process},
    {"AutoRead", 1095, button_AutoRead_process},
    {"Vmin read", 1096, button_Pwm_Vlim_Read_process},
    {"Vmin write", 1097, button_Pwm_Vlim_Write_process},
    {"CTL on/off", 1104, button_PwmCtl_OnOff_process},
    {"AutoSearch", 1107, button_Pwm_Srch_now},
    {"AS always", 1108, Pwm_Srch_always},
    {"EEP WR EN", 1114, button_sys_eep_wr_en_process},
    {"save", 1115, button_PwmSet_save},
    {"recall", 1116, button_Eep_Recall_Defaults},
    {"offline edit", 1117, button_PwmOfflEdit_En},
    {"threshold read", 1124, button_TempThresh_Rd},
    {"threshold write", 1125, button_TempThresh_Wr},
};

class GenCommandsTest : public fakes::CoreTest {
  protected:
    void SetUp() override {
        CoreTest::SetUp();
        page = ui.NewWindow("page");
        g_com.hWndComText = ui.NewWindow("com text");
        g_com.hWndStatusRight = ui.NewWindow("status right");
        CreateGeneratorPage(page);
    }
    void OpenPort() {
        g_port.com_port_open = 1;
        g_port.port_handle = serial.Open("\\\\.\\COM15", 38400);
    }
    void Click(Handler h, uint16_t id) {
        h(page, platform::MakeWParam(id, platform::kBnClicked), nullptr);
    }
    void Click(const Button& b) { Click(b.handler, b.id); }
    // Forgets what earlier clicks left in the fakes.
    void ClearRecords() {
        serial.written.clear();
        serial.writes.clear();
        console.out.clear();
        ui.boxes.clear();
        ui.set_texts.clear();
        ui.appended.clear();
    }
    void ExpectBox(std::size_t i, const std::string& text, const std::string& caption,
                   unsigned flags) {
        ASSERT_LT(i, ui.boxes.size());
        EXPECT_EQ(ui.boxes[i].text, text);
        EXPECT_EQ(ui.boxes[i].caption, caption);
        EXPECT_EQ(ui.boxes[i].flags, flags);
        EXPECT_EQ(ui.boxes[i].owner, page);
    }

    platform::Wnd page = nullptr;
};

TEST_F(GenCommandsTest, PortClosedEveryButtonAsksToOpenThePortAndSendsNothing) {
    for (const Button& b : kButtons) {
        ClearRecords();
        Click(b);
        EXPECT_EQ(console.out, "Error: Open COM port!\n") << b.name;
        ASSERT_EQ(ui.boxes.size(), 1u) << b.name;
        ExpectBox(0, "Open COM port!", "Error", platform::kMbIconWarning);
        EXPECT_TRUE(ui.set_texts.empty()) << b.name;
        EXPECT_TRUE(serial.writes.empty()) << b.name;
    }
    EXPECT_EQ(g_dev.pwm_on, 1);
    EXPECT_EQ(g_dev.pwm_ctl_on, 0);
    EXPECT_EQ(g_dev.search_always_on, 0);
    EXPECT_EQ(g_autoread.autoread_on, 0);
    EXPECT_EQ(g_autoread.autoread_step, 0);
    EXPECT_EQ(g_autoread.autoread_read_once, 0);
    EXPECT_EQ(g_autoread.autoread_tick, 0);
}

TEST_F(GenCommandsTest, BootloaderOrOtherNotificationsSilenceEveryButton) {
    struct Case {
        const char* name;
        uint8_t bootloader;
        uint8_t port_open;
        uint16_t code;
    };
    const Case cases[] = {
        {"bootloader, port open", 1, 1, platform::kBnClicked},
        {"bootloader, port closed", 1, 0, platform::kBnClicked},
        {"double click notification", 0, 1, 5},
        {"focus notification, port closed", 0, 0, 6},
    };
    ui.controls[g_gen.hWndEepPassword].text = "KTZ73";
    ui.controls[g_gen.hWndTempThresh].text = "50";
    for (const Case& c : cases) {
        if (c.port_open != 0) OpenPort();
        g_port.com_port_open = c.port_open;
        g_dev.uCisBootloader = c.bootloader;
        ClearRecords();
        const int reads_before = ui.get_text_calls;
        for (const Button& b : kButtons) {
            b.handler(page, platform::MakeWParam(b.id, c.code), nullptr);
        }
        EXPECT_TRUE(serial.written.empty()) << c.name;
        EXPECT_EQ(console.out, "") << c.name;
        EXPECT_TRUE(ui.boxes.empty()) << c.name;
        EXPECT_TRUE(ui.set_texts.empty()) << c.name;
        EXPECT_TRUE(ui.appended.empty()) << c.name;
        EXPECT_EQ(ui.get_text_calls, reads_before) << c.name;
        EXPECT_EQ(g_dev.pwm_on, 1) << c.name;
        EXPECT_EQ(g_dev.pwm_ctl_on, 0) << c.name;
        EXPECT_EQ(g_dev.search_always_on, 0) << c.name;
        EXPECT_EQ(g_autoread.autoread_on, 0) << c.name;
        EXPECT_EQ(g_autoread.autoread_step, 0) << c.name;
    }
}

TEST_F(GenCommandsTest, SingleCommandButtonsSendEchoAndInform) {
    struct Case {
        uint16_t id;
        Handler handler;
        const char* wire;
        const char* console;
        const char* box;  // nullptr: none; else an "Info!" warning box
    };
    const Case cases[] = {
        {1085, button_PwmSet_read, "cr Wf\r", "cr Wf\r\nPWM settings read!\n", nullptr},
        {1086, button_Pwm_Step_process, "cw Wf-\r", "cw Wf-\r\nPWM setting done!\n", nullptr},
        {1087, button_Pwm_Step_process, "cw Wf+\r", "cw Wf+\r\nPWM setting done!\n", nullptr},
        {1088, button_Pwm_Step_process, "cw Wd-\r", "cw Wd-\r\nPWM setting done!\n", nullptr},
        {1089, button_Pwm_Step_process, "cw Wd+\r", "cw Wd+\r\nPWM setting done!\n", nullptr},
        // These two end without a line feed of their own.
        {1090, button_Pwm_FreqLim_Rd_process, "cr Wl\r", "button_Pwm_FreqLim_Rd_process\ncr Wl\r",
         nullptr},
        {1096, button_Pwm_Vlim_Read_process, "cr Wk\r", "button_Pwm_Vlim_Read_process\ncr Wk\r",
         nullptr},
        {1115, button_PwmSet_save, "cw Wesave\r", "button_PwmSet_save\ncw Wesave\r\n",
         "Check if settings are saved correctly:\npower up LUM_RAX device and read gain"},
        {1116, button_Eep_Recall_Defaults, "cw Efault1\r",
         "button_Eep_Recall_Defaults\ncw Efault1\r\n",
         "Check big edit window for timer!\nUM_RAX must be powered OFF & ON!"},
        {1117, button_PwmOfflEdit_En, "cw Wn1\r", "button_PwmOfflEdit_En\ncw Wn1\r\n", nullptr},
        {1124, button_TempThresh_Rd, "cr Pt\r", "button_TempThresh_Rd\ncr Pt\r\n", nullptr},
    };
    OpenPort();
    for (const Case& c : cases) {
        ClearRecords();
        Click(c.handler, c.id);
        EXPECT_EQ(serial.writes, std::vector<std::string>{c.wire}) << c.id;
        EXPECT_EQ(console.out, c.console) << c.id;
        if (c.box == nullptr) {
            EXPECT_TRUE(ui.boxes.empty()) << c.id;
        } else {
            ASSERT_EQ(ui.boxes.size(), 1u) << c.id;
            ExpectBox(0, c.box, "Info!", platform::kMbIconWarning);
        }
    }
}

TEST_F(GenCommandsTest, TogglesSendByTheirFlagAndFlipIt) {
    OpenPort();
    // Starting with the PWM on, two quick clicks switch it off and on again.
    Click(button_Pwm_OnOff_process, 1084);
    EXPECT_EQ(ui.Text(g_gen.hWndPwmOnOff), "PWM ON");
    EXPECT_EQ(g_dev.pwm_on, 0);
    Click(button_Pwm_OnOff_process, 1084);
    EXPECT_EQ(ui.Text(g_gen.hWndPwmOnOff), "PWM OFF");
    EXPECT_EQ(g_dev.pwm_on, 1);

    Click(button_PwmCtl_OnOff_process, 1104);
    EXPECT_EQ(ui.Text(g_gen.hWndCtlOnOff), "CTL OFF");
    EXPECT_EQ(g_dev.pwm_ctl_on, 1);
    Click(button_PwmCtl_OnOff_process, 1104);
    EXPECT_EQ(ui.Text(g_gen.hWndCtlOnOff), "CTL ON");
    EXPECT_EQ(g_dev.pwm_ctl_on, 0);

    EXPECT_EQ(serial.writes,
              (std::vector<std::string>{"cw Wo0\r", "cw Wo1\r", "cw Wc1\r", "cw Wc0\r"}));
    EXPECT_EQ(console.out, "cw Wo0\r\ncw Wo1\r\ncw Wc1\r\ncw Wc0\r\n");
    EXPECT_TRUE(ui.boxes.empty());
}

TEST_F(GenCommandsTest, SearchAlwaysSwitchesTheDeviceButLeavesTheCaption) {
    OpenPort();
    Click(Pwm_Srch_always, 1108);
    EXPECT_EQ(g_dev.search_always_on, 1);
    Click(Pwm_Srch_always, 1108);
    EXPECT_EQ(g_dev.search_always_on, 0);

    EXPECT_EQ(serial.writes, (std::vector<std::string>{"cw WwA5\r", "cw Ww0\r"}));
    EXPECT_EQ(console.out, "Pwm_Srch_always\ncw WwA5\r\nPwm_Srch_always\ncw Ww0\r\n");
    ASSERT_EQ(ui.boxes.size(), 2u);
    ExpectBox(0, "Auto Search is always ON!\nSave to Eeprom!", "Info!", platform::kMbIconWarning);
    ExpectBox(1, "Auto Search is always OFF!\nSave to Eeprom!", "Info!", platform::kMbIconWarning);
    EXPECT_EQ(ui.Text(g_gen.hWndSearchAlways), "AS alw. ON");
}

TEST_F(GenCommandsTest, AutoReadButtonsOnlySteerTheSequencer) {
    OpenPort();
    Click(button_AutoRead_process, 1095);
    EXPECT_EQ(g_autoread.autoread_on, 1);
    EXPECT_EQ(ui.Text(g_gen.hWndAutoRead), "AutoRead OFF");
    Click(button_AutoRead_process, 1095);
    EXPECT_EQ(g_autoread.autoread_on, 0);
    EXPECT_EQ(ui.Text(g_gen.hWndAutoRead), "AutoRead ON");

    g_autoread.autoread_step = 2;
    Click(button_Measure_Read_process, 1094);
    EXPECT_EQ(g_autoread.autoread_step, 5);
    EXPECT_EQ(g_autoread.autoread_read_once, 1);
    EXPECT_EQ(g_autoread.autoread_tick, 100);

    EXPECT_TRUE(serial.written.empty());
    EXPECT_EQ(console.out, "");
    EXPECT_TRUE(ui.boxes.empty());
}

TEST_F(GenCommandsTest, AutoSearchAsksFirst) {
    const std::string started = "\r\nWIN info: Auto Search started...\r\n";
    const std::string canceled = "\r\nWIN info: Auto Search start canceled\r\n";
    OpenPort();

    ui.answers = {platform::kIdCancel};
    Click(button_Pwm_Srch_now, 1107);
    EXPECT_TRUE(serial.written.empty());
    EXPECT_EQ(console.out, canceled);
    EXPECT_EQ(ui.Text(g_com.hWndComText), canceled);
    ASSERT_EQ(ui.boxes.size(), 1u);
    ExpectBox(0, "Start Auto Search for optimum PWM frequency?", "",
              platform::kMbOkCancel | platform::kMbIconQuestion);

    ClearRecords();
    ui.controls[g_com.hWndComText].text.clear();
    ui.answers = {platform::kIdOk};
    Click(button_Pwm_Srch_now, 1107);
    EXPECT_EQ(serial.writes, std::vector<std::string>{"cw Ws1\r"});
    EXPECT_EQ(console.out, started + "button_Pwm_Srch_now\ncw Ws1\r\n");
    EXPECT_EQ(ui.Text(g_com.hWndComText), started);
    ASSERT_EQ(ui.boxes.size(), 2u);
    ExpectBox(0, "Start Auto Search for optimum PWM frequency?", "",
              platform::kMbOkCancel | platform::kMbIconQuestion);
    ExpectBox(1, "Auto Search started...\nDo NOT read or write to device!", "Info!",
              platform::kMbIconWarning);
}

TEST_F(GenCommandsTest, FrequencyLimitsNeedBothBoxesInRange) {
    struct Case {
        const char* fmax;
        const char* fmin;
        const char* wire_max;  // nullptr: both buttons refuse
        const char* wire_min;
    };
    const std::string pad126(126, ' ');
    const std::string far_number = pad126 + "150";  // only "1" fits the 128-byte read
    const Case cases[] = {
        {"250", "100", "cw Wlx 250\r", "cw Wli 100\r"},
        {"125.00kHz", "100.00kHz", "cw Wlx 125\r", "cw Wli 100\r"},
        {" 180.6", "120.4", "cw Wlx 181\r", "cw Wli 120\r"},
        {"100.4", "100", "cw Wlx 100\r", "cw Wli 100\r"},
        {"150", "150", nullptr, nullptr},
        {"251", "100", nullptr, nullptr},
        {"250.01", "100", nullptr, nullptr},
        {"250", "99.99", nullptr, nullptr},
        {"120", "180", nullptr, nullptr},
        {"-", "100", nullptr, nullptr},
        {"200", "-", nullptr, nullptr},
        {"", "", nullptr, nullptr},
        {"nan", "100", nullptr, nullptr},
        {"inf", "100", nullptr, nullptr},
        {far_number.c_str(), "120", nullptr, nullptr},
    };
    OpenPort();
    for (const Case& c : cases) {
        ui.controls[g_gen.hWndFmax].text = c.fmax;
        ui.controls[g_gen.hWndFmin].text = c.fmin;
        for (int selector = 0; selector < 2; ++selector) {
            ClearRecords();
            Click(selector == 0 ? FreqLimWrMax : FreqLimWrMin, selector == 0 ? 1091 : 1092);
            const char* want = selector == 0 ? c.wire_max : c.wire_min;
            if (want != nullptr) {
                EXPECT_EQ(serial.writes, std::vector<std::string>{want}) << c.fmax << "/" << c.fmin;
                EXPECT_EQ(console.out, "") << c.fmax;
                EXPECT_TRUE(ui.boxes.empty()) << c.fmax;
            } else {
                EXPECT_TRUE(serial.written.empty()) << c.fmax << "/" << c.fmin;
                EXPECT_EQ(console.out, "Error: Out of Range!\n") << c.fmax;
                ASSERT_EQ(ui.boxes.size(), 1u) << c.fmax;
                ExpectBox(0, "Enter valid frequencies (in kHz)", "Error", platform::kMbIconWarning);
            }
            EXPECT_EQ(ui.Text(g_gen.hWndFmax), c.fmax);
            EXPECT_EQ(ui.Text(g_gen.hWndFmin), c.fmin);
        }
    }
}

TEST_F(GenCommandsTest, MinimumVoltageRange) {
    struct Case {
        std::string text;
        const char* wire;  // nullptr: refused
    };
    const Case cases[] = {
        {"20", "cw Wk 20.000000\r"},
        {"35", "cw Wk 35.000000\r"},
        {"24.5 V", "cw Wk 24.500000\r"},
        {"30.00 V", "cw Wk 30.000000\r"},
        {std::string(125, ' ') + "25", "cw Wk 25.000000\r"},
        {"19.99", nullptr},
        {"35.01", nullptr},
        {"-", nullptr},
        {"", nullptr},
        {"nan", nullptr},
        {"1e30", nullptr},
        {std::string(126, ' ') + "25", nullptr},  // the read keeps "2"
    };
    OpenPort();
    for (const Case& c : cases) {
        ClearRecords();
        ui.controls[g_gen.hWndVmin].text = c.text;
        Click(button_Pwm_Vlim_Write_process, 1097);
        if (c.wire != nullptr) {
            EXPECT_EQ(serial.writes, std::vector<std::string>{c.wire}) << c.text;
            EXPECT_EQ(console.out, "") << c.text;
            EXPECT_TRUE(ui.boxes.empty()) << c.text;
        } else {
            EXPECT_TRUE(serial.written.empty()) << c.text;
            EXPECT_EQ(console.out, "Error: Out of Range!\n") << c.text;
            ASSERT_EQ(ui.boxes.size(), 1u) << c.text;
            ExpectBox(0, "Enter valid voltage (20V..35V)", "Error", platform::kMbIconWarning);
        }
    }
}

TEST_F(GenCommandsTest, TemperatureThresholdIsSentAsAWholeNumber) {
    struct Case {
        std::string text;
        const char* wire;
    };
    const Case cases[] = {
        {"75 \xB0"
         "C",
         "cw Pt 75\r"},
        {"75.9", "cw Pt 75\r"},
        {"-3", "cw Pt -3\r"},
        {"-3.7", "cw Pt -3\r"},
        {"abc", "cw Pt 0\r"},
        {"-", "cw Pt 0\r"},
        {"", "cw Pt 0\r"},
        {std::string(63, ' ') + "42", "cw Pt 0\r"},  // beyond the 64-byte read
        {std::string(61, ' ') + "42", "cw Pt 42\r"},
        // Out of the int range: the nearest whole number that the command can carry.
        {"1e20", "cw Pt 2147483647\r"},
        {"-1e20", "cw Pt -2147483648\r"},
        {"inf", "cw Pt 2147483647\r"},
        {"-inf", "cw Pt -2147483648\r"},
        {"1e50", "cw Pt 2147483647\r"},
        {"2147483648", "cw Pt 2147483647\r"},
        {"-2147483648", "cw Pt -2147483648\r"},
        {"2147483520", "cw Pt 2147483520\r"},  // the largest float below 2^31
        {"nan", "cw Pt 0\r"},
        {"-nan", "cw Pt 0\r"},
    };
    OpenPort();
    for (const Case& c : cases) {
        ClearRecords();
        ui.controls[g_gen.hWndTempThresh].text = c.text;
        Click(button_TempThresh_Wr, 1125);
        EXPECT_EQ(serial.writes, std::vector<std::string>{c.wire}) << c.text;
        EXPECT_EQ(console.out, std::string("button_TempThresh_Wr\n") + c.wire + "\n") << c.text;
        EXPECT_TRUE(ui.boxes.empty()) << c.text;
    }
}

TEST_F(GenCommandsTest, EepromPassword) {
    struct Case {
        std::string entered;
        bool valid;
        const char* wire;
        const char* printed;  // after "Entered Password is: "
    };
    const Case cases[] = {
        {"KTZ73", true, "cw SeKTZ73\r", "KTZ73"},
        {"KTZ731", true, "cw SeKTZ731\r", "KTZ731"},
        {"KTZ73xyz123", true, "cw SeKTZ73x\r", "KTZ73x"},
        {"KTZ7", false, "cw Se0\r", "KTZ7"},
        {"ktz73", false, "cw Se0\r", "ktz73"},
        {"XKTZ73", false, "cw Se0\r", "XKTZ73"},
        {"", false, "cw Se0\r", ""},
        {"wrong password that is long", false, "cw Se0\r", "wrong password that is long"},
        {std::string(40, 'a'), false, "cw Se0\r", "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa"},
    };
    OpenPort();
    for (const Case& c : cases) {
        ClearRecords();
        ui.controls[g_gen.hWndEepPassword].text = c.entered;
        Click(button_sys_eep_wr_en_process, 1114);
        EXPECT_EQ(serial.writes, std::vector<std::string>{c.wire}) << c.entered;
        const std::string tail =
            std::string("button_sys_eep_wr_en_process\nEntered Password is: ") + c.printed + "\n";
        if (c.valid) {
            EXPECT_EQ(console.out, std::string(c.wire) + "\n" + tail) << c.entered;
            EXPECT_TRUE(ui.boxes.empty()) << c.entered;
        } else {
            EXPECT_EQ(console.out, "Error: invalid password!\n" + tail) << c.entered;
            ASSERT_EQ(ui.boxes.size(), 1u) << c.entered;
            ExpectBox(0, "Invalid Password!\nEeeprom writing disabled!", "Error",
                      platform::kMbIconWarning);
        }
        EXPECT_EQ(ui.Text(g_gen.hWndEepPassword), "") << c.entered;
        ASSERT_FALSE(ui.set_texts.empty());
        EXPECT_EQ(ui.set_texts.back().first, g_gen.hWndEepPassword);
    }
}

}  // namespace
