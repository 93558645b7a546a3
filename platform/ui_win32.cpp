// The window system seam on Win32: controls, fonts, texts, boxes, timers, file dialog.
#include <map>
#include <string>
#include <vector>

#include "platform/env_win32.h"
#include "platform/text_format.h"
#include "platform/timer_phase.h"

#include <commdlg.h>  // needs <windows.h> first

namespace platform {
namespace {

DWORD StyleBits(Style s) {
    constexpr DWORD kValueBox = WS_BORDER | WS_TABSTOP | ES_RIGHT | ES_NOHIDESEL;
    switch (s) {
        case Style::LabelCentre:
            return SS_CENTER | SS_CENTERIMAGE;
        case Style::LabelLeft:
            return SS_LEFT | SS_CENTERIMAGE;
        case Style::PushButton:
            return BS_DEFPUSHBUTTON;
        case Style::PushButtonTab:
            return BS_DEFPUSHBUTTON | WS_TABSTOP;
        case Style::PushButtonMulti:
            return BS_DEFPUSHBUTTON | BS_MULTILINE;
        case Style::DropDownList:
            return CBS_DROPDOWNLIST | CBS_HASSTRINGS | WS_VSCROLL;
        case Style::SingleLineField:
            return WS_BORDER | WS_TABSTOP | ES_NOHIDESEL | ES_WANTRETURN;
        case Style::TextArea:
            return WS_BORDER | WS_VSCROLL | ES_MULTILINE | ES_AUTOVSCROLL | ES_NOHIDESEL |
                   ES_WANTRETURN;
        case Style::ReadOnlyField:
            return ES_READONLY | ES_NOHIDESEL;
        case Style::ValueBox:
            return kValueBox;
        case Style::EntryBox:
            return kValueBox | ES_AUTOVSCROLL | ES_WANTRETURN;
        case Style::PasswordBox:
            return WS_BORDER | WS_TABSTOP | ES_CENTER | ES_NOHIDESEL;
        case Style::IdentBox:
            return WS_BORDER | WS_TABSTOP | ES_MULTILINE | ES_NOHIDESEL;
    }
    return 0;
}

LRESULT Send(Wnd w, UINT msg, WPARAM wp, LPARAM lp) {
    return SendMessageA(ToHwnd(w), msg, wp, lp);
}

// Win32 wants zero-terminated texts.
LPARAM Text(const std::string& s) {
    return reinterpret_cast<LPARAM>(s.c_str());
}

// One timer procedure for all timers; it hands each tick to the core procedure
// registered under the timer's id.
struct Timer {
    HWND wnd;
    UINT interval_ms;
    TimerProc proc;
    UINT_PTR carrier = 0;  // the timer whose ticks it rides (PlanCarriers), or 0
    UINT carried_ms = 0;   // of the carrier's ticks since its own last one
    bool own = false;      // it has a Win32 timer
};
std::map<UINT_PTR, Timer> g_timers;

// The fast timers (the receive tick, the Reg: field poll, AutoRead) share one phase: each
// distinct expiry wakes the thread, and under Wine a wake-up is a few round trips to the
// server. They are restarted together whenever one of them starts or stops, and again when
// the watch sees them drifted apart (a restart that was held up half way); a restart delays
// each of them once by less than its own interval. A timer whose interval is a multiple of
// another's (the poll's 20 ms of the receive tick's 10) rides that one's ticks: one timer
// message fewer to fetch from the server for each of its ticks.
constexpr UINT kSharedPhaseMaxMs = 100;
TimerPhaseWatch g_phase;

bool Fast(const Timer& t) {
    return t.interval_ms <= kSharedPhaseMaxMs;
}

void CALLBACK TimerThunk(HWND hwnd, UINT, UINT_PTR id, DWORD);

void RestartFastTimers() {
    for (auto& [id, t] : g_timers) {
        if (!Fast(t)) continue;
        t.carried_ms = 0;
        if (t.carrier != 0) continue;
        SetTimer(t.wnd, id, t.interval_ms, TimerThunk);
        t.own = true;
    }
}

// Who rides whom, the Win32 timers of the fast ones restarted together and watched.
void ReplanFastTimers() {
    std::map<unsigned, unsigned> fast;
    for (const auto& [id, t] : g_timers) {
        if (Fast(t)) fast[static_cast<unsigned>(id)] = t.interval_ms;
    }
    const std::map<unsigned, unsigned> carriers = PlanCarriers(fast);
    std::map<unsigned, unsigned> watched;
    for (auto& [id, t] : g_timers) {
        if (!Fast(t)) continue;
        const auto c = carriers.find(static_cast<unsigned>(id));
        t.carrier = c == carriers.end() ? 0 : c->second;
        if (t.carrier == 0) watched[static_cast<unsigned>(id)] = t.interval_ms;
        if (t.carrier != 0 && t.own) {
            KillTimer(t.wnd, id);
            t.own = false;
        }
    }
    RestartFastTimers();
    g_phase.Reset(watched);
}

// The timers that ride the carrier's tick and are due on it, each run with its own window.
void RunRiders(UINT_PTR carrier, UINT carrier_ms) {
    std::vector<UINT_PTR> due;
    for (auto& [id, t] : g_timers) {
        if (t.carrier != carrier) continue;
        t.carried_ms += carrier_ms;
        if (t.carried_ms < t.interval_ms) continue;
        t.carried_ms = 0;
        due.push_back(id);
    }
    for (UINT_PTR id : due) {
        auto it = g_timers.find(id);  // an earlier procedure may have stopped it
        if (it != g_timers.end() && it->second.carrier == carrier) {
            it->second.proc(ToWnd(it->second.wnd));
        }
    }
}

int64_t NowUs() {
    static const int64_t per_second = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return static_cast<int64_t>(f.QuadPart);
    }();
    LARGE_INTEGER c;
    QueryPerformanceCounter(&c);
    return static_cast<int64_t>(c.QuadPart) / per_second * 1'000'000 +
           static_cast<int64_t>(c.QuadPart) % per_second * 1'000'000 / per_second;
}

void CALLBACK TimerThunk(HWND hwnd, UINT, UINT_PTR id, DWORD) {
    auto it = g_timers.find(id);
    if (it == g_timers.end()) return;
    const Timer t = it->second;  // the procedure may stop its own timer
    const int64_t start = NowUs();
    t.proc(ToWnd(hwnd));
    RunRiders(id, t.interval_ms);
    if (Fast(t) && g_phase.Tick(static_cast<unsigned>(id), start, NowUs())) RestartFastTimers();
}

class Win32Ui final : public Ui {
  public:
    explicit Win32Ui(WNDPROC page_router) : page_router_(page_router) {}

    Wnd CreateControl(Wnd parent, const ControlSpec& spec) override {
        HWND h =
            CreateWindowExA(0, spec.cls, spec.text, WS_CHILD | WS_VISIBLE | StyleBits(spec.style),
                            spec.x, spec.y, spec.width, spec.height, ToHwnd(parent),
                            reinterpret_cast<HMENU>(static_cast<UINT_PTR>(spec.id)),
                            GetModuleHandleA(nullptr), nullptr);
        // By default an edit control holds about 32K characters (30000 under Wine) and
        // EM_REPLACESEL silently drops whatever goes beyond; the program bounds the
        // text area itself, dropping its oldest text.
        if (h != nullptr && spec.style == Style::TextArea) SendMessageA(h, EM_SETLIMITTEXT, 0, 0);
        return ToWnd(h);
    }

    Font MakeFont(const char* face, int height, int weight) override {
        HFONT f = CreateFontA(height, 0, 0, 0, weight, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                              OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                              DEFAULT_PITCH | FF_DONTCARE, face);
        return reinterpret_cast<Font>(f);
    }
    Font DefaultGuiFont() override {
        return reinterpret_cast<Font>(GetStockObject(DEFAULT_GUI_FONT));
    }
    void SetControlFont(Wnd w, Font f) override {
        Send(w, WM_SETFONT, reinterpret_cast<WPARAM>(f), FALSE);
    }
    void DeleteFont(Font f) override { DeleteObject(reinterpret_cast<HFONT>(f)); }
    void SetFocusTo(Wnd w) override { SetFocus(ToHwnd(w)); }

    void SetControlText(Wnd w, std::string_view text) override {
        Send(w, WM_SETTEXT, 0, Text(std::string(text)));
    }
    std::string GetControlText(Wnd w, std::size_t buffer_size) override {
        if (buffer_size == 0) return {};
        std::string buf(buffer_size, '\0');
        LRESULT n = Send(w, WM_GETTEXT, buffer_size, reinterpret_cast<LPARAM>(buf.data()));
        buf.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
        return buf;
    }

    void AppendText(Wnd w, std::string_view text) override {
        Send(w, EM_REPLACESEL, TRUE, Text(std::string(text)));
    }
    std::size_t TextLength(Wnd w) override {
        LRESULT n = Send(w, WM_GETTEXTLENGTH, 0, 0);
        return n > 0 ? static_cast<std::size_t>(n) : 0;
    }
    void DropLeadingText(Wnd w, std::size_t count) override {
        Send(w, EM_SETSEL, 0, static_cast<LPARAM>(count));
        Send(w, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(""));
        const LPARAM end = static_cast<LPARAM>(TextLength(w));
        Send(w, EM_SETSEL, static_cast<WPARAM>(end), end);
    }

    void ComboReset(Wnd w) override { Send(w, CB_RESETCONTENT, 0, 0); }
    void ComboAdd(Wnd w, std::string_view item) override {
        Send(w, CB_ADDSTRING, 0, Text(std::string(item)));
    }
    void ComboSetSelection(Wnd w, int index) override {
        Send(w, CB_SETCURSEL, static_cast<WPARAM>(index), 0);
    }
    int ComboGetSelection(Wnd w) override {
        LRESULT r = Send(w, CB_GETCURSEL, 0, 0);
        return r == CB_ERR ? -1 : static_cast<int>(r);
    }

    int ShowMessageBox(Wnd owner, std::string_view text, std::string_view caption,
                       unsigned flags) override {
        const std::string t(text), c(caption);
        // A box that could not be shown counts as declined.
        return MessageBoxA(ToHwnd(owner), t.c_str(), c.c_str(), flags) == IDOK ? kIdOk : kIdCancel;
    }

    void StartTimer(Wnd w, unsigned id, unsigned interval_ms, TimerProc proc) override {
        auto old = g_timers.find(id);
        if (old != g_timers.end() && old->second.own) KillTimer(old->second.wnd, id);
        Timer& t = g_timers[id] = Timer{ToHwnd(w), interval_ms, proc};
        if (Fast(t)) {
            ReplanFastTimers();
        } else {
            SetTimer(t.wnd, id, interval_ms, TimerThunk);
            t.own = true;
        }
    }
    void StopTimer(Wnd, unsigned id) override {
        auto it = g_timers.find(id);
        if (it == g_timers.end()) return;
        if (it->second.own) KillTimer(it->second.wnd, id);
        const bool fast = Fast(it->second);
        g_timers.erase(it);
        if (fast) ReplanFastTimers();
    }

    void AttachRouter(Wnd page) override {
        SetWindowLongPtrA(ToHwnd(page), GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(page_router_));
    }

    bool OpenFileDialog(Wnd owner, char* path, std::size_t size) override {
        if (path == nullptr || size == 0) return false;
        path[0] = '\0';
        OPENFILENAMEA ofn{};
        ofn.lStructSize = sizeof ofn;
        ofn.hwndOwner = ToHwnd(owner);
        ofn.lpstrFilter = "Intel Hex Files (*.hex)\0*.hex\0All Files (*.*)\0*.*\0";
        ofn.nFilterIndex = 1;
        ofn.lpstrFile = path;
        ofn.nMaxFile = static_cast<DWORD>(size);
        ofn.lpstrDefExt = "hex";
        ofn.Flags = OFN_EXPLORER | OFN_FILEMUSTEXIST | OFN_HIDEREADONLY;
        if (GetOpenFileNameA(&ofn)) return true;
        ReportDialogError(owner, size);
        path[0] = '\0';
        return false;
    }

  private:
    // A cancel reports nothing; any other failure is said once, here.
    void ReportDialogError(Wnd owner, std::size_t size) {
        const DWORD err = CommDlgExtendedError();
        if (err == 0) return;
        char text[128];
        if (err == FNERR_BUFFERTOOSMALL) {
            FormatBounded(text, sizeof text,
                          "The path of the chosen file is too long (at most %u characters).",
                          static_cast<unsigned>(size - 1));
        } else {
            FormatBounded(text, sizeof text, "The file dialog failed (error 0x%04lX).",
                          static_cast<unsigned long>(err));
        }
        ShowMessageBox(owner, text, "Error", kMbOk | kMbIconError);
    }

    WNDPROC page_router_;
};

}  // namespace

std::unique_ptr<Ui> NewWin32Ui(WNDPROC page_router) {
    return std::make_unique<Win32Ui>(page_router);
}

}  // namespace platform
