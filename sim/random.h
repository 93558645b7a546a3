#pragma once
// A small deterministic generator: the same seed gives the same device, run after run.
#include <cstdint>

namespace sim {

// SplitMix64 finaliser: a good scrambler for hashing a few integers together.
inline uint64_t Mix64(uint64_t x) {
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

// A value in [-1, 1] that depends only on the three keys.
inline double Noise(uint64_t seed, uint64_t channel, uint64_t slot) {
    uint64_t h = Mix64(seed ^ Mix64(channel ^ Mix64(slot)));
    return static_cast<double>(h >> 11) / static_cast<double>(1ull << 52) - 1.0;
}

class Random {
  public:
    explicit Random(uint64_t seed) : state_(seed) {}
    uint64_t Next() {
        state_ += 0x9E3779B97F4A7C15ull;
        return Mix64(state_);
    }
    uint8_t Byte() { return static_cast<uint8_t>(Next() >> 56); }

  private:
    uint64_t state_;
};

}  // namespace sim
