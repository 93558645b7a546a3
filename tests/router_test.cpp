#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <string>

#include "app/com_page.h"
#include "app/main_window.h"
#include "app/startup.h"
#include "generator/autoread.h"
#include "generator/gen_page.h"
#include "generator/reply_parser.h"
#include "serial/com_log.h"
#include "serial/port.h"
#include "tests/fakes/test_env.h"

namespace {

using platform::Wnd;

uint32_t Click(uint16_t id) {
    return platform::MakeWParam(id, platform::kBnClicked);
}

class RouterTest : public fakes::CoreTest {
  protected:
    void SetUp() override {
        CoreTest::SetUp();
        main_ = ui.NewWindow("main");
        page_ = ui.NewWindow("page");
        g_main.hWndMain = main_;
        g_main.hWndTabCOM = page_;
        g_main.hWndCurrentPage = page_;
        CreateComPageControls(page_);
        CreateGeneratorPage(page_);
        ui.set_texts.clear();
        console.out.clear();
    }
    void OpenPort() {
        g_port.port_handle = serial.Open("\\\\.\\COM15", 38400);
        g_port.com_port_open = 1;
    }
    // Everything a command can leave behind.
    bool Quiet() {
        return console.out.empty() && serial.written.empty() && ui.boxes.empty() &&
               ui.set_texts.empty() && serial.opened_paths.size() <= 1;
    }

    Wnd main_ = nullptr;
    Wnd page_ = nullptr;
};

TEST_F(RouterTest, IdsOutsideTheTableAreNotRouted) {
    OpenPort();
    ui.SetControlText(g_com.hWndRegEdit, "Wf");
    ui.set_texts.clear();
    const uint16_t ids[] = {0,    1,    1024, 1033, 1037, 1038, 1043, 1064, 1065, 1066,  1069,
                            1070, 1071, 1083, 1093, 1098, 1105, 1113, 1118, 1126, 0xFFFF};
    const uint16_t codes[] = {platform::kBnClicked, platform::kCbnSelEndOk, 0x0300 /*EN_CHANGE*/};
    for (uint16_t id : ids) {
        for (uint16_t code : codes) {
            SCOPED_TRACE(std::to_string(id) + "/" + std::to_string(code));
            EXPECT_FALSE(PageCommand(page_, platform::MakeWParam(id, code), nullptr));
            EXPECT_TRUE(Quiet());
        }
    }
}

TEST_F(RouterTest, GeneratorButtonsSendTheirCommands) {
    struct Case {
        uint16_t id;
        const char* wire;
        std::function<bool()> also;  // further effects; may be empty
    };
    const Case cases[] = {
        {1084, "cw Wo1\r", [] { return g_dev.pwm_on == 1; }},
        {1085, "cr Wf\r", {}},
        {1086, "cw Wf-\r", {}},
        {1087, "cw Wf+\r", {}},
        {1088, "cw Wd-\r", {}},
        {1089, "cw Wd+\r", {}},
        {1090, "cr Wl\r", {}},
        {1091, "cw Wlx 250\r", {}},
        {1092, "cw Wli 100\r", {}},
        {1094, "",
         [] {
             return g_autoread.autoread_step == 5 && g_autoread.autoread_read_once == 1 &&
                    g_autoread.autoread_tick == 100;
         }},
        {1095, "", [] { return g_autoread.autoread_on == 1; }},
        {1096, "cr Wk\r", {}},
        {1097, "cw Wk 24.000000\r", {}},
        {1104, "cw Wc1\r", [] { return g_dev.pwm_ctl_on == 1; }},
        {1107, "cw Ws1\r", {}},
        {1108, "cw WwA5\r", [] { return g_dev.search_always_on == 1; }},
        {1114, "cw SeKTZ73\r", {}},
        {1115, "cw Wesave\r", {}},
        {1116, "cw Efault1\r", {}},
        {1117, "cw Wn1\r", {}},
        {1124, "cr Pt\r", {}},
        {1125, "cw Pt 75\r", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.id);
        fakes::ResetCoreState();
        g_main.hWndTabCOM = page_;
        CreateComPageControls(page_);
        CreateGeneratorPage(page_);
        OpenPort();
        g_dev.pwm_on = 0;
        ui.SetControlText(g_gen.hWndFmax, "250");
        ui.SetControlText(g_gen.hWndFmin, "100");
        ui.SetControlText(g_gen.hWndVmin, "24");
        ui.SetControlText(g_gen.hWndTempThresh, "75");
        ui.SetControlText(g_gen.hWndEepPassword, "KTZ73");
        serial.written.clear();
        ui.boxes.clear();

        EXPECT_TRUE(PageCommand(page_, Click(c.id), nullptr));
        EXPECT_EQ(serial.written, c.wire);
        if (c.also) {
            EXPECT_TRUE(c.also());
        }
        for (const fakes::ShownBox& box : ui.boxes) EXPECT_EQ(box.owner, page_) << box.text;

        // Any other notification of the same control reaches the handler, which ignores it.
        serial.written.clear();
        ui.boxes.clear();
        EXPECT_TRUE(PageCommand(page_, platform::MakeWParam(c.id, 1), nullptr));
        EXPECT_EQ(serial.written, "");
        EXPECT_TRUE(ui.boxes.empty());
    }
}

TEST_F(RouterTest, PortCommandsReachThePortHandlers) {
    ui.ComboSetSelection(g_com.hWndComSelect, 4);
    EXPECT_TRUE(PageCommand(page_, platform::MakeWParam(1034, platform::kCbnSelEndOk),
                            g_com.hWndComSelect));
    EXPECT_EQ(g_port.com_port_number, 5);
    EXPECT_EQ(console.out, "Selected COM 5\n");

    ui.ComboSetSelection(g_com.hWndBaudSelect, 0);
    EXPECT_TRUE(PageCommand(page_, platform::MakeWParam(1035, platform::kCbnSelEndOk),
                            g_com.hWndBaudSelect));
    EXPECT_EQ(g_port.com_baudrate, 1200);
    EXPECT_EQ(g_port.COM_timeout_max, 50u);

    // A plain click on a combo box is not a confirmed selection.
    ui.ComboSetSelection(g_com.hWndComSelect, 9);
    EXPECT_TRUE(PageCommand(page_, Click(1034), g_com.hWndComSelect));
    EXPECT_EQ(g_port.com_port_number, 5);

    EXPECT_TRUE(PageCommand(page_, platform::MakeWParam(1036, 5), g_com.hWndComStartStop));
    EXPECT_TRUE(serial.opened_paths.empty());

    EXPECT_TRUE(PageCommand(page_, Click(1036), g_com.hWndComStartStop));
    EXPECT_EQ(serial.opened_paths, (std::vector<std::string>{"\\\\.\\COM5"}));
    EXPECT_EQ(serial.opened_baud, (std::vector<int32_t>{1200}));
    EXPECT_EQ(g_port.com_port_open, 1);
    EXPECT_EQ(ui.Text(g_com.hWndComStartStop), "COM Stop");
    ASSERT_TRUE(ui.TimerRunning(RECEIVE_TIMER_ID));
    EXPECT_EQ(ui.timers[RECEIVE_TIMER_ID].wnd, page_);

    EXPECT_TRUE(PageCommand(page_, Click(1036), g_com.hWndComStartStop));
    EXPECT_EQ(g_port.com_port_open, 0);
    EXPECT_EQ(serial.closes, 1);
    EXPECT_EQ(ui.Text(g_com.hWndComStartStop), "COM Start");
}

TEST_F(RouterTest, RegisterConsoleAndLogButtons) {
    OpenPort();
    ui.SetControlText(g_com.hWndRegEdit, "Wf");
    EXPECT_TRUE(PageCommand(page_, Click(1039), g_com.hWndRegRead));
    EXPECT_EQ(serial.written, "cr Wf\r");

    serial.written.clear();
    ui.SetControlText(g_com.hWndRegEdit, "Wo1");
    EXPECT_TRUE(PageCommand(page_, Click(1040), g_com.hWndRegWrite));
    EXPECT_EQ(serial.written, "cw Wo1\r");

    ui.SetControlText(g_com.hWndComText, "old replies");
    EXPECT_TRUE(PageCommand(page_, Click(1042), g_com.hWndClearScr));
    EXPECT_EQ(ui.Text(g_com.hWndComText), "");

    g_log.pCOMLogFile = std::tmpfile();
    ASSERT_NE(g_log.pCOMLogFile, nullptr);
    g_log.com_log_active = 1;
    ui.SetControlText(g_com.hWndLogStartStop, "log STOP");
    EXPECT_TRUE(PageCommand(page_, Click(1041), g_com.hWndLogStartStop));
    EXPECT_EQ(g_log.com_log_active, 0);
    EXPECT_EQ(g_log.pCOMLogFile, nullptr);
    EXPECT_EQ(ui.Text(g_com.hWndLogStartStop), "LOG Start");
}

TEST_F(RouterTest, MenuCommands) {
    FormatBanner();
    struct Case {
        uint16_t id;
        const char* console;
        const char* box_text;  // nullptr: no box
    };
    const std::string help =
        "> Select: COM #, Baud Rate => click COM Start\n"
        "> Write register & subregister & further values to 'Reg:'\n"
        "    then click 'Read' or 'Write'\n"
        "> Log serial com if needed: click 'LOG start'\n"
        "    (needs 'log' subfolder in *.exe path)";
    const Case cases[] = {
        {IDM_HELP, "IDM_HELP\n", help.c_str()},
        {IDM_ABOUT, "IDM_ABOUT\n", g_app.szBanner},
        {IDM_OPEN, "IDM_OPEN\n", nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.id);
        console.out.clear();
        ui.boxes.clear();
        EXPECT_TRUE(MainWindowCommand(main_, c.id));
        EXPECT_EQ(console.out, c.console);
        if (c.box_text == nullptr) {
            EXPECT_TRUE(ui.boxes.empty());
            continue;
        }
        ASSERT_EQ(ui.boxes.size(), 1u);
        EXPECT_EQ(ui.boxes[0].owner, main_);
        EXPECT_EQ(ui.boxes[0].text, c.box_text);
        EXPECT_EQ(ui.boxes[0].caption, "Help");
        EXPECT_EQ(ui.boxes[0].flags, platform::kMbIconInformation);
    }
    EXPECT_FALSE(g_app.shutdown_done);

    for (uint16_t id : {0, 104, 109, 1036}) {
        console.out.clear();
        ui.boxes.clear();
        EXPECT_FALSE(MainWindowCommand(main_, id)) << id;
        EXPECT_TRUE(console.out.empty());
        EXPECT_TRUE(ui.boxes.empty());
    }
}

}  // namespace
