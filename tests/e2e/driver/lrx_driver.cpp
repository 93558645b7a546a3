// Drives a running LUM_RAX_COM from outside its process: finds the main window and
// its page, reads and changes controls, presses buttons and answers message boxes.
//
// Usage: lrx_driver.exe COMMAND [ARGS...]   one command, then exit
//        lrx_driver.exe serve               one command per stdin line (tab-separated
//                                           arguments), each answer closed by "=ok" or
//                                           "=error<TAB>message"
//
// Output lines are tab-separated; texts are escaped (\\ \t \r \n) so that every record
// stays on one line. A control (CTRL) is a decimal control id (the first child of the
// page with that id), "#N" (the N-th child of the page in Z order, which is creation
// order), "0x..." (a window handle) or "=TEXT" (the first child whose text is TEXT).
//
// Commands and their records:
//   wait-window [ms]      window HWND PID PAGE      (once the program takes messages)
//   wait-gone [ms]        gone                      (the main window no longer exists)
//   window                main HWND CLASS TITLE X Y W H STYLE (screen coordinates)
//                         client X Y W H            (main window's client area on screen)
//                         page HWND CLASS TEXT X Y W H CLIENT_W CLIENT_H STYLE EXSTYLE
//   list                  ctl INDEX HWND CLASS ID X Y W H STYLE EXSTYLE EXTRA TEXT
//                         (every child of the page in Z order, page client coordinates;
//                         EXTRA: "drop=N" for a combo box, the bottom of its open list below
//                         its top; "inset=N" for an edit control, its text's inset beyond the
//                         margins, which is its border; "-" for the others)
//   text CTRL             text TEXT
//   set-text CTRL TEXT    set
//   click CTRL            clicked   (BN_CLICKED posted to the page)
//   select CTRL INDEX     selected  (CB_SETCURSEL, then CBN_SELENDOK posted to the page)
//   combo-items CTRL      item INDEX TEXT ...
//   combo-sel CTRL        sel INDEX TEXT
//   focus                 focus HWND CLASS ID       (keyboard focus of the program's thread)
//   send CTRL MSG [W L]   result VALUE HEX          (a message without pointers)
//   menu ID               posted    (WM_COMMAND to the main window)
//   close                 posted    (WM_CLOSE to the main window)
//   boxes                 box HWND CAPTION TEXT BUTTONS OWNER ...  (BUTTONS: id:text,...)
//   wait-box [ms]         box ...                   (the first message box to appear)
//   answer-box IDOK|IDCANCEL|ID [ms]   box ..., answered (once the box has closed)
//   open-file PATH [ms]   opened    (types PATH into the open-file dialog and presses Open)
#include <windows.h>
#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr int kPageId = 1;
constexpr DWORD kPollMs = 20;

struct Failure {
    std::string message;
};

std::string Utf8(const std::wstring& w) {
    if (w.empty()) return {};
    int n = WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), nullptr, 0,
                                nullptr, nullptr);
    std::string s(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), s.data(), n, nullptr,
                        nullptr);
    return s;
}

std::wstring Wide(const std::string& s) {
    if (s.empty()) return {};
    int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
    std::wstring w(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), w.data(), n);
    return w;
}

std::string Escape(const std::string& s) {
    std::string out;
    for (char c : s) {
        switch (c) {
            case '\\':
                out += "\\\\";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\n':
                out += "\\n";
                break;
            default:
                out += c;
        }
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

std::string Hex(uintptr_t v) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "0x%llx", static_cast<unsigned long long>(v));
    return buf;
}

std::string HandleText(HWND w) {
    return Hex(reinterpret_cast<uintptr_t>(w));
}

void Out(const std::string& line) {
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
}

std::string Join(const std::vector<std::string>& fields) {
    std::string line;
    for (size_t i = 0; i < fields.size(); ++i) {
        if (i) line += '\t';
        line += fields[i];
    }
    return line;
}

long ParseNumber(const std::string& s, const char* what) {
    char* end = nullptr;
    long v = std::strtol(s.c_str(), &end, 0);
    if (s.empty() || *end != '\0') throw Failure{std::string("bad ") + what + ": " + s};
    return v;
}

std::string WindowText(HWND w) {
    // Sent with a time-out so a hung program cannot hang the driver.
    DWORD_PTR len = 0;
    if (!SendMessageTimeoutW(w, WM_GETTEXTLENGTH, 0, 0, SMTO_NORMAL, 5000, &len)) {
        throw Failure{"WM_GETTEXTLENGTH timed out on " + HandleText(w)};
    }
    std::wstring buf(len + 1, L'\0');
    DWORD_PTR got = 0;
    SendMessageTimeoutW(w, WM_GETTEXT, len + 1, reinterpret_cast<LPARAM>(buf.data()), SMTO_NORMAL,
                        5000, &got);
    buf.resize(got);
    return Utf8(buf);
}

std::string ClassOf(HWND w) {
    wchar_t cls[256] = {};
    GetClassNameW(w, cls, 256);
    return Utf8(cls);
}

HWND FindMain() {
    HWND w = FindWindowW(L"LUM_RAX_COM", nullptr);
    if (!w) w = FindWindowW(nullptr, L"LUM_RAX_COM");
    return w;
}

HWND MainOrFail() {
    HWND w = FindMain();
    if (!w) throw Failure{"main window not found"};
    return w;
}

HWND PageOrFail() {
    HWND page = GetDlgItem(MainOrFail(), kPageId);
    if (!page) throw Failure{"page (child id 1 of the main window) not found"};
    return page;
}

std::vector<HWND> PageChildren(HWND page) {
    std::vector<HWND> out;
    for (HWND c = GetWindow(page, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT)) out.push_back(c);
    return out;
}

HWND ResolveControl(const std::string& ctrl) {
    HWND page = PageOrFail();
    if (ctrl.size() > 1 && ctrl[0] == '#') {
        long index = ParseNumber(ctrl.substr(1), "index");
        std::vector<HWND> kids = PageChildren(page);
        if (index < 0 || static_cast<size_t>(index) >= kids.size()) {
            throw Failure{"no child #" + ctrl.substr(1) + " (page has " +
                          std::to_string(kids.size()) + ")"};
        }
        return kids[static_cast<size_t>(index)];
    }
    if (ctrl.size() > 2 && ctrl[0] == '0' && (ctrl[1] == 'x' || ctrl[1] == 'X')) {
        HWND w = reinterpret_cast<HWND>(
            static_cast<uintptr_t>(std::strtoull(ctrl.c_str() + 2, nullptr, 16)));
        if (!IsWindow(w)) throw Failure{"no window " + ctrl};
        return w;
    }
    if (!ctrl.empty() && ctrl[0] == '=') {
        std::string want = ctrl.substr(1);
        for (HWND c : PageChildren(page)) {
            if (WindowText(c) == want) return c;
        }
        throw Failure{"no child with text \"" + want + "\""};
    }
    long id = ParseNumber(ctrl, "control id");
    HWND w = GetDlgItem(page, static_cast<int>(id));
    if (!w) throw Failure{"no control with id " + ctrl};
    return w;
}

DWORD ProgramPid() {
    DWORD pid = 0;
    GetWindowThreadProcessId(MainOrFail(), &pid);
    return pid;
}

RECT InPage(HWND page, HWND w) {
    RECT r;
    GetWindowRect(w, &r);
    MapWindowPoints(HWND_DESKTOP, page, reinterpret_cast<POINT*>(&r), 2);
    return r;
}

// What the style does not tell under Wine: an edit control drops WS_BORDER from its style
// (it draws the border itself and insets its formatting rectangle by it), and a combo box
// reports its closed height (the bottom of its open list is shown here).
std::string Extra(HWND page, HWND c, const std::string& cls, const RECT& r) {
    if (_stricmp(cls.c_str(), "ComboBox") == 0) {
        RECT d{};
        SendMessageTimeoutW(c, CB_GETDROPPEDCONTROLRECT, 0, reinterpret_cast<LPARAM>(&d),
                            SMTO_NORMAL, 5000, nullptr);
        MapWindowPoints(HWND_DESKTOP, page, reinterpret_cast<POINT*>(&d), 2);
        return "drop=" + std::to_string(d.bottom - r.top);
    }
    if (_stricmp(cls.c_str(), "Edit") == 0) {
        RECT f{};
        SendMessageTimeoutW(c, EM_GETRECT, 0, reinterpret_cast<LPARAM>(&f), SMTO_NORMAL, 5000,
                            nullptr);
        DWORD_PTR m = 0;
        SendMessageTimeoutW(c, EM_GETMARGINS, 0, 0, SMTO_NORMAL, 5000, &m);
        return "inset=" + std::to_string(f.left - LOWORD(m));
    }
    return "-";
}

// ---- commands ----

void CmdWaitWindow(DWORD timeout) {
    DWORD start = GetTickCount();
    for (;;) {
        HWND main = FindMain();
        HWND page = main ? GetDlgItem(main, kPageId) : nullptr;
        if (page) {
            // Returns once the program's thread takes messages, i.e. start-up is done.
            DWORD left = timeout - (GetTickCount() - start);
            DWORD_PTR r = 0;
            if (static_cast<int>(left) <= 0 ||
                !SendMessageTimeoutW(main, WM_NULL, 0, 0, SMTO_NORMAL, left, &r)) {
                throw Failure{"main window does not take messages"};
            }
            DWORD pid = 0;
            GetWindowThreadProcessId(main, &pid);
            Out(Join({"window", HandleText(main), std::to_string(pid), HandleText(page)}));
            return;
        }
        if (GetTickCount() - start >= timeout) {
            throw Failure{main ? "page not found" : "main window not found"};
        }
        Sleep(kPollMs);
    }
}

void CmdWaitGone(DWORD timeout) {
    DWORD start = GetTickCount();
    while (FindMain()) {
        if (GetTickCount() - start >= timeout) throw Failure{"main window still there"};
        Sleep(kPollMs);
    }
    Out("gone");
}

void CmdWindow() {
    HWND main = MainOrFail();
    HWND page = PageOrFail();
    RECT wr, cr, pc;
    GetWindowRect(main, &wr);
    GetClientRect(main, &cr);
    GetClientRect(page, &pc);
    POINT origin{0, 0};
    ClientToScreen(main, &origin);
    RECT pr = InPage(main, page);  // in the main window's client coordinates
    Out(Join({"main", HandleText(main), ClassOf(main), Escape(WindowText(main)),
              std::to_string(wr.left), std::to_string(wr.top), std::to_string(wr.right - wr.left),
              std::to_string(wr.bottom - wr.top), Hex(GetWindowLongW(main, GWL_STYLE))}));
    Out(Join({"client", std::to_string(origin.x), std::to_string(origin.y),
              std::to_string(cr.right), std::to_string(cr.bottom)}));
    Out(Join({"page", HandleText(page), ClassOf(page), Escape(WindowText(page)),
              std::to_string(pr.left), std::to_string(pr.top), std::to_string(pr.right - pr.left),
              std::to_string(pr.bottom - pr.top), std::to_string(pc.right),
              std::to_string(pc.bottom), Hex(GetWindowLongW(page, GWL_STYLE)),
              Hex(GetWindowLongW(page, GWL_EXSTYLE))}));
}

void CmdList() {
    HWND page = PageOrFail();
    int index = 0;
    for (HWND c : PageChildren(page)) {
        RECT r = InPage(page, c);
        std::string cls = ClassOf(c);
        Out(Join({"ctl", std::to_string(index++), HandleText(c), cls,
                  std::to_string(GetDlgCtrlID(c)), std::to_string(r.left), std::to_string(r.top),
                  std::to_string(r.right - r.left), std::to_string(r.bottom - r.top),
                  Hex(static_cast<DWORD>(GetWindowLongW(c, GWL_STYLE))),
                  Hex(static_cast<DWORD>(GetWindowLongW(c, GWL_EXSTYLE))), Extra(page, c, cls, r),
                  Escape(WindowText(c))}));
    }
}

void CmdText(const std::string& ctrl) {
    Out("text\t" + Escape(WindowText(ResolveControl(ctrl))));
}

void CmdSetText(const std::string& ctrl, const std::string& text) {
    HWND w = ResolveControl(ctrl);
    std::wstring wide = Wide(text);
    DWORD_PTR r = 0;
    if (!SendMessageTimeoutW(w, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(wide.c_str()), SMTO_NORMAL,
                             5000, &r)) {
        throw Failure{"WM_SETTEXT timed out"};
    }
    Out("set");
}

void PostCommand(HWND to, int id, int code, HWND from) {
    if (!PostMessageW(to, WM_COMMAND, MAKEWPARAM(id, code), reinterpret_cast<LPARAM>(from))) {
        throw Failure{"PostMessage failed"};
    }
}

void CmdClick(const std::string& ctrl) {
    HWND w = ResolveControl(ctrl);
    PostCommand(PageOrFail(), GetDlgCtrlID(w), BN_CLICKED, w);
    Out("clicked");
}

void CmdSelect(const std::string& ctrl, const std::string& index) {
    HWND w = ResolveControl(ctrl);
    long i = ParseNumber(index, "index");
    DWORD_PTR r = 0;
    SendMessageTimeoutW(w, CB_SETCURSEL, static_cast<WPARAM>(i), 0, SMTO_NORMAL, 5000, &r);
    if (static_cast<LRESULT>(r) != i) throw Failure{"CB_SETCURSEL " + index + " refused"};
    PostCommand(PageOrFail(), GetDlgCtrlID(w), CBN_SELENDOK, w);
    Out("selected");
}

std::string ComboItem(HWND w, LRESULT i) {
    DWORD_PTR len = 0;
    SendMessageTimeoutW(w, CB_GETLBTEXTLEN, static_cast<WPARAM>(i), 0, SMTO_NORMAL, 5000, &len);
    if (static_cast<LRESULT>(len) == CB_ERR) return {};
    std::wstring buf(len + 1, L'\0');
    // The wide message: the ANSI one returns only the first character across processes.
    SendMessageTimeoutW(w, CB_GETLBTEXT, static_cast<WPARAM>(i),
                        reinterpret_cast<LPARAM>(buf.data()), SMTO_NORMAL, 5000, &len);
    buf.resize(static_cast<LRESULT>(len) == CB_ERR ? 0 : len);
    return Utf8(buf);
}

void CmdComboItems(const std::string& ctrl) {
    HWND w = ResolveControl(ctrl);
    DWORD_PTR count = 0;
    SendMessageTimeoutW(w, CB_GETCOUNT, 0, 0, SMTO_NORMAL, 5000, &count);
    for (LRESULT i = 0; i < static_cast<LRESULT>(count); ++i) {
        Out("item\t" + std::to_string(i) + "\t" + Escape(ComboItem(w, i)));
    }
}

void CmdComboSel(const std::string& ctrl) {
    HWND w = ResolveControl(ctrl);
    DWORD_PTR sel = 0;
    SendMessageTimeoutW(w, CB_GETCURSEL, 0, 0, SMTO_NORMAL, 5000, &sel);
    LRESULT i = static_cast<LRESULT>(sel);
    Out("sel\t" + std::to_string(i) + "\t" +
        (i == CB_ERR ? std::string() : Escape(ComboItem(w, i))));
}

void CmdFocus() {
    HWND main = MainOrFail();
    GUITHREADINFO gti{};
    gti.cbSize = sizeof gti;
    if (!GetGUIThreadInfo(GetWindowThreadProcessId(main, nullptr), &gti)) {
        throw Failure{"GetGUIThreadInfo failed"};
    }
    HWND f = gti.hwndFocus;
    Out(Join(
        {"focus", HandleText(f), f ? ClassOf(f) : "-", std::to_string(f ? GetDlgCtrlID(f) : 0)}));
}

// A message without pointers, for anything the other commands do not cover.
void CmdSend(const std::vector<std::string>& a) {
    HWND w = ResolveControl(a[1]);
    UINT msg = static_cast<UINT>(ParseNumber(a[2], "message"));
    WPARAM wp = a.size() > 3 ? static_cast<WPARAM>(ParseNumber(a[3], "wParam")) : 0;
    LPARAM lp = a.size() > 4 ? static_cast<LPARAM>(ParseNumber(a[4], "lParam")) : 0;
    DWORD_PTR r = 0;
    if (!SendMessageTimeoutW(w, msg, wp, lp, SMTO_NORMAL, 5000, &r))
        throw Failure{"send timed out"};
    Out("result\t" + std::to_string(static_cast<LRESULT>(r)) + "\t" + Hex(r));
}

void CmdMenu(const std::string& id) {
    PostCommand(MainOrFail(), static_cast<int>(ParseNumber(id, "menu id")), 0, nullptr);
    Out("posted");
}

void CmdClose() {
    if (!PostMessageW(MainOrFail(), WM_CLOSE, 0, 0)) throw Failure{"PostMessage failed"};
    Out("posted");
}

struct BoxSearch {
    DWORD pid;
    std::vector<HWND> boxes;
};

BOOL CALLBACK CollectBox(HWND w, LPARAM lp) {
    auto* s = reinterpret_cast<BoxSearch*>(lp);
    DWORD pid = 0;
    GetWindowThreadProcessId(w, &pid);
    if (pid == s->pid && IsWindowVisible(w) && ClassOf(w) == "#32770") s->boxes.push_back(w);
    return TRUE;
}

std::vector<HWND> Boxes(DWORD pid) {
    BoxSearch s{pid, {}};
    EnumWindows(CollectBox, reinterpret_cast<LPARAM>(&s));
    return s.boxes;
}

void PrintBox(HWND box) {
    HWND text = GetDlgItem(box, 0xFFFF);
    std::string buttons;
    for (HWND c = GetWindow(box, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT)) {
        if (_stricmp(ClassOf(c).c_str(), "Button") != 0 || !IsWindowVisible(c)) continue;
        if (!buttons.empty()) buttons += ',';
        buttons += std::to_string(GetDlgCtrlID(c)) + ":" + WindowText(c);
    }
    Out(Join({"box", HandleText(box), Escape(WindowText(box)),
              Escape(text ? WindowText(text) : std::string()), Escape(buttons),
              HandleText(GetWindow(box, GW_OWNER))}));
}

void CmdBoxes() {
    for (HWND b : Boxes(ProgramPid())) PrintBox(b);
}

HWND WaitBox(DWORD pid, DWORD timeout) {
    DWORD start = GetTickCount();
    for (;;) {
        std::vector<HWND> b = Boxes(pid);
        if (!b.empty()) return b.front();
        if (GetTickCount() - start >= timeout) throw Failure{"no message box appeared"};
        Sleep(kPollMs);
    }
}

void CmdWaitBox(DWORD timeout) {
    HWND box = WaitBox(ProgramPid(), timeout);
    PrintBox(box);
}

void CmdAnswerBox(const std::string& answer, DWORD timeout) {
    int id = answer == "IDOK"       ? IDOK
             : answer == "IDCANCEL" ? IDCANCEL
                                    : static_cast<int>(ParseNumber(answer, "button id"));
    DWORD start = GetTickCount();
    HWND box = WaitBox(ProgramPid(), timeout);
    PrintBox(box);
    PostCommand(box, id, BN_CLICKED, GetDlgItem(box, id));
    while (IsWindow(box)) {
        if (GetTickCount() - start >= timeout) throw Failure{"message box did not close"};
        Sleep(kPollMs);
    }
    Out("answered");
}

BOOL CALLBACK FindFileNameEdit(HWND w, LPARAM lp) {
    // The Explorer-style dialog's name field: an Edit inside its ComboBoxEx32.
    if (GetDlgCtrlID(w) == 1148 && _stricmp(ClassOf(w).c_str(), "Edit") == 0) {
        *reinterpret_cast<HWND*>(lp) = w;
        return FALSE;
    }
    return TRUE;
}

void CmdOpenFile(const std::string& path, DWORD timeout) {
    const DWORD pid = ProgramPid();
    const DWORD start = GetTickCount();
    for (;;) {
        for (HWND dialog : Boxes(pid)) {
            HWND edit = nullptr;
            EnumChildWindows(dialog, FindFileNameEdit, reinterpret_cast<LPARAM>(&edit));
            if (edit == nullptr) continue;
            std::wstring wide = Wide(path);
            DWORD_PTR r = 0;
            if (!SendMessageTimeoutW(edit, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(wide.c_str()),
                                     SMTO_NORMAL, 5000, &r)) {
                throw Failure{"WM_SETTEXT timed out"};
            }
            PostCommand(dialog, IDOK, BN_CLICKED, GetDlgItem(dialog, IDOK));
            while (IsWindow(dialog)) {
                if (GetTickCount() - start >= timeout) throw Failure{"file dialog did not close"};
                Sleep(kPollMs);
            }
            Out("opened");
            return;
        }
        if (GetTickCount() - start >= timeout) throw Failure{"no file dialog appeared"};
        Sleep(kPollMs);
    }
}

DWORD TimeoutArg(const std::vector<std::string>& a, size_t i, DWORD def) {
    return i < a.size() ? static_cast<DWORD>(ParseNumber(a[i], "timeout")) : def;
}

void Need(const std::vector<std::string>& a, size_t n) {
    if (a.size() < n) throw Failure{"missing argument for " + a[0]};
}

void Run(const std::vector<std::string>& a) {
    const std::string& c = a[0];
    if (c == "wait-window") return CmdWaitWindow(TimeoutArg(a, 1, 20000));
    if (c == "wait-gone") return CmdWaitGone(TimeoutArg(a, 1, 20000));
    if (c == "window") return CmdWindow();
    if (c == "list") return CmdList();
    if (c == "focus") return CmdFocus();
    if (c == "close") return CmdClose();
    if (c == "boxes") return CmdBoxes();
    if (c == "wait-box") return CmdWaitBox(TimeoutArg(a, 1, 10000));
    Need(a, 2);
    if (c == "text") return CmdText(a[1]);
    if (c == "click") return CmdClick(a[1]);
    if (c == "combo-items") return CmdComboItems(a[1]);
    if (c == "combo-sel") return CmdComboSel(a[1]);
    if (c == "menu") return CmdMenu(a[1]);
    if (c == "answer-box") return CmdAnswerBox(a[1], TimeoutArg(a, 2, 10000));
    if (c == "open-file") return CmdOpenFile(a[1], TimeoutArg(a, 2, 20000));
    Need(a, 3);
    if (c == "set-text") return CmdSetText(a[1], a[2]);
    if (c == "send") return CmdSend(a);
    if (c == "select") return CmdSelect(a[1], a[2]);
    throw Failure{"unknown command " + c};
}

std::vector<std::string> SplitTabs(const std::string& line) {
    std::vector<std::string> out;
    size_t start = 0;
    for (;;) {
        size_t tab = line.find('\t', start);
        out.push_back(Unescape(line.substr(start, tab - start)));
        if (tab == std::string::npos) return out;
        start = tab + 1;
    }
}

int Serve() {
    std::string line;
    int ch;
    while ((ch = std::fgetc(stdin)) != EOF) {
        if (ch != '\n') {
            if (ch != '\r') line += static_cast<char>(ch);
            continue;
        }
        if (!line.empty()) {
            try {
                Run(SplitTabs(line));
                Out("=ok");
            } catch (const Failure& f) {
                Out("=error\t" + Escape(f.message));
            }
        }
        line.clear();
        std::fflush(stdout);
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stdin), _O_BINARY);
    if (argc < 2) {
        std::fputs("usage: lrx_driver COMMAND [ARGS...] | serve\n", stderr);
        return 2;
    }
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args[0] == "serve") return Serve();
    try {
        Run(args);
    } catch (const Failure& f) {
        std::fprintf(stderr, "lrx_driver: %s\n", f.message.c_str());
        return 1;
    }
    return 0;
}
