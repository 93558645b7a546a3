#pragma once
// The check and decoding of one Intel HEX line of the line tables.
#include <cstdint>

uint32_t HexChars2Value(const char* chars, uint32_t count);
// 1 when line n passes and has been decoded into its slot of ihex_hex_line.
int IhexLineCheck(uint32_t n);
// Decodes line n (its text is length characters long); 1 when its checksum holds.
int AsciiLine2HexLine(uint32_t n, uint32_t length);
