#pragma once
// What the fuzz targets share: a fresh core on fresh fakes for every input, a reader that
// takes the input apart, and a check that ends the run with a message.
#include <cstdint>
#include <cstdlib>

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
    std::string Bytes(std::size_t n) {  // up to n bytes, fewer at the end
        const std::size_t take = n < size_ - pos_ ? n : size_ - pos_;
        pos_ += take;
        return std::string(reinterpret_cast<const char*>(data_ + pos_ - take), take);
    }

  private:
    const uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

// A fresh core on fakes that saw nothing of the inputs before: the host tests' fixture.
struct FreshCore : fakes::CoreTest {
    FreshCore() { SetUp(); }
    ~FreshCore() override { TearDown(); }
    void TestBody() override {}
    using CoreTest::Command;
    using CoreTest::page;
    using CoreTest::serial;
    using CoreTest::ui;
};

}  // namespace fuzz
