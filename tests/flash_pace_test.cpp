// The pace of a transfer's records: the decision of the answer's pace fed event by event, and
// whole runs of lumrax flash against the simulated device on a clock that moves only when the
// program waits, so every run is the same.
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "cli/flash_pace.h"
#include "cli/headless_ui.h"
#include "cli/options.h"
#include "cli/output.h"
#include "cli/tick_loop.h"
#include "cli/update.h"
#include "sim/device.h"
#include "sim/sim_port.h"
#include "tests/fakes/fake_system.h"
#include "tests/fakes/test_env.h"
#include "tests/hex_builder.h"

namespace {

constexpr int64_t kMs = cli::kNsPerMs;
constexpr int64_t kUs = 1000;

using Step = cli::AckPace::Step;
using cli::FallBack;

// One event and what the decision must make of it.
struct Event {
    char what;  // 's' a record of 24 bytes sent, 'l' the letter `letter` came, 'k' a look
    int64_t at;
    char letter;
    Step step;  // of 'l' and 'k'
};

struct PaceCase {
    const char* name;
    int64_t gap;
    std::vector<Event> events;
    bool acking;
    FallBack fell_back;
    int64_t send_at;  // then; -1: no 'w' held
    int64_t wake_at;
};

// At 38400 bps a record of 24 bytes is 6.25 ms on the line; late is 50 ms after its end.
TEST(AckPaceTest, DecidesFromTheLettersAndTheirTimes) {
    const int64_t end = 6250 * kUs;
    const PaceCase cases[] = {
        {"a w holds the next record until it comes",
         1 * kMs,
         {{'s', 0, 0, Step::kNone}, {'l', 8800 * kUs, 'w', Step::kHold}},
         true,
         FallBack::kNone,
         8800 * kUs,
         8800 * kUs},
        {"an early w waits out the gap behind the record",
         1 * kMs,
         {{'s', 0, 0, Step::kNone}, {'l', 6500 * kUs, 'w', Step::kHold}},
         true,
         FallBack::kNone,
         end + 1 * kMs,
         end + 1 * kMs},
        {"no gap",
         0,
         {{'s', 0, 0, Step::kNone}, {'l', 6500 * kUs, 'w', Step::kHold}},
         true,
         FallBack::kNone,
         6500 * kUs,
         6500 * kUs},
        {"a resend request falls back",
         1 * kMs,
         {{'s', 0, 0, Step::kNone}, {'l', 30 * kMs, 'c', Step::kFallBack}},
         false,
         FallBack::kResend,
         -1,
         -1},
        {"another letter falls back",
         1 * kMs,
         {{'s', 0, 0, Step::kNone}, {'l', 9 * kMs, 'W', Step::kFallBack}},
         false,
         FallBack::kLetter,
         -1,
         -1},
        {"the end is handed on at the answer's pace",
         1 * kMs,
         {{'s', 0, 0, Step::kNone}, {'l', 9 * kMs, 'n', Step::kHandOn}},
         true,
         FallBack::kNone,
         -1,
         -1},
        {"no letter for 50 ms after the record's end falls back",
         1 * kMs,
         {{'s', 0, 0, Step::kNone},
          {'k', end + 50 * kMs, 0, Step::kNone},
          {'k', end + 50 * kMs + 1, 0, Step::kFallBack}},
         false,
         FallBack::kLate,
         -1,
         -1},
        {"a w later than that falls back too",
         1 * kMs,
         {{'s', 0, 0, Step::kNone}, {'l', end + 51 * kMs, 'w', Step::kFallBack}},
         false,
         FallBack::kLate,
         -1,
         -1},
        {"a letter with no record out is nobody's",
         1 * kMs,
         {{'l', 5 * kMs, 'w', Step::kNone}, {'k', 500 * kMs, 0, Step::kNone}},
         true,
         FallBack::kNone,
         -1,
         -1},
        {"awaiting: wakes when the letter is late",
         1 * kMs,
         {{'s', 0, 0, Step::kNone}},
         true,
         FallBack::kNone,
         -1,
         end + 50 * kMs + 1},
        {"the next record is awaited afresh",
         1 * kMs,
         {{'s', 0, 0, Step::kNone},
          {'l', 8800 * kUs, 'w', Step::kHold},
          {'s', 9 * kMs, 0, Step::kNone},
          {'k', 9 * kMs + end + 50 * kMs, 0, Step::kNone}},
         true,
         FallBack::kNone,
         -1,
         9 * kMs + end + 50 * kMs + 1},
        {"fallen back, nothing is decided any more",
         1 * kMs,
         {{'s', 0, 0, Step::kNone},
          {'l', 9 * kMs, 'c', Step::kFallBack},
          {'s', 40 * kMs, 0, Step::kNone},
          {'l', 49 * kMs, 'c', Step::kNone},
          {'k', 900 * kMs, 0, Step::kNone}},
         false,
         FallBack::kResend,
         -1,
         -1},
    };
    for (const PaceCase& c : cases) {
        SCOPED_TRACE(c.name);
        cli::AckPace pace;
        pace.baud = 38400;
        pace.min_gap_ns = c.gap;
        for (const Event& e : c.events) {
            if (e.what == 's') {
                pace.Sent(e.at, 24);
            } else {
                EXPECT_EQ(e.what == 'l' ? pace.Answer(e.letter, e.at) : pace.Check(e.at), e.step)
                    << e.what << "@" << e.at;
            }
        }
        EXPECT_EQ(pace.acking, c.acking);
        EXPECT_EQ(pace.fell_back, c.fell_back);
        EXPECT_EQ(pace.SendAt(), c.send_at);
        EXPECT_EQ(pace.WakeAt(), c.wake_at);
    }
}

TEST(AckPaceTest, FallBackTexts) {
    EXPECT_EQ(cli::FallBackText(FallBack::kResend, 9, 'c'),
              "the device asked for line 9 again ('c'): the rest goes at the tick pace");
    EXPECT_EQ(cli::FallBackText(FallBack::kLetter, 3, 'W'),
              "the device answered line 3 with 'W': the rest goes at the tick pace");
    EXPECT_EQ(cli::FallBackText(FallBack::kLate, 1, 0),
              "no answer to line 1 within 50 ms of its end on the line: the rest goes at the "
              "tick pace");
}

// The simulated device's time is the program's: it moves when the tick loop sleeps and when
// the transfer waits for bytes, up to the next byte that completes on the line.
class SimClock final : public cli::Clock {
  public:
    explicit SimClock(sim::Device& dev) : dev_(dev) {}
    int64_t NowNs() override { return now_; }
    void SleepUntilNs(int64_t deadline) override { To(deadline); }
    void To(int64_t t) {
        if (t <= now_) return;
        now_ = t;
        dev_.AdvanceTo(t);
    }

  private:
    sim::Device& dev_;
    int64_t now_ = 0;
};

class SimPortIo final : public cli::PortIo {
  public:
    SimPortIo(sim::SimSerialPort& port, SimClock& clock) : port_(port), clock_(clock) {}
    platform::PortHandle Open(const char* path) override { return port_.Open(path); }
    bool Configure(platform::PortHandle h, int32_t baud, std::string& error) override {
        return port_.Configure(h, baud, error);
    }
    bool Read(platform::PortHandle h, uint8_t* buf, std::size_t max, std::size_t& got) override {
        return port_.Read(h, buf, max, got);
    }
    bool Write(platform::PortHandle h, const uint8_t* data, std::size_t len,
               std::size_t& put) override {
        if (len > 0 && data[0] == ':') record_at.push_back(clock_.NowNs());
        return port_.Write(h, data, len, put);
    }
    void Close(platform::PortHandle h) override { port_.Close(h); }
    std::string LastError() const override { return ""; }
    bool LineFailed() const override { return false; }
    void AwaitBytes(platform::PortHandle, int64_t timeout_ns) override {
        const int64_t until = clock_.NowNs() + timeout_ns;
        const int64_t next = port_.device().NextEvent();
        clock_.To(next > clock_.NowNs() && next < until ? next : until);
    }
    std::vector<int64_t> record_at;  // when each record was written

  private:
    sim::SimSerialPort& port_;
    SimClock& clock_;
};

std::string Text(std::FILE* f) {
    std::rewind(f);
    std::string s;
    for (int c; (c = std::fgetc(f)) != EOF;) s.push_back(static_cast<char>(c));
    return s;
}

struct FlashCase {
    const char* name;
    sim::BootAnswer answer;
    int64_t late;  // every reply this late
    std::vector<std::string> args;
    const char* fallback;  // the line on standard error, or nullptr
    int resent;            // the record sent twice (from 0), or -1
    int64_t min_gap;       // between records, at least and at most
    int64_t max_gap;
};

// 20 lines of 16 bytes and the end: a 128-byte page of the ATmega328P ends with lines 8 and 16.
TEST(AckTransferTest, FlashRunsAtTheAnswersPaceAndFallsBack) {
    const hexb::Bytes image = hexb::Counting(320, 7);
    fakes::ScratchDir dir;
    const std::string hex = dir.Write("small.hex", hexb::Contiguous(image));
    using A = sim::BootAnswer;
    const FlashCase cases[] = {
        // An exchange is the record (6.25 ms), the device's 2.3 ms and its letter (0.26 ms);
        // a page write adds 4.5 ms.
        {"ack", A::kAfterWrite, 0, {"--pace", "ack"}, nullptr, -1, 8 * kMs, 14 * kMs},
        {"the gap behind a record",
         A::kAfterWrite,
         0,
         {"--pace", "ack", "--min-gap-ms", "20"},
         nullptr,
         -1,
         26 * kMs,
         27 * kMs},
        // Three ticks a line; the letter comes long before the next record, which this device
        // takes whole although it answers first.
        {"tick", A::kFirst, 0, {"--pace", "tick"}, nullptr, -1, 30 * kMs, 30 * kMs},
        // The 9th record comes while the 8th's page is written: bytes are lost, the device
        // asks for it again 20 ms after it.
        {"answer first",
         A::kFirst,
         0,
         {"--pace", "ack"},
         "lumrax: the device asked for line 9 again ('c'): the rest goes at the tick pace\n",
         8,
         8 * kMs,
         30 * kMs},
        // A letter 68.8 ms after its record is read on the 7th tick, ends on the 8th, and the
        // next record goes on the 9th; the 10th after a page write.
        {"late",
         A::kAfterWrite,
         60 * kMs,
         {"--pace", "ack"},
         "lumrax: no answer to line 1 within 50 ms of its end on the line: the rest goes at "
         "the tick pace\n",
         -1,
         90 * kMs,
         100 * kMs},
    };
    for (const FlashCase& c : cases) {
        SCOPED_TRACE(c.name);
        fakes::ResetCoreState();
        sim::Scenario scenario;
        scenario.firmware = sim::Firmware::kBootloader;
        scenario.flash = sim::FlashContent::kBlank;
        scenario.boot_answer = c.answer;
        scenario.faults.late_reply = c.late;
        sim::Device dev(scenario);
        sim::SimSerialPort serial(dev, "/dev/ttySIM0");
        SimClock clock(dev);
        SimPortIo port(serial, clock);
        std::vector<std::string> argv = {"flash", hex, "--yes", "--port", "/dev/ttySIM0"};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        cli::Options opt;
        std::string error;
        ASSERT_TRUE(cli::ParseCommandLine(argv, "", opt, error)) << error;
        std::FILE* out_file = std::tmpfile();
        std::FILE* err_file = std::tmpfile();
        cli::Output out(false, out_file, err_file);
        cli::TickLoop loop(clock);
        cli::HeadlessUi ui(loop);
        fakes::FakeSystem system;
        fakes::FakeConsole console;
        volatile std::sig_atomic_t interrupted = 0;
        cli::Context ctx{opt, out, ui, loop, port, system, console, &interrupted, false};
        const int rc = cli::RunFlash(ctx);
        const std::string err = Text(err_file);
        const std::string result = Text(out_file);
        std::fclose(out_file);
        std::fclose(err_file);

        EXPECT_EQ(rc, cli::kExitDone) << err;
        EXPECT_EQ(result.rfind("flashed: 21 lines in ", 0), 0u) << result;
        const std::size_t fell = err.find("tick pace");
        EXPECT_EQ(fell != std::string::npos, c.fallback != nullptr) << err;
        if (c.fallback != nullptr) {
            EXPECT_NE(err.find(c.fallback), std::string::npos) << err;
            EXPECT_EQ(err.find("tick pace", fell + 1), std::string::npos) << "said once";
        }
        // Each record once, the one asked for again twice, in order.
        std::vector<std::string> want;
        const std::string text = hexb::Contiguous(image);
        for (std::size_t at = 0; at < text.size();) {
            const std::size_t eol = text.find("\r\n", at);
            std::string rec = ":";
            for (std::size_t k = at + 1; k + 1 < eol; k += 2)
                rec.push_back(static_cast<char>(std::stoi(text.substr(k, 2), nullptr, 16)));
            want.push_back(rec + "\r\n");
            if (static_cast<int>(want.size()) - 1 == c.resent) want.push_back(want.back());
            at = eol + 2;
        }
        std::vector<std::string> got;
        for (const std::string& w : serial.writes())
            if (!w.empty() && w[0] == ':') got.push_back(w);
        EXPECT_EQ(got, want);
        // The device's flash holds the image, erased behind it.
        const std::vector<uint8_t>& flash = dev.flash().bytes();
        ASSERT_GE(flash.size(), 0x7000u);
        EXPECT_TRUE(std::equal(image.begin(), image.end(), flash.begin()));
        EXPECT_TRUE(std::all_of(flash.begin() + 320, flash.begin() + 0x7000,
                                [](uint8_t b) { return b == 0xFF; }));
        EXPECT_EQ(dev.boot().bytes_lost() > 0, c.resent >= 0);

        // How far apart the records went out, the one asked for again aside.
        ASSERT_EQ(port.record_at.size(), want.size());
        int64_t lo = INT64_MAX, hi = 0;
        for (std::size_t k = 1; k < port.record_at.size(); ++k) {
            if (c.resent >= 0 && (k == static_cast<std::size_t>(c.resent) + 1)) continue;
            const int64_t gap = port.record_at[k] - port.record_at[k - 1];
            lo = std::min(lo, gap);
            hi = std::max(hi, gap);
        }
        EXPECT_GE(lo, c.min_gap);
        EXPECT_LE(hi, c.max_gap);
    }
}

}  // namespace
