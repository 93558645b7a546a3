#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cli/headless_ui.h"
#include "cli/tick_loop.h"

namespace {

using cli::kNsPerMs;

class FakeClock final : public cli::Clock {
  public:
    int64_t NowNs() override { return now; }
    void SleepUntilNs(int64_t deadline) override {
        if (deadline > now) now = deadline;
    }
    int64_t now = 0;
};

// What the timer procedures did, with the time of each call in ms.
std::vector<std::string> g_calls;
FakeClock* g_clock = nullptr;
cli::TickLoop* g_loop = nullptr;
int64_t g_busy_ms = 0;  // how long the receive procedure takes

void Note(const char* name) {
    g_calls.push_back(std::string(name) + "@" + std::to_string(g_clock->now / kNsPerMs));
}
void Receive(platform::Wnd) {
    Note("rx");
    g_clock->now += g_busy_ms * kNsPerMs;
}
void Poll(platform::Wnd) {
    Note("poll");
}
void AutoRead(platform::Wnd) {
    Note("ar");
}
void StopsItself(platform::Wnd w) {
    Note("once");
    g_loop->Stop(w, 9);
}

class TickLoopTest : public ::testing::Test {
  protected:
    void SetUp() override {
        g_calls.clear();
        g_clock = &clock;
        g_loop = &loop;
        g_busy_ms = 0;
    }
    void RunTo(int64_t ms) {
        ASSERT_TRUE(loop.RunUntil([&] { return clock.now > ms * kNsPerMs; }));
    }
    FakeClock clock;
    cli::TickLoop loop{clock};
    cli::HeadlessUi ui{loop};
    platform::Wnd main = ui.NewWindow();
    platform::Wnd page = ui.NewWindow();
};

TEST_F(TickLoopTest, ThreeTimersOnTheirOwnDeadlinesLowerIdFirst) {
    ui.StartTimer(main, 3, 25, AutoRead);
    ui.StartTimer(page, 1, 10, Receive);
    ui.StartTimer(main, 2, 20, Poll);
    RunTo(100);
    const std::vector<std::string> want = {"rx@10",   "rx@20",   "poll@20",  "ar@25", "rx@30",
                                           "rx@40",   "poll@40", "rx@50",    "ar@50", "rx@60",
                                           "poll@60", "rx@70",   "ar@75",    "rx@80", "poll@80",
                                           "rx@90",   "rx@100",  "poll@100", "ar@100"};
    EXPECT_EQ(g_calls, want);
}

TEST_F(TickLoopTest, SlowCallsDoNotShiftTheScheduleAndMissedTicksAreNotRepeated) {
    ui.StartTimer(page, 1, 10, Receive);
    g_busy_ms = 3;  // every call takes 3 ms: still one call per 10 ms, on the grid
    RunTo(40);
    EXPECT_EQ(g_calls, (std::vector<std::string>{"rx@10", "rx@20", "rx@30", "rx@40"}));

    g_calls.clear();
    g_busy_ms = 35;  // a stall: the calls of 50..80 are dropped, not made up in a burst
    RunTo(51);
    g_busy_ms = 0;
    RunTo(100);
    EXPECT_EQ(g_calls, (std::vector<std::string>{"rx@50", "rx@90", "rx@100"}));
}

TEST_F(TickLoopTest, TimersStartStopAndRestartLikeWin32Timers) {
    ui.StartTimer(page, 9, 10, StopsItself);
    ui.StartTimer(page, 1, 10, Receive);
    ui.StartTimer(main, 1, 15, Poll);  // the same id on another window: another timer
    clock.now = 5 * kNsPerMs;
    ui.StartTimer(page, 1, 10, Receive);  // restarted: one interval from now, started last
    RunTo(30);
    EXPECT_FALSE(loop.Running(page, 9));
    EXPECT_EQ(g_calls,
              (std::vector<std::string>{"once@10", "poll@15", "rx@15", "rx@25", "poll@30"}));
    ui.StopTimer(page, 1);
    ui.StopTimer(main, 1);
    EXPECT_FALSE(loop.RunUntil([] { return false; }));  // nothing left that could tick
}

TEST(HeadlessUiTest, ControlsKeepTextsAndBoxesGoToThePolicy) {
    FakeClock clock;
    cli::TickLoop loop{clock};
    cli::HeadlessUi ui{loop};
    const platform::ControlSpec spec{"BUTTON", "PWM OFF", 0, 0, 0, 0, platform::Style::PushButton,
                                     1084};
    const platform::Wnd button = ui.CreateControl(ui.NewWindow(), spec);
    EXPECT_EQ(ui.Text(button), "PWM OFF");
    EXPECT_EQ(ui.SetCount(button), 0u);
    ui.SetControlText(button, "PWM OFF");  // the same text again still counts as an answer
    ui.AppendText(button, "!");
    EXPECT_EQ(ui.SetCount(button), 1u);
    EXPECT_EQ(ui.GetControlText(button, 4), "PWM");
    ui.DropLeadingText(button, 4);
    EXPECT_EQ(ui.Text(button), "OFF!");
    ui.ComboSetSelection(button, 3);
    EXPECT_EQ(ui.ComboGetSelection(button), 3);

    // The core may reach controls that a front end never made.
    ui.SetControlText(nullptr, "x");
    EXPECT_EQ(ui.GetControlText(nullptr, 64), "");
    EXPECT_EQ(ui.ComboGetSelection(nullptr), -1);

    EXPECT_EQ(ui.ShowMessageBox(nullptr, "Erase?", "", platform::kMbOkCancel), platform::kIdOk);
    ui.SetBoxPolicy([](const cli::MessageBox& b) {
        return b.flags == platform::kMbOkCancel ? platform::kIdCancel : platform::kIdOk;
    });
    EXPECT_EQ(ui.ShowMessageBox(nullptr, "Erase?", "", platform::kMbOkCancel), platform::kIdCancel);
    ASSERT_EQ(ui.boxes().size(), 2u);
    EXPECT_EQ(ui.boxes()[1].text, "Erase?");

    char path[8] = "keep";
    EXPECT_FALSE(ui.OpenFileDialog(nullptr, path, sizeof path));
    ui.SetFileChoice("fw.hex");
    ASSERT_TRUE(ui.OpenFileDialog(nullptr, path, sizeof path));
    EXPECT_STREQ(path, "fw.hex");
    ui.SetFileChoice("toolong.hex");
    EXPECT_FALSE(ui.OpenFileDialog(nullptr, path, sizeof path));
}

}  // namespace
