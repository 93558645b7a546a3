// The receive pump fed arbitrary bytes, split across ticks and pauses as the input says, at
// the idle time-out of the baud rate it picks, in normal, flash stream and bootloading mode,
// with the real reply parser and flash dump behind it.
//
// Input: one byte picks the baud rate row (modulo 10; 9: none, the start-up time-out), then
// operations (the op byte modulo 8):
//   0 N bytes  N bytes arrive in one tick
//   1 N        N + 1 silent ticks
//   2          Reg: "Mr" and Read: a flash stream
//   3          Reg: "Wo" and Read: back to replies
//   4          bootloading on / off (a small checked hex file is loaded the first time, so
//              the real bootloading step streams its lines)
//   5          COM log on / off
//   6 W F      (W % 0x5000) * 8 + 1 bytes F at once, the last one ETX when the op has bit 3
//   7          COM Start / Stop
#include "page/page.h"
#include "tests/fuzz/fuzz_support.h"
#include "tests/hex_builder.h"

namespace {

constexpr uint8_t kEtx = 0x03;

// A reply handed on holds its converted text, the LF that was its ETX, and a NUL.
void CheckedParse(char* reply, uint32_t count) {
    FUZZ_CHECK(count >= 2 && count <= kRxMessageSize);
    FUZZ_CHECK(reply[count - 1] == '\0' && reply[count - 2] == '\n');
    FUZZ_CHECK(!(reply[0] == 'A' && reply[1] >= '0' && reply[1] <= '7'));
    ParseDeviceReply(reply, count);
}

void CheckedBootStep(platform::Wnd wnd, uint8_t complete, uint32_t count, const uint8_t* reply) {
    FUZZ_CHECK(complete ? g_boot.process_state_bootloader == 1 && count >= 2 &&
                              count <= kRxMessageSize && reply[count - 1] == 0
                        : count < kRxMessageSize);
    BootloaderStep(wnd, complete, count, reply);
    // Nothing behind the application's end-of-file line goes out.
    FUZZ_CHECK(g_boot.lines_sent <= g_image.ihex_line_num_max_app);
}

// Four lines for the ATmega328P, the first one short, checked as File Open checks them; the
// file and its images in a folder of their own, removed at exit.
void LoadCheckedHexFile() {
    static const fakes::ScratchDir dir;
    static const std::string path = dir.Write(
        "app.hex", hexb::Data(0, hexb::Counting(5)) + hexb::Data(5, hexb::Counting(16, 5)) +
                       hexb::Data(21, hexb::Counting(16, 21)) + hexb::kEof);
    std::snprintf(g_folders.szBinPath, sizeof g_folders.szBinPath, "%s", dir.path().c_str());
    FUZZ_CHECK(HexFileRead(path.c_str()) == 1 && g_image.hex_file_valid == 1);
    g_hex.hex_file_open = 1;
}

void CheckedDump() {
    FUZZ_CHECK(g_flash.flash_stream_len > 0 && g_flash.flash_stream_len <= kFlashStreamSize);
    FlashDump();
}

// The log gets a reply as received: STX and ETX included, no NUL.
void CheckedLog(const void* data, std::size_t len) {
    FUZZ_CHECK(len >= 1 && len < kRxMessageSize);
    FUZZ_CHECK(static_cast<const uint8_t*>(data)[len - 1] == kEtx);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    fuzz::FreshCore core;
    g_rx_consumers.parse_reply = CheckedParse;
    g_rx_consumers.bootloader_step = CheckedBootStep;
    g_rx_consumers.flash_dump = CheckedDump;
    g_rx_consumers.log_write = CheckedLog;
    CreateComPageControls(core.page);
    CreateGeneratorPage(core.page);
    const auto tick = [&core] {
        ReceiveTimerProc(core.page);
        FUZZ_CHECK(g_rx.rx_count < kRxMessageSize);
        FUZZ_CHECK(g_flash.flash_stream_len <= kFlashStreamSize);
        FUZZ_CHECK(core.ui.TextLength(g_link_ui.hWndComText) <= kComTextLimit);
    };
    // Ticks until the port has handed out everything fed to it (or is closed).
    const auto drain = [&] {
        while (!core.serial.chunks.empty() && g_port.com_port_open == 1) tick();
    };
    const auto reg_read = [&core](const char* text) {
        core.ui.SetControlText(g_link_ui.hWndRegEdit, text);
        core.Command(1039);
    };
    fuzz::Input in(data, size);
    const int row = in.Byte() % (kBaudRows + 1);
    if (row < kBaudRows) {
        core.ui.controls[g_link_ui.hWndBaudSelect].selection = row;
        core.Command(1035, platform::kCbnSelEndOk);
    }
    core.Command(1036);
    FUZZ_CHECK(g_port.com_port_open == 1);

    while (!in.empty()) {
        const uint8_t op = in.Byte();
        switch (op % 8) {
            case 0:
                core.serial.Feed(in.Bytes(in.Byte()));
                tick();
                break;
            case 1:
                for (int i = in.Byte(); i >= 0; --i) tick();
                break;
            case 2:
                reg_read("Mr");
                break;
            case 3:
                reg_read("Wo");
                break;
            case 4:
                if (g_hex.hex_file_open == 0) LoadCheckedHexFile();
                g_boot.process_state_bootloader ^= 1;
                // Starting a transfer gives the first reply the full time-out.
                if (g_boot.process_state_bootloader == 1)
                    g_rx.boot_rx_countdown = kBootRxTimeoutTicks;
                break;
            case 5:
                g_log.com_log_active ^= 1;
                break;
            case 6: {
                // Up to 160 KiB: past the reply buffer and past the flash buffer.
                const std::size_t n = std::size_t{in.Word()} % 0x5000 * 8 + 1;
                std::string bulk(n, static_cast<char>(in.Byte()));
                if (op & 8) bulk.back() = static_cast<char>(kEtx);
                core.serial.Feed(bulk);
                drain();
                break;
            }
            default:
                core.Command(1036);
                break;
        }
    }
    // Silence to the end: whatever is pending is handed on or dropped.
    drain();
    for (int i = 0; i < 60; ++i) tick();
    WireDevice();
    return 0;
}
