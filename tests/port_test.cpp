#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "app/com_page.h"
#include "boot/bootloader.h"
#include "boot/flash_dump.h"
#include "generator/autoread.h"
#include "generator/gen_page.h"
#include "generator/reply_parser.h"
#include "serial/com_log.h"
#include "serial/port.h"
#include "serial/receive_pump.h"
#include "tests/fakes/test_env.h"

namespace {

using Strings = std::vector<std::string>;

class PortTest : public fakes::CoreTest {
  protected:
    void SetUp() override {
        CoreTest::SetUp();
        g_com.hWndComStartStop = ui.NewWindow("button");
        ui.controls[g_com.hWndComStartStop].text = "COM Start";
        g_com.hWndComSelect = ui.NewWindow("combo");
        g_com.hWndBaudSelect = ui.NewWindow("combo");
        for (platform::Wnd* w : Readouts()) *w = ui.NewWindow("readout");
    }
    // The generator read-outs in the order in which they are reset.
    static std::vector<platform::Wnd*> Readouts() {
        return {&g_gen.hWndFwVersion, &g_gen.hWndHwVersion, &g_gen.hWndFreq,
                &g_gen.hWndDuty,      &g_gen.hWndFmax,      &g_gen.hWndFmin,
                &g_gen.hWndAntVpeak,  &g_gen.hWndAntIpeak,  &g_gen.hWndPcbTemp,
                &g_gen.hWndVsupply,   &g_gen.hWndAntIavg,   &g_gen.hWndAntPavg,
                &g_gen.hWndTempThresh};
    }
    void Click(uint16_t code = platform::kBnClicked) {
        button_COM_StartStop_process(page, platform::MakeWParam(1036, code), nullptr);
    }
    // What an opening of COM15 at 38400 bps prints after "Opening COM15\n".
    std::string OpenedLines() {
        return "Com port open (handle " + std::to_string(serial.handle_counter * 0x10) +
               ")\nCOM 15, 38400 bps\n";
    }

    platform::Wnd page = ui.NewWindow("page");
};

TEST_F(PortTest, StartOpensComFifteenAndStopClosesIt) {
    Click(1);  // only the click acts
    Click(5);
    EXPECT_TRUE(serial.opened_paths.empty());
    EXPECT_EQ(console.out, "");

    g_rx.rx_idle_countdown = 7;
    g_autoread.autoread_step = 3;
    Click();
    EXPECT_EQ(serial.opened_paths, Strings{"\\\\.\\COM15"});
    EXPECT_EQ(serial.opened_baud, std::vector<int32_t>{38400});
    EXPECT_EQ(console.out, "Opening COM15\nCom port open (handle 16)\nCOM 15, 38400 bps\n");
    EXPECT_EQ(g_port.com_port_open, 1);
    EXPECT_EQ(g_rx.rx_idle_countdown, 0u);
    EXPECT_EQ(g_autoread.autoread_step, 0);
    EXPECT_TRUE(ui.boxes.empty());
    EXPECT_TRUE(serial.writes.empty());
    // The caption first, then the read-outs in order.
    std::vector<std::pair<platform::Wnd, std::string>> want{{g_com.hWndComStartStop, "COM Stop"}};
    for (platform::Wnd* w : Readouts())
        want.emplace_back(*w, w == &g_gen.hWndFwVersion || w == &g_gen.hWndHwVersion ? "..." : "-");
    EXPECT_EQ(ui.set_texts, want);
    ASSERT_TRUE(ui.TimerRunning(RECEIVE_TIMER_ID));
    EXPECT_EQ(ui.timers[RECEIVE_TIMER_ID].wnd, page);
    EXPECT_EQ(ui.timers[RECEIVE_TIMER_ID].interval_ms, 10u);
    EXPECT_EQ(ui.timers[RECEIVE_TIMER_ID].proc, &ReceiveTimerProc);

    console.out.clear();
    Click();
    EXPECT_EQ(console.out, "Closing com port\n");
    EXPECT_EQ(serial.closes, 1);
    EXPECT_EQ(g_port.port_handle, nullptr);
    EXPECT_EQ(g_port.com_port_open, 0);
    EXPECT_EQ(ui.Text(g_com.hWndComStartStop), "COM Start");
    EXPECT_EQ(ui.timer_log, (Strings{"start 1", "stop 1"}));
}

TEST_F(PortTest, FailedOpeningWarnsAndChangesNothingElse) {
    const std::string reason = "SetCommState: The parameter is incorrect. (error 87)";
    struct Case {
        uint8_t number;
        bool opens;  // the port opens, but refuses its configuration
        std::string lines, box;
        unsigned flags;
    };
    const Case cases[] = {
        {3, false, "Opening COM3\nError opening COM3\n", "No COM Port available!",
         platform::kMbIconWarning},
        {0, false, "", "No COM Port available!", platform::kMbIconWarning},  // none selected
        {15, true, "Opening COM15\nError opening COM15: " + reason + "\n",
         "COM15 cannot be set up:\n" + reason, platform::kMbIconError},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(int{c.number});
        serial.fail_open = !c.opens;
        serial.configure_error = c.opens ? reason : "";
        g_port.com_port_number = c.number;
        g_rx.rx_idle_countdown = 4;
        console.out.clear();
        ui.boxes.clear();
        serial.opened_paths.clear();
        Click();
        EXPECT_EQ(console.out, c.lines);
        EXPECT_EQ(serial.opened_paths.size(), c.number != 0 ? 1u : 0u);
        EXPECT_EQ(serial.closes, c.opens ? 1 : 0);  // a handle that was opened is closed again
        ASSERT_EQ(ui.boxes.size(), 1u);
        EXPECT_EQ(ui.boxes[0].owner, page);
        EXPECT_EQ(ui.boxes[0].text, c.box);
        EXPECT_EQ(ui.boxes[0].caption, "Error");
        EXPECT_EQ(ui.boxes[0].flags, c.flags);
        EXPECT_EQ(g_port.com_port_open, 0);
        EXPECT_EQ(g_port.port_handle, nullptr);
        EXPECT_TRUE(ui.set_texts.empty());  // no caption change, no read-outs cleared
        EXPECT_TRUE(ui.timers.empty());
        EXPECT_EQ(g_rx.rx_idle_countdown, 4u);
    }
}

// A read-back that was never answered, or was cut off by COM Stop, ends with the opening.
TEST_F(PortTest, OpeningStartsWithNoFlashStreamPending) {
    for (uint32_t collected : {0u, 34u}) {
        SCOPED_TRACE(collected);
        Click();
        g_rx.flash_stream_mode = 1;
        g_flash.flash_stream_len = collected;
        Click();
        Click();
        EXPECT_EQ(g_rx.flash_stream_mode, 0);
        console.out.clear();
        serial.Feed("\x02PWM_active = 0\x03");
        for (int i = 0; i < 20; ++i) ReceiveTimerProc(page);
        EXPECT_EQ(console.out, "\nPWM_active = 0\nknown string found: PWM_active = 0\n = 0");
        Click();
    }
}

TEST_F(PortTest, LostPortIsToldOnceAndClosedAndCanBeStartedAgain) {
    g_com.hWndComText = ui.NewWindow("text");
    Click();
    g_port.com_port_number = 3;  // chosen while open: the lost port is still COM15
    g_autoread.autoread_on = 1;
    serial.fail_read = true;
    // The box's message loop runs the timers; they must find the port closed.
    ui.on_box = [this] {
        for (int i = 0; i < 100; ++i) {
            ReceiveTimerProc(page);
            AutoReadTimerProc(page);
        }
    };
    console.out.clear();
    ui.set_texts.clear();
    const int reads = serial.reads;
    ReceiveTimerProc(page);
    ReceiveTimerProc(page);  // a tick already queued when the port was closed
    const std::string note = "\r\nWIN info: COM15 lost (reading failed), port closed\r\n";
    EXPECT_EQ(console.out, note + "Closing com port\n");
    EXPECT_EQ(ui.Text(g_com.hWndComText), note);
    ASSERT_EQ(ui.boxes.size(), 1u);
    EXPECT_EQ(ui.boxes[0].owner, page);
    EXPECT_EQ(ui.boxes[0].text,
              "COM15 lost!\nThe port has been closed; click COM Start once it is back.");
    EXPECT_EQ(ui.boxes[0].caption, "Error");
    EXPECT_EQ(ui.boxes[0].flags, platform::kMbIconError);
    EXPECT_EQ(ui.set_texts, (std::vector<std::pair<platform::Wnd, std::string>>{
                                {g_com.hWndComStartStop, "COM Start"}}));
    EXPECT_EQ(serial.reads, reads + 1);
    EXPECT_TRUE(serial.writes.empty());
    EXPECT_EQ(serial.closes, 1);
    EXPECT_EQ(g_port.com_port_open, 0);
    EXPECT_EQ(g_port.port_handle, nullptr);
    EXPECT_EQ(ui.timer_log, (Strings{"start 1", "stop 1"}));

    serial.fail_read = false;
    g_port.com_port_number = 15;
    Click();
    EXPECT_EQ(g_port.com_port_open, 1);
    EXPECT_EQ(ui.Text(g_com.hWndComStartStop), "COM Stop");
    ReceiveTimerProc(page);
    EXPECT_EQ(ui.boxes.size(), 1u);
}

TEST_F(PortTest, OpeningIsLoggedAndIdentificationAskedOnlyWhenTheirFlagsAreOn) {
    for (const auto& [boot, logging] : {std::pair<uint8_t, uint8_t>{0, 1}, {1, 0}}) {
        SCOPED_TRACE(int{boot});
        g_dev.uCisBootloader = boot;
        g_log.pCOMLogFile = std::tmpfile();
        ASSERT_NE(g_log.pCOMLogFile, nullptr);
        g_log.com_log_active = logging;
        serial.writes.clear();
        console.out.clear();
        Click();
        EXPECT_EQ(serial.writes, boot ? Strings{"cr Sv\r"} : Strings{});
        EXPECT_EQ(console.out, "Opening COM15\n" + OpenedLines());  // the command is not echoed
        const std::string logged = logging ? OpenedLines() + "--------------------------\n\n" : "";
        Click();
        std::rewind(g_log.pCOMLogFile);
        char buf[256] = {};
        const std::size_t n = std::fread(buf, 1, sizeof buf - 1, g_log.pCOMLogFile);
        EXPECT_EQ(std::string(buf, n), logged);
        ComLogClose();
    }
}

TEST_F(PortTest, DirectOpeningAndClosing) {
    CloseComPort(page);  // closing nothing is harmless
    PortWriteText("cr Wo\r");
    g_port.com_port_number = 1;
    g_port.com_baudrate = 1200;
    OpenComPort(page);
    const platform::PortHandle first = g_port.port_handle;
    PortWriteText("cw Pt 12\r");
    PortWriteText("");
    PortWriteText(nullptr);
    g_port.com_port_number = 40;
    OpenComPort(page);  // a second opening closes the first handle
    EXPECT_NE(g_port.port_handle, first);
    CloseComPort(page);
    PortWriteText("cr Wo\r");
    EXPECT_EQ(serial.opened_paths, (Strings{"\\\\.\\COM1", "\\\\.\\COM40"}));
    EXPECT_EQ(serial.opened_baud, (std::vector<int32_t>{1200, 1200}));
    EXPECT_EQ(serial.closes, 2);
    EXPECT_EQ(ui.timer_log, (Strings{"start 1", "stop 1", "start 1", "stop 1"}));
    EXPECT_EQ(serial.writes, Strings{"cw Pt 12\r"});
}

TEST_F(PortTest, ClearReadoutsBeforeTheGeneratorPageExistsDoesNothing) {
    g_gen.Reset();
    ClearReadouts();
    EXPECT_TRUE(ui.set_texts.empty());
}

TEST_F(PortTest, ComAndBaudSelections) {
    struct Case {
        bool baud_combo;
        uint16_t code;  // 9: selection confirmed
        int selection;
        uint8_t number;
        int32_t baud;
        uint32_t timeout;
        const char* console;
    };
    const Case cases[] = {
        {false, 9, 0, 1, 57600, 7, "Selected COM 1\n"},
        {false, 9, 39, 40, 57600, 7, "Selected COM 40\n"},
        {false, 9, -1, 1, 57600, 7, "COM selection ERROR!\nSelected COM 1\n"},
        {true, 9, 3, 7, 9600, 15,
         "Selected baud rate: 9600 bps (cb_reply = 3)\nCOM_timeout_max:    15 * 10 ms\n"},
        {true, 9, 8, 7, 115200, 10,
         "Selected baud rate: 115200 bps (cb_reply = 8)\nCOM_timeout_max:    10 * 10 ms\n"},
        {true, 9, -1, 7, 1200, 50,
         "Baud rate selection ERROR!\nSelected baud rate: 1200 bps (cb_reply = 0)\n"
         "COM_timeout_max:    50 * 10 ms\n"},
        // Out of range or not confirmed: ignored.
        {false, 9, 40, 7, 57600, 7, ""},
        {false, 9, -2, 7, 57600, 7, ""},
        {false, 1, 3, 7, 57600, 7, ""},
        {true, 9, 9, 7, 57600, 7, ""},
        {true, 1, 2, 7, 57600, 7, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.baud_combo << " " << c.selection);
        g_port.com_port_number = 7;
        g_port.com_baudrate = 57600;
        g_port.COM_timeout_max = 7;
        console.out.clear();
        const platform::Wnd combo = c.baud_combo ? g_com.hWndBaudSelect : g_com.hWndComSelect;
        ui.controls[combo].selection = c.selection;
        if (c.baud_combo) {
            BaudSelect_process(platform::MakeWParam(1035, c.code), combo);
        } else {
            ComSelect_process(platform::MakeWParam(1034, c.code), combo);
        }
        EXPECT_EQ(g_port.com_port_number, c.number);
        EXPECT_EQ(g_port.com_baudrate, c.baud);
        EXPECT_EQ(g_port.COM_timeout_max, c.timeout);
        EXPECT_EQ(console.out, c.console);
    }
}

TEST_F(PortTest, PortNamedByDevicePath) {
    // No COM number is needed; the path takes its place in the console and the log.
    std::snprintf(g_port.com_device_path, sizeof g_port.com_device_path, "%s", "/dev/ttyUSB0");
    g_port.com_port_number = 0;
    serial.fail_open = true;
    Click();
    EXPECT_EQ(console.out, "Opening /dev/ttyUSB0\nError opening /dev/ttyUSB0\n");
    ASSERT_EQ(ui.boxes.size(), 1u);
    EXPECT_EQ(ui.boxes[0].text, "No COM Port available!");

    serial.fail_open = false;
    console.out.clear();
    fakes::StartScratchLog();
    Click();
    EXPECT_EQ(serial.opened_paths, (Strings{"/dev/ttyUSB0", "/dev/ttyUSB0"}));
    const std::string opened = "Com port open (handle 16)\n/dev/ttyUSB0, 38400 bps\n";
    EXPECT_EQ(console.out, "Opening /dev/ttyUSB0\n" + opened);
    EXPECT_EQ(fakes::ScratchLogBytes(), opened + "--------------------------\n\n");
    EXPECT_EQ(g_port.com_port_open, 1);
}

}  // namespace

namespace {

// A transfer that loses its port ends as a time-out does, before the port's own box.
TEST_F(PortTest, LostPortEndsARunningTransferWithItsTimeOut) {
    Click();
    g_boot.process_state_bootloader = 1;
    serial.fail_read = true;
    console.out.clear();
    ReceiveTimerProc(page);
    EXPECT_EQ(g_boot.process_state_bootloader, 0);
    ASSERT_EQ(ui.boxes.size(), 2u);
    EXPECT_EQ(ui.boxes[0].text, "AVR bootloader Timeout!");
    EXPECT_EQ(ui.boxes[1].text,
              "COM15 lost!\nThe port has been closed; click COM Start once it is back.");
    EXPECT_NE(console.out.find("Closing com port\nAVR bootloader Timeout! Line: 0\n"),
              std::string::npos)
        << console.out;
}

}  // namespace
