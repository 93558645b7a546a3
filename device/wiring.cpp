#include "device/wiring.h"

#include "boot/bootloader.h"
#include "boot/flash_dump.h"
#include "generator/autoread.h"
#include "generator/gen_page.h"
#include "generator/reply_parser.h"
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
    ClearReadouts();
    g_autoread.autoread_step = 0;
    if (g_dev.uCisBootloader == 1) {
        char cmd[32];
        if (FormatBounded(cmd, sizeof cmd, "cr %s\r", "Sv")) PortWriteText(cmd);
    }
}

}  // namespace

RxConsumers DeviceConsumers() {
    return RxConsumers{ParseDeviceReply, BootloaderStep, FlashDump,         ComLogWrite,
                       Bootloading,      PortOpened,     BootloaderPortLost};
}

void WireDevice() {
    g_rx_consumers = DeviceConsumers();
}
