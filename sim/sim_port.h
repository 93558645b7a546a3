#pragma once
// The program's serial port, connected in-process to a simulated device. Time is driven by
// the caller: one Tick() per call of the program's 10 ms receive timer.
#include <cstdint>
#include <string>
#include <vector>

#include "platform/serial_port.h"
#include "sim/device.h"

namespace sim {

class SimSerialPort : public platform::SerialPort {
  public:
    explicit SimSerialPort(Device& device, std::string path = "\\\\.\\COM15");

    platform::PortHandle Open(const char* device_path) override;
    bool Configure(platform::PortHandle h, int32_t baudrate, std::string& error) override;
    bool Read(platform::PortHandle h, uint8_t* buf, std::size_t max, std::size_t& got) override;
    bool Write(platform::PortHandle h, const uint8_t* data, std::size_t len,
               std::size_t& put) override;
    void Close(platform::PortHandle h) override;

    // Advances the device by one receive timer period (10 ms), or by any time.
    void Tick() { device_.Advance(kTick); }
    void Advance(Nanos dt) { device_.Advance(dt); }

    // A cable that is not plugged in: opening fails.
    void set_present(bool present) { present_ = present; }
    bool is_open() const { return open_; }
    int32_t baudrate() const { return baud_; }
    const std::vector<std::string>& opened_paths() const { return opened_paths_; }
    // Every write, one entry per call, in order (none kept when switched off for a long run).
    const std::vector<std::string>& writes() const { return writes_; }
    void set_keep_writes(bool keep) { keep_writes_ = keep; }
    // Writes made since the given index, concatenated.
    std::string WrittenSince(std::size_t index) const;
    Device& device() { return device_; }

  private:
    bool Owns(platform::PortHandle h) const { return open_ && h == handle_; }

    Device& device_;
    std::string path_;
    bool present_ = true;
    bool keep_writes_ = true;
    bool open_ = false;
    int32_t baud_ = 0;
    uintptr_t opens_ = 0;
    platform::PortHandle handle_ = nullptr;
    std::vector<std::string> opened_paths_;
    std::vector<std::string> writes_;
};

}  // namespace sim
