#include "firmware/chip_table.h"

const ChipRow chip_table[kChipRows] = {
    {"328P", 0x8000, 0x7000, 64, 448, 1793},
    {"1284P", 0x20000, 0x1E000, 128, 960, 7681},
    {"1281", 0x20000, 0x1E000, 128, 960, 7681},
};

ChipState g_chip;
