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

class RouterTest : public fakes::CoreTest {
  protected:
    // Both pages, an open port, a running log and every entry field filled.
    void Prepare() {
        fakes::ResetCoreState();
        serial = fakes::FakeSerial{};
        g_main.hWndMain = main_ = ui.NewWindow("main");
        g_main.hWndTabCOM = g_main.hWndCurrentPage = page_ = ui.NewWindow("page");
        CreateComPageControls(page_);
        CreateGeneratorPage(page_);
        g_port.port_handle = serial.Open("\\\\.\\COM15");
        g_port.com_port_open = 1;
        g_log.pCOMLogFile = std::tmpfile();
        ASSERT_NE(g_log.pCOMLogFile, nullptr);
        g_log.com_log_active = 1;
        ui.SetControlText(g_com.hWndRegEdit, "Wf");
        ui.SetControlText(g_com.hWndComText, "old replies");
        ui.SetControlText(g_gen.hWndFmax, "250");
        ui.SetControlText(g_gen.hWndFmin, "100");
        ui.SetControlText(g_gen.hWndVmin, "24");
        ui.SetControlText(g_gen.hWndTempThresh, "75");
        ui.SetControlText(g_gen.hWndEepPassword, "KTZ73");
        ui.ComboSetSelection(g_com.hWndComSelect, 4);
        ui.ComboSetSelection(g_com.hWndBaudSelect, 0);
        ui.set_texts.clear();
        ui.boxes.clear();
        console.out.clear();
    }
    // Everything a command can leave behind.
    bool Quiet() {
        return console.out.empty() && serial.written.empty() && ui.boxes.empty() &&
               ui.set_texts.empty() && serial.closes == 0;
    }

    Wnd main_ = nullptr, page_ = nullptr;
};

TEST_F(RouterTest, EachIdReachesItsHandlerOnlyOnClickOrConfirmedSelection) {
    struct Case {
        uint16_t id;
        const char* wire;
        std::function<bool()> effect;  // what else shows that the right handler ran
    };
    const Case cases[] = {
        {1034, "", [] { return g_port.com_port_number == 5; }},
        {1035, "", [] { return g_port.com_baudrate == 1200 && g_port.COM_timeout_max == 50; }},
        {1036, "", [&] { return g_port.com_port_open == 0 && serial.closes == 1; }},
        {1039, "cr Wf\r", {}},
        {1040, "cw Wf\r", {}},
        {1041, "", [] { return g_log.com_log_active == 0 && g_log.pCOMLogFile == nullptr; }},
        {1042, "", [&] { return ui.Text(g_com.hWndComText).empty(); }},
        {1084, "cw Wo0\r", [] { return g_dev.pwm_on == 0; }},
        {1085, "cr Wf\r", [&] { return console.out == "cr Wf\r\nPWM settings read!\n"; }},
        {1086, "cw Wf-\r", {}},
        {1087, "cw Wf+\r", {}},
        {1088, "cw Wd-\r", {}},
        {1089, "cw Wd+\r", {}},
        {1090, "cr Wl\r", {}},
        {1091, "cw Wlx 250\r", {}},
        {1092, "cw Wli 100\r", {}},
        {1094, "", [] { return g_autoread.autoread_step == 5 && g_autoread.autoread_read_once; }},
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
        Prepare();
        const bool combo = c.id == 1034 || c.id == 1035;
        const uint16_t go = combo ? platform::kCbnSelEndOk : platform::kBnClicked;
        // Other notifications of the control reach its handler, which ignores them.
        for (uint16_t code : {0, 1, 9, 0x0300 /*EN_CHANGE*/}) {
            if (code == go) continue;
            EXPECT_TRUE(PageCommand(page_, platform::MakeWParam(c.id, code), nullptr)) << code;
            EXPECT_TRUE(Quiet()) << code;
        }
        EXPECT_FALSE(c.effect && c.effect());

        EXPECT_TRUE(PageCommand(page_, platform::MakeWParam(c.id, go), nullptr));
        EXPECT_EQ(serial.written, c.wire);
        EXPECT_TRUE(!c.effect || c.effect());
        for (const fakes::ShownBox& box : ui.boxes) EXPECT_EQ(box.owner, page_) << box.text;
    }
}

TEST_F(RouterTest, IdsOutsideTheTableAreNotRouted) {
    Prepare();
    const uint16_t ids[] = {0,    1,    1024, 1033, 1037, 1038, 1043,  1083,
                            1093, 1098, 1105, 1113, 1118, 1126, 0xFFFF};
    for (uint16_t id : ids) {
        for (uint16_t code : {platform::kBnClicked, platform::kCbnSelEndOk, 0x0300u}) {
            EXPECT_FALSE(PageCommand(page_, platform::MakeWParam(id, code), nullptr)) << id;
            EXPECT_TRUE(Quiet()) << id << "/" << code;
        }
    }
}

TEST_F(RouterTest, MenuCommands) {
    Prepare();
    FormatBanner();
    for (uint16_t id : {IDM_HELP, IDM_ABOUT, IDM_OPEN}) EXPECT_TRUE(MainWindowCommand(main_, id));
    EXPECT_EQ(console.out, "IDM_HELP\nIDM_ABOUT\nIDM_OPEN\n");
    ASSERT_EQ(ui.boxes.size(), 2u);
    EXPECT_EQ(ui.boxes[0].text,
              "> Select: COM #, Baud Rate => click COM Start\n"
              "> Write register & subregister & further values to 'Reg:'\n"
              "    then click 'Read' or 'Write'\n"
              "> Log serial com if needed: click 'LOG start'\n"
              "    (needs 'log' subfolder in *.exe path)");
    EXPECT_EQ(ui.boxes[1].text, g_app.szBanner);
    for (const fakes::ShownBox& box : ui.boxes) {
        EXPECT_EQ(box.owner, main_);
        EXPECT_EQ(box.caption, "Help");
        EXPECT_EQ(box.flags, platform::kMbIconInformation);
    }
    EXPECT_FALSE(g_app.shutdown_done);

    console.out.clear();
    ui.boxes.clear();
    for (uint16_t id : {0, 104, 109, 1036}) EXPECT_FALSE(MainWindowCommand(main_, id)) << id;
    EXPECT_TRUE(Quiet());
}

}  // namespace
