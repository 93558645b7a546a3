#include "generator/autoread.h"

#include "page/page.h"
#include "generator/reply_parser.h"
#include "platform/env.h"
#include "platform/text_format.h"
#include "serial/port.h"
#include "serial/receive_pump.h"

AutoReadState g_autoread;

namespace {

// Start-up reads are spaced 150 ms apart, measurements about one a second.
constexpr uint8_t kFastInterval = 5;
constexpr uint8_t kSlowInterval = 40;

struct Read {
    const char* command;
    const char* status;  // shown in the right-hand status line
};

// False when the read did not go out; the step is then tried again.
bool Send(const Read& read) {
    char cmd[64];
    if (!FormatBounded(cmd, sizeof cmd, "%s", read.command)) return false;
    if (!PortWriteText(cmd)) return false;
    ConWrite(cmd);
    ConWrite("\n");
    platform::UI().SetControlText(g_com.hWndStatusRight, read.status);
    return true;
}

bool MeasurementWanted() {
    return g_autoread.autoread_on != 0 || g_autoread.autoread_read_once != 0;
}

bool StepSends(uint8_t step) {
    if (step <= 4) return step != 2;
    return step <= 8 && MeasurementWanted();
}

// Replies are told apart only by the pause after them: a read sent while the last reply is
// still arriving would run into it (below 14400 bps a reply outlasts the 150 ms spacing).
// Bytes that come while a flash read-back is collected are taken as flash.
bool LineFree() {
    return RxLineAtRest() && g_rx.flash_stream_mode == 0;
}

void RunStep() {
    AutoReadState& a = g_autoread;
    switch (a.autoread_step) {
        case 0:
            a.autoread_interval = kFastInterval;
            if (Send({"cr Wo\r", "Reading: PWM on/off"})) a.autoread_step = 1;
            break;
        case 1:
            if (Send({"cr Sv\r", "Reading: HW version"})) a.autoread_step = 3;
            break;
        case 2:
            a.autoread_step = 0;
            break;
        case 3:
            if (Send({"cr Wc\r", "Reading: PWM Ctl"})) a.autoread_step = 4;
            break;
        case 4:
            if (Send({"cr Ww\r", "Reading: auto search"})) a.autoread_step = 5;
            break;
        case 5:
            a.autoread_interval = kSlowInterval;
            if (MeasurementWanted() && !Send({"cr Wi\r", "Reading: ant. V/I"})) break;
            if (a.autoread_read_once != 0) a.autoread_interval = kFastInterval;
            a.autoread_step = 6;
            break;
        case 6:
            if (MeasurementWanted() && !Send({"cr Wt\r", "Reading: temperature"})) break;
            a.autoread_interval = a.autoread_read_once != 0 ? kFastInterval : kSlowInterval;
            a.autoread_step = 7;
            break;
        case 7:
            if (MeasurementWanted() && !Send({"cr Wu\r", "Reading: VIN"})) break;
            a.autoread_interval = a.autoread_read_once != 0 ? kFastInterval : kSlowInterval;
            a.autoread_step = 8;
            break;
        case 8:
            if (MeasurementWanted() && !Send({"cr Pi\r", "Reading: ant. I / P"})) break;
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
    if (g_port.com_port_open == 0 || g_dev.uCisBootloader != 0 || g_rx_consumers.bootloading()) {
        return;
    }
    AutoReadState& a = g_autoread;
    if (a.autoread_tick < a.autoread_interval) {
        ++a.autoread_tick;
        return;
    }
    if (StepSends(a.autoread_step) && !LineFree()) {
        a.autoread_tick = a.autoread_interval;  // due: runs on the first tick the line is free
        return;
    }
    a.autoread_tick = 0;
    RunStep();
}
