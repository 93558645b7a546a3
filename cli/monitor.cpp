#include "cli/monitor.h"

#include <array>
#include <cmath>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "cli/commands.h"
#include "cli/output_file.h"
#include "generator/autoread.h"
#include "generator/gen_commands.h"
#include "generator/reply_parser.h"
#include "platform/env.h"
#include "platform/text_format.h"
#include "page/control_ids.h"

namespace cli {

// In the order of the CSV columns.
const MeasurementColumn kMeasurementColumns[kMeasurementCount] = {
    {"vpeak_V", Quantity::kAntVpeak, 2},  {"ipeak_A", Quantity::kAntIpeak, 2},
    {"vsupply_V", Quantity::kVsupply, 2}, {"iavg_A", Quantity::kAntIavg, 3},
    {"pavg_W", Quantity::kAntPavg, 2},    {"pcb_temp_C", Quantity::kPcbTemp, 1},
};

std::string ReadingValue(const Reading& r, int decimals, uint32_t mark) {
    if (r.reply <= mark || !std::isfinite(r.value)) return {};
    char buf[64];
    if (!FormatBounded(buf, sizeof buf, "%.*f", decimals, r.value)) return {};
    return buf;
}

std::string IsoTime(const platform::LocalTime& t) {
    char buf[32];
    if (!FormatBounded(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d", t.year, t.month, t.day,
                       t.hour, t.minute, t.second))
        return {};
    return buf;
}

namespace {

constexpr int64_t kNsPerSecond = 1000 * kNsPerMs;

class Monitor {
  public:
    explicit Monitor(Context& ctx) : ctx_(ctx), live_(IsTerminal(2) && !ctx.out.json()) {}

    int Run();

  private:
    // The reply that last reported each column.
    std::array<unsigned, kMeasurementCount> Counts() const {
        std::array<unsigned, kMeasurementCount> c{};
        for (int i = 0; i < kMeasurementCount; ++i)
            c[i] = g_readings[kMeasurementColumns[i].quantity].reply;
        return c;
    }
    std::array<std::string, kMeasurementCount> Values() const {
        std::array<std::string, kMeasurementCount> v;
        for (int i = 0; i < kMeasurementCount; ++i) {
            const MeasurementColumn& col = kMeasurementColumns[i];
            v[i] = ReadingValue(g_readings[col.quantity], col.decimals, mark_);
        }
        return v;
    }
    // Called after every tick; false when the output cannot take more.
    bool Tick();
    bool Row();
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
};

bool Monitor::Row() {
    const std::string time = IsoTime(platform::Sys().Now());
    const auto values = Values();
    std::string line = time;
    for (const std::string& v : values) line += "," + v;
    line += "\n";
    ++rows_;
    if (csv_.is_open() && !csv_.Write(line)) {
        csv_failed_ = true;
        return false;
    }
    if (ctx_.out.json()) {
        JsonLine j("row");
        j.Str("time", time);
        for (int i = 0; i < kMeasurementCount; ++i)
            j.Number(kMeasurementColumns[i].name, values[i]);
        ctx_.out.Emit(j);
    } else if (csv_to_stdout_) {
        ClearLive();
        ctx_.out.Write(line);
    }
    return ctx_.out.Healthy();
}

void Monitor::DrawLive() {
    const auto v = Values();
    auto show = [](const std::string& s) { return s.empty() ? std::string("-") : s; };
    std::string line = "\r" + IsoTime(platform::Sys().Now()).substr(11) + "  Vp " + show(v[0]) +
                       " V  Ip " + show(v[1]) + " A  Vin " + show(v[2]) + " V  Iavg " + show(v[3]) +
                       " A  Pavg " + show(v[4]) + " W  PCB " + show(v[5]) + " C  rows " +
                       std::to_string(rows_) + "\x1b[K";
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

bool Monitor::Tick() {
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
    s.set_reconnect(opt.reconnect);
    for (;;) {
        rc = s.Wait([&]() {
            if (!Tick()) output_failed_ = true;
            return output_failed_ || time_up();
        });
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
