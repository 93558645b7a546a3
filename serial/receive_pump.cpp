#include "serial/receive_pump.h"

#include <cstring>
#include <string_view>

#include "platform/env.h"
#include "serial/com_log.h"
#include "serial/link_controls.h"
#include "serial/port.h"
#include "serial/reg_console.h"

RxState g_rx;
FlashStreamState g_flash;

RxConsumers RxConsumers::Unbound() {
    return RxConsumers{
        [](char*, uint32_t) {},
        [](platform::Wnd, uint8_t, uint32_t, const uint8_t*) {},
        [] { g_flash.flash_stream_len = 0; },
        ComLogWrite,
        [] { return false; },
        [](platform::Wnd) {},
        [](platform::Wnd) {},
        [](const char*) {},
    };
}
RxConsumers g_rx_consumers = RxConsumers::Unbound();

namespace {

constexpr uint8_t kStx = 0x02;
constexpr uint8_t kEtx = 0x03;
constexpr uint8_t kLf = 0x0A;
constexpr uint8_t kCr = 0x0D;

// The reply text may use all of rx_message but the last byte, which its NUL needs.
constexpr uint32_t kReplyRoom = kRxMessageSize - 1;

constexpr const char* kReplyDropped =
    "\r\nWIN info: device reply longer than 32767 bytes, dropped\r\n";
constexpr const char* kBootReplyCut =
    "\r\nWIN info: bootloader reply longer than 32767 bytes, cut\r\n";
constexpr const char* kFlashStreamCut =
    "\r\nWIN info: flash stream longer than 131072 bytes, rest dropped\r\n";

void Notify(const char* text) {
    ConWrite(text);
    AppendComText(text);
}

// Appends what still fits; false when bytes had to be dropped.
bool AppendReply(const uint8_t* data, std::size_t n) {
    const std::size_t room = kReplyRoom - g_rx.rx_count;
    const std::size_t take = n < room ? n : room;
    std::memcpy(g_rx.rx_message + g_rx.rx_count, data, take);
    g_rx.rx_count += static_cast<uint32_t>(take);
    return take == n;
}

void TerminateReply() {
    g_rx.rx_message[g_rx.rx_count] = 0;
    ++g_rx.rx_count;
}

void CollectFlash(const uint8_t* data, std::size_t n) {
    const uint32_t len = g_flash.flash_stream_len;
    if (len == 0) g_rx.flash_stream_cut = 0;  // a new stream
    const std::size_t room = len < kFlashStreamSize ? kFlashStreamSize - len : 0;
    const std::size_t take = n < room ? n : room;
    if (take > 0) {
        std::memcpy(g_flash.flash_stream_buf + len, data, take);
        g_flash.flash_stream_len = len + static_cast<uint32_t>(take);
        if (g_flash.flash_stream_len % 16 == 0) {
            AppendComText(".");
            ConWrite(".");
        }
    }
    if (take < n && g_rx.flash_stream_cut == 0) {
        g_rx.flash_stream_cut = 1;
        Notify(kFlashStreamCut);
    }
}

void EndFlashStream() {
    g_rx.flash_stream_mode = 0;
    RegExchangeAnswered("", g_flash.flash_stream_len);
    g_rx_consumers.flash_dump();
    // The stream ends once, whatever the dump left behind.
    g_flash.flash_stream_len = 0;
}

void ConvertForDisplay(uint8_t* m, uint32_t count) {
    for (uint32_t i = 0; i < count; ++i) {
        if (m[i] == kLf && i + 1 < count && m[i + 1] == kCr) {
            m[i] = kCr;
            m[i + 1] = kLf;
            ++i;
        }
        if (m[i] == kStx || m[i] == kEtx) m[i] = kLf;
    }
}

void HandOnReply() {
    TerminateReply();
    if (g_log.com_log_active) g_rx_consumers.log_write(g_rx.rx_message, g_rx.rx_count - 1);
    ConvertForDisplay(g_rx.rx_message, g_rx.rx_count);

    const uint32_t count = g_rx.rx_count;
    g_rx.rx_count = 0;
    char* text = reinterpret_cast<char*>(g_rx.rx_message);
    // Replies A0 to A7 are not for the user: neither shown nor interpreted.
    if (text[0] == 'A' && text[1] >= '0' && text[1] <= '7') return;
    ConWrite(text);  // up to its first NUL, as the parser sees it
    RegExchangeAnswered(text, 0);
    g_rx_consumers.parse_reply(text, count);
}

// Hands on the held reply if it ends with ETX after the idle time-out; false when none was.
bool HandOnHeldReply() {
    // A cut reply lacks its end and could be misread: it goes as a whole.
    if (g_rx.rx_cut == 1) {
        g_rx.rx_count = 0;
        g_rx.rx_cut = 0;
        return false;
    }
    if (g_rx.rx_count == 0 || g_rx.rx_message[g_rx.rx_count - 1] != kEtx) return false;
    HandOnReply();
    return true;
}

void NormalTick(const uint8_t* data, std::size_t n) {
    if (n > 0) {
        if (g_rx.rx_idle_countdown == 0) {
            // New data on the very tick a complete reply was due: that reply still counts.
            HandOnHeldReply();
            g_rx.rx_count = 0;  // an unterminated fragment from before the pause
            g_rx.rx_cut = 0;
        }
        if (g_rx.flash_stream_mode == 1) {
            CollectFlash(data, n);
        } else if (!AppendReply(data, n) && g_rx.rx_cut == 0) {
            g_rx.rx_cut = 1;
            Notify(kReplyDropped);
        }
        g_rx.rx_idle_countdown = g_port.COM_timeout_max;
        return;
    }
    if (g_rx.rx_idle_countdown > 0) {
        --g_rx.rx_idle_countdown;
        return;
    }
    if (!HandOnHeldReply() && g_flash.flash_stream_len > 0) EndFlashStream();
}

// Returns 1 when a bootloader reply was completed on this tick.
uint8_t BootTick(const uint8_t* data, std::size_t n) {
    if (n > 0) {
        if (g_rx.boot_rx_countdown == 0) {
            g_rx.rx_count = 0;
            g_rx.rx_cut = 0;
        }
        if (!AppendReply(data, n) && g_rx.rx_cut == 0) {
            g_rx.rx_cut = 1;
            Notify(kBootReplyCut);
        }
        g_rx.boot_rx_countdown = kBootRxTimeoutTicks;
        return 0;
    }
    uint8_t complete = 0;
    if (g_rx.rx_count > 0) {
        // The bootloader reads only the first letter, so even a cut reply is worth handing on.
        TerminateReply();
        g_rx.rx_cut = 0;
        complete = 1;
    }
    if (g_rx.boot_rx_countdown > 0) --g_rx.boot_rx_countdown;
    return complete;
}

}  // namespace

void RxPortOpened() {
    g_rx.rx_idle_countdown = 0;
    // A read-back that never answered must not swallow the new opening's replies.
    g_rx.flash_stream_mode = 0;
    g_rx.flash_stream_cut = 0;
    g_flash.flash_stream_len = 0;
    g_rx.rx_quiet_ticks = UINT32_MAX;
}

void RxCommandSent() {
    g_rx.rx_quiet_ticks = 0;
}

bool RxLineAtRest() {
    return g_rx.rx_quiet_ticks > g_port.COM_timeout_max;
}

void ReceiveTimerProc(platform::Wnd wnd) {
    if (g_port.com_port_open != 1 || g_port.port_handle == nullptr) return;

    // Static: too large for the stack of a timer callback. It is used up before any
    // consumer runs, so a tick nested in a consumer's message box may reuse it.
    static uint8_t read_buf[kRxReadSize];
    std::size_t n = 0;
    if (!platform::Serial().Read(g_port.port_handle, read_buf, sizeof read_buf, n)) {
        ComPortLost(wnd);
        return;
    }
    if (n > sizeof read_buf) n = sizeof read_buf;
    if (g_rx.rx_count > kReplyRoom) g_rx.rx_count = kReplyRoom;
    if (n > 0) {
        g_rx.rx_quiet_ticks = 0;
    } else if (g_rx.rx_quiet_ticks < UINT32_MAX) {
        ++g_rx.rx_quiet_ticks;
    }

    uint8_t complete = 0;
    if (g_rx_consumers.bootloading()) {
        complete = BootTick(read_buf, n);
    } else {
        NormalTick(read_buf, n);
    }

    // Cleared before the call: a message box of the step runs ticks of its own, whose
    // replies must not be wiped when it returns.
    const uint32_t count = g_rx.rx_count;
    if (complete) g_rx.rx_count = 0;
    g_rx_consumers.bootloader_step(wnd, complete, count, g_rx.rx_message);
}
