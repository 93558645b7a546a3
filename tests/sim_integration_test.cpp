// The program's core against the simulated generator, its three timers run as Windows runs
// them: the port, the receive pump, the parser, the AutoRead sequencer and the generator
// buttons, on the page's fields.

#include <memory>

#include "sim/host_bench.h"
#include "sim/sim_port.h"
#include "tests/fakes/test_env.h"
#include "tests/fakes/timer_clock.h"

namespace {

using platform::Wnd;
using sim::kSecond;
using Strings = std::vector<std::string>;

// Baud row and timer resolution (0: exactly on time, as under Wine; or Windows' default
// clock of 15.625 ms).
class SimIntegrationTest : public fakes::CoreTest,
                           public testing::WithParamInterface<std::tuple<int, int64_t>> {
  protected:
    // A device at the row's rate, the port chosen at that rate, the three timers running.
    void Start(int row = 6, int64_t resolution_us = 0) {
        sim::Scenario s;
        s.baudrate = baudrate_table[row];
        dev_ = std::make_unique<sim::Device>(s);
        port_ = std::make_unique<sim::SimSerialPort>(*dev_);
        platform::SetEnv(platform::Env{&ui, port_.get(), &system, &console});
        CreateComPageControls(page);
        CreateGeneratorPage(page);
        ui.controls[g_com.hWndBaudSelect].selection = row;
        Command(1035, platform::kCbnSelEndOk);
        resolution_us_ = resolution_us;
    }
    // Lets t pass on the three timers; the first call starts them, and the device's clock
    // from where it stands.
    void Run(sim::Nanos t) {
        if (!clock_) {
            origin_ = dev_->now();
            clock_ = std::make_unique<fakes::TimerClock>(resolution_us_);
            for (const auto& [ms, proc] :
                 {std::pair{10u, &ReceiveTimerProc}, {20u, &RegLinePollTimerProc}}) {
                clock_->Add(ms, [this, proc = proc](int64_t us) {
                    CatchUp(us);
                    proc(page);
                });
            }
            clock_->Add(25, [this](int64_t us) {
                CatchUp(us);
                const std::size_t before = port_->writes().size();
                AutoReadTimerProc(page);
                if (port_->writes().size() > before) read_times_us_.push_back(us);
            });
        }
        clock_->RunFor(t / sim::kMicro);
        CatchUp(clock_->now_us());
    }
    void CatchUp(int64_t us) { dev_->AdvanceTo(origin_ + us * sim::kMicro); }
    Strings WritesFrom(std::size_t from) {
        return {port_->writes().begin() + static_cast<std::ptrdiff_t>(from), port_->writes().end()};
    }
    // Each measurement field shows what the device last said, in the page's own format.
    void ExpectFieldsShowTheLastReplies() {
        for (const auto& f : fakes::kMeasurementFields)
            EXPECT_EQ(ui.Text(g_gen.*f.field), fakes::Shown(f, dev_->LastReply(f.reg))) << f.key;
    }

    std::unique_ptr<sim::Device> dev_;
    std::unique_ptr<sim::SimSerialPort> port_;
    std::unique_ptr<fakes::TimerClock> clock_;
    int64_t resolution_us_ = 0;
    sim::Nanos origin_ = 0;
    std::vector<int64_t> read_times_us_;  // clock time of every AutoRead read
};

// Replies are told apart only by the pause after them. Below 14400 bps a reply lasts longer
// than the 150 ms between the start-up reads: each read waits for the reply before it.
TEST_P(SimIntegrationTest, EveryStartupAndMeasurementReplyIsParsedOnItsOwn) {
    const auto [row, resolution] = GetParam();
    Start(row, resolution);
    // The opposite of the captions the page starts with, so every caption must change.
    sim::HostBench terminal(*dev_);
    for (const char* cmd : {"cw Wo0\r", "cw Wc1\r", "cw WwA5\r"}) terminal.Exchange(cmd);
    Command(1036);
    ASSERT_EQ(port_->baudrate(), baudrate_table[row]);
    Run(10 * kSecond);
    EXPECT_EQ(port_->writes(), (Strings{"cr Wo\r", "cr Sv\r", "cr Wc\r", "cr Ww\r"}));
    EXPECT_EQ(ui.Text(g_gen.hWndPwmOnOff) + "|" + ui.Text(g_gen.hWndCtlOnOff) + "|" +
                  ui.Text(g_gen.hWndSearchAlways) + "|" + ui.Text(g_com.hWndStatusRight),
              "PWM ON|CTL OFF|AS alw. OFF|Reading: auto search");
    EXPECT_EQ(ui.Text(g_gen.hWndHwVersion), sim::kHardwareText);
    EXPECT_EQ(ui.Text(g_gen.hWndFwVersion).substr(0, 20), sim::kFirmwareText);
    if (row >= 5 && resolution == 0) {
        // Where 150 ms is enough, the reads go out as they always have. (At 14400 bps the
        // identification's last byte comes 43 ms after its read: with the pause of 110 ms
        // after it, 150 ms is a tick too short, and the read after it waits one tick.)
        EXPECT_EQ(read_times_us_, (std::vector<int64_t>{150000, 300000, 450000, 600000}));
    }

    Command(1094);
    Run(10 * kSecond);
    EXPECT_EQ(WritesFrom(4), (Strings{"cr Wi\r", "cr Wt\r", "cr Wu\r", "cr Pi\r"}));
    ExpectFieldsShowTheLastReplies();
}

std::string RateName(const testing::TestParamInfo<std::tuple<int, int64_t>>& info) {
    return std::to_string(baudrate_table[std::get<0>(info.param)]) + "bps_" +
           (std::get<1>(info.param) == 0 ? "exact" : "15_625ms");
}
INSTANTIATE_TEST_SUITE_P(BaudRatesAndClocks, SimIntegrationTest,
                         testing::Combine(testing::Range(0, kBaudRows),
                                          testing::Values(int64_t{0},
                                                          fakes::TimerClock::kWindowsDefaultUs)),
                         RateName);

// The read-back takes every byte that arrives as flash: AutoRead keeps its reads back until
// the stream has been dumped, then goes on.
class SimReadBackTest : public SimIntegrationTest {};

TEST_P(SimReadBackTest, FlashReadBackDuringAutoReadHoldsOnlyFlash) {
    const auto [row, resolution] = GetParam();
    Start(row, resolution);
    Command(1036);
    Command(1095);
    Run(5 * kSecond);
    ASSERT_GT(port_->writes().size(), 5u);
    const std::size_t before = port_->writes().size();
    ui.SetControlText(g_com.hWndRegEdit, "Mr");
    Command(1039);
    ASSERT_EQ(port_->writes().size(), before + 1);
    // Reads sent before the dump: a wrapper around it counts them.
    static const sim::SimSerialPort* port;
    static std::size_t reads_at_dump;
    port = port_.get();
    reads_at_dump = 0;
    g_rx_consumers.flash_dump = [] {
        reads_at_dump = port->writes().size();
        FlashDump();
    };
    Run(15 * kSecond);
    g_rx_consumers = RxConsumers::Defaults();
    EXPECT_EQ(reads_at_dump, before + 1) << "reads went out into the stream";
    ASSERT_NE(console.out.find("\r\nRead 32768 / 0x8000 bytes from device\r\n"), std::string::npos);
    const std::vector<uint8_t>& flash = dev_->flash().bytes();
    ASSERT_EQ(flash.size(), 32768u);
    EXPECT_TRUE(std::equal(flash.begin(), flash.end(), g_flash.flash_stream_buf));
    Run(3 * kSecond);
    EXPECT_GE(port_->writes().size(), before + 3);  // AutoRead goes on
    Command(1095);
    Run(2 * kSecond);
    ExpectFieldsShowTheLastReplies();
}

INSTANTIATE_TEST_SUITE_P(FastRatesAndClocks, SimReadBackTest,
                         testing::Combine(testing::Values(6, 8),
                                          testing::Values(int64_t{0},
                                                          fakes::TimerClock::kWindowsDefaultUs)),
                         RateName);

}  // namespace
