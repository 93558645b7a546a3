#include "cli/tick_loop.h"

#include <algorithm>
#include <chrono>
#include <thread>

namespace cli {

int64_t SteadyClock::NowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void SteadyClock::SleepUntilNs(int64_t deadline) {
    std::this_thread::sleep_until(
        std::chrono::steady_clock::time_point(std::chrono::nanoseconds(deadline)));
}

void TickLoop::Start(platform::Wnd wnd, unsigned id, unsigned interval_ms,
                     platform::TimerProc proc) {
    Stop(wnd, id);
    // A zero interval would spin; Win32 raises it to its minimum the same way.
    const int64_t interval = std::max<int64_t>(interval_ms, 1) * kNsPerMs;
    timers_.push_back(Timer{wnd, id, interval, proc, clock_.NowNs() + interval, ++generation_});
}

void TickLoop::Stop(platform::Wnd wnd, unsigned id) {
    timers_.erase(std::remove_if(timers_.begin(), timers_.end(),
                                 [&](const Timer& t) { return t.wnd == wnd && t.id == id; }),
                  timers_.end());
}

bool TickLoop::Running(platform::Wnd wnd, unsigned id) const {
    return std::any_of(timers_.begin(), timers_.end(),
                       [&](const Timer& t) { return t.wnd == wnd && t.id == id; });
}

bool TickLoop::RunUntil(const std::function<bool()>& done) {
    for (;;) {
        if (done()) return true;
        if (timers_.empty()) return false;
        const auto first =
            std::min_element(timers_.begin(), timers_.end(), [](const Timer& a, const Timer& b) {
                if (a.next != b.next) return a.next < b.next;
                return a.id != b.id ? a.id < b.id : a.generation < b.generation;
            });
        const int64_t now = clock_.NowNs();
        if (first->next > now) {
            if (idle_) {
                // A copy: the call may clear the hook.
                const auto idle = idle_;
                idle(first->next);
            } else {
                clock_.SleepUntilNs(first->next);
            }
            continue;
        }
        // A copy: the procedure may stop or restart timers, its own among them.
        const Timer due = *first;
        due.proc(due.wnd);
        const int64_t after = clock_.NowNs();
        for (Timer& t : timers_) {
            if (t.generation != due.generation) continue;
            t.next += t.interval;
            if (t.next <= after) t.next += ((after - t.next) / t.interval + 1) * t.interval;
        }
    }
}

}  // namespace cli
