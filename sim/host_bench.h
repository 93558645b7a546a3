#pragma once
// Drives a simulated device the way a terminal would: write a command, collect the answer
// until the line falls silent. For tests and quick experiments.
#include <cstdint>
#include <string>
#include <string_view>

#include "sim/device.h"

namespace sim {

class HostBench {
  public:
    explicit HostBench(Device& device) : dev_(device) {}

    void Send(std::string_view bytes) {
        dev_.HostWrite(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    }
    // Reads in steps of 1 ms until `quiet` has passed without a byte after the first one,
    // or `limit` has passed in all.
    std::string Collect(Nanos limit = 2 * kSecond, Nanos quiet = 50 * kMilli) {
        std::string got;
        const Nanos start = dev_.now();
        Nanos last = -1;
        uint8_t buf[4096];
        while (dev_.now() - start < limit) {
            dev_.Advance(kMilli);
            std::size_t n;
            while ((n = dev_.HostRead(buf, sizeof buf)) > 0) {
                got.append(reinterpret_cast<const char*>(buf), n);
                last = dev_.now();
            }
            if (last >= 0 && dev_.now() - last >= quiet) break;
        }
        return got;
    }
    std::string Exchange(std::string_view command, Nanos limit = 2 * kSecond) {
        Send(command);
        return Collect(limit);
    }

  private:
    Device& dev_;
};

}  // namespace sim
