#pragma once
// The POSIX implementations of the seam, used by the command line program.
#include <cstdint>
#include <memory>
#include <string>

#include "platform/serial_port.h"
#include "platform/system.h"

namespace platform {

// A tty as the serial port: raw 8N1, no handshake, non-blocking reads. A failure is kept
// apart from "no data": it records the system's text and, once the port is open, marks
// the line as failed.
class PosixSerial final : public SerialPort {
  public:
    PortHandle Open(const char* device_path) override;
    bool Configure(PortHandle h, int32_t baudrate, std::string& error) override;
    bool Read(PortHandle h, uint8_t* buf, std::size_t max, std::size_t& got) override;
    bool Write(PortHandle h, const uint8_t* data, std::size_t len, std::size_t& put) override;
    void Close(PortHandle h) override;

    // "what: system text" of the last failure; empty after a successful open.
    const std::string& LastError() const { return error_; }
    // The open line has failed (hung up, device gone); cleared by the next open.
    bool LineFailed() const { return line_failed_; }

  private:
    // Every failure goes through here, so the report follows the seam in one place.
    void Fail(const char* what, int err, bool line);

    std::string error_;
    bool line_failed_ = false;
};

std::unique_ptr<System> NewPosixSystem();

// Sets both directions of the tty to any rate (the Linux arbitrary-rate interface, so
// 14400 too). False with errno set.
bool SetTtyBaud(int fd, int32_t baudrate);

}  // namespace platform
