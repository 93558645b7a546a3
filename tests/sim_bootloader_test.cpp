// The simulated generator's bootloader (binary records in, one letter out), and the faults
// either firmware can be given from the simulator's command line.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "sim/host_bench.h"
#include "sim/options.h"

namespace {

using sim::kMilli;
using sim::kSecond;

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

// The simulator's command line, split at spaces.
bool Parse(const std::string& line, sim::SimOptions& o, std::string& error) {
    std::istringstream in(line);
    return sim::ParseOptions({std::istream_iterator<std::string>(in), {}}, o, error);
}
sim::Scenario Scenario(const std::string& line) {
    sim::SimOptions o;
    std::string error;
    EXPECT_TRUE(Parse(line, o, error)) << error;
    return o.scenario;
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
        {"328P", {Record(0x00, 0x0200, kData, 1)}, "c", kNone},
        {"328P", {Record(0x00, 0x0200, kData, -1)}, "c", kNone},
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

TEST(SimBootloaderTest, InjectedLettersReplaceTheOutcomeAndAreNotWritten) {
    sim::Device dev(
        Scenario("--firmware boot --flash blank --record-letter 1:c --record-letter 2:e "
                 "--record-letter 3:f --record-letter 4:s --record-letter 5:x "
                 "--record-letter 6:Q --record-letter 7:W"));
    sim::HostBench bench(dev);
    const std::vector<uint8_t> d = {1, 2, 3, 4}, blank(4, 0xFF);
    std::string got;
    for (uint16_t i = 0; i < 9; ++i) got += bench.Exchange(Record(0x00, 0x100 * i, d));
    EXPECT_EQ(got, "wcefsxQWw");
    for (uint32_t i = 0; i < 9; ++i) {
        const std::vector<uint8_t>& want = i % 8 ? blank : d;
        EXPECT_TRUE(std::equal(want.begin(), want.end(), dev.flash().bytes().begin() + 0x100 * i))
            << i;
    }
    // Ordinals count from the bootloader's start: a switch back and forth restarts them.
    bench.Exchange("cw Sboot\r");
    EXPECT_EQ(bench.Exchange("cw Sboot\r"), "\x02starting bootloader\n\r\x03");
    EXPECT_EQ(bench.Exchange(Record(0x00, 0x0900, d)), "w");
    EXPECT_EQ(bench.Exchange(Record(0x00, 0x0A00, d)), "c");
}

// Each fault as the program meets it: what is sent, what arrives after `junk` unforeseeable
// bytes while the line is watched for `watch`, and what the device did meanwhile.
TEST(SimFaultTest, FaultsChangeWhatTheDeviceSends) {
    struct Step {
        std::string send, want;
        std::size_t junk = 0;
        sim::Nanos watch = 300 * kMilli;
    };
    struct Case {
        std::string options;
        std::vector<Step> steps;
        bool (*after)(sim::Device&) = nullptr;
    };
    const std::string wo = "cr Wo\r", on = "\x02PWM_active = 1\n\r\x03";
    const std::string boot = "--firmware boot --flash blank ";
    auto rec = [](uint16_t addr) { return Record(0x00, addr, kData); };
    const Case cases[] = {
        {"--no-reply Wt,Wu", {{"cr Wt\r", ""}, {"cr Wu\r", ""}, {wo, on}}},
        // Deaf-mute, not dead: the write still acts.
        {"--no-reply *",
         {{"cr Sv\r", ""}, {"cw Wo0\r", ""}},
         [](sim::Device& d) { return !d.app().pwm_active(); }},
        {"--late-ms 3000", {{wo, "", 0, 2900 * kMilli}, {"", on, 0, kSecond}}},
        {"--no-etx Wo",
         {{wo, on.substr(0, on.size() - 1)}, {"cr Wc\r", "\x02pwm_ctl_active = 0\n\r\x03"}}},
        {"--garbage 5:2", {{wo, on}, {wo, on, 5}}},
        {"--noise-ms 100 --noise-bytes 4", {{"", "", 40, 1050 * kMilli}}},
        {"--disconnect-at-ms 500",
         {{wo, on}, {"", ""}, {wo, ""}},
         [](sim::Device& d) { return d.line_dead(); }},
        {boot + "--disconnect-after-records 3",
         {{rec(0x00), "w"}, {rec(0x10), "w"}, {rec(0x20), "w"}, {rec(0x30), ""}, {"cr Sv\r", ""}},
         [](sim::Device& d) { return d.line_dead() && d.flash().at(0x30) == 0xFF; }},
        {boot + "--late-ms 6000", {{rec(0), "", 0, 5 * kSecond}, {"", "w", 0, 2 * kSecond}}},
        {boot + "--garbage 3:1", {{rec(0), "w", 3}}},
        // Written all the same: only the answer is lost.
        {boot + "--no-reply :",
         {{rec(0), ""}, {"cr Sv\r", "\002Bootloader for ATmega328P V1.3\n\r\x03"}},
         [](sim::Device& d) { return d.flash().at(0) == kData[0]; }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.options);
        sim::Device dev(Scenario(c.options));
        sim::HostBench bench(dev);
        for (const Step& step : c.steps) {
            bench.Send(step.send);
            const std::string got = bench.Collect(step.watch, step.watch);
            ASSERT_EQ(got.size(), step.junk + step.want.size()) << step.send;
            EXPECT_EQ(got.substr(step.junk), step.want) << step.send;
        }
        EXPECT_TRUE(c.after == nullptr || c.after(dev));
    }
    for (const char* bad : {"--baud", "--baud -5", "--chip 8515", "--bogus 1", "--garbage 4:0",
                            "--record-letter x:c", "--late-ms 1e3"}) {
        sim::SimOptions o;
        std::string error;
        EXPECT_FALSE(Parse(bad, o, error));
        EXPECT_FALSE(error.empty()) << bad;
    }
}

}  // namespace
