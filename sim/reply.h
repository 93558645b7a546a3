#pragma once
// What a firmware answers to one command or record.
#include <string>
#include <utility>
#include <vector>

#include "sim/clock.h"

namespace sim {

constexpr char kStx = 0x02;
constexpr char kEtx = 0x03;

struct Reply {
    std::string reg;                  // the command it answers ("Wo", "Sv"; ":" for records)
    std::vector<std::string> chunks;  // written one after another, a line gap apart
    bool framed = false;              // a text reply: STX first, ETX last
    Nanos delay = 0;                  // on top of the usual processing time
    Nanos gap = -1;                   // between chunks; -1: the line gap of the timing
};

// A text reply: STX, the lines each ended by LF CR, ETX. Each line leaves the device as one
// chunk, the way the firmware prints it.
inline Reply FramedReply(std::string reg, const std::vector<std::string>& lines) {
    Reply r;
    r.reg = std::move(reg);
    r.framed = true;
    for (const std::string& line : lines) r.chunks.push_back(line + "\n\r");
    if (r.chunks.empty()) r.chunks.emplace_back();
    r.chunks.front().insert(r.chunks.front().begin(), kStx);
    r.chunks.back().push_back(kEtx);
    return r;
}

// The bootloader's answer: one bare letter.
inline Reply LetterReply(char letter, Nanos delay) {
    Reply r;
    r.reg = ":";
    r.chunks.emplace_back(1, letter);
    r.delay = delay;
    return r;
}

// Everything one received byte made the firmware do.
struct Outcome {
    std::vector<Reply> replies;
    bool switch_firmware = false;  // Sboot: run the other firmware from now on
};

}  // namespace sim
