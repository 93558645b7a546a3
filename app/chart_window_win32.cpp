// The chart window: draws the recorder's strips into a memory bitmap when something changed
// and only copies that bitmap on WM_PAINT, so that an open chart costs little beside AutoRead.
#include <windows.h>
#include <commdlg.h>
#include <wincodec.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "app/chart_layout.h"
#include "app/chart_window.h"
#include "app/settings.h"
#include "chart/chart.h"
#include "platform/console.h"
#include "platform/env.h"
#include "platform/env_win32.h"
#include "platform/file_replace.h"
#include "platform/text_format.h"

using chartview::Box;
using chartview::Layout;
using chartview::Scaled;
using platform::ToHwnd;
using platform::ToWnd;

namespace {

constexpr char kClassName[] = "LUM_RAX_COM_chart";
constexpr UINT_PTR kTimerId = 1;
// Samples come about once a second; a check twice as often keeps the curve current.
constexpr UINT kTimerMs = 500;
constexpr int kDefaultWidth = 760;
constexpr std::size_t kPathSize = MAX_PATH;

enum : int { kSpanButton = 100, kPauseButton = 110, kClearButton, kSaveCsvButton, kSavePngButton };
struct ButtonRow {
    int id;
    const char* text;
};
const ButtonRow kButtons[] = {
    {kSpanButton + 0, "1 min"},   {kSpanButton + 1, "10 min"},  {kSpanButton + 2, "1 h"},
    {kSpanButton + 3, "24 h"},    {kPauseButton, "Pause"},      {kClearButton, "Clear"},
    {kSaveCsvButton, "Save CSV"}, {kSavePngButton, "Save PNG"},
};
constexpr int kButtonCount = sizeof kButtons / sizeof kButtons[0];

const COLORREF kSeriesColor[chart::kSeriesCount] = {
    RGB(0, 90, 200),  RGB(200, 30, 30),  RGB(0, 140, 60),
    RGB(220, 120, 0), RGB(130, 50, 170), RGB(0, 140, 150),
};
constexpr COLORREF kWindowColor = RGB(240, 240, 240);
constexpr COLORREF kPlotColor = RGB(255, 255, 255);
constexpr COLORREF kGridColor = RGB(230, 230, 230);
constexpr COLORREF kFrameColor = RGB(170, 170, 170);
constexpr COLORREF kMarkerColor = RGB(96, 96, 96);
constexpr COLORREF kTextColor = RGB(32, 32, 32);

struct ChartWindow {
    HWND hwnd = nullptr;
    HWND buttons[kButtonCount] = {};
    chartview::View view;
    int dpi = 96;
    HFONT font = nullptr, big_font = nullptr;
    // The picture as last drawn; WM_PAINT copies it.
    HDC mem = nullptr;
    HBITMAP bitmap = nullptr, old_bitmap = nullptr;
    int width = 0, height = 0;
    uint64_t drawn_generation = 0;
    bool dirty = true;
    bool trace = false;  // LRX_CHART_TRACE: each picture's geometry on the console
    std::vector<chart::Column> columns[chart::kSeriesCount];
};
ChartWindow g_win;

int64_t NowMs() {
    return chart::LocalMs(platform::Sys().Now());
}

int WindowDpi(HWND w) {
    // Windows 10 1607 and later; older systems and Wine's older versions have the DC's.
    using GetDpiForWindowFn = UINT(WINAPI*)(HWND);
    static const auto get_dpi = reinterpret_cast<GetDpiForWindowFn>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("user32.dll"), "GetDpiForWindow")));
    if (get_dpi != nullptr) {
        const UINT dpi = get_dpi(w);
        if (dpi != 0) return static_cast<int>(dpi);
    }
    HDC dc = GetDC(w);
    const int dpi = GetDeviceCaps(dc, LOGPIXELSY);
    ReleaseDC(w, dc);
    return dpi > 0 ? dpi : 96;
}

HFONT MakeFont(int px, int weight) {
    return CreateFontA(-px, 0, 0, 0, weight, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                       OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                       DEFAULT_PITCH | FF_SWISS, "Arial");
}

void FillBox(HDC dc, const Box& b, COLORREF color) {
    SetDCBrushColor(dc, color);
    const RECT r{b.left, b.top, b.right, b.bottom};
    FillRect(dc, &r, static_cast<HBRUSH>(GetStockObject(DC_BRUSH)));
}

void Line(HDC dc, int x0, int y0, int x1, int y1) {
    MoveToEx(dc, x0, y0, nullptr);
    LineTo(dc, x1, y1);
}

void Text(HDC dc, const Box& b, const char* text, UINT format) {
    RECT r{b.left, b.top, b.right, b.bottom};
    DrawTextA(dc, text, -1, &r, format | DT_SINGLELINE | DT_NOPREFIX);
}

// A pen that the caller selects and deletes through its guard.
struct Pen {
    HPEN pen;
    HDC dc;
    HGDIOBJ old;
    Pen(HDC d, COLORREF color, int width)
        : pen(CreatePen(PS_SOLID, width, color)), dc(d), old(SelectObject(d, pen)) {}
    ~Pen() {
        SelectObject(dc, old);
        DeleteObject(pen);
    }
    Pen(const Pen&) = delete;
    Pen& operator=(const Pen&) = delete;
};

// The newest readable value of a series, whatever the view shows.
bool Latest(const chart::Ring& ring, float& value) {
    for (std::size_t i = ring.size(); i-- > 0;) {
        if (std::isfinite(ring[i].value)) {
            value = ring[i].value;
            return true;
        }
    }
    return false;
}

void TimeLabel(int64_t t_ms, int64_t span_ms, char* out, std::size_t size) {
    const platform::LocalTime t = chart::FromLocalMs(t_ms);
    if (span_ms <= chart::kSpansMs[1]) {
        FormatBounded(out, size, "%02d:%02d:%02d", t.hour, t.minute, t.second);
    } else {
        FormatBounded(out, size, "%02d:%02d", t.hour, t.minute);
    }
}

// What every part of one picture needs.
struct Frame {
    HDC dc;
    Layout l;
    int64_t t0, t1;
    int cols;
    std::vector<int64_t> ticks;
    int time_label_px;
};

void DrawStatus(const Frame& f, bool file) {
    const chartview::View& v = g_win.view;
    char range[2][16], text[96];
    TimeLabel(f.t0, chart::kSpansMs[0], range[0], sizeof range[0]);
    TimeLabel(f.t1, chart::kSpansMs[0], range[1], sizeof range[1]);
    FormatBounded(text, sizeof text, "%s  %s - %s%s", chart::kSpanNames[v.span], range[0], range[1],
                  v.paused ? "  paused" : "");
    const int left =
        Scaled(chartview::kMargin +
                   (file ? 0 : kButtonCount * (chartview::kButtonWidth + chartview::kButtonGap)),
               g_win.dpi);
    SetTextColor(f.dc, kTextColor);
    Text(
        f.dc,
        Box{left, f.l.bar.top, f.l.bar.right - Scaled(chartview::kMargin, f.l.dpi), f.l.bar.bottom},
        text, (file ? DT_LEFT : DT_RIGHT) | DT_VCENTER);
}

// Name, unit and the latest value beside the strip.
void DrawInfo(const Frame& f, int i) {
    const chart::SeriesInfo& info = chart::kSeries[i];
    const Box& b = f.l.info[i];
    const int name_px = f.l.font_px * 3 / 2;
    char text[64];
    FormatBounded(text, sizeof text, "%s [%s]", info.title, info.unit);
    SetTextColor(f.dc, kTextColor);
    Text(f.dc, Box{b.left, b.top, b.right, b.top + name_px}, text,
         DT_LEFT | DT_TOP | DT_END_ELLIPSIS);
    float latest = 0;
    const std::string value = Latest(chart::g_chart.series(i), latest)
                                  ? chart::FormatValue(latest, info.decimals) + " " + info.unit
                                  : std::string("-");
    SelectObject(f.dc, g_win.big_font);
    SetTextColor(f.dc, kSeriesColor[i]);
    Text(f.dc, Box{b.left, b.top + name_px, b.right, b.bottom}, value.c_str(), DT_LEFT | DT_TOP);
    SelectObject(f.dc, g_win.font);
}

// The plot's ground, its grid at the round ticks with their labels, and its frame.
void DrawStripGround(const Frame& f, const Box& p, const chart::Scale& s) {
    HDC dc = f.dc;
    FillBox(dc, p, kPlotColor);
    SetTextColor(dc, kTextColor);
    {
        Pen grid(dc, kGridColor, 1);
        for (int64_t t : f.ticks) {
            const int x = chartview::TimeColumn(f.t0, f.t1, f.cols, t);
            if (x >= 0) Line(dc, p.left + x, p.top, p.left + x, p.bottom);
        }
        const int steps = s.step > 0 ? static_cast<int>(std::lround((s.hi - s.lo) / s.step)) : 0;
        // Centred on its row, but kept inside the strip, clear of the next one's.
        const int half = f.l.font_px * 3 / 5;
        char text[32];
        for (int k = 0; k <= steps && k <= 50; ++k) {
            const double value = s.lo + k * s.step;
            const int y = chartview::ValueRow(s, p, value);
            Line(dc, p.left, y, p.right, y);
            FormatBounded(text, sizeof text, "%.*f", s.decimals, value);
            const int top = std::max(p.top - 1, std::min(y - half, p.bottom + 1 - 2 * half));
            Text(dc,
                 Box{p.left - Scaled(chartview::kTickWidth, f.l.dpi), top,
                     p.left - Scaled(4, f.l.dpi), top + 2 * half},
                 text, DT_RIGHT | DT_VCENTER);
        }
    }
    Pen frame(dc, kFrameColor, 1);
    const HGDIOBJ old_brush = SelectObject(dc, GetStockObject(NULL_BRUSH));
    Rectangle(dc, p.left - 1, p.top - 1, p.right + 1, p.bottom + 1);
    SelectObject(dc, old_brush);
}

// Across all strips, under the curves; a label only where it does not run into the last one.
void DrawMarkers(const Frame& f) {
    const Box& first = f.l.plot[0];
    const Box& last = f.l.plot[chart::kSeriesCount - 1];
    Pen marker(f.dc, kMarkerColor, 1);
    SetTextColor(f.dc, kMarkerColor);
    int free_from = first.left;
    for (const chart::Marker& m : chart::g_chart.markers()) {
        const int x = chartview::TimeColumn(f.t0, f.t1, f.cols, m.t_ms);
        if (x < 0) continue;
        Line(f.dc, first.left + x, first.top, first.left + x, last.bottom);
        SIZE size{};
        GetTextExtentPoint32A(f.dc, m.label, static_cast<int>(strnlen(m.label, sizeof m.label)),
                              &size);
        const int left = first.left + x + Scaled(3, f.l.dpi);
        if (left < free_from || left + size.cx > first.right) continue;
        Text(f.dc, Box{left, first.top + 1, left + size.cx, first.top + 1 + size.cy}, m.label,
             DT_LEFT | DT_TOP);
        free_from = left + size.cx + Scaled(4, f.l.dpi);
    }
}

// Each column's min to max; a line joins it to the nearest column before it only where
// Decimate found no gap.
void DrawCurve(const Frame& f, int i, const chart::Scale& s) {
    const Box& p = f.l.plot[i];
    Pen pen(f.dc, kSeriesColor[i], f.l.pen);
    int prev_x = -1, prev_y = 0;
    for (int x = 0; x < f.cols; ++x) {
        const chart::Column& c = g_win.columns[i][static_cast<std::size_t>(x)];
        if (!c.has) continue;
        const int y_first = chartview::ValueRow(s, p, c.first);
        if (c.joined && prev_x >= 0) Line(f.dc, p.left + prev_x, prev_y, p.left + x, y_first);
        const int y_min = chartview::ValueRow(s, p, c.min);
        const int y_max = chartview::ValueRow(s, p, c.max);
        Line(f.dc, p.left + x, y_min, p.left + x, y_max - 1);
        prev_x = x;
        prev_y = chartview::ValueRow(s, p, c.last);
    }
}

void DrawTimeLabels(const Frame& f) {
    const Box& last = f.l.plot[chart::kSeriesCount - 1];
    const int64_t span = chart::kSpansMs[g_win.view.span];
    char text[16];
    SetTextColor(f.dc, kTextColor);
    for (int64_t t : f.ticks) {
        const int x = chartview::TimeColumn(f.t0, f.t1, f.cols, t);
        if (x < 0) continue;
        TimeLabel(t, span, text, sizeof text);
        Text(f.dc,
             Box{last.left + x - f.time_label_px, f.l.time_axis.top,
                 last.left + x + f.time_label_px, f.l.time_axis.bottom},
             text, DT_CENTER | DT_TOP);
    }
}

// The whole picture for a client area of w x h. The buttons are windows of their own: a saved
// picture (file) has the view's state where they stand.
void Render(HDC dc, int w, int h, bool file) {
    Frame f{dc,
            chartview::ComputeLayout(w, h, g_win.dpi),
            g_win.view.start_ms(),
            g_win.view.end_ms,
            0,
            {},
            0};
    f.cols = f.l.columns();
    FillBox(dc, Box{0, 0, w, h}, kWindowColor);
    SetBkMode(dc, TRANSPARENT);
    const HGDIOBJ old_font = SelectObject(dc, g_win.font);
    DrawStatus(f, file);
    SIZE label{};
    GetTextExtentPoint32A(dc, "00:00:00", 8, &label);
    f.time_label_px = label.cx;
    f.ticks = chart::TimeTicks(f.t0, f.t1, chartview::TimeTicksFit(f.cols, label.cx));
    if (g_win.trace) {
        ConPrintf("chart view %lld %lld %d %d %d\n", static_cast<long long>(f.t0),
                  static_cast<long long>(f.t1), f.l.plot[0].left, f.cols,
                  g_win.view.paused ? 1 : 0);
    }

    chart::Scale scales[chart::kSeriesCount];
    for (int i = 0; i < chart::kSeriesCount; ++i) {
        const Box& p = f.l.plot[i];
        std::vector<chart::Column>& c = g_win.columns[i];
        c.assign(static_cast<std::size_t>(std::max(f.cols, 0)), chart::Column{});
        if (f.cols > 0) chart::Decimate(chart::g_chart.series(i), f.t0, f.t1, f.cols, c.data());
        scales[i] =
            chartview::StripScale(c.data(), f.cols, chartview::ValueTicksFit(p, f.l.font_px));
        if (g_win.trace) {
            ConPrintf("chart strip %d %d %d %.9g %.9g\n", i, p.top, p.bottom, scales[i].lo,
                      scales[i].hi);
        }
        DrawInfo(f, i);
        if (p.height() > 0 && f.cols > 0) DrawStripGround(f, p, scales[i]);
    }
    if (f.cols > 0) {
        DrawMarkers(f);
        for (int i = 0; i < chart::kSeriesCount; ++i) {
            if (f.l.plot[i].height() > 0) DrawCurve(f, i, scales[i]);
        }
        DrawTimeLabels(f);
    }
    SelectObject(dc, old_font);
}

void ReleaseBuffer() {
    if (g_win.mem == nullptr) return;
    SelectObject(g_win.mem, g_win.old_bitmap);
    DeleteObject(g_win.bitmap);
    DeleteDC(g_win.mem);
    g_win.mem = nullptr;
    g_win.bitmap = nullptr;
}

// Draws the picture anew into the memory bitmap and asks for a copy on the screen.
void Redraw() {
    HWND w = g_win.hwnd;
    RECT client{};
    GetClientRect(w, &client);
    if (client.right <= 0 || client.bottom <= 0) return;
    if (g_win.mem == nullptr || g_win.width != client.right || g_win.height != client.bottom) {
        ReleaseBuffer();
        HDC screen = GetDC(w);
        g_win.mem = CreateCompatibleDC(screen);
        g_win.bitmap = CreateCompatibleBitmap(screen, client.right, client.bottom);
        ReleaseDC(w, screen);
        g_win.old_bitmap = static_cast<HBITMAP>(SelectObject(g_win.mem, g_win.bitmap));
        g_win.width = client.right;
        g_win.height = client.bottom;
    }
    if (!g_win.view.paused) g_win.view.end_ms = NowMs();
    g_win.drawn_generation = chart::g_chart.generation();
    Render(g_win.mem, g_win.width, g_win.height, false);
    g_win.dirty = false;
    InvalidateRect(w, nullptr, FALSE);
}

// A new sample or marker, or time moved the axis by a column (at most once a second).
void OnTimer() {
    const chartview::View& v = g_win.view;
    bool due = g_win.dirty;
    if (!v.paused) {
        const int cols =
            std::max(1, chartview::ComputeLayout(g_win.width, g_win.height, g_win.dpi).columns());
        const int64_t column_ms = std::max<int64_t>(1000, chart::kSpansMs[v.span] / cols);
        due = due || chart::g_chart.generation() != g_win.drawn_generation ||
              NowMs() - v.end_ms >= column_ms;
    }
    if (due) Redraw();
}

void RememberPlace() {
    HWND w = g_win.hwnd;
    if (IsIconic(w) || IsZoomed(w)) return;
    RECT r{};
    GetWindowRect(w, &r);
    ChartPlace& c = g_settings.chart;
    c.x = r.left;
    c.y = r.top;
    c.width = r.right - r.left;
    c.height = r.bottom - r.top;
}

void ShowView() {
    for (int i = 0; i < chart::kSpanCount; ++i) {
        SendMessageA(g_win.buttons[i], BM_SETCHECK,
                     i == g_win.view.span ? BST_CHECKED : BST_UNCHECKED, 0);
    }
    SetWindowTextA(g_win.buttons[4], g_win.view.paused ? "Resume" : "Pause");
    g_win.dirty = true;
    Redraw();
}

void SetSpan(int span) {
    g_win.view.span = span;
    g_settings.chart.span = span;
    ShowView();
}

void TogglePause() {
    g_win.view.paused = !g_win.view.paused;
    if (g_win.view.paused) g_win.view.end_ms = NowMs();
    ShowView();
}

// Written beside the target and put in its place only when complete.
template <typename Write>
bool WriteReplacing(const char* target, Write write, std::string& error) {
    char temp[kPathSize];
    if (!TempPathBeside(target, temp, sizeof temp)) {
        error = "no free temporary name beside it";
        return false;
    }
    if (!write(temp, error)) {
        DeleteFileA(temp);
        return false;
    }
    if (!platform::Sys().ReplaceFile(temp, target)) {
        DeleteFileA(temp);
        error = "it could not be put in place of the old file";
        return false;
    }
    return true;
}

bool WriteCsv(const char* path, std::string& error) {
    const std::string csv =
        chart::CsvOfSpan(chart::g_chart, g_win.view.start_ms(), g_win.view.end_ms);
    std::FILE* f = std::fopen(path, "wb");
    if (f == nullptr) {
        error = "it could not be created";
        return false;
    }
    const bool written = std::fwrite(csv.data(), 1, csv.size(), f) == csv.size();
    if (std::fclose(f) != 0 || !written) {
        error = "it could not be written";
        return false;
    }
    return true;
}

template <typename T>
void Release(T*& p) {
    if (p != nullptr) p->Release();
    p = nullptr;
}

// The picture as the window shows it, through the system's PNG encoder.
bool WritePng(const char* path, std::string& error) {
    const int w = g_win.width, h = g_win.height;
    if (w <= 0 || h <= 0) {
        error = "the window has no picture";
        return false;
    }
    BITMAPINFO bi{};
    bi.bmiHeader.biSize = sizeof bi.bmiHeader;
    bi.bmiHeader.biWidth = w;
    bi.bmiHeader.biHeight = -h;  // top-down, as the encoder takes rows
    bi.bmiHeader.biPlanes = 1;
    bi.bmiHeader.biBitCount = 32;
    bi.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    HDC screen = GetDC(nullptr);
    HBITMAP dib = CreateDIBSection(screen, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
    ReleaseDC(nullptr, screen);
    if (dib == nullptr) {
        error = "no memory for the picture";
        return false;
    }
    HDC dc = CreateCompatibleDC(nullptr);
    const HGDIOBJ old = SelectObject(dc, dib);
    Render(dc, w, h, true);
    GdiFlush();
    SelectObject(dc, old);
    DeleteDC(dc);

    // 24-bit rows: PNG keeps no alpha that GDI never set.
    const UINT stride = static_cast<UINT>((w * 3 + 3) & ~3);
    std::vector<BYTE> rows(static_cast<std::size_t>(stride) * static_cast<std::size_t>(h));
    for (int y = 0; y < h; ++y) {
        const BYTE* src = static_cast<const BYTE*>(bits) + static_cast<std::size_t>(y) * w * 4;
        BYTE* dst = rows.data() + static_cast<std::size_t>(y) * stride;
        for (int x = 0; x < w; ++x) std::copy(src + x * 4, src + x * 4 + 3, dst + x * 3);
    }
    DeleteObject(dib);

    wchar_t wide[kPathSize];
    if (MultiByteToWideChar(CP_ACP, 0, path, -1, wide, kPathSize) == 0) {
        error = "its name could not be converted";
        return false;
    }
    const HRESULT init = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    IWICImagingFactory* factory = nullptr;
    IWICStream* stream = nullptr;
    IWICBitmapEncoder* encoder = nullptr;
    IWICBitmapFrameEncode* frame = nullptr;
    IPropertyBag2* props = nullptr;
    WICPixelFormatGUID format = GUID_WICPixelFormat24bppBGR;
    HRESULT hr = CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER,
                                  IID_IWICImagingFactory, reinterpret_cast<void**>(&factory));
    if (SUCCEEDED(hr)) hr = factory->CreateStream(&stream);
    if (SUCCEEDED(hr)) hr = stream->InitializeFromFilename(wide, GENERIC_WRITE);
    if (SUCCEEDED(hr)) hr = factory->CreateEncoder(GUID_ContainerFormatPng, nullptr, &encoder);
    if (SUCCEEDED(hr)) hr = encoder->Initialize(stream, WICBitmapEncoderNoCache);
    if (SUCCEEDED(hr)) hr = encoder->CreateNewFrame(&frame, &props);
    if (SUCCEEDED(hr)) hr = frame->Initialize(props);
    if (SUCCEEDED(hr)) hr = frame->SetSize(static_cast<UINT>(w), static_cast<UINT>(h));
    if (SUCCEEDED(hr)) hr = frame->SetPixelFormat(&format);
    if (SUCCEEDED(hr) && !IsEqualGUID(format, GUID_WICPixelFormat24bppBGR)) hr = E_FAIL;
    if (SUCCEEDED(hr))
        hr = frame->WritePixels(static_cast<UINT>(h), stride, static_cast<UINT>(rows.size()),
                                rows.data());
    if (SUCCEEDED(hr)) hr = frame->Commit();
    if (SUCCEEDED(hr)) hr = encoder->Commit();
    Release(props);
    Release(frame);
    Release(encoder);
    Release(stream);  // closes the file, which the rename then needs
    Release(factory);
    if (SUCCEEDED(init)) CoUninitialize();
    if (FAILED(hr)) {
        char text[64];
        FormatBounded(text, sizeof text, "the image encoder failed (0x%08lX)",
                      static_cast<unsigned long>(hr));
        error = text;
        return false;
    }
    return true;
}

bool AskSaveName(const char* filter, const char* ext, char* path) {
    const platform::LocalTime t = platform::Sys().Now();
    FormatBounded(path, kPathSize, "chart_%04d%02d%02d_%02d%02d%02d.%s", t.year, t.month, t.day,
                  t.hour, t.minute, t.second, ext);
    OPENFILENAMEA ofn{};
    ofn.lStructSize = sizeof ofn;
    ofn.hwndOwner = g_win.hwnd;
    ofn.lpstrFilter = filter;
    ofn.nFilterIndex = 1;
    ofn.lpstrFile = path;
    ofn.nMaxFile = kPathSize;
    ofn.lpstrDefExt = ext;
    ofn.Flags =
        OFN_EXPLORER | OFN_OVERWRITEPROMPT | OFN_PATHMUSTEXIST | OFN_HIDEREADONLY | OFN_NOCHANGEDIR;
    return GetSaveFileNameA(&ofn) != 0;
}

void Save(bool png) {
    char path[kPathSize];
    const bool asked = png ? AskSaveName("PNG pictures (*.png)\0*.png\0", "png", path)
                           : AskSaveName("CSV files (*.csv)\0*.csv\0", "csv", path);
    if (!asked) return;
    std::string error;
    const bool saved =
        png ? WriteReplacing(path, WritePng, error) : WriteReplacing(path, WriteCsv, error);
    if (saved) {
        ConPrintf("chart saved: %s\n", path);
        return;
    }
    const std::string text =
        std::string("The chart was not saved to\n") + path + "\n" + error + ".";
    ConPrintf("%s\n", text.c_str());
    platform::UI().ShowMessageBox(ToWnd(g_win.hwnd), text, "Chart", platform::kMbIconWarning);
}

void Command(int id) {
    if (id >= kSpanButton && id < kSpanButton + chart::kSpanCount) SetSpan(id - kSpanButton);
    if (id == kPauseButton) TogglePause();
    if (id == kClearButton) {
        chart::g_chart.Clear();
        g_win.dirty = true;
        Redraw();
    }
    if (id == kSaveCsvButton) Save(false);
    if (id == kSavePngButton) Save(true);
    // The keys act on the window, not on the button last clicked.
    SetFocus(g_win.hwnd);
}

void CreateButtons(HWND w) {
    const int dpi = g_win.dpi;
    const int height = Scaled(chartview::kBarHeight - 6, dpi);
    const HGDIOBJ font = g_win.font;
    for (int i = 0; i < kButtonCount; ++i) {
        const DWORD style = WS_CHILD | WS_VISIBLE |
                            (i < chart::kSpanCount ? BS_RADIOBUTTON | BS_PUSHLIKE : BS_PUSHBUTTON);
        const int x =
            Scaled(chartview::kMargin + i * (chartview::kButtonWidth + chartview::kButtonGap), dpi);
        g_win.buttons[i] =
            CreateWindowExA(0, "BUTTON", kButtons[i].text, style, x, Scaled(3, dpi),
                            Scaled(chartview::kButtonWidth, dpi), height, w,
                            reinterpret_cast<HMENU>(static_cast<INT_PTR>(kButtons[i].id)),
                            GetModuleHandleA(nullptr), nullptr);
        SendMessageA(g_win.buttons[i], WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
    }
}

LRESULT CALLBACK ChartProc(HWND w, UINT msg, WPARAM wp, LPARAM lp) {
    switch (msg) {
        case WM_CREATE: {
            g_win.hwnd = w;
            g_win.dpi = WindowDpi(w);
            g_win.font = MakeFont(Scaled(chartview::kFontPx, g_win.dpi), FW_NORMAL);
            g_win.big_font = MakeFont(Scaled(chartview::kBigFontPx, g_win.dpi), FW_BOLD);
            CreateButtons(w);
            SetTimer(w, kTimerId, kTimerMs, nullptr);
            return 0;
        }
        case WM_ERASEBKGND:
            return 1;  // the picture covers it all
        case WM_PAINT: {
            PAINTSTRUCT ps;
            HDC dc = BeginPaint(w, &ps);
            if (g_win.dirty || g_win.mem == nullptr) Redraw();
            if (g_win.mem != nullptr) {
                BitBlt(dc, ps.rcPaint.left, ps.rcPaint.top, ps.rcPaint.right - ps.rcPaint.left,
                       ps.rcPaint.bottom - ps.rcPaint.top, g_win.mem, ps.rcPaint.left,
                       ps.rcPaint.top, SRCCOPY);
            }
            EndPaint(w, &ps);
            return 0;
        }
        case WM_SIZE:
            if (wp != SIZE_MINIMIZED) {
                g_win.dirty = true;
                Redraw();
            }
            RememberPlace();
            return 0;
        case WM_MOVE:
            RememberPlace();
            return 0;
        case WM_GETMINMAXINFO: {
            auto* info = reinterpret_cast<MINMAXINFO*>(lp);
            info->ptMinTrackSize.x = Scaled(kChartMinSize * 2, g_win.dpi);
            info->ptMinTrackSize.y = Scaled(kChartMinSize * 2, g_win.dpi);
            return 0;
        }
        case WM_TIMER:
            if (wp == kTimerId) OnTimer();
            return 0;
        case WM_COMMAND:
            if (HIWORD(wp) == BN_CLICKED) Command(LOWORD(wp));
            return 0;
        case WM_KEYDOWN:
            if (wp >= '1' && wp < '1' + chart::kSpanCount) SetSpan(static_cast<int>(wp - '1'));
            if (wp >= VK_NUMPAD1 && wp < VK_NUMPAD1 + chart::kSpanCount)
                SetSpan(static_cast<int>(wp - VK_NUMPAD1));
            if (wp == 'P' || wp == VK_SPACE || wp == VK_PAUSE) TogglePause();
            return 0;
        case WM_CLOSE:
            g_settings.chart.open = 0;  // closed by the user; not when the program ends
            DestroyWindow(w);
            return 0;
        case WM_DESTROY:
            KillTimer(w, kTimerId);
            ReleaseBuffer();
            DeleteObject(g_win.font);
            DeleteObject(g_win.big_font);
            g_win = ChartWindow{};
            return 0;
        default:
            break;
    }
    return DefWindowProcA(w, msg, wp, lp);
}

bool RegisterChartClass(HINSTANCE instance) {
    WNDCLASSEXA wc{};
    if (GetClassInfoExA(instance, kClassName, &wc)) return true;
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = ChartProc;
    wc.hInstance = instance;
    wc.hCursor = static_cast<HCURSOR>(
        LoadImageA(nullptr, IDC_ARROW, IMAGE_CURSOR, 0, 0, LR_SHARED | LR_DEFAULTSIZE));
    wc.lpszClassName = kClassName;
    return RegisterClassExA(&wc) != 0;
}

bool OnSomeScreen(const RECT& r) {
    // The caption must be reachable to move the window back.
    const RECT caption{r.left, r.top, r.right, r.top + GetSystemMetrics(SM_CYCAPTION)};
    return MonitorFromRect(&caption, MONITOR_DEFAULTTONULL) != nullptr;
}

// The saved place when some screen shows it; else beside the main window, on its screen.
RECT Place(HWND main, int dpi) {
    const ChartPlace& c = g_settings.chart;
    RECT saved{c.x, c.y, c.x + c.width, c.y + c.height};
    if (c.width > 0 && OnSomeScreen(saved)) return saved;
    MONITORINFO mi{};
    mi.cbSize = sizeof mi;
    GetMonitorInfoA(MonitorFromWindow(main, MONITOR_DEFAULTTONEAREST), &mi);
    const RECT& work = mi.rcWork;
    RECT m{};
    GetWindowRect(main, &m);
    const int w =
        std::min<int>(c.width > 0 ? c.width : Scaled(kDefaultWidth, dpi), work.right - work.left);
    const int h = std::min<int>(c.height > 0 ? c.height : m.bottom - m.top, work.bottom - work.top);
    const int x = std::max<int>(work.left, std::min<int>(m.right, work.right - w));
    const int y = std::max<int>(work.top, std::min<int>(m.top, work.bottom - h));
    return RECT{x, y, x + w, y + h};
}

}  // namespace

void OpenChartWindow(platform::Wnd main_wnd) {
    if (g_win.hwnd != nullptr) {
        ShowWindow(g_win.hwnd, SW_RESTORE);
        SetForegroundWindow(g_win.hwnd);
        return;
    }
    HWND main = ToHwnd(main_wnd);
    const HINSTANCE instance = GetModuleHandleA(nullptr);
    if (!RegisterChartClass(instance)) {
        ConPrintf("chart window class not registered (error %lu)\n", GetLastError());
        return;
    }
    char flag[8] = {};
    const bool trace = GetEnvironmentVariableA("LRX_CHART_TRACE", flag, sizeof flag) > 0;
    const RECT r = Place(main, WindowDpi(main));
    HWND w = CreateWindowExA(0, kClassName, "LUM_RAX_COM - Measurements",
                             WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN, r.left, r.top, r.right - r.left,
                             r.bottom - r.top, main, nullptr, instance, nullptr);
    if (w == nullptr) {
        ConPrintf("chart window not created (error %lu)\n", GetLastError());
        return;
    }
    g_win.trace = trace;
    g_win.view.span = std::clamp(g_settings.chart.span, 0, chart::kSpanCount - 1);
    g_settings.chart.open = 1;
    ConPrintf("chart window opened\n");
    ShowView();
    ShowWindow(w, SW_SHOWNORMAL);
    RememberPlace();
    SetFocus(w);
}
