#include "sim/flash.h"

#include <algorithm>

#include "sim/random.h"

namespace sim {

namespace {

const ChipModel kModels[] = {
    {"ATmega328P", 0x8000, 0x7000, 128},
    {"ATmega1284P", 0x20000, 0x1E000, 256},
    {"ATmega1281", 0x20000, 0x1E000, 256},
};

// A plausible program: a vector table of jumps followed by code-like words.
void FillProgram(std::vector<uint8_t>& out, uint32_t from, uint32_t len, uint64_t seed) {
    Random rnd(seed);
    const uint32_t vectors = 26 * 4;
    for (uint32_t i = 0; i < len; i += 4) {
        uint32_t a = from + i;
        if (i < vectors) {
            // jmp 0x0068 + 2*i: 0C 94 lo hi
            uint16_t target = static_cast<uint16_t>(0x34 + i / 2);
            out[a] = 0x0C;
            out[a + 1] = 0x94;
            out[a + 2] = static_cast<uint8_t>(target & 0xFF);
            out[a + 3] = static_cast<uint8_t>(target >> 8);
        } else {
            uint64_t w = rnd.Next();
            for (uint32_t k = 0; k < 4; ++k) out[a + k] = static_cast<uint8_t>(w >> (8 * k));
        }
    }
}

}  // namespace

const ChipModel& ModelOf(Chip chip) {
    return kModels[static_cast<int>(chip)];
}

Flash::Flash(const ChipModel& model) : model_(model), bytes_(model.flash_size, 0xFF) {}

void Flash::Load(const Scenario& s) {
    std::fill(bytes_.begin(), bytes_.end(), 0xFF);
    const uint32_t boot_len = size() - boot_start();
    FillProgram(bytes_, boot_start(), boot_len - 0x400, s.seed ^ 0xB007);
    if (!s.flash_image.empty()) {
        std::size_t n = std::min<std::size_t>(s.flash_image.size(), boot_start());
        std::copy_n(s.flash_image.begin(), n, bytes_.begin());
    } else if (s.flash == FlashContent::kProgram) {
        FillProgram(bytes_, 0, 0x2C00, s.seed);
    }
}

void Flash::EraseApplication() {
    std::fill_n(bytes_.begin(), boot_start(), uint8_t{0xFF});
}

bool Flash::Program(uint32_t addr, uint8_t value) {
    if (addr >= boot_start()) return false;
    bytes_[addr] &= value;
    return bytes_[addr] == value;
}

bool Flash::HasApplication() const {
    return bytes_[0] != 0xFF || bytes_[1] != 0xFF;
}

}  // namespace sim
