// The chart window's portable part: where its strips lie, which row a value takes, and its
// line of the settings file.
#include <cmath>

#include "app/chart_layout.h"
#include "tests/fakes/test_env.h"

namespace {

using chartview::Box;

bool Inside(const Box& inner, int width, int height) {
    return inner.left >= 0 && inner.top >= 0 && inner.left <= inner.right &&
           inner.top <= inner.bottom && inner.right <= width && inner.bottom <= height;
}

TEST(ChartLayout, StripsStayInsideInOrderAndScaleWithDpi) {
    // Client size and dpi; the plot height of a strip (every strip gets the same).
    const std::tuple<int, int, int, int> cases[] = {
        {760, 620, 96, 86}, {1520, 1240, 192, 172}, {400, 400, 96, 49},
        {120, 90, 96, 0},   {0, 0, 96, 0},
    };
    for (const auto& [w, h, dpi, strip] : cases) {
        SCOPED_TRACE(::testing::Message() << w << "x" << h << " at " << dpi);
        const chartview::Layout l = chartview::ComputeLayout(w, h, dpi);
        EXPECT_EQ(l.bar.height(), std::min(h, chartview::Scaled(chartview::kBarHeight, dpi)));
        EXPECT_EQ(l.font_px, chartview::Scaled(chartview::kFontPx, dpi));
        EXPECT_EQ(l.pen, dpi / 96);
        for (int i = 0; i < chart::kSeriesCount; ++i) {
            const Box& p = l.plot[i];
            EXPECT_TRUE(Inside(p, w, h) && Inside(l.info[i], w, h)) << i;
            EXPECT_EQ(p.height(), strip) << i;
            EXPECT_EQ(p.left, l.plot[0].left);
            EXPECT_EQ(p.right, l.plot[0].right);
            EXPECT_LE(l.info[i].right, p.left);
            if (i > 0) {
                EXPECT_GE(p.top, l.plot[i - 1].bottom) << i;
            }
        }
        EXPECT_GE(l.plot[0].top, l.bar.bottom);
        EXPECT_LE(l.plot[chart::kSeriesCount - 1].bottom, l.time_axis.top);
        EXPECT_TRUE(Inside(l.time_axis, w, h));
    }
}

TEST(ChartLayout, ValueRowsAndTimeColumns) {
    const Box plot{200, 100, 700, 161};  // 61 rows: 100 (top) to 160 (bottom)
    const chart::Scale s{0, 60, 10, 0};
    // value, row
    const std::pair<double, int> rows[] = {
        {0, 160}, {60, 100}, {30, 130}, {29.6, 130}, {29.4, 131}, {-5, 160}, {99, 100}, {NAN, 130},
    };
    for (const auto& [v, row] : rows) EXPECT_EQ(chartview::ValueRow(s, plot, v), row) << v;
    EXPECT_EQ(chartview::ValueRow(chart::Scale{5, 5, 1, 0}, plot, 5), 130) << "no height";

    // A sample lands in the column that Decimate puts it in.
    chart::Ring ring(16);
    const int64_t t0 = 1000000, t1 = t0 + 60000;
    const int columns = 500;
    const int64_t times[] = {t0, t0 + 119, t0 + 120, t0 + 30000, t1 - 1};
    for (int64_t t : times) ring.Push({t, 1.0f});
    std::vector<chart::Column> out(columns);
    chart::Decimate(ring, t0, t1, columns, out.data());
    for (int64_t t : times) {
        const int c = chartview::TimeColumn(t0, t1, columns, t);
        ASSERT_GE(c, 0) << t;
        EXPECT_TRUE(out[static_cast<std::size_t>(c)].has) << t;
    }
    EXPECT_EQ(chartview::TimeColumn(t0, t1, columns, t0 + 120), 1);
    EXPECT_EQ(chartview::TimeColumn(t0, t1, columns, t1 - 1), columns - 1);
    EXPECT_EQ(chartview::TimeColumn(t0, t1, columns, t1), -1);
    EXPECT_EQ(chartview::TimeColumn(t0, t1, columns, t0 - 1), -1);
    EXPECT_EQ(chartview::TimeColumn(t0, t0, columns, t0), -1);
}

TEST(ChartLayout, StripScaleHoldsEveryDrawnValue) {
    std::vector<chart::Column> cols(4);
    cols[1] = {true, false, 12.2f, 12.9f, 12.2f, 12.9f};
    cols[3] = {true, true, 11.6f, 12.4f, 12.4f, 11.6f};
    const chart::Scale s = chartview::StripScale(cols.data(), 4, 5);
    EXPECT_LE(s.lo, 11.6);
    EXPECT_GE(s.hi, 12.9);
    EXPECT_LE((s.hi - s.lo) / s.step + 1, 5.0 + 1e-9);
    const chart::Scale empty = chartview::StripScale(cols.data(), 1, 5);
    EXPECT_LT(empty.lo, empty.hi);
}

TEST(ChartSettings, ChartLineParsesOrIsIgnored) {
    const ChartPlace kept{1, 2, 300, 400, 1, 0};
    // The line, and whether it is taken.
    const std::pair<const char*, bool> lines[] = {
        {"chart 10 -20 800 600 3 1", true}, {"chart 10 20 800 600 2 0\n", true},
        {"chart 0 0 0 0 0 0\r\n", true},    {"chart -32768 32767 200 200 0 1", true},
        {"chart 10 20 800 600 4 1", false}, {"chart 10 20 800 600 -1 1", false},
        {"chart 10 20 800 600 0 2", false}, {"chart 10 20 199 600 0 1", false},
        {"chart 10 20 800 0 0 1", false},   {"chart 40000 20 800 600 0 1", false},
        {"chart 10 20 800 600 0", false},   {"chart 10 20 800 600 0 1 7", false},
        {"chart 10 20 800x600 0 1", false}, {"chart 1 2 3 4 5 99999999999", false},
        {"graph 10 20 800 600 0 1", false}, {"", false},
    };
    for (const auto& [line, taken] : lines) {
        ChartPlace place = kept;
        EXPECT_EQ(ParseChartLine(line, place), taken) << line;
        if (!taken) {
            EXPECT_EQ(place.width, kept.width) << line;
        }
    }
    ChartPlace place;
    ASSERT_TRUE(ParseChartLine("chart 10 -20 800 600 3 1", place));
    EXPECT_EQ(std::make_tuple(place.x, place.y, place.width, place.height, place.span, place.open),
              std::make_tuple(10, -20, 800, 600, 3, uint8_t{1}));
}

class ChartSettingsFile : public fakes::CoreTest {
  protected:
    std::string Load(const std::string& content) {
        fakes::ResetCoreState();
        std::snprintf(g_folders.szSettingsPath, sizeof g_folders.szSettingsPath, "%s/Settings",
                      dir.path().c_str());
        // On this host the backslash of "%s\%s" is an ordinary character of the file name.
        file = dir.Write("Settings\\Lum_Rax.setup", content);
        console.out.clear();
        LoadSettings();
        return console.out;
    }
    fakes::ScratchDir dir;
    std::string file;
};

TEST_F(ChartSettingsFile, OlderFilesLoadBadLinesKeepDefaultsAndSavedOnesComeBack) {
    const char* bad = "chart line of the settings file not understood";
    // An older file: port, rate and option as before, the chart at its defaults.
    EXPECT_EQ(Load("COM3\nbaudrate 9600\nreconnect 0\n").find(bad), std::string::npos);
    EXPECT_EQ(g_settings.settings_valid, 1);
    EXPECT_EQ(g_settings.settings_reconnect, 0);
    EXPECT_EQ(g_settings.chart.width, 0);
    EXPECT_EQ(g_settings.chart.open, 0);

    EXPECT_NE(Load("COM3\nbaudrate 9600\nreconnect 1\nchart 5 5 50 50 9 1\n").find(bad),
              std::string::npos);
    EXPECT_EQ(g_settings.settings_valid, 1);
    EXPECT_EQ(g_settings.chart.width, 0);
    EXPECT_EQ(g_settings.chart.span, 0);

    Load("COM3\nbaudrate 9600\nreconnect 1\nchart -1200 80 900 700 2 1\n");
    g_port.com_port_number = 3;
    g_port.com_baudrate = 9600;
    g_port.reconnect_enabled = 1;
    SaveSettings();
    EXPECT_EQ(fakes::ScratchDir::Read(file),
              "COM3\nbaudrate 9600\nreconnect 1\nchart -1200 80 900 700 2 1\n");
}

}  // namespace
