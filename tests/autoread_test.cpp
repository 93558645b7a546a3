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

struct Sent {
    int tick;  // 1 = the first tick after the start of the run
    std::string command;
    std::string status;
    bool operator==(const Sent& o) const {
        return tick == o.tick && command == o.command && status == o.status;
    }
};

std::ostream& operator<<(std::ostream& os, const Sent& s) {
    return os << "{" << s.tick << ", " << testing::PrintToString(s.command) << ", " << s.status
              << "}";
}

class AutoReadTest : public fakes::CoreTest {
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
    // Runs the timer procedure n times and lists what went out on which tick.
    std::vector<Sent> Run(int n) {
        std::vector<Sent> sent;
        for (int tick = 1; tick <= n; ++tick) {
            const std::size_t writes = serial.writes.size();
            const std::size_t texts = ui.set_texts.size();
            AutoReadTimerProc(page);
            EXPECT_LE(serial.writes.size(), writes + 1) << "tick " << tick;
            if (serial.writes.size() == writes) {
                EXPECT_EQ(ui.set_texts.size(), texts) << "status changed without a read";
                continue;
            }
            std::string status;
            if (ui.set_texts.size() == texts + 1 &&
                ui.set_texts.back().first == g_com.hWndStatusRight) {
                status = ui.set_texts.back().second;
            }
            sent.push_back({tick, serial.writes.back(), status});
        }
        return sent;
    }

    platform::Wnd page = nullptr;
};

const Sent kStartupReads[] = {
    {6, "cr Wo\r", "Reading: PWM on/off"},
    {12, "cr Sv\r", "Reading: HW version"},
    {18, "cr Wc\r", "Reading: PWM Ctl"},
    {24, "cr Ww\r", "Reading: auto search"},
};

TEST_F(AutoReadTest, StartupReadsThenSilenceWithAutoReadOff) {
    OpenPort();
    EXPECT_EQ(Run(2000), std::vector<Sent>(std::begin(kStartupReads), std::end(kStartupReads)));
    EXPECT_EQ(console.out, "cr Wo\r\ncr Sv\r\ncr Wc\r\ncr Ww\r\n");
    EXPECT_EQ(g_autoread.autoread_interval, 40);
    EXPECT_EQ(ui.Text(g_com.hWndStatusRight), "Reading: auto search");
}

TEST_F(AutoReadTest, FirstStartupReadWaitsForTheIntervalInForce) {
    struct Case {
        uint8_t interval;
        uint8_t tick_left;
        int first_tick;
    };
    const Case cases[] = {
        {5, 0, 6},                  // fresh start
        {5, 3, 3},                  // ticks 3, 4, 5 of the count
        {40, 0, 41},                // reopened during the idle measurement cycle
        {40, 17, 24},               // 17..40
        {40, 40, 1},  {5, 100, 1},  // left by the measurement Read button
    };
    for (const Case& c : cases) {
        fakes::ResetCoreState();
        serial.writes.clear();
        ui.set_texts.clear();
        g_com.hWndStatusRight = ui.NewWindow("status right");
        OpenPort();
        g_autoread.autoread_interval = c.interval;
        g_autoread.autoread_tick = c.tick_left;
        const std::vector<Sent> want = {
            {c.first_tick, "cr Wo\r", "Reading: PWM on/off"},
            {c.first_tick + 6, "cr Sv\r", "Reading: HW version"},
            {c.first_tick + 12, "cr Wc\r", "Reading: PWM Ctl"},
            {c.first_tick + 18, "cr Ww\r", "Reading: auto search"},
        };
        EXPECT_EQ(Run(1000), want) << int{c.interval} << "/" << int{c.tick_left};
    }
}

TEST_F(AutoReadTest, AutoReadOnReadsOneMeasurementPerSecond) {
    OpenPort();
    g_autoread.autoread_on = 1;
    std::vector<Sent> want(std::begin(kStartupReads), std::end(kStartupReads));
    const Sent cycle[] = {
        {30, "cr Wi\r", "Reading: ant. V/I"},
        {71, "cr Wt\r", "Reading: temperature"},
        {112, "cr Wu\r", "Reading: VIN"},
        {153, "cr Pi\r", "Reading: ant. I / P"},
    };
    for (int round = 0; round < 3; ++round) {
        for (const Sent& s : cycle) want.push_back({s.tick + round * 164, s.command, s.status});
    }
    EXPECT_EQ(Run(30 + 3 * 164 - 1), want);
}

TEST_F(AutoReadTest, MeasurementReadButtonReadsOnceThenFallsBack) {
    OpenPort();
    Run(200);  // start-up reads done, idle cycle at interval 40
    serial.writes.clear();
    console.out.clear();
    g_autoread.autoread_tick = 20;

    button_Measure_Read_process(page, platform::MakeWParam(1094, platform::kBnClicked), nullptr);
    const std::vector<Sent> want = {
        {1, "cr Wi\r", "Reading: ant. V/I"},
        {7, "cr Wt\r", "Reading: temperature"},
        {13, "cr Wu\r", "Reading: VIN"},
        {19, "cr Pi\r", "Reading: ant. I / P"},
    };
    EXPECT_EQ(Run(2000), want);
    EXPECT_EQ(console.out, "cr Wi\r\ncr Wt\r\ncr Wu\r\ncr Pi\r\n");
    EXPECT_EQ(g_autoread.autoread_read_once, 0);
    EXPECT_EQ(g_autoread.autoread_interval, 40);
}

TEST_F(AutoReadTest, FrozenWhilePortClosedOrBootloaderRuns) {
    struct Case {
        const char* name;
        bool port_open;
        uint8_t bootloader;
    };
    const Case cases[] = {
        {"port closed", false, 0},
        {"bootloader", true, 1},
        {"port closed, bootloader", false, 1},
    };
    for (const Case& c : cases) {
        if (c.port_open) OpenPort();
        g_port.com_port_open = c.port_open ? 1 : 0;
        g_dev.uCisBootloader = c.bootloader;
        g_autoread.autoread_step = 0;
        g_autoread.autoread_tick = 3;
        g_autoread.autoread_on = 1;
        EXPECT_TRUE(Run(500).empty()) << c.name;
        EXPECT_EQ(g_autoread.autoread_tick, 3) << c.name;
        EXPECT_EQ(g_autoread.autoread_step, 0) << c.name;
        EXPECT_TRUE(serial.written.empty()) << c.name;
        EXPECT_EQ(console.out, "") << c.name;
    }
    // Thawed, the sequencer goes on where it stood.
    OpenPort();
    g_dev.uCisBootloader = 0;
    g_autoread.autoread_interval = 5;
    const std::vector<Sent> got = Run(3);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].tick, 3);
    EXPECT_EQ(got[0].command, "cr Wo\r");
}

TEST_F(AutoReadTest, StepsWithoutAReadOnlyMoveOn) {
    struct Case {
        uint8_t step;
        uint8_t on;
        uint8_t next;
        uint8_t interval;
    };
    const Case cases[] = {
        {2, 0, 0, 5},  {9, 0, 5, 5},  {10, 0, 0, 5}, {200, 0, 0, 5}, {255, 1, 0, 5},
        {5, 0, 6, 40}, {6, 0, 7, 40}, {7, 0, 8, 40}, {8, 0, 5, 40},
    };
    OpenPort();
    for (const Case& c : cases) {
        g_autoread.autoread_step = c.step;
        g_autoread.autoread_on = c.on;
        g_autoread.autoread_interval = 5;
        g_autoread.autoread_tick = 5;
        AutoReadTimerProc(page);
        EXPECT_EQ(g_autoread.autoread_step, c.next) << int{c.step};
        EXPECT_EQ(g_autoread.autoread_interval, c.interval) << int{c.step};
        EXPECT_EQ(g_autoread.autoread_tick, 0) << int{c.step};
    }
    EXPECT_TRUE(serial.written.empty());
    EXPECT_TRUE(ui.set_texts.empty());
    EXPECT_EQ(console.out, "");
}

}  // namespace
