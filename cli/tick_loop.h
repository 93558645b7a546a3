#pragma once
// The timers of the core without a message loop: each timer procedure is called on
// absolute deadlines (start + k * interval), so the ticks do not drift however long a
// call takes.
#include <cstdint>
#include <functional>
#include <utility>
#include <vector>

#include "platform/ui.h"

namespace cli {

constexpr int64_t kNsPerMs = 1000000;

class Clock {
  public:
    virtual ~Clock() = default;
    virtual int64_t NowNs() = 0;  // monotonic
    virtual void SleepUntilNs(int64_t deadline) = 0;
};

class SteadyClock final : public Clock {
  public:
    int64_t NowNs() override;
    void SleepUntilNs(int64_t deadline) override;
};

class TickLoop {
  public:
    explicit TickLoop(Clock& clock) : clock_(clock) {}

    // As SetTimer: the first call one interval from now; a timer of the same window and
    // id is replaced.
    void Start(platform::Wnd wnd, unsigned id, unsigned interval_ms, platform::TimerProc proc);
    void Stop(platform::Wnd wnd, unsigned id);
    bool Running(platform::Wnd wnd, unsigned id) const;

    // Calls each timer procedure when its deadline comes, the earliest first (at the same
    // deadline the lower id, then the one started first), and sleeps in between, until
    // done() holds; done() is asked before every call and every sleep. Deadlines that
    // passed while a call was late or long are dropped, not made up in a burst: the timer
    // goes on with its next deadline still ahead.
    // False when no timer runs, so nothing could ever change.
    bool RunUntil(const std::function<bool()>& done);

    Clock& clock() { return clock_; }

    // While set, the loop calls idle(deadline) instead of sleeping to the next timer's
    // deadline: it may return earlier, when it has done something that done() should see.
    void SetIdle(std::function<void(int64_t deadline)> idle) { idle_ = std::move(idle); }

  private:
    struct Timer {
        platform::Wnd wnd;
        unsigned id;
        int64_t interval;
        platform::TimerProc proc;
        int64_t next;
        uint64_t generation;
    };
    Clock& clock_;
    std::function<void(int64_t)> idle_;
    std::vector<Timer> timers_;
    uint64_t generation_ = 0;
};

}  // namespace cli
