// Drives a running LUM_RAX_COM from outside its process: finds the main window and its
// page, reads and changes controls, presses buttons and answers message boxes.
//
// Usage: lrx_driver.exe serve   one command per stdin line (tab-separated arguments), each
//                               answer closed by "=ok" or "=error<TAB>message"
//
// Output lines are tab-separated; texts are escaped (\\ \t \r \n) so that every record
// stays on one line. A control (CTRL) is a decimal control id (the first child of the page
// with that id) or "#N" (the N-th child of the page in Z order, which is creation order).
//
// Commands and their records:
//   wait-window MS        window HWND PID           (once the program takes messages)
//   window                main HWND TITLE X Y W H STYLE (screen coordinates)
//                         client X Y                (origin of the main window's client area)
//                         page X Y W H CLIENT_W CLIENT_H (in the main window's client area)
//   list                  ctl INDEX CLASS ID X Y W H STYLE INSET TEXT (every child of the
//                         page in Z order, page client coordinates; INSET: an edit control's
//                         text inset beyond its margins, which is its border; else 0)
//   text CTRL             text TEXT
//   set-text CTRL TEXT    set
//   click CTRL            clicked   (BN_CLICKED posted to the page)
//   select CTRL INDEX     selected  (CB_SETCURSEL, then CBN_SELENDOK posted to the page)
//   items CTRL            item TEXT ...             (the items of a combo box)
//   focus                 focus ID                  (keyboard focus of the program's thread)
//   post main|CTRL MSG W L  posted  (a message without pointers)
//   box ID|- MS           box CAPTION TEXT BUTTONS  (the first message box of the program to
//                         appear; BUTTONS: id:text,...), then with an ID the button is
//                         pressed and "answered" follows once the box has closed
//   open-file PATH MS     opened    (types PATH into the open-file dialog and presses Open)
#include <windows.h>
#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

constexpr int kPageId = 1;

struct Failure {
    std::string message;
};

std::string Utf8(const std::wstring& w) {
    int n = WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), nullptr, 0,
                                nullptr, nullptr);
    std::string s(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), s.data(), n, nullptr,
                        nullptr);
    return s;
}

std::wstring Wide(const std::string& s) {
    int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
    std::wstring w(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), w.data(), n);
    return w;
}

std::string Escape(const std::string& s) {
    std::string out;
    for (char c : s) {
        if (c == '\\' || c == '\t' || c == '\r' || c == '\n') {
            out += '\\';
            c = c == '\t' ? 't' : c == '\r' ? 'r' : c == '\n' ? 'n' : c;
        }
        out += c;
    }
    return out;
}

std::string Unescape(const std::string& s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] != '\\' || i + 1 == s.size()) {
            out += s[i];
            continue;
        }
        char n = s[++i];
        out += n == 't' ? '\t' : n == 'r' ? '\r' : n == 'n' ? '\n' : n;
    }
    return out;
}

void Out(const std::vector<std::string>& fields) {
    std::string line;
    for (const std::string& f : fields) line += (line.empty() ? "" : "\t") + f;
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
}

std::string Num(long long v) {
    return std::to_string(v);
}

std::string Hex(DWORD v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08lx", static_cast<unsigned long>(v));
    return buf;
}

long ParseNumber(const std::string& s) {
    char* end = nullptr;
    long v = std::strtol(s.c_str(), &end, 0);
    if (s.empty() || *end != '\0') throw Failure{"bad number: " + s};
    return v;
}

// Sent with a time-out so a hung program cannot hang the driver.
LRESULT Ask(HWND w, UINT msg, WPARAM wp = 0, LPARAM lp = 0) {
    DWORD_PTR r = 0;
    if (!SendMessageTimeoutW(w, msg, wp, lp, SMTO_NORMAL, 5000, &r)) {
        throw Failure{"message " + Num(msg) + " timed out"};
    }
    return static_cast<LRESULT>(r);
}

std::string WindowText(HWND w) {
    std::wstring buf(static_cast<size_t>(Ask(w, WM_GETTEXTLENGTH)) + 1, L'\0');
    buf.resize(
        static_cast<size_t>(Ask(w, WM_GETTEXT, buf.size(), reinterpret_cast<LPARAM>(buf.data()))));
    return Utf8(buf);
}

std::string ClassOf(HWND w) {
    wchar_t cls[256] = {};
    GetClassNameW(w, cls, 256);
    return Utf8(cls);
}

HWND Main() {
    HWND w = FindWindowW(L"LUM_RAX_COM", nullptr);
    if (!w) throw Failure{"main window not found"};
    return w;
}

HWND Page() {
    HWND page = GetDlgItem(Main(), kPageId);
    if (!page) throw Failure{"page (child id 1 of the main window) not found"};
    return page;
}

std::vector<HWND> Children(HWND parent) {
    std::vector<HWND> out;
    for (HWND c = GetWindow(parent, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT)) out.push_back(c);
    return out;
}

HWND Control(const std::string& ctrl) {
    HWND page = Page();
    if (ctrl.size() > 1 && ctrl[0] == '#') {
        const std::vector<HWND> kids = Children(page);
        const size_t index = static_cast<size_t>(ParseNumber(ctrl.substr(1)));
        if (index >= kids.size()) throw Failure{"no child " + ctrl};
        return kids[index];
    }
    HWND w = GetDlgItem(page, static_cast<int>(ParseNumber(ctrl)));
    if (!w) throw Failure{"no control with id " + ctrl};
    return w;
}

RECT In(HWND parent, HWND w) {
    RECT r;
    GetWindowRect(w, &r);
    MapWindowPoints(HWND_DESKTOP, parent, reinterpret_cast<POINT*>(&r), 2);
    return r;
}

void Post(HWND to, UINT msg, WPARAM wp, LPARAM lp) {
    if (!PostMessageW(to, msg, wp, lp)) throw Failure{"PostMessage failed"};
}

void PostCommand(HWND to, int id, int code, HWND from) {
    Post(to, WM_COMMAND, MAKEWPARAM(id, code), reinterpret_cast<LPARAM>(from));
}

// Polls until found() gives a window or the time is up.
template <typename F>
HWND WaitFor(DWORD ms, const char* what, F found) {
    const DWORD start = GetTickCount();
    for (;;) {
        if (HWND w = found()) return w;
        if (GetTickCount() - start >= ms) throw Failure{std::string("no ") + what + " appeared"};
        Sleep(20);
    }
}

// The program's visible dialog windows (message boxes, the file dialog).
std::vector<HWND> Dialogs() {
    struct Search {
        DWORD pid;
        std::vector<HWND> found;
    } s{0, {}};
    GetWindowThreadProcessId(Main(), &s.pid);
    EnumWindows(
        [](HWND w, LPARAM lp) -> BOOL {
            auto* s = reinterpret_cast<Search*>(lp);
            DWORD pid = 0;
            GetWindowThreadProcessId(w, &pid);
            if (pid == s->pid && IsWindowVisible(w) && ClassOf(w) == "#32770")
                s->found.push_back(w);
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&s));
    return s.found;
}

void WaitClosed(HWND w, DWORD ms) {
    const DWORD start = GetTickCount();
    while (IsWindow(w)) {
        if (GetTickCount() - start >= ms) throw Failure{"the window did not close"};
        Sleep(20);
    }
}

void Run(const std::vector<std::string>& a) {
    const std::string& c = a[0];
    auto arg = [&](size_t i) -> const std::string& {
        if (i >= a.size()) throw Failure{"missing argument for " + c};
        return a[i];
    };
    if (c == "wait-window") {
        const DWORD ms = static_cast<DWORD>(ParseNumber(arg(1)));
        HWND main = WaitFor(ms, "main window", []() {
            HWND w = FindWindowW(L"LUM_RAX_COM", nullptr);
            return w && GetDlgItem(w, kPageId) ? w : nullptr;
        });
        DWORD_PTR r = 0;
        // Returns once the program's thread takes messages, i.e. start-up is done.
        if (!SendMessageTimeoutW(main, WM_NULL, 0, 0, SMTO_NORMAL, ms, &r)) {
            throw Failure{"main window does not take messages"};
        }
        DWORD pid = 0;
        GetWindowThreadProcessId(main, &pid);
        Out({"window", Hex(static_cast<DWORD>(reinterpret_cast<uintptr_t>(main))), Num(pid)});
    } else if (c == "window") {
        HWND main = Main(), page = Page();
        RECT wr, pc;
        GetWindowRect(main, &wr);
        GetClientRect(page, &pc);
        POINT origin{0, 0};
        ClientToScreen(main, &origin);
        const RECT pr = In(main, page);
        Out({"main", Escape(WindowText(main)), Num(wr.left), Num(wr.top), Num(wr.right - wr.left),
             Num(wr.bottom - wr.top), Hex(static_cast<DWORD>(GetWindowLongW(main, GWL_STYLE)))});
        Out({"client", Num(origin.x), Num(origin.y)});
        Out({"page", Num(pr.left), Num(pr.top), Num(pr.right - pr.left), Num(pr.bottom - pr.top),
             Num(pc.right), Num(pc.bottom)});
    } else if (c == "list") {
        HWND page = Page();
        int index = 0;
        for (HWND w : Children(page)) {
            const RECT r = In(page, w);
            const std::string cls = ClassOf(w);
            // Under Wine an edit control keeps WS_BORDER out of its style and insets its text
            // by the border instead.
            long inset = 0;
            if (_stricmp(cls.c_str(), "Edit") == 0) {
                RECT f{};
                Ask(w, EM_GETRECT, 0, reinterpret_cast<LPARAM>(&f));
                inset = f.left - LOWORD(Ask(w, EM_GETMARGINS));
            }
            Out({"ctl", Num(index++), cls, Num(GetDlgCtrlID(w)), Num(r.left), Num(r.top),
                 Num(r.right - r.left), Num(r.bottom - r.top),
                 Hex(static_cast<DWORD>(GetWindowLongW(w, GWL_STYLE))), Num(inset),
                 Escape(WindowText(w))});
        }
    } else if (c == "text") {
        Out({"text", Escape(WindowText(Control(arg(1))))});
    } else if (c == "set-text") {
        const std::wstring wide = Wide(arg(2));
        Ask(Control(arg(1)), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(wide.c_str()));
        Out({"set"});
    } else if (c == "click") {
        HWND w = Control(arg(1));
        PostCommand(Page(), GetDlgCtrlID(w), BN_CLICKED, w);
        Out({"clicked"});
    } else if (c == "select") {
        HWND w = Control(arg(1));
        const long i = ParseNumber(arg(2));
        if (Ask(w, CB_SETCURSEL, static_cast<WPARAM>(i)) != i) throw Failure{"CB_SETCURSEL"};
        PostCommand(Page(), GetDlgCtrlID(w), CBN_SELENDOK, w);
        Out({"selected"});
    } else if (c == "items") {
        HWND w = Control(arg(1));
        for (LRESULT i = 0, n = Ask(w, CB_GETCOUNT); i < n; ++i) {
            std::wstring buf(static_cast<size_t>(Ask(w, CB_GETLBTEXTLEN, i)) + 1, L'\0');
            // The wide message: the ANSI one returns only the first character across processes.
            buf.resize(
                static_cast<size_t>(Ask(w, CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(buf.data()))));
            Out({"item", Escape(Utf8(buf))});
        }
    } else if (c == "focus") {
        GUITHREADINFO gti{};
        gti.cbSize = sizeof gti;
        if (!GetGUIThreadInfo(GetWindowThreadProcessId(Main(), nullptr), &gti)) {
            throw Failure{"GetGUIThreadInfo failed"};
        }
        Out({"focus", Num(gti.hwndFocus ? GetDlgCtrlID(gti.hwndFocus) : 0)});
    } else if (c == "post") {
        HWND to = arg(1) == "main" ? Main() : Control(arg(1));
        Post(to, static_cast<UINT>(ParseNumber(arg(2))), static_cast<WPARAM>(ParseNumber(arg(3))),
             static_cast<LPARAM>(ParseNumber(arg(4))));
        Out({"posted"});
    } else if (c == "box") {
        const DWORD ms = static_cast<DWORD>(ParseNumber(arg(2)));
        HWND box = WaitFor(ms, "message box", []() {
            const std::vector<HWND> d = Dialogs();
            return d.empty() ? nullptr : d.front();
        });
        HWND text = GetDlgItem(box, 0xFFFF);
        std::string buttons;
        for (HWND b : Children(box)) {
            if (_stricmp(ClassOf(b).c_str(), "Button") != 0 || !IsWindowVisible(b)) continue;
            buttons += (buttons.empty() ? "" : ",") + Num(GetDlgCtrlID(b)) + ":" + WindowText(b);
        }
        Out({"box", Escape(WindowText(box)), Escape(text ? WindowText(text) : ""),
             Escape(buttons)});
        if (arg(1) == "-") return;
        const int id = arg(1) == "IDOK" ? IDOK : arg(1) == "IDCANCEL" ? IDCANCEL : 0;
        PostCommand(box, id, BN_CLICKED, GetDlgItem(box, id));
        WaitClosed(box, ms);
        Out({"answered"});
    } else if (c == "open-file") {
        const DWORD ms = static_cast<DWORD>(ParseNumber(arg(2)));
        // The Explorer-style dialog's name field: an Edit (1148) inside its ComboBoxEx32.
        HWND edit = nullptr;
        HWND dialog = WaitFor(ms, "file dialog", [&edit]() -> HWND {
            for (HWND d : Dialogs()) {
                EnumChildWindows(
                    d,
                    [](HWND w, LPARAM lp) -> BOOL {
                        if (GetDlgCtrlID(w) != 1148 || _stricmp(ClassOf(w).c_str(), "Edit") != 0)
                            return TRUE;
                        *reinterpret_cast<HWND*>(lp) = w;
                        return FALSE;
                    },
                    reinterpret_cast<LPARAM>(&edit));
                if (edit) return d;
            }
            return nullptr;
        });
        const std::wstring wide = Wide(arg(1));
        Ask(edit, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(wide.c_str()));
        PostCommand(dialog, IDOK, BN_CLICKED, GetDlgItem(dialog, IDOK));
        WaitClosed(dialog, ms);
        Out({"opened"});
    } else {
        throw Failure{"unknown command " + c};
    }
}

}  // namespace

int main() {
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stdin), _O_BINARY);
    std::string line;
    for (int ch; (ch = std::fgetc(stdin)) != EOF;) {
        if (ch != '\n') {
            if (ch != '\r') line += static_cast<char>(ch);
            continue;
        }
        std::vector<std::string> args;
        for (size_t start = 0;;) {
            const size_t tab = line.find('\t', start);
            args.push_back(Unescape(line.substr(start, tab - start)));
            if (tab == std::string::npos) break;
            start = tab + 1;
        }
        try {
            if (!line.empty()) Run(args);
            Out({"=ok"});
        } catch (const Failure& f) {
            Out({"=error", Escape(f.message)});
        }
        line.clear();
        std::fflush(stdout);
    }
    return 0;
}
