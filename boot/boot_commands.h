#pragma once
// The bootloader column's buttons and the question that stops a running transfer.
#include <cstdint>

#include "platform/types.h"

void button_FileCheck_process(platform::Wnd wnd);
