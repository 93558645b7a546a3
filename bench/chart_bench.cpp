// A redraw of the chart's longest span: 24 h of the six series, a full ring of 86,400 samples
// each, reduced to the pixel columns of a wide window; and what a sample costs the recorder.
#include <benchmark/benchmark.h>

#include <cmath>
#include <vector>

#include "chart/chart.h"
#include "generator/reply_parser.h"

namespace {

constexpr int64_t kDayMs = 86400000;

// Full rings, one sample a second, a port reopened every few hours.
void Fill(chart::Recorder& r) {
    Readings readings;
    for (std::size_t i = 0; i < chart::Recorder::kCapacity; ++i) {
        const int64_t t = static_cast<int64_t>(i) * 1000;
        if (i % 10000 == 5000) r.OnPortOpened(t);
        ++readings.replies;
        for (int s = 0; s < chart::kSeriesCount; ++s) {
            Reading& reading = readings.values[static_cast<int>(chart::kSeries[s].quantity)];
            reading.value = 20 + s + 5 * std::sin(static_cast<double>(i) / (50 + s));
            reading.reply = readings.replies;
        }
        r.OnReply(readings, t);
    }
}

void BM_Decimate24h(benchmark::State& state) {
    static chart::Recorder recorder;
    static bool filled = false;
    if (!filled) Fill(recorder);
    filled = true;
    const int columns = static_cast<int>(state.range(0));
    std::vector<chart::Column> out(static_cast<std::size_t>(columns));
    const int64_t end = recorder.series(0)[recorder.series(0).size() - 1].t_ms + 1;
    for (auto _ : state) {
        for (int s = 0; s < chart::kSeriesCount; ++s)
            chart::Decimate(recorder.series(s), end - kDayMs, end, columns, out.data());
        benchmark::DoNotOptimize(out.data());
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * chart::kSeriesCount *
                            static_cast<int64_t>(chart::Recorder::kCapacity));
}
BENCHMARK(BM_Decimate24h)->Arg(1000)->Arg(3840)->Unit(benchmark::kMillisecond);

// One reply with all six readings: what AutoRead's cycle adds to the reply parser's work.
void BM_RecorderOnReply(benchmark::State& state) {
    static chart::Recorder recorder;
    Readings readings;
    int64_t t = 0;
    for (auto _ : state) {
        ++readings.replies;
        for (int s = 0; s < chart::kSeriesCount; ++s) {
            Reading& reading = readings.values[static_cast<int>(chart::kSeries[s].quantity)];
            reading.value = s;
            reading.reply = readings.replies;
        }
        recorder.OnReply(readings, t += 1000);
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}
BENCHMARK(BM_RecorderOnReply);

}  // namespace

BENCHMARK_MAIN();
