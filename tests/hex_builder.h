#pragma once
// Intel HEX text for tests: records with their checksums, as a toolchain writes them.
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace hexb {

using Bytes = std::vector<uint8_t>;

inline std::string Record(uint8_t type, uint16_t offset, const Bytes& data,
                          const char* end = "\r\n") {
    Bytes body = {static_cast<uint8_t>(data.size()), static_cast<uint8_t>(offset >> 8),
                  static_cast<uint8_t>(offset), type};
    body.insert(body.end(), data.begin(), data.end());
    uint8_t sum = 0;
    for (uint8_t b : body) sum = static_cast<uint8_t>(sum + b);
    body.push_back(static_cast<uint8_t>(-sum));
    std::string text = ":";
    char pair[3];
    for (uint8_t b : body) {
        std::snprintf(pair, sizeof pair, "%02X", b);
        text += pair;
    }
    return text + end;
}

inline std::string Data(uint16_t offset, const Bytes& data) {
    return Record(0x00, offset, data);
}
const std::string kEof = ":00000001FF\r\n";

// count bytes counting up from first.
inline Bytes Counting(std::size_t count, uint8_t first = 0) {
    Bytes b(count);
    for (std::size_t i = 0; i < count; ++i) b[i] = static_cast<uint8_t>(first + i);
    return b;
}

// Contiguous 16-byte lines of image from address 0 (a short last line), then end of file.
inline std::string Contiguous(const Bytes& image) {
    std::string text;
    for (std::size_t at = 0; at < image.size(); at += 16) {
        const std::size_t n = image.size() - at < 16 ? image.size() - at : 16;
        text += Data(static_cast<uint16_t>(at), Bytes(image.begin() + at, image.begin() + at + n));
    }
    return text + kEof;
}

}  // namespace hexb
