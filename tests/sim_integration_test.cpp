// The program's core against the simulated generator, its three timers run as Windows runs
// them: the port, the receive pump, the parser, the AutoRead sequencer and the generator
// buttons, on the page's fields.
#include <memory>

#include "sim/host_bench.h"
#include "sim/sim_port.h"
#include "tests/fakes/test_env.h"
#include "tests/fakes/timer_clock.h"

namespace {

using sim::kSecond;

// Baud row and timer resolution (0: exactly on time, as under Wine; or Windows' default
// clock of 15.625 ms).
class SimIntegrationTest : public fakes::CoreTest,
                           public testing::WithParamInterface<std::tuple<int, int64_t>> {
  protected:
    // The device's clock follows the timers' from where it stood when they started.
    void CatchUp(int64_t us) { dev.AdvanceTo(origin + us * sim::kMicro); }
    void Run(sim::Nanos t) {
        clock.RunFor(t / sim::kMicro);
        CatchUp(clock.now_us());
    }

    const int row = std::get<0>(GetParam());
    sim::Device dev{[this] {
        sim::Scenario s;
        s.baudrate = baudrate_table[row];
        return s;
    }()};
    sim::SimSerialPort port{dev};
    sim::Nanos origin = 0;
    fakes::TimerClock clock{std::get<1>(GetParam())};
    std::vector<int64_t> read_times_us;  // clock time of every AutoRead read
};

// Replies are told apart only by the pause after them. Below 14400 bps a reply lasts longer
// than the 150 ms between the start-up reads: each read waits for the reply before it.
TEST_P(SimIntegrationTest, EveryStartupAndMeasurementReplyIsParsedOnItsOwn) {
    platform::SetEnv(platform::Env{&ui, &port, &system, &console});
    CreateComPageControls(page);
    CreateGeneratorPage(page);
    ui.controls[g_link_ui.hWndBaudSelect].selection = row;
    Command(1035, platform::kCbnSelEndOk);
    for (const auto& [ms, proc] : {std::pair{10u, &ReceiveTimerProc}, {20u, &RegLinePollTimerProc}})
        clock.Add(ms, [this, proc = proc](int64_t us) {
            CatchUp(us);
            proc(page);
        });
    clock.Add(25, [this](int64_t us) {
        CatchUp(us);
        const std::size_t before = port.writes().size();
        AutoReadTimerProc(page);
        if (port.writes().size() > before) read_times_us.push_back(us);
    });
    // The opposite of the captions the page starts with, so every caption must change.
    sim::HostBench terminal(dev);
    for (const char* cmd : {"cw Wo0\r", "cw Wc1\r", "cw WwA5\r"}) terminal.Exchange(cmd);
    origin = dev.now();
    Command(1036);
    ASSERT_EQ(port.baudrate(), baudrate_table[row]);
    Run(10 * kSecond);
    EXPECT_EQ(port.writes(), (Strings{"cr Wo\r", "cr Sv\r", "cr Wc\r", "cr Ww\r"}));
    EXPECT_EQ(ui.Text(g_gen.hWndPwmOnOff) + "|" + ui.Text(g_gen.hWndCtlOnOff) + "|" +
                  ui.Text(g_gen.hWndSearchAlways) + "|" + ui.Text(g_com.hWndStatusRight),
              "PWM ON|CTL OFF|AS alw. OFF|Reading: auto search");
    EXPECT_EQ(ui.Text(g_gen.hWndHwVersion), sim::kHardwareText);
    EXPECT_EQ(ui.Text(g_gen.hWndFwVersion).substr(0, 20), sim::kFirmwareText);
    if (row >= 5 && std::get<1>(GetParam()) == 0) {
        // Where 150 ms is enough, the reads go out as they always have. (At 14400 bps the
        // identification's last byte comes 43 ms after its read: with the pause of 110 ms
        // after it, 150 ms is a tick too short, and the read after it waits one tick.)
        EXPECT_EQ(read_times_us, (std::vector<int64_t>{150000, 300000, 450000, 600000}));
    }

    Command(1094);
    Run(10 * kSecond);
    EXPECT_EQ(Strings(port.writes().begin() + 4, port.writes().end()),
              (Strings{"cr Wi\r", "cr Wt\r", "cr Wu\r", "cr Pi\r"}));
    // Each measurement field shows the value after its key in what the device last said,
    // scanned and shown as the page does.
    const std::tuple<const char*, platform::Wnd GenPageHandles::*, const char*, const char*,
                     const char*>
        fields[] = {
            {"Wi", &GenPageHandles::hWndAntVpeak, "VOLT: ", "%*s %f", "%.2fVp"},
            {"Wi", &GenPageHandles::hWndAntIpeak, "VOLT: ", "%*s %*f %*s %*s %f", "%.2fAp"},
            {"Wt", &GenPageHandles::hWndPcbTemp, "TMP10", "%*s %*s %f", "%.1f\260C"},
            {"Wu", &GenPageHandles::hWndVsupply, "VINF:", "%*s %f", "%.2fV"},
            {"Pi", &GenPageHandles::hWndAntIavg, "ADC2, IANT", "%*s %*s %f", "%.3fA"},
            {"Pi", &GenPageHandles::hWndAntPavg, "Power: ", "%*s %f", "%.2fW"},
        };
    for (const auto& [reg, field, key, scan, shown] : fields) {
        const std::string reply = dev.LastReply(reg);
        float v = -999;
        if (reply.find(key) != std::string::npos) std::sscanf(&reply[reply.find(key)], scan, &v);
        char want[64];
        std::snprintf(want, sizeof want, shown, static_cast<double>(v));
        EXPECT_EQ(ui.Text(g_gen.*field), want) << key;
    }
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

}  // namespace
