#pragma once
// What the fuzz targets share: a fresh core on fresh fakes for every input, a reader that
// takes the input apart, and a check that ends the run with a message.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/env.h"
#include "tests/fakes/test_env.h"

#define FUZZ_CHECK(cond)                                                                   \
    do {                                                                                   \
        if (!(cond)) {                                                                     \
            std::fprintf(stderr, "check failed: %s (%s:%d)\n", #cond, __FILE__, __LINE__); \
            std::abort();                                                                  \
        }                                                                                  \
    } while (0)

namespace fuzz {

// Reads the input front to back; past its end every byte reads as 0.
class Input {
  public:
    Input(const uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    bool empty() const { return pos_ >= size_; }
    uint8_t Byte() { return pos_ < size_ ? data_[pos_++] : 0; }
    uint16_t Word() {
        const uint16_t hi = Byte();
        return static_cast<uint16_t>(hi << 8 | Byte());
    }
    // Up to n bytes, fewer at the end.
    std::string Bytes(std::size_t n) {
        const std::size_t take = n < size_ - pos_ ? n : size_ - pos_;
        std::string s(reinterpret_cast<const char*>(data_ + pos_), take);
        pos_ += take;
        return s;
    }

  private:
    const uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

// The core as start-up leaves it, on fakes that see nothing of the inputs before.
struct FreshCore {
    FreshCore() {
        platform::SetEnv(platform::Env{&ui, &serial, &system, &console});
        fakes::ResetCoreState();
    }
    ~FreshCore() {
        fakes::ResetCoreState();
        platform::SetEnv(platform::Env{});
    }
    FreshCore(const FreshCore&) = delete;
    FreshCore& operator=(const FreshCore&) = delete;

    fakes::FakeUi ui;
    fakes::FakeSerial serial;
    fakes::FakeSystem system;
    fakes::FakeConsole console;
};

}  // namespace fuzz
