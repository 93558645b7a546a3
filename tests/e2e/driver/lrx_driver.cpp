// Drives a running LUM_RAX_COM from outside its process. One command a line on stdin, its
// arguments separated by tabs; the answer is records, one a line, fields separated by tabs and
// escaped (\\ \t \r \n), then "=ok" or "=error<TAB>message". CTRL is a control id of the page
// or "#N", the N-th child of the page in creation order. Texts are in code page 1252.
//   wait-window MS     returns once the program takes messages
//   window             main TITLE X Y W H STYLE; page CLIENT_W CLIENT_H
//   list               CLASS ID X Y W H STYLE INSET TEXT for each child of the page, in page
//                      client coordinates (INSET: an edit control's text inset beyond its
//                      margins; Wine draws an edit's border that way instead of by WS_BORDER)
//   point CTRL         X Y, the control's centre on the screen
//   text CTRL | set-text CTRL TEXT | click CTRL | select CTRL INDEX (then CBN_SELENDOK)
//   focus              the id of the control with the keyboard focus
//   post MSG W L       posts a message without pointers to the main window
//   box ANSWER MS      CAPTION TEXT BUTTONS (id:text,...) of the first message box to appear;
//                      OK is pressed unless ANSWER is "-"
//   open-file PATH MS  types PATH into the open-file dialog and presses Open
//   chart              X Y W H, the chart window's client area on the screen
//   chart-key VK       a key pressed in the chart window (WM_KEYDOWN)
//   chart-click ID     clicks the chart window's button ID
#include <windows.h>
#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using Fail = std::runtime_error;

void Out(const std::vector<std::string>& fields) {
    std::string line;
    for (const std::string& f : fields) {
        if (&f != &fields[0]) line += '\t';
        for (char c : f) {
            const size_t k = std::string("\\\t\r\n").find(c);
            line += k == std::string::npos ? std::string(1, c) : std::string("\\") + "\\trn"[k];
        }
    }
    std::printf("%s\n", line.c_str());
}

std::string Num(long long v) {
    return std::to_string(v);
}

// Sent with a time-out so that a hung program cannot hang the driver.
LRESULT Ask(HWND w, UINT msg, WPARAM wp = 0, LPARAM lp = 0) {
    DWORD_PTR r = 0;
    if (!SendMessageTimeoutA(w, msg, wp, lp, SMTO_NORMAL, 5000, &r)) {
        throw Fail("message " + Num(msg) + " timed out");
    }
    return static_cast<LRESULT>(r);
}

// In the program's code page (1252), as it set them.
std::string WindowText(HWND w) {
    std::string buf(static_cast<size_t>(Ask(w, WM_GETTEXTLENGTH)) + 1, '\0');
    buf.resize(Ask(w, WM_GETTEXT, buf.size(), reinterpret_cast<LPARAM>(buf.data())));
    return buf;
}

bool IsClass(HWND w, const char* name) {
    char cls[64] = {};
    GetClassNameA(w, cls, sizeof cls);
    return _stricmp(cls, name) == 0;
}

HWND Main() {
    HWND w = FindWindowW(L"LUM_RAX_COM", nullptr);
    if (!w) throw Fail("main window not found");
    return w;
}

HWND Page() {
    HWND page = GetDlgItem(Main(), 1);
    if (!page) throw Fail("page (child id 1 of the main window) not found");
    return page;
}

std::vector<HWND> Children(HWND parent) {
    std::vector<HWND> out;
    for (HWND c = GetWindow(parent, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT)) out.push_back(c);
    return out;
}

HWND Control(const std::string& ctrl) {
    if (ctrl[0] == '#') {
        const std::vector<HWND> kids = Children(Page());
        const size_t index = std::stoul(ctrl.substr(1));
        if (index >= kids.size()) throw Fail("no child " + ctrl);
        return kids[index];
    }
    HWND w = GetDlgItem(Page(), std::stoi(ctrl));
    if (!w) throw Fail("no control with id " + ctrl);
    return w;
}

void PostCommand(HWND to, HWND from, int code) {
    if (!PostMessageW(to, WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(from), code),
                      reinterpret_cast<LPARAM>(from))) {
        throw Fail("PostMessage failed");
    }
}

template <typename F>
HWND WaitFor(DWORD ms, const std::string& what, F found) {
    for (const DWORD start = GetTickCount();; Sleep(20)) {
        if (HWND w = found()) return w;
        if (GetTickCount() - start >= ms) throw Fail(what);
    }
}

// A message box or the file dialog: no other process of the prefix opens one.
HWND Dialog() {
    HWND d = FindWindowW(L"#32770", nullptr);
    return d && IsWindowVisible(d) ? d : nullptr;
}

void Press(HWND dialog, DWORD ms) {
    PostCommand(dialog, GetDlgItem(dialog, IDOK), BN_CLICKED);
    WaitFor(ms, "the window did not close",
            [dialog] { return IsWindow(dialog) ? nullptr : dialog; });
}

void Run(const std::vector<std::string>& a) {
    const std::string c = a.empty() ? "" : a[0];
    auto arg = [&](size_t i) -> const std::string& {
        if (i >= a.size()) throw Fail("missing argument for " + c);
        return a[i];
    };
    if (c == "wait-window") {
        const DWORD ms = std::stoul(arg(1));
        HWND main = WaitFor(ms, "no main window appeared", [] {
            HWND w = FindWindowW(L"LUM_RAX_COM", nullptr);
            return w && GetDlgItem(w, 1) ? w : nullptr;
        });
        DWORD_PTR r = 0;
        if (!SendMessageTimeoutW(main, WM_NULL, 0, 0, SMTO_NORMAL, ms, &r)) {
            throw Fail("main window does not take messages");
        }
    } else if (c == "window") {
        RECT wr, pc;
        GetWindowRect(Main(), &wr);
        GetClientRect(Page(), &pc);
        Out({"main", WindowText(Main()), Num(wr.left), Num(wr.top), Num(wr.right - wr.left),
             Num(wr.bottom - wr.top), Num(static_cast<DWORD>(GetWindowLongW(Main(), GWL_STYLE)))});
        Out({"page", Num(pc.right), Num(pc.bottom)});
    } else if (c == "list") {
        for (HWND w : Children(Page())) {
            RECT r, f{};
            GetWindowRect(w, &r);
            MapWindowPoints(HWND_DESKTOP, Page(), reinterpret_cast<POINT*>(&r), 2);
            long inset = 0;
            if (IsClass(w, "Edit")) {
                Ask(w, EM_GETRECT, 0, reinterpret_cast<LPARAM>(&f));
                inset = f.left - LOWORD(Ask(w, EM_GETMARGINS));
            }
            char cls[64] = {};
            GetClassNameA(w, cls, sizeof cls);
            Out({cls, Num(GetDlgCtrlID(w)), Num(r.left), Num(r.top), Num(r.right - r.left),
                 Num(r.bottom - r.top), Num(static_cast<DWORD>(GetWindowLongW(w, GWL_STYLE))),
                 Num(inset), WindowText(w)});
        }
    } else if (c == "point") {
        RECT r;
        GetWindowRect(Control(arg(1)), &r);
        Out({Num((r.left + r.right) / 2), Num((r.top + r.bottom) / 2)});
    } else if (c == "text") {
        Out({WindowText(Control(arg(1)))});
    } else if (c == "set-text") {
        Ask(Control(arg(1)), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(arg(2).c_str()));
    } else if (c == "click") {
        PostCommand(Page(), Control(arg(1)), BN_CLICKED);
    } else if (c == "select") {
        HWND w = Control(arg(1));
        const long i = std::stol(arg(2));
        if (Ask(w, CB_SETCURSEL, i) != i) throw Fail("CB_SETCURSEL");
        PostCommand(Page(), w, CBN_SELENDOK);
    } else if (c == "focus") {
        GUITHREADINFO gti{};
        gti.cbSize = sizeof gti;
        if (!GetGUIThreadInfo(GetWindowThreadProcessId(Main(), nullptr), &gti)) {
            throw Fail("GetGUIThreadInfo failed");
        }
        Out({Num(gti.hwndFocus ? GetDlgCtrlID(gti.hwndFocus) : 0)});
    } else if (c == "post") {
        if (!PostMessageW(Main(), std::stoul(arg(1)), std::stoul(arg(2)), std::stol(arg(3)))) {
            throw Fail("PostMessage failed");
        }
    } else if (c == "box") {
        const DWORD ms = std::stoul(arg(2));
        HWND box = WaitFor(ms, "no message box appeared", Dialog);
        HWND text = GetDlgItem(box, 0xFFFF);
        std::string buttons;
        for (HWND b : Children(box)) {
            if (!IsClass(b, "Button") || !IsWindowVisible(b)) continue;
            buttons += (buttons.empty() ? "" : ",") + Num(GetDlgCtrlID(b)) + ":" + WindowText(b);
        }
        Out({WindowText(box), text ? WindowText(text) : "", buttons});
        if (arg(1) != "-") Press(box, ms);
    } else if (c == "open-file") {
        // The Explorer-style dialog's name field: an Edit (1148) inside its ComboBoxEx32.
        HWND edit = nullptr;
        HWND dialog = WaitFor(std::stoul(arg(2)), "no file dialog appeared", [&edit] {
            HWND d = Dialog();
            auto find = [](HWND w, LPARAM lp) -> BOOL {
                if (GetDlgCtrlID(w) != 1148 || !IsClass(w, "Edit")) return TRUE;
                *reinterpret_cast<HWND*>(lp) = w;
                return FALSE;
            };
            if (d) EnumChildWindows(d, find, reinterpret_cast<LPARAM>(&edit));
            return edit ? d : nullptr;
        });
        Ask(edit, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(arg(1).c_str()));
        Press(dialog, std::stoul(arg(2)));
    } else if (c == "chart" || c == "chart-key" || c == "chart-click") {
        HWND chart = FindWindowW(L"LUM_RAX_COM_chart", nullptr);
        if (!chart) throw Fail("chart window not found");
        if (c == "chart-click") {
            HWND button = GetDlgItem(chart, std::stoi(arg(1)));
            if (!button) throw Fail("no chart button " + arg(1));
            PostCommand(chart, button, BN_CLICKED);
            return;
        }
        if (c == "chart-key") {
            if (!PostMessageW(chart, WM_KEYDOWN, std::stoul(arg(1)), 1))
                throw Fail("PostMessage failed");
            return;
        }
        RECT r;
        GetClientRect(chart, &r);
        MapWindowPoints(chart, HWND_DESKTOP, reinterpret_cast<POINT*>(&r), 2);
        Out({Num(r.left), Num(r.top), Num(r.right - r.left), Num(r.bottom - r.top)});
    } else {
        throw Fail("unknown command " + c);
    }
}

}  // namespace

int main() {
    _setmode(_fileno(stdout), _O_BINARY);
    for (std::string line; std::getline(std::cin, line);) {
        std::istringstream in(line);
        std::vector<std::string> args;
        for (std::string a; std::getline(in, a, '\t');) args.push_back(a);
        try {
            Run(args);
            Out({"=ok"});
        } catch (const std::exception& e) {
            Out({"=error", e.what()});
        }
        std::fflush(stdout);
    }
    return 0;
}
