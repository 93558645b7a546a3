// AutoRead for hours of simulated time against a device that answers late, in pieces and
// with junk between its replies. Every reply it sends whole must be handed on whole (the
// parser's tests show what it makes of one), and neither the heap nor the text area may grow
// without bound.

#include <cinttypes>
#include <deque>

#include "sim/sim_port.h"
#include "tests/fakes/test_env.h"

#include <malloc.h>

// The sanitizer's own count where it runs (GCC ships no header for it), else malloc's.
extern "C" __attribute__((weak)) std::size_t __sanitizer_get_current_allocated_bytes();

namespace {

using platform::Wnd;
using sim::kMilli;
using sim::kSecond;

constexpr sim::Nanos kHour = 3600 * kSecond;

std::size_t HeapInUse() {
    if (__sanitizer_get_current_allocated_bytes == nullptr) return mallinfo2().uordblks;
    return __sanitizer_get_current_allocated_bytes();
}

// Keeps only what the controls show now: the recording fake's history would grow all day.
class LeanUi : public fakes::FakeUi {
  public:
    void SetControlText(Wnd w, std::string_view text) override { controls[w].text.assign(text); }
    void AppendText(Wnd w, std::string_view text) override {
        controls[w].text.append(text);
        if (w == g_link_ui.hWndComText) area_peak = std::max(area_peak, controls[w].text.size());
    }
    std::size_t area_peak = 0;
};

// What the run saw on the program's side of the line.
struct Tally {
    std::deque<std::pair<std::string, std::string>> in_flight;  // register, reply sent whole
    uint64_t handed_on = 0, whole = 0, measurements = 0, lost = 0;
} t;

// The reply as the pump hands it on: LF CR turned into CR LF, STX and ETX into LF.
std::string AsDisplayed(std::string s) {
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\n' && i + 1 < s.size() && s[i + 1] == '\r') {
            s[i] = '\r';
            s[++i] = '\n';
        }
        if (s[i] == '\x02' || s[i] == '\x03') s[i] = '\n';
    }
    return s;
}

void CountingParse(char* reply, uint32_t count) {
    ++t.handed_on;
    std::size_t k = 0;
    while (k < t.in_flight.size() && AsDisplayed(t.in_flight[k].second) != reply) ++k;
    if (k == t.in_flight.size()) return ParseDeviceReply(reply, count);
    // Whole replies sent before this one that were not handed on are lost.
    t.lost += k;
    const std::string reg = t.in_flight[k].first;
    t.in_flight.erase(t.in_flight.begin(),
                      t.in_flight.begin() + static_cast<std::ptrdiff_t>(k + 1));
    ++t.whole;
    ParseDeviceReply(reply, count);
    if (reg == "Wi" || reg == "Wt" || reg == "Wu" || reg == "Pi") ++t.measurements;
}

void AutoReadFor(sim::Nanos length) {
    // At 38400 bps the program ends a reply after 11 silent ticks (110 to 120 ms). The
    // pauses inside a reply stay well below that, the silence around it well above.
    sim::Scenario s;
    s.seed = 20240305;
    sim::Faults& f = s.faults;
    f.quiet = 150 * kMilli;
    f.reply_jitter = 300 * kMilli;
    f.split_gap = 40 * kMilli;
    f.burst_period = 3 * kSecond;
    f.burst_bytes = 200;
    f.break_every = 97;
    f.break_gap = 150 * kMilli;
    sim::Device dev(s);
    sim::SimSerialPort port(dev);
    port.set_keep_writes(false);
    LeanUi ui;
    fakes::FakeSystem system;
    platform::SetEnv(platform::Env{&ui, &port, &system, nullptr});
    fakes::ResetCoreState();
    t = Tally{};
    dev.set_reply_watch([](const std::string& reg, const std::string& bytes, bool whole) {
        if (whole) t.in_flight.emplace_back(reg, bytes);
    });
    g_rx_consumers.parse_reply = CountingParse;

    const Wnd page = ui.NewWindow("page");
    CreateComPageControls(page);
    CreateGeneratorPage(page);
    ui.controls[g_link_ui.hWndBaudSelect].selection = 6;
    const auto click = [page](uint16_t id) {
        PageCommand(page, platform::MakeWParam(id, 0), nullptr);
    };
    PageCommand(page, platform::MakeWParam(1035, platform::kCbnSelEndOk), nullptr);  // 38400 bps
    click(1036);
    click(1095);  // AutoRead on
    // One step of a 5 ms clock drives the three timers at their periods.
    uint64_t steps = 0;
    const auto run_for = [&](sim::Nanos span) {
        for (sim::Nanos i = 0; i < span; i += 5 * kMilli) {
            port.Advance(5 * kMilli);
            ++steps;
            if (steps % 2 == 0) ReceiveTimerProc(page);
            if (steps % 4 == 0) RegLinePollTimerProc(page);
            if (steps % 5 == 0) AutoReadTimerProc(page);
        }
    };
    // A minute to settle: the start-up reads are done, the text area has its first junk.
    run_for(60 * kSecond);
    const auto area = [&ui] { return ui.controls[g_link_ui.hWndComText].text.capacity(); };
    const std::size_t base = HeapInUse() - area();
    std::size_t peak = base;
    for (sim::Nanos done = 60 * kSecond; done < length; done += 60 * kSecond) {
        run_for(60 * kSecond);
        peak = std::max(peak, HeapInUse() - area());
    }
    click(1095);  // AutoRead off, and the line drains: every reply on its way arrives
    run_for(5 * kSecond);

    const sim::Device::LineCount& sent = dev.line_count();
    const uint64_t hours = static_cast<uint64_t>(length / kHour);
    std::printf("device: %" PRIu64 " whole, %" PRIu64 " broken; handed on %" PRIu64
                "; heap %zu KiB, at most %zu; text area peak %zu\n",
                sent.whole, sent.broken, t.handed_on, base / 1024, peak / 1024, ui.area_peak);
    // Every reply sent whole was handed on whole, in order.
    EXPECT_EQ(t.whole, sent.whole);
    EXPECT_EQ(t.lost, 0u);
    EXPECT_TRUE(t.in_flight.empty()) << t.in_flight.front().first << " never arrived whole";
    // AutoRead kept reading all along (one measurement about every 1.025 s).
    EXPECT_GE(t.measurements, hours * 2000u);
    // The clutter happened: broken replies and junk, some of it passing for a reply; nothing
    // else passed for one.
    EXPECT_GE(sent.broken, hours * 30u);
    EXPECT_GE(sent.bursts_etx, hours * 500u);
    EXPECT_GT(t.handed_on, t.whole);
    EXPECT_LE(t.handed_on - t.whole, sent.broken + sent.bursts_etx);
    // Bounded: the text area by its limit, the rest of the heap by what it held after the
    // first minute (a leak of a few bytes a reply would show within the hour).
    EXPECT_LE(ui.area_peak, kComTextLimit);
    EXPECT_LE(peak, base + 64 * 1024);
    EXPECT_TRUE(ui.boxes.empty());
    EXPECT_EQ(g_port.com_port_open, 1);  // the port stayed open all along
    click(1036);
    WireDevice();
    fakes::ResetCoreState();
    platform::SetEnv(platform::Env{});
}

TEST(AutoReadDay, OneHour) {
    AutoReadFor(kHour);
}

// 8.64 million receive ticks; run on request (see the README).
TEST(AutoReadDay, FullDay) {
    AutoReadFor(24 * kHour);
}

}  // namespace
