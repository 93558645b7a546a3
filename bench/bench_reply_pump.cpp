// Replies per second through the receive pump and the reply parser, and through the
// parser alone, for the mix that AutoRead and the state reads bring in.
#include <benchmark/benchmark.h>

#include <cstring>
#include <string>
#include <vector>

#include "page/page.h"
#include "generator/gen_page.h"
#include "generator/reply_parser.h"
#include "platform/env.h"
#include "serial/port.h"
#include "serial/receive_pump.h"
#include "tests/fakes/fake_serial.h"
#include "tests/fakes/fake_system.h"
#include "tests/fakes/fake_ui.h"
#include "tests/fakes/test_env.h"
#include "serial/link_controls.h"

namespace {

// As the device frames them: STX, text with LF CR line ends, ETX.
const char* const kFramedReplies[] = {
    "\x02"
    "Lum_Rax_Gen V2.3\n\r"
    "\x03",
    "\x02"
    "Lum_Rax, HW Rev 3, 16MHz\n\r"
    "\x03",
    "\x02"
    "PWM_active = 1\n\r"
    "\x03",
    "\x02"
    "pwm_ctl_active = 0\n\r"
    "\x03",
    "\x02"
    "pwm_search_always = A5\n\r"
    "\x03",
    "\x02"
    "frequency 125.00 kHz x x x x 50.0\n\r"
    "\x03",
    "\x02"
    "VOLT: 12.5 V ISNS: 1.25 A\n\r"
    "\x03",
    "\x02"
    "TMP101 = 35.5\n\r"
    "\x03",
    "\x02"
    "VINF: 24.5\n\r"
    "\x03",
    "\x02"
    "ADC2, IANT 1.25\n\r"
    "\x03",
    "\x02"
    "Power: 12.25\n\r"
    "\x03",
    "\x02"
    "threshold: 70\n\r"
    "\x03",
};
constexpr std::size_t kReplyCount = sizeof kFramedReplies / sizeof kFramedReplies[0];

// The text as the pump hands it to the parser: LF CR turned round, STX and ETX as LF.
std::string ForDisplay(const char* framed) {
    std::string t(framed);
    for (std::size_t i = 0; i < t.size(); ++i) {
        if (t[i] == '\n' && i + 1 < t.size() && t[i + 1] == '\r') {
            t[i] = '\r';
            t[i + 1] = '\n';
            ++i;
        }
        if (t[i] == '\x02' || t[i] == '\x03') t[i] = '\n';
    }
    return t;
}

// The fakes installed, the page's read-outs and text area made, the port open.
struct Rig {
    fakes::FakeUi ui;
    fakes::FakeSerial serial;
    fakes::FakeSystem system;
    fakes::FakeConsole console;
    platform::Wnd main = nullptr;

    Rig() {
        platform::SetEnv(platform::Env{&ui, &serial, &system, &console});
        fakes::ResetCoreState();
        main = ui.NewWindow("main");
        platform::Wnd* fields[] = {
            &g_gen.hWndPwmOnOff,   &g_gen.hWndCtlOnOff,     &g_gen.hWndFreq,
            &g_gen.hWndDuty,       &g_gen.hWndSearchAlways, &g_gen.hWndFmax,
            &g_gen.hWndFmin,       &g_gen.hWndVmin,         &g_gen.hWndAutoRead,
            &g_gen.hWndAntVpeak,   &g_gen.hWndAntIpeak,     &g_gen.hWndVsupply,
            &g_gen.hWndAntIavg,    &g_gen.hWndAntPavg,      &g_gen.hWndPcbTemp,
            &g_gen.hWndTempThresh, &g_gen.hWndHwVersion,    &g_gen.hWndFwVersion,
        };
        for (platform::Wnd* f : fields) *f = ui.NewWindow("field");
        g_link_ui.hWndComText = ui.NewWindow("ComText");
        g_port.port_handle = serial.Open("\\\\.\\COM15");
        g_port.com_port_open = 1;
    }
    ~Rig() {
        fakes::ResetCoreState();
        platform::SetEnv(platform::Env{});
    }

    // The recorders would grow with every reply; the text area trims itself.
    void ForgetRecords() {
        console.out.clear();
        ui.set_texts.clear();
        ui.appended.clear();
    }

    // Ticks until the fed reply has been read and handed on. False when it never is.
    bool PumpOne(const std::string& framed) {
        serial.Feed(framed);
        const uint32_t limit = g_port.COM_timeout_max + 3;
        for (uint32_t tick = 0; tick < limit; ++tick) {
            ReceiveTimerProc(main);
            if (serial.chunks.empty() && g_rx.rx_count == 0) return true;
        }
        return false;
    }
};

void BM_ReplyPumpAndParser(benchmark::State& state) {
    Rig rig;
    std::vector<std::string> framed(kFramedReplies, kFramedReplies + kReplyCount);

    // One reply first, to see that the pump hands replies to the parser at all.
    if (!rig.PumpOne("\x02"
                     "VINF: 24.5\x03") ||
        rig.ui.Text(g_gen.hWndVsupply) != "24.50V") {
        state.SkipWithError("the receive pump does not hand replies to the parser");
        return;
    }
    rig.ForgetRecords();

    std::size_t next = 0;
    for (auto _ : state) {
        if (!rig.PumpOne(framed[next])) {
            state.SkipWithError("a reply was not handed on in time");
            break;
        }
        if (++next == kReplyCount) next = 0;
        rig.ForgetRecords();
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
    state.counters["ticks_per_reply"] = g_port.COM_timeout_max + 2;
}
BENCHMARK(BM_ReplyPumpAndParser);

void BM_ParserOnly(benchmark::State& state) {
    Rig rig;
    std::vector<std::string> texts;
    for (const char* f : kFramedReplies) texts.push_back(ForDisplay(f));
    char buf[256];
    std::size_t next = 0;
    for (auto _ : state) {
        // The parser may shorten the reply in place, so it gets a fresh copy each time.
        const std::string& t = texts[next];
        std::memcpy(buf, t.c_str(), t.size() + 1);
        ParseDeviceReply(buf, static_cast<uint32_t>(t.size() + 1));
        if (++next == kReplyCount) next = 0;
        rig.ForgetRecords();
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}
BENCHMARK(BM_ParserOnly);

// The worst case for the parser: a reply that fills the whole message buffer and holds no
// known string, so every row searches all of it.
void BM_ParserLongUnknownReply(benchmark::State& state) {
    Rig rig;
    std::string text(kRxMessageSize - 1, 'x');
    for (std::size_t i = 80; i < text.size(); i += 81) text[i] = '\n';
    std::vector<char> buf(text.size() + 1);
    for (auto _ : state) {
        std::memcpy(buf.data(), text.c_str(), text.size() + 1);
        ParseDeviceReply(buf.data(), static_cast<uint32_t>(buf.size()));
        rig.ForgetRecords();
        rig.ui.controls[g_link_ui.hWndComText].text.clear();
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_ParserLongUnknownReply)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
