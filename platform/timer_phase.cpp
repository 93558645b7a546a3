#include "platform/timer_phase.h"

#include <algorithm>
#include <numeric>
#include <utility>
#include <vector>

std::map<unsigned, unsigned> PlanCarriers(const std::map<unsigned, unsigned>& intervals_ms) {
    std::vector<std::pair<unsigned, unsigned>> fastest_first;  // (interval, id)
    for (const auto& [id, interval] : intervals_ms) fastest_first.emplace_back(interval, id);
    std::sort(fastest_first.begin(), fastest_first.end());
    std::map<unsigned, unsigned> carriers;
    std::vector<std::pair<unsigned, unsigned>> own;
    for (const auto& timer : fastest_first) {
        const unsigned interval = timer.first;
        const auto carrier = std::find_if(own.begin(), own.end(), [interval](const auto& c) {
            return c.first > 0 && c.first < interval && interval % c.first == 0;
        });
        if (carrier != own.end()) {
            carriers[timer.second] = carrier->second;
        } else {
            own.push_back(timer);
        }
    }
    return carriers;
}

void TimerPhaseWatch::Reset(const std::map<unsigned, unsigned>& intervals_ms) {
    counts_.clear();
    pending_ = false;
    if (intervals_ms.empty()) return;
    auto fastest = intervals_ms.begin();
    for (auto it = intervals_ms.begin(); it != intervals_ms.end(); ++it) {
        if (it->second < fastest->second) fastest = it;
    }
    const unsigned f = fastest->second == 0 ? 1 : fastest->second;
    for (const auto& [id, interval] : intervals_ms) {
        if (id == fastest->first || interval == 0) continue;
        // Of the ticks of a timer in phase, those on a common multiple meet a tick of the
        // fastest: every (lcm / interval)-th.
        const double met =
            static_cast<double>(interval) / static_cast<double>(std::lcm(interval, f));
        counts_[id].alone_allowed = (1.0 - met) * kWindow;
    }
}

bool TimerPhaseWatch::Tick(unsigned id, int64_t start_us, int64_t end_us) {
    const bool joined = pending_ && start_us - pending_end_us_ <= kSameWakeUs;
    bool restart = false;
    if (pending_) restart = Judge(pending_id_, !pending_joined_ && !joined, end_us);
    pending_ = true;
    pending_id_ = id;
    pending_joined_ = joined;
    pending_end_us_ = end_us;
    return restart;
}

bool TimerPhaseWatch::Judge(unsigned id, bool alone, int64_t now_us) {
    auto it = counts_.find(id);
    if (it == counts_.end()) return false;
    Count& c = it->second;
    ++c.ticks;
    if (alone) ++c.alone;
    if (c.ticks < kWindow) return false;
    const bool drifted = c.alone > c.alone_allowed + kWindow / 4.0;
    c.ticks = 0;
    c.alone = 0;
    if (!drifted || (restarted_ && now_us - restarted_us_ < kHoldOffUs)) return false;
    restarted_ = true;
    restarted_us_ = now_us;
    return true;
}
