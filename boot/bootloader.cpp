#include "boot/bootloader.h"

BootState g_boot;

void BootloaderStep(platform::Wnd, uint8_t, uint32_t, const uint8_t*) {
    // The transfer itself comes with the firmware update; until then no transfer can start.
    if (g_boot.process_state_bootloader == 0) g_boot.bootloader_step = 0;
}
