// The simulated generator's bootloader: binary records in, one letter out.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "sim/device.h"
#include "sim/host_bench.h"

namespace {

using sim::kMilli;
using sim::kSecond;

// One record as the program sends it: colon, count, address, type, data, checksum, CR LF.
// The checksum makes the sum of count through checksum zero modulo 256.
std::string Record(uint8_t type, uint16_t addr, const std::vector<uint8_t>& data,
                   int checksum_error = 0) {
    std::string r;
    r.push_back(':');
    r.push_back(static_cast<char>(data.size()));
    r.push_back(static_cast<char>(addr >> 8));
    r.push_back(static_cast<char>(addr & 0xFF));
    r.push_back(static_cast<char>(type));
    for (uint8_t b : data) r.push_back(static_cast<char>(b));
    unsigned sum = 0;
    for (std::size_t i = 1; i < r.size(); ++i) sum += static_cast<uint8_t>(r[i]);
    r.push_back(static_cast<char>((0x100 - (sum & 0xFF) + checksum_error) & 0xFF));
    r += "\r\n";
    return r;
}

std::vector<uint8_t> Bytes(std::size_t n, uint8_t first) {
    std::vector<uint8_t> v(n);
    for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(first + 7 * i);
    return v;
}

class SimBootloaderTest : public ::testing::Test {
  protected:
    SimBootloaderTest() { Reset(sim::Chip::kAtmega328P); }
    void Reset(sim::Chip chip, sim::FlashContent flash = sim::FlashContent::kBlank) {
        sim::Scenario s;
        s.firmware = sim::Firmware::kBootloader;
        s.chip = chip;
        s.flash = flash;
        Reset(s);
    }
    void Reset(const sim::Scenario& s) {
        bench_.reset();
        dev_ = std::make_unique<sim::Device>(s);
        bench_ = std::make_unique<sim::HostBench>(*dev_);
    }
    std::string Send(const std::string& record) { return bench_->Exchange(record); }
    bool FlashHolds(uint32_t addr, const std::vector<uint8_t>& data) {
        for (std::size_t i = 0; i < data.size(); ++i) {
            if (dev_->flash().at(addr + static_cast<uint32_t>(i)) != data[i]) return false;
        }
        return true;
    }
    bool Blank(uint32_t addr, std::size_t n) {
        return FlashHolds(addr, std::vector<uint8_t>(n, 0xFF));
    }

    std::unique_ptr<sim::Device> dev_;
    std::unique_ptr<sim::HostBench> bench_;
};

TEST_F(SimBootloaderTest, DataRecordIsWrittenAndAnsweredWithABareLetter) {
    const std::vector<uint8_t> data = Bytes(16, 0x0C);
    EXPECT_EQ(Send(Record(0x00, 0x0100, data)), "w");
    EXPECT_TRUE(FlashHolds(0x0100, data));
    EXPECT_TRUE(Blank(0x0000, 0x100));
    EXPECT_TRUE(Blank(0x0110, 0x10));
}

TEST_F(SimBootloaderTest, ChecksumCoversCountThroughChecksum) {
    const std::vector<uint8_t> data = Bytes(8, 0x40);
    struct Case {
        int error;
        const char* want;
    };
    for (Case c : {Case{1, "c"}, Case{-1, "c"}, Case{0x80, "c"}, Case{0, "w"}}) {
        EXPECT_EQ(Send(Record(0x00, 0x0200, data, c.error)), c.want) << c.error;
        EXPECT_EQ(FlashHolds(0x0200, data), c.error == 0) << c.error;
    }
    // An error in the address bytes is caught the same way.
    std::string r = Record(0x00, 0x0300, data);
    r[3] = static_cast<char>(r[3] ^ 0x01);
    EXPECT_EQ(Send(r), "c");
    EXPECT_TRUE(Blank(0x0200 + 0x100, 8));
}

TEST_F(SimBootloaderTest, RecordTypesAndTheirLetters) {
    struct Case {
        sim::Chip chip;
        std::vector<std::string> records;
        std::string want;     // the letters, in order
        uint32_t written_at;  // where the last data record landed (0: none)
    };
    const std::vector<uint8_t> d = Bytes(16, 0x21);
    const Case cases[] = {
        {sim::Chip::kAtmega328P, {Record(0x01, 0, {})}, "n", 0},
        {sim::Chip::kAtmega328P, {Record(0x01, 0, {0x00})}, "s", 0},
        {sim::Chip::kAtmega1284P,
         {Record(0x02, 0, {0x10, 0x00}), Record(0x00, 0x0040, d)},
         "ww",
         0x10040},
        {sim::Chip::kAtmega1284P,
         {Record(0x04, 0, {0x00, 0x01}), Record(0x00, 0x0080, d)},
         "ww",
         0x10080},
        {sim::Chip::kAtmega1281,
         {Record(0x02, 0, {0x10, 0x00}), Record(0x02, 0, {0x00, 0x00}), Record(0x00, 0x0040, d)},
         "www",
         0x0040},
        {sim::Chip::kAtmega328P, {Record(0x02, 0, {0x10})}, "s", 0},
        {sim::Chip::kAtmega328P,
         {Record(0x03, 0, {0, 0, 0, 0}), Record(0x05, 0, {0, 0, 0, 0})},
         "ww",
         0},
        {sim::Chip::kAtmega328P, {Record(0x07, 0, {1, 2})}, "x", 0},
        // Outside the application section: the boot section protects itself.
        {sim::Chip::kAtmega328P, {Record(0x00, 0x7000, d)}, "e", 0},
        {sim::Chip::kAtmega328P, {Record(0x00, 0x6FF8, d)}, "e", 0},
        {sim::Chip::kAtmega328P, {Record(0x02, 0, {0x10, 0x00}), Record(0x00, 0x0000, d)}, "we", 0},
        {sim::Chip::kAtmega328P, {Record(0x00, 0x6FF0, d), Record(0x01, 0, {})}, "wn", 0x6FF0},
    };
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const Case& c = cases[i];
        Reset(c.chip);
        const std::vector<uint8_t> boot(dev_->flash().bytes().begin() + dev_->flash().boot_start(),
                                        dev_->flash().bytes().end());
        std::string got;
        for (const std::string& r : c.records) got += Send(r);
        EXPECT_EQ(got, c.want) << "case " << i;
        if (c.written_at != 0) {
            EXPECT_TRUE(FlashHolds(c.written_at, d)) << "case " << i;
        }
        EXPECT_TRUE(std::equal(boot.begin(), boot.end(),
                               dev_->flash().bytes().begin() + dev_->flash().boot_start()))
            << "case " << i;
    }
}

TEST_F(SimBootloaderTest, ProgrammingFlashThatWasNotErasedFails) {
    Reset(sim::Chip::kAtmega328P, sim::FlashContent::kProgram);
    // The vector table begins 0C 94: writing FF over it cannot set the cleared bits.
    EXPECT_EQ(Send(Record(0x00, 0x0000, {0xFF, 0xFF})), "f");
    EXPECT_EQ(Send("cw Fe\r"),
              "\x02"
              "flash erased\n\r\x03");
    EXPECT_EQ(Send(Record(0x00, 0x0000, {0xFF, 0x12})), "w");
    EXPECT_TRUE(FlashHolds(0, {0xFF, 0x12}));
}

TEST_F(SimBootloaderTest, RecordsAreFramedByLengthNotByLineEnds) {
    // Data holding CR LF and colons, sent in two writes with a pause between.
    const std::vector<uint8_t> data = {0x0D, 0x0A, 0x3A, 0x0D, 0x0A, 0x00, 0xFF, 0x3A};
    const std::string r = Record(0x00, 0x0400, data);
    bench_->Send(r.substr(0, 7));
    dev_->Advance(20 * kMilli);
    EXPECT_EQ(Send(r.substr(7)), "w");
    EXPECT_TRUE(FlashHolds(0x0400, data));

    // A record whose line end is missing is a syntax error; the next one is taken normally.
    std::string bad = Record(0x00, 0x0500, data);
    bad.resize(bad.size() - 2);
    bad += "xx";
    EXPECT_EQ(Send(bad), "s");
    EXPECT_TRUE(Blank(0x0500, data.size()));
    EXPECT_EQ(Send(Record(0x00, 0x0500, data)), "w");

    // Half a record and then silence: forgotten, so the next record starts clean.
    const std::string half = Record(0x00, 0x0600, data).substr(0, 6);
    EXPECT_EQ(Send(half), "");
    dev_->Advance(100 * kMilli);
    EXPECT_EQ(Send(Record(0x00, 0x0600, data)), "w");
    EXPECT_TRUE(FlashHolds(0x0600, data));
}

TEST_F(SimBootloaderTest, TextCommandsOfTheBootloader) {
    struct Case {
        sim::Chip chip;
        const char* ident;
    };
    for (Case c :
         {Case{sim::Chip::kAtmega328P, "ATmega328P"}, Case{sim::Chip::kAtmega1284P, "ATmega1284P"},
          Case{sim::Chip::kAtmega1281, "ATmega1281"}}) {
        Reset(c.chip);
        std::string r = Send("cr Sv\r");
        ASSERT_GE(r.size(), 3u);
        EXPECT_EQ(r.front(), '\x02');
        EXPECT_EQ(r.back(), '\x03');
        EXPECT_EQ(r.substr(1, 15 + std::strlen(c.ident)), std::string("Bootloader for ") + c.ident);
        EXPECT_EQ(r.find("Lum_Rax"), std::string::npos);
        EXPECT_EQ(dev_->flash().size(), c.chip == sim::Chip::kAtmega328P ? 0x8000u : 0x20000u);
    }
    EXPECT_EQ(Send("cr Wi\r"), "");
    EXPECT_EQ(Send("cw Sboot\r"),
              "\x02"
              "no application\n\r\x03");
    EXPECT_EQ(dev_->running(), sim::Firmware::kBootloader);
    EXPECT_EQ(Send(Record(0x00, 0x0000, {0x0C, 0x94, 0x34, 0x00})), "w");
    EXPECT_EQ(Send("cw Sboot\r"),
              "\x02"
              "starting application\n\r\x03");
    EXPECT_EQ(dev_->running(), sim::Firmware::kApplication);
}

TEST_F(SimBootloaderTest, AWholeImageGoesInRecordByRecord) {
    Reset(sim::Chip::kAtmega1284P);
    const std::vector<uint8_t> image = Bytes(0x10000 + 600, 0x11);
    std::vector<std::string> records;
    for (uint32_t a = 0; a < image.size(); a += 16) {
        if (a == 0x10000) records.push_back(Record(0x02, 0, {0x10, 0x00}));
        std::size_t n = std::min<std::size_t>(16, image.size() - a);
        std::vector<uint8_t> d(image.begin() + a, image.begin() + a + n);
        records.push_back(Record(0x00, static_cast<uint16_t>(a & 0xFFFF), d));
    }
    records.push_back(Record(0x01, 0, {}));
    std::string letters;
    for (const std::string& r : records) {
        bench_->Send(r);
        letters += bench_->Collect(kSecond, 2 * kMilli, 100 * sim::kMicro);
    }
    EXPECT_EQ(letters, std::string(records.size() - 1, 'w') + "n");
    EXPECT_TRUE(FlashHolds(0, image));
}

TEST_F(SimBootloaderTest, FinishingAPageTakesLonger) {
    auto latency = [&](uint16_t addr) {
        bench_->arrivals.clear();
        sim::Nanos sent = dev_->now();
        bench_->Send(Record(0x00, addr, Bytes(16, 1)));
        bench_->Collect(kSecond, 2 * kMilli, 100 * sim::kMicro);
        return bench_->arrivals.empty() ? sim::Nanos{-1} : bench_->arrivals.front().at - sent;
    };
    sim::Nanos mid = latency(0x0100);  // 0x100..0x10F: inside a 128-byte page
    sim::Nanos end = latency(0x0170);  // 0x170..0x17F: the page is full
    ASSERT_GT(mid, 0);
    EXPECT_GE(end - mid, 4 * kMilli);
}

TEST_F(SimBootloaderTest, InjectedLettersReplaceTheOutcome) {
    sim::Scenario s;
    s.firmware = sim::Firmware::kBootloader;
    s.flash = sim::FlashContent::kBlank;
    s.faults.record_letter = {{1, 'c'}, {2, 'e'}, {3, 'f'}, {4, 's'}, {5, 'x'}, {6, 'Q'}, {7, 'W'}};
    Reset(s);
    std::string got;
    for (uint16_t i = 0; i < 9; ++i)
        got += Send(Record(0x00, static_cast<uint16_t>(0x100 * i), Bytes(4, 1)));
    EXPECT_EQ(got, "wcefsxQWw");
    EXPECT_TRUE(FlashHolds(0x000, Bytes(4, 1)));
    for (uint32_t i = 1; i <= 7; ++i) EXPECT_TRUE(Blank(0x100 * i, 4)) << i;
    EXPECT_TRUE(FlashHolds(0x800, Bytes(4, 1)));
    // Ordinals count from the bootloader's start: a switch back and forth restarts them.
    EXPECT_EQ(Send("cw Sboot\r").back(), '\x03');
    EXPECT_EQ(Send("cw Sboot\r").back(), '\x03');
    EXPECT_EQ(dev_->running(), sim::Firmware::kBootloader);
    EXPECT_EQ(Send(Record(0x00, 0x0900, Bytes(4, 1))), "w");
    EXPECT_EQ(Send(Record(0x00, 0x0A00, Bytes(4, 1))), "c");
}

TEST_F(SimBootloaderTest, FaultsOnTheLineDuringATransfer) {
    sim::Scenario s;
    s.firmware = sim::Firmware::kBootloader;
    s.flash = sim::FlashContent::kBlank;
    s.faults.disconnect_after_records = 3;
    Reset(s);
    std::string got;
    for (uint16_t i = 0; i < 5; ++i)
        got += Send(Record(0x00, static_cast<uint16_t>(0x10 * i), Bytes(16, 1)));
    EXPECT_EQ(got, "www");
    EXPECT_TRUE(dev_->line_dead());
    EXPECT_TRUE(Blank(0x30, 0x20));
    EXPECT_EQ(Send("cr Sv\r"), "");

    s.faults = sim::Faults{};
    s.faults.late_reply = 6 * kSecond;
    Reset(s);
    bench_->Send(Record(0x00, 0, Bytes(16, 1)));
    EXPECT_EQ(bench_->Collect(5 * kSecond), "");
    EXPECT_EQ(bench_->Collect(2 * kSecond), "w");

    s.faults = sim::Faults{};
    s.faults.garbage_bytes = 3;
    s.faults.garbage_every = 1;
    Reset(s);
    std::string r = Send(Record(0x00, 0, Bytes(16, 1)));
    ASSERT_EQ(r.size(), 4u);
    EXPECT_EQ(r.back(), 'w');

    s.faults = sim::Faults{};
    s.faults.no_reply_to = ":";
    Reset(s);
    EXPECT_EQ(Send(Record(0x00, 0, Bytes(16, 1))), "");
    EXPECT_TRUE(FlashHolds(0, Bytes(16, 1)));  // written, only the answer is lost
    EXPECT_NE(Send("cr Sv\r"), "");
}

}  // namespace
