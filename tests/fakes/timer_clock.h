#pragma once
// The program's timers as Windows runs them: a timer fires on the first clock tick at or
// after its period has passed since it last fired. With a resolution of 0 they fire exactly
// on time (10, 20 and 25 ms, as under Wine); Windows' default clock ticks every 15.625 ms,
// which makes the 10 ms timer fire every 15.625 ms and the 20 and 25 ms ones every 31.25 ms.
#include <cstdint>
#include <functional>
#include <vector>

namespace fakes {

class TimerClock {
  public:
    static constexpr int64_t kWindowsDefaultUs = 15625;

    explicit TimerClock(int64_t resolution_us) : resolution_us_(resolution_us) {}

    // A timer of the given period (ms) that calls fire(now_us) when it fires.
    void Add(unsigned period_ms, std::function<void(int64_t)> fire) {
        const int64_t period = int64_t{period_ms} * 1000;
        timers_.push_back(Timer{period, now_us_ + period, std::move(fire)});
    }

    // Fires every timer due until `until_us` (absolute), in time order; timers due on the
    // same tick fire in the order they were added.
    void RunUntil(int64_t until_us) {
        for (;;) {
            Timer* next = nullptr;
            int64_t at = 0;
            for (Timer& t : timers_) {
                const int64_t fire = FireTime(t.due_us);
                if (next == nullptr || fire < at) {
                    next = &t;
                    at = fire;
                }
            }
            if (next == nullptr || at > until_us) break;
            now_us_ = at;
            next->due_us = at + next->period_us;
            next->fire(at);
        }
        now_us_ = until_us;
    }
    void RunFor(int64_t us) { RunUntil(now_us_ + us); }
    int64_t now_us() const { return now_us_; }

  private:
    struct Timer {
        int64_t period_us;
        int64_t due_us;
        std::function<void(int64_t)> fire;
    };
    int64_t FireTime(int64_t due) const {
        if (resolution_us_ <= 0) return due;
        return (due + resolution_us_ - 1) / resolution_us_ * resolution_us_;
    }

    int64_t resolution_us_;
    int64_t now_us_ = 0;
    std::vector<Timer> timers_;
};

}  // namespace fakes
