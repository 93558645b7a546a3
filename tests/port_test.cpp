#include "tests/fakes/test_env.h"

namespace {

using Texts = std::vector<std::pair<platform::Wnd, std::string>>;

// Both pages, the port closed: the program before COM Start.
class PortTest : public fakes::PageTest {
  protected:
    void SetUp() override {
        PageTest::SetUp();
        g_port = PortState{};
        serial = fakes::FakeSerial{};
    }
};

TEST_F(PortTest, StartOpensTheChosenPortAndStopClosesIt) {
    // Bootloader, log on, a device path instead of COM<n>; what is said and sent.
    const std::string lines = "Com port open (handle 16)\nCOM 15, 38400 bps\n";
    const std::tuple<uint8_t, uint8_t, const char*, std::string, std::string> cases[] = {
        {0, 1, "", lines, ""},
        {1, 0, "", lines, "cr Sv\r"},  // the bootloader is asked who it is; not echoed
        {0, 1, "/dev/ttyUSB0", "Com port open (handle 16)\n/dev/ttyUSB0, 38400 bps\n", ""},
    };
    for (const auto& [boot, logging, path, opened, wire] : cases) {
        SCOPED_TRACE(path + std::to_string(boot) + std::to_string(logging));
        SetUp();
        ui.timer_log.clear();
        system.fine_timer_calls.clear();
        g_dev.uCisBootloader = boot;
        std::snprintf(g_port.com_device_path, sizeof g_port.com_device_path, "%s", path);
        fakes::StartScratchLog();
        g_log.com_log_active = logging;
        // A read-back that was never answered, and state of an earlier opening.
        g_rx.flash_stream_mode = 1;
        g_flash.flash_stream_len = 34;
        g_rx.rx_idle_countdown = 7;
        g_autoread.autoread_step = 3;
        Click(1036, 1);  // only the click acts
        Click(1036, 5);
        EXPECT_EQ(console.out + serial.written, "");
        Click(1036);
        EXPECT_EQ(serial.opened_paths, Strings{*path ? path : "\\\\.\\COM15"});
        EXPECT_EQ(serial.opened_baud, std::vector<int32_t>{38400});
        EXPECT_EQ(console.out, std::string("Opening ") + (*path ? path : "COM15") + "\n" + opened);
        EXPECT_EQ(serial.written, wire);
        EXPECT_EQ(fakes::ScratchLogBytes(),
                  logging ? opened + "--------------------------\n\n" : "");
        EXPECT_EQ(std::make_tuple(g_port.com_port_open, g_rx.rx_idle_countdown,
                                  g_rx.flash_stream_mode, g_autoread.autoread_step),
                  std::make_tuple(1, 0u, 0, 0));
        EXPECT_TRUE(ui.boxes.empty());
        // The caption first, then the read-outs in order.
        Texts want{{g_link_ui.hWndComStartStop, "COM Stop"},
                   {g_gen.hWndFwVersion, "..."},
                   {g_gen.hWndHwVersion, "..."}};
        for (platform::Wnd w :
             {g_gen.hWndFreq, g_gen.hWndDuty, g_gen.hWndFmax, g_gen.hWndFmin, g_gen.hWndAntVpeak,
              g_gen.hWndAntIpeak, g_gen.hWndPcbTemp, g_gen.hWndVsupply, g_gen.hWndAntIavg,
              g_gen.hWndAntPavg, g_gen.hWndTempThresh})
            want.emplace_back(w, "-");
        EXPECT_EQ(ui.set_texts, want);
        const fakes::RunningTimer& rx = ui.timers[RECEIVE_TIMER_ID];
        EXPECT_TRUE(rx.wnd == page && rx.interval_ms == 10 && rx.proc == &ReceiveTimerProc);

        Click(1036);
        EXPECT_EQ(console.out, "Closing com port\n");
        EXPECT_EQ(serial.closes, 1);
        EXPECT_EQ(std::make_tuple(g_port.port_handle, g_port.com_port_open),
                  std::make_tuple(platform::PortHandle{}, uint8_t{0}));
        EXPECT_EQ(ui.Text(g_link_ui.hWndComStartStop), "COM Start");
        EXPECT_EQ(ui.timer_log, (Strings{"start 1", "stop 1"}));
        EXPECT_EQ(system.fine_timer_calls, (std::vector<bool>{true, false}));
    }
}

TEST_F(PortTest, FailedOpeningSaysWhyAndChangesNothingElse) {
    const std::string reason = "SetCommState: The parameter is incorrect. (error 87)";
    const std::string none = "Error|No COM Port available!|48";
    // COM number, device path, whether it opens (and refuses its configuration), what is said
    const std::tuple<uint8_t, const char*, bool, std::string, std::string> cases[] = {
        {3, "", false, "Opening COM3\nError opening COM3\n", none},
        {15, "", true, "Opening COM15\nError opening COM15: " + reason + "\n",
         "Error|COM15 cannot be set up:\n" + reason + "|16"},
    };
    for (const auto& [number, path, opens, lines, box] : cases) {
        SCOPED_TRACE(int{number});
        serial = fakes::FakeSerial{};
        serial.fail_open = !opens;
        serial.configure_error = opens ? reason : "";
        g_port.com_port_number = number;
        std::snprintf(g_port.com_device_path, sizeof g_port.com_device_path, "%s", path);
        g_rx.rx_idle_countdown = 4;
        Click(1036);
        EXPECT_EQ(console.out, lines);
        EXPECT_EQ(serial.opened_paths.size(), lines.empty() ? 0u : 1u);
        EXPECT_EQ(serial.closes, opens ? 1 : 0);  // a handle that was opened is closed again
        EXPECT_EQ(Boxes(), Strings{box});
        EXPECT_EQ(std::make_tuple(g_port.com_port_open, g_port.port_handle),
                  std::make_tuple(uint8_t{0}, platform::PortHandle{}));
        EXPECT_TRUE(ui.set_texts.empty());  // no caption change, no read-outs cleared
        EXPECT_TRUE(ui.timers.empty());
        EXPECT_EQ(g_rx.rx_idle_countdown, 4u);
    }
}

// A read that fails (adapter pulled) is told once; the port is closed as COM Stop would,
// before the box, whose message loop runs the timers. A transfer ends with its time-out.
TEST_F(PortTest, LostPortIsToldOnceAndClosedAndCanBeStartedAgain) {
    for (uint8_t transfer : {0, 1}) {
        SCOPED_TRACE(int{transfer});
        SetUp();
        ui.timer_log.clear();
        g_port.reconnect_enabled = 0;  // the watch for its return: below
        Click(1036);
        g_port.com_port_number = 3;  // chosen while open: the lost port is still COM15
        g_autoread.autoread_on = 1;
        g_boot.process_state_bootloader = transfer;
        serial.fail_read = true;
        ui.on_box = [this] {
            for (int i = 0; i < 100; ++i) {
                ReceiveTimerProc(page);
                AutoReadTimerProc(page);
            }
        };
        Forget();
        ReceiveTimerProc(page);
        ReceiveTimerProc(page);  // a tick already queued when the port was closed
        const std::string note = "\r\nWIN info: COM15 lost (reading failed), port closed\r\n";
        EXPECT_EQ(console.out, note + "Closing com port\n" +
                                   (transfer ? "AVR bootloader Timeout! Line: 0\n" : ""));
        EXPECT_EQ(ui.Text(g_link_ui.hWndComText), note);
        Strings boxes = {
            "Error|COM15 lost!\nThe port has been closed; click COM Start once it "
            "is back.|16"};
        if (transfer) boxes.insert(boxes.begin(), "Error|AVR bootloader Timeout!|16");
        EXPECT_EQ(Boxes(), boxes);
        EXPECT_EQ(ui.set_texts, (Texts{{g_link_ui.hWndComStartStop, "COM Start"}}));
        EXPECT_EQ(std::make_tuple(serial.reads, serial.closes, g_port.com_port_open,
                                  g_boot.process_state_bootloader),
                  std::make_tuple(1, 1, uint8_t{0}, uint8_t{0}));
        EXPECT_EQ(serial.written, "");
        EXPECT_EQ(ui.timer_log, (Strings{"start 1", "stop 1"}));

        serial.fail_read = false;
        Click(1036);
        EXPECT_EQ(g_port.com_port_open, 1);
        ReceiveTimerProc(page);
        EXPECT_TRUE(ui.boxes.empty());
    }
}

// With the option on, the lost port is tried quietly every second and, once it opens, goes on
// as COM Start would; the log marks the gap. A transfer it ended stays ended.
TEST_F(PortTest, ALostPortIsReopenedWhenItComesBack) {
    fakes::StartScratchLog();
    Click(1036);
    g_autoread.autoread_on = 1;
    g_boot.process_state_bootloader = 1;
    serial.fail_read = true;
    ReceiveTimerProc(page);
    EXPECT_EQ(Boxes(), (Strings{"Error|AVR bootloader Timeout!|16",
                                "Error|COM15 lost!\nThe port has been closed; it is opened again "
                                "once it is back.|16"}));
    EXPECT_EQ(ui.timer_log, (Strings{"start 1", "stop 1", "start 4"}));

    Forget();
    ui.timer_log.clear();
    const std::string lost = ui.Text(g_link_ui.hWndComText);
    serial.fail_open = true;
    for (int i = 0; i < 3; ++i) ReconnectTimerProc(page);
    EXPECT_EQ(serial.opened_paths.size(), 4u);  // COM Start, then three quiet tries
    EXPECT_EQ(console.out + ui.Text(g_link_ui.hWndComText), lost);
    EXPECT_TRUE(ui.boxes.empty());

    serial.fail_open = serial.fail_read = false;
    system.now.second += 3;
    ReconnectTimerProc(page);
    const std::string back = "\r\nWIN info: COM15 back, reopened at 14:07:12\r\n";
    EXPECT_EQ(console.out, "Opening COM15\nCom port open (handle 96)\nCOM 15, 38400 bps\n" + back);
    EXPECT_EQ(ui.Text(g_link_ui.hWndComText), lost + back);
    EXPECT_EQ(ui.Text(g_link_ui.hWndComStartStop), "COM Stop");
    EXPECT_EQ(g_port.com_port_open, 1);
    EXPECT_NE(fakes::ScratchLogBytes().find(
                  "Port lost at 14:07:09, back at 14:07:12: 3 s without the port\n"),
              std::string::npos);
    EXPECT_EQ(ui.timer_log, (Strings{"start 1", "stop 4"}));  // the receive timer, then the watch
    EXPECT_EQ(std::make_tuple(g_autoread.autoread_on, g_boot.process_state_bootloader),
              std::make_tuple(uint8_t{1}, uint8_t{0}));
    EXPECT_EQ(serial.written, "");
    ReconnectTimerProc(page);
    EXPECT_EQ(serial.opened_paths.size(), 6u);  // the watch is over

    // Another port chosen, or the option turned off, ends the watch; so does COM Start.
    for (int how = 0; how < 3; ++how) {
        if (g_port.com_port_open == 0) Click(1036);
        serial.fail_read = true;
        ReceiveTimerProc(page);
        serial.fail_read = false;
        ASSERT_EQ(g_port.reconnect_watch, 1);
        if (how == 0) Click(1034, platform::kCbnSelEndOk);
        if (how == 1) MainWindowCommand(page, IDM_RECONNECT);
        if (how == 2) Click(1036);
        EXPECT_EQ(g_port.reconnect_watch, 0) << how;
        EXPECT_EQ(ui.timer_log.back(), how == 2 ? "start 1" : "stop 4");
        if (how == 1) MainWindowCommand(page, IDM_RECONNECT);  // on again
    }
}

TEST_F(PortTest, ComAndBaudSelections) {
    // Id, notification (9: selection confirmed), selection, then COM, baud rate and time-out
    const std::tuple<uint16_t, uint16_t, int, uint8_t, int32_t, uint32_t, const char*> cases[] = {
        {1034, 9, 0, 1, 57600, 7, "Selected COM 1\n"},
        {1034, 9, 39, 40, 57600, 7, "Selected COM 40\n"},
        {1034, 9, -1, 1, 57600, 7, "COM selection ERROR!\nSelected COM 1\n"},
        {1035, 9, 3, 7, 9600, 15,
         "Selected baud rate: 9600 bps (cb_reply = 3)\nCOM_timeout_max:    15 * 10 ms\n"},
        {1035, 9, 0, 7, 1200, 50, nullptr},
        {1035, 9, 1, 7, 2400, 30, nullptr},
        {1035, 9, 2, 7, 4800, 20, nullptr},
        {1035, 9, 4, 7, 14400, 10, nullptr},
        {1035, 9, 5, 7, 19200, 10, nullptr},
        {1035, 9, 6, 7, 38400, 10, nullptr},
        {1035, 9, 7, 7, 57600, 10, nullptr},
        {1035, 9, 8, 7, 115200, 10, nullptr},
        {1035, 9, -1, 7, 1200, 50,
         "Baud rate selection ERROR!\nSelected baud rate: 1200 bps (cb_reply = 0)\n"
         "COM_timeout_max:    50 * 10 ms\n"},
        // Out of range or not confirmed: ignored.
        {1034, 9, 40, 7, 57600, 7, ""},
        {1034, 9, -2, 7, 57600, 7, ""},
        {1034, 1, 3, 7, 57600, 7, ""},
        {1035, 9, 9, 7, 57600, 7, ""},
        {1035, 1, 2, 7, 57600, 7, ""},
    };
    for (const auto& [id, code, selection, number, baud, timeout, said] : cases) {
        SCOPED_TRACE(testing::Message() << id << " " << selection);
        g_port.com_port_number = 7;
        g_port.com_baudrate = 57600;
        g_port.COM_timeout_max = 7;
        ui.controls[id == 1035 ? g_link_ui.hWndBaudSelect : g_link_ui.hWndComSelect].selection =
            selection;
        Click(id, code);
        EXPECT_EQ(
            std::make_tuple(g_port.com_port_number, g_port.com_baudrate, g_port.COM_timeout_max),
            std::make_tuple(number, baud, timeout));
        if (said != nullptr) {
            EXPECT_EQ(console.out, said);
        }
    }
}

}  // namespace
