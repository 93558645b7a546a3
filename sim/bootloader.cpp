#include "sim/bootloader.h"

namespace sim {

namespace {
constexpr std::size_t kTextMax = 64;
constexpr Nanos kRecordTime = 300 * kMicro;  // checking and buffering one record
// The AVR's USART receive buffer: two characters; a third one overruns it and is lost.
constexpr std::size_t kUartBuffer = 2;
}  // namespace

Bootloader::Bootloader(const Scenario& s, Flash& flash) : scenario_(s), flash_(flash) {}

void Bootloader::Start() {
    state_ = State::kIdle;
    rec_.clear();
    text_.clear();
    base_ = 0;
    started_ = 0;
    ordinal_ = 0;
    deaf_until_ = 0;
    busy_until_ = 0;
    held_.clear();
    lost_ = 0;
}

std::string Bootloader::IdentText() const {
    return std::string("Bootloader for ") + ModelOf(scenario_.chip).name + " V1.3";
}

Nanos Bootloader::NextDeadline() const {
    Nanos next = -1;
    if (!held_.empty()) next = busy_until_;
    if (scenario_.boot_answer == BootAnswer::kFirst && state_ != State::kIdle && held_.empty()) {
        const Nanos broken = last_byte_ + scenario_.timing.broken_record;
        if (next < 0 || broken < next) next = broken;
    }
    return next;
}

void Bootloader::Due(Nanos t, Outcome& out) {
    if (!held_.empty() && t >= busy_until_) TakeHeld(out);
    if (scenario_.boot_answer == BootAnswer::kFirst && state_ != State::kIdle &&
        t >= last_byte_ + scenario_.timing.broken_record) {
        // Bytes were lost: what came of the record cannot pass its check.
        state_ = State::kIdle;
        rec_.clear();
        out.replies.push_back(LetterReply(kLetterChecksum, kRecordTime));
    }
}

void Bootloader::TakeHeld(Outcome& out) {
    std::vector<uint8_t> held;
    held.swap(held_);
    for (uint8_t b : held) Take(busy_until_, b, out);
}

void Bootloader::Feed(Nanos t, uint8_t b, Outcome& out) {
    if (t < deaf_until_) return;
    if (t < busy_until_) {
        if (held_.size() < kUartBuffer) {
            held_.push_back(b);
        } else {
            ++lost_;
        }
        return;
    }
    if (!held_.empty()) TakeHeld(out);
    Take(t, b, out);
}

void Bootloader::Take(Nanos t, uint8_t b, Outcome& out) {
    // A record cut short (a lost connection, a program that gave up) is forgotten after a
    // pause, so the next record starts clean.
    if (state_ != State::kIdle && t - last_byte_ > scenario_.timing.record_abandon) {
        state_ = State::kIdle;
        rec_.clear();
    }
    last_byte_ = t;
    switch (state_) {
        case State::kIdle:
            if (b == ':') {
                rec_.assign(1, b);
                ordinal_ = started_++;
                state_ = State::kBody;
            } else if (b == '\r') {
                if (!text_.empty()) Text(t, out);
                text_.clear();
            } else if (b >= 0x20 && b < 0x7F && text_.size() < kTextMax) {
                text_.push_back(static_cast<char>(b));
            }
            return;
        case State::kBody:
            rec_.push_back(b);
            // colon, count, address (2), type, data, checksum
            if (rec_.size() >= 2 && rec_.size() == std::size_t{rec_[1]} + 6) state_ = State::kCr;
            return;
        case State::kCr:
            if (b == '\r') {
                state_ = State::kLf;
                return;
            }
            break;
        case State::kLf:
            if (b == '\n') {
                state_ = State::kIdle;
                Record(t, out);
                return;
            }
            break;
    }
    // The record does not end in CR LF: its length byte cannot be trusted.
    state_ = State::kIdle;
    auto it = scenario_.faults.record_letter.find(ordinal_);
    char letter = it != scenario_.faults.record_letter.end() ? it->second : kLetterSyntax;
    out.replies.push_back(LetterReply(letter, kRecordTime));
}

void Bootloader::Record(Nanos t, Outcome& out) {
    bool page = false;
    auto it = scenario_.faults.record_letter.find(ordinal_);
    char letter = it != scenario_.faults.record_letter.end() ? it->second : Apply(page);
    out.replies.push_back(LetterReply(letter, kRecordTime));
    if (!page) return;
    if (scenario_.boot_answer == BootAnswer::kFirst) {
        // The letter goes out, then the page is written with the CPU held.
        busy_until_ = t + scenario_.timing.processing + kRecordTime + scenario_.timing.page_write;
    } else {
        out.replies.back().delay += scenario_.timing.page_write;
    }
}

char Bootloader::Apply(bool& page) {
    const uint8_t count = rec_[1];
    uint8_t sum = 0;
    for (std::size_t i = 1; i < rec_.size(); ++i) sum = static_cast<uint8_t>(sum + rec_[i]);
    if (sum != 0) return kLetterChecksum;
    const uint32_t offset = (uint32_t{rec_[2]} << 8) | rec_[3];
    const uint8_t type = rec_[4];
    const uint8_t* data = rec_.data() + 5;
    switch (type) {
        case 0x00: {
            const uint32_t first = base_ + offset;
            if (first + count > flash_.boot_start()) return kLetterAddress;
            bool ok = true;
            for (uint32_t i = 0; i < count; ++i) ok = flash_.Program(first + i, data[i]) && ok;
            // The page buffer is written out when the record reaches the end of a page.
            page = count > 0 && first / flash_.page_size() != (first + count) / flash_.page_size();
            return ok ? kLetterWritten : kLetterFlash;
        }
        case 0x01:
            if (count != 0) return kLetterSyntax;
            page = true;  // the last, partial page
            return kLetterFinished;
        case 0x02:
            if (count != 2) return kLetterSyntax;
            base_ = ((uint32_t{data[0]} << 8) | data[1]) << 4;
            return kLetterWritten;
        case 0x04:
            if (count != 2) return kLetterSyntax;
            base_ = ((uint32_t{data[0]} << 8) | data[1]) << 16;
            return kLetterWritten;
        case 0x03:
        case 0x05:
            return kLetterWritten;  // start addresses mean nothing to the bootloader
        default:
            return kLetterType;
    }
}

void Bootloader::Text(Nanos t, Outcome& out) {
    if (text_ == "cr Sv") {
        out.replies.push_back(FramedReply("Sv", {IdentText()}));
    } else if (text_ == "cw Fe") {
        if (scenario_.faults.erase_fails) {
            out.replies.push_back(FramedReply("Fe", {"flash erase failed"}));
            return;
        }
        flash_.EraseApplication();
        // The page erases keep the CPU: the UART's bytes are lost until the answer.
        deaf_until_ = t + scenario_.timing.erase;
        Reply done = FramedReply("Fe", {"flash erased"});
        done.delay = scenario_.timing.erase;
        out.replies.push_back(done);
    } else if (text_ == "cw Sboot") {
        if (flash_.HasApplication()) {
            out.replies.push_back(FramedReply("Sboot", {"starting application"}));
            out.switch_firmware = !scenario_.faults.no_switch;
        } else {
            out.replies.push_back(FramedReply("Sboot", {"no application"}));
        }
    }
    // Anything else is not for the bootloader: it stays silent.
}

}  // namespace sim
