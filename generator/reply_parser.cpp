#include "generator/reply_parser.h"

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "page/page.h"
#include "generator/autoread.h"
#include "generator/gen_page.h"
#include "platform/env.h"
#include "platform/text_format.h"
#include "serial/link_controls.h"

DeviceFlags g_dev;
Readings g_readings;

bool SearchKnownString(const char* text, const char* key, uint32_t length, uint32_t n,
                       uint32_t* position) {
    if (length == 0 || n == 0) return false;
    if (text == nullptr || key == nullptr) return false;
    // The text's NUL ends the search even when the caller's length says more, and a key
    // shorter than n can never match.
    for (uint32_t i = 0; i < length && text[i] != '\0'; ++i) {
        if (text[i] != key[0]) continue;
        uint32_t j = 0;
        while (j < n && key[j] != '\0' && text[i + j] == key[j]) ++j;
        if (j == n) {
            if (position != nullptr) *position = i;
            return true;
        }
    }
    if (position != nullptr) *position = 0;
    return false;
}

namespace {

// The working values of one reply, shared by every row.
struct Work {
    char* reply = nullptr;
    int32_t value = 0;
    float first = 0.0f;
    float second = 0.0f;
    uint32_t position = 0;
    char text[128] = {};
    uint8_t measurements = 0;

    const char* Remainder() const { return reply + position; }
};

// How far into the reply the hardware identification may look for its clock ("16MHz").
constexpr uint32_t kHwClockWindow = 255;

void SetText(platform::Wnd w, const char* text) {
    platform::UI().SetControlText(w, text);
}

void Note(Quantity q, float value) {
    Reading& r = g_readings.values[static_cast<int>(q)];
    r.value = static_cast<double>(value);
    r.at = platform::Sys().Now();
    r.reply = g_readings.replies;
}

void NoteIdent(char (&field)[kIdentSize], uint32_t& reply, const char* text) {
    std::snprintf(field, sizeof field, "%s", text);
    reply = g_readings.replies;
}

// The row's scan format read from p as sscanf reads it, but every number is converted with
// a checked conversion: sscanf only measures it, with its assignment suppressed so that
// nothing can overflow. A number that does not fit its type counts as unreadable: like
// sscanf's, the scan ends there and the values not read keep what they held.
class RowScan {
  public:
    explicit RowScan(const char* p) : p_(p) {}

    // Words ("%*s") and numbers in the order of the format.
    RowScan& Skip(int words) {
        for (int i = 0; i < words && ok_; ++i) {
            int end = -1;
            std::sscanf(p_, " %*s%n", &end);
            Advance(end);
        }
        return *this;
    }
    RowScan& Float(float& out) {
        const char* begin = Measure(" %n%*f%n");
        if (begin == nullptr) return *this;
        errno = 0;
        char* end = nullptr;
        const float v = std::strtof(begin, &end);
        // Overflow gives HUGE_VALF; a value too small to hold becomes 0 or near it, as it
        // always has.
        if (end == begin || (errno == ERANGE && std::isinf(v))) return Fail();
        out = v;
        return *this;
    }
    RowScan& Int(int32_t& out) {
        const char* begin = Measure(" %n%*i%n");
        if (begin == nullptr) return *this;
        errno = 0;
        char* end = nullptr;
        const long long v = std::strtoll(begin, &end, 0);
        if (end == begin || errno == ERANGE || v < INT32_MIN || v > INT32_MAX) return Fail();
        out = static_cast<int32_t>(v);
        return *this;
    }
    // "%x" takes a sign too: "-1" is 0xFFFFFFFF.
    RowScan& Hex(uint32_t& out) {
        const char* begin = Measure(" %n%*x%n");
        if (begin == nullptr) return *this;
        const char* digits = begin;
        const bool negative = *digits == '-';
        if (*digits == '-' || *digits == '+') ++digits;
        errno = 0;
        char* end = nullptr;
        const unsigned long long v = std::strtoull(digits, &end, 16);
        if (end == digits || errno == ERANGE || v > UINT32_MAX) return Fail();
        const uint32_t magnitude = static_cast<uint32_t>(v);
        out = negative ? 0u - magnitude : magnitude;
        return *this;
    }

  private:
    RowScan& Fail() {
        ok_ = false;
        return *this;
    }
    void Advance(int by) {
        if (by < 0) {
            ok_ = false;
        } else {
            p_ += by;
        }
    }
    // The number's first character, once sscanf has matched one; the scan moves past it. The
    // conversion is applied to the text from there: it stops where sscanf did, or before.
    const char* Measure(const char* fmt) {
        if (!ok_) return nullptr;
        int begin = -1, end = -1;
        std::sscanf(p_, fmt, &begin, &end);
        if (begin < 0 || end < 0) {
            ok_ = false;
            return nullptr;
        }
        const char* number = p_ + begin;
        p_ += end;
        return number;
    }

    const char* p_;
    bool ok_ = true;
};

void FirmwareIdent(Work& w) {
    g_dev.uCisBootloader = 0;
    ConPrintf("firmware info:\n%s\n", w.Remainder());
    SetText(g_gen.hWndFwVersion, w.Remainder());
    NoteIdent(g_readings.firmware, g_readings.firmware_reply, w.Remainder());
}

void BootloaderIdent(Work& w) {
    g_dev.uCisBootloader = 1;
    ConPrintf("firmware info:\n%s\n", w.Remainder());
    ConPrintf("uCisBootloader = %i\n", 1);
    SetText(g_gen.hWndFwVersion, w.Remainder());
    NoteIdent(g_readings.firmware, g_readings.firmware_reply, w.Remainder());
    // The bootloader answers no generator reads: stop AutoRead, and start over from the
    // identification once the application is back.
    g_autoread.autoread_on = 0;
    SetText(g_gen.hWndAutoRead, "AutoRead ON");
    g_autoread.autoread_step = 0;
}

void HardwareIdent(Work& w) {
    g_dev.uCisBootloader = 0;
    ConPrintf("uCisBootloader = %i\n", 0);
    // The identification ends with the clock; what follows it is dropped for the later rows
    // too. Only the first 255 characters are searched, and never past the reply's end.
    uint32_t window = static_cast<uint32_t>(std::strlen(w.reply));
    if (window > kHwClockWindow) window = kHwClockWindow;
    uint32_t clock = 0;
    if (window >= 3 && SearchKnownString(w.reply, "MHz", window - 2, 3, &clock)) {
        w.reply[clock + 3] = '\0';
    }
    ConPrintf("hardware info:\n%s\n\n", w.Remainder());
    SetText(g_gen.hWndHwVersion, w.Remainder());
    NoteIdent(g_readings.hardware, g_readings.hardware_reply, w.Remainder());
}

void PwmActive(Work& w) {
    RowScan(w.Remainder()).Skip(2).Int(w.value);  // "%*s %*s %i"
    g_dev.pwm_on = w.value == 1 ? 1 : 0;
    g_readings.pwm_reply = g_readings.replies;
    SetText(g_gen.hWndPwmOnOff, g_dev.pwm_on != 0 ? "PWM OFF" : "PWM ON");
    ConPrintf("known string found: %s = %i", w.Remainder(), w.value);
}

void PwmCtlActive(Work& w) {
    RowScan(w.Remainder()).Skip(2).Int(w.value);  // "%*s %*s %i"
    g_dev.pwm_ctl_on = w.value == 1 ? 1 : 0;
    g_readings.ctl_reply = g_readings.replies;
    SetText(g_gen.hWndCtlOnOff, g_dev.pwm_ctl_on != 0 ? "CTL OFF" : "CTL ON");
    ConPrintf("known string found: %s = %i", w.Remainder(), w.value);
}

void Frequency(Work& w) {
    // "%*s %f %*s %*s %*s %*s %*s %f"
    RowScan(w.Remainder()).Skip(1).Float(w.first).Skip(5).Float(w.second);
    ConPrintf("known string found: %s\n", w.Remainder());
    FormatBounded(w.text, sizeof w.text, "%.2fkHz", static_cast<double>(w.first));
    SetText(g_gen.hWndFreq, w.text);
    Note(Quantity::kFrequency, w.first);
    ConPrintf("freq: %s\n", w.text);
    FormatBounded(w.text, sizeof w.text, "%.1f%%", static_cast<double>(w.second));
    SetText(g_gen.hWndDuty, w.text);
    Note(Quantity::kDuty, w.second);
    ConPrintf("duty: %s\n", w.text);
}

void AntennaPeak(Work& w) {
    RowScan(w.Remainder()).Skip(1).Float(w.first).Skip(2).Float(w.second);  // "%*s %f %*s %*s %f"
    ConPrintf("known string found: %s\n", w.Remainder());
    FormatBounded(w.text, sizeof w.text, "%.2fVp", static_cast<double>(w.first));
    SetText(g_gen.hWndAntVpeak, w.text);
    Note(Quantity::kAntVpeak, w.first);
    ConPrintf("VOLT: %s\n", w.text);
    FormatBounded(w.text, sizeof w.text, "%.2fAp", static_cast<double>(w.second));
    SetText(g_gen.hWndAntIpeak, w.text);
    Note(Quantity::kAntIpeak, w.second);
    ConPrintf("ISNS: %s\n", w.text);
}

void SearchAlways(Work& w) {
    uint32_t hex = static_cast<uint32_t>(w.value);
    RowScan(w.Remainder()).Skip(2).Hex(hex);  // "%*s %*s %x"
    w.value = static_cast<int32_t>(hex);
    g_dev.search_always_on = w.value == 0xA5 ? 1 : 0;
    g_readings.search_always_reply = g_readings.replies;
    SetText(g_gen.hWndSearchAlways, g_dev.search_always_on != 0 ? "AS alw. OFF" : "AS alw. ON");
    ConPrintf("known string found: %s = %i", w.Remainder(), w.value);
}

void Fmax(Work& w) {
    RowScan(w.Remainder()).Skip(1).Float(w.first);  // "%*s %f"
    ConPrintf("known string found: %s\n", w.Remainder());
    FormatBounded(w.text, sizeof w.text, "%.2fkHz", static_cast<double>(w.first));
    SetText(g_gen.hWndFmax, w.text);
    Note(Quantity::kFmax, w.first);
    ConPrintf("fmax: %s\n", w.text);
}

void Fmin(Work& w) {
    RowScan(w.Remainder()).Skip(1).Float(w.first);  // "%*s %f"
    ConPrintf("known string found: %s\n", w.Remainder());
    FormatBounded(w.text, sizeof w.text, "%.2fkHz", static_cast<double>(w.first));
    SetText(g_gen.hWndFmin, w.text);
    Note(Quantity::kFmin, w.first);
    ConPrintf("fmin: %s\n", w.text);
}

void SearchVmin(Work& w) {
    RowScan(w.Remainder()).Skip(1).Float(w.first);  // "%*s %f"
    ConPrintf("known string found: %s\n", w.Remainder());
    FormatBounded(w.text, sizeof w.text, "%.2f V", static_cast<double>(w.first));
    SetText(g_gen.hWndVmin, w.text);
    Note(Quantity::kVmin, w.first);
    ConPrintf("Vmin: %s\n", w.text);
}

void PcbTemperature(Work& w) {
    RowScan(w.Remainder()).Skip(2).Float(w.first);  // "%*s %*s %f"
    ConPrintf("known string found: %s\n", w.Remainder());
    FormatBounded(w.text, sizeof w.text,
                  "%.1f\xB0"
                  "C",
                  static_cast<double>(w.first));
    SetText(g_gen.hWndPcbTemp, w.text);
    Note(Quantity::kPcbTemp, w.first);
    ConPrintf("temperature: %s\n", w.text);
}

void SupplyVoltage(Work& w) {
    RowScan(w.Remainder()).Skip(1).Float(w.first);  // "%*s %f"
    ConPrintf("known string found: %s\n", w.Remainder());
    FormatBounded(w.text, sizeof w.text, "%.2fV", static_cast<double>(w.first));
    SetText(g_gen.hWndVsupply, w.text);
    Note(Quantity::kVsupply, w.first);
    ConPrintf("VINF: %s\n", w.text);
}

void AntennaCurrent(Work& w) {
    RowScan(w.Remainder()).Skip(2).Float(w.first);  // "%*s %*s %f"
    ConPrintf("known string found: %s\n", w.Remainder());
    FormatBounded(w.text, sizeof w.text, "%.3fA", static_cast<double>(w.first));
    SetText(g_gen.hWndAntIavg, w.text);
    Note(Quantity::kAntIavg, w.first);
    ConPrintf("IANT: %s\n", w.text);
}

void AntennaPower(Work& w) {
    RowScan(w.Remainder()).Skip(1).Float(w.first);  // "%*s %f"
    ConPrintf("known string found: %s\n", w.Remainder());
    FormatBounded(w.text, sizeof w.text, "%.2fW", static_cast<double>(w.first));
    SetText(g_gen.hWndAntPavg, w.text);
    Note(Quantity::kAntPavg, w.first);
    ConPrintf("Power: %s\n", w.text);
}

void TempThreshold(Work& w) {
    RowScan(w.Remainder()).Skip(1).Float(w.first);  // "%*s %f"
    ConPrintf("known string found: %s\n", w.Remainder());
    FormatBounded(w.text, sizeof w.text,
                  "%.0f \xB0"
                  "C",
                  static_cast<double>(w.first));
    SetText(g_gen.hWndTempThresh, w.text);
    Note(Quantity::kTempThresh, w.first);
    ConPrintf("temperature threshold: %s\n", w.text);
}

void OnlyPcb(Work& w) {
    ConPrintf("known string found: %s\n", w.Remainder());
}

struct KnownString {
    const char* key;
    uint32_t compared;   // leading characters of the key that must match
    bool measurement;    // a reply with one of these stays out of the text area
    bool unless_before;  // tried only when the row before it did not match
    void (*apply)(Work&);
};

const KnownString kKnownStrings[] = {
    {"Lum_Rax_", 8, false, false, FirmwareIdent},
    {"Bootloader for", 14, false, true, BootloaderIdent},
    {"Lum_Rax, HW Rev", 15, false, false, HardwareIdent},
    {"PWM_active", 10, false, false, PwmActive},
    {"pwm_ctl_active", 14, false, false, PwmCtlActive},
    {"frequency", 9, false, false, Frequency},
    {"VOLT: ", 6, true, false, AntennaPeak},
    {"pwm_search_always", 12, false, false, SearchAlways},
    {"fmax:", 5, false, false, Fmax},
    {"fmin:", 5, false, false, Fmin},
    {"pwm_search_Vmin:", 16, false, false, SearchVmin},
    {"TMP101", 5, true, false, PcbTemperature},
    {"VINF:", 5, true, false, SupplyVoltage},
    {"ADC2, IANT", 10, true, false, AntennaCurrent},
    {"Power: ", 7, true, false, AntennaPower},
    {"threshold", 9, true, false, TempThreshold},
    {"only PCB", 8, true, false, OnlyPcb},
};

}  // namespace

void ParseDeviceReply(char* reply, uint32_t) {
    if (reply == nullptr) return;
    Work w;
    w.reply = reply;
    ++g_readings.replies;
    bool previous_matched = false;
    for (const KnownString& row : kKnownStrings) {
        if (row.unless_before && previous_matched) {
            previous_matched = false;
            continue;
        }
        // Taken anew for every row: the hardware row may have shortened the reply.
        const uint32_t length = static_cast<uint32_t>(std::strlen(reply));
        previous_matched = SearchKnownString(reply, row.key, length, row.compared, &w.position);
        if (!previous_matched) continue;
        row.apply(w);
        if (row.measurement) ++w.measurements;
    }
    if (w.measurements == 0) AppendComText(reply);
}
