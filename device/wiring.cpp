#include "device/wiring.h"

#include "boot/bootloader.h"
#include "boot/flash_dump.h"
#include "chart/chart.h"
#include "generator/autoread.h"
#include "generator/gen_page.h"
#include "generator/reply_parser.h"
#include "platform/env.h"
#include "platform/text_format.h"
#include "serial/com_log.h"
#include "serial/port.h"

namespace {

// A reply goes to the bootloading step while a transfer runs, to the reply parser otherwise;
// a flash stream to the dump.
bool Bootloading() {
    return g_boot.process_state_bootloader != 0;
}

// COM Start: the page forgets what the last device said, AutoRead starts from its first step,
// and a device in its bootloader is asked who it is, so that the page shows what runs.
void PortOpened(platform::Wnd) {
    chart::g_chart.OnPortOpened(chart::LocalMs(platform::Sys().Now()));
    ClearReadouts();
    g_autoread.autoread_step = 0;
    if (g_dev.uCisBootloader == 1) {
        char cmd[32];
        if (FormatBounded(cmd, sizeof cmd, "cr %s\r", "Sv")) PortWriteText(cmd);
    }
}

// The chart records the measurements whether it is shown or not.
void ParseReply(char* reply, uint32_t count) {
    ParseDeviceReply(reply, count);
    chart::g_chart.OnReply(g_readings, chart::LocalMs(platform::Sys().Now()));
}

void CommandSent(const char* text) {
    chart::g_chart.OnCommand(text, chart::LocalMs(platform::Sys().Now()));
}

}  // namespace

RxConsumers DeviceConsumers() {
    return RxConsumers{ParseReply,  BootloaderStep, FlashDump,          ComLogWrite,
                       Bootloading, PortOpened,     BootloaderPortLost, CommandSent};
}

void WireDevice() {
    g_rx_consumers = DeviceConsumers();
}
