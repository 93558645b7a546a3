// The simulated generator's application firmware, its line and its faults.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <algorithm>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "sim/device.h"
#include "sim/host_bench.h"
#include "sim/options.h"
#include "sim/sim_port.h"
#include "sim/wire.h"

namespace {

using sim::kMilli;
using sim::kSecond;

// The strings the program's reply parser looks for, each with the characters it compares.
struct Key {
    const char* text;
    std::size_t len;
};
const Key kKnownStrings[] = {
    {"Lum_Rax_", 8},    {"Bootloader for", 14},   {"Lum_Rax, HW Rev", 15},
    {"PWM_active", 10}, {"pwm_ctl_active", 14},   {"frequency", 9},
    {"VOLT: ", 6},      {"pwm_search_a", 12},     {"fmax:", 5},
    {"fmin:", 5},       {"pwm_search_Vmin:", 16}, {"TMP10", 5},
    {"VINF:", 5},       {"ADC2, IANT", 10},       {"Power: ", 7},
    {"threshold", 9},   {"only PCB", 8},
};

// The reply as the program's receive pump hands it on: LF CR turned into CR LF, STX and
// ETX into LF.
std::string AsReceived(std::string r) {
    for (std::size_t i = 0; i < r.size(); ++i) {
        if (r[i] == '\n' && i + 1 < r.size() && r[i + 1] == '\r') {
            r[i] = '\r';
            r[i + 1] = '\n';
            ++i;
        } else if (r[i] == 0x02 || r[i] == 0x03) {
            r[i] = '\n';
        }
    }
    return r;
}

// The text from the key to the end, or "" when the key is absent.
std::string Remainder(const std::string& text, const char* key) {
    std::size_t at = text.find(key);
    return at == std::string::npos ? std::string() : text.substr(at);
}

// Scans one or two floats, or an int, from the remainder after key; returns the count read.
int ScanFloats(const std::string& reply, const char* key, const char* fmt, float& a, float& b) {
    std::string rem = Remainder(AsReceived(reply), key);
    if (rem.empty()) return -1;
    return std::sscanf(rem.c_str(), fmt, &a, &b);
}
int ScanInt(const std::string& reply, const char* key, const char* fmt, int& v) {
    std::string rem = Remainder(AsReceived(reply), key);
    if (rem.empty()) return -1;
    return std::sscanf(rem.c_str(), fmt, &v);
}

class SimDeviceTest : public ::testing::Test {
  protected:
    SimDeviceTest() { Reset(sim::Scenario{}); }
    void Reset(const sim::Scenario& s) {
        bench_.reset();
        dev_ = std::make_unique<sim::Device>(s);
        bench_ = std::make_unique<sim::HostBench>(*dev_);
    }
    std::string Ask(const std::string& body) { return bench_->Exchange(body + "\r"); }
    float ReadFloat(const char* reg, const char* key, const char* fmt) {
        float a = -1, b = -1;
        EXPECT_EQ(ScanFloats(Ask(std::string("cr ") + reg), key, fmt, a, b), 1) << reg;
        return a;
    }
    int ReadInt(const char* reg, const char* key, const char* fmt) {
        int v = -1;
        EXPECT_EQ(ScanInt(Ask(std::string("cr ") + reg), key, fmt, v), 1) << reg;
        return v;
    }

    std::unique_ptr<sim::Device> dev_;
    std::unique_ptr<sim::HostBench> bench_;
};

const char* const kReadRegisters[] = {"Sv", "Wo", "Wc", "Ww", "Wf", "Wl",
                                      "Wk", "Wi", "Wt", "Wu", "Pi", "Pt"};

TEST_F(SimDeviceTest, EveryReadIsFramedWithLinesEndingLfCr) {
    for (const char* reg : kReadRegisters) {
        std::string r = Ask(std::string("cr ") + reg);
        ASSERT_GE(r.size(), 4u) << reg;
        EXPECT_EQ(r.front(), '\x02') << reg;
        EXPECT_EQ(r.back(), '\x03') << reg;
        std::string body = r.substr(1, r.size() - 2);
        ASSERT_GE(body.size(), 2u) << reg;
        EXPECT_EQ(body.substr(body.size() - 2), "\n\r") << reg;
        for (std::size_t i = 0; i < body.size(); ++i) {
            unsigned char c = static_cast<unsigned char>(body[i]);
            if (c == '\n') {
                ASSERT_LT(i + 1, body.size()) << reg;
                EXPECT_EQ(body[i + 1], '\r') << reg;
            } else if (c != '\r') {
                EXPECT_TRUE(c >= 0x20 && c < 0x7F) << reg << " byte " << int(c);
            }
        }
    }
}

TEST_F(SimDeviceTest, IdentificationFillsFirmwareAndHardwareApart) {
    std::string text = AsReceived(Ask("cr Sv"));
    // The hardware row cuts the reply after MHz; the firmware row takes everything from its
    // key on. With the hardware line first, each gets only its own line.
    std::string fw = Remainder(text, "Lum_Rax_");
    ASSERT_FALSE(fw.empty());
    EXPECT_EQ(fw.find("HW Rev"), std::string::npos);
    EXPECT_EQ(fw.substr(0, fw.find('\r')), sim::kFirmwareText);
    std::size_t mhz = text.find("MHz");
    ASSERT_NE(mhz, std::string::npos);
    EXPECT_LT(mhz, 255u);
    std::string cut = text.substr(0, mhz + 3);
    EXPECT_EQ(Remainder(cut, "Lum_Rax, HW Rev"), sim::kHardwareText);
    EXPECT_EQ(text.find("Bootloader for"), std::string::npos);
}

TEST_F(SimDeviceTest, RepliesScanIntoTheDevicesSettings) {
    sim::Application& app = dev_->app();
    EXPECT_EQ(ReadInt("Wo", "PWM_active", "%*s %*s %i"), 1);
    EXPECT_EQ(ReadInt("Wc", "pwm_ctl_active", "%*s %*s %i"), 0);
    EXPECT_EQ(ReadInt("Ww", "pwm_search_a", "%*s %*s %xi"), 0);
    float f = 0, d = 0;
    ASSERT_EQ(ScanFloats(Ask("cr Wf"), "frequency", "%*s %f %*s %*s %*s %*s %*s %f", f, d), 2);
    EXPECT_NEAR(f, app.FrequencyKhz(), 0.005);
    EXPECT_NEAR(d, app.DutyPercent(), 0.05);
    std::string limits = Ask("cr Wl");
    float a = 0, b = 0;
    ASSERT_EQ(ScanFloats(limits, "fmax:", "%*s %f", a, b), 1);
    EXPECT_EQ(a, 250.0f);
    ASSERT_EQ(ScanFloats(limits, "fmin:", "%*s %f", a, b), 1);
    EXPECT_EQ(a, 100.0f);
    EXPECT_NEAR(ReadFloat("Wk", "pwm_search_Vmin:", "%*s %f"), 24.0, 1e-4);
    EXPECT_NEAR(ReadFloat("Pt", "threshold", "%*s %f"), 75.0, 1e-4);
}

TEST_F(SimDeviceTest, MeasurementsScanIntoPlausibleValues) {
    float v = 0, i = 0;
    ASSERT_EQ(ScanFloats(Ask("cr Wi"), "VOLT: ", "%*s %f %*s %*s %f", v, i), 2);
    EXPECT_GT(v, 100.0f);
    EXPECT_LT(v, 200.0f);
    EXPECT_NEAR(i, v / 80.0f, 0.05);  // the antenna is a resistive load at resonance
    float t = ReadFloat("Wt", "TMP10", "%*s %*s %f");
    EXPECT_GT(t, 20.0f);
    EXPECT_LT(t, 40.0f);
    float vin = ReadFloat("Wu", "VINF:", "%*s %f");
    EXPECT_GT(vin, 23.5f);
    EXPECT_LT(vin, 24.5f);
    std::string pi = Ask("cr Pi");
    float iavg = 0, p = 0, unused = 0;
    ASSERT_EQ(ScanFloats(pi, "ADC2, IANT", "%*s %*s %f", iavg, unused), 1);
    ASSERT_EQ(ScanFloats(pi, "Power: ", "%*s %f", p, unused), 1);
    EXPECT_GT(iavg, 0.1f);
    EXPECT_LT(iavg, 1.0f);
    EXPECT_GT(p, 1.0f);
    EXPECT_LT(p, 30.0f);
}

TEST_F(SimDeviceTest, AcknowledgementsCarryNoKnownString) {
    const char* const writes[] = {
        "cw Wo0",     "cw Wo1",      "cw Wo7",          "cw Wc1",      "cw Wc0",     "cw Wf+",
        "cw Wf-",     "cw Wf*",      "cw Wd+",          "cw Wd-",      "cw Wlx 200", "cw Wli 120",
        "cw Wlx 999", "cw Wli x",    "cw Wk 24.000000", "cw Wk 99",    "cw WwA5",    "cw Ww0",
        "cw Ww3",     "cw Pt 80",    "cw Pt x",         "cw Wesave",   "cw Efault1", "cw Wn1",
        "cw Wn0",     "cw SeKTZ73x", "cw Wesave",       "cw Efault1",  "cw Se0",     "cw Xy1",
        "cr Zz",      "hello",       "cw Fe",           "cr Mr 99999",
    };
    for (const char* w : writes) {
        std::string r = Ask(w);
        ASSERT_GE(r.size(), 3u) << w;
        EXPECT_EQ(r.front(), '\x02') << w;
        EXPECT_EQ(r.back(), '\x03') << w;
        for (const Key& k : kKnownStrings) {
            EXPECT_EQ(r.find(std::string(k.text, k.len)), std::string::npos)
                << w << " has " << k.text;
        }
        // A reply that starts with A and a digit would be dropped unseen.
        EXPECT_FALSE(r[1] == 'A' && r[2] >= '0' && r[2] <= '7') << w;
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
        {{"cw Wo0"}, "Wo", "PWM_active", "%*s %*s %i", 0},
        {{"cw Wo0", "cw Wo1"}, "Wo", "PWM_active", "%*s %*s %i", 1},
        {{"cw Wo5"}, "Wo", "PWM_active", "%*s %*s %i", 1},
        {{"cw Wc1"}, "Wc", "pwm_ctl_active", "%*s %*s %i", 1},
        {{"cw WwA5"}, "Ww", "pwm_search_a", "%*s %*s %xi", 0xA5},
        {{"cw WwA5", "cw Ww0"}, "Ww", "pwm_search_a", "%*s %*s %xi", 0},
        {{"cw Ww165"}, "Ww", "pwm_search_a", "%*s %*s %xi", 0},
        {{"cw Wf+"}, "Wf", "frequency", "%*s %f", kf / 127},
        {{"cw Wf-", "cw Wf-"}, "Wf", "frequency", "%*s %f", kf / 130},
        {{"cw Wd+"}, "Wf", "frequency", "%*s %*f %*s %*s %*s %*s %*s %f", 50.5},
        {{"cw Wd-", "cw Wd-"}, "Wf", "frequency", "%*s %*f %*s %*s %*s %*s %*s %f", 49.0},
        {{"cw Wlx 200"}, "Wl", "fmax:", "%*s %f", 200},
        {{"cw Wlx 251"}, "Wl", "fmax:", "%*s %f", 250},
        {{"cw Wli 150"}, "Wl", "fmin:", "%*s %f", 150},
        {{"cw Wlx 140", "cw Wli 150"}, "Wl", "fmin:", "%*s %f", 100},  // not above fmax
        {{"cw Wli 99"}, "Wl", "fmin:", "%*s %f", 100},
        {{"cw Wk 30.000000"}, "Wk", "pwm_search_Vmin:", "%*s %f", 30},
        {{"cw Wk 19.990000"}, "Wk", "pwm_search_Vmin:", "%*s %f", 24},
        {{"cw Pt 60"}, "Pt", "threshold", "%*s %f", 60},
        {{"cw Pt -3"}, "Pt", "threshold", "%*s %f", -3},
        {{"cw Pt 7.5"}, "Pt", "threshold", "%*s %f", 75},
        // A limit below the running frequency pulls the frequency in.
        {{"cw Wlx 110"}, "Wf", "frequency", "%*s %f", kf / 146},
    };
    for (const Case& c : cases) {
        Reset(sim::Scenario{});
        std::string label = std::string(c.reg) + " after " + c.writes.front();
        for (const char* w : c.writes) Ask(w);
        std::string r = Ask(std::string("cr ") + c.reg);
        if (std::string(c.fmt).find('i') != std::string::npos) {
            int v = -1;
            ASSERT_EQ(ScanInt(r, c.key, c.fmt, v), 1) << label;
            EXPECT_EQ(v, static_cast<int>(c.want)) << label;
        } else {
            float v = -1, unused = 0;
            ASSERT_EQ(ScanFloats(r, c.key, c.fmt, v, unused), 1) << label;
            EXPECT_NEAR(v, c.want, 0.006) << label;
        }
    }
}

TEST_F(SimDeviceTest, FrequencyStepsStayWithinTheLimits) {
    for (int i = 0; i < 200; ++i) Ask("cw Wf+");
    EXPECT_NEAR(ReadFloat("Wf", "frequency", "%*s %f"), 250.0, 0.005);
    EXPECT_EQ(Ask("cw Wf+"),
              "\x02"
              "at limit\n\r\x03");
    for (int i = 0; i < 200; ++i) Ask("cw Wf-");
    EXPECT_NEAR(ReadFloat("Wf", "frequency", "%*s %f"), 100.0, 0.005);
    for (int i = 0; i < 200; ++i) Ask("cw Wd+");
    EXPECT_NEAR(ReadFloat("Wf", "frequency", "%*s %*f %*s %*s %*s %*s %*s %f"), 95.0, 0.05);
}

TEST_F(SimDeviceTest, StepsWhileOutputIsOffNeedOfflineEdit) {
    Ask("cw Wo0");
    Ask("cw Wf+");
    EXPECT_EQ(dev_->app().live().top, 128);
    Ask("cw Wn1");
    Ask("cw Wf+");
    EXPECT_EQ(dev_->app().live().top, 127);
}

TEST_F(SimDeviceTest, EepromSaveNeedsThePasswordAndSurvivesAPowerCycle) {
    sim::Application& app = dev_->app();
    Ask("cw Wf+");
    Ask("cw Pt 66");
    Ask("cw Wesave");
    EXPECT_EQ(app.eeprom(), sim::PwmSettings{});  // locked
    Ask("cw SeKTZ7");                             // wrong: disables
    Ask("cw Wesave");
    EXPECT_EQ(app.eeprom(), sim::PwmSettings{});
    Ask("cw SeKTZ73x");
    EXPECT_TRUE(app.write_enabled());
    Ask("cw Wesave");
    EXPECT_EQ(app.eeprom(), app.live());
    dev_->PowerCycle();
    EXPECT_FALSE(app.write_enabled());
    EXPECT_EQ(app.live().top, 127);
    EXPECT_EQ(app.live().temp_threshold, 66);
    Ask("cw SeKTZ73x");
    Ask("cw Efault1");
    EXPECT_EQ(app.live().top, 127);  // defaults only after the next power-up
    dev_->PowerCycle();
    EXPECT_EQ(app.live(), sim::PwmSettings{});
    Ask("cw Se0");
    EXPECT_FALSE(app.write_enabled());
}

TEST_F(SimDeviceTest, SearchAlwaysTunesToResonanceAtPowerUp) {
    Ask("cw SeKTZ73x");
    Ask("cw WwA5");
    Ask("cw Wesave");
    dev_->PowerCycle();
    EXPECT_EQ(dev_->app().live().top, dev_->app().BestTop());
    EXPECT_NEAR(dev_->app().FrequencyKhz(), 131.0, 1.1);
}

TEST_F(SimDeviceTest, AutoSearchIsDeafWhileRunningThenReports) {
    EXPECT_EQ(Ask("cw Ws1"),
              "\x02"
              "search running\n\r\x03");
    EXPECT_EQ(Ask("cr Wo"), "");  // busy: nothing, not even after a while
    std::string done = bench_->Collect(3 * kSecond, 50 * kMilli);
    float f = 0, d = 0;
    ASSERT_EQ(ScanFloats(done, "frequency", "%*s %f %*s %*s %*s %*s %*s %f", f, d), 2);
    EXPECT_NEAR(f, 131.0, 1.1);
    EXPECT_NEAR(f, dev_->app().FrequencyKhz(), 0.005);
    EXPECT_EQ(ReadInt("Wo", "PWM_active", "%*s %*s %i"), 1);

    Reset(sim::Scenario{});
    Ask("cw Wk 30");  // the supply cannot reach this minimum
    EXPECT_EQ(Ask("cw Ws1"),
              "\x02"
              "supply too low, no search\n\r\x03");
    EXPECT_EQ(dev_->app().live().top, 128);
}

TEST_F(SimDeviceTest, OverTemperatureSwitchesTheOutputOff) {
    Ask("cw Pt 30");
    dev_->Advance(300 * kSecond);
    EXPECT_EQ(ReadInt("Wo", "PWM_active", "%*s %*s %i"), 0);
    EXPECT_TRUE(dev_->app().alarm());
    EXPECT_GE(ReadFloat("Wt", "TMP10", "%*s %*s %f"), 29.0f);
    float v = ReadFloat("Wi", "VOLT: ", "%*s %f");
    EXPECT_EQ(v, 0.0f);
    Ask("cw Wo1");
    EXPECT_FALSE(dev_->app().alarm());
}

TEST_F(SimDeviceTest, MeasurementsVaryOverTimeAndRepeatWithTheSeed) {
    auto run = [](uint64_t seed) {
        sim::Scenario s;
        s.seed = seed;
        sim::Device d(s);
        sim::HostBench b(d);
        std::vector<std::string> out;
        for (int i = 0; i < 20; ++i) {
            out.push_back(b.Exchange("cr Wi\r"));
            d.Advance(137 * kMilli);
        }
        return out;
    };
    std::vector<std::string> a = run(7);
    EXPECT_EQ(a, run(7));
    EXPECT_NE(a, run(8));
    std::set<std::string> distinct(a.begin(), a.end());
    EXPECT_GT(distinct.size(), 5u);
}

TEST_F(SimDeviceTest, FlashReadStreamsRawBytesAndEraseClearsTheApplication) {
    sim::Scenario s;
    s.timing.stream_gap = 0;
    Reset(s);
    const std::vector<uint8_t>& flash = dev_->flash().bytes();
    std::string all = bench_->Exchange("cr Mr\r", 20 * kSecond);
    ASSERT_EQ(all.size(), 0x8000u);
    EXPECT_TRUE(std::equal(all.begin(), all.end(), flash.begin(),
                           [](char c, uint8_t b) { return static_cast<uint8_t>(c) == b; }));
    std::string part = bench_->Exchange("cr Mr 100 20\r");
    EXPECT_EQ(part, std::string(reinterpret_cast<const char*>(flash.data()) + 0x100, 0x20));
    std::string tail = bench_->Exchange("cr Mr 7FF0 100\r");
    EXPECT_EQ(tail.size(), 0x10u);

    std::vector<uint8_t> boot(flash.begin() + 0x7000, flash.end());
    ASSERT_TRUE(dev_->flash().HasApplication());
    EXPECT_EQ(Ask("cw Fe"),
              "\x02"
              "flash erased\n\r\x03");
    EXPECT_FALSE(dev_->flash().HasApplication());
    EXPECT_EQ(std::count(flash.begin(), flash.begin() + 0x7000, 0xFF), 0x7000);
    EXPECT_TRUE(std::equal(boot.begin(), boot.end(), flash.begin() + 0x7000));
}

TEST_F(SimDeviceTest, SbootSwitchesBetweenApplicationAndBootloader) {
    EXPECT_EQ(Ask("cw Sboot"),
              "\x02"
              "starting bootloader\n\r\x03");
    EXPECT_EQ(dev_->running(), sim::Firmware::kBootloader);
    std::string id = AsReceived(Ask("cr Sv"));
    EXPECT_EQ(Remainder(id, "Bootloader for").substr(0, 25), "Bootloader for ATmega328P");
    EXPECT_EQ(id.find("Lum_Rax"), std::string::npos);
    EXPECT_EQ(Ask("cr Wo"), "");  // not a bootloader command
    Ask("cw Sboot");
    EXPECT_EQ(dev_->running(), sim::Firmware::kApplication);
    EXPECT_EQ(ReadInt("Wo", "PWM_active", "%*s %*s %i"), 1);

    sim::Scenario blank;
    blank.flash = sim::FlashContent::kBlank;
    Reset(blank);
    EXPECT_EQ(dev_->running(), sim::Firmware::kBootloader);
    EXPECT_EQ(Ask("cw Sboot"),
              "\x02"
              "no application\n\r\x03");
    EXPECT_EQ(dev_->running(), sim::Firmware::kBootloader);
}

TEST_F(SimDeviceTest, ReplyBytesLeaveAtTheLineRate) {
    struct Case {
        int32_t baud;
        std::size_t bytes;
    };
    for (const Case c :
         {Case{1200, 120}, Case{9600, 960}, Case{38400, 3840}, Case{115200, 11520}}) {
        sim::Scenario s;
        s.baudrate = c.baud;
        s.timing.stream_chunk = 0x8000;  // one burst, no pauses
        Reset(s);
        char cmd[32];
        std::snprintf(cmd, sizeof cmd, "cr Mr 0 %zX\r", c.bytes);
        bench_->Send(cmd);
        // As the program sees it: one read per 10 ms tick.
        std::vector<std::size_t> per_tick;
        std::size_t total = 0, first_tick = 0;
        uint8_t buf[8192];
        for (std::size_t tick = 1; tick < 500 && total < c.bytes; ++tick) {
            dev_->Advance(sim::kTick);
            std::size_t n = dev_->HostRead(buf, sizeof buf);
            if (n > 0 && total == 0) first_tick = tick;
            if (total > 0 || n > 0) per_tick.push_back(n);
            total += n;
        }
        ASSERT_EQ(total, c.bytes) << c.baud;
        // The command itself takes 10 bits per character to reach the device.
        const double cmd_ms = std::strlen(cmd) * 10000.0 / c.baud;
        EXPECT_GE(first_tick * 10.0, cmd_ms) << c.baud;
        // N bytes of 10 bits: 1 s of line time for every case of the table.
        EXPECT_GE(per_tick.size(), 100u) << c.baud;
        EXPECT_LE(per_tick.size(), 101u) << c.baud;
        const std::size_t per_10ms = static_cast<std::size_t>(std::ceil(c.baud / 1000.0));
        for (std::size_t n : per_tick) EXPECT_LE(n, per_10ms) << c.baud;
    }
}

TEST_F(SimDeviceTest, TextRepliesComeInChunksButWithinTheIdleTime) {
    std::string r = bench_->Exchange("cr Pi\r");
    ASSERT_FALSE(r.empty());
    ASSERT_GE(bench_->arrivals.size(), 2u);
    for (std::size_t i = 1; i < bench_->arrivals.size(); ++i) {
        EXPECT_LT(bench_->arrivals[i].at - bench_->arrivals[i - 1].at, 50 * kMilli);
    }
}

TEST(SimWireTest, EqualRatesCarryEveryByteValue) {
    sim::Wire w;
    std::vector<uint8_t> all(256);
    for (int i = 0; i < 256; ++i) all[i] = static_cast<uint8_t>(i);
    sim::Nanos end = w.Send(5 * kMilli, all.data(), all.size(), 57600);
    EXPECT_EQ(end, 5 * kMilli + 256 * sim::CharTime(57600));
    std::vector<sim::ReceivedByte> got;
    w.Receive(end, 57600, got);
    ASSERT_EQ(got.size(), 256u);
    for (int i = 0; i < 256; ++i) EXPECT_EQ(got[i].value, i);
    EXPECT_LE(got.back().at, end);
}

TEST(SimWireTest, MismatchedRatesGarbleTheSameWayEveryTime) {
    const std::string text = "\x02PWM_active = 1\n\r\x03";
    auto through = [&](int32_t tx, int32_t rx) {
        sim::Wire w;
        sim::Nanos end = w.Send(0, reinterpret_cast<const uint8_t*>(text.data()), text.size(), tx);
        std::vector<sim::ReceivedByte> got;
        w.Receive(end + kSecond, rx, got);
        std::string s;
        for (const auto& b : got) s.push_back(static_cast<char>(b.value));
        return s;
    };
    EXPECT_EQ(through(9600, 9600), text);
    struct Case {
        int32_t tx, rx;
    };
    for (Case c : {Case{38400, 9600}, Case{9600, 38400}, Case{19200, 14400}, Case{1200, 115200}}) {
        std::string g = through(c.tx, c.rx);
        EXPECT_NE(g, text) << c.tx << "->" << c.rx;
        EXPECT_EQ(g.find("PWM_active"), std::string::npos) << c.tx << "->" << c.rx;
        EXPECT_EQ(g, through(c.tx, c.rx)) << c.tx << "->" << c.rx;
    }
    // A fast sender seen by a slow receiver loses characters; the reverse gains some.
    EXPECT_LT(through(38400, 9600).size(), text.size());
    EXPECT_GT(through(1200, 115200).size(), text.size());
}

TEST_F(SimDeviceTest, ACommandAtTheWrongRateGetsNoUsefulAnswer) {
    dev_->SetHostBaud(9600);  // device at 38400
    std::string r = Ask("cr Sv");
    EXPECT_EQ(r.find("Lum_Rax"), std::string::npos);
    EXPECT_EQ(dev_->LastReply("Sv"), "");

    Reset(sim::Scenario{});
    dev_->SetHostBaud(115200);
    std::string first = Ask("cr Wo");
    Reset(sim::Scenario{});
    dev_->SetHostBaud(115200);
    EXPECT_EQ(Ask("cr Wo"), first);
    EXPECT_EQ(first.find("PWM_active"), std::string::npos);
}

TEST_F(SimDeviceTest, FaultsChangeWhatTheDeviceSends) {
    sim::Scenario s;
    s.faults.no_reply_to = "Wt,Wu";
    Reset(s);
    EXPECT_EQ(Ask("cr Wt"), "");
    EXPECT_EQ(Ask("cr Wu"), "");
    EXPECT_NE(Ask("cr Wo"), "");

    s = sim::Scenario{};
    s.faults.no_reply_to = "*";
    Reset(s);
    EXPECT_EQ(Ask("cr Sv"), "");
    EXPECT_EQ(Ask("cw Wo0"), "");
    EXPECT_FALSE(dev_->app().pwm_active());  // deaf-mute, not dead: the write still acts

    s = sim::Scenario{};
    s.faults.late_reply = 3 * kSecond;
    Reset(s);
    bench_->Send("cr Wo\r");
    EXPECT_EQ(bench_->Collect(2900 * kMilli), "");
    EXPECT_EQ(bench_->Collect(kSecond), "\x02PWM_active = 1\n\r\x03");

    s = sim::Scenario{};
    s.faults.no_etx_to = "Wo";
    Reset(s);
    EXPECT_EQ(Ask("cr Wo"), "\x02PWM_active = 1\n\r");
    EXPECT_EQ(Ask("cr Wc").back(), '\x03');

    s = sim::Scenario{};
    s.faults.garbage_bytes = 5;
    s.faults.garbage_every = 2;
    Reset(s);
    EXPECT_EQ(Ask("cr Wo"), "\x02PWM_active = 1\n\r\x03");
    std::string g = Ask("cr Wo");
    ASSERT_EQ(g.size(), 5u + 18u);
    EXPECT_EQ(g.substr(5), "\x02PWM_active = 1\n\r\x03");

    s = sim::Scenario{};
    s.faults.noise_period = 100 * kMilli;
    s.faults.noise_bytes = 4;
    Reset(s);
    std::string noise = bench_->Collect(1050 * kMilli, 2 * kSecond);
    EXPECT_EQ(noise.size(), 40u);

    s = sim::Scenario{};
    s.faults.disconnect_at = 500 * kMilli;
    Reset(s);
    EXPECT_NE(Ask("cr Wo"), "");
    dev_->Advance(500 * kMilli);
    EXPECT_TRUE(dev_->line_dead());
    EXPECT_EQ(Ask("cr Wo"), "");
}

TEST(SimPortTest, OpensOnlyItsPathAndRecordsTheRate) {
    sim::Device dev{sim::Scenario{}};
    sim::SimSerialPort port(dev);
    EXPECT_EQ(port.Open("\\\\.\\COM14", 38400), nullptr);
    platform::PortHandle h = port.Open("\\\\.\\COM15", 9600);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(port.baudrate(), 9600);
    EXPECT_EQ(dev.host_baud(), 9600);
    EXPECT_EQ(port.Open("\\\\.\\COM15", 9600), nullptr);  // exclusive
    port.Close(h);
    EXPECT_FALSE(port.is_open());
    port.set_present(false);
    EXPECT_EQ(port.Open("\\\\.\\COM15", 38400), nullptr);
    port.set_present(true);

    h = port.Open("\\\\.\\COM15", 38400);
    ASSERT_NE(h, nullptr);
    const uint8_t cmd[] = {'c', 'r', ' ', 'W', 'o', '\r'};
    auto* other = reinterpret_cast<platform::PortHandle>(0x1);
    EXPECT_EQ(port.Write(other, cmd, sizeof cmd), 0u);
    EXPECT_EQ(port.Write(h, cmd, sizeof cmd), sizeof cmd);
    port.Close(h);
    uint8_t buf[64];
    EXPECT_EQ(port.Read(h, buf, sizeof buf), 0u);
    // The reply comes while the port is closed; opening purges it.
    for (int i = 0; i < 10; ++i) port.Tick();
    h = port.Open("\\\\.\\COM15", 38400);
    ASSERT_NE(h, nullptr);
    for (int i = 0; i < 10; ++i) port.Tick();
    EXPECT_EQ(port.Read(h, buf, sizeof buf), 0u);
    port.Write(h, cmd, sizeof cmd);
    std::size_t n = 0;
    for (int i = 0; i < 10; ++i) {
        port.Tick();
        n += port.Read(h, buf + n, sizeof buf - n);
    }
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), n), "\x02PWM_active = 1\n\r\x03");
    EXPECT_EQ(port.writes(), (std::vector<std::string>{"cr Wo\r", "cr Wo\r"}));
}

TEST(SimOptionsTest, CommandLineBecomesAScenario) {
    sim::SimOptions o;
    std::string err;
    ASSERT_TRUE(sim::ParseOptions({"--link",     "/tmp/com15",
                                   "--baud",     "1200",
                                   "--firmware", "boot",
                                   "--chip",     "1284P",
                                   "--flash",    "blank",
                                   "--seed",     "9",
                                   "--trace",    "--no-reply",
                                   "Wt,Wu",      "--late-ms",
                                   "250",        "--no-etx",
                                   "*",          "--record-letter",
                                   "3:c",        "--record-letter",
                                   "7:Q",        "--garbage",
                                   "4:2",        "--noise-ms",
                                   "300",        "--disconnect-after-records",
                                   "12",         "--disconnect-at-ms",
                                   "9000"},
                                  o, err))
        << err;
    const sim::Scenario& s = o.scenario;
    EXPECT_EQ(o.link, "/tmp/com15");
    EXPECT_TRUE(o.trace);
    EXPECT_EQ(s.baudrate, 1200);
    EXPECT_EQ(s.firmware, sim::Firmware::kBootloader);
    EXPECT_EQ(s.chip, sim::Chip::kAtmega1284P);
    EXPECT_EQ(s.flash, sim::FlashContent::kBlank);
    EXPECT_EQ(s.seed, 9u);
    EXPECT_EQ(s.faults.no_reply_to, "Wt,Wu");
    EXPECT_EQ(s.faults.late_reply, 250 * kMilli);
    EXPECT_EQ(s.faults.no_etx_to, "*");
    EXPECT_EQ(s.faults.record_letter, (std::map<uint32_t, char>{{3, 'c'}, {7, 'Q'}}));
    EXPECT_EQ(s.faults.garbage_bytes, 4u);
    EXPECT_EQ(s.faults.garbage_every, 2u);
    EXPECT_EQ(s.faults.noise_period, 300 * kMilli);
    EXPECT_EQ(s.faults.disconnect_after_records, 12u);
    EXPECT_EQ(s.faults.disconnect_at, 9 * kSecond);

    const std::vector<std::vector<std::string>> bad = {
        {"--baud"},
        {"--baud", "fast"},
        {"--baud", "-5"},
        {"--chip", "8515"},
        {"--firmware", "x"},
        {"--bogus", "1"},
        {"--record-letter", "3"},
        {"--record-letter", "x:c"},
        {"--garbage", "4"},
        {"--garbage", "4:0"},
        {"--late-ms", "1e3"},
        {"--link", ""},
    };
    for (const auto& args : bad) {
        sim::SimOptions b;
        std::string e;
        EXPECT_FALSE(sim::ParseOptions(args, b, e)) << args[0];
        EXPECT_FALSE(e.empty()) << args[0];
    }
}

TEST(SimListTest, RegisterListsMatchWholeNames) {
    EXPECT_TRUE(sim::ListMatches("*", "Wo"));
    EXPECT_TRUE(sim::ListMatches("Wt,Wo", "Wo"));
    EXPECT_FALSE(sim::ListMatches("Wt,Wo", "W"));
    EXPECT_FALSE(sim::ListMatches("Wox", "Wo"));
    EXPECT_FALSE(sim::ListMatches("", "Wo"));
}

}  // namespace
