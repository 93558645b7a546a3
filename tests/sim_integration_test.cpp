// The program's core against the simulated generator: the port, the receive pump, the
// parser, the AutoRead sequencer and the generator buttons, on the page's fields.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "app/com_page.h"
#include "boot/flash_dump.h"
#include "generator/autoread.h"
#include "generator/gen_commands.h"
#include "generator/gen_page.h"
#include "generator/reply_parser.h"
#include "platform/env.h"
#include "serial/port.h"
#include "serial/receive_pump.h"
#include "serial/reg_console.h"
#include "sim/host_bench.h"
#include "sim/sim_port.h"
#include "tests/fakes/test_env.h"
#include "tests/fakes/timer_clock.h"

namespace {

using platform::MakeWParam;
using platform::Wnd;
using sim::kMilli;
using sim::kSecond;
using Handler = void (*)(Wnd, uint32_t, Wnd);

const std::vector<std::string> kMeasureCycle = {"cr Wi\r", "cr Wt\r", "cr Wu\r", "cr Pi\r"};

std::string Format(const char* fmt, double v) {
    char buf[64];
    std::snprintf(buf, sizeof buf, fmt, v);
    return buf;
}

// The value after key in the device's own text, read as the program's table reads it.
float Scanned(const std::string& reply, const char* key, const char* fmt) {
    const std::size_t at = reply.find(key);
    float v = -999;
    if (at != std::string::npos) std::sscanf(reply.c_str() + at, fmt, &v);
    return v;
}

class SimIntegrationTest : public fakes::CoreTest {
  protected:
    void Start(int32_t baud = 38400, sim::Firmware firmware = sim::Firmware::kApplication) {
        sim::Scenario s;
        s.baudrate = baud;
        s.firmware = firmware;
        dev_ = std::make_unique<sim::Device>(s);
        port_ = std::make_unique<sim::SimSerialPort>(*dev_);
        platform::SetEnv(platform::Env{&ui, port_.get(), &system, &console});
        page_ = ui.NewWindow("page");
        CreateComPageControls(page_);
        CreateGeneratorPage(page_);
    }
    // One step of a 5 ms clock: receive every 10 ms, line poll every 20 ms, AutoRead every
    // 25 ms, as the program's three timers run.
    void Step() {
        port_->Advance(5 * kMilli);
        ++steps_;
        if (steps_ % 2 == 0) ReceiveTimerProc(page_);
        if (steps_ % 4 == 0) RegLinePollTimerProc(page_);
        if (steps_ % 5 == 0) AutoReadTimerProc(page_);
    }
    void Run(sim::Nanos t) {
        for (sim::Nanos i = 0; i < t; i += 5 * kMilli) Step();
    }
    void Click(Handler handler, uint16_t id, Wnd control) {
        handler(page_, MakeWParam(id, platform::kBnClicked), control);
    }
    // Clicks and lets the command and its reply cross the line.
    void Press(Handler handler, uint16_t id, Wnd control) {
        Click(handler, id, control);
        Run(400 * kMilli);
    }
    void ComStart() { Click(button_COM_StartStop_process, 1036, g_com.hWndComStartStop); }
    std::string Text(Wnd w) { return ui.Text(w); }
    std::vector<std::string> WritesFrom(std::size_t from) {
        return {port_->writes().begin() + static_cast<std::ptrdiff_t>(from), port_->writes().end()};
    }
    // Each measurement field shows what the device last said, in the page's own format.
    void ExpectFieldsShowTheLastReplies() {
        const struct {
            Wnd field;
            const char *shown, *reg, *key, *scan;
        } fields[] = {
            {g_gen.hWndAntVpeak, "%.2fVp", "Wi", "VOLT: ", "%*s %f"},
            {g_gen.hWndAntIpeak, "%.2fAp", "Wi", "VOLT: ", "%*s %*f %*s %*s %f"},
            {g_gen.hWndPcbTemp, "%.1f\260C", "Wt", "TMP10", "%*s %*s %f"},
            {g_gen.hWndVsupply, "%.2fV", "Wu", "VINF:", "%*s %f"},
            {g_gen.hWndAntIavg, "%.3fA", "Pi", "ADC2, IANT", "%*s %*s %f"},
            {g_gen.hWndAntPavg, "%.2fW", "Pi", "Power: ", "%*s %f"},
        };
        for (const auto& f : fields) {
            const float v = Scanned(dev_->LastReply(f.reg), f.key, f.scan);
            EXPECT_EQ(Text(f.field), Format(f.shown, v)) << f.key;
        }
    }

    // From now on the three timers run on a clock of the given resolution (0: exactly on
    // time), the device in step with it; RunClock(t) lets t pass.
    void StartClock(int64_t resolution_us) {
        clock_ = std::make_unique<fakes::TimerClock>(resolution_us);
        clock_origin_ = dev_->now();
        clock_->Add(10, [this](int64_t us) {
            CatchUp(us);
            ReceiveTimerProc(page_);
        });
        clock_->Add(20, [this](int64_t us) {
            CatchUp(us);
            RegLinePollTimerProc(page_);
        });
        clock_->Add(25, [this](int64_t us) {
            CatchUp(us);
            const std::size_t before = port_->writes().size();
            AutoReadTimerProc(page_);
            if (port_->writes().size() > before) read_times_us_.push_back(us);
        });
    }
    void CatchUp(int64_t us) { dev_->AdvanceTo(clock_origin_ + us * sim::kMicro); }
    void RunClock(sim::Nanos t) {
        clock_->RunFor(t / sim::kMicro);
        CatchUp(clock_->now_us());
    }
    void SelectBaud(int row) {
        ui.controls[g_com.hWndBaudSelect].selection = row;
        BaudSelect_process(MakeWParam(1035, platform::kCbnSelEndOk), g_com.hWndBaudSelect);
    }

    std::unique_ptr<sim::Device> dev_;
    std::unique_ptr<sim::SimSerialPort> port_;
    Wnd page_ = nullptr;
    uint64_t steps_ = 0;
    std::unique_ptr<fakes::TimerClock> clock_;
    sim::Nanos clock_origin_ = 0;
    std::vector<int64_t> read_times_us_;  // clock time of every AutoRead read
};

TEST_F(SimIntegrationTest, StartupReadsFillTheIdentityAndTheToggles) {
    Start();
    // The opposite of the captions the page starts with, so every caption must change.
    sim::HostBench terminal(*dev_);
    for (const char* cmd : {"cw Wo0\r", "cw Wc1\r", "cw WwA5\r"}) terminal.Exchange(cmd);
    ComStart();
    ASSERT_TRUE(port_->is_open());
    EXPECT_EQ(port_->baudrate(), 38400);
    EXPECT_EQ(Text(g_com.hWndComStartStop), "COM Stop");
    Run(2 * kSecond);
    EXPECT_EQ(port_->writes(),
              (std::vector<std::string>{"cr Wo\r", "cr Sv\r", "cr Wc\r", "cr Ww\r"}));
    EXPECT_EQ(Text(g_gen.hWndHwVersion), sim::kHardwareText);
    EXPECT_EQ(Text(g_gen.hWndFwVersion).substr(0, 20), sim::kFirmwareText);
    EXPECT_EQ(Text(g_gen.hWndPwmOnOff), "PWM ON");
    EXPECT_EQ(Text(g_gen.hWndCtlOnOff), "CTL OFF");
    EXPECT_EQ(Text(g_gen.hWndSearchAlways), "AS alw. OFF");
    EXPECT_EQ(g_dev.pwm_on, 0);
    EXPECT_EQ(g_dev.pwm_ctl_on, 1);
    EXPECT_EQ(g_dev.search_always_on, 1);
    EXPECT_EQ(g_dev.uCisBootloader, 0);
    EXPECT_EQ(Text(g_com.hWndStatusRight), "Reading: auto search");
    EXPECT_NE(Text(g_com.hWndComText).find("PWM_active = 0"), std::string::npos);
    // With AutoRead off nothing more is asked for the rest of the minute.
    Run(58 * kSecond);
    EXPECT_EQ(port_->writes().size(), 4u);
    EXPECT_EQ(Text(g_gen.hWndAntVpeak), "-");
}

TEST_F(SimIntegrationTest, AutoReadKeepsTheMeasurementsCurrentForAMinute) {
    Start();
    ComStart();
    Run(2 * kSecond);
    Click(button_AutoRead_process, 1095, g_gen.hWndAutoRead);
    EXPECT_EQ(Text(g_gen.hWndAutoRead), "AutoRead OFF");
    Run(60 * kSecond);
    const std::vector<std::string> reads = WritesFrom(4);
    ASSERT_GE(reads.size(), 55u);  // one read about every 1.025 s
    EXPECT_LE(reads.size(), 60u);
    // The idle sequencer kept stepping, so the cycle may begin anywhere in it.
    std::size_t offset = 0;
    while (offset < 4 && reads[0] != kMeasureCycle[offset]) ++offset;
    ASSERT_LT(offset, 4u) << reads[0];
    for (std::size_t i = 0; i < reads.size(); ++i)
        EXPECT_EQ(reads[i], kMeasureCycle[(i + offset) % 4]) << i;
    ExpectFieldsShowTheLastReplies();
    // The values move, and measurement replies stay out of the text area.
    std::set<std::string> shown;
    for (const auto& [w, text] : ui.set_texts) {
        if (w == g_gen.hWndAntVpeak) shown.insert(text);
    }
    EXPECT_GE(shown.size(), 5u);
    const std::string area = Text(g_com.hWndComText);
    EXPECT_EQ(area.find("VOLT:"), std::string::npos);
    EXPECT_EQ(area.find("Power:"), std::string::npos);
    EXPECT_NE(area.find("pwm_search_always"), std::string::npos);
}

TEST_F(SimIntegrationTest, MeasurementReadAsksOnceAndFillsTheFields) {
    Start();
    ComStart();
    Run(2 * kSecond);
    Click(button_Measure_Read_process, 1094, g_gen.hWndMeasRead);
    Run(5 * kSecond);
    EXPECT_EQ(WritesFrom(4), kMeasureCycle);
    ExpectFieldsShowTheLastReplies();
}

TEST_F(SimIntegrationTest, ButtonsSteerTheDeviceAndReadsShowTheResult) {
    Start();
    const sim::Application& app = dev_->app();
    ComStart();
    Run(2 * kSecond);
    Press(button_Pwm_OnOff_process, 1084, g_gen.hWndPwmOnOff);
    EXPECT_FALSE(app.pwm_active());
    EXPECT_EQ(Text(g_gen.hWndPwmOnOff), "PWM ON");
    Click(button_Pwm_OnOff_process, 1084, g_gen.hWndPwmOnOff);
    Press(button_PwmCtl_OnOff_process, 1104, g_gen.hWndCtlOnOff);
    EXPECT_TRUE(app.pwm_active());
    EXPECT_TRUE(app.ctl_active());

    Press(button_Pwm_Step_process, 1087, g_gen.hWndFreqUp);
    Press(button_Pwm_Step_process, 1089, g_gen.hWndDutyUp);
    Press(button_PwmSet_read, 1085, g_gen.hWndPwmRead);
    EXPECT_EQ(app.live().top, 127);
    EXPECT_EQ(Text(g_gen.hWndFreq), Format("%.2fkHz", sim::kTimerClockKhz / 127));
    EXPECT_EQ(Text(g_gen.hWndDuty), "50.5%");

    ui.SetControlText(g_gen.hWndFmax, "200");
    ui.SetControlText(g_gen.hWndFmin, "110");
    Press([](Wnd w, uint32_t p, Wnd l) { button_Pwm_FreqLim_Wr_process(w, p, l, 0); }, 1091,
          g_gen.hWndFmaxWrite);
    Press([](Wnd w, uint32_t p, Wnd l) { button_Pwm_FreqLim_Wr_process(w, p, l, 1); }, 1092,
          g_gen.hWndFminWrite);
    ui.SetControlText(g_gen.hWndFmax, "-");
    ui.SetControlText(g_gen.hWndFmin, "-");
    Press(button_Pwm_FreqLim_Rd_process, 1090, g_gen.hWndFreqLimRead);
    EXPECT_EQ(app.live().fmax_khz, 200);
    EXPECT_EQ(app.live().fmin_khz, 110);
    EXPECT_EQ(Text(g_gen.hWndFmax), "200.00kHz");
    EXPECT_EQ(Text(g_gen.hWndFmin), "110.00kHz");

    ui.SetControlText(g_gen.hWndVmin, "22.5");
    Press(button_Pwm_Vlim_Write_process, 1097, g_gen.hWndVminWrite);
    ui.SetControlText(g_gen.hWndVmin, "-");
    Press(button_Pwm_Vlim_Read_process, 1096, g_gen.hWndVminRead);
    EXPECT_DOUBLE_EQ(app.live().vmin, 22.5);
    EXPECT_EQ(Text(g_gen.hWndVmin), "22.50 V");

    ui.SetControlText(g_gen.hWndTempThresh, "60");
    Press(button_TempThresh_Wr, 1125, g_gen.hWndTempThreshWrite);
    Press(button_TempThresh_Rd, 1124, g_gen.hWndTempThreshRead);
    EXPECT_EQ(app.live().temp_threshold, 60);
    EXPECT_EQ(Text(g_gen.hWndTempThresh), "60 \260C");

    Press(Pwm_Srch_always, 1108, g_gen.hWndSearchAlways);
    EXPECT_EQ(app.live().search_always, 0xA5);
    ui.SetControlText(g_gen.hWndEepPassword, "KTZ73x");
    Press(button_sys_eep_wr_en_process, 1114, g_gen.hWndEepWrEn);
    EXPECT_TRUE(app.write_enabled());
    Press(button_PwmSet_save, 1115, g_gen.hWndPwmSave);
    EXPECT_EQ(app.eeprom(), app.live());

    // Auto search: the device is deaf for a while, then reports where it settled.
    Click(button_Pwm_Srch_now, 1107, g_gen.hWndAutoSearch);
    Run(4 * kSecond);
    EXPECT_EQ(Text(g_gen.hWndFreq), Format("%.2fkHz", app.FrequencyKhz()));
    EXPECT_NEAR(app.FrequencyKhz(), 131.0, 1.1);
}

TEST_F(SimIntegrationTest, SlowLineReplyEndsByTheIdleRule) {
    Start(1200);
    ui.controls[g_com.hWndBaudSelect].selection = 0;
    BaudSelect_process(MakeWParam(1035, platform::kCbnSelEndOk), g_com.hWndBaudSelect);
    ASSERT_EQ(g_port.COM_timeout_max, 50u);
    ComStart();
    EXPECT_EQ(port_->baudrate(), 1200);
    Run(10 * kSecond);  // the start-up reads are over
    ASSERT_NE(Text(g_gen.hWndHwVersion), "...");

    sim::Nanos first = -1, last = -1;
    dev_->set_trace([&](bool to_host, sim::Nanos at, const uint8_t*, std::size_t) {
        if (!to_host) return;
        if (first < 0) first = at;
        last = at;
    });
    Click(button_PwmSet_read, 1085, g_gen.hWndPwmRead);
    const sim::Nanos clicked = dev_->now();
    sim::Nanos shown = -1;
    while (shown < 0 && dev_->now() - clicked < 3 * kSecond) {
        Step();
        if (Text(g_gen.hWndFreq) != "-") shown = dev_->now();
    }
    ASSERT_GT(shown, 0);
    // The reply needs its bytes' time on the line: 10 bits each at 1200 bps.
    EXPECT_NEAR(static_cast<double>(last - first),
                dev_->LastReply("Wf").size() * 10.0 / 1200 * kSecond,
                static_cast<double>(2 * sim::kTick));
    // It is complete on the silent tick after COM_timeout_max silent ticks.
    EXPECT_EQ(shown - last, 51 * sim::kTick);
    EXPECT_EQ(Text(g_gen.hWndFreq), Format("%.2fkHz", dev_->app().FrequencyKhz()));
}

TEST_F(SimIntegrationTest, BootloaderIdentitySilencesTheSequencer) {
    Start(38400, sim::Firmware::kBootloader);
    ComStart();
    Click(button_AutoRead_process, 1095, g_gen.hWndAutoRead);
    Run(30 * kSecond);
    EXPECT_EQ(port_->writes(), (std::vector<std::string>{"cr Wo\r", "cr Sv\r"}));
    EXPECT_EQ(g_dev.uCisBootloader, 1);
    EXPECT_EQ(Text(g_gen.hWndAutoRead), "AutoRead ON");
    // Reopening asks the bootloader who it is, and nothing else.
    ComStart();
    ComStart();
    Run(kSecond);
    EXPECT_EQ(WritesFrom(2), (std::vector<std::string>{"cr Sv\r"}));
    EXPECT_EQ(Text(g_gen.hWndFwVersion).substr(0, 25), "Bootloader for ATmega328P");
}

// Each baud rate on the timers as Wine runs them (exactly on time) and on Windows' default
// clock of 15.625 ms.
class SimRateTest : public SimIntegrationTest,
                    public testing::WithParamInterface<std::tuple<int, int64_t>> {};

// Replies are told apart only by the pause after them. Below 14400 bps a reply lasts longer
// than the 150 ms between the start-up reads: each read waits for the reply before it.
TEST_P(SimRateTest, EveryStartupAndMeasurementReplyIsParsedOnItsOwn) {
    const auto [row, resolution] = GetParam();
    const int32_t baud = baudrate_table[row];
    Start(baud);
    sim::HostBench terminal(*dev_);
    for (const char* cmd : {"cw Wo0\r", "cw Wc1\r", "cw WwA5\r"}) terminal.Exchange(cmd);
    SelectBaud(row);
    StartClock(resolution);
    ComStart();
    ASSERT_EQ(port_->baudrate(), baud);
    RunClock(10 * kSecond);
    EXPECT_EQ(port_->writes(),
              (std::vector<std::string>{"cr Wo\r", "cr Sv\r", "cr Wc\r", "cr Ww\r"}));
    EXPECT_EQ(Text(g_gen.hWndPwmOnOff), "PWM ON");
    EXPECT_EQ(Text(g_gen.hWndCtlOnOff), "CTL OFF");
    EXPECT_EQ(Text(g_gen.hWndSearchAlways), "AS alw. OFF");
    EXPECT_EQ(Text(g_gen.hWndHwVersion), sim::kHardwareText);
    EXPECT_EQ(Text(g_gen.hWndFwVersion).substr(0, 20), sim::kFirmwareText);
    if (baud >= 19200 && resolution == 0) {
        // Where 150 ms is enough, the reads go out as they always have. (At 14400 bps the
        // identification's last byte comes 43 ms after its read: with the pause of 110 ms
        // after it, 150 ms is a tick too short, and the read after it waits one tick.)
        EXPECT_EQ(read_times_us_, (std::vector<int64_t>{150000, 300000, 450000, 600000}));
    }

    Click(button_Measure_Read_process, 1094, g_gen.hWndMeasRead);
    RunClock(10 * kSecond);
    EXPECT_EQ(WritesFrom(4), kMeasureCycle);
    ExpectFieldsShowTheLastReplies();
}

INSTANTIATE_TEST_SUITE_P(BaudRatesAndClocks, SimRateTest,
                         testing::Combine(testing::Range(0, kBaudRows),
                                          testing::Values(int64_t{0},
                                                          fakes::TimerClock::kWindowsDefaultUs)),
                         [](const testing::TestParamInfo<SimRateTest::ParamType>& info) {
                             return std::to_string(baudrate_table[std::get<0>(info.param)]) +
                                    "bps_" + (std::get<1>(info.param) == 0 ? "exact" : "15_625ms");
                         });

// The read-back takes every byte that arrives as flash: AutoRead keeps its reads back until
// the stream has been dumped, then goes on.
class SimReadBackTest : public SimRateTest {};

TEST_P(SimReadBackTest, FlashReadBackDuringAutoReadHoldsOnlyFlash) {
    const auto [row, resolution] = GetParam();
    Start(baudrate_table[row]);
    SelectBaud(row);
    StartClock(resolution);
    ComStart();
    Click(button_AutoRead_process, 1095, g_gen.hWndAutoRead);
    RunClock(5 * kSecond);
    ASSERT_GT(port_->writes().size(), 5u);
    const std::size_t before = port_->writes().size();
    ui.SetControlText(g_com.hWndRegEdit, "Mr");
    Click(button_Reg_Read_process, 1039, g_com.hWndRegRead);
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
    const std::string dumped = "\r\nRead 32768 / 0x8000 bytes from device\r\n";
    RunClock(15 * kSecond);
    g_rx_consumers = RxConsumers::Defaults();
    EXPECT_EQ(reads_at_dump, before + 1) << "reads went out into the stream";
    ASSERT_NE(console.out.find(dumped), std::string::npos);
    const std::vector<uint8_t>& flash = dev_->flash().bytes();
    ASSERT_EQ(flash.size(), 32768u);
    EXPECT_TRUE(std::equal(flash.begin(), flash.end(), g_flash.flash_stream_buf));
    RunClock(3 * kSecond);
    EXPECT_GE(port_->writes().size(), before + 3);  // AutoRead goes on
    Click(button_AutoRead_process, 1095, g_gen.hWndAutoRead);
    RunClock(2 * kSecond);
    ExpectFieldsShowTheLastReplies();
}

INSTANTIATE_TEST_SUITE_P(FastRatesAndClocks, SimReadBackTest,
                         testing::Combine(testing::Values(6, 8),
                                          testing::Values(int64_t{0},
                                                          fakes::TimerClock::kWindowsDefaultUs)),
                         [](const testing::TestParamInfo<SimRateTest::ParamType>& info) {
                             return std::to_string(baudrate_table[std::get<0>(info.param)]) +
                                    "bps_" + (std::get<1>(info.param) == 0 ? "exact" : "15_625ms");
                         });

}  // namespace
