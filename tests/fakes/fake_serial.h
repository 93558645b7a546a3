#pragma once
// A serial port that records what is written and hands out scripted input.
#include <algorithm>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "platform/serial_port.h"

namespace fakes {

class FakeSerial : public platform::SerialPort {
  public:
    platform::PortHandle Open(const char* device_path, int32_t baudrate) override {
        opened_paths.emplace_back(device_path);
        opened_baud.push_back(baudrate);
        if (fail_open) return nullptr;
        open = true;
        ++handle_counter;
        return reinterpret_cast<platform::PortHandle>(handle_counter * 0x10);
    }
    std::size_t Read(platform::PortHandle, uint8_t* buf, std::size_t max) override {
        ++reads;
        if (chunks.empty()) return 0;
        std::string& c = chunks.front();
        std::size_t n = std::min(max, c.size());
        std::copy(c.begin(), c.begin() + static_cast<std::ptrdiff_t>(n), buf);
        c.erase(0, n);
        if (c.empty()) chunks.pop_front();
        return n;
    }
    std::size_t Write(platform::PortHandle, const uint8_t* data, std::size_t len) override {
        std::string w(reinterpret_cast<const char*>(data), len);
        written += w;
        writes.push_back(w);
        return len;
    }
    void Close(platform::PortHandle) override {
        open = false;
        ++closes;
    }

    // Bytes the device sends: one chunk is returned by one read (at most its max).
    void Feed(const std::string& chunk) { chunks.push_back(chunk); }

    bool fail_open = false;
    bool open = false;
    int closes = 0;
    int reads = 0;
    std::size_t handle_counter = 0;
    std::vector<std::string> opened_paths;
    std::vector<int32_t> opened_baud;
    std::string written;              // every byte written, in order
    std::vector<std::string> writes;  // one entry per write call
    std::deque<std::string> chunks;
};

}  // namespace fakes
