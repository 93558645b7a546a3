#pragma once
// The serial port as the core sees it.
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/types.h"

namespace platform {

class SerialPort {
  public:
    virtual ~SerialPort() = default;

    // Opens the device path ("\\.\COM15") for this program alone. nullptr when it cannot.
    virtual PortHandle Open(const char* device_path) = 0;
    // 8N1 at the baud rate without handshake, non-blocking read time-outs, both directions
    // purged. False when the port refuses, with the system's reason in error.
    virtual bool Configure(PortHandle h, int32_t baudrate, std::string& error) = 0;
    // What is buffered, at most max bytes, into got; never waits more than about 2 ms.
    // False when the port failed (a port with nothing buffered gives true and 0 bytes).
    virtual bool Read(PortHandle h, uint8_t* buf, std::size_t max, std::size_t& got) = 0;
    // Synchronous write; put is the bytes written. False when the port failed.
    virtual bool Write(PortHandle h, const uint8_t* data, std::size_t len, std::size_t& put) = 0;
    virtual void Close(PortHandle h) = 0;
};

}  // namespace platform
