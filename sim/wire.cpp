#include "sim/wire.h"

#include <algorithm>

namespace sim {

Nanos Wire::Send(Nanos t, const uint8_t* data, std::size_t n, int32_t baud) {
    if (n == 0 || baud <= 0) return t;
    if (cut_ && t >= cut_at_) return t;
    Nanos start = std::max(t, free_at_);
    for (std::size_t i = 0; i < n; ++i) {
        Frame f{start, baud, data[i]};
        if (cut_ && End(f) > cut_at_) break;
        frames_.push_back(f);
        start = End(f);
    }
    free_at_ = std::max(free_at_, start);
    return start;
}

int Wire::Bit(const Frame& f, int k) {
    if (k <= 0) return 0;  // start bit
    if (k >= 9) return 1;  // stop bit
    return (f.value >> (k - 1)) & 1;
}

int Wire::Level(Nanos t) {
    if (level_hint_ >= frames_.size()) level_hint_ = 0;
    // Samples move forward in time; start from the last frame looked at.
    if (level_hint_ > 0 && frames_[level_hint_].start > t) level_hint_ = 0;
    for (std::size_t i = level_hint_; i < frames_.size(); ++i) {
        const Frame& f = frames_[i];
        if (f.start > t) break;
        if (t < End(f)) {
            level_hint_ = i;
            int64_t k = ((t - f.start) * f.baud) / kSecond;
            while (k < 10 && BitEdge(f.start, k + 1, f.baud) <= t) ++k;
            while (k > 0 && BitEdge(f.start, k, f.baud) > t) --k;
            return Bit(f, static_cast<int>(k));
        }
    }
    return 1;
}

bool Wire::NextFallingEdge(Nanos from, Nanos& edge) const {
    for (const Frame& f : frames_) {
        if (End(f) <= from) continue;
        for (int k = 0; k < 10; ++k) {
            Nanos b = BitEdge(f.start, k, f.baud);
            if (b < from) continue;
            // Before a start bit the line is idle or in a stop bit: always high.
            int before = k == 0 ? 1 : Bit(f, k - 1);
            if (before == 1 && Bit(f, k) == 0) {
                edge = b;
                return true;
            }
        }
    }
    return false;
}

void Wire::DropFinished() {
    std::size_t dropped = 0;
    while (!frames_.empty() && End(frames_.front()) <= scan_from_) {
        frames_.pop_front();
        ++dropped;
    }
    level_hint_ = level_hint_ > dropped ? level_hint_ - dropped : 0;
}

void Wire::Receive(Nanos until, int32_t rx_baud, std::vector<ReceivedByte>& out) {
    if (rx_baud <= 0) return;
    for (;;) {
        Nanos edge = 0;
        if (!NextFallingEdge(scan_from_, edge)) break;
        // The receiver samples each bit in its middle, timed from the falling edge.
        auto sample_at = [&](int j) {
            return edge + (Nanos{2 * j + 1} * kSecond) / (Nanos{2} * rx_baud);
        };
        Nanos stop_at = sample_at(9);
        if (stop_at > until) break;  // not finished yet: the waveform may still grow
        if (Level(sample_at(0)) != 0) {
            scan_from_ = edge + 1;  // a glitch, not a start bit
            continue;
        }
        uint8_t v = 0;
        for (int j = 1; j <= 8; ++j) v |= static_cast<uint8_t>(Level(sample_at(j)) << (j - 1));
        // A framing error (stop bit low) still hands the byte on, as the port driver does.
        out.push_back(ReceivedByte{stop_at, v});
        scan_from_ = stop_at;
    }
    DropFinished();
}

void Wire::Purge(Nanos t) {
    while (!frames_.empty() && frames_.front().start < t) frames_.pop_front();
    level_hint_ = 0;
    scan_from_ = std::max(scan_from_, t);
}

void Wire::Cut(Nanos t) {
    if (cut_ && cut_at_ <= t) return;
    cut_ = true;
    cut_at_ = t;
    while (!frames_.empty() && End(frames_.back()) > t) frames_.pop_back();
    level_hint_ = 0;
}

Nanos Wire::NextArrival(int32_t rx_baud) const {
    Nanos edge = 0;
    if (rx_baud <= 0 || !NextFallingEdge(scan_from_, edge)) return -1;
    return edge + (19 * kSecond) / (Nanos{2} * rx_baud);
}

}  // namespace sim
