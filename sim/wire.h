#pragma once
// One direction of the serial line, modelled bit by bit: the sender puts 8N1 characters on
// the line at its baud rate, the receiver samples at its own. At equal rates every byte
// arrives intact; at different rates the receiver decodes what a real UART would make of
// the waveform (wrong bytes, framing errors, a different count), always the same way.
#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

#include "sim/clock.h"

namespace sim {

struct ReceivedByte {
    Nanos at;  // when the receiver has sampled its stop bit
    uint8_t value;
};

class Wire {
  public:
    // Puts the bytes on the line from time t, behind anything still being sent.
    // Returns the time the last stop bit ends (t when nothing was sent).
    Nanos Send(Nanos t, const uint8_t* data, std::size_t n, int32_t baud);
    // Appends the bytes a receiver at rx_baud has completed by `until`. Callers must have
    // made every Send with a time up to `until` before asking.
    void Receive(Nanos until, int32_t rx_baud, std::vector<ReceivedByte>& out);
    // The receiver joins (or rejoins) at t: whatever started before t is lost to it.
    void Purge(Nanos t);
    // From t on nothing passes: characters not yet finished are lost, later sends dropped.
    void Cut(Nanos t);
    bool IsCut() const { return cut_; }
    // When the line is free for the next character.
    Nanos FreeAt() const { return free_at_; }
    // The earliest time a byte may be completed at the receiver, or -1 when nothing is sent.
    Nanos NextArrival(int32_t rx_baud) const;

  private:
    struct Frame {
        Nanos start;
        int32_t baud;
        uint8_t value;
    };
    int Level(Nanos t);  // 1 idle / mark, 0 space
    bool NextFallingEdge(Nanos from, Nanos& edge) const;
    static int Bit(const Frame& f, int k);
    static Nanos End(const Frame& f) { return BitEdge(f.start, 10, f.baud); }
    void DropFinished();

    std::deque<Frame> frames_;
    std::size_t level_hint_ = 0;
    Nanos free_at_ = 0;
    Nanos scan_from_ = 0;  // the receiver has decoded everything before this time
    bool cut_ = false;
    Nanos cut_at_ = 0;
};

}  // namespace sim
