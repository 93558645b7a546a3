#include <cmath>

#include "tests/fakes/test_env.h"

namespace {

using chart::Column;
using chart::Ring;
using chart::Sample;

const float kNan = std::nanf("");

Ring RingOf(const std::vector<Sample>& samples, std::size_t capacity = 64) {
    Ring r(capacity);
    for (const Sample& s : samples) r.Push(s);
    return r;
}

TEST(ChartRing, WrapsDropsTheOldestAndFindsTimes) {
    Ring r(3);
    for (int i = 1; i <= 5; ++i) r.Push(Sample{i * 1000, static_cast<float>(i)});
    ASSERT_EQ(r.size(), 3u);
    EXPECT_EQ(r.capacity(), 3u);
    for (std::size_t i = 0; i < 3; ++i) EXPECT_EQ(r[i].value, static_cast<float>(i + 3));
    // The time asked for, and the first index at or after it.
    const std::pair<int64_t, std::size_t> bounds[] = {{0, 0},    {3000, 0}, {3001, 1},
                                                      {4000, 1}, {5000, 2}, {5001, 3}};
    for (const auto& [t, index] : bounds) EXPECT_EQ(r.LowerBound(t), index) << t;
    r.Clear();
    EXPECT_EQ(r.size(), 0u);
    EXPECT_EQ(r.LowerBound(0), 0u);
    Ring none(0);
    none.Push(Sample{1, 1});
    EXPECT_EQ(none.size(), 0u);
}

TEST(ChartTime, LocalMsRoundTripsAndCountsDays) {
    const platform::LocalTime times[] = {
        {1970, 1, 1, 0, 0, 0, 0},     {1969, 12, 31, 23, 59, 59, 999},
        {2024, 2, 29, 12, 0, 0, 1},   {2024, 3, 5, 14, 7, 9, 250},
        {2000, 3, 1, 0, 0, 0, 0},     {2099, 12, 31, 23, 59, 59, 0},
        {1900, 3, 1, 6, 30, 15, 500},
    };
    for (const platform::LocalTime& t : times) {
        const platform::LocalTime back = chart::FromLocalMs(chart::LocalMs(t));
        EXPECT_EQ(
            std::vector<int>({back.year, back.month, back.day, back.hour, back.minute, back.second,
                              back.millisecond}),
            std::vector<int>({t.year, t.month, t.day, t.hour, t.minute, t.second, t.millisecond}));
    }
    EXPECT_EQ(chart::LocalMs({1970, 1, 1, 0, 0, 1, 500}), 1500);
    EXPECT_EQ(chart::LocalMs({1969, 12, 31, 23, 59, 59, 999}), -1);
    // Day after day, across a leap day and a year's end.
    const std::pair<platform::LocalTime, platform::LocalTime> next_days[] = {
        {{2024, 2, 28, 0, 0, 0}, {2024, 2, 29, 0, 0, 0}},
        {{2023, 2, 28, 0, 0, 0}, {2023, 3, 1, 0, 0, 0}},
        {{1900, 2, 28, 0, 0, 0}, {1900, 3, 1, 0, 0, 0}},
        {{2025, 12, 31, 0, 0, 0}, {2026, 1, 1, 0, 0, 0}},
    };
    for (const auto& [a, b] : next_days)
        EXPECT_EQ(chart::LocalMs(b) - chart::LocalMs(a), 86400000) << b.year << "-" << b.month;
    EXPECT_EQ(chart::IsoTime(chart::LocalMs({2024, 3, 5, 14, 7, 9, 999})), "2024-03-05T14:07:09");
}

TEST(ChartMarkers, LabelsTheCommandsThatChangeTheGenerator) {
    // What went to the port, and its label; nullptr: no marker.
    const std::pair<const char*, const char*> cases[] = {
        {"cw Wo1\r", "PWM on"},
        {"cw Wo0\r", "PWM off"},
        {"cw Wf+\r", "f+"},
        {"cw Wf-\r", "f-"},
        {"cw Wd+\r", "duty+"},
        {"cw Wd-\r", "duty-"},
        {"cw Wk 25.500000\r", "Vlim 25.5"},
        {"cw Wk 30.000000\r", "Vlim 30"},
        {"cw Wlx 200\r", "fmax 200"},
        {"cw Wli 120\r", "fmin 120"},
        {"cw Wc1\r", "CTL on"},
        {"cw Wc0\r", "CTL off"},
        {"cw Ws1\r", "Search"},
        {"cw WwA5\r", "Search always on"},
        {"cw Ww0\r", "Search always off"},
        {"cw Pt 75\r", "Temp limit 75"},
        {"cw Efault1\r", "Defaults"},
        {"cw Wn1\r", "Offline edit"},
        {"cw Xy 12.5\r", "Reg Xy 12.5"},
        {"cw Wo12\r", "Reg Wo12"},
        {"cw Ab,\"c\"\r", "Reg Ab,\"c\""},
        {"cw 0123456789abcdefghijklmnop\r", "Reg 0123456789abcdefghi"},
        {"cw Se0\r", nullptr},
        {"cw SeKTZ73x\r", nullptr},
        {"cw Wesave\r", nullptr},
        {"cw Sboot\r", nullptr},
        {"cw Fe\r", nullptr},
        {"cr Wf\r", nullptr},
        {"cr Mr0\r", nullptr},
        {"cw \r", nullptr},
        {"Wo1\r", nullptr},
    };
    for (const auto& [text, label] : cases) {
        char got[chart::kMarkerLabelSize] = "unchanged";
        const bool marked = chart::MarkerLabel(text, got, sizeof got);
        EXPECT_EQ(marked, label != nullptr) << text;
        if (label != nullptr) {
            EXPECT_STREQ(got, label) << text;
        }
    }
    char small[5];
    ASSERT_TRUE(chart::MarkerLabel("cw Wo1\r", small, sizeof small));
    EXPECT_STREQ(small, "PWM ");
}

TEST(ChartDecimate, ColumnsHoldMinMaxAndJoinOnlyCloseUnbrokenSamples) {
    // Ten columns of 1 s each over [10 s, 20 s).
    const Ring r = RingOf({
        {9000, 100},  // before the span: not drawn, not joined
        {10000, 5},
        {10400, 7},
        {10800, 3},     // column 0
        {12000, 4},     // column 2, 1.2 s later: joined
        {13000, kNan},  // a break
        {13500, 6},     // column 3: not joined across it
        {19500, 8},     // column 9, 6 s later: a gap
        {20000, 100},   // at the end: outside
    });
    Column c[10];
    chart::Decimate(r, 10000, 20000, 10, c);
    struct Want {
        bool has, joined;
        float min, max, first, last;
    };
    const Want want[10] = {{true, false, 3, 7, 5, 3},
                           {},
                           {true, true, 4, 4, 4, 4},
                           {true, false, 6, 6, 6, 6},
                           {},
                           {},
                           {},
                           {},
                           {},
                           {true, false, 8, 8, 8, 8}};
    for (int i = 0; i < 10; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(c[i].has, want[i].has);
        if (!want[i].has) continue;
        EXPECT_EQ(c[i].joined, want[i].joined);
        EXPECT_EQ(std::vector<float>({c[i].min, c[i].max, c[i].first, c[i].last}),
                  std::vector<float>({want[i].min, want[i].max, want[i].first, want[i].last}));
    }
    // An empty or reversed span leaves the columns empty.
    chart::Decimate(r, 20000, 10000, 10, c);
    for (const Column& col : c) EXPECT_FALSE(col.has);
}

TEST(ChartScale, TicksAreRoundAndHoldTheRange) {
    const double kInf = INFINITY, kNaN = NAN;
    // min, max, max_ticks
    const std::tuple<double, double, int> cases[] = {
        {0.3, 9.7, 6},   {12.31, 12.87, 6}, {-3, 47, 8},   {0, 0.004, 5},    {5, 5, 6},
        {0, 0, 6},       {-2, -2, 4},       {1e5, 3e5, 3}, {kNaN, 4, 5},     {2, kInf, 5},
        {kNaN, kNaN, 5}, {9.7, 0.3, 6},     {0.1, 0.2, 1}, {-kInf, kInf, 5},
    };
    for (const auto& [lo, hi, max_ticks] : cases) {
        SCOPED_TRACE(testing::Message() << lo << ".." << hi << " " << max_ticks);
        const chart::Scale s = chart::RoundScale(lo, hi, max_ticks);
        ASSERT_TRUE(std::isfinite(s.lo) && std::isfinite(s.hi) && s.step > 0);
        const double ticks = (s.hi - s.lo) / s.step + 1;
        EXPECT_LE(ticks, std::max(max_ticks, 2) + 1e-6);
        EXPECT_LT(s.lo, s.hi);
        for (double v : {lo, hi}) {
            if (!std::isfinite(v)) continue;
            EXPECT_LE(s.lo, v);
            EXPECT_GE(s.hi, v);
        }
        // 1, 2 or 5 times a power of ten, which the decimals show exactly.
        const double mantissa = s.step / std::pow(10.0, std::floor(std::log10(s.step) + 1e-9));
        EXPECT_TRUE(std::fabs(mantissa - 1) < 1e-6 || std::fabs(mantissa - 2) < 1e-6 ||
                    std::fabs(mantissa - 5) < 1e-6)
            << s.step;
        EXPECT_NEAR(std::round(s.lo / s.step) * s.step, s.lo, 1e-9 * std::fabs(s.step));
        EXPECT_NEAR(std::round(s.step * std::pow(10, s.decimals)),
                    s.step * std::pow(10, s.decimals), 1e-6);
    }
    const chart::Scale s = chart::RoundScale(0.3, 9.7, 6);
    EXPECT_EQ(std::vector<double>({s.lo, s.hi, s.step}), std::vector<double>({0, 10, 2}));
    EXPECT_EQ(chart::RoundScale(0, 0.004, 5).decimals, 3);
}

TEST(ChartScale, TimeTicksAreRoundSteps) {
    // t0, t1, max_ticks and the ticks wanted.
    const std::tuple<int64_t, int64_t, int, std::vector<int64_t>> cases[] = {
        {0, 60000, 7, {0, 10000, 20000, 30000, 40000, 50000, 60000}},
        {1500, 6500, 6, {2000, 3000, 4000, 5000, 6000}},
        {59000, 181000, 3, {60000, 120000, 180000}},
        {-1, 1, 4, {0}},
        {0, 86400000, 5, {0, 21600000, 43200000, 64800000, 86400000}},
        {5, 4, 5, {}},
    };
    for (const auto& [t0, t1, max_ticks, want] : cases)
        EXPECT_EQ(chart::TimeTicks(t0, t1, max_ticks), want) << t0 << ".." << t1;
    const std::vector<int64_t> days = chart::TimeTicks(0, 30LL * 86400000, 4);
    EXPECT_LE(days.size(), 4u);
    EXPECT_GE(days.size(), 2u);
}

class ChartRecorder : public fakes::PageTest {
  protected:
    void Reply(const std::string& text) {
        serial.Feed("\x02" + text + "\x03");
        for (uint32_t i = 0; i <= g_port.COM_timeout_max + 1; ++i) ReceiveTimerProc(page);
    }
    int64_t Now() const { return chart::LocalMs(system.now); }
};

TEST_F(ChartRecorder, RepliesThroughThePumpGiveSamplesAndCommandsMarkers) {
    system.now.millisecond = 250;
    g_rx_consumers.port_opened(page);
    for (int i = 0; i < chart::kSeriesCount; ++i) {
        ASSERT_EQ(chart::g_chart.series(i).size(), 1u);
        EXPECT_TRUE(std::isnan(chart::g_chart.series(i)[0].value));
    }
    const uint64_t before = chart::g_chart.generation();
    Reply("VOLT: 12.5 V ISNS: 1.25 A");
    EXPECT_GT(chart::g_chart.generation(), before);
    // Only the two series that the reply brought.
    const std::size_t sizes[chart::kSeriesCount] = {2, 2, 1, 1, 1, 1};
    for (int i = 0; i < chart::kSeriesCount; ++i)
        EXPECT_EQ(chart::g_chart.series(i).size(), sizes[i]);
    EXPECT_EQ(chart::g_chart.series(0)[1].value, 12.5f);
    EXPECT_EQ(chart::g_chart.series(1)[1].value, 1.25f);
    EXPECT_EQ(chart::g_chart.series(0)[1].t_ms, Now());

    system.now.second = 10;
    ASSERT_TRUE(PortWriteText("cw Wo1\r"));
    ASSERT_TRUE(PortWriteText("cr Wf\r"));
    serial.fail_write = true;
    EXPECT_FALSE(PortWriteText("cw Wo0\r"));  // not sent: no marker
    ASSERT_EQ(chart::g_chart.markers().size(), 1u);
    EXPECT_EQ(chart::g_chart.marker_count(), 1u);
    EXPECT_STREQ(chart::g_chart.markers()[0].label, "PWM on");
    EXPECT_EQ(chart::g_chart.markers()[0].t_ms, Now());

    // A clock set back keeps the samples in order.
    system.now.minute -= 1;
    serial.fail_write = false;
    Reply("VOLT: 13 V ISNS: 1.5 A");
    EXPECT_EQ(chart::g_chart.series(0)[2].t_ms, chart::g_chart.series(0)[1].t_ms);
}

TEST(ChartCsv, RowsOfCompleteCyclesAndMarkersInTimeOrder) {
    chart::Recorder r;
    Readings readings;
    // Two cycles, a break between them and a third: a row for each complete one.
    auto cycle = [&](int64_t t, double base, int only = chart::kSeriesCount) {
        ++readings.replies;
        for (int i = 0; i < chart::kSeriesCount; ++i) {
            Reading& reading = readings.values[static_cast<int>(chart::kSeries[i].quantity)];
            reading.value = base + i;
            reading.reply = i < only ? readings.replies : 0;
        }
        r.OnReply(readings, t);
    };
    const int64_t t0 = chart::LocalMs({2024, 3, 5, 14, 0, 0});
    cycle(t0, 1.0);
    r.OnCommand("cw Ab,\"x\"\r", t0 + 500);
    cycle(t0 + 1000, 2.0, 3);  // half a cycle, then the port opened anew
    r.OnPortOpened(t0 + 1500);
    cycle(t0 + 2000, 3.0, 3);
    cycle(t0 + 3000, 4.0);  // only its newest half after the break: one row with both halves
    cycle(t0 + 9000, 9.0);  // outside the span
    EXPECT_EQ(chart::CsvOfSpan(r, t0, t0 + 5000),
              std::string(chart::kCsvHeader) +
                  "\n"
                  "2024-03-05T14:00:00,1.00,2.00,3.00,4.000,5.00,6.0,\n"
                  "2024-03-05T14:00:00,,,,,,,\"Reg Ab,\"\"x\"\"\"\n"
                  "2024-03-05T14:00:03,4.00,5.00,6.00,7.000,8.00,9.0,\n");
}

}  // namespace
