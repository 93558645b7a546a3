#pragma once
// Whether timers started together still expire together. Each distinct expiry wakes the
// thread, and under Wine a wake-up is a few round trips to the Wine server: three timers of
// 10, 20 and 25 ms in one phase wake it 120 times a second, apart up to 190. Timers restarted
// one after the other share a phase unless the thread was held up between the restarts, and
// then they stay apart for good. The watch sees that from the ticks themselves: a tick of a
// timer in phase with the fastest one runs right after another tick (or another runs right
// after it) as often as their intervals say; one that keeps coming alone has drifted.
#include <cstdint>
#include <map>

// Timers that ride another's ticks instead of expiring on their own (id -> carrier id): a
// timer whose interval is a multiple of a faster one's runs on every n-th tick of it, in its
// phase, as it would on its own, without a timer message of its own to fetch. Each rides the
// fastest timer that runs on its own and divides its interval.
std::map<unsigned, unsigned> PlanCarriers(const std::map<unsigned, unsigned>& intervals_ms);

class TimerPhaseWatch {
  public:
    // A tick that starts within this of the end of the one before ran in the same wake-up.
    static constexpr int64_t kSameWakeUs = 300;
    // Ticks of a timer counted before it is judged.
    static constexpr int kWindow = 40;
    // A timer judged drifted is restarted with the others at most this often.
    static constexpr int64_t kHoldOffUs = 10'000'000;

    // The timers to watch (id -> interval in ms); what was counted is dropped.
    void Reset(const std::map<unsigned, unsigned>& intervals_ms);

    // A tick of timer id ran from start_us to end_us (a monotonic clock). True when the timers
    // should be restarted together: of the last kWindow ticks of a timer other than the fastest,
    // a quarter more came alone than its phase with the fastest allows.
    bool Tick(unsigned id, int64_t start_us, int64_t end_us);

  private:
    struct Count {
        double alone_allowed = 0;  // of kWindow ticks, when in phase
        int ticks = 0;
        int alone = 0;
    };
    bool Judge(unsigned id, bool alone, int64_t now_us);

    std::map<unsigned, Count> counts_;  // the timers judged: all but the fastest
    bool pending_ = false;              // the last tick, judged when the next one shows
    unsigned pending_id_ = 0;           // whether it had company
    bool pending_joined_ = false;
    int64_t pending_end_us_ = 0;
    bool restarted_ = false;
    int64_t restarted_us_ = 0;
};
