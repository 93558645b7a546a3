#include "sim/sim_port.h"

namespace sim {

SimSerialPort::SimSerialPort(Device& device, std::string path)
    : device_(device), path_(std::move(path)) {}

platform::PortHandle SimSerialPort::Open(const char* device_path) {
    opened_paths_.emplace_back(device_path != nullptr ? device_path : "");
    // The port is exclusive, as a COM port is.
    if (!present_ || open_ || device_path == nullptr || path_ != device_path) return nullptr;
    open_ = true;
    baud_ = 0;
    ++opens_;
    handle_ = reinterpret_cast<platform::PortHandle>(0x5100 + opens_ * 0x10);
    return handle_;
}

bool SimSerialPort::Configure(platform::PortHandle h, int32_t baudrate, std::string& error) {
    if (!Owns(h) || baudrate <= 0) {
        error = "the line cannot be set";
        return false;
    }
    baud_ = baudrate;
    device_.SetHostBaud(baudrate);
    device_.HostJoin();
    return true;
}

bool SimSerialPort::Read(platform::PortHandle h, uint8_t* buf, std::size_t max, std::size_t& got) {
    got = 0;
    if (!Owns(h) || buf == nullptr) return false;
    got = device_.HostRead(buf, max);
    return true;
}

bool SimSerialPort::Write(platform::PortHandle h, const uint8_t* data, std::size_t len,
                          std::size_t& put) {
    put = 0;
    if (!Owns(h) || data == nullptr) return false;
    if (keep_writes_) writes_.emplace_back(reinterpret_cast<const char*>(data), len);
    device_.HostWrite(data, len);
    put = len;
    return true;
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
