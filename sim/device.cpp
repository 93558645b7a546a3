#include "sim/device.h"

#include <algorithm>

#include "sim/random.h"

namespace sim {

bool ListMatches(const std::string& list, const std::string& reg) {
    if (list.empty()) return false;
    if (list == "*") return true;
    std::size_t from = 0;
    while (from <= list.size()) {
        std::size_t comma = list.find(',', from);
        if (comma == std::string::npos) comma = list.size();
        if (list.compare(from, comma - from, reg) == 0 && comma - from == reg.size()) return true;
        from = comma + 1;
    }
    return false;
}

Device::Device(Scenario scenario)
    : scenario_(std::move(scenario)),
      flash_(ModelOf(scenario_.chip)),
      app_(scenario_, flash_),
      boot_(scenario_, flash_),
      running_(scenario_.firmware),
      host_baud_(scenario_.baudrate),
      random_(scenario_.seed ^ 0x6A7BA6E) {
    flash_.Load(scenario_);
    if (running_ == Firmware::kApplication && !flash_.HasApplication()) {
        running_ = Firmware::kBootloader;  // nothing to start: the bootloader waits
    }
    Start(0);
    next_noise_ = scenario_.faults.noise_period;
    next_burst_ = scenario_.faults.burst_period;
}

void Device::Start(Nanos t) {
    if (running_ == Firmware::kApplication) {
        app_.PowerUp(t);
    } else {
        boot_.Start();
    }
}

void Device::PowerCycle() {
    running_ = flash_.HasApplication() ? Firmware::kApplication : Firmware::kBootloader;
    app_.measurements().Cool(now_);
    Start(now_);
}

void Device::Die(Nanos t) {
    if (dead_) return;
    dead_ = true;
    to_device_.Cut(t);
    to_host_.Cut(t);
}

void Device::SendBurst(Nanos t) {
    const Faults& f = scenario_.faults;
    const uint32_t n =
        1 + static_cast<uint32_t>(random_.Next() % std::max<uint32_t>(f.burst_bytes, 1));
    std::string junk;
    for (uint32_t i = 0; i < n; ++i) junk.push_back(static_cast<char>(random_.Byte()));
    // Junk that ends like a reply is what could pass for one.
    if (random_.Next() & 1) junk.back() = kEtx;
    ++line_count_.bursts;
    if (junk.back() == kEtx) ++line_count_.bursts_etx;
    const Nanos start = std::max(t, to_host_.FreeAt() + f.quiet);
    to_host_.Send(start, reinterpret_cast<const uint8_t*>(junk.data()), junk.size(),
                  scenario_.baudrate);
}

void Device::RunTimed(Nanos upto) {
    const Faults& f = scenario_.faults;
    if (f.disconnect_at > 0 && f.disconnect_at <= upto) Die(f.disconnect_at);
    if (f.burst_period > 0) {
        while (next_burst_ <= upto) {
            if (!dead_) SendBurst(next_burst_);
            next_burst_ += 1 + RandomUpTo(2 * f.burst_period);
        }
    }
    if (f.noise_period <= 0) return;
    while (next_noise_ <= upto) {
        if (!dead_) {
            std::string junk;
            for (uint32_t i = 0; i < f.noise_bytes; ++i)
                junk.push_back(static_cast<char>(random_.Byte()));
            to_host_.Send(next_noise_, reinterpret_cast<const uint8_t*>(junk.data()), junk.size(),
                          scenario_.baudrate);
        }
        next_noise_ += f.noise_period;
    }
}

void Device::AdvanceTo(Nanos t) {
    if (t < now_) return;
    scratch_.clear();
    to_device_.Receive(t, scenario_.baudrate, scratch_);
    for (const ReceivedByte& rb : scratch_) {
        RunTimed(rb.at);
        if (dead_) break;
        RunBoot(rb.at);
        now_ = std::max(now_, rb.at);
        Feed(rb.at, rb.value);
    }
    RunTimed(t);
    RunBoot(t);
    now_ = t;
}

void Device::RunBoot(Nanos upto) {
    if (running_ != Firmware::kBootloader || dead_) return;
    for (Nanos due; (due = boot_.NextDeadline()) >= 0 && due <= upto;) {
        Outcome out;
        boot_.Due(due, out);
        for (const Reply& r : out.replies) Emit(due, r);
        if (boot_.NextDeadline() == due) break;  // nothing changed: never spin
    }
}

void Device::Feed(Nanos t, uint8_t b) {
    Outcome out;
    if (running_ == Firmware::kApplication) {
        app_.Feed(t, b, out);
    } else {
        boot_.Feed(t, b, out);
        uint32_t limit = scenario_.faults.disconnect_after_records;
        if (limit > 0 && boot_.records_started() > limit) {
            Die(t);
            return;
        }
    }
    for (const Reply& r : out.replies) Emit(t, r);
    if (out.switch_firmware) {
        running_ =
            running_ == Firmware::kApplication ? Firmware::kBootloader : Firmware::kApplication;
        Start(t);
    }
}

void Device::Emit(Nanos t, const Reply& reply) {
    const Faults& f = scenario_.faults;
    if (dead_ || ListMatches(f.no_reply_to, reply.reg)) return;
    ++replies_;
    bool whole = reply.framed;
    std::vector<std::string> chunks = reply.chunks;
    if (reply.framed && ListMatches(f.no_etx_to, reply.reg) && !chunks.empty() &&
        !chunks.back().empty() && chunks.back().back() == kEtx) {
        chunks.back().pop_back();
        whole = false;
    }
    if (f.garbage_every > 0 && f.garbage_bytes > 0 && replies_ % f.garbage_every == 0) {
        std::string junk;
        for (uint32_t i = 0; i < f.garbage_bytes; ++i)
            junk.push_back(static_cast<char>(random_.Byte()));
        chunks.insert(chunks.begin(), junk);
        whole = false;
    }
    // The bytes with the pauses before them: the line gaps first, then the clutter.
    const Nanos gap = reply.gap >= 0 ? reply.gap : scenario_.timing.line_gap;
    std::string bytes;
    std::vector<std::pair<std::size_t, Nanos>> pauses;
    for (std::size_t i = 0; i < chunks.size(); ++i) {
        if (i > 0) pauses.emplace_back(bytes.size(), gap);
        bytes += chunks[i];
    }
    if (bytes.size() > 1) {
        auto cut = [&](Nanos pause) {
            pauses.emplace_back(1 + random_.Next() % (bytes.size() - 1), pause);
        };
        if (f.split_gap > 0) {
            for (uint64_t n = random_.Next() % 3; n > 0; --n) cut(RandomUpTo(f.split_gap));
        }
        if (reply.framed && f.break_every > 0 && replies_ % f.break_every == 0) {
            cut(f.break_gap);
            whole = false;
        }
        std::stable_sort(pauses.begin(), pauses.end(),
                         [](const auto& a, const auto& b) { return a.first < b.first; });
    }
    if (whole) {
        ++line_count_.whole;
    } else if (reply.framed) {
        ++line_count_.broken;
    }
    if (reply_watch_) reply_watch_(reply.reg, bytes, whole);

    Nanos at =
        t + scenario_.timing.processing + reply.delay + f.late_reply + RandomUpTo(f.reply_jitter);
    if (f.quiet > 0) at = std::max(at, to_host_.FreeAt() + f.quiet);
    std::size_t from = 0;
    auto send_up_to = [&](std::size_t to) {
        at = to_host_.Send(at, reinterpret_cast<const uint8_t*>(bytes.data()) + from, to - from,
                           scenario_.baudrate);
        from = to;
    };
    for (const auto& [pos, pause] : pauses) {
        send_up_to(pos);
        at += pause;
    }
    send_up_to(bytes.size());
    last_reply_[reply.reg] = bytes;
}

std::string Device::LastReply(const std::string& reg) const {
    auto it = last_reply_.find(reg);
    return it == last_reply_.end() ? std::string() : it->second;
}

void Device::HostJoin() {
    to_host_.Purge(now_);
    host_rx_.clear();
}

void Device::HostWrite(const uint8_t* data, std::size_t n) {
    if (n == 0) return;
    if (trace_) trace_(false, now_, data, n);
    to_device_.Send(now_, data, n, host_baud_);
}

std::size_t Device::HostRead(uint8_t* buf, std::size_t max) {
    scratch_.clear();
    to_host_.Receive(now_, host_baud_, scratch_);
    for (const ReceivedByte& rb : scratch_) host_rx_.push_back(rb.value);
    std::size_t n = std::min(max, host_rx_.size());
    std::copy_n(host_rx_.begin(), n, buf);
    host_rx_.erase(host_rx_.begin(), host_rx_.begin() + static_cast<std::ptrdiff_t>(n));
    if (trace_ && n > 0) trace_(true, now_, buf, n);
    return n;
}

Nanos Device::NextEvent() {
    Nanos next = -1;
    auto take = [&next](Nanos t) {
        if (t >= 0 && (next < 0 || t < next)) next = t;
    };
    take(to_host_.NextArrival(host_baud_));
    take(to_device_.NextArrival(scenario_.baudrate));
    if (running_ == Firmware::kBootloader) take(boot_.NextDeadline());
    if (scenario_.faults.noise_period > 0) take(next_noise_);
    if (scenario_.faults.burst_period > 0) take(next_burst_);
    if (scenario_.faults.disconnect_at > 0 && !dead_) take(scenario_.faults.disconnect_at);
    return next;
}

}  // namespace sim
