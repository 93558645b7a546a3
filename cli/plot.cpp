#include "cli/plot.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <tuple>
#include <vector>

#include "chart/chart.h"
#include "cli/cli_platform.h"
#include "cli/output_file.h"
#include "platform/text_format.h"

namespace cli {

bool ParseIsoTime(const std::string& text, int64_t& ms) {
    int f[6] = {};
    const int widths[6] = {4, 2, 2, 2, 2, 2};
    const char seps[6] = {'-', '-', 'T', ':', ':', '\0'};
    std::size_t at = 0;
    for (int i = 0; i < 6; ++i) {
        for (int k = 0; k < widths[i]; ++k, ++at) {
            if (at >= text.size() || text[at] < '0' || text[at] > '9') return false;
            f[i] = f[i] * 10 + (text[at] - '0');
        }
        if (seps[i] != '\0') {
            if (at >= text.size() || text[at] != seps[i]) return false;
            ++at;
        }
    }
    int milli = 0;
    if (at < text.size()) {
        // A fraction of the second: its first three digits count.
        if (text[at] != '.' || at + 1 == text.size()) return false;
        int scale = 100;
        for (++at; at < text.size(); ++at, scale /= 10) {
            if (text[at] < '0' || text[at] > '9') return false;
            milli += (text[at] - '0') * scale;
        }
    }
    platform::LocalTime t{f[0], f[1], f[2], f[3], f[4], f[5], milli};
    if (t.month < 1 || t.month > 12 || t.day < 1 || t.hour > 23 || t.minute > 59 || t.second > 59)
        return false;
    ms = chart::LocalMs(t);
    // A day that the month does not have (2023-02-29) comes back as another date.
    const platform::LocalTime back = chart::FromLocalMs(ms);
    return back.month == t.month && back.day == t.day;
}

namespace {

// The file's times are whole seconds: a cycle of 4.1 s can read as 5 s apart, which is no
// gap yet.
constexpr int64_t kCsvGapMs = chart::kGapMs + 1;
// A line of monitor is under 100 bytes; a longer one than this is no line of such a file.
constexpr std::size_t kMaxLine = 4096;
constexpr std::size_t kMaxMarkers = chart::Recorder::kMarkerCapacity;

// The picture: six strips above one time axis, tick labels to the left, the latest value
// to the right.
constexpr int kWidth = 1200;
constexpr int kLeft = 90, kRight = 150, kTop = 48, kStrip = 110, kStripGap = 14, kBottom = 44;
constexpr int kPlotWidth = kWidth - kLeft - kRight;  // also the pixel columns
constexpr int kHeight =
    kTop + chart::kSeriesCount * kStrip + (chart::kSeriesCount - 1) * kStripGap + kBottom;
const char* const kColours[chart::kSeriesCount] = {"#1f77b4", "#d62728", "#2ca02c",
                                                   "#9467bd", "#ff7f0e", "#8c564b"};

struct Row {
    int64_t t = 0;
    bool has[chart::kSeriesCount] = {};
    double value[chart::kSeriesCount] = {};
    std::string marker;
};

// Reads the CSV one line at a time: the header first, then rows, each error naming its line.
class CsvReader {
  public:
    ~CsvReader() {
        if (file_ != nullptr) std::fclose(file_);
    }
    // kExitDone; kExitLocalFile when it cannot be read; kExitFileRefused for a file too large
    // or a header without the columns.
    int Open(const std::string& path, std::string& error);
    bool Rewind(std::string& error);
    // 1: a row; 0: the end; -1: an error.
    int Next(Row& row, std::string& error);
    long line() const { return line_; }
    bool has_marker() const { return marker_col_ >= 0; }

  private:
    // 1, 0 or -1 as Next; the line without its end in line_text_.
    int ReadLine(std::string& error);
    bool Split(std::string& error);
    bool Header(std::string& error);
    std::string At(const std::string& what) const {
        return "line " + std::to_string(line_) + ": " + what;
    }

    std::FILE* file_ = nullptr;
    std::string path_;
    long line_ = 0;
    std::string line_text_;
    std::vector<std::string> fields_;
    std::size_t field_count_ = 0;
    int time_col_ = -1, marker_col_ = -1;
    int series_col_[chart::kSeriesCount] = {};
};

int CsvReader::Open(const std::string& path, std::string& error) {
    path_ = path;
    errno = 0;
    const PathKind kind = KindOf(path);
    if (kind != PathKind::kRegular) {
        error = kind == PathKind::kMissing ? std::string("no such file")
                : errno != 0               ? std::string(std::strerror(errno))
                                           : std::string("not a regular file");
        return kExitLocalFile;
    }
    file_ = std::fopen(path.c_str(), "rb");
    if (file_ == nullptr) {
        error = std::strerror(errno);
        return kExitLocalFile;
    }
    // Its size before anything is read: a file this large is no run of monitor.
    const bool sized = std::fseek(file_, 0, SEEK_END) == 0;
    const long size = sized ? std::ftell(file_) : -1;
    if (size < 0 || static_cast<uint64_t>(size) > kMaxPlotCsvBytes) {
        error = size < 0 ? "its size cannot be told (over 2 GiB?)"
                         : std::to_string(size) + " bytes, more than the " +
                               std::to_string(kMaxPlotCsvBytes >> 20) + " MiB taken";
        return kExitFileRefused;
    }
    return Rewind(error) ? kExitDone : kExitFileRefused;
}

bool CsvReader::Rewind(std::string& error) {
    if (std::fseek(file_, 0, SEEK_SET) != 0) {
        error = std::strerror(errno);
        return false;
    }
    line_ = 0;
    return Header(error);
}

int CsvReader::ReadLine(std::string& error) {
    line_text_.clear();
    char buf[512];
    for (;;) {
        if (std::fgets(buf, sizeof buf, file_) == nullptr) {
            if (std::ferror(file_)) {
                error = At(std::string("cannot be read: ") + std::strerror(errno));
                return -1;
            }
            if (line_text_.empty()) return 0;
            break;
        }
        const std::size_t n = std::strlen(buf);
        line_text_.append(buf, n);
        if (line_text_.size() > kMaxLine + 2) {
            ++line_;
            error = At("longer than " + std::to_string(kMaxLine) + " bytes");
            return -1;
        }
        if (n > 0 && buf[n - 1] == '\n') break;
    }
    ++line_;
    while (!line_text_.empty() && (line_text_.back() == '\n' || line_text_.back() == '\r'))
        line_text_.pop_back();
    if (line_text_.find('\0') != std::string::npos) {
        error = At("holds a NUL byte: not a text file");
        return -1;
    }
    return 1;
}

// The fields of line_text_; a field in double quotes may hold commas and "" for a quote.
bool CsvReader::Split(std::string& error) {
    fields_.clear();
    const std::string& s = line_text_;
    std::size_t i = 0;
    for (;;) {
        std::string f;
        if (i < s.size() && s[i] == '"') {
            ++i;
            for (;;) {
                if (i >= s.size()) {
                    error = At("a quoted field has no closing quote");
                    return false;
                }
                if (s[i] == '"') {
                    if (i + 1 < s.size() && s[i + 1] == '"') {
                        f += '"';
                        i += 2;
                        continue;
                    }
                    ++i;
                    break;
                }
                f += s[i++];
            }
            if (i < s.size() && s[i] != ',') {
                error = At("text after a quoted field");
                return false;
            }
        } else {
            const std::size_t end = std::min(s.find(',', i), s.size());
            f = s.substr(i, end - i);
            i = end;
        }
        fields_.push_back(std::move(f));
        if (i >= s.size()) return true;
        ++i;  // the comma
    }
}

bool CsvReader::Header(std::string& error) {
    const int got = ReadLine(error);
    if (got < 0) return false;
    if (got == 0) {
        error = "line 1: an empty file, no header";
        return false;
    }
    if (!Split(error)) return false;
    field_count_ = fields_.size();
    auto find = [&](const char* name) {
        for (std::size_t i = 0; i < fields_.size(); ++i)
            if (fields_[i] == name) return static_cast<int>(i);
        return -1;
    };
    time_col_ = find("time");
    marker_col_ = find("marker");
    std::string missing = time_col_ < 0 ? "time" : "";
    for (int i = 0; i < chart::kSeriesCount; ++i) {
        series_col_[i] = find(chart::kSeries[i].csv);
        if (series_col_[i] < 0)
            missing += std::string(missing.empty() ? "" : ", ") + chart::kSeries[i].csv;
    }
    if (!missing.empty()) {
        error = At("no column " + missing + " in the header (" + std::string(chart::kCsvHeader) +
                   ", marker optional)");
        return false;
    }
    return true;
}

int CsvReader::Next(Row& row, std::string& error) {
    int got;
    do {
        got = ReadLine(error);
        if (got <= 0) return got;
    } while (line_text_.empty());
    if (!Split(error)) return -1;
    if (fields_.size() != field_count_) {
        error = At(std::to_string(fields_.size()) + " fields, the header has " +
                   std::to_string(field_count_));
        return -1;
    }
    row = Row{};
    if (!ParseIsoTime(fields_[time_col_], row.t)) {
        error = At("time \"" + fields_[time_col_].substr(0, 40) +
                   "\" is not a local time like 2024-03-05T14:07:09");
        return -1;
    }
    for (int i = 0; i < chart::kSeriesCount; ++i) {
        const std::string& f = fields_[series_col_[i]];
        if (f.empty()) continue;  // not reported in this cycle, or a marker row
        errno = 0;
        char* end = nullptr;
        const double v = std::strtod(f.c_str(), &end);
        if (end == f.c_str() || *end != '\0' || errno == ERANGE || !std::isfinite(v) ||
            std::isspace(static_cast<unsigned char>(f[0]))) {
            error = At(std::string(chart::kSeries[i].csv) + " \"" + f.substr(0, 40) +
                       "\" is not a number");
            return -1;
        }
        row.has[i] = true;
        row.value[i] = v;
    }
    if (marker_col_ >= 0) row.marker = fields_[marker_col_];
    return 1;
}

// What the first reading found in the span.
struct Survey {
    long lines = 0;  // the lines read, the header too
    long rows = 0;   // rows in the span
    int64_t first = 0, last = 0;
    std::size_t count[chart::kSeriesCount] = {};
    double min[chart::kSeriesCount], max[chart::kSeriesCount];
    double latest[chart::kSeriesCount] = {};
    std::size_t markers = 0;
};

std::string Num(double v) {
    char buf[32];
    FormatBounded(buf, sizeof buf, "%.1f", v);
    return buf;
}

// Device and user texts are single-byte (Windows-1252) strings; the SVG is UTF-8, so they are
// carried as Latin-1, as the JSON output does.
std::string Xml(const std::string& s) {
    std::string out;
    for (char ch : s) {
        const unsigned char c = static_cast<unsigned char>(ch);
        if (c == '&') {
            out += "&amp;";
        } else if (c == '<') {
            out += "&lt;";
        } else if (c == '>') {
            out += "&gt;";
        } else if (c == '"') {
            out += "&quot;";
        } else if (c < 0x20 || c == 0x7F) {
            out += ' ';
        } else if (c >= 0x80) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += ch;
        }
    }
    return out;
}

std::string TimeLabel(int64_t t_ms, bool with_date) {
    const platform::LocalTime t = chart::FromLocalMs(t_ms);
    char buf[32];
    if (with_date) {
        FormatBounded(buf, sizeof buf, "%02d-%02d %02d:%02d", t.month, t.day, t.hour, t.minute);
    } else {
        FormatBounded(buf, sizeof buf, "%02d:%02d:%02d", t.hour, t.minute, t.second);
    }
    return buf;
}

// One series of the span: its samples as they are when fewer than the pixel columns, else its
// columns.
struct Trace {
    std::vector<chart::Sample> samples;
    std::vector<chart::Column> columns;
    chart::ColumnBuilder* builder = nullptr;
};

class Picture {
  public:
    Picture(int64_t t0, int64_t t1) : t0_(t0), t1_(t1) {}
    double X(int64_t t) const {
        return kLeft + static_cast<double>(t - t0_) * kPlotWidth / static_cast<double>(t1_ - t0_);
    }
    std::string Svg(const std::string& title, const Survey& survey, const Trace* traces,
                    const std::vector<chart::Marker>& markers) const;

  private:
    void Strip(std::string& svg, int i, const Survey& survey, const Trace& trace) const;
    int64_t t0_, t1_;
};

void Picture::Strip(std::string& svg, int i, const Survey& survey, const Trace& trace) const {
    const chart::SeriesInfo& info = chart::kSeries[i];
    const int top = kTop + i * (kStrip + kStripGap), bottom = top + kStrip;
    const bool any = survey.count[i] > 0;
    const chart::Scale sc =
        chart::RoundScale(any ? survey.min[i] : NAN, any ? survey.max[i] : NAN, 5);
    auto y = [&](double v) { return bottom - (v - sc.lo) / (sc.hi - sc.lo) * kStrip; };
    svg += "<g class=\"strip\" data-series=\"" + std::string(info.csv) + "\" data-lo=\"" +
           chart::FormatValue(sc.lo, sc.decimals) + "\" data-hi=\"" +
           chart::FormatValue(sc.hi, sc.decimals) + "\" data-top=\"" + std::to_string(top) +
           "\" data-bottom=\"" + std::to_string(bottom) + "\">\n";
    svg += "<rect x=\"" + std::to_string(kLeft) + "\" y=\"" + std::to_string(top) + "\" width=\"" +
           std::to_string(kPlotWidth) + "\" height=\"" + std::to_string(kStrip) +
           "\" fill=\"none\" stroke=\"#888\"/>\n";
    const int ticks = static_cast<int>(std::llround((sc.hi - sc.lo) / sc.step));
    for (int k = 0; k <= ticks; ++k) {
        const double v = sc.lo + k * sc.step;
        const std::string ys = Num(y(v));
        svg += "<line x1=\"" + std::to_string(kLeft) + "\" y1=\"" + ys + "\" x2=\"" +
               std::to_string(kLeft + kPlotWidth) + "\" y2=\"" + ys +
               "\" stroke=\"#ddd\"/><text class=\"tick\" x=\"" + std::to_string(kLeft - 6) +
               "\" y=\"" + Num(y(v) + 4) + "\" text-anchor=\"end\" font-size=\"11\">" +
               chart::FormatValue(v, sc.decimals) + "</text>\n";
    }
    svg += "<text class=\"name\" x=\"" + std::to_string(kLeft + 6) + "\" y=\"" +
           std::to_string(top + 15) + "\" font-size=\"13\" font-weight=\"bold\">" + info.title +
           " (" + info.unit + ")</text>\n";
    // The runs of the line, each a polyline; a lone sample is a dot.
    std::vector<std::string> runs;
    std::string run;
    auto point = [&](double x, double v) {
        run += (run.empty() ? "" : " ") + Num(x) + "," + Num(y(v));
    };
    auto end_run = [&]() {
        if (!run.empty()) runs.push_back(run);
        run.clear();
    };
    if (trace.columns.empty()) {
        for (std::size_t k = 0; k < trace.samples.size(); ++k) {
            const chart::Sample& s = trace.samples[k];
            if (std::isnan(s.value)) continue;
            if (k > 0 && s.t_ms - trace.samples[k - 1].t_ms >= kCsvGapMs) end_run();
            point(X(s.t_ms), s.value);
        }
    } else {
        for (int c = 0; c < kPlotWidth; ++c) {
            const chart::Column& col = trace.columns[c];
            if (!col.has) continue;
            if (!col.joined) end_run();
            const double x = kLeft + (c + 0.5);
            point(x, col.first);
            if (col.min != col.max) {
                point(x, col.first == col.min ? col.max : col.min);
                point(x, col.first == col.min ? col.min : col.max);
            }
            if (col.last != col.first || col.min != col.max) point(x, col.last);
        }
    }
    end_run();
    for (const std::string& r : runs) {
        // A run of one point is drawn twice so that its round cap shows it.
        const std::string pts = r.find(' ') == std::string::npos ? r + " " + r : r;
        svg += "<polyline class=\"line\" points=\"" + pts + "\" fill=\"none\" stroke=\"" +
               kColours[i] +
               "\" stroke-width=\"1.5\" stroke-linejoin=\"round\" stroke-linecap=\"round\"/>\n";
    }
    const std::string latest = any ? chart::FormatValue(survey.latest[i], info.decimals) : "-";
    svg += "<text class=\"latest\" x=\"" + std::to_string(kWidth - 10) + "\" y=\"" +
           std::to_string(top + kStrip / 2 + 9) +
           "\" text-anchor=\"end\" font-size=\"26\" fill=\"" + kColours[i] + "\">" + latest + " " +
           info.unit + "</text>\n</g>\n";
}

std::string Picture::Svg(const std::string& title, const Survey& survey, const Trace* traces,
                         const std::vector<chart::Marker>& markers) const {
    const int last_bottom = kHeight - kBottom;
    std::string svg = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
    svg += "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + std::to_string(kWidth) +
           "\" height=\"" + std::to_string(kHeight) + "\" viewBox=\"0 0 " + std::to_string(kWidth) +
           " " + std::to_string(kHeight) + "\" font-family=\"sans-serif\" data-t0=\"" +
           chart::IsoTime(t0_) + "\" data-t0-ms=\"" + std::to_string(t0_ % 1000) + "\" data-t1=\"" +
           chart::IsoTime(t1_) + "\" data-t1-ms=\"" + std::to_string(t1_ % 1000) +
           "\" data-left=\"" + std::to_string(kLeft) + "\" data-right=\"" +
           std::to_string(kLeft + kPlotWidth) +
           "\">\n<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n";
    svg += "<text x=\"" + std::to_string(kLeft) + "\" y=\"24\" font-size=\"15\">" + Xml(title) +
           "  " + chart::IsoTime(t0_) + " to " + chart::IsoTime(t1_) + "</text>\n";
    // Time ticks about every 100 pixels, with the date when the span is longer than a day.
    const bool with_date = t1_ - t0_ > 86400000;
    for (int64_t t : chart::TimeTicks(t0_, t1_, kPlotWidth / 100)) {
        const std::string x = Num(X(t));
        svg += "<line x1=\"" + x + "\" y1=\"" + std::to_string(kTop) + "\" x2=\"" + x + "\" y2=\"" +
               std::to_string(last_bottom) + "\" stroke=\"#eee\"/><text class=\"time\" x=\"" + x +
               "\" y=\"" + std::to_string(last_bottom + 18) +
               "\" text-anchor=\"middle\" font-size=\"11\">" + TimeLabel(t, with_date) +
               "</text>\n";
    }
    for (int i = 0; i < chart::kSeriesCount; ++i) Strip(svg, i, survey, traces[i]);
    for (const chart::Marker& m : markers) {
        const std::string x = Num(X(m.t_ms));
        svg += "<g class=\"marker\"><line x1=\"" + x + "\" y1=\"" + std::to_string(kTop - 8) +
               "\" x2=\"" + x + "\" y2=\"" + std::to_string(last_bottom) +
               "\" stroke=\"#444\" stroke-width=\"0.7\" stroke-dasharray=\"3,2\"/><text x=\"" + x +
               "\" y=\"" + std::to_string(kTop - 11) + "\" font-size=\"10\" fill=\"#444\">" +
               Xml(m.label) + "</text></g>\n";
    }
    return svg + "</svg>\n";
}

class Plot {
  public:
    explicit Plot(Context& ctx) : ctx_(ctx) {}
    int Run();

  private:
    int Refuse(const std::string& what) {
        return ctx_.out.Fail(kExitFileRefused, ctx_.opt.args[0] + ": " + what);
    }
    bool InSpan(int64_t t) const { return t >= from_ && t <= to_; }
    // The whole file: checked and surveyed. kExitDone, or the code of its line.
    int Scan();
    int Draw();

    Context& ctx_;
    CsvReader csv_;
    int64_t from_ = INT64_MIN, to_ = INT64_MAX;
    Survey survey_;
};

int Plot::Scan() {
    std::string error;
    Row row;
    int64_t previous = INT64_MIN;
    for (int got; (got = csv_.Next(row, error)) != 0;) {
        if (got < 0) return Refuse(error);
        if (row.t < previous)
            return Refuse("line " + std::to_string(csv_.line()) + ": time " +
                          chart::IsoTime(row.t) + " is before the line above (" +
                          chart::IsoTime(previous) + "): the rows are not in time order");
        previous = row.t;
        if (!InSpan(row.t)) continue;
        Survey& s = survey_;
        if (s.rows++ == 0) s.first = row.t;
        s.last = row.t;
        for (int i = 0; i < chart::kSeriesCount; ++i) {
            if (!row.has[i]) continue;
            const double v = row.value[i];
            s.min[i] = s.count[i] == 0 ? v : std::min(s.min[i], v);
            s.max[i] = s.count[i] == 0 ? v : std::max(s.max[i], v);
            s.latest[i] = v;
            ++s.count[i];
        }
        if (!row.marker.empty()) ++s.markers;
    }
    survey_.lines = csv_.line();
    return kExitDone;
}

int Plot::Draw() {
    const Options& opt = ctx_.opt;
    const Survey& s = survey_;
    const int64_t t0 = opt.from.empty() ? s.first : from_;
    int64_t t1 = opt.to.empty() ? s.last : to_;
    // A single moment still gets an axis: the second it names.
    if (t1 <= t0) t1 = t0 + 1000;
    Picture picture(t0, t1);
    Trace traces[chart::kSeriesCount];
    std::vector<chart::ColumnBuilder> builders;
    builders.reserve(chart::kSeriesCount);
    for (int i = 0; i < chart::kSeriesCount; ++i) {
        if (s.count[i] <= static_cast<std::size_t>(kPlotWidth)) {
            traces[i].samples.reserve(s.count[i]);
            continue;
        }
        traces[i].columns.resize(kPlotWidth);
        // The end is inside: the last sample has the last column.
        builders.emplace_back(t0, t1 + 1, kPlotWidth, traces[i].columns.data(), kCsvGapMs);
        traces[i].builder = &builders.back();
    }
    std::vector<chart::Marker> markers;
    std::string error;
    if (!csv_.Rewind(error)) return Refuse(error);
    Row row;
    // The lines that the survey checked; a file that grew since is read no further.
    while (csv_.line() < s.lines) {
        const int got = csv_.Next(row, error);
        if (got < 0) return Refuse(error);
        if (got == 0) break;
        if (!InSpan(row.t)) continue;
        for (int i = 0; i < chart::kSeriesCount; ++i) {
            if (!row.has[i]) continue;
            const chart::Sample sample{row.t, static_cast<float>(row.value[i])};
            if (traces[i].builder != nullptr) {
                traces[i].builder->Add(sample);
            } else if (traces[i].samples.size() < s.count[i]) {
                traces[i].samples.push_back(sample);
            }
        }
        if (!row.marker.empty() && markers.size() < kMaxMarkers) {
            chart::Marker m{};
            m.t_ms = row.t;
            FormatBounded(m.label, sizeof m.label, "%.*s", static_cast<int>(sizeof m.label - 1),
                          row.marker.c_str());
            markers.push_back(m);
        }
    }
    const std::string name = opt.args[0].substr(opt.args[0].find_last_of("/\\") + 1);
    const std::string svg = picture.Svg(name, s, traces, markers);

    OutputFile out;
    std::string reason;
    if (!out.Open(opt.out, reason))
        return ctx_.out.Fail(kExitLocalFile, "cannot create " + opt.out + ": " + reason);
    out.Write(svg);
    if (!out.Keep(reason))
        return ctx_.out.Fail(kExitLocalFile, "cannot write " + opt.out + ": " + reason);
    if (ctx_.out.json()) {
        ctx_.out.Emit(JsonLine("result")
                          .Str("command", "plot")
                          .Int("rows", s.rows)
                          .Int("markers", static_cast<int64_t>(markers.size()))
                          .Str("out", opt.out));
    } else {
        ctx_.out.Write(std::to_string(s.rows) + " rows, " + std::to_string(markers.size()) +
                       " markers into " + opt.out + "\n");
    }
    return kExitDone;
}

int Plot::Run() {
    const Options& opt = ctx_.opt;
    if (opt.out.empty()) return ctx_.out.Fail(kExitUsage, "plot needs --out FILE.svg");
    for (const auto& [name, text, value] :
         {std::make_tuple("--from", &opt.from, &from_), std::make_tuple("--to", &opt.to, &to_)}) {
        if (!text->empty() && !ParseIsoTime(*text, *value))
            return ctx_.out.Fail(kExitUsage, std::string(name) + " " + *text +
                                                 ": not a local time like 2024-03-05T14:07:09");
    }
    if (from_ > to_)
        return ctx_.out.Fail(kExitFileRefused,
                             "--from " + opt.from + " is after --to " + opt.to + ": an empty span");
    std::string error;
    const int opened = csv_.Open(opt.args[0], error);
    if (opened == kExitLocalFile)
        return ctx_.out.Fail(kExitLocalFile, "cannot read " + opt.args[0] + ": " + error);
    if (opened != kExitDone) return Refuse(error);
    const int rc = Scan();
    if (rc != kExitDone) return rc;
    if (survey_.rows == 0) {
        return Refuse(opt.from.empty() && opt.to.empty()
                          ? "line " + std::to_string(survey_.lines) + ": no rows after the header"
                          : "no rows from " + (opt.from.empty() ? "the start" : opt.from) + " to " +
                                (opt.to.empty() ? "the end" : opt.to) + " (line " +
                                std::to_string(survey_.lines) + " is the last)");
    }
    return Draw();
}

}  // namespace

int RunPlot(Context& ctx) {
    Plot p(ctx);
    return p.Run();
}

}  // namespace cli
