#pragma once
// A serial port that records what is written, hands out scripted input and fails on request.
#include <algorithm>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "platform/serial_port.h"

namespace fakes {

class FakeSerial : public platform::SerialPort {
  public:
    platform::PortHandle Open(const char* device_path) override {
        opened_paths.emplace_back(device_path);
        if (fail_open) return nullptr;
        return reinterpret_cast<platform::PortHandle>(opened_paths.size() * 0x10);
    }
    bool Configure(platform::PortHandle, int32_t baudrate, std::string& error) override {
        opened_baud.push_back(baudrate);
        if (configure_error.empty()) return true;
        error = configure_error;
        return false;
    }
    bool Read(platform::PortHandle, uint8_t* buf, std::size_t max, std::size_t& got) override {
        ++reads;
        got = 0;
        if (fail_read) return false;
        if (chunks.empty()) return true;
        std::string& c = chunks.front();
        got = std::min(max, c.size());
        std::copy(c.begin(), c.begin() + static_cast<std::ptrdiff_t>(got), buf);
        c.erase(0, got);
        if (c.empty()) chunks.pop_front();
        return true;
    }
    bool Write(platform::PortHandle, const uint8_t* data, std::size_t len,
               std::size_t& put) override {
        ++write_calls;
        // A failing port takes write_put bytes (a time-out after part of it) or none.
        put = fail_write ? std::min(write_put, len) : len;
        std::string w(reinterpret_cast<const char*>(data), put);
        written += w;
        if (!fail_write) writes.push_back(w);
        return !fail_write || write_put > 0;
    }
    void Close(platform::PortHandle) override { ++closes; }

    // Bytes the device sends: one chunk is returned by one read (at most its max).
    void Feed(const std::string& chunk) { chunks.push_back(chunk); }

    bool fail_open = false, fail_read = false, fail_write = false;
    std::string configure_error;  // not empty: configuring fails with this reason
    std::size_t write_put = 0;    // bytes a failing write still takes (it then "succeeds" short)
    int closes = 0, reads = 0, write_calls = 0;
    std::vector<std::string> opened_paths;
    std::vector<int32_t> opened_baud;  // the rate of every configuration
    std::string written;               // every byte written, in order
    std::vector<std::string> writes;   // one entry per complete write
    std::deque<std::string> chunks;
};

}  // namespace fakes
