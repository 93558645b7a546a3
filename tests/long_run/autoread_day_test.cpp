// AutoRead for hours of simulated time against a device that answers late, in pieces and
// with junk between its replies. Every reply it sends whole must be handed on whole and
// shown right, and neither the heap nor the text area may grow without bound.
#include <gtest/gtest.h>

#include <sys/resource.h>

#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <deque>
#include <string>

#include "app/com_page.h"
#include "generator/autoread.h"
#include "generator/gen_commands.h"
#include "generator/gen_page.h"
#include "generator/reply_parser.h"
#include "platform/env.h"
#include "platform/page.h"
#include "serial/port.h"
#include "serial/receive_pump.h"
#include "serial/reg_console.h"
#include "sim/sim_port.h"
#include "tests/fakes/test_env.h"

#if defined(__SANITIZE_ADDRESS__)
#define LRX_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define LRX_ASAN 1
#endif
#endif
#if defined(LRX_ASAN)
// The sanitizer's own count (GCC ships no header for it).
extern "C" std::size_t __sanitizer_get_current_allocated_bytes();
#else
#include <malloc.h>
#endif

namespace {

using platform::MakeWParam;
using platform::Wnd;
using sim::kMilli;
using sim::kSecond;

constexpr sim::Nanos kHour = 3600 * kSecond;

// Bytes on the heap now, as the allocator in use counts them.
std::size_t HeapInUse() {
#if defined(LRX_ASAN)
    return __sanitizer_get_current_allocated_bytes();
#else
    return mallinfo2().uordblks;
#endif
}

// Keeps only what the controls show now: the recording fake's history would grow all day.
class LeanUi : public fakes::FakeUi {
  public:
    void SetControlText(Wnd w, std::string_view text) override {
        controls[w].text.assign(text);
        NoteArea(w);
    }
    void AppendText(Wnd w, std::string_view text) override {
        controls[w].text.append(text);
        NoteArea(w);
    }
    std::size_t AreaCapacity() { return controls[g_com.hWndComText].text.capacity(); }
    std::size_t area_peak = 0;

  private:
    void NoteArea(Wnd w) {
        if (w == g_com.hWndComText) area_peak = std::max(area_peak, controls[w].text.size());
    }
};

class CountingConsole : public platform::Console {
  public:
    void Write(const char*, std::size_t len) override { bytes += len; }
    void Release() override {}
    uint64_t bytes = 0;
};

// The reply as the pump hands it on: LF CR turned into CR LF, STX and ETX into LF.
std::string AsDisplayed(const std::string& raw) {
    std::string s = raw;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\n' && i + 1 < s.size() && s[i + 1] == '\r') {
            s[i] = '\r';
            s[i + 1] = '\n';
            ++i;
        }
        if (s[i] == '\x02' || s[i] == '\x03') s[i] = '\n';
    }
    return s;
}

std::string Shown(const char* fmt, float v) {
    char buf[64];
    std::snprintf(buf, sizeof buf, fmt, static_cast<double>(v));
    return buf;
}

// The measurement fields that each AutoRead reply fills, and how the device's own text
// reads: scanned from its key as the page's table scans it, shown in the page's format.
struct Field {
    const char* reg;
    Wnd GenPageHandles::*field;
    const char *key, *scan, *shown;
};
const Field kFields[] = {
    {"Wi", &GenPageHandles::hWndAntVpeak, "VOLT: ", "%*s %f", "%.2fVp"},
    {"Wi", &GenPageHandles::hWndAntIpeak, "VOLT: ", "%*s %*f %*s %*s %f", "%.2fAp"},
    {"Wt", &GenPageHandles::hWndPcbTemp, "TMP10", "%*s %*s %f", "%.1f\260C"},
    {"Wu", &GenPageHandles::hWndVsupply, "VINF:", "%*s %f", "%.2fV"},
    {"Pi", &GenPageHandles::hWndAntIavg, "ADC2, IANT", "%*s %*s %f", "%.3fA"},
    {"Pi", &GenPageHandles::hWndAntPavg, "Power: ", "%*s %f", "%.2fW"},
};

struct Expected {
    std::string reg, raw, displayed;
};

// What the run saw on the program's side of the line.
struct Tally {
    std::deque<Expected> in_flight;  // sent whole by the device, not yet handed on
    uint64_t handed_on = 0;          // replies the pump passed to the parser
    uint64_t whole = 0;              // ... that were a whole reply of the device
    uint64_t measurements = 0;       // ... of them measurements, their fields checked
    uint64_t lost = 0;               // whole replies overtaken by a later one
    uint64_t fields_wrong = 0;
    std::string first_wrong;
    LeanUi* ui = nullptr;
};
Tally* tally = nullptr;

void CountingParse(char* reply, uint32_t count) {
    Tally& t = *tally;
    ++t.handed_on;
    std::size_t k = 0;
    while (k < t.in_flight.size() && t.in_flight[k].displayed != reply) ++k;
    if (k == t.in_flight.size()) {
        ParseDeviceReply(reply, count);
        return;
    }
    // Whole replies sent before this one that were not handed on are lost.
    t.lost += k;
    const Expected e = t.in_flight[k];
    t.in_flight.erase(t.in_flight.begin(),
                      t.in_flight.begin() + static_cast<std::ptrdiff_t>(k + 1));
    ++t.whole;
    // Marked first, so a field that the parser leaves alone cannot pass for a right one.
    for (const Field& f : kFields) {
        if (e.reg == f.reg) t.ui->controls[g_gen.*f.field].text = "?";
    }
    ParseDeviceReply(reply, count);
    bool measurement = false;
    for (const Field& f : kFields) {
        if (e.reg != f.reg) continue;
        measurement = true;
        float v = -999;
        std::sscanf(e.raw.c_str() + e.raw.find(f.key), f.scan, &v);
        const std::string want = Shown(f.shown, v);
        const std::string got = t.ui->controls[g_gen.*f.field].text;
        if (got != want && t.fields_wrong++ == 0) {
            t.first_wrong = e.reg + ": " + got + " instead of " + want;
        }
    }
    if (measurement) ++t.measurements;
}

class AutoReadDay : public ::testing::Test {
  protected:
    void SetUp() override {
        platform::SetEnv(platform::Env{&ui_, &serial_, &system_, &console_});
        fakes::ResetCoreState();
    }
    void TearDown() override {
        g_rx_consumers = RxConsumers::Defaults();
        tally = nullptr;
        fakes::ResetCoreState();
        platform::SetEnv(platform::Env{});
    }

    void Run(sim::Nanos length) {
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
        platform::SetEnv(platform::Env{&ui_, &port, &system_, &console_});

        Tally t;
        t.ui = &ui_;
        tally = &t;
        dev.set_reply_watch([&t](const std::string& reg, const std::string& bytes, bool whole) {
            if (whole) t.in_flight.push_back({reg, bytes, AsDisplayed(bytes)});
        });
        g_rx_consumers.parse_reply = CountingParse;

        const Wnd page = ui_.NewWindow("page");
        CreateComPageControls(page);
        CreateGeneratorPage(page);
        ui_.controls[g_com.hWndBaudSelect].selection = 6;
        BaudSelect_process(MakeWParam(1035, platform::kCbnSelEndOk), g_com.hWndBaudSelect);
        ASSERT_EQ(g_port.COM_timeout_max, 10u);
        button_COM_StartStop_process(page, MakeWParam(1036, platform::kBnClicked), nullptr);
        ASSERT_EQ(g_port.com_port_open, 1);
        button_AutoRead_process(page, MakeWParam(1095, platform::kBnClicked), nullptr);

        // One step of a 5 ms clock drives the three timers at their periods.
        uint64_t steps = 0, receive_ticks = 0;
        auto run_for = [&](sim::Nanos span) {
            for (sim::Nanos i = 0; i < span; i += 5 * kMilli) {
                port.Advance(5 * kMilli);
                ++steps;
                if (steps % 2 == 0) {
                    ReceiveTimerProc(page);
                    ++receive_ticks;
                }
                if (steps % 4 == 0) RegLinePollTimerProc(page);
                if (steps % 5 == 0) AutoReadTimerProc(page);
            }
        };

        const auto started = std::chrono::steady_clock::now();
        // A minute to settle: the start-up reads are done, the text area has its first junk.
        run_for(60 * kSecond);
        const std::size_t base = HeapInUse() - ui_.AreaCapacity();
        std::size_t heap_peak = HeapInUse();
        std::size_t other_peak = base;
        for (sim::Nanos done = 60 * kSecond; done < length; done += 60 * kSecond) {
            run_for(60 * kSecond);
            const std::size_t heap = HeapInUse();
            heap_peak = std::max(heap_peak, heap);
            other_peak = std::max(other_peak, heap - ui_.AreaCapacity());
        }
        // AutoRead off, and the line drains: every reply still on its way arrives.
        button_AutoRead_process(page, MakeWParam(1095, platform::kBnClicked), nullptr);
        run_for(5 * kSecond);
        const double wall =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();

        const sim::Device::LineCount& sent = dev.line_count();
        const uint64_t hours = static_cast<uint64_t>(length / kHour);
        rusage usage{};
        getrusage(RUSAGE_SELF, &usage);
        std::printf("simulated %.2f h, %" PRIu64 " receive ticks, %.1f s wall\n",
                    static_cast<double>(dev.now()) / kHour, receive_ticks, wall);
        std::printf("device: %" PRIu64 " replies sent whole, %" PRIu64
                    " broken on purpose, %" PRIu64 " junk bursts (%" PRIu64 " ending in ETX)\n",
                    sent.whole, sent.broken, sent.bursts, sent.bursts_etx);
        std::printf("program: %" PRIu64 " replies handed on, %" PRIu64 " of them whole (%" PRIu64
                    " lost), %" PRIu64 " measurements checked, %" PRIu64 " console bytes\n",
                    t.handed_on, t.whole, t.lost, t.measurements, console_.bytes);
        std::printf(
            "heap in use: peak %zu KiB, text area aside %zu KiB after the first minute "
            "and %zu KiB at most; text area peak %zu characters (limit %zu); max RSS "
            "%ld KiB\n",
            heap_peak / 1024, base / 1024, other_peak / 1024, ui_.area_peak, kComTextLimit,
            usage.ru_maxrss);

        // Every reply sent whole was handed on whole, in order, and shown as the device said.
        EXPECT_EQ(t.whole, sent.whole);
        EXPECT_EQ(t.lost, 0u);
        EXPECT_TRUE(t.in_flight.empty()) << t.in_flight.front().reg << " never arrived whole";
        EXPECT_EQ(t.fields_wrong, 0u) << t.first_wrong;
        // AutoRead kept reading all along (one measurement about every 1.025 s).
        EXPECT_GE(t.measurements, hours * 2000u);
        // The clutter happened: broken replies and junk, some of it passing for a reply.
        EXPECT_GE(sent.broken, hours * 30u);
        EXPECT_GE(sent.bursts_etx, hours * 500u);
        EXPECT_GT(t.handed_on, t.whole);
        // Nothing else passed for a reply: junk or a broken reply's tail, each ending in ETX.
        EXPECT_LE(t.handed_on - t.whole, sent.broken + sent.bursts_etx);
        // Bounded: the text area by its limit, the rest of the heap by what it held after
        // the first minute (a leak of a few bytes a reply would show within the hour).
        EXPECT_LE(ui_.area_peak, kComTextLimit);
        EXPECT_LE(other_peak, base + 64 * 1024);
        EXPECT_TRUE(ui_.boxes.empty());
        // The port stayed open all along.
        ASSERT_EQ(g_port.com_port_open, 1);
        button_COM_StartStop_process(page, MakeWParam(1036, platform::kBnClicked), nullptr);
    }

    LeanUi ui_;
    fakes::FakeSerial serial_;
    fakes::FakeSystem system_;
    CountingConsole console_;
};

TEST_F(AutoReadDay, OneHour) {
    Run(kHour);
}

// 8.64 million receive ticks; run on request (see the README).
TEST_F(AutoReadDay, FullDay) {
    Run(24 * kHour);
}

}  // namespace
