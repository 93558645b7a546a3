#include "tests/fakes/test_env.h"
#include "tests/fakes/timer_clock.h"

namespace {

// "tick command|status" of one read; tick 1 is the first tick of a run.
const auto Read = [](int tick, const std::string& command, const std::string& status) {
    return std::to_string(tick) + " " + command + "|" + status;
};

// The start-up reads go 150 ms (6 of the sequencer's ticks) apart.
Strings Startup(int first) {
    return {Read(first, "cr Wo\r", "Reading: PWM on/off"),
            Read(first + 6, "cr Sv\r", "Reading: HW version"),
            Read(first + 12, "cr Wc\r", "Reading: PWM Ctl"),
            Read(first + 18, "cr Ww\r", "Reading: auto search")};
}

Strings Measurements(int first, int apart) {
    return {Read(first, "cr Wi\r", "Reading: ant. V/I"),
            Read(first + apart, "cr Wt\r", "Reading: temperature"),
            Read(first + 2 * apart, "cr Wu\r", "Reading: VIN"),
            Read(first + 3 * apart, "cr Pi\r", "Reading: ant. I / P")};
}

class AutoReadTest : public fakes::CoreTest {
  protected:
    void SetUp() override {
        CoreTest::SetUp();
        g_com.hWndStatusRight = ui.NewWindow("status right");
        g_port.port_handle = serial.Open("\\\\.\\COM15");
        g_port.com_port_open = 1;
        std::strcpy(g_port.open_port_name, "COM15");
        // The receive pump runs beside the sequencer, as the port's timer does.
        clock.Add(10, [this](int64_t) { ReceiveTimerProc(nullptr); });
        clock.Add(25, [this](int64_t) { AutoReadTick(); });
    }
    // Runs the sequencer for n of its ticks and lists what went out on which tick, with the
    // status line that the tick left.
    Strings Run(int n) {
        sent.clear();
        first_tick = ticks + 1;
        clock.RunFor(int64_t{n} * 25000);
        return sent;
    }
    void AutoReadTick() {
        ++ticks;
        const std::size_t writes = serial.writes.size();
        ui.controls[g_com.hWndStatusRight].text = "-";
        AutoReadTimerProc(nullptr);
        for (std::size_t i = writes; i < serial.writes.size(); ++i) {
            sent.push_back(
                Read(ticks - first_tick + 1, serial.writes[i], ui.Text(g_com.hWndStatusRight)));
        }
        EXPECT_TRUE(serial.writes.size() > writes || ui.Text(g_com.hWndStatusRight) == "-")
            << "status changed without a read on tick " << ticks;
    }

    fakes::TimerClock clock{0};
    int ticks = 0, first_tick = 1;
    Strings sent;
};

// With AutoRead off, the start-up reads are all; the first waits for the interval in force.
TEST_F(AutoReadTest, StartupReadsThenSilence) {
    const std::tuple<uint8_t, uint8_t, int> cases[] = {
        // interval, ticks counted, first read
        {5, 0, 6},                  // fresh start
        {5, 3, 3},                  // ticks 3, 4, 5 of the count
        {40, 0, 41},                // reopened during the idle measurement cycle
        {40, 17, 24},               // 17..40
        {40, 40, 1},  {5, 100, 1},  // left by the measurement Read button
    };
    for (const auto& [interval, tick_left, first_tick] : cases) {
        SCOPED_TRACE(testing::Message() << int{interval} << "/" << int{tick_left});
        console.out.clear();
        g_autoread = {0, tick_left, interval, 0, 0};  // step, tick, interval, on, read once
        EXPECT_EQ(Run(2000), Startup(first_tick));
        EXPECT_EQ(console.out, "cr Wo\r\ncr Sv\r\ncr Wc\r\ncr Ww\r\n");
        EXPECT_EQ(g_autoread.autoread_interval, 40);
    }
}

TEST_F(AutoReadTest, AutoReadOnReadsOneMeasurementPerSecond) {
    g_autoread.autoread_on = 1;
    Strings want = Startup(6);
    for (int round = 0; round < 3; ++round) {
        const Strings cycle = Measurements(30 + round * 164, 41);
        want.insert(want.end(), cycle.begin(), cycle.end());
    }
    EXPECT_EQ(Run(30 + 3 * 164 - 1), want);
}

TEST_F(AutoReadTest, MeasurementReadButtonReadsOnceThenFallsBack) {
    Run(200);  // start-up reads done, idle cycle at interval 40
    console.out.clear();
    g_autoread.autoread_tick = 20;
    button_Measure_Read_process(nullptr, platform::MakeWParam(1094, platform::kBnClicked), nullptr);
    EXPECT_EQ(Run(2000), Measurements(1, 6));
    EXPECT_EQ(console.out, "cr Wi\r\ncr Wt\r\ncr Wu\r\ncr Pi\r\n");
    EXPECT_EQ(g_autoread.autoread_read_once, 0);
    EXPECT_EQ(g_autoread.autoread_interval, 40);
}

TEST_F(AutoReadTest, FrozenWhilePortClosedOrBootloaderRuns) {
    const std::pair<uint8_t, uint8_t> cases[] = {{0, 0}, {1, 1}, {0, 1}};  // port open, boot
    for (const auto& [port_open, bootloader] : cases) {
        SCOPED_TRACE(testing::Message() << int{port_open} << int{bootloader});
        g_port.com_port_open = port_open;
        g_dev.uCisBootloader = bootloader;
        g_autoread = {0, 3, 5, 1, 0};  // step, tick, interval, on, read once
        EXPECT_EQ(Run(500), Strings{});
        EXPECT_EQ(g_autoread.autoread_tick, 3);
        EXPECT_EQ(g_autoread.autoread_step, 0);
        EXPECT_EQ(console.out, "");
    }
    // Thawed, the sequencer goes on where it stood.
    g_port.com_port_open = 1;
    g_dev.uCisBootloader = 0;
    EXPECT_EQ(Run(3), Strings{Read(3, "cr Wo\r", "Reading: PWM on/off")});
}

// Bytes that arrive while a read-back is collected are taken as flash: no read goes out
// until the stream has been dumped. A read the port did not take is tried again.
TEST_F(AutoReadTest, HoldsBackWhileAFlashStreamIsCollectedAndRetriesAFailedRead) {
    g_autoread.autoread_on = 1;
    Run(200);  // start-up reads done
    g_rx.flash_stream_mode = 1;
    EXPECT_EQ(Run(2000), Strings{});
    EXPECT_EQ(g_autoread.autoread_tick, g_autoread.autoread_interval);  // due, not wrapped
    g_rx.flash_stream_mode = 0;
    const Strings resumed = Run(1);
    ASSERT_EQ(resumed.size(), 1u);

    const Strings cycle = {"cr Wi\r", "cr Wt\r", "cr Wu\r", "cr Pi\r"};
    const auto last = std::find(cycle.begin(), cycle.end(), serial.writes.back());
    ASSERT_NE(last, cycle.end());
    const std::string next = cycle[static_cast<std::size_t>(last - cycle.begin() + 1) % 4];
    serial.fail_write = true;
    serial.write_calls = 0;
    console.out.clear();
    EXPECT_EQ(Run(82), Strings{});  // two attempts, 41 ticks apart
    EXPECT_EQ(serial.write_calls, 2);
    const std::string failed = "Error: writing to COM15 failed, 0 of 6 bytes sent!\n";
    EXPECT_EQ(console.out, failed + failed);
    serial.fail_write = false;
    Run(41);
    EXPECT_EQ(serial.writes.back(), next);  // the read that failed, not the one after it
}

}  // namespace
