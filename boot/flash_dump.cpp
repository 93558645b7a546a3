#include "boot/flash_dump.h"

FlashStreamState g_flash;

void FlashDump() {}
