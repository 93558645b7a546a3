#pragma once
// Which code of the device layer gets what the link receives and what becomes of the port.
#include "serial/receive_pump.h"

// The device layer's consumers of the link.
RxConsumers DeviceConsumers();
// Binds them: every front end does so before it opens the port.
void WireDevice();
