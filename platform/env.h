#pragma once
// The outside world of the core: set once by the shell, or by a test with fakes.
#include "platform/console.h"
#include "platform/serial_port.h"
#include "platform/system.h"
#include "platform/ui.h"

namespace platform {

struct Env {
    Ui* ui = nullptr;
    SerialPort* serial = nullptr;
    System* system = nullptr;
    Console* console = nullptr;
};

void SetEnv(const Env& env);
const Env& GetEnv();

inline Ui& UI() {
    return *GetEnv().ui;
}
inline SerialPort& Serial() {
    return *GetEnv().serial;
}
inline System& Sys() {
    return *GetEnv().system;
}

}  // namespace platform
