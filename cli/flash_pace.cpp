#include "cli/flash_pace.h"

#include <algorithm>

#include "boot/bootloader.h"
#include "firmware/hex_file.h"
#include "serial/port.h"
#include "serial/receive_pump.h"

namespace cli {

namespace {

// More than any answer letter needs; the core reads only the first letter.
constexpr std::size_t kAnswerMax = 255;

char FirstLetter(const std::vector<uint8_t>& bytes) {
    for (uint8_t b : bytes)
        if (b >= 'A' && b <= 'z') return static_cast<char>(b);
    return 0;
}

std::size_t LineBytes(uint32_t n) {
    return n < kIhexLines ? g_hex.ihex_hex_len[n] : 0;
}

}  // namespace

int64_t AckPace::WireNs(std::size_t n) const {
    return baud > 0 ? static_cast<int64_t>(n) * 10 * 1000000000 / baud : 0;
}

void AckPace::Sent(int64_t now, std::size_t bytes) {
    if (!acking) return;
    record_end = now + WireNs(bytes);
    answered = -1;
}

AckPace::Step AckPace::Fall(FallBack why) {
    acking = false;
    fell_back = why;
    record_end = -1;
    answered = -1;
    return Step::kFallBack;
}

AckPace::Step AckPace::Answer(char letter, int64_t now) {
    if (!awaiting()) return Step::kNone;
    switch (letter) {
        case 'w':
            if (now > record_end + kAckLateNs) return Fall(FallBack::kLate);
            answered = now;
            return Step::kHold;
        case 'n':
            record_end = -1;
            return Step::kHandOn;
        case 'c':
            return Fall(FallBack::kResend);
        default:
            return Fall(FallBack::kLetter);
    }
}

AckPace::Step AckPace::Check(int64_t now) {
    if (awaiting() && now > record_end + kAckLateNs) return Fall(FallBack::kLate);
    return Step::kNone;
}

int64_t AckPace::SendAt() const {
    return holding() ? std::max(answered, record_end + min_gap_ns) : -1;
}

int64_t AckPace::WakeAt() const {
    if (holding()) return SendAt();
    if (awaiting()) return record_end + kAckLateNs + 1;
    return -1;
}

std::string FallBackText(FallBack why, uint32_t line, char letter) {
    const std::string n = std::to_string(line);
    const std::string rest = ": the rest goes at the tick pace";
    switch (why) {
        case FallBack::kResend:
            return "the device asked for line " + n + " again ('c')" + rest;
        case FallBack::kLetter:
            return "the device answered line " + n + " with '" + std::string(1, letter) + "'" +
                   rest;
        case FallBack::kLate:
            return "no answer to line " + n + " within " + std::to_string(kAckLateNs / kNsPerMs) +
                   " ms of its end on the line" + rest;
        case FallBack::kNone:
            break;
    }
    return "";
}

AckTransfer::AckTransfer(Context& ctx, Session& s, AckPace pace)
    : ctx_(ctx), s_(s), pace_(pace), seen_lines_(g_boot.lines_sent) {
    s_.watch().reads_held = true;
    ctx_.ticks.SetIdle([this](int64_t deadline) { Idle(deadline); });
}

AckTransfer::~AckTransfer() {
    Release();
}

void AckTransfer::Release() {
    if (!active_) return;
    active_ = false;
    s_.watch().reads_held = false;
    ctx_.ticks.SetIdle(nullptr);
}

void AckTransfer::Idle(int64_t deadline) {
    Clock& clock = ctx_.ticks.clock();
    Act(clock.NowNs());
    if (!active_) return;
    const int64_t wake = pace_.WakeAt();
    const int64_t until = wake >= 0 && wake < deadline ? wake : deadline;
    const int64_t now = clock.NowNs();
    if (until > now) ctx_.port.AwaitBytes(g_port.port_handle, until - now);
}

void AckTransfer::HandOn() {
    // As the pump hands on a reply: its bytes and a terminating zero, counted.
    std::vector<uint8_t> reply = answer_;
    reply.push_back(0);
    answer_.clear();
    BootloaderStep(s_.page(), 1, static_cast<uint32_t>(reply.size()), reply.data());
}

void AckTransfer::SayFallBack(char letter) {
    if (g_boot.process_state_bootloader == 0) return;  // the transfer has ended anyway
    // The line the step waits for (or, after a 'c', sends again), counted from 1.
    const uint32_t line =
        g_boot.bootloader_step == kBootStepSend ? g_boot.lines_sent + 1 : g_boot.lines_sent;
    const std::string text = FallBackText(pace_.fell_back, line, letter);
    ctx_.out.Message(text);
    if (ctx_.out.json()) {
        static const char* const kWhy[] = {"none", "resend", "letter", "late"};
        ctx_.out.Emit(JsonLine("pace")
                          .Str("pace", "tick")
                          .Str("reason", kWhy[static_cast<int>(pace_.fell_back)])
                          .Int("line", line)
                          .Str("text", text));
    }
}

void AckTransfer::Act(int64_t now) {
    if (!active_) return;
    if (g_boot.process_state_bootloader == 0) {
        Release();
        return;
    }
    // A record the step sent on a tick (the first one): its letter is awaited from now.
    if (g_boot.bootloader_step == kBootStepWait && g_boot.lines_sent != seen_lines_) {
        seen_lines_ = g_boot.lines_sent;
        answer_.clear();
        pace_.Sent(now, LineBytes(g_boot.lines_sent - 1));
    }
    uint8_t buf[64];
    std::size_t got = 0;
    if (!ctx_.port.Read(g_port.port_handle, buf, sizeof buf, got)) {
        // The session's wait reports the failed line.
        Release();
        return;
    }
    if (got > 0) {
        const std::size_t room = kAnswerMax > answer_.size() ? kAnswerMax - answer_.size() : 0;
        answer_.insert(answer_.end(), buf, buf + std::min(got, room));
        // As the pump does with every chunk: the 5 s of the time-out start again.
        g_rx.boot_rx_countdown = kBootRxTimeoutTicks;
    }
    if (pace_.awaiting()) {
        const char letter = FirstLetter(answer_);
        AckPace::Step step = letter != 0 ? pace_.Answer(letter, now) : pace_.Check(now);
        if (step == AckPace::Step::kHandOn) {
            HandOn();
        } else if (step == AckPace::Step::kFallBack) {
            if (!answer_.empty()) HandOn();
            SayFallBack(letter);
            Release();
            return;
        }
    }
    if (pace_.holding() && now >= pace_.SendAt()) {
        HandOn();
        if (g_boot.process_state_bootloader != 0 && g_boot.bootloader_step == kBootStepSend) {
            BootloaderStep(s_.page(), 0, 0, nullptr);
            if (g_boot.bootloader_step == kBootStepWait) {
                seen_lines_ = g_boot.lines_sent;
                pace_.Sent(ctx_.ticks.clock().NowNs(), LineBytes(g_boot.lines_sent - 1));
            }
        }
    }
}

}  // namespace cli
