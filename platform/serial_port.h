#pragma once
// The serial port as the core sees it.
#include <cstddef>
#include <cstdint>

#include "platform/types.h"

namespace platform {

class SerialPort {
  public:
    virtual ~SerialPort() = default;

    // Opens the device path ("\\.\COM15"), configures 8N1 at the baud rate without
    // handshake, sets non-blocking read time-outs and purges both directions.
    // Returns nullptr on failure.
    virtual PortHandle Open(const char* device_path, int32_t baudrate) = 0;
    // Returns what is buffered, at most max bytes; never waits more than about 1 ms.
    virtual std::size_t Read(PortHandle h, uint8_t* buf, std::size_t max) = 0;
    // Synchronous write; returns the bytes written.
    virtual std::size_t Write(PortHandle h, const uint8_t* data, std::size_t len) = 0;
    virtual void Close(PortHandle h) = 0;
};

}  // namespace platform
