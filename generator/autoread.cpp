#include "generator/autoread.h"

#include "platform/page.h"
#include "boot/bootloader.h"
#include "generator/reply_parser.h"
#include "platform/env.h"
#include "platform/text_format.h"
#include "serial/port.h"

AutoReadState g_autoread;

namespace {

// Start-up reads are spaced 150 ms apart, measurements about one a second.
constexpr uint8_t kFastInterval = 5;
constexpr uint8_t kSlowInterval = 40;

struct Read {
    const char* command;
    const char* status;  // shown in the right-hand status line
};

void Send(const Read& read) {
    char cmd[64];
    if (!FormatBounded(cmd, sizeof cmd, "%s", read.command)) return;
    PortWriteText(cmd);
    ConWrite(cmd);
    ConWrite("\n");
    platform::UI().SetControlText(g_com.hWndStatusRight, read.status);
}

bool MeasurementWanted() {
    return g_autoread.autoread_on != 0 || g_autoread.autoread_read_once != 0;
}

void RunStep() {
    AutoReadState& a = g_autoread;
    switch (a.autoread_step) {
        case 0:
            a.autoread_interval = kFastInterval;
            Send({"cr Wo\r", "Reading: PWM on/off"});
            a.autoread_step = 1;
            break;
        case 1:
            Send({"cr Sv\r", "Reading: HW version"});
            a.autoread_step = 3;
            break;
        case 2:
            a.autoread_step = 0;
            break;
        case 3:
            Send({"cr Wc\r", "Reading: PWM Ctl"});
            a.autoread_step = 4;
            break;
        case 4:
            Send({"cr Ww\r", "Reading: auto search"});
            a.autoread_step = 5;
            break;
        case 5:
            a.autoread_interval = kSlowInterval;
            if (MeasurementWanted()) Send({"cr Wi\r", "Reading: ant. V/I"});
            if (a.autoread_read_once != 0) a.autoread_interval = kFastInterval;
            a.autoread_step = 6;
            break;
        case 6:
            if (MeasurementWanted()) Send({"cr Wt\r", "Reading: temperature"});
            a.autoread_interval = a.autoread_read_once != 0 ? kFastInterval : kSlowInterval;
            a.autoread_step = 7;
            break;
        case 7:
            if (MeasurementWanted()) Send({"cr Wu\r", "Reading: VIN"});
            a.autoread_interval = a.autoread_read_once != 0 ? kFastInterval : kSlowInterval;
            a.autoread_step = 8;
            break;
        case 8:
            if (MeasurementWanted()) Send({"cr Pi\r", "Reading: ant. I / P"});
            a.autoread_read_once = 0;
            a.autoread_interval = kSlowInterval;
            a.autoread_step = 5;
            break;
        case 9:
            a.autoread_step = 5;
            break;
        default:
            a.autoread_step = 0;
            break;
    }
}

}  // namespace

void AutoReadTimerProc(platform::Wnd) {
    // During a transfer every byte on the line belongs to the image.
    if (g_port.com_port_open == 0 || g_dev.uCisBootloader != 0 ||
        g_boot.process_state_bootloader != 0) {
        return;
    }
    const uint8_t t = g_autoread.autoread_tick;
    ++g_autoread.autoread_tick;
    if (t < g_autoread.autoread_interval) return;
    g_autoread.autoread_tick = 0;
    RunStep();
}
