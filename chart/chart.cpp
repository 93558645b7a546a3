#include "chart/chart.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "platform/text_format.h"

namespace chart {

const SeriesInfo kSeries[kSeriesCount] = {
    {"Antenna V peak", "vpeak_V", "V", Quantity::kAntVpeak, 2},
    {"Antenna I peak", "ipeak_A", "A", Quantity::kAntIpeak, 2},
    {"Supply voltage", "vsupply_V", "V", Quantity::kVsupply, 2},
    {"Antenna I avg", "iavg_A", "A", Quantity::kAntIavg, 3},
    {"Antenna P avg", "pavg_W", "W", Quantity::kAntPavg, 2},
    {"PCB temperature", "pcb_temp_C", "C", Quantity::kPcbTemp, 1},
};

const char* const kSpanNames[kSpanCount] = {"1 min", "10 min", "1 h", "24 h"};

Recorder g_chart;

namespace {

constexpr int64_t kMsPerDay = 86400000;

// Days since 1970-01-01 of a proleptic Gregorian date (H. Hinnant's days_from_civil).
int64_t DaysFromCivil(int64_t y, int64_t m, int64_t d) {
    y -= m <= 2 ? 1 : 0;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const int64_t yoe = y - era * 400;
    const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

int64_t FloorDiv(int64_t a, int64_t b) {
    const int64_t q = a / b;
    return (a % b != 0 && ((a < 0) != (b < 0))) ? q - 1 : q;
}

bool Finite(float v) {
    return std::isfinite(v);
}

}  // namespace

int64_t LocalMs(const platform::LocalTime& t) {
    const int64_t days = DaysFromCivil(t.year, t.month, t.day);
    return days * kMsPerDay + ((int64_t{t.hour} * 60 + t.minute) * 60 + t.second) * 1000 +
           t.millisecond;
}

platform::LocalTime FromLocalMs(int64_t ms) {
    const int64_t days = FloorDiv(ms, kMsPerDay);
    int64_t rest = ms - days * kMsPerDay;
    // civil_from_days
    const int64_t z = days + 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const int64_t doe = z - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    const int64_t d = doy - (153 * mp + 2) / 5 + 1;
    const int64_t m = mp < 10 ? mp + 3 : mp - 9;
    const int64_t y = yoe + era * 400 + (m <= 2 ? 1 : 0);
    platform::LocalTime t{};
    t.year = static_cast<int>(y);
    t.month = static_cast<int>(m);
    t.day = static_cast<int>(d);
    t.hour = static_cast<int>(rest / 3600000);
    rest %= 3600000;
    t.minute = static_cast<int>(rest / 60000);
    rest %= 60000;
    t.second = static_cast<int>(rest / 1000);
    t.millisecond = static_cast<int>(rest % 1000);
    return t;
}

Ring::Ring(std::size_t capacity) : buf_(capacity) {}

void Ring::Push(const Sample& s) {
    if (buf_.empty()) return;
    if (size_ < buf_.size()) {
        buf_[(head_ + size_) % buf_.size()] = s;
        ++size_;
        return;
    }
    buf_[head_] = s;
    head_ = (head_ + 1) % buf_.size();
}

void Ring::Clear() {
    head_ = 0;
    size_ = 0;
}

const Sample& Ring::operator[](std::size_t i) const {
    std::size_t at = head_ + i;
    if (at >= buf_.size()) at -= buf_.size();
    return buf_[at];
}

std::size_t Ring::LowerBound(int64_t t_ms) const {
    std::size_t lo = 0, hi = size_;
    while (lo < hi) {
        const std::size_t mid = lo + (hi - lo) / 2;
        if ((*this)[mid].t_ms < t_ms) {
            lo = mid + 1;
        } else {
            hi = mid;
        }
    }
    return lo;
}

// The text that went to the port, its line end dropped, against the commands that change the
// generator. A prefix row matches any text that begins with it; the value follows the label.
namespace {

struct MarkerRow {
    const char* command;  // after "cw "
    bool prefix;          // the value that follows is part of the label
    const char* label;    // nullptr: no marker
};

const MarkerRow kMarkerRows[] = {
    {"Wo1", false, "PWM on"},
    {"Wo0", false, "PWM off"},
    {"Wf+", false, "f+"},
    {"Wf-", false, "f-"},
    {"Wd+", false, "duty+"},
    {"Wd-", false, "duty-"},
    {"Wk ", true, "Vlim"},
    {"Wlx ", true, "fmax"},
    {"Wli ", true, "fmin"},
    {"Wc1", false, "CTL on"},
    {"Wc0", false, "CTL off"},
    {"Ws1", false, "Search"},
    {"WwA5", false, "Search always on"},
    {"Ww0", false, "Search always off"},
    {"Pt ", true, "Temp limit"},
    {"Efault1", false, "Defaults"},
    {"Wn1", false, "Offline edit"},
    // Not the generator's settings: EEPROM access and the bootloader.
    {"Se", true, nullptr},
    {"Wesave", false, nullptr},
    {"Sboot", false, nullptr},
    {"Fe", true, nullptr},
};

// The value of a prefix row as the label shows it: "12.500000" from "%f" becomes "12.5".
void TrimNumber(std::string& v) {
    if (v.find('.') == std::string::npos) return;
    for (char c : v)
        if ((c < '0' || c > '9') && c != '.' && c != '-' && c != '+') return;
    while (!v.empty() && v.back() == '0') v.pop_back();
    if (!v.empty() && v.back() == '.') v.pop_back();
}

}  // namespace

bool MarkerLabel(const char* text, char* label, std::size_t size) {
    if (text == nullptr || label == nullptr || size == 0) return false;
    if (std::strncmp(text, "cw ", 3) != 0) return false;
    std::string body(text + 3);
    while (!body.empty() && (body.back() == '\r' || body.back() == '\n')) body.pop_back();
    if (body.empty()) return false;
    std::string out;
    bool matched = false;
    for (const MarkerRow& row : kMarkerRows) {
        const std::size_t n = std::strlen(row.command);
        const bool hit = row.prefix ? body.compare(0, n, row.command) == 0 : body == row.command;
        if (!hit) continue;
        if (row.label == nullptr) return false;
        out = row.label;
        if (row.prefix) {
            std::string value = body.substr(n);
            TrimNumber(value);
            if (!value.empty()) out += " " + value;
        }
        matched = true;
        break;
    }
    // Any other write is one typed into the Reg: field.
    if (!matched) out = "Reg " + body;
    // Control bytes would break a CSV row or a drawn label.
    for (char& c : out)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = ' ';
    const std::size_t keep = std::min(out.size(), size - 1);
    std::memcpy(label, out.data(), keep);
    label[keep] = '\0';
    return true;
}

Recorder::Recorder() {
    series_.reserve(kSeriesCount);
    for (int i = 0; i < kSeriesCount; ++i) series_.emplace_back(kCapacity);
    markers_.reserve(kMarkerCapacity);
}

namespace {

// Samples stay in time order for LowerBound: a clock set back (summer time ending, a
// correction) puts the newer sample at the last one's time.
int64_t InOrder(const Ring& r, int64_t t_ms) {
    return r.size() > 0 ? std::max(t_ms, r[r.size() - 1].t_ms) : t_ms;
}

}  // namespace

void Recorder::OnReply(const Readings& readings, int64_t now_ms) {
    if (readings.replies == 0) return;
    for (int i = 0; i < kSeriesCount; ++i) {
        const Reading& r = readings[kSeries[i].quantity];
        if (r.reply != readings.replies) continue;
        const float v = static_cast<float>(r.value);
        // A value the device garbled is no point of the line, nor a break in it.
        if (!std::isfinite(v)) continue;
        Ring& ring = series_[i];
        ring.Push(Sample{InOrder(ring, now_ms), v});
        ++generation_;
    }
}

void Recorder::OnCommand(const char* text, int64_t now_ms) {
    Marker m{};
    if (!MarkerLabel(text, m.label, sizeof m.label)) return;
    m.t_ms = markers_.empty() ? now_ms : std::max(now_ms, markers_.back().t_ms);
    if (markers_.size() >= kMarkerCapacity) markers_.erase(markers_.begin());
    markers_.push_back(m);
    ++marker_count_;
    ++generation_;
}

void Recorder::OnPortOpened(int64_t now_ms) {
    for (Ring& ring : series_) {
        // One break is enough: a port opened twice without a sample needs no second.
        if (ring.size() > 0 && std::isnan(ring[ring.size() - 1].value)) continue;
        ring.Push(Sample{InOrder(ring, now_ms), std::nanf("")});
    }
    ++generation_;
}

void Recorder::Clear() {
    for (Ring& ring : series_) ring.Clear();
    markers_.clear();
    marker_count_ = 0;
    ++generation_;
}

const std::vector<Marker>& Recorder::markers() const {
    return markers_;
}

ColumnBuilder::ColumnBuilder(int64_t t0_ms, int64_t t1_ms, int columns, Column* out, int64_t gap_ms)
    : t0_(t0_ms), t1_(t1_ms), gap_(gap_ms), columns_(out == nullptr ? 0 : columns), out_(out) {
    for (int c = 0; c < columns_; ++c) out_[c] = Column{};
}

void ColumnBuilder::Add(const Sample& s) {
    if (columns_ <= 0 || s.t_ms < t0_ || s.t_ms >= t1_) return;
    if (!Finite(s.value)) {
        open_ = false;
        return;
    }
    const int c = static_cast<int>((s.t_ms - t0_) * columns_ / (t1_ - t0_));
    Column& o = out_[c];
    if (c != col_) {
        col_ = c;
        o.has = true;
        o.joined = open_ && s.t_ms - last_t_ < gap_;
        o.min = o.max = o.first = s.value;
    } else {
        o.min = std::min(o.min, s.value);
        o.max = std::max(o.max, s.value);
    }
    o.last = s.value;
    open_ = true;
    last_t_ = s.t_ms;
}

void Decimate(const Ring& ring, int64_t t0_ms, int64_t t1_ms, int columns, Column* out,
              int64_t gap_ms) {
    ColumnBuilder b(t0_ms, t1_ms, columns, out, gap_ms);
    for (std::size_t i = ring.LowerBound(t0_ms); i < ring.size() && ring[i].t_ms < t1_ms; ++i)
        b.Add(ring[i]);
}

Scale RoundScale(double min, double max, int max_ticks) {
    // Bounds far beyond any reading keep the arithmetic finite.
    constexpr double kLimit = 1e12;
    const bool min_ok = std::isfinite(min), max_ok = std::isfinite(max);
    if (!min_ok && !max_ok) {
        min = 0;
        max = 1;
    } else if (!min_ok) {
        min = max;
    } else if (!max_ok) {
        max = min;
    }
    if (min > max) std::swap(min, max);
    min = std::clamp(min, -kLimit, kLimit);
    max = std::clamp(max, -kLimit, kLimit);
    if (max - min < 1e-9 * std::max(1.0, std::fabs(max))) {
        // A flat line sits in the middle of a scale about a tenth of its value high.
        const double pad = min == 0 ? 0.5 : std::fabs(min) * 0.05;
        min -= pad;
        max += pad;
    }
    max_ticks = std::max(max_ticks, 2);
    const double raw = (max - min) / (max_ticks - 1);
    double mag = std::pow(10.0, std::floor(std::log10(raw)));
    static const double kMult[] = {1, 2, 5};
    for (int guard = 0; guard < 40; ++guard) {
        for (double m : kMult) {
            const double step = m * mag;
            const double lo = std::floor(min / step + 1e-9) * step;
            const double hi = std::ceil(max / step - 1e-9) * step;
            if (std::llround((hi - lo) / step) + 1 <= max_ticks) {
                const int decimals =
                    std::max(0, -static_cast<int>(std::floor(std::log10(step) + 1e-9)));
                return Scale{lo, hi, step, decimals};
            }
        }
        mag *= 10;
    }
    return Scale{min, max, max - min, 0};
}

std::vector<int64_t> TimeTicks(int64_t t0_ms, int64_t t1_ms, int max_ticks) {
    static const int64_t kSteps[] = {
        1000,   2000,   5000,    10000,   15000,   30000,    60000,    120000,   300000,
        600000, 900000, 1800000, 3600000, 7200000, 10800000, 21600000, 43200000, kMsPerDay,
    };
    std::vector<int64_t> ticks;
    if (t1_ms < t0_ms || max_ticks <= 0) return ticks;
    int64_t step = 0;
    for (int64_t s : kSteps) {
        if ((t1_ms - t0_ms) / s + 1 <= max_ticks) {
            step = s;
            break;
        }
    }
    // Longer than the table knows: whole days.
    if (step == 0) step = ((t1_ms - t0_ms) / max_ticks / kMsPerDay + 1) * kMsPerDay;
    for (int64_t t = -FloorDiv(-t0_ms, step) * step; t <= t1_ms; t += step) {
        if (static_cast<int>(ticks.size()) == max_ticks) break;
        ticks.push_back(t);
    }
    return ticks;
}

std::string IsoTime(int64_t t_ms) {
    const platform::LocalTime t = FromLocalMs(t_ms);
    char buf[32];
    if (!FormatBounded(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d", t.year, t.month, t.day,
                       t.hour, t.minute, t.second))
        return {};
    return buf;
}

std::string CsvField(const char* text) {
    std::string s(text);
    if (s.find_first_of(",\"\r\n") == std::string::npos) return s;
    std::string q = "\"";
    for (char c : s) {
        if (c == '"') q += '"';
        q += c;
    }
    return q + "\"";
}

std::string FormatValue(double v, int decimals) {
    char buf[64];
    if (!std::isfinite(v) || !FormatBounded(buf, sizeof buf, "%.*f", decimals, v)) return {};
    return buf;
}

std::string CsvOfSpan(const Recorder& r, int64_t t0_ms, int64_t t1_ms) {
    std::string csv = std::string(kCsvHeader) + "\n";
    std::size_t next[kSeriesCount];
    float value[kSeriesCount];
    bool fresh[kSeriesCount] = {};
    for (int i = 0; i < kSeriesCount; ++i) next[i] = r.series(i).LowerBound(t0_ms);
    const std::vector<Marker>& markers = r.markers();
    std::size_t m = 0;
    while (m < markers.size() && markers[m].t_ms < t0_ms) ++m;
    // The samples of all series and the markers merged by time.
    for (;;) {
        int pick = -1;
        int64_t t = 0;
        for (int i = 0; i < kSeriesCount; ++i) {
            const Ring& ring = r.series(i);
            if (next[i] >= ring.size() || ring[next[i]].t_ms > t1_ms) continue;
            if (pick < 0 || ring[next[i]].t_ms < t) {
                pick = i;
                t = ring[next[i]].t_ms;
            }
        }
        const bool marker_next =
            m < markers.size() && markers[m].t_ms <= t1_ms && (pick < 0 || markers[m].t_ms <= t);
        if (marker_next) {
            csv += IsoTime(markers[m].t_ms) + ",,,,,,," + CsvField(markers[m].label) + "\n";
            ++m;
            continue;
        }
        if (pick < 0) break;
        const float v = r.series(pick)[next[pick]++].value;
        if (std::isnan(v)) {
            // No row joins values from both sides of a break.
            std::fill(fresh, fresh + kSeriesCount, false);
            continue;
        }
        value[pick] = v;
        fresh[pick] = true;
        if (std::all_of(fresh, fresh + kSeriesCount, [](bool f) { return f; })) {
            csv += IsoTime(t);
            for (int i = 0; i < kSeriesCount; ++i)
                csv += "," + FormatValue(value[i], kSeries[i].decimals);
            csv += ",\n";
            std::fill(fresh, fresh + kSeriesCount, false);
        }
    }
    return csv;
}

}  // namespace chart
