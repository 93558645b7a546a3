#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/com_page.h"
#include "boot/bootloader.h"
#include "boot/flash_dump.h"
#include "platform/env.h"
#include "serial/com_log.h"
#include "serial/port.h"
#include "serial/receive_pump.h"
#include "tests/fakes/test_env.h"

namespace {

struct StepCall {
    platform::Wnd wnd;
    uint8_t complete;
    uint32_t count;
    std::string reply;  // the count bytes, only for a completed reply
};

// What the pump handed to its consumers.
struct Seen {
    std::vector<std::string> parsed;  // count bytes each, NUL included
    std::vector<StepCall> steps;
    std::vector<std::string> dumps;  // the stream as the dump saw it
    std::vector<std::string> logged;
    void (*on_step)(const StepCall&) = nullptr;
};
Seen* seen = nullptr;

void RecordParse(char* reply, uint32_t count) {
    seen->parsed.emplace_back(reply, count);
}
void RecordStep(platform::Wnd wnd, uint8_t complete, uint32_t count, const uint8_t* reply) {
    StepCall call{wnd, complete, count, {}};
    if (complete) call.reply.assign(reinterpret_cast<const char*>(reply), count);
    seen->steps.push_back(call);
    if (seen->on_step) seen->on_step(call);
}
void RecordDump() {
    seen->dumps.emplace_back(reinterpret_cast<const char*>(g_flash.flash_stream_buf),
                             g_flash.flash_stream_len);
    g_flash.flash_stream_len = 0;
}
void RecordLog(const void* data, std::size_t len) {
    seen->logged.emplace_back(static_cast<const char*>(data), len);
}

const std::string kStx(1, '\x02');
const std::string kEtx(1, '\x03');

class PumpTest : public fakes::CoreTest {
  protected:
    void SetUp() override {
        CoreTest::SetUp();
        seen = &rec;
        g_rx_consumers = RxConsumers{RecordParse, RecordStep, RecordDump, RecordLog};
        page = ui.NewWindow("page");
        g_com.hWndComText = ui.NewWindow("text");
        g_com.hWndBaudSelect = ui.NewWindow("combo");
        g_port.com_port_open = 1;
        g_port.port_handle = reinterpret_cast<platform::PortHandle>(0x10);
    }
    void TearDown() override {
        g_rx_consumers = RxConsumers::Defaults();
        seen = nullptr;
        CoreTest::TearDown();
    }

    void Tick(int times = 1) {
        for (int i = 0; i < times; ++i) ReceiveTimerProc(page);
    }
    void Receive(const std::string& chunk) {
        serial.Feed(chunk);
        Tick();
    }
    // Silent ticks until the pump has ended the reply or stream (or gives up).
    void Settle() { Tick(static_cast<int>(g_port.COM_timeout_max) + 1); }

    void SelectBaud(int index) {
        ui.controls[g_com.hWndBaudSelect].selection = index;
        BaudSelect_process(platform::MakeWParam(1035, platform::kCbnSelEndOk),
                           g_com.hWndBaudSelect);
        console.out.clear();
    }

    Seen rec;
    platform::Wnd page = nullptr;
};

TEST_F(PumpTest, ChunksWithShortGapsMakeOneReply) {
    struct Case {
        int gap;  // silent ticks between the two chunks
        std::vector<std::string> parsed;
    };
    // The second chunk must come while the countdown (5) still runs.
    const Case cases[] = {
        {0, {"\nabcdef\n" + std::string(1, '\0')}},
        {4, {"\nabcdef\n" + std::string(1, '\0')}},
        {5, {"def\n" + std::string(1, '\0')}},  // the first part was dropped
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.gap);
        rec.parsed.clear();
        Receive(kStx + "abc");
        Tick(c.gap);
        Receive("def" + kEtx);
        Settle();
        EXPECT_EQ(rec.parsed, c.parsed);
        EXPECT_EQ(g_rx.rx_count, 0u);
    }
}

TEST_F(PumpTest, ReplyEndsExactlyOneTickAfterTheIdleTimeOut) {
    struct Case {
        int baud_index;  // -1: no selection since start-up
        int ticks;       // silent ticks after the last chunk
    };
    const Case cases[] = {{-1, 6}, {6, 11}, {0, 51}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.ticks);
        if (c.baud_index >= 0) SelectBaud(c.baud_index);
        rec.parsed.clear();
        Receive(kStx + "OK");
        Receive(kEtx);
        Tick(c.ticks - 1);
        EXPECT_TRUE(rec.parsed.empty());
        EXPECT_EQ(console.out, "");
        Tick();
        ASSERT_EQ(rec.parsed.size(), 1u);
        EXPECT_EQ(console.out, "\nOK\n");
        console.out.clear();
    }
}

TEST_F(PumpTest, FragmentWithoutEtxStaysUntilTheNextDataDropsIt) {
    Receive(kStx + "abc");
    Tick(300);
    EXPECT_TRUE(rec.parsed.empty());
    EXPECT_EQ(console.out, "");
    EXPECT_TRUE(ui.appended.empty());
    EXPECT_EQ(g_rx.rx_count, 4u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(g_rx.rx_message), 4), kStx + "abc");

    Receive(kStx + "OK" + kEtx);
    Settle();
    EXPECT_EQ(rec.parsed, std::vector<std::string>{std::string("\nOK\n\0", 5)});
}

TEST_F(PumpTest, LineEndsAndFramesAreConvertedAfterTheRawReplyIsLogged) {
    struct Case {
        std::string raw;
        std::string shown;
    };
    const Case cases[] = {
        {std::string("\x02"
                     "Abc\n\rdef\x03",
                     10),
         std::string("\nAbc\r\ndef\n\0", 11)},
        {"x\r\n" + kEtx, std::string("x\r\n\n\0", 5)},
        {"\n\n\r" + kEtx, std::string("\n\r\n\n\0", 5)},
        {"\n\r\n\r" + kEtx, std::string("\r\n\r\n\n\0", 6)},
        {"\n\r\r" + kEtx, std::string("\r\n\r\n\0", 5)},  // a swapped pair is not looked at again
        {kEtx + kStx + kEtx, std::string("\n\n\n\0", 4)},
    };
    g_log.com_log_active = 1;
    for (const Case& c : cases) {
        rec.parsed.clear();
        rec.logged.clear();
        console.out.clear();
        Receive(c.raw);
        Settle();
        EXPECT_EQ(rec.logged, std::vector<std::string>{c.raw});
        EXPECT_EQ(rec.parsed, std::vector<std::string>{c.shown});
        EXPECT_EQ(console.out, c.shown.substr(0, c.shown.size() - 1));
    }
    ASSERT_FALSE(rec.steps.empty());
    EXPECT_EQ(rec.steps.back().count, 0u);  // nothing pending once handed on

    g_log.com_log_active = 0;
    rec.logged.clear();
    Receive(kStx + "OK" + kEtx);
    Settle();
    EXPECT_TRUE(rec.logged.empty());
}

TEST_F(PumpTest, RepliesAZeroToASevenAreNeitherShownNorParsed) {
    struct Case {
        std::string raw;
        bool handed_on;
    };
    const Case cases[] = {
        {"A0" + kEtx, false}, {"A3" + kEtx, false},       {"A7 x" + kEtx, false},
        {"A8" + kEtx, true},  {"B3" + kEtx, true},        {"a3" + kEtx, true},
        {"A" + kEtx, true},   {kStx + "A3" + kEtx, true},  // begins with LF once converted
    };
    g_log.com_log_active = 1;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.raw);
        rec.parsed.clear();
        rec.logged.clear();
        console.out.clear();
        Receive(c.raw);
        Settle();
        EXPECT_EQ(rec.parsed.size(), c.handed_on ? 1u : 0u);
        EXPECT_EQ(console.out.empty(), !c.handed_on);
        EXPECT_EQ(rec.logged, std::vector<std::string>{c.raw});  // logged either way
        EXPECT_EQ(g_rx.rx_count, 0u);
    }
}

TEST_F(PumpTest, BootloaderRepliesEndAfterOneSilentTick) {
    g_boot.process_state_bootloader = 1;
    Receive("ab");
    Receive("cd");
    Tick();
    Receive(kStx + "w" + kEtx);
    Tick(2);

    std::vector<StepCall> done;
    for (const StepCall& s : rec.steps)
        if (s.complete) done.push_back(s);
    ASSERT_EQ(done.size(), 2u);
    EXPECT_EQ(done[0].reply, std::string("abcd\0", 5));
    EXPECT_EQ(done[0].count, 5u);
    EXPECT_EQ(done[1].reply, std::string("\x02w\x03\0", 4));  // raw: no conversion
    EXPECT_EQ(done[1].wnd, page);
    EXPECT_EQ(rec.steps.size(), 6u);  // one call per tick
    EXPECT_EQ(rec.steps[0].complete, 0);
    EXPECT_EQ(rec.steps[0].count, 2u);
    EXPECT_EQ(g_rx.rx_count, 0u);
    EXPECT_TRUE(rec.parsed.empty());
    EXPECT_TRUE(rec.logged.empty());
    EXPECT_EQ(console.out, "");
}

TEST_F(PumpTest, BootReplyCountdownReloadsAndRunsDownToZero) {
    g_boot.process_state_bootloader = 1;
    g_rx.boot_rx_countdown = 3;
    Receive("w");
    EXPECT_EQ(g_rx.boot_rx_countdown, 500u);
    Tick();
    EXPECT_EQ(g_rx.boot_rx_countdown, 499u);
    Tick(498);
    EXPECT_EQ(g_rx.boot_rx_countdown, 1u);
    Tick();
    EXPECT_EQ(g_rx.boot_rx_countdown, 0u);
    Tick(5);
    EXPECT_EQ(g_rx.boot_rx_countdown, 0u);
    Receive("n");
    EXPECT_EQ(g_rx.boot_rx_countdown, 500u);
}

TEST_F(PumpTest, BootReplyAfterTheTimeOutDropsWhatWasPending) {
    struct Case {
        uint32_t countdown;
        std::string reply;
    };
    const Case cases[] = {
        {0, std::string("w\0", 2)},
        {500, std::string("xyw\0", 4)},  // still within a reply: appended
    };
    for (const Case& c : cases) {
        g_boot.process_state_bootloader = 0;
        Receive("xy");  // a fragment of normal mode
        g_boot.process_state_bootloader = 1;
        g_rx.boot_rx_countdown = c.countdown;
        rec.steps.clear();
        Receive("w");
        Tick();
        ASSERT_EQ(rec.steps.size(), 2u);
        EXPECT_EQ(rec.steps[1].reply, c.reply);
    }
}

TEST_F(PumpTest, NormalModePassesThePendingCountToTheStep) {
    Receive(kStx + "ab");
    ASSERT_EQ(rec.steps.size(), 1u);
    EXPECT_EQ(rec.steps[0].complete, 0);
    EXPECT_EQ(rec.steps[0].count, 3u);
}

TEST_F(PumpTest, FlashStreamIsCollectedWithProgressDotsAndDumpedAtItsEnd) {
    g_rx.flash_stream_mode = 1;
    std::string stream;
    for (int i = 0; i < 37; ++i) stream += static_cast<char>(0xF0 + i % 16);
    stream[36] = '\x03';             // an ETX inside raw flash means nothing
    Receive(stream.substr(0, 10));   // 10
    Receive(stream.substr(10, 6));   // 16: dot
    Receive(stream.substr(16, 16));  // 32: dot
    Receive(stream.substr(32, 5));   // 37
    EXPECT_EQ(console.out, "..");
    EXPECT_EQ(ui.Text(g_com.hWndComText), "..");
    EXPECT_EQ(g_flash.flash_stream_len, 37u);

    Tick(static_cast<int>(g_port.COM_timeout_max));
    EXPECT_TRUE(rec.dumps.empty());
    Tick();
    EXPECT_EQ(rec.dumps, std::vector<std::string>{stream});
    EXPECT_EQ(g_rx.flash_stream_mode, 0);
    EXPECT_TRUE(rec.parsed.empty());

    Tick(20);
    EXPECT_EQ(rec.dumps.size(), 1u);

    // One big chunk: one dot at most per tick.
    g_rx.flash_stream_mode = 1;
    console.out.clear();
    Receive(std::string(64, '\xFF'));
    EXPECT_EQ(console.out, ".");
}

TEST_F(PumpTest, PendingReplyGoesBeforeTheFlashDump) {
    Receive("OK" + kEtx);
    g_rx.flash_stream_mode = 1;
    Receive("0123");  // no pause before it: the reply stays pending
    Settle();
    EXPECT_EQ(rec.parsed, std::vector<std::string>{std::string("OK\n\0", 4)});
    EXPECT_TRUE(rec.dumps.empty());
    Tick();
    EXPECT_EQ(rec.dumps, std::vector<std::string>{"0123"});
}

TEST_F(PumpTest, OverlongReplyIsDroppedWithOneMessage) {
    const std::string note = "\r\nWIN info: device reply longer than 32767 bytes, dropped\r\n";
    // 40000 bytes take two reads of at most 32766.
    Receive(kStx + std::string(39998, 'x') + kEtx);
    EXPECT_EQ(console.out, "");
    Tick();  // the rest of the chunk
    EXPECT_EQ(g_rx.rx_count, kRxMessageSize - 1);
    Receive(std::string(100, 'y') + kEtx);
    EXPECT_EQ(g_rx.rx_count, kRxMessageSize - 1);
    EXPECT_EQ(g_rx.rx_idle_countdown, g_port.COM_timeout_max);  // state after it intact
    EXPECT_EQ(console.out, note);
    EXPECT_EQ(ui.Text(g_com.hWndComText), note);

    Settle();
    EXPECT_TRUE(rec.parsed.empty());
    EXPECT_EQ(g_rx.rx_count, 0u);

    console.out.clear();
    Receive(kStx + "OK" + kEtx);
    Settle();
    EXPECT_EQ(rec.parsed, std::vector<std::string>{std::string("\nOK\n\0", 5)});
    EXPECT_EQ(console.out, "\nOK\n");
}

TEST_F(PumpTest, ReplyOfTheLargestSizeStillFits) {
    struct Case {
        std::size_t length;  // bytes received, ETX included
        bool handed_on;
    };
    const Case cases[] = {{kRxMessageSize - 1, true}, {kRxMessageSize, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.length);
        rec.parsed.clear();
        const std::string raw = std::string(c.length - 1, 'z') + kEtx;
        serial.Feed(raw.substr(0, 20000));
        serial.Feed(raw.substr(20000));
        Tick(2);
        Settle();
        ASSERT_EQ(rec.parsed.size(), c.handed_on ? 1u : 0u);
        if (c.handed_on) {
            EXPECT_EQ(rec.parsed[0].size(), kRxMessageSize);
            EXPECT_EQ(rec.parsed[0].back(), '\0');
            EXPECT_EQ(rec.parsed[0][kRxMessageSize - 2], '\n');
        }
    }
}

TEST_F(PumpTest, OverlongBootloaderReplyIsCutAndHandedOn) {
    g_boot.process_state_bootloader = 1;
    serial.Feed("w" + std::string(40000, '.'));
    Tick(3);
    std::vector<StepCall> done;
    for (const StepCall& s : rec.steps)
        if (s.complete) done.push_back(s);
    ASSERT_EQ(done.size(), 1u);
    EXPECT_EQ(done[0].count, kRxMessageSize);
    EXPECT_EQ(done[0].reply[0], 'w');
    EXPECT_EQ(done[0].reply.back(), '\0');
    EXPECT_EQ(console.out, "\r\nWIN info: bootloader reply longer than 32767 bytes, cut\r\n");
}

TEST_F(PumpTest, OverlongFlashStreamStopsAtTheBufferEnd) {
    const std::string note =
        "\r\nWIN info: flash stream longer than 131072 bytes, rest dropped\r\n";
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        g_rx.flash_stream_mode = 1;
        console.out.clear();
        std::string stream;
        for (uint32_t i = 0; i < kFlashStreamSize + 5000; ++i)
            stream += static_cast<char>('A' + i % 7);
        serial.Feed(stream);
        Tick(6);  // five reads take it all, the sixth finds nothing
        EXPECT_EQ(g_flash.flash_stream_len, kFlashStreamSize);
        EXPECT_EQ(console.out, "." + note);  // one dot: only the read that ends at 131072
        EXPECT_EQ(g_rx.flash_stream_mode, 1);

        Settle();
        ASSERT_EQ(rec.dumps.size(), static_cast<std::size_t>(round + 1));
        EXPECT_EQ(rec.dumps.back(), stream.substr(0, kFlashStreamSize));
        EXPECT_EQ(g_flash.flash_stream_len, 0u);
    }
}

TEST_F(PumpTest, NothingHappensWhileThePortIsClosed) {
    struct Case {
        uint8_t open;
        bool handle;
    };
    const Case cases[] = {{0, true}, {1, false}, {0, false}};
    for (const Case& c : cases) {
        g_port.com_port_open = c.open;
        g_port.port_handle = c.handle ? reinterpret_cast<platform::PortHandle>(0x10) : nullptr;
        serial.Feed(kStx + "OK" + kEtx);
        Tick(20);
        EXPECT_EQ(serial.reads, 0);
        EXPECT_TRUE(rec.steps.empty());
        EXPECT_EQ(serial.chunks.size(), 1u);
        serial.chunks.clear();
    }
}

// A message box of the bootloader step runs ticks of its own (nested message loop).
void NestedTickDuringStep(const StepCall& call) {
    if (!call.complete) return;
    g_boot.process_state_bootloader = 0;  // the transfer ended, as on 'n'
    static_cast<fakes::FakeSerial&>(platform::Serial())
        .Feed(
            "\x02"
            "Boot");
    ReceiveTimerProc(nullptr);
}

TEST_F(PumpTest, DataTakenDuringANestedTickOfTheStepIsKept) {
    g_boot.process_state_bootloader = 1;
    rec.on_step = NestedTickDuringStep;
    Receive("n");
    Tick();
    EXPECT_EQ(g_rx.rx_count, 5u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(g_rx.rx_message), 5),
              "\x02"
              "Boot");
}

}  // namespace
