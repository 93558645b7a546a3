#include "platform/timer_phase.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

struct SimTimer {
    unsigned id;
    unsigned interval_ms;
    int64_t next_us;  // its next expiry
};

// A thread that waits for its timers as a message loop does: it wakes kWakeUs after the
// earliest expiry and runs every timer that has expired by then, one after the other; each
// tick takes kTickUs and the next message kGapUs. Returns how often the watch asked for a
// restart; with realign, the timers are then restarted together, as the shell does.
int RunTimers(std::vector<SimTimer> timers, int64_t seconds, bool realign) {
    constexpr int64_t kWakeUs = 100, kTickUs = 50, kGapUs = 20;
    TimerPhaseWatch watch;
    std::map<unsigned, unsigned> intervals;
    for (const SimTimer& t : timers) intervals[t.id] = t.interval_ms;
    watch.Reset(intervals);
    int restarts = 0;
    int64_t now = 0;
    while (now < seconds * 1'000'000) {
        SimTimer* due = &timers.front();
        for (SimTimer& t : timers) {
            if (t.next_us < due->next_us) due = &t;
        }
        if (due->next_us > now) now = due->next_us + kWakeUs;  // blocked till then
        const int64_t start = now;
        now += kTickUs;
        due->next_us += int64_t{due->interval_ms} * 1000;
        if (watch.Tick(due->id, start, now)) {
            ++restarts;
            for (SimTimer& t : timers) {
                if (realign) t.next_us = now + int64_t{t.interval_ms} * 1000;
            }
        }
        now += kGapUs;
    }
    return restarts;
}

TEST(TimerPhaseWatch, TellsTimersThatDriftedApartOnceAPerHoldOff) {
    struct Row {
        const char* what;
        int64_t poll_offset_us;      // of the 20 ms timer from the 10 ms one
        int64_t autoread_offset_us;  // of the 25 ms timer
        bool realign;
        int restarts;  // in 25 s
    };
    // A drifted timer is judged after 40 of its ticks (0.8 s of the 20 ms timer, 1 s of the
    // 25 ms one); unmended, again after each 10 s hold-off: at 0.8, 11.2 and 21.6 s.
    const Row rows[] = {
        {"in phase", 0, 0, false, 0},
        {"restarted microseconds apart", 30, 60, false, 0},
        {"the poll 3 ms behind", 3000, 0, false, 3},
        {"AutoRead 4 ms behind", 0, 4000, false, 3},
        {"both apart", 3000, 7000, false, 3},
        {"the poll 3 ms behind, restarted together", 3000, 0, true, 1},
    };
    for (const Row& r : rows) {
        const std::vector<SimTimer> timers = {{1, 10, 10'000},
                                              {2, 20, 20'000 + r.poll_offset_us},
                                              {3, 25, 25'000 + r.autoread_offset_us}};
        EXPECT_EQ(RunTimers(timers, 25, r.realign), r.restarts) << r.what;
    }
}

TEST(PlanCarriers, ATimerRidesTheFastestThatDividesItsInterval) {
    using Plan = std::map<unsigned, unsigned>;
    struct Row {
        const char* what;
        Plan intervals;  // id -> ms
        Plan carriers;   // id -> carrier id
    };
    const Row rows[] = {
        {"port open: the poll rides the receive tick", {{1, 10}, {2, 20}, {3, 25}}, {{2, 1}}},
        {"port closed: 25 is no multiple of 20", {{2, 20}, {3, 25}}, {}},
        {"equal intervals each on its own", {{1, 10}, {2, 10}}, {}},
        {"the fastest divisor is taken", {{1, 10}, {2, 20}, {5, 40}}, {{2, 1}, {5, 1}}},
        {"riders of two carriers", {{2, 20}, {3, 25}, {6, 50}, {7, 100}}, {{6, 3}, {7, 2}}},
        {"none", {}, {}},
    };
    for (const Row& r : rows) EXPECT_EQ(PlanCarriers(r.intervals), r.carriers) << r.what;
}

TEST(TimerPhaseWatch, JudgesNothingWithOneTimerOrNone) {
    EXPECT_EQ(RunTimers({{1, 10, 10'000}}, 5, false), 0);
    TimerPhaseWatch watch;
    watch.Reset({});
    EXPECT_FALSE(watch.Tick(7, 0, 50));
    EXPECT_FALSE(watch.Tick(7, 60'000, 60'050));
}

}  // namespace
