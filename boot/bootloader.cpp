#include "boot/bootloader.h"

#include <cstdio>
#include <string>
#include <string_view>

#include "firmware/hex_file.h"
#include "firmware/page_image.h"
#include "platform/env.h"
#include "page/page.h"
#include "platform/text_format.h"
#include "serial/com_log.h"
#include "serial/port.h"
#include "serial/receive_pump.h"
#include "serial/link_controls.h"

BootState g_boot;

namespace {

constexpr uint8_t kStepStart = kBootStepStart;
constexpr uint8_t kStepSend = kBootStepSend;
constexpr uint8_t kStepWait = kBootStepWait;
constexpr uint32_t kEchoAbove = 1000;

// The first byte from 'A' to 'z' is the reply's meaning; 0 when there is none.
char ReplyLetter(uint8_t complete, uint32_t count, const uint8_t* reply) {
    if (complete == 0 || reply == nullptr) return 0;
    for (uint32_t i = 0; i < count; ++i) {
        if (reply[i] >= 'A' && reply[i] <= 'z') return static_cast<char>(reply[i]);
    }
    return 0;
}

void Say(const char* text) {
    ConWrite(text);
    AppendComText(text);
}

void SayTime(const char* fmt) {
    const platform::LocalTime t = platform::Sys().Now();
    char text[64];
    if (FormatBounded(text, sizeof text, fmt, t.hour, t.minute, t.second)) Say(text);
}

void End(TransferOutcome outcome, char letter = 0) {
    g_boot.process_state_bootloader = 0;
    g_boot.bootloader_step = kStepStart;
    g_boot.outcome = outcome;
    g_boot.outcome_letter = letter;
}

void Box(platform::Wnd wnd, const char* text, const char* caption, unsigned flags) {
    platform::UI().ShowMessageBox(wnd, text, caption, flags);
}

void ErrorLetter(platform::Wnd wnd, char letter, const char* reply) {
    ConPrintf("Bootloader, error from uC: %c\nuC_msg: %s\n", letter, reply);
    ComLogPrintf("Bootloader, error from uC: %c\nuC_msg: %s\n", letter, reply);
    End(TransferOutcome::kDeviceError, letter);
    Box(wnd, "AVR bootloader error message!", "Error", platform::kMbIconError);
}

void TimeOut(platform::Wnd wnd, TransferOutcome outcome = TransferOutcome::kTimeOut) {
    End(outcome);
    ConPrintf("AVR bootloader Timeout! Line: %li\n", static_cast<long>(g_boot.lines_sent));
    ComLogPrintf("AVR bootloader Timeout! Line: %li\n", static_cast<long>(g_boot.lines_sent));
    Box(wnd, "AVR bootloader Timeout!", "Error", platform::kMbIconError);
}

void Start(platform::Wnd wnd) {
    g_boot.lines_sent = 0;
    g_boot.outcome = TransferOutcome::kNone;
    g_boot.bootloader_retries = 0;
    // Set before the box: its message loop runs the ticks that send the lines.
    g_boot.bootloader_step = kStepSend;
    SayTime("Bootloading started: %02dh%02dm%02d\r\n");
    Say("Do NOT remove power or connection to device!!!\r\n");
    Box(wnd, "Do NOT remove power or connection to device!!!", "Bootloading started!",
        platform::kMbIconInformation);
}

void SendLine(platform::Wnd wnd) {
    const uint32_t n = g_boot.lines_sent;
    const uint32_t total = g_image.ihex_line_num_max_app;
    if (n >= total || n >= kIhexLines) {
        // Only a cut table or a changed file gets here: nothing behind the end may go out.
        End(TransferOutcome::kNoLineLeft);
        ConPrintf("Bootloader: line %li is behind the end of the application!\n",
                  static_cast<long>(n));
        Box(wnd, "AVR bootloader: no line left to send!", "Error", platform::kMbIconError);
        return;
    }
    const uint8_t* line = g_hex.ihex_hex_line[n];
    const uint32_t len = g_hex.ihex_hex_len[n];
    std::size_t put = 0;
    if (g_port.port_handle != nullptr) platform::Serial().Write(g_port.port_handle, line, len, put);
    ConPrintf("lines_sent: %li\n", static_cast<long>(n));
    if (n > kEchoAbove && len >= 3) {
        // One write: under Wine every console write is a round trip to the console host, and
        // a write per byte made the transfer's ticks come late.
        std::string echo = "sent: ";
        echo += static_cast<char>(line[0]);
        for (uint32_t k = 1; k <= len - 3; ++k) {
            char hex[3];
            std::snprintf(hex, sizeof hex, "%02X", line[k]);
            echo += hex;
        }
        echo += static_cast<char>(line[len - 2]);
        echo += static_cast<char>(line[len - 1]);
        echo += '\n';
        ConWrite(echo);
    }
    g_boot.lines_sent = n + 1;
    if (FormatBounded(g_boot.szProgress, sizeof g_boot.szProgress, "lines: %li / %li",
                      static_cast<long>(g_boot.lines_sent), static_cast<long>(total))) {
        platform::UI().SetControlText(g_com.hWndProgress, g_boot.szProgress);
    }
    g_boot.bootloader_step = kStepWait;
}

void Finished(platform::Wnd wnd) {
    const long sent = static_cast<long>(g_boot.lines_sent);
    const long total = static_cast<long>(g_image.ihex_line_num_max_app);
    End(sent == total  ? TransferOutcome::kFinished
        : sent < total ? TransferOutcome::kEndedEarly
                       : TransferOutcome::kEndedLate);
    SayTime("Bootloading stopped: %02dh%02dm%02d\r\n");
    ConPrintf("Bootloader, uC reports writing flash finished, wrote %li of %li lines\n", sent,
              total);
    ComLogPrintf("Bootloader, uC reports writing flash finished, wrote %li of %li lines\n", sent,
                 total);
    if (sent == total) {
        Box(wnd, "AVR reports bootloading is finished!", "Bootloading finished",
            platform::kMbIconInformation);
    } else if (sent < total) {
        Box(wnd,
            "AVR reports bootloading is finished,\nbut we don't think so!!!\n"
            "lines_sent < ihex_line_num_max_app",
            "ERROR!", platform::kMbIconError);
    } else {
        Box(wnd,
            "AVR reports bootloading is finished,\nbut WTF???\n"
            "lines_sent > ihex_line_num_max_app",
            "ERROR!", platform::kMbIconError);
    }
}

void Written(platform::Wnd wnd) {
    const long line = static_cast<long>(g_boot.lines_sent);
    ConPrintf("Bootloader - AVR replies line %li written\n", line);
    ComLogPrintf("Bootloader - AVR replies line %li written\n", line);
    if (g_boot.lines_sent < g_image.ihex_line_num_max_app) {
        g_boot.bootloader_step = kStepSend;
        return;
    }
    // The end-of-file line was the last one: a device that goes on asking must get nothing.
    End(TransferOutcome::kNoEndAfterEof);
    ConPrintf("Bootloader: no end reported after the end-of-file line %li, transfer stopped\n",
              line);
    ComLogPrintf("Bootloader: no end reported after the end-of-file line %li, transfer stopped\n",
                 line);
    Box(wnd,
        "AVR did not report the end of bootloading\nafter the end-of-file line!\n"
        "Nothing more is sent.",
        "Error", platform::kMbIconError);
}

void Retry(platform::Wnd wnd, char letter, const char* reply) {
    const uint32_t earlier = g_boot.bootloader_retries++;
    if (earlier >= kBootMaxRetries) {
        ErrorLetter(wnd, letter, reply);
        return;
    }
    ConPrintf("Bootloader, error from uC: %c\nuC_msg: %s\n", letter, reply);
    ComLogPrintf("Bootloader, error from uC: %c\nuC_msg: %s\n", letter, reply);
    g_boot.bootloader_step = kStepSend;
    --g_boot.lines_sent;
}

void Wait(platform::Wnd wnd, uint8_t complete, char letter, const char* reply) {
    if (complete != 0) ConPrintf("uC_reply: %s : ", reply);
    switch (letter) {
        case 0:
            if (g_rx.boot_rx_countdown == 0) TimeOut(wnd);
            return;
        case 'w':
            Written(wnd);
            return;
        case 'c':
            Retry(wnd, letter, reply);
            return;
        case 'e':
        case 'f':
        case 's':
        case 'x':
            ErrorLetter(wnd, letter, reply);
            return;
        case 'n':
            Finished(wnd);
            return;
        default:
            End(TransferOutcome::kUnknownReply, letter);
            ConPrintf("Bootloader, unknown reply from uC: %c\nuC_msg: %s\n", letter, reply);
            ComLogPrintf("Bootloader, unknown reply from uC: %c\nuC_msg: %s\n", letter, reply);
            Box(wnd, "AVR bootloader unknown reply!", "Error", platform::kMbIconError);
            return;
    }
}

}  // namespace

void BootloaderStep(platform::Wnd wnd, uint8_t reply_complete, uint32_t count,
                    const uint8_t* reply) {
    if (g_boot.process_state_bootloader == 0 || g_hex.hex_file_open == 0 ||
        g_image.hex_file_valid == 0) {
        g_boot.bootloader_step = kStepStart;
        return;
    }
    const char letter = ReplyLetter(reply_complete, count, reply);
    switch (g_boot.bootloader_step) {
        case kStepStart:
            Start(wnd);
            return;
        case kStepSend:
            SendLine(wnd);
            return;
        case kStepWait: {
            const char* text = reply != nullptr ? reinterpret_cast<const char*>(reply) : "";
            Wait(wnd, reply_complete, letter, text);
            return;
        }
        default:
            g_boot.bootloader_step = kStepStart;
            return;
    }
}

void BootloaderPortLost(platform::Wnd wnd) {
    if (g_boot.process_state_bootloader == 0) return;
    TimeOut(wnd, TransferOutcome::kPortLost);
}

std::string TransferOutcomeText() {
    const std::string sent = std::to_string(g_boot.lines_sent);
    const std::string of = sent + " of " + std::to_string(g_image.ihex_line_num_max_app) + " lines";
    const std::string letter(1, g_boot.outcome_letter);
    switch (g_boot.outcome) {
        case TransferOutcome::kNone:
            return "no transfer has ended";
        case TransferOutcome::kFinished:
            return "the device reported the end after " + of;
        case TransferOutcome::kTimeOut:
            return "the device did not answer line " + sent + " within 5 s";
        case TransferOutcome::kDeviceError:
            return "the device reported error '" + letter + "' at line " + sent;
        case TransferOutcome::kUnknownReply:
            return "the device answered line " + sent + " with the unknown letter '" + letter + "'";
        case TransferOutcome::kEndedEarly:
        case TransferOutcome::kEndedLate:
            return "the device reported the end after " + of;
        case TransferOutcome::kNoEndAfterEof:
            return "the device did not report the end after the end-of-file line (" + of + ")";
        case TransferOutcome::kNoLineLeft:
            return "no line left to send after " + of;
        case TransferOutcome::kStopped:
            return "stopped at " + of;
        case TransferOutcome::kPortLost:
            return "the port was lost at " + of;
    }
    return "";
}
