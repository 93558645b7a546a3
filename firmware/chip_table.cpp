#include "firmware/chip_table.h"

#include "platform/env.h"
#include "platform/page.h"

const ChipRow chip_table[kChipRows] = {
    {"328P", 0x8000, 0x7000, 64, 448, 1793},
    {"1284P", 0x20000, 0x1E000, 128, 960, 7681},
    {"1281", 0x20000, 0x1E000, 128, 960, 7681},
};

ChipState g_chip;

void ChipSelect_process(uint32_t wParam, platform::Wnd) {
    if (platform::HighWord(wParam) != platform::kCbnSelEndOk) return;
    int index = platform::UI().ComboGetSelection(g_com.hWndChipSelect);
    if (index == -1) {
        ConPrintf("Chip selection ERROR!\n");
        index = 0;
    }
    if (index < 0 || index >= kChipRows) return;
    g_chip.chip_index = static_cast<uint8_t>(index);
    const ChipRow& chip = chip_table[index];
    ConPrintf("Selected Chip: %li\n", static_cast<long>(index));
    ConPrintf("ATmega%s\n", chip.name);
    ConPrintf("flash size: 0x%lX bytes; application size: 0x%lX bytes\n",
              static_cast<unsigned long>(chip.flash_size),
              static_cast<unsigned long>(chip.app_size));
    ConPrintf("page size: %i bytes; maximum number of pages: %i\n",
              static_cast<int>(chip.page_size), static_cast<int>(chip.max_pages));
    ConPrintf("max lines in hex file: %li; page size: %li\n", static_cast<long>(chip.max_hex_lines),
              static_cast<long>(chip.page_size));
}
