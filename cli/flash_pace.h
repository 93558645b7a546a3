#pragma once
// The pace of a firmware transfer's records. At the tick pace the core's bootloading step
// sends the next record on a tick (three 10 ms ticks a line); at the answer's pace (ack) the
// next record goes out as soon as the device's letter for the last one has come. The
// device's side is the same: one record, one letter.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "cli/session.h"

namespace cli {

// Why a transfer left the answer's pace for the tick pace.
enum class FallBack : uint8_t {
    kNone,
    kResend,  // the device asked for a record again ('c')
    kLetter,  // it answered with another letter than 'w' or 'n'
    kLate,    // it did not answer within kAckLateNs of the record's end on the line
};

// How long after a record has left the line its letter may take at the answer's pace: a
// device that answers later is no faster at it than at the tick pace, and may be one that
// is still busy (a page write, bytes lost meanwhile).
constexpr int64_t kAckLateNs = 50 * kNsPerMs;

// The decision of the answer's pace, fed with what happened on the line and when (a
// monotonic time in ns); nothing else is read.
struct AckPace {
    int64_t min_gap_ns = kDefaultMinGapMs * kNsPerMs;
    int32_t baud = 38400;

    bool acking = true;  // false once fallen back: the tick pace from then on
    FallBack fell_back = FallBack::kNone;
    int64_t record_end = -1;  // when the record awaiting its letter has left the line; -1: none
    int64_t answered = -1;    // when its 'w' came; the next record waits for SendAt()

    enum class Step : uint8_t {
        kNone,     // nothing to do
        kHold,     // a 'w' in time: keep it until SendAt(), then hand it on and send
        kHandOn,   // hand the answer to the core at once (it ends the transfer or resends)
        kFallBack  // as kHandOn, and the tick pace from now on
    };

    // A record of `bytes` went out at now: its letter is awaited.
    void Sent(int64_t now, std::size_t bytes);
    // The letter of the answer to the awaited record came at now.
    Step Answer(char letter, int64_t now);
    // No letter yet at now: kFallBack once it is late, else kNone.
    Step Check(int64_t now);
    // When the held 'w' may be handed on and the next record sent; -1 when none is held.
    int64_t SendAt() const;
    // The next time Check or SendAt wants a look; -1 when nothing is pending.
    int64_t WakeAt() const;
    bool awaiting() const { return acking && record_end >= 0 && answered < 0; }
    bool holding() const { return acking && answered >= 0; }
    // The time of n bytes on the line at the rate (8N1: ten bits each).
    int64_t WireNs(std::size_t n) const;

  private:
    Step Fall(FallBack why);
};

// What the user reads when the transfer falls back (line: the record's number from 1).
std::string FallBackText(FallBack why, uint32_t line, char letter);

// Runs a transfer at the answer's pace within a session: the receive pump reads nothing while
// it acts, it reads the port between the ticks, holds a 'w' for the gap and then hands it to
// the core's bootloading step and has the step send the next record at once. Every other
// answer goes to the step as the pump would give it; on a fall back the pump reads again and
// the step goes on at the tick pace.
class AckTransfer {
  public:
    AckTransfer(Context& ctx, Session& s, AckPace pace);
    ~AckTransfer();
    AckTransfer(const AckTransfer&) = delete;
    AckTransfer& operator=(const AckTransfer&) = delete;

    const AckPace& pace() const { return pace_; }

  private:
    void Idle(int64_t deadline);
    void Act(int64_t now);
    void HandOn();
    void Release();
    void SayFallBack(char letter);

    Context& ctx_;
    Session& s_;
    AckPace pace_;
    bool active_ = true;
    uint32_t seen_lines_ = 0;      // the core's lines_sent when a record was last noted
    std::vector<uint8_t> answer_;  // bytes read since the last record
};

}  // namespace cli
