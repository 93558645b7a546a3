#include "cli/monitor.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "cli/commands.h"
#include "chart/chart.h"
#include "cli/output_file.h"
#include "generator/autoread.h"
#include "generator/gen_commands.h"
#include "generator/reply_parser.h"
#include "platform/env.h"
#include "platform/text_format.h"
#include "page/control_ids.h"

namespace cli {

std::string ReadingValue(const Reading& r, int decimals, uint32_t mark) {
    if (r.reply <= mark) return {};
    return chart::FormatValue(r.value, decimals);
}

namespace {

std::string NowIso() {
    return chart::IsoTime(chart::LocalMs(platform::Sys().Now()));
}

constexpr int64_t kNsPerSecond = 1000 * kNsPerMs;

class Monitor {
  public:
    explicit Monitor(Context& ctx)
        : ctx_(ctx), live_(IsTerminal(2) && !ctx.out.json()), writes_(ctx.opt.write_at) {
        std::stable_sort(writes_.begin(), writes_.end(),
                         [](const WriteAt& a, const WriteAt& b) { return a.seconds < b.seconds; });
    }

    int Run();

  private:
    // The reply that last reported each column.
    std::array<unsigned, kMeasurementCount> Counts() const {
        std::array<unsigned, kMeasurementCount> c{};
        for (int i = 0; i < kMeasurementCount; ++i)
            c[i] = g_readings[chart::kSeries[i].quantity].reply;
        return c;
    }
    std::array<std::string, kMeasurementCount> Values() const {
        std::array<std::string, kMeasurementCount> v;
        for (int i = 0; i < kMeasurementCount; ++i) {
            const chart::SeriesInfo& col = chart::kSeries[i];
            v[i] = ReadingValue(g_readings[col.quantity], col.decimals, mark_);
        }
        return v;
    }
    // Called after every tick; false when the output cannot take more.
    bool Tick(Session& s);
    bool Row();
    // A line into the CSV file, or to standard output when the rows go there.
    bool Put(const std::string& line);
    bool MarkerRows();
    bool Writes(Session& s);
    void DrawLive();
    void ClearLive();
    // The CSV file put in place of the one named, for a run that measured or ended well.
    int KeepCsv(int rc);

    Context& ctx_;
    bool live_;
    bool live_shown_ = false;
    OutputFile csv_;
    bool csv_to_stdout_ = false;
    bool csv_failed_ = false;
    bool output_failed_ = false;
    std::array<unsigned, kMeasurementCount> row_base_{};
    std::array<unsigned, kMeasurementCount> drawn_{};
    unsigned rows_ = 0;
    uint32_t mark_ = 0;  // the reply count at the opening: older readings are not this run's
    uint64_t markers_seen_ = 0;
    std::vector<WriteAt> writes_;  // by time
    std::size_t next_write_ = 0;
    int64_t measuring_since_ = 0;
    int write_rc_ = kExitDone;  // a --write-at command that failed
};

bool Monitor::Row() {
    const std::string time = NowIso();
    const auto values = Values();
    std::string line = time;
    for (const std::string& v : values) line += "," + v;
    line += ",\n";
    ++rows_;
    if (!Put(line)) return false;
    if (ctx_.out.json()) {
        JsonLine j("row");
        j.Str("time", time);
        for (int i = 0; i < kMeasurementCount; ++i) j.Number(chart::kSeries[i].csv, values[i]);
        ctx_.out.Emit(j);
    }
    return ctx_.out.Healthy();
}

bool Monitor::Put(const std::string& line) {
    if (csv_.is_open() && !csv_.Write(line)) {
        csv_failed_ = true;
        return false;
    }
    if (csv_to_stdout_ && !ctx_.out.json()) {
        ClearLive();
        ctx_.out.Write(line);
    }
    return true;
}

// The markers that the recorder took since the last call, each a row of its own.
bool Monitor::MarkerRows() {
    const uint64_t count = chart::g_chart.marker_count();
    const std::vector<chart::Marker>& markers = chart::g_chart.markers();
    // Fewer than noted: the recorder was cleared; more than it keeps: the oldest are gone.
    if (count < markers_seen_) markers_seen_ = 0;
    const uint64_t fresh = std::min<uint64_t>(count - markers_seen_, markers.size());
    markers_seen_ = count;
    for (std::size_t i = markers.size() - fresh; i < markers.size(); ++i) {
        const chart::Marker& m = markers[i];
        const std::string time = chart::IsoTime(m.t_ms);
        if (!Put(time + ",,,,,,," + chart::CsvField(m.label) + "\n")) return false;
        if (ctx_.out.json())
            ctx_.out.Emit(JsonLine("marker").Str("time", time).Str("label", m.label));
    }
    return ctx_.out.Healthy();
}

// The --write-at commands whose time has come.
bool Monitor::Writes(Session& s) {
    const int64_t since = ctx_.ticks.clock().NowNs() - measuring_since_;
    while (next_write_ < writes_.size() &&
           since >= static_cast<int64_t>(writes_[next_write_].seconds) * kNsPerSecond) {
        const int rc = s.RegisterCommand(true, writes_[next_write_++].reg);
        if (rc != kExitDone) {
            write_rc_ = rc;
            return false;
        }
    }
    return true;
}

void Monitor::DrawLive() {
    const auto v = Values();
    auto show = [](const std::string& s) { return s.empty() ? std::string("-") : s; };
    std::string line = "\r" + NowIso().substr(11) + "  Vp " + show(v[0]) + " V  Ip " + show(v[1]) +
                       " A  Vin " + show(v[2]) + " V  Iavg " + show(v[3]) + " A  Pavg " +
                       show(v[4]) + " W  PCB " + show(v[5]) + " C  rows " + std::to_string(rows_) +
                       "\x1b[K";
    std::fputs(line.c_str(), stderr);
    std::fflush(stderr);
    live_shown_ = true;
}

void Monitor::ClearLive() {
    if (!live_shown_) return;
    std::fputs("\r\x1b[K", stderr);
    std::fflush(stderr);
    live_shown_ = false;
}

bool Monitor::Tick(Session& s) {
    if (!Writes(s)) return false;
    if (!MarkerRows()) return false;
    const auto counts = Counts();
    bool complete = true;
    for (int i = 0; i < kMeasurementCount; ++i) complete = complete && counts[i] > row_base_[i];
    if (complete) {
        row_base_ = counts;
        if (!Row()) return false;
    }
    if (live_ && counts != drawn_) {
        drawn_ = counts;
        DrawLive();
    }
    return true;
}

int Monitor::KeepCsv(int rc) {
    std::string reason;
    if (csv_.is_open() && !csv_.Keep(reason))
        ctx_.out.FailLater(kExitLocalFile, "cannot write " + ctx_.opt.csv_file + ": " + reason);
    return rc;
}

int Monitor::Run() {
    const Options& opt = ctx_.opt;
    // The rows go into a file of this run: the one named is not touched before the end.
    if (!opt.csv_file.empty()) {
        std::string reason;
        if (!csv_.Open(opt.csv_file, reason)) {
            return ctx_.out.Fail(kExitLocalFile, "cannot create " + opt.csv_file + ": " + reason);
        }
        csv_.Write(std::string(kCsvHeader) + "\n");
    }
    csv_to_stdout_ = !csv_.is_open() && !ctx_.out.json();

    Session s(ctx_);
    int rc = s.Open(true);
    if (rc != kExitDone) return rc;
    mark_ = s.replies_at_open();
    Clock& clock = ctx_.ticks.clock();
    const int64_t end = opt.seconds > 0 ? clock.NowNs() + opt.seconds * kNsPerSecond : -1;
    auto time_up = [&]() { return end >= 0 && clock.NowNs() >= end; };

    rc = s.Wait([&]() { return s.StartUpReadsDone() || time_up(); });
    if (rc == kExitInterrupted || time_up()) return KeepCsv(kExitDone);
    if (rc != kExitDone) return rc;
    if (g_dev.uCisBootloader == 1)
        return ctx_.out.Fail(kExitDevice, "the device runs its bootloader: no measurements");

    // The header once the device is known to measure, so that a refused run writes nothing.
    if (csv_to_stdout_) ctx_.out.Write(std::string(kCsvHeader) + "\n");
    button_AutoRead_process(s.page(), platform::MakeWParam(id::kAutoRead, platform::kBnClicked),
                            nullptr);
    row_base_ = Counts();
    drawn_ = row_base_;
    measuring_since_ = clock.NowNs();
    // Only the commands of this run are its markers.
    markers_seen_ = chart::g_chart.marker_count();
    s.set_reconnect(opt.reconnect);
    for (;;) {
        rc = s.Wait([&]() {
            if (!Tick(s) && write_rc_ == kExitDone) output_failed_ = true;
            return output_failed_ || write_rc_ != kExitDone || time_up();
        });
        if (write_rc_ != kExitDone) rc = write_rc_;
        if (rc != kLineLost) break;
        rc = s.AwaitReturn(time_up);
        if (rc != kExitDone || time_up()) break;
        // A row only from values read after the return: none is made up across the gap.
        row_base_ = Counts();
    }
    ClearLive();
    if (csv_failed_) {
        std::string reason;
        csv_.Keep(reason);  // refused for the failed write; only the reason is wanted
        return ctx_.out.Fail(kExitLocalFile, "cannot write " + opt.csv_file + ": " + reason +
                                                 " (the file is left as it was)");
    }
    // Its line is given when standard output is closed.
    if (output_failed_) return KeepCsv(kExitLocalFile);
    // The rows of a run that measured are kept however it ended: Ctrl-C, --seconds, a lost
    // port or a device that stopped answering.
    return KeepCsv(rc == kExitInterrupted ? kExitDone : rc);
}

}  // namespace

int RunMonitor(Context& ctx) {
    Monitor m(ctx);
    return m.Run();
}

}  // namespace cli
