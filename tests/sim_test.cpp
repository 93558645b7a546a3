// The simulated generator: what its firmware reports after writes, its bootloader (binary
// records in, one letter out) and its serial line.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "sim/host_bench.h"
#include "sim/options.h"

namespace {

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

// The simulator's command line, split at spaces.
sim::Scenario Scenario(const std::string& line) {
    std::istringstream in(line);
    sim::SimOptions o;
    std::string error;
    EXPECT_TRUE(sim::ParseOptions({std::istream_iterator<std::string>(in), {}}, o, error)) << error;
    return o.scenario;
}

// One record as the program sends it: colon, count, address, type, data, checksum, CR LF.
// The checksum makes the sum of count through checksum zero modulo 256.
std::string Record(uint8_t type, uint16_t addr, const std::vector<uint8_t>& data, int error = 0) {
    std::string r = {':', static_cast<char>(data.size()), static_cast<char>(addr >> 8),
                     static_cast<char>(addr & 0xFF), static_cast<char>(type)};
    r.append(data.begin(), data.end());
    unsigned sum = 0;
    for (std::size_t i = 1; i < r.size(); ++i) sum += static_cast<uint8_t>(r[i]);
    r.push_back(static_cast<char>((0x100 - (sum & 0xFF) + error) & 0xFF));
    return r + "\r\n";
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

    std::unique_ptr<sim::Device> dev_;
    std::unique_ptr<sim::HostBench> bench_;
};

TEST_F(SimDeviceTest, WritesChangeWhatReadsReport) {
    const double kf = sim::kTimerClockKhz;
    const std::tuple<std::vector<const char*>, const char*, const char*, const char*, double>
        cases[] = {
            {{"cw Wo0"}, "Wo", "PWM_active", kInt, 0},
            {{"cw Wc1"}, "Wc", "pwm_ctl_active", kInt, 1},
            {{"cw WwA5"}, "Ww", "pwm_search_a", "%*s %*s %xi", 0xA5},
            {{"cw Wf+"}, "Wf", "frequency", kFreq, kf / 127},  // a shorter period
            {std::vector<const char*>(200, "cw Wf+"), "Wf", "frequency", kFreq, 250},
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
    for (const auto& [writes, reg, key, fmt, want] : cases) {
        SCOPED_TRACE(std::string(reg) + " after " + writes.front());
        Reset();
        for (const char* w : writes) Ask(w);
        EXPECT_NEAR(Scan(Ask(std::string("cr ") + reg), key, fmt), want, 0.006);
    }
    EXPECT_EQ(Ask("cw Wd+"), "\002at limit\n\r\x03");
}

// As the program sees it: one read per 10 ms tick, never more than the line carries; at a
// rate the receiver does not share, the bytes come garbled.
TEST_F(SimDeviceTest, BytesLeaveAtTheLineRate) {
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
        std::size_t total = 0, ticks = 0;
        uint8_t buf[16384];
        for (std::size_t tick = 1; tick < 500 && total < bytes; ++tick) {
            dev_->Advance(sim::kTick);
            const std::size_t n = dev_->HostRead(buf, sizeof buf);
            if (total > 0 || n > 0) ++ticks;
            EXPECT_LE(n, static_cast<std::size_t>(std::ceil(baud / 1000.0)));
            total += n;
        }
        ASSERT_EQ(total, bytes);
        EXPECT_TRUE(ticks == 100 || ticks == 101) << ticks;
    }
    Reset();
    dev_->SetHostBaud(9600);
    EXPECT_EQ(Ask("cr Wo").find("PWM_active"), std::string::npos);
}

// What lumrax must cope with: the identification in parts, silent or failing boot
// commands, an erase that keeps the bootloader deaf, a short read-back. want is the answer
// to the command, then what follows after a pause; boot: the bootloader runs afterwards.
TEST_F(SimDeviceTest, IdentificationAndBootCommandFaults) {
    auto framed = [](const std::string& line) { return "\x02" + line + "\n\r\x03"; };
    const std::string hw = framed(sim::kHardwareText), fw = framed(sim::kFirmwareText);
    const std::string both =
        "\x02" + std::string(sim::kHardwareText) + "\n\r" + sim::kFirmwareText + "\n\r\x03";
    const std::tuple<const char*, const char*, std::string, std::string, bool> cases[] = {
        {"", "cr Sv", both, "", false},
        {"--sv hw", "cr Sv", hw, "", false},
        {"--sv apart", "cr Sv", hw, fw, false},
        {"--no-reply Sboot", "cw Sboot", "", "", true},
        {"--no-switch", "cw Sboot", framed("starting bootloader"), "", false},
        {"--firmware boot --no-reply Fe", "cw Fe", "", "", true},
        {"--firmware boot --erase-fails", "cw Fe", framed("flash erase failed"), "", true},
        // Deaf while erasing: the read right behind the erase is lost.
        {"--firmware boot --erase-ms 300", "cw Fe\rcr Sv", framed("flash erased"), "", true},
        {"--stream-limit 5", "cr Mr", std::string("\x0C\x94\x34\x00\x0C", 5), "", false},
    };
    for (const auto& [options, command, want, later, boot] : cases) {
        SCOPED_TRACE(options);
        Reset(Scenario(options));
        EXPECT_EQ(Ask(command), want);
        EXPECT_EQ(bench_->Collect(), later);
        EXPECT_EQ(dev_->running() == sim::Firmware::kBootloader, boot);
    }
}

// Data that holds CR LF and colons: records are framed by their length, not by line ends.
const std::vector<uint8_t> kData = {0x0D, 0x0A, 0x3A, 0x0C, 0x94, 0x0D, 0x0A, 0x00,
                                    0x3A, 0x21, 0x28, 0x2F, 0x36, 0x3D, 0x0D, 0x0A};

// Each case writes at most one data record of kData; all else in the flash stays as it was.
TEST(SimBootloaderTest, RecordsAreAnsweredWithTheirLetters) {
    constexpr uint32_t kNone = UINT32_MAX;
    std::string flipped = Record(0x00, 0x0300, kData);
    flipped[3] = static_cast<char>(flipped[3] ^ 0x01);  // an address byte: caught by the sum
    std::string no_crlf = Record(0x00, 0x0300, kData);
    no_crlf.replace(no_crlf.size() - 2, 2, "xx");
    struct Case {
        const char* chip;
        std::vector<std::string> records;
        std::string want;     // the letters, in order
        uint32_t written_at;  // where the data record landed
    };
    const Case cases[] = {
        {"328P", {Record(0x00, 0x0100, kData)}, "w", 0x0100},
        {"328P", {Record(0x00, 0x0200, kData, 0x80)}, "c", kNone},
        {"328P", {flipped}, "c", kNone},
        {"328P", {no_crlf, Record(0x00, 0x0300, kData)}, "sw", 0x0300},
        {"328P", {Record(0x01, 0, {})}, "n", kNone},
        {"328P", {Record(0x01, 0, {0x00})}, "s", kNone},
        {"1284P", {Record(0x02, 0, {0x10, 0x00}), Record(0x00, 0x0040, kData)}, "ww", 0x10040},
        {"1284P", {Record(0x04, 0, {0x00, 0x01}), Record(0x00, 0x0080, kData)}, "ww", 0x10080},
        {"1281",
         {Record(0x02, 0, {0x10, 0}), Record(0x02, 0, {0, 0}), Record(0, 0x40, kData)},
         "www",
         0x0040},
        {"328P", {Record(0x02, 0, {0x10})}, "s", kNone},
        {"328P", {Record(0x03, 0, {0, 0, 0, 0}), Record(0x05, 0, {0, 0, 0, 0})}, "ww", kNone},
        {"328P", {Record(0x07, 0, {1, 2})}, "x", kNone},
        // Outside the application section: the boot section protects itself.
        {"328P", {Record(0x00, 0x7000, kData)}, "e", kNone},
        {"328P", {Record(0x00, 0x6FF8, kData)}, "e", kNone},
        {"328P", {Record(0x02, 0, {0x10, 0x00}), Record(0x00, 0x0000, kData)}, "we", kNone},
        {"328P", {Record(0x00, 0x6FF0, kData), Record(0x01, 0, {})}, "wn", 0x6FF0},
    };
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE("case " + std::to_string(i));
        const Case& c = cases[i];
        sim::Device dev(Scenario(std::string("--firmware boot --flash blank --chip ") + c.chip));
        sim::HostBench bench(dev);
        std::vector<uint8_t> want = dev.flash().bytes();
        if (c.written_at != kNone)
            std::copy(kData.begin(), kData.end(), want.begin() + c.written_at);
        std::string got;
        for (const std::string& r : c.records) got += bench.Exchange(r);
        EXPECT_EQ(got, c.want);
        EXPECT_TRUE(dev.flash().bytes() == want);
    }
}

}  // namespace
