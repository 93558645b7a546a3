#include "sim/application.h"

#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace sim {

namespace {

constexpr std::size_t kLineMax = 80;  // the firmware's line buffer
constexpr uint16_t kDutyStep = 5;     // permille
constexpr uint16_t kDutyMin = 50;
constexpr uint16_t kDutyMax = 950;
constexpr uint16_t kLimitLow = 100;  // kHz, what the output stage can do
constexpr uint16_t kLimitHigh = 250;

std::string Format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* fmt, ...) {
    char buf[160];
    va_list ap;
    va_start(ap, fmt);
    int n = std::vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    if (n < 0) return {};
    return std::string(buf, std::min<std::size_t>(static_cast<std::size_t>(n), sizeof buf - 1));
}

std::string_view Trim(std::string_view s) {
    while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
    while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
    return s;
}

// A whole text as a number; false for anything else, so "12abc" is refused.
bool ToDouble(std::string_view s, double& v) {
    std::string t(Trim(s));
    if (t.empty()) return false;
    char* end = nullptr;
    v = std::strtod(t.c_str(), &end);
    return end != nullptr && *end == '\0' && std::isfinite(v);
}

bool ToHex(std::string_view s, unsigned long& v) {
    std::string t(Trim(s));
    if (t.empty()) return false;
    char* end = nullptr;
    v = std::strtoul(t.c_str(), &end, 16);
    return end != nullptr && *end == '\0';
}

Reply Ack(std::string reg, const std::string& text) {
    return FramedReply(std::move(reg), {text});
}

}  // namespace

bool PwmSettings::operator==(const PwmSettings& o) const {
    return top == o.top && duty_permille == o.duty_permille && fmax_khz == o.fmax_khz &&
           fmin_khz == o.fmin_khz && vmin == o.vmin && search_always == o.search_always &&
           temp_threshold == o.temp_threshold;
}

Application::Application(const Scenario& s, Flash& flash)
    : scenario_(s), flash_(flash), meas_(s.seed, s.resonance_khz) {}

void Application::PowerUp(Nanos t) {
    live_ = eeprom_;
    ClampTop();
    pwm_active_ = true;
    ctl_active_ = false;
    write_enabled_ = false;
    offline_edit_ = false;
    alarm_ = false;
    busy_until_ = 0;
    line_.clear();
    overlong_ = false;
    if (live_.search_always == 0xA5) live_.top = BestTop();
    meas_.Advance(t, Output());
}

PwmOutput Application::Output() const {
    PwmOutput o;
    o.active = pwm_active_;
    o.regulated = ctl_active_;
    o.freq_khz = FrequencyKhz();
    o.duty = live_.duty_permille / 1000.0;
    return o;
}

void Application::Observe(Nanos t) {
    meas_.Advance(t, Output());
    if (pwm_active_ && meas_.pcb_temp() >= live_.temp_threshold) {
        pwm_active_ = false;  // over-temperature: the output protects itself
        alarm_ = true;
    }
}

uint16_t Application::TopMin() const {
    return static_cast<uint16_t>(std::ceil(kTimerClockKhz / live_.fmax_khz));
}
uint16_t Application::TopMax() const {
    return static_cast<uint16_t>(std::floor(kTimerClockKhz / live_.fmin_khz));
}

void Application::ClampTop() {
    if (live_.top < TopMin()) live_.top = TopMin();
    if (live_.top > TopMax()) live_.top = TopMax();
}

uint16_t Application::BestTop() const {
    uint16_t best = TopMin();
    double best_gain = -1;
    for (uint16_t top = TopMin(); top <= TopMax(); ++top) {
        double g = meas_.Gain(kTimerClockKhz / top);
        if (g > best_gain) {
            best_gain = g;
            best = top;
        }
    }
    return best;
}

void Application::Feed(Nanos t, uint8_t b, Outcome& out) {
    if (b == '\n') return;  // a terminal's CR LF is welcome too
    if (b != '\r') {
        if (line_.size() < kLineMax) {
            line_.push_back(static_cast<char>(b));
        } else {
            overlong_ = true;
        }
        return;
    }
    std::string line;
    line.swap(line_);
    bool overlong = overlong_;
    overlong_ = false;
    if (t < busy_until_) return;  // searching: the firmware does not listen
    if (overlong) {
        out.replies.push_back(Ack("?", "line too long"));
        return;
    }
    Command(t, line, out);
}

void Application::Command(Nanos t, std::string_view line, Outcome& out) {
    while (!line.empty() && line.front() == ' ') line.remove_prefix(1);
    if (line.empty()) return;
    Observe(t);
    if (line.substr(0, 3) == "cr ") {
        out.replies.push_back(Read(t, Trim(line.substr(3))));
    } else if (line.substr(0, 3) == "cw ") {
        Write(t, line.substr(3), out);
    } else {
        out.replies.push_back(Ack("?", "syntax error"));
    }
}

Reply Application::Read(Nanos t, std::string_view reg) {
    if (reg.substr(0, 2) == "Mr") return StreamFlash(reg.substr(2));
    std::string r(reg);
    if (reg == "Sv") {
        switch (scenario_.faults.sv) {
            case SvReply::kHardware:
                return FramedReply(r, {kHardwareText});
            case SvReply::kApart: {
                Reply both = FramedReply(r, {kHardwareText});
                both.chunks.push_back(FramedReply(r, {kFirmwareText}).chunks.front());
                both.gap = kSvApart;
                return both;
            }
            case SvReply::kBoth:
                break;
        }
        return FramedReply(r, {kHardwareText, kFirmwareText});
    }
    if (reg == "Wo") return Ack(r, Format("PWM_active = %d", pwm_active_ ? 1 : 0));
    if (reg == "Wc") return Ack(r, Format("pwm_ctl_active = %d", ctl_active_ ? 1 : 0));
    if (reg == "Ww") return Ack(r, Format("pwm_search_always = %X", live_.search_always));
    if (reg == "Wf") {
        return Ack(r, Format("frequency %.2f kHz period %.2f us duty %.1f %%", FrequencyKhz(),
                             live_.top / 16.0, DutyPercent()));
    }
    if (reg == "Wl") {
        return FramedReply(r, {Format("fmax: %u kHz", unsigned{live_.fmax_khz}),
                               Format("fmin: %u kHz", unsigned{live_.fmin_khz})});
    }
    if (reg == "Wk") return Ack(r, Format("pwm_search_Vmin: %.2f V", live_.vmin));
    if (reg == "Pt") return Ack(r, Format("alarm threshold %d C", int{live_.temp_threshold}));
    if (reg == "Wi" || reg == "Wt" || reg == "Wu" || reg == "Pi") {
        Sample s = meas_.Take(t, Output());
        if (reg == "Wi") {
            return Ack(r, Format("VOLT: %.1f Vp ISNS: %.2f Ap", s.volt_peak, s.amp_peak));
        }
        if (reg == "Wt") return Ack(r, Format("TMP101 temp: %.1f C", s.pcb_temp));
        if (reg == "Wu") return Ack(r, Format("VINF: %.2f V", s.supply));
        return FramedReply(
            r, {Format("ADC2, IANT %.3f A", s.amp_avg), Format("Power: %.2f W", s.power)});
    }
    return Ack(r, "unknown register");
}

Reply Application::StreamFlash(std::string_view args) {
    // "Mr" streams everything; "Mr ADDR" from ADDR; "Mr ADDR LEN" LEN bytes (hex).
    std::string a(Trim(args));
    unsigned long from = 0;
    unsigned long len = flash_.size();
    const char* p = a.c_str();
    char* end = nullptr;
    if (*p != '\0') {
        from = std::strtoul(p, &end, 16);
        p = end;
        while (*p == ' ') ++p;
        if (*p != '\0') {
            len = std::strtoul(p, &end, 16);
            p = end;
        }
    }
    if (*p != '\0' || from >= flash_.size()) return Ack("Mr", "address refused");
    if (len > flash_.size() - from) len = flash_.size() - from;
    if (scenario_.faults.stream_limit > 0 && len > scenario_.faults.stream_limit)
        len = scenario_.faults.stream_limit;
    Reply r;
    r.reg = "Mr";
    r.gap = scenario_.timing.stream_gap;
    const std::size_t chunk =
        scenario_.timing.stream_chunk == 0 ? 64 : scenario_.timing.stream_chunk;
    const auto& bytes = flash_.bytes();
    for (unsigned long i = 0; i < len; i += chunk) {
        std::size_t n = std::min<std::size_t>(chunk, len - i);
        r.chunks.emplace_back(reinterpret_cast<const char*>(bytes.data() + from + i), n);
    }
    return r;
}

void Application::Write(Nanos t, std::string_view text, Outcome& out) {
    static constexpr const char* kRegisters[] = {"Wesave", "Efault", "Sboot", "Wlx", "Wli", "Wo",
                                                 "Wc",     "Wf",     "Wd",    "Wk",  "Ww",  "Ws",
                                                 "Wn",     "Pt",     "Se",    "Fe"};
    std::string reg;
    for (const char* name : kRegisters) {
        if (text.substr(0, std::char_traits<char>::length(name)) == name) {
            reg = name;
            break;
        }
    }
    if (reg.empty()) {
        out.replies.push_back(Ack(std::string(Trim(text)), "unknown register"));
        return;
    }
    std::string_view value = Trim(text.substr(reg.size()));
    auto ack = [&](const std::string& s) { out.replies.push_back(Ack(reg, s)); };
    const bool can_edit = pwm_active_ || offline_edit_;

    if (reg == "Wo" || reg == "Wc" || reg == "Wn") {
        if (value != "0" && value != "1") return ack("value refused");
        bool on = value == "1";
        if (reg == "Wo") {
            pwm_active_ = on;
            if (on) alarm_ = false;
            return ack(on ? "output on" : "output off");
        }
        if (reg == "Wc") {
            ctl_active_ = on;
            return ack(on ? "dc control on" : "dc control off");
        }
        offline_edit_ = on;
        return ack(on ? "offline edit on" : "offline edit off");
    }
    if (reg == "Wf" || reg == "Wd") {
        if (value != "+" && value != "-") return ack("value refused");
        if (!can_edit) return ack("output off, offline edit needed");
        bool up = value == "+";
        bool moved = false;
        if (reg == "Wf") {
            // A shorter period is a higher frequency.
            if (up && live_.top > TopMin()) {
                --live_.top;
                moved = true;
            } else if (!up && live_.top < TopMax()) {
                ++live_.top;
                moved = true;
            }
        } else {
            if (up && live_.duty_permille + kDutyStep <= kDutyMax) {
                live_.duty_permille += kDutyStep;
                moved = true;
            } else if (!up && live_.duty_permille >= kDutyMin + kDutyStep) {
                live_.duty_permille -= kDutyStep;
                moved = true;
            }
        }
        return ack(moved ? "step done" : "at limit");
    }
    if (reg == "Wlx" || reg == "Wli") {
        double v = 0;
        if (!ToDouble(value, v) || v < kLimitLow || v > kLimitHigh) return ack("limit refused");
        uint16_t khz = static_cast<uint16_t>(std::lround(v));
        if (reg == "Wlx") {
            if (khz <= live_.fmin_khz) return ack("limit refused");
            live_.fmax_khz = khz;
        } else {
            if (khz >= live_.fmax_khz) return ack("limit refused");
            live_.fmin_khz = khz;
        }
        ClampTop();
        return ack("limit set");
    }
    if (reg == "Wk") {
        double v = 0;
        if (!ToDouble(value, v) || v < 20.0 || v > 35.0) return ack("value refused");
        live_.vmin = v;
        return ack("minimum set");
    }
    if (reg == "Ww") {
        unsigned long v = 0;
        if (!ToHex(value, v) || (v != 0xA5 && v != 0)) return ack("value refused");
        live_.search_always = static_cast<uint8_t>(v);
        return ack(v == 0xA5 ? "search always on" : "search always off");
    }
    if (reg == "Ws") {
        if (value != "1") return ack("value refused");
        Sample s = meas_.Take(t, Output());
        if (s.supply < live_.vmin) return ack("supply too low, no search");
        live_.top = BestTop();
        pwm_active_ = true;
        alarm_ = false;
        busy_until_ = t + scenario_.timing.search;
        ack("search running");
        Reply done = FramedReply(
            reg, {"search done", Format("frequency %.2f kHz period %.2f us duty %.1f %%",
                                        FrequencyKhz(), live_.top / 16.0, DutyPercent())});
        done.delay = scenario_.timing.search;
        out.replies.push_back(done);
        return;
    }
    if (reg == "Pt") {
        double v = 0;
        if (!ToDouble(value, v) || v != std::floor(v) || v < -40 || v > 150) {
            return ack("value refused");
        }
        live_.temp_threshold = static_cast<int16_t>(v);
        return ack(Format("alarm limit %d C", int{live_.temp_threshold}));
    }
    if (reg == "Wesave" || reg == "Efault") {
        if (reg == "Efault" && value != "1") return ack("value refused");
        if (!write_enabled_) return ack("eeprom write locked");
        if (reg == "Wesave") {
            eeprom_ = live_;
            return ack("settings saved");
        }
        eeprom_ = PwmSettings{};
        return ack("defaults stored, power cycle device");
    }
    if (reg == "Se") {
        std::string_view pw(kEepromPassword);
        write_enabled_ = value.substr(0, pw.size()) == pw;
        return ack(write_enabled_ ? "eeprom write enabled" : "eeprom write disabled");
    }
    if (reg == "Fe") {
        flash_.EraseApplication();
        return ack("flash erased");
    }
    // Sboot
    ack("starting bootloader");
    out.switch_firmware = !scenario_.faults.no_switch;
}

}  // namespace sim
