#pragma once
// The AVR controllers a firmware image can be built for, and the user's choice among them.
#include <cstdint>

struct ChipRow {
    const char* name;  // after "ATmega"
    uint32_t flash_size;
    uint32_t app_size;
    uint32_t page_size;
    uint32_t max_pages;
    uint32_t max_hex_lines;
};

constexpr int kChipRows = 3;
extern const ChipRow chip_table[kChipRows];

struct ChipState {
    uint8_t chip_index = 0;
    void Reset() { *this = ChipState{}; }
};
extern ChipState g_chip;
