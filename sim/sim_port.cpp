#include "sim/sim_port.h"

namespace sim {

SimSerialPort::SimSerialPort(Device& device, std::string path)
    : device_(device), path_(std::move(path)) {}

platform::PortHandle SimSerialPort::Open(const char* device_path, int32_t baudrate) {
    opened_paths_.emplace_back(device_path != nullptr ? device_path : "");
    // The port is exclusive, as a COM port is.
    if (!present_ || open_ || device_path == nullptr || path_ != device_path || baudrate <= 0) {
        return nullptr;
    }
    open_ = true;
    baud_ = baudrate;
    ++opens_;
    handle_ = reinterpret_cast<platform::PortHandle>(0x5100 + opens_ * 0x10);
    device_.SetHostBaud(baudrate);
    device_.HostJoin();
    return handle_;
}

std::size_t SimSerialPort::Read(platform::PortHandle h, uint8_t* buf, std::size_t max) {
    if (!Owns(h) || buf == nullptr) return 0;
    return device_.HostRead(buf, max);
}

std::size_t SimSerialPort::Write(platform::PortHandle h, const uint8_t* data, std::size_t len) {
    if (!Owns(h) || data == nullptr) return 0;
    if (keep_writes_) writes_.emplace_back(reinterpret_cast<const char*>(data), len);
    device_.HostWrite(data, len);
    return len;
}

void SimSerialPort::Close(platform::PortHandle h) {
    if (!Owns(h)) return;
    open_ = false;
    handle_ = nullptr;
}

std::string SimSerialPort::WrittenSince(std::size_t index) const {
    std::string all;
    for (std::size_t i = index; i < writes_.size(); ++i) all += writes_[i];
    return all;
}

}  // namespace sim
