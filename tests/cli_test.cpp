// The pieces of lumrax that need no device: command line errors, texts, exit codes, progress
// and the tick loop. Whole runs against the simulator are in tests/cli/test_lumrax.py.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "cli/headless_ui.h"
#include "cli/monitor.h"
#include "cli/options.h"
#include "cli/output.h"
#include "cli/output_file.h"
#include "cli/session.h"
#include "cli/tick_loop.h"
#include "cli/update.h"
#include "firmware/chip_table.h"

namespace {

using Strings = std::vector<std::string>;

Strings Words(const std::string& line) {
    Strings out;
    std::istringstream in(line);
    for (std::string w; in >> w;) out.push_back(w);
    return out;
}

struct Streams {
    std::FILE* out = std::tmpfile();
    std::FILE* err = std::tmpfile();
    ~Streams() {
        std::fclose(out);
        std::fclose(err);
    }
    static std::string Text(std::FILE* f) {
        std::rewind(f);
        std::string s;
        for (int c; (c = std::fgetc(f)) != EOF;) s.push_back(static_cast<char>(c));
        return s;
    }
};

TEST(CliTest, BadCommandLinesAreRefusedWithOneMessage) {
    const std::string rates =
        "not one of 1200, 2400, 4800, 9600, 14400, 19200, 38400, 57600, 115200";
    const std::string seconds = ": not a whole number of seconds from 1";
    const std::pair<const char*, std::string> cases[] = {
        {"--json", "no command given (lumrax --help lists them)"},
        {"frob", "unknown command frob (lumrax --help lists them)"},
        {"info --frob", "unknown option --frob"},
        {"info --baud 38400x", "--baud 38400x: " + rates},
        {"read", "usage: lumrax read REG..."},
        {"info Wo", "usage: lumrax info"},
        {"verify", "usage: lumrax verify FILE.hex"},
        {"info --csv x", "--csv does not apply to info"},
        {"ports --port /dev/x", "--port does not apply to ports"},
        {"verify fw.hex --erase", "--erase does not apply to verify"},
        {"check fw.hex --port /dev/x", "--port does not apply to check"},
        {"monitor --seconds 0", "--seconds 0" + seconds},
        {"monitor --seconds 2.5", "--seconds 2.5" + seconds},
        {"info --port", "--port needs a value"},
        {"info --port=", "--port needs a non-empty value"},
        {"info --json=1", "--json takes no value"},
        {"flash fw.hex --chip 2560", "--chip 2560: not one of 328P, 1284P, 1281"},
        {"flash fw.hex --erase-settle-ms 60001",
         "--erase-settle-ms 60001: not a whole number of ms from 0 to 60000"},
        {"verify fw.hex --erase-settle-ms 0", "--erase-settle-ms does not apply to verify"},
        {"flash fw.hex --pace fast", "--pace fast: not tick or ack"},
        {"flash fw.hex --pace ack --min-gap-ms 101",
         "--min-gap-ms 101: not a whole number of ms from 0 to 100"},
        {"flash fw.hex --min-gap-ms 2", "--min-gap-ms applies to --pace ack only"},
        {"flash fw.hex --min-gap-ms 2 --pace tick", "--min-gap-ms applies to --pace ack only"},
        {"dump --pace ack", "--pace does not apply to dump"},
        {"verify fw.hex --pace ack", "--pace does not apply to verify"},
    };
    for (const auto& [line, message] : cases) {
        cli::Options o;
        std::string error;
        EXPECT_FALSE(cli::ParseCommandLine(Words(line), "/dev/env", o, error)) << line;
        EXPECT_EQ(error, message) << line;
    }
    cli::Options o;
    std::string error;
    EXPECT_FALSE(cli::ParseCommandLine({"info"}, "", o, error));
    EXPECT_EQ(error, "no port: give --port or set LUMRAX_PORT");
}

TEST(CliTest, JsonCarriesDeviceTextSafelyAndReadoutsLoseTheirUnit) {
    const std::pair<std::string, std::string> strings[] = {
        {"a\"b\\c", "\"a\\\"b\\\\c\""},
        {"line\r\nnext\t.", "\"line\\r\\nnext\\t.\""},
        {std::string("\x02x\x03\x7F", 4), "\"\\u0002x\\u0003\\u007f\""},
        {"26.0\xB0", "\"26.0\xC2\xB0\""},  // Windows-1252 degree sign as UTF-8
        {"\x85\xFF", "\"\\u0085\xC3\xBF\""},
        {std::string("a\0b", 3), "\"a\\u0000b\""},
    };
    for (const auto& [text, json] : strings) EXPECT_EQ(cli::JsonString(text), json) << text;

    // A reading in the CSV: the read-out's decimals, nothing before this run or not finite.
    const std::tuple<double, uint32_t, int, const char*> readings[] = {
        {27.3, 5, 2, "27.30"},   {-3.45, 5, 1, "-3.5"},
        {0.1234, 5, 3, "0.123"}, {12.0, 4, 2, ""},  // reported before the mark
        {NAN, 5, 2, ""},         {INFINITY, 5, 2, ""},
    };
    for (const auto& [value, reply, decimals, csv] : readings) {
        Reading r;
        r.value = value;
        r.reply = reply;
        EXPECT_EQ(cli::ReadingValue(r, decimals, 4), csv) << value;
    }
}

TEST(CliTest, QuestionsAreAnsweredByYesOrTheTerminalOrRefused) {
    // --yes, a terminal, what is typed; the answer and what standard error shows.
    const char* const asked = "lumrax: Erase Lum_Rax Flash? [y/N] ";
    const std::tuple<bool, bool, const char*, int, const char*> cases[] = {
        {false, true, "yes\n", platform::kIdOk, asked},
        {false, true, "", platform::kIdCancel, asked},
        {false, false, "y\n", platform::kIdCancel,
         "lumrax: Erase Lum_Rax Flash? -> Cancel: no terminal to ask, --yes answers OK\n"},
    };
    for (const auto& [yes, terminal, typed, answer, err] : cases) {
        SCOPED_TRACE(testing::Message() << yes << terminal << typed);
        Streams s;
        cli::Output output(true, s.out, s.err);
        std::istringstream in(typed);
        bool refused = false;
        const cli::MessageBox box{"Erase Lum_Rax Flash?", "", 0x21};
        EXPECT_EQ(cli::AnswerQuestion(box, yes, terminal, in, output, refused), answer);
        EXPECT_EQ(refused, !terminal && !yes);
        EXPECT_EQ(Streams::Text(s.err), err);
        EXPECT_EQ(Streams::Text(s.out),
                  std::string("{\"event\":\"question\",\"text\":\"Erase Lum_Rax Flash?\","
                              "\"answer\":\"") +
                      (answer == platform::kIdOk ? "ok" : "cancel") + "\"}\n");
    }
}

// The exit codes that the help text promises for the ways a transfer ends.
TEST(CliTest, EveryEndOfATransferHasItsExitCode) {
    using T = TransferOutcome;
    const std::pair<T, int> ends[] = {
        {T::kFinished, 0},   {T::kTimeOut, 5},   {T::kDeviceError, 6},   {T::kUnknownReply, 6},
        {T::kEndedEarly, 7}, {T::kEndedLate, 7}, {T::kNoEndAfterEof, 7}, {T::kNoLineLeft, 7},
        {T::kStopped, 130},  {T::kPortLost, 4},  {T::kNone, 6},
    };
    for (const auto& [outcome, code] : ends)
        EXPECT_EQ(cli::TransferExitCode(outcome), code) << static_cast<int>(outcome);
}

// The erase's settle time per chip, what an answer to it says, and a read-back that ends
// before the application section does.
TEST(CliTest, EraseAndVerifyFigures) {
    const uint32_t settle[] = {1600, 3300, 3300};  // ATmega328P, 1284P, 1281
    for (int i = 0; i < kChipRows; ++i) EXPECT_EQ(cli::EraseSettleMs(chip_table[i]), settle[i]);
    for (const char* failed :
         {"flash erase failed", "ERROR 3", "erase refused", "unknown register"})
        EXPECT_TRUE(cli::EraseFailed(failed)) << failed;
    for (const char* done : {"flash erased", "", "ok"})
        EXPECT_FALSE(cli::EraseFailed(done)) << done;

    const std::vector<uint8_t> image(0x7000, 0x5A);
    const std::vector<uint8_t> shorter(image.begin(), image.begin() + 0x6000);
    const cli::FlashDifference d = cli::CompareFlash(image, shorter);
    EXPECT_EQ(std::make_pair(d.count, d.first), std::make_pair(0x1000u, 0x6000u));
    EXPECT_EQ(cli::CompareFlash(image, {}).count, 0x7000u);
    EXPECT_EQ(cli::CompareFlash(image, image).count, 0u);
}

// An output file replaces its target only when it is kept; what is no regular file is never
// touched.
TEST(CliTest, OutputFilesReplaceTheirTargetOnlyWhenKept) {
    const std::string dir = testing::TempDir() + "lrx_output_file";
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    const std::string path = dir + "/f";
    auto text = [&]() {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    };
    std::ofstream(path, std::ios::binary) << "old";
    std::string reason;
    for (const bool keep : {false, true}) {
        cli::OutputFile f;
        ASSERT_TRUE(f.Open(path, reason)) << reason;
        f.Write("new");
        EXPECT_EQ(text(), "old");  // nothing changes before the end
        if (keep) {
            EXPECT_TRUE(f.Keep(reason)) << reason;
        }
    }
    EXPECT_EQ(text(), "new");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir), {}), 1);  // no leftovers
    cli::OutputFile f;
    EXPECT_FALSE(f.Open(dir, reason));
    EXPECT_EQ(reason, "not a regular file");
    EXPECT_FALSE(f.Open("/dev/null", reason));
}

// JSON: one object per 5 % step, only the highest of steps passed at once.
TEST(CliTest, TransferProgressAsJsonAndAsABar) {
    Streams s;
    cli::Output json(true, s.out, s.err);
    cli::TransferProgress p(json, false);
    p.Update(0, 40, 0);
    p.Update(13, 40, 1000);
    p.Update(13, 40, 5000);
    p.Update(40, 40, 3000000000);
    EXPECT_EQ(Streams::Text(s.out),
              "{\"event\":\"progress\",\"percent\":30,\"lines\":13,\"total\":40}\n"
              "{\"event\":\"progress\",\"percent\":100,\"lines\":40,\"total\":40}\n");
    EXPECT_EQ(Streams::Text(s.err), "");
    EXPECT_DOUBLE_EQ(p.Seconds(4000001000), 4.0);
    EXPECT_NEAR(p.Rate(), 39 / 2.999999, 1e-6);  // lines after the first, per second

    // 634 lines left at 33.3 lines/s: 19.04 s, shown rounded up.
    EXPECT_EQ(cli::TransferProgress::BarText(635, 1269, 33.3),
              "[############............] 635 / 1269 lines   50 %  33.3 lines/s  0:20 left");
}

class FakeClock final : public cli::Clock {
  public:
    int64_t NowNs() override { return now; }
    void SleepUntilNs(int64_t deadline) override { now = std::max(now, deadline); }
    int64_t now = 0;
};

// The timer procedures note what they did, with the time of each call in ms.
class TickLoopTest : public ::testing::Test {
  protected:
    void SetUp() override {
        g_calls.clear();
        g_clock = &clock;
        g_loop = &loop;
        g_busy_ms = 0;
    }
    void RunTo(int64_t ms) {
        ASSERT_TRUE(loop.RunUntil([&] { return clock.now > ms * cli::kNsPerMs; }));
    }
    static void Note(const char* name) {
        g_calls.push_back(std::string(name) + "@" + std::to_string(g_clock->now / cli::kNsPerMs));
    }
    static void Receive(platform::Wnd) {
        Note("rx");
        g_clock->now += g_busy_ms * cli::kNsPerMs;  // how long the call takes
    }
    static void Poll(platform::Wnd) { Note("poll"); }
    static void AutoRead(platform::Wnd) { Note("ar"); }
    static void StopsItself(platform::Wnd w) {
        Note("once");
        g_loop->Stop(w, 9);
    }

    static inline Strings g_calls;
    static inline FakeClock* g_clock = nullptr;
    static inline cli::TickLoop* g_loop = nullptr;
    static inline int64_t g_busy_ms = 0;
    FakeClock clock;
    cli::TickLoop loop{clock};
    cli::HeadlessUi ui{loop};
    platform::Wnd main = ui.NewWindow();
    platform::Wnd page = ui.NewWindow();
};

// Earliest deadline first, the lower id on the same one; a timer restarted runs one interval
// from then, and the same id on another window is another timer.
TEST_F(TickLoopTest, TimersRunOnTheirOwnDeadlinesLikeWin32Timers) {
    ui.StartTimer(main, 3, 25, AutoRead);
    ui.StartTimer(page, 9, 10, StopsItself);
    ui.StartTimer(page, 1, 10, Receive);
    ui.StartTimer(main, 2, 20, Poll);
    ui.StartTimer(main, 1, 15, Poll);
    clock.now = 5 * cli::kNsPerMs;
    ui.StartTimer(page, 1, 10, Receive);
    RunTo(50);
    EXPECT_FALSE(loop.Running(page, 9));
    EXPECT_EQ(g_calls, (Strings{"once@10", "poll@15", "rx@15", "poll@20", "rx@25", "ar@25",
                                "poll@30", "rx@35", "poll@40", "poll@45", "rx@45", "ar@50"}));
    ui.StopTimer(page, 1);
    for (unsigned id : {1, 2, 3}) ui.StopTimer(main, id);
    EXPECT_FALSE(loop.RunUntil([] { return false; }));  // nothing left that could tick
}

TEST_F(TickLoopTest, SlowCallsDoNotShiftTheScheduleAndMissedTicksAreNotRepeated) {
    ui.StartTimer(page, 1, 10, Receive);
    g_busy_ms = 3;  // every call takes 3 ms: still one call per 10 ms, on the grid
    RunTo(40);
    EXPECT_EQ(g_calls, (Strings{"rx@10", "rx@20", "rx@30", "rx@40"}));
    g_calls.clear();
    g_busy_ms = 35;  // a stall: the calls of 50..80 are dropped, not made up in a burst
    RunTo(51);
    g_busy_ms = 0;
    RunTo(100);
    EXPECT_EQ(g_calls, (Strings{"rx@50", "rx@90", "rx@100"}));
}

}  // namespace
