#pragma once
// Simulated time: nanoseconds since the device was powered up.
#include <cstdint>

namespace sim {

using Nanos = int64_t;

constexpr Nanos kMicro = 1000;
constexpr Nanos kMilli = 1000 * kMicro;
constexpr Nanos kSecond = 1000 * kMilli;
// One period of the program's receive timer.
constexpr Nanos kTick = 10 * kMilli;

// Start of bit k of a character that begins at `start` (k = 10: the character's end).
// Integer division keeps every edge on the same grid for sender and receiver.
inline Nanos BitEdge(Nanos start, int64_t k, int32_t baud) {
    return start + (k * kSecond) / baud;
}

// The time of one character on the line: start bit, 8 data bits, stop bit.
inline Nanos CharTime(int32_t baud) {
    return BitEdge(0, 10, baud);
}

}  // namespace sim
