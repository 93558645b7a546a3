#include "tests/fakes/test_env.h"

namespace {

// What the pump handed to its consumers; parsed replies hold count bytes, NUL included.
Strings parsed, dumps, logged;
Strings replies;                    // completed bootloader replies, count bytes each
std::vector<uint32_t> step_counts;  // the count of every step call
platform::Wnd step_wnd = nullptr;
void (*on_reply)() = nullptr;

const std::string kStx(1, '\x02');
const std::string kEtx(1, '\x03');
const auto WithNul = [](const std::string& s) { return s + std::string(1, '\0'); };

class PumpTest : public fakes::CoreTest {
  protected:
    void SetUp() override {
        CoreTest::SetUp();
        parsed = dumps = logged = replies = {};
        step_counts.clear();
        on_reply = nullptr;
        RxConsumers& c = g_rx_consumers;
        c.parse_reply = [](char* reply, uint32_t count) { parsed.emplace_back(reply, count); };
        c.bootloader_step = [](platform::Wnd wnd, uint8_t complete, uint32_t count,
                               const uint8_t* reply) {
            step_counts.push_back(count);
            if (!complete) return;
            replies.emplace_back(reinterpret_cast<const char*>(reply), count);
            step_wnd = wnd;
            if (on_reply) on_reply();
        };
        c.flash_dump = [] {
            dumps.emplace_back(reinterpret_cast<const char*>(g_flash.flash_stream_buf),
                               g_flash.flash_stream_len);
        };
        c.log_write = [](const void* data, std::size_t n) {
            logged.emplace_back(static_cast<const char*>(data), n);
        };
        CreateComPageControls(page);
        g_port.com_port_open = 1;
        g_port.port_handle = reinterpret_cast<platform::PortHandle>(0x10);
    }
    void TearDown() override {
        WireDevice();
        CoreTest::TearDown();
    }

    void Tick(int times = 1) {
        for (int i = 0; i < times; ++i) ReceiveTimerProc(page);
    }
    void Receive(const std::string& chunk) {
        serial.Feed(chunk);
        Tick();
    }
    // Silent ticks until the pump has ended the reply or stream.
    void Settle() { Tick(static_cast<int>(g_port.COM_timeout_max) + 1); }
    void Clear() {
        parsed.clear();
        logged.clear();
        console.out.clear();
    }
};

// A reply is complete on the silent tick after COM_timeout_max silent ticks that follow its
// ETX: chunks with shorter gaps make one reply; a fragment without ETX waits for ever and is
// dropped by the next data after a pause.
TEST_F(PumpTest, ReplyEndsOneTickAfterTheIdleTimeOut) {
    // The baud row chosen (-1: none since start-up), the gap between the chunks, what is
    // shown, and the silent ticks after the last chunk until the reply is handed on.
    const std::tuple<int, int, std::string, int> cases[] = {
        {-1, 0, "\nabcdef\n", 6}, {-1, 4, "\nabcdef\n", 6},  {-1, 5, "def\n", 6},
        {-1, 300, "def\n", 6},    {6, 0, "\nabcdef\n", 11},  {6, 9, "\nabcdef\n", 11},
        {6, 10, "def\n", 11},     {0, 49, "\nabcdef\n", 51}, {0, 50, "def\n", 51}};
    for (const auto& [row, gap, shown, ticks] : cases) {
        SCOPED_TRACE(testing::Message() << row << "/" << gap);
        if (row >= 0) {
            ui.controls[g_link_ui.hWndBaudSelect].selection = row;
            BaudSelect_process(platform::MakeWParam(1035, platform::kCbnSelEndOk), nullptr);
        }
        Clear();
        Receive(kStx + "abc");
        EXPECT_EQ(step_counts.back(), 4u);  // the step sees what is pending
        Tick(gap);
        Receive("def" + kEtx);
        Tick(ticks - 1);
        EXPECT_TRUE(parsed.empty() && ui.appended.empty());
        Tick();
        EXPECT_EQ(parsed, Strings{WithNul(shown)});
        EXPECT_EQ(console.out, shown);
        EXPECT_EQ(g_rx.rx_count, 0u);
    }
    EXPECT_TRUE(replies.empty() && logged.empty());  // the log is off
}

TEST_F(PumpTest, NextReplyOnTheHandOnTickDoesNotSwallowTheFinishedOne) {
    // The first reply's countdown has just run out when the next one starts.
    g_log.com_log_active = 1;
    Receive(kStx + "one" + kEtx);
    Tick(static_cast<int>(g_port.COM_timeout_max));
    EXPECT_TRUE(parsed.empty());
    Receive(kStx + "two" + kEtx);
    EXPECT_EQ(parsed, Strings{WithNul("\none\n")});
    Settle();
    EXPECT_EQ(parsed, (Strings{WithNul("\none\n"), WithNul("\ntwo\n")}));
    EXPECT_EQ(logged, (Strings{kStx + "one" + kEtx, kStx + "two" + kEtx}));
    EXPECT_EQ(console.out, "\none\n\ntwo\n");
}

TEST_F(PumpTest, RepliesAreLoggedRawThenConvertedAndAZeroToASevenDropped) {
    // What the console and the parser get; empty: neither is given anything.
    const std::pair<std::string, std::string> cases[] = {
        {kStx + "Abc\n\rdef" + kEtx, "\nAbc\r\ndef\n"},
        {"x\r\n" + kEtx, "x\r\n\n"},
        {"\n\r\n\r" + kEtx, "\r\n\r\n\n"},
        {"\n\r\r" + kEtx, "\r\n\r\n"},  // a swapped pair is not looked at again
        {kEtx + kStx + kEtx, "\n\n\n"},
        {"A0" + kEtx, ""},
        {"A7 x" + kEtx, ""},
        {"A8" + kEtx, "A8\n"},
        {kStx + "A3" + kEtx, "\nA3\n"},
    };
    g_log.com_log_active = 1;
    for (const auto& [raw, shown] : cases) {
        SCOPED_TRACE(raw);
        Clear();
        Receive(raw);
        Settle();
        EXPECT_EQ(logged, Strings{raw});
        EXPECT_EQ(parsed, shown.empty() ? Strings{} : Strings{WithNul(shown)});
        EXPECT_EQ(console.out, shown);
        EXPECT_EQ(step_counts.back(), 0u);  // nothing pending once handed on
    }
}

TEST_F(PumpTest, BootloaderRepliesEndAfterOneSilentTickAndRunTheCountdown) {
    g_boot.process_state_bootloader = 1;
    g_rx.boot_rx_countdown = 3;
    Receive("ab");
    EXPECT_EQ(g_rx.boot_rx_countdown, 500u);
    Receive("cd");
    Tick();
    Receive(kStx + "w" + kEtx);
    Tick(2);
    EXPECT_EQ(replies, (Strings{WithNul("abcd"), WithNul("\x02w\x03")}));  // raw: no conversion
    EXPECT_EQ(step_wnd, page);
    EXPECT_EQ(step_counts, (std::vector<uint32_t>{2, 4, 5, 3, 4, 0}));  // one call per tick
    EXPECT_EQ(parsed.size() + console.out.size(), 0u);
    EXPECT_EQ(g_rx.boot_rx_countdown, 498u);
    Tick(497);
    EXPECT_EQ(g_rx.boot_rx_countdown, 1u);
    Tick(6);
    EXPECT_EQ(g_rx.boot_rx_countdown, 0u);

    // A fragment of normal mode is dropped once the countdown has run out, else kept.
    const std::pair<uint32_t, std::string> cases[] = {{0, "w"}, {500, "xyw"}};
    for (const auto& [countdown, reply] : cases) {
        g_boot.process_state_bootloader = 0;
        Receive("xy");
        g_boot.process_state_bootloader = 1;
        g_rx.boot_rx_countdown = countdown;
        replies.clear();
        Receive("w");
        Tick();
        EXPECT_EQ(replies, Strings{WithNul(reply)});
    }
}

TEST_F(PumpTest, FlashStreamIsCollectedWithProgressDotsAndDumpedAtItsEnd) {
    Receive("OK" + kEtx);
    g_rx.flash_stream_mode = 1;
    std::string stream;
    for (int i = 0; i < 37; ++i) stream += static_cast<char>(0xF0 + i % 16);
    stream[36] = '\x03';                     // an ETX inside raw flash means nothing
    const int cuts[] = {0, 10, 16, 32, 37};  // dots as the stream passes 16 and 32 bytes
    for (int i = 0; i < 4; ++i) Receive(stream.substr(cuts[i], cuts[i + 1] - cuts[i]));
    EXPECT_EQ(console.out + "|" + ui.Text(g_link_ui.hWndComText), "..|..");
    EXPECT_EQ(g_flash.flash_stream_len, 37u);

    // The reply pending before the stream goes first, the dump one tick later.
    Settle();
    EXPECT_EQ(parsed, Strings{WithNul("OK\n")});
    EXPECT_TRUE(dumps.empty());
    Tick();
    EXPECT_EQ(dumps, Strings{stream});
    EXPECT_EQ(g_rx.flash_stream_mode, 0);
    EXPECT_EQ(g_flash.flash_stream_len, 0u);
    Tick(20);
    EXPECT_EQ(dumps.size() + parsed.size(), 2u);

    // One big chunk: one dot at most per tick.
    g_rx.flash_stream_mode = 1;
    console.out.clear();
    Receive(std::string(64, '\xFF'));
    EXPECT_EQ(console.out, ".");
}

TEST_F(PumpTest, OverlongReplyIsDroppedWithOneMessage) {
    const std::string note = "\r\nWIN info: device reply longer than 32767 bytes, dropped\r\n";
    Receive(kStx + std::string(39998, 'x') + kEtx);  // two reads of at most 32766
    EXPECT_EQ(console.out, "");
    Tick();
    Receive(std::string(100, 'y') + kEtx);
    EXPECT_EQ(g_rx.rx_count, kRxMessageSize - 1);
    EXPECT_EQ(g_rx.rx_idle_countdown, g_port.COM_timeout_max);  // state after it intact
    EXPECT_EQ(console.out + ui.Text(g_link_ui.hWndComText), note + note);
    Settle();
    EXPECT_TRUE(parsed.empty());

    // Nothing of it is left over. The largest reply that fits, and one byte more, cut right
    // after an ETX: a reply that lost its end never goes on.
    for (uint32_t length : {4u, kRxMessageSize - 1, kRxMessageSize}) {
        SCOPED_TRACE(length);
        parsed.clear();
        const std::string raw = std::string(length - 2, 'z') + kEtx + kEtx;
        serial.Feed(raw.substr(0, 20000));
        if (length > 20000) serial.Feed(raw.substr(20000));
        Tick(2);
        Settle();
        const Strings want{WithNul(std::string(length - 2, 'z') + "\n\n")};
        EXPECT_EQ(parsed, length < kRxMessageSize ? want : Strings{});
    }
}

TEST_F(PumpTest, OverlongBootloaderReplyIsCutAndHandedOn) {
    g_boot.process_state_bootloader = 1;
    serial.Feed("w" + std::string(40000, '.'));
    Tick(3);
    EXPECT_EQ(replies, Strings{WithNul("w" + std::string(kRxMessageSize - 2, '.'))});
    EXPECT_EQ(console.out, "\r\nWIN info: bootloader reply longer than 32767 bytes, cut\r\n");
}

TEST_F(PumpTest, OverlongFlashStreamStopsAtTheBufferEnd) {
    const std::string note =
        "\r\nWIN info: flash stream longer than 131072 bytes, rest dropped\r\n";
    std::string stream;
    for (uint32_t i = 0; i < kFlashStreamSize + 5000; ++i) stream += static_cast<char>('A' + i % 7);
    for (int round = 1; round <= 2; ++round) {
        SCOPED_TRACE(round);
        g_rx.flash_stream_mode = 1;
        console.out.clear();
        serial.Feed(stream);
        Tick(6);  // five reads take it all, the sixth finds nothing
        EXPECT_EQ(g_flash.flash_stream_len, kFlashStreamSize);
        EXPECT_EQ(console.out, "." + note);  // one dot: only the read that ends at 131072
        EXPECT_EQ(g_rx.flash_stream_mode, 1);
        Settle();
        ASSERT_EQ(dumps.size(), static_cast<std::size_t>(round));
        EXPECT_EQ(dumps.back(), stream.substr(0, kFlashStreamSize));
        EXPECT_EQ(g_flash.flash_stream_len, 0u);
    }
}

TEST_F(PumpTest, DataTakenDuringANestedTickOfTheStepIsKept) {
    g_boot.process_state_bootloader = 1;
    // A message box of the step runs ticks of its own (nested message loop).
    on_reply = [] {
        g_boot.process_state_bootloader = 0;  // the transfer ended, as on 'n'
        static_cast<fakes::FakeSerial&>(platform::Serial()).Feed(kStx + "Boot");
        ReceiveTimerProc(nullptr);
    };
    Receive("n");
    Tick();
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(g_rx.rx_message), g_rx.rx_count),
              kStx + "Boot");
}

}  // namespace
