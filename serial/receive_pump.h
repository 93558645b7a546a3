#pragma once
// The 10 ms receive pump: reply framing, flash stream collection, bootloader replies.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "platform/types.h"

constexpr uint32_t kRxMessageSize = 32768;
constexpr uint32_t kRxReadSize = 32766;
constexpr uint32_t kBootRxTimeoutTicks = 500;
constexpr uint32_t kFlashStreamSize = 131072;

struct RxState {
    uint8_t rx_message[kRxMessageSize];
    uint32_t rx_count;
    uint32_t rx_idle_countdown;
    uint32_t boot_rx_countdown;
    uint8_t flash_stream_mode;
    uint8_t rx_cut;            // the pending reply outgrew rx_message; its rest is dropped
    uint8_t flash_stream_cut;  // the flash stream outgrew its buffer; its rest is dropped
    uint32_t rx_quiet_ticks;   // ticks since the last byte received or command written
    void Reset() {
        std::memset(rx_message, 0, sizeof rx_message);
        rx_count = 0;
        rx_idle_countdown = 0;
        boot_rx_countdown = kBootRxTimeoutTicks;
        flash_stream_mode = 0;
        rx_cut = 0;
        flash_stream_cut = 0;
        rx_quiet_ticks = UINT32_MAX;
    }
};
extern RxState g_rx;

// The raw bytes of a flash read-back, collected while flash_stream_mode is set.
struct FlashStreamState {
    uint8_t flash_stream_buf[kFlashStreamSize];
    uint32_t flash_stream_len;
    void Reset() {
        std::memset(flash_stream_buf, 0, sizeof flash_stream_buf);
        flash_stream_len = 0;
    }
};
extern FlashStreamState g_flash;

void ReceiveTimerProc(platform::Wnd wnd);

// A new opening of the port: no reply pending or awaited, no flash stream.
void RxPortOpened();
// A command went out: its reply is awaited from now on.
void RxCommandSent();
// No byte received and no command written for more than COM_timeout_max ticks: the reply to
// the last command has been handed on, or its idle time-out has passed without one.
bool RxLineAtRest();

// Where the link hands what it received and tells what became of the port. The link knows none
// of them: they are bound above it (device/wiring.cpp); until then nothing is handed on. Tests
// may swap them and must restore them.
struct RxConsumers {
    void (*parse_reply)(char* reply, uint32_t count);
    void (*bootloader_step)(platform::Wnd wnd, uint8_t reply_complete, uint32_t count,
                            const uint8_t* reply);
    void (*flash_dump)();
    void (*log_write)(const void* data, std::size_t len);
    // True while a firmware transfer runs: the pump then frames bootloader replies.
    bool (*bootloading)();
    // COM Start opened the port; the pump is ready for replies.
    void (*port_opened)(platform::Wnd wnd);
    // The open port failed under the program and has been closed.
    void (*port_lost)(platform::Wnd wnd);
    // A command went out whole: text is what was written ("cw Wo1\r").
    void (*command_sent)(const char* text);
    static RxConsumers Unbound();
};
extern RxConsumers g_rx_consumers;
