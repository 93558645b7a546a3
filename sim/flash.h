#pragma once
// The controller's flash: an application section from 0 and a boot section at the top.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "sim/scenario.h"

namespace sim {

class Flash {
  public:
    explicit Flash(const ChipModel& model);

    uint32_t size() const { return static_cast<uint32_t>(bytes_.size()); }
    uint32_t boot_start() const { return model_.boot_start; }
    uint32_t page_size() const { return model_.page_size; }
    const std::vector<uint8_t>& bytes() const { return bytes_; }
    uint8_t at(uint32_t addr) const { return bytes_[addr]; }

    // Fills according to the scenario: an application image (made from the seed or given),
    // or an erased application section. The boot section always holds the bootloader.
    void Load(const Scenario& s);
    // Erases the application section to 0xFF; the boot section protects itself.
    void EraseApplication();
    // Programming can only clear bits, as on the real part: the result is old AND new.
    // Returns false when the cell does not read back what was written (not erased first).
    bool Program(uint32_t addr, uint8_t value);
    // The application is started only when its reset vector is programmed.
    bool HasApplication() const;

  private:
    ChipModel model_;
    std::vector<uint8_t> bytes_;
};

}  // namespace sim
