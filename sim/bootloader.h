#pragma once
// The generator's bootloader: takes binary Intel HEX records one at a time and answers
// each with one letter; understands a few text commands (Sv, Fe, Sboot).
#include <cstdint>
#include <string>
#include <vector>

#include "sim/flash.h"
#include "sim/reply.h"
#include "sim/scenario.h"

namespace sim {

// The letters the bootloader answers a record with.
constexpr char kLetterWritten = 'w';
constexpr char kLetterFinished = 'n';
constexpr char kLetterChecksum = 'c';
constexpr char kLetterAddress = 'e';  // outside the application section
constexpr char kLetterFlash = 'f';    // the flash does not read back what was written
constexpr char kLetterSyntax = 's';   // bad length or missing CR LF
constexpr char kLetterType = 'x';     // record type not known

class Bootloader {
  public:
    Bootloader(const Scenario& s, Flash& flash);

    // Entered: record count, address base and parser start afresh.
    void Start();
    void Feed(Nanos t, uint8_t b, Outcome& out);
    // When something is due without a byte (held bytes taken after a page write, a broken
    // record answered); -1 when nothing is.
    Nanos NextDeadline() const;
    // Does what is due at t.
    void Due(Nanos t, Outcome& out);

    // Records whose first byte has arrived since Start (complete or not).
    uint32_t records_started() const { return started_; }
    uint32_t address_base() const { return base_; }
    // Bytes the UART lost while a page was written (answer first only).
    uint32_t bytes_lost() const { return lost_; }
    std::string IdentText() const;

  private:
    enum class State : uint8_t { kIdle, kBody, kCr, kLf };
    void Take(Nanos t, uint8_t b, Outcome& out);
    void TakeHeld(Outcome& out);
    void Record(Nanos t, Outcome& out);
    char Apply(bool& page);
    void Text(Nanos t, Outcome& out);

    const Scenario& scenario_;
    Flash& flash_;
    State state_ = State::kIdle;
    std::vector<uint8_t> rec_;
    std::string text_;
    uint32_t base_ = 0;
    uint32_t started_ = 0;
    uint32_t ordinal_ = 0;  // of the record being received
    Nanos last_byte_ = 0;
    Nanos deaf_until_ = 0;  // erasing: what arrives is lost
    // Answer first: writing a page until then; the UART holds up to two bytes meanwhile.
    Nanos busy_until_ = 0;
    std::vector<uint8_t> held_;
    uint32_t lost_ = 0;
};

}  // namespace sim
