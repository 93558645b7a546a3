#pragma once
// What a simulated generator is and how it misbehaves: chosen once per scenario.
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "sim/clock.h"

namespace sim {

enum class Firmware : uint8_t { kApplication, kBootloader };

enum class Chip : uint8_t { kAtmega328P, kAtmega1284P, kAtmega1281 };

struct ChipModel {
    const char* name;     // as the bootloader names it, e.g. "ATmega328P"
    uint32_t flash_size;  // bytes
    uint32_t boot_start;  // first byte of the boot section; the application lies below
    uint32_t page_size;   // bytes written by one page write
};
const ChipModel& ModelOf(Chip chip);

enum class FlashContent : uint8_t {
    kProgram,  // an application image at 0 (the device runs its application)
    kBlank,    // application section erased: the device can only run its bootloader
};

struct Timing {
    Nanos processing = 2 * kMilli;       // from a command's CR to the first reply byte
    Nanos line_gap = 1500 * kMicro;      // between the lines of one text reply
    Nanos page_write = 4500 * kMicro;    // extra time when a record completes a flash page
    Nanos search = 2500 * kMilli;        // auto search: busy for this long
    uint32_t stream_chunk = 64;          // flash read-back: bytes per burst
    Nanos stream_gap = 500 * kMicro;     // between bursts (well below any idle time-out)
    Nanos record_abandon = 50 * kMilli;  // a record silent this long is dropped
    Nanos erase = 0;  // the bootloader's "cw Fe": deaf this long, then its answer
    // A bootloader that answers first: a record that stops short this long is answered 'c'.
    Nanos broken_record = 20 * kMilli;
};

// When the bootloader answers a record that completes a flash page.
enum class BootAnswer : uint8_t {
    kAfterWrite,  // once the page is written
    kFirst,       // at once, then it writes the page: the UART keeps two bytes meanwhile
};

// How the application answers "cr Sv".
enum class SvReply : uint8_t {
    kBoth,      // the hardware and the firmware line in one reply
    kHardware,  // the hardware line alone
    kApart,     // the two lines as two replies, kSvApart apart
};
// Longer than the program's longest end of a reply (51 ticks of 10 ms at 1200 bps).
constexpr Nanos kSvApart = 600 * kMilli;

// Misbehaviour of the device. Register names match what follows "cr " or "cw " up to the
// value ("Wo", "Wf", "Sv", "Mr"); "*" matches every command; ":" the bootloader's records.
struct Faults {
    std::string no_reply_to;  // these commands are never answered
    Nanos late_reply = 0;     // every reply starts this much later
    std::string no_etx_to;    // text replies to these commands lack their closing ETX
    // Bootloader: the reply letter for the record of the given ordinal (0 = the first
    // record since the bootloader started), instead of the real outcome. The record is not
    // written. 'c' asks for a resend; 'e', 'f', 's', 'x' are error letters; anything else
    // is a letter the program does not know.
    std::map<uint32_t, char> record_letter;
    uint32_t garbage_bytes = 0;  // random bytes put before a reply ...
    uint32_t garbage_every = 0;  // ... before every n-th reply (0: never)
    Nanos noise_period = 0;      // unsolicited random bytes every so often (0: never)
    uint32_t noise_bytes = 3;
    // The line goes dead (both ways) when the record of this ordinal starts to arrive
    // (0: never).
    uint32_t disconnect_after_records = 0;
    Nanos disconnect_at = 0;  // the line goes dead at this time (0: never)
    SvReply sv = SvReply::kBoth;
    bool erase_fails = false;   // the bootloader answers "cw Fe" with a failure, erases nothing
    bool no_switch = false;     // "cw Sboot" is answered, but the firmware stays
    uint32_t stream_limit = 0;  // a flash read-back ends after this many bytes (0: no limit)

    // Clutter of a long run that leaves every reply whole when the pauses suit the
    // receiver: each reply and each burst keeps `quiet` of silence before it, replies start
    // up to `reply_jitter` late and are cut at up to two random places with pauses of up to
    // `split_gap` each (on top of the line gaps).
    Nanos quiet = 0;
    Nanos reply_jitter = 0;
    Nanos split_gap = 0;
    Nanos burst_period = 0;     // random bytes between replies, about this often (0: never)
    uint32_t burst_bytes = 16;  // 1 to this many per burst; about every other one ends in ETX
    // Every n-th text reply gets one pause of break_gap at a random place (0: never).
    uint32_t break_every = 0;
    Nanos break_gap = 0;
};

struct Scenario {
    Firmware firmware = Firmware::kApplication;
    Chip chip = Chip::kAtmega328P;
    FlashContent flash = FlashContent::kProgram;
    std::vector<uint8_t> flash_image;  // when not empty: loaded at address 0 instead
    int32_t baudrate = 38400;
    BootAnswer boot_answer = BootAnswer::kAfterWrite;
    uint64_t seed = 1;
    double resonance_khz = 131.0;  // where the antenna circuit answers best
    Timing timing;
    Faults faults;
};

}  // namespace sim
