// The simulated generator's application firmware and its serial line.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "sim/host_bench.h"

namespace {

using sim::kMilli;
using sim::kSecond;

const std::string kPwmOn = "\x02PWM_active = 1\n\r\x03";
const char* const kInt = "%*s %*s %i";
const char* const kFreq = "%*s %f";
const char* const kDuty = "%*s %*f %*s %*s %*s %*s %*s %f";

// The value after key, scanned with the format the program's reply table uses for it;
// NAN when the key is missing or nothing scans.
double Scan(const std::string& reply, const char* key, const char* fmt) {
    const std::size_t at = reply.find(key);
    if (at == std::string::npos) return NAN;
    int i = 0;
    float f = 0;
    if (std::strchr(fmt, 'i') != nullptr) return std::sscanf(&reply[at], fmt, &i) == 1 ? i : NAN;
    return std::sscanf(&reply[at], fmt, &f) == 1 ? f : NAN;
}

class SimDeviceTest : public ::testing::Test {
  protected:
    SimDeviceTest() { Reset(); }
    void Reset(const sim::Scenario& s = sim::Scenario{}) {
        bench_.reset();
        dev_ = std::make_unique<sim::Device>(s);
        bench_ = std::make_unique<sim::HostBench>(*dev_);
    }
    std::string Ask(const std::string& body) { return bench_->Exchange(body + "\r"); }
    double Read(const char* reg, const char* key, const char* fmt) {
        return Scan(Ask(std::string("cr ") + reg), key, fmt);
    }
    sim::Application& app() { return dev_->app(); }

    std::unique_ptr<sim::Device> dev_;
    std::unique_ptr<sim::HostBench> bench_;
};

// Acknowledgements must carry none of the strings the parser looks for, or the program
// would take them for the answer to a read.
TEST_F(SimDeviceTest, RepliesAreFramedLinesAndAcksCarryNoKnownString) {
    const char* const kKnown[] = {"Lum_Rax",    "Bootloader for", "PWM_active", "pwm_ctl_active",
                                  "frequency",  "VOLT: ",         "TMP10",      "pwm_search_a",
                                  "fmax:",      "fmin:",          "VINF:",      "pwm_search_Vmin:",
                                  "ADC2, IANT", "Power: ",        "threshold",  "only PCB"};
    const std::vector<const char*> reads = {"cr Sv", "cr Wo", "cr Wc", "cr Ww", "cr Wf", "cr Wl",
                                            "cr Wk", "cr Wi", "cr Wt", "cr Wu", "cr Pi", "cr Pt"};
    const std::vector<const char*> acks = {
        "cw Wo0",   "cw Wo7",     "cw Wc1",          "cw Wf+",  "cw Wd-",      "cw Wlx 999",
        "cw Wli x", "cw Wli 120", "cw Wk 24.000000", "cw WwA5", "cw Ww3",      "cw Pt 80",
        "cw Pt x",  "cw Wesave",  "cw SeKTZ73x",     "cw Wn1",  "cw Wesave",   "cw Efault1",
        "cw Se0",   "cw Xy1",     "cr Zz",           "hello",   "cr Mr 99999", "cw Fe"};
    for (const auto* list : {&reads, &acks}) {
        for (const char* cmd : *list) {
            SCOPED_TRACE(cmd);
            const std::string r = Ask(cmd);
            ASSERT_GE(r.size(), 4u);
            EXPECT_EQ(r.front(), '\x02');
            EXPECT_EQ(r.substr(r.size() - 3), "\n\r\x03");
            for (std::size_t i = 1; i + 1 < r.size(); ++i) {
                const auto c = static_cast<unsigned char>(r[i]);
                EXPECT_TRUE(c != '\n' || r[i + 1] == '\r') << i;
                EXPECT_TRUE(c == '\n' || c == '\r' || (c >= 0x20 && c < 0x7F)) << int(c);
            }
            // A reply that starts with A and a digit would be dropped unseen.
            EXPECT_FALSE(r[1] == 'A' && r[2] >= '0' && r[2] <= '7');
            if (list == &acks) {
                for (const char* k : kKnown) EXPECT_EQ(r.find(k), std::string::npos) << k;
            }
        }
    }
}

TEST_F(SimDeviceTest, WritesChangeWhatReadsReport) {
    struct Case {
        std::vector<const char*> writes;
        const char* reg;
        const char* key;
        const char* fmt;
        double want;
    };
    const double kf = sim::kTimerClockKhz;
    const Case cases[] = {
        {{"cw Wo0"}, "Wo", "PWM_active", kInt, 0},
        {{"cw Wo5"}, "Wo", "PWM_active", kInt, 1},
        {{"cw Wc1"}, "Wc", "pwm_ctl_active", kInt, 1},
        {{"cw WwA5"}, "Ww", "pwm_search_a", "%*s %*s %xi", 0xA5},
        {{"cw Wf+"}, "Wf", "frequency", kFreq, kf / 127},
        {std::vector<const char*>(200, "cw Wf+"), "Wf", "frequency", kFreq, 250},
        {std::vector<const char*>(200, "cw Wf-"), "Wf", "frequency", kFreq, 100},
        // While the output is off, steps need offline edit.
        {{"cw Wo0", "cw Wf+"}, "Wf", "frequency", kFreq, kf / 128},
        {{"cw Wo0", "cw Wn1", "cw Wf+"}, "Wf", "frequency", kFreq, kf / 127},
        {{"cw Wd-", "cw Wd-"}, "Wf", "frequency", kDuty, 49.0},
        {{"cw Wlx 200"}, "Wl", "fmax:", kFreq, 200},
        {{"cw Wlx 251"}, "Wl", "fmax:", kFreq, 250},
        {{"cw Wli 99"}, "Wl", "fmin:", kFreq, 100},
        {{"cw Wlx 140", "cw Wli 150"}, "Wl", "fmin:", kFreq, 100},  // not above fmax
        // A limit below the running frequency pulls the frequency in.
        {{"cw Wlx 110"}, "Wf", "frequency", kFreq, kf / 146},
        {{"cw Wk 19.990000"}, "Wk", "pwm_search_Vmin:", kFreq, 24},
        {{"cw Pt 7.5"}, "Pt", "threshold", kFreq, 75},
        // Last, so the check after the loop finds the duty at its limit.
        {std::vector<const char*>(200, "cw Wd+"), "Wf", "frequency", kDuty, 95.0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.reg) + " after " + c.writes.front());
        Reset();
        for (const char* w : c.writes) Ask(w);
        EXPECT_NEAR(Read(c.reg, c.key, c.fmt), c.want, 0.006);
    }
    EXPECT_EQ(Ask("cw Wd+"), "\002at limit\n\r\x03");
}

TEST_F(SimDeviceTest, EepromSaveNeedsThePasswordAndSurvivesAPowerCycle) {
    const sim::PwmSettings defaults;
    for (const char* cmd : {"cw Wf+", "cw Pt 66", "cw Wesave", "cw SeKTZ7", "cw Wesave"}) Ask(cmd);
    EXPECT_EQ(app().eeprom(), defaults);  // locked, and a wrong password keeps it locked
    Ask("cw SeKTZ73x");
    EXPECT_TRUE(app().write_enabled());
    Ask("cw Wesave");
    EXPECT_EQ(app().eeprom(), app().live());
    dev_->PowerCycle();
    EXPECT_FALSE(app().write_enabled());
    EXPECT_EQ(app().live().top, 127);
    EXPECT_EQ(app().live().temp_threshold, 66);
    Ask("cw SeKTZ73x");
    Ask("cw Efault1");
    EXPECT_EQ(app().live().top, 127);  // defaults only after the next power-up
    dev_->PowerCycle();
    EXPECT_EQ(app().live(), defaults);
}

TEST_F(SimDeviceTest, AutoSearchTunesToResonanceAndIsDeafWhileRunning) {
    EXPECT_EQ(Ask("cw Ws1"), "\x02search running\n\r\x03");
    EXPECT_EQ(Ask("cr Wo"), "");  // busy: nothing, not even after a while
    const double f = Scan(bench_->Collect(3 * kSecond), "frequency", kFreq);
    EXPECT_NEAR(f, 131.0, 1.1);
    EXPECT_NEAR(f, app().FrequencyKhz(), 0.005);
    EXPECT_EQ(Ask("cr Wo"), kPwmOn);

    Reset();
    for (const char* cmd : {"cw SeKTZ73x", "cw WwA5", "cw Wesave"}) Ask(cmd);
    dev_->PowerCycle();  // search always: at every power-up
    EXPECT_EQ(app().live().top, app().BestTop());

    Reset();
    Ask("cw Wk 30");  // the supply cannot reach this minimum
    EXPECT_EQ(Ask("cw Ws1"), "\x02supply too low, no search\n\r\x03");
    EXPECT_EQ(app().live().top, 128);
}

TEST_F(SimDeviceTest, FlashReadStreamsRawBytesAndEraseSparesTheBootSection) {
    sim::Scenario s;
    s.timing.stream_gap = 0;
    Reset(s);
    const std::vector<uint8_t>& flash = dev_->flash().bytes();
    const std::string image(flash.begin(), flash.end());
    EXPECT_EQ(bench_->Exchange("cr Mr\r", 20 * kSecond), image);
    EXPECT_EQ(Ask("cr Mr 100 20"), image.substr(0x100, 0x20));
    EXPECT_EQ(Ask("cr Mr 7FF0 100"), image.substr(0x7FF0));

    ASSERT_TRUE(dev_->flash().HasApplication());
    EXPECT_EQ(Ask("cw Fe"), "\002flash erased\n\r\x03");
    EXPECT_FALSE(dev_->flash().HasApplication());
    EXPECT_EQ(std::count(flash.begin(), flash.begin() + 0x7000, 0xFF), 0x7000);
    EXPECT_TRUE(std::equal(flash.begin() + 0x7000, flash.end(), image.begin() + 0x7000,
                           [](uint8_t b, char c) { return b == static_cast<uint8_t>(c); }));
}

// As the program sees it: one read per 10 ms tick, never more than the line carries.
TEST_F(SimDeviceTest, ReplyBytesLeaveAtTheLineRate) {
    for (const int32_t baud : {1200, 9600, 38400, 115200}) {
        SCOPED_TRACE(baud);
        sim::Scenario s;
        s.baudrate = baud;
        s.timing.stream_chunk = 0x8000;  // one burst, no pauses
        Reset(s);
        const std::size_t bytes = static_cast<std::size_t>(baud / 10);  // 1 s of line time
        char cmd[32];
        std::snprintf(cmd, sizeof cmd, "cr Mr 0 %zX\r", bytes);
        bench_->Send(cmd);
        std::size_t total = 0, first_tick = 0, ticks = 0;
        uint8_t buf[16384];
        for (std::size_t tick = 1; tick < 500 && total < bytes; ++tick) {
            dev_->Advance(sim::kTick);
            const std::size_t n = dev_->HostRead(buf, sizeof buf);
            if (n > 0 && total == 0) first_tick = tick;
            if (total > 0 || n > 0) ++ticks;
            EXPECT_LE(n, static_cast<std::size_t>(std::ceil(baud / 1000.0)));
            total += n;
        }
        ASSERT_EQ(total, bytes);
        // The command itself takes 10 bits per character to reach the device.
        EXPECT_GE(first_tick * 10.0, std::strlen(cmd) * 10000.0 / baud);
        EXPECT_GE(ticks, 100u);
        EXPECT_LE(ticks, 101u);
    }
}

TEST(SimWireTest, EqualRatesCarryEveryByteMismatchedOnesGarbleRepeatably) {
    auto through = [](const std::string& text, int32_t tx, int32_t rx) {
        sim::Wire w;
        const auto* p = reinterpret_cast<const uint8_t*>(text.data());
        const sim::Nanos end = w.Send(5 * kMilli, p, text.size(), tx);
        EXPECT_EQ(end, 5 * kMilli + static_cast<sim::Nanos>(text.size()) * sim::CharTime(tx));
        std::vector<sim::ReceivedByte> got;
        w.Receive(end + kSecond, rx, got);
        std::string s;
        for (const auto& b : got) s.push_back(static_cast<char>(b.value));
        return s;
    };
    std::string all(256, '\0');
    for (int i = 0; i < 256; ++i) all[i] = static_cast<char>(i);
    EXPECT_EQ(through(all, 57600, 57600), all);
    const std::string text = kPwmOn;
    const std::pair<int32_t, int32_t> rates[] = {
        {38400, 9600}, {9600, 38400}, {19200, 14400}, {1200, 115200}};
    for (const auto& [tx, rx] : rates) {
        SCOPED_TRACE(std::to_string(tx) + "->" + std::to_string(rx));
        const std::string g = through(text, tx, rx);
        EXPECT_EQ(g.find("PWM_active"), std::string::npos);
        EXPECT_EQ(g, through(text, tx, rx));
    }
    // A fast sender seen by a slow receiver loses characters; the reverse gains some.
    EXPECT_LT(through(text, 38400, 9600).size(), text.size());
    EXPECT_GT(through(text, 1200, 115200).size(), text.size());
}

}  // namespace
