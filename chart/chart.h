#pragma once
// The measurements kept for the chart: a fixed ring of samples for each of the six series that
// AutoRead brings, the commands that changed the generator as markers, and what a picture of a
// time span needs (columns of min/max, round ticks). The window program and `lumrax plot` draw
// from the same functions.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "generator/reply_parser.h"
#include "platform/types.h"

namespace chart {

// In the order of the strips and of the CSV columns (those of `lumrax monitor`).
constexpr int kSeriesCount = 6;
struct SeriesInfo {
    const char* title;  // "Antenna V peak"
    const char* csv;    // "vpeak_V"
    const char* unit;   // "V"
    Quantity quantity;
    int decimals;  // as the read-out shows it
};
extern const SeriesInfo kSeries[kSeriesCount];
constexpr const char* kCsvHeader = "time,vpeak_V,ipeak_A,vsupply_V,iavg_A,pavg_W,pcb_temp_C,marker";

// Local time in milliseconds on a plain calendar axis (days since 1970-01-01 as if UTC), so
// that a sample's position is its wall-clock time as the technician reads it.
int64_t LocalMs(const platform::LocalTime& t);
platform::LocalTime FromLocalMs(int64_t ms);

// A gap of this much between two samples of a series breaks its line (AutoRead brings each
// series about every 1.6 s).
constexpr int64_t kGapMs = 5000;

struct Sample {
    int64_t t_ms;
    float value;  // NaN: a break (the port was opened anew); never drawn, never joined across
};

// Oldest first; once full, each push drops the oldest. Its memory is taken once.
class Ring {
  public:
    explicit Ring(std::size_t capacity);
    void Push(const Sample& s);
    void Clear();
    std::size_t size() const { return size_; }
    std::size_t capacity() const { return buf_.size(); }
    const Sample& operator[](std::size_t i) const;  // 0: the oldest
    // The first index whose time is >= t_ms (size() when none); samples are in time order.
    std::size_t LowerBound(int64_t t_ms) const;

  private:
    std::vector<Sample> buf_;
    std::size_t head_ = 0;  // index of the oldest
    std::size_t size_ = 0;
};

constexpr std::size_t kMarkerLabelSize = 24;
struct Marker {
    int64_t t_ms;
    char label[kMarkerLabelSize];  // "PWM on", "f+", "Vlim 12", "Reg Wk 12.5"
};

// The short label of a command that changes the generator, or false for any other text
// (reads, EEPROM write enable, save, bootloader commands). text is what went to the port,
// e.g. "cw Wo1\r".
bool MarkerLabel(const char* text, char* label, std::size_t size);

class Recorder {
  public:
    static constexpr std::size_t kCapacity = 86400;  // a series: 24 h at one sample a second
    static constexpr std::size_t kMarkerCapacity = 4096;
    Recorder();
    // After a reply was parsed: takes each of the six readings that this reply brought.
    void OnReply(const Readings& readings, int64_t now_ms);
    // After text went to the port: a marker when it changes the generator.
    void OnCommand(const char* text, int64_t now_ms);
    // COM Start (or a port reopened): no line joins samples across it.
    void OnPortOpened(int64_t now_ms);
    void Clear();
    const Ring& series(int i) const { return series_[i]; }
    const std::vector<Marker>& markers() const;  // oldest first, at most kMarkerCapacity
    // Markers recorded since the start, the dropped ones too: a reader that noted it knows
    // which of markers() are new.
    uint64_t marker_count() const { return marker_count_; }
    // Changes with every sample, marker or clear: a view redraws only when it moved.
    uint64_t generation() const { return generation_; }
    static constexpr std::size_t MemoryBytes() {
        return kSeriesCount * kCapacity * sizeof(Sample) + kMarkerCapacity * sizeof(Marker);
    }

  private:
    std::vector<Ring> series_;
    std::vector<Marker> markers_;
    uint64_t marker_count_ = 0;
    uint64_t generation_ = 0;
};
extern Recorder g_chart;

// One pixel column of a strip: the samples whose time falls into it.
struct Column {
    bool has = false;     // any sample in the column
    bool joined = false;  // a line runs to first from the last sample of the nearest
                          // column before that has one
    float min = 0, max = 0, first = 0, last = 0;
};
// Reduces the samples in [t0_ms, t1_ms) to `columns` columns of equal time. A line joins two
// neighbouring samples only when they are less than kGapMs apart and no break lies between.
// gap_ms: another gap for samples whose times are coarser than the recorder's (a CSV file's
// whole seconds).
void Decimate(const Ring& ring, int64_t t0_ms, int64_t t1_ms, int columns, Column* out,
              int64_t gap_ms = kGapMs);
// The same for samples handed one by one in time order, as a file is read.
class ColumnBuilder {
  public:
    // out holds columns entries, emptied here.
    ColumnBuilder(int64_t t0_ms, int64_t t1_ms, int columns, Column* out, int64_t gap_ms = kGapMs);
    void Add(const Sample& s);

  private:
    int64_t t0_, t1_, gap_;
    int columns_;
    Column* out_;
    bool open_ = false;  // a line may start from the last sample
    int64_t last_t_ = 0;
    int col_ = -1;
};

// A vertical scale with round ticks (1, 2 or 5 times a power of ten) that holds [lo, hi].
struct Scale {
    double lo, hi, step;
    int decimals;  // for the tick labels
};
Scale RoundScale(double min, double max, int max_ticks);
// Round time ticks (1, 2, 5, 10, 15, 30 s; 1, 2, 5, 10, 15, 30 min; 1, 2, 3, 6, 12 h) in
// [t0_ms, t1_ms], at most max_ticks of them.
std::vector<int64_t> TimeTicks(int64_t t0_ms, int64_t t1_ms, int max_ticks);

// The spans of the window's view, keys 1 to 4.
constexpr int kSpanCount = 4;
constexpr int64_t kSpansMs[kSpanCount] = {60000, 600000, 3600000, 86400000};
extern const char* const kSpanNames[kSpanCount];  // "1 min", "10 min", "1 h", "24 h"

// The samples of [t0_ms, t1_ms] as CSV with kCsvHeader: a row for each complete cycle (each
// series newer than in the row before), one with only the time and the label for each marker.
std::string CsvOfSpan(const Recorder& r, int64_t t0_ms, int64_t t1_ms);
// The pieces of those rows: the time as 2024-03-05T14:07:09 (whole seconds), a value with the
// read-out's decimals (empty for NaN or inf), a label quoted when it holds a comma or quote.
std::string IsoTime(int64_t t_ms);
std::string FormatValue(double v, int decimals);
std::string CsvField(const char* text);

}  // namespace chart
