#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "app/com_page.h"
#include "generator/autoread.h"
#include "generator/gen_page.h"
#include "generator/reply_parser.h"
#include "serial/com_log.h"
#include "serial/port.h"
#include "serial/receive_pump.h"
#include "tests/fakes/test_env.h"

namespace {

const uint32_t kStartStop = platform::MakeWParam(1036, platform::kBnClicked);

class PortTest : public fakes::CoreTest {
  protected:
    void SetUp() override {
        CoreTest::SetUp();
        page = ui.NewWindow("page");
        g_com.hWndComStartStop = ui.NewWindow("button");
        ui.controls[g_com.hWndComStartStop].text = "COM Start";
        g_com.hWndComSelect = ui.NewWindow("combo");
        g_com.hWndBaudSelect = ui.NewWindow("combo");
        for (platform::Wnd* w : GenReadouts()) *w = ui.NewWindow("readout");
        g_gen.hWndVmin = ui.NewWindow("vmin");
    }

    // The read-outs in the order in which they are reset.
    static std::vector<platform::Wnd*> GenReadouts() {
        return {&g_gen.hWndFwVersion, &g_gen.hWndHwVersion, &g_gen.hWndFreq,
                &g_gen.hWndDuty,      &g_gen.hWndFmax,      &g_gen.hWndFmin,
                &g_gen.hWndAntVpeak,  &g_gen.hWndAntIpeak,  &g_gen.hWndPcbTemp,
                &g_gen.hWndVsupply,   &g_gen.hWndAntIavg,   &g_gen.hWndAntPavg,
                &g_gen.hWndTempThresh};
    }

    std::vector<std::pair<platform::Wnd, std::string>> TextsSetOn(platform::Wnd w) {
        std::vector<std::pair<platform::Wnd, std::string>> out;
        for (const auto& t : ui.set_texts)
            if (t.first == w) out.push_back(t);
        return out;
    }

    void Click() { button_COM_StartStop_process(page, kStartStop, g_com.hWndComStartStop); }

    platform::Wnd page = nullptr;
};

TEST_F(PortTest, StartOpensComFifteenAndRunsTheReceiveTimer) {
    g_rx.rx_idle_countdown = 7;
    g_autoread.autoread_step = 3;
    Click();

    ASSERT_EQ(serial.opened_paths.size(), 1u);
    EXPECT_EQ(serial.opened_paths[0], "\\\\.\\COM15");
    EXPECT_EQ(serial.opened_paths[0].size(), 9u);  // two backslashes, a dot, one backslash
    EXPECT_EQ(serial.opened_baud, std::vector<int32_t>{38400});
    EXPECT_EQ(console.out, "Opening COM15\nCom port open (handle 16)\nCOM 15, 38400 bps\n");
    EXPECT_EQ(ui.Text(g_com.hWndComStartStop), "COM Stop");
    EXPECT_EQ(g_port.com_port_open, 1);
    EXPECT_NE(g_port.port_handle, nullptr);
    EXPECT_EQ(g_rx.rx_idle_countdown, 0u);
    EXPECT_EQ(g_autoread.autoread_step, 0);
    EXPECT_TRUE(ui.boxes.empty());
    EXPECT_TRUE(serial.writes.empty());

    ASSERT_TRUE(ui.TimerRunning(RECEIVE_TIMER_ID));
    const fakes::RunningTimer& t = ui.timers[RECEIVE_TIMER_ID];
    EXPECT_EQ(t.wnd, page);
    EXPECT_EQ(t.interval_ms, 10u);
    EXPECT_EQ(t.proc, &ReceiveTimerProc);
}

TEST_F(PortTest, StopClosesThePortAndTheTimer) {
    Click();
    console.out.clear();
    Click();

    EXPECT_EQ(console.out, "Closing com port\n");
    EXPECT_EQ(serial.closes, 1);
    EXPECT_EQ(g_port.port_handle, nullptr);
    EXPECT_EQ(g_port.com_port_open, 0);
    EXPECT_EQ(ui.Text(g_com.hWndComStartStop), "COM Start");
    EXPECT_FALSE(ui.TimerRunning(RECEIVE_TIMER_ID));
    EXPECT_EQ(ui.timer_log, (std::vector<std::string>{"start 1", "stop 1"}));

    // And it opens again on the next click.
    Click();
    EXPECT_EQ(serial.opened_paths.size(), 2u);
    EXPECT_EQ(g_port.com_port_open, 1);
}

TEST_F(PortTest, FailedOpeningWarnsAndChangesNothingElse) {
    struct Case {
        uint8_t number;
        const char* console;
        std::size_t attempts;
    };
    const Case cases[] = {
        {15, "Opening COM15\nError opening COM15\n", 1},
        {3, "Opening COM3\nError opening COM3\n", 1},
        {0, "", 0},  // no port selected: nothing tried, nothing printed
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(int{c.number});
        serial.fail_open = true;
        g_port.com_port_number = c.number;
        g_rx.rx_idle_countdown = 4;

        Click();

        EXPECT_EQ(console.out, c.console);
        EXPECT_EQ(serial.opened_paths.size(), c.attempts);
        ASSERT_EQ(ui.boxes.size(), 1u);
        EXPECT_EQ(ui.boxes[0].owner, page);
        EXPECT_EQ(ui.boxes[0].text, "No COM Port available!");
        EXPECT_EQ(ui.boxes[0].caption, "Error");
        EXPECT_EQ(ui.boxes[0].flags, platform::kMbIconWarning);
        EXPECT_EQ(g_port.com_port_open, 0);
        EXPECT_EQ(g_port.port_handle, nullptr);
        EXPECT_EQ(ui.Text(g_com.hWndComStartStop), "COM Start");
        EXPECT_TRUE(ui.set_texts.empty());  // no caption change, no read-outs cleared
        EXPECT_TRUE(ui.timers.empty());
        EXPECT_EQ(g_rx.rx_idle_countdown, 4u);
        console.out.clear();
        ui.boxes.clear();
        ui.set_texts.clear();
        serial.opened_paths.clear();
    }
}

TEST_F(PortTest, OpeningIsRecordedInAnActiveLog) {
    for (uint8_t active : {0, 1}) {
        SCOPED_TRACE(int{active});
        std::FILE* f = std::tmpfile();
        ASSERT_NE(f, nullptr);
        g_log.pCOMLogFile = f;
        g_log.com_log_active = active;
        Click();
        Click();
        std::fflush(f);
        std::rewind(f);
        char buf[256] = {};
        const std::size_t n = std::fread(buf, 1, sizeof buf - 1, f);
        const std::string want = "Com port open (handle " +
                                 std::to_string(serial.handle_counter * 0x10) +
                                 ")\nCOM 15, 38400 bps\n--------------------------\n\n";
        EXPECT_EQ(std::string(buf, n), active ? want : "");
        ComLogClose();
    }
}

TEST_F(PortTest, PortNumberZeroOpensNothing) {
    g_port.com_port_number = 0;
    OpenComPort(page);
    EXPECT_EQ(console.out, "");
    EXPECT_TRUE(serial.opened_paths.empty());
    EXPECT_EQ(g_port.port_handle, nullptr);
    EXPECT_TRUE(ui.timers.empty());
}

TEST_F(PortTest, DevicePathCarriesThePortNumber) {
    const std::pair<uint8_t, const char*> cases[] = {{1, "\\\\.\\COM1"}, {40, "\\\\.\\COM40"}};
    for (const auto& c : cases) {
        g_port.com_port_number = c.first;
        g_port.com_baudrate = 1200;
        OpenComPort(page);
        EXPECT_EQ(serial.opened_paths.back(), c.second);
        EXPECT_EQ(serial.opened_baud.back(), 1200);
        CloseComPort(page);
    }
}

TEST_F(PortTest, IdentificationIsAskedOnlyFromTheBootloader) {
    const std::pair<uint8_t, std::vector<std::string>> cases[] = {
        {0, {}},
        {1, {"cr Sv\r"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(int{c.first});
        g_dev.uCisBootloader = c.first;
        serial.writes.clear();
        console.out.clear();
        Click();
        EXPECT_EQ(serial.writes, c.second);
        // Nothing of the command reaches the console.
        EXPECT_EQ(console.out, "Opening COM15\nCom port open (handle " +
                                   std::to_string(serial.handle_counter * 0x10) +
                                   ")\nCOM 15, 38400 bps\n");
        Click();
    }
}

TEST_F(PortTest, OnlyTheClickNotificationActs) {
    button_COM_StartStop_process(page, platform::MakeWParam(1036, 1), nullptr);
    button_COM_StartStop_process(page, platform::MakeWParam(1036, 5), nullptr);
    EXPECT_TRUE(serial.opened_paths.empty());
    EXPECT_TRUE(ui.boxes.empty());
    EXPECT_EQ(console.out, "");
}

TEST_F(PortTest, OpeningResetsTheReadoutsInOrder) {
    Click();
    std::vector<std::pair<platform::Wnd, std::string>> want;
    want.emplace_back(g_com.hWndComStartStop, "COM Stop");
    want.emplace_back(g_gen.hWndFwVersion, "...");
    want.emplace_back(g_gen.hWndHwVersion, "...");
    for (platform::Wnd* w : GenReadouts())
        if (w != &g_gen.hWndFwVersion && w != &g_gen.hWndHwVersion) want.emplace_back(*w, "-");
    EXPECT_EQ(ui.set_texts, want);
    EXPECT_TRUE(TextsSetOn(g_gen.hWndVmin).empty());
}

TEST_F(PortTest, ClearReadoutsBeforeTheGeneratorPageExistsDoesNothing) {
    g_gen.Reset();
    ClearReadouts();
    EXPECT_TRUE(ui.set_texts.empty());
}

TEST_F(PortTest, ComSelection) {
    struct Case {
        uint16_t code;
        int selection;
        uint8_t number;
        const char* console;
    };
    const Case cases[] = {
        {9, 0, 1, "Selected COM 1\n"},
        {9, 14, 15, "Selected COM 15\n"},
        {9, 39, 40, "Selected COM 40\n"},
        {9, -1, 1, "COM selection ERROR!\nSelected COM 1\n"},
        {9, 40, 7, ""},  // out of range: ignored
        {9, -2, 7, ""},
        {0, 3, 7, ""},  // not a confirmed selection
        {1, 3, 7, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.selection);
        g_port.com_port_number = 7;
        console.out.clear();
        ui.controls[g_com.hWndComSelect].selection = c.selection;
        ComSelect_process(platform::MakeWParam(1034, c.code), g_com.hWndComSelect);
        EXPECT_EQ(g_port.com_port_number, c.number);
        EXPECT_EQ(console.out, c.console);
    }
}

TEST_F(PortTest, BaudSelection) {
    struct Case {
        uint16_t code;
        int selection;
        int32_t baud;
        uint32_t timeout;
        const char* console;
    };
    const Case cases[] = {
        {9, 0, 1200, 50,
         "Selected baud rate: 1200 bps (cb_reply = 0)\nCOM_timeout_max:    50 * 10 ms\n"},
        {9, 3, 9600, 15,
         "Selected baud rate: 9600 bps (cb_reply = 3)\nCOM_timeout_max:    15 * 10 ms\n"},
        {9, 8, 115200, 10,
         "Selected baud rate: 115200 bps (cb_reply = 8)\nCOM_timeout_max:    10 * 10 ms\n"},
        {9, -1, 1200, 50,
         "Baud rate selection ERROR!\nSelected baud rate: 1200 bps (cb_reply = 0)\n"
         "COM_timeout_max:    50 * 10 ms\n"},
        {9, 9, 57600, 7, ""},
        {0, 2, 57600, 7, ""},
        {1, 2, 57600, 7, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.selection);
        g_port.com_baudrate = 57600;
        g_port.COM_timeout_max = 7;
        console.out.clear();
        ui.controls[g_com.hWndBaudSelect].selection = c.selection;
        BaudSelect_process(platform::MakeWParam(1035, c.code), g_com.hWndBaudSelect);
        EXPECT_EQ(g_port.com_baudrate, c.baud);
        EXPECT_EQ(g_port.COM_timeout_max, c.timeout);
        EXPECT_EQ(console.out, c.console);
    }
}

TEST_F(PortTest, NewBaudRateTakesEffectAtTheNextOpening) {
    Click();
    ui.controls[g_com.hWndBaudSelect].selection = 0;
    BaudSelect_process(platform::MakeWParam(1035, 9), g_com.hWndBaudSelect);
    EXPECT_EQ(serial.opened_baud, std::vector<int32_t>{38400});
    EXPECT_EQ(serial.closes, 0);
    Click();
    Click();
    EXPECT_EQ(serial.opened_baud, (std::vector<int32_t>{38400, 1200}));
}

TEST_F(PortTest, OpeningTwiceClosesTheFirstHandle) {
    OpenComPort(page);
    platform::PortHandle first = g_port.port_handle;
    OpenComPort(page);
    EXPECT_EQ(serial.closes, 1);
    EXPECT_NE(g_port.port_handle, first);
    EXPECT_EQ(ui.timer_log, (std::vector<std::string>{"start 1", "stop 1", "start 1"}));
}

TEST_F(PortTest, CloseWithoutAPortDoesNothing) {
    CloseComPort(page);
    EXPECT_EQ(console.out, "");
    EXPECT_EQ(serial.closes, 0);
    EXPECT_TRUE(ui.timer_log.empty());
}

TEST_F(PortTest, WriteTextGoesOutInOneWriteOnlyWhileAPortIsOpen) {
    PortWriteText("cr Wo\r");
    EXPECT_TRUE(serial.writes.empty());

    OpenComPort(page);
    PortWriteText("cw Pt 12\r");
    PortWriteText("");
    PortWriteText(nullptr);
    EXPECT_EQ(serial.writes, std::vector<std::string>{"cw Pt 12\r"});

    CloseComPort(page);
    PortWriteText("cr Wo\r");
    EXPECT_EQ(serial.writes.size(), 1u);
}

}  // namespace
