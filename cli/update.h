#pragma once
// The firmware update commands (check, flash, verify) and the pieces they are made of.
#include <cstdint>
#include <string>
#include <vector>

#include "boot/bootloader.h"
#include "cli/session.h"
#include "firmware/hex_file.h"
#include "firmware/chip_table.h"

namespace cli {

int RunCheck(Context& ctx);
int RunFlash(Context& ctx);
int RunVerify(Context& ctx);

// The exit code of a transfer's outcome.
int TransferExitCode(TransferOutcome outcome);
// A finding's name in --json.
const char* HexFindingName(HexFindingKind kind);

// How long an erase of the chip's application section is given when the device does not
// answer "cw Fe": every self-programming page of the section erased at 4.5 ms (the
// datasheets' maximum page erase time of the ATmega328P, ATmega1284P and ATmega1281), half
// as much again for the bootloader's own work, rounded up to 100 ms. 1600 ms for the
// ATmega328P (224 pages of 128 bytes), 3300 ms for the ATmega1284P and ATmega1281 (480
// pages of 256 bytes). --erase-settle-ms replaces it.
uint32_t EraseSettleMs(const ChipRow& chip);
// The device's answer to "cw Fe" says that the erase failed ("fail", "error", "refused",
// "unknown" in any case).
bool EraseFailed(const std::string& answer);

// The application section as the checked image has it: its pages from address 0, then 0xFF
// (erased flash) up to the section's end.
std::vector<uint8_t> ExpectedApplication();

struct FlashDifference {
    uint32_t count = 0;  // bytes that differ or that the device did not send
    uint32_t first = 0;  // the address of the first of them
};
FlashDifference CompareFlash(const std::vector<uint8_t>& expected,
                             const std::vector<uint8_t>& device);

// A transfer's progress: on a terminal a bar redrawn in place, otherwise a line (with --json
// an object) at every 5 %.
class TransferProgress {
  public:
    TransferProgress(Output& out, bool bar) : out_(out), bar_(bar) {}
    // sent: the lines gone out so far; now: a monotonic time.
    void Update(uint32_t sent, uint32_t total, int64_t now_ns);
    // The bar's last state stays on its line; what follows starts below it.
    void Finish();
    // Lines per second from the first line to the latest; 0 while that cannot be told.
    double Rate() const;
    // Seconds from the first line to now_ns; 0 before it.
    double Seconds(int64_t now_ns) const;

    static std::string BarText(uint32_t sent, uint32_t total, double lines_per_s);
    static std::string StepText(uint32_t percent, uint32_t sent, uint32_t total,
                                double lines_per_s);

  private:
    Output& out_;
    bool bar_;
    uint32_t sent_ = 0;
    uint32_t total_ = 0;
    uint32_t steps_ = 0;      // 5 % steps reported
    int64_t first_ns_ = -1;   // when the first line went out
    int64_t latest_ns_ = -1;  // when the last line seen went out
};

}  // namespace cli
