// The Windows entry point: window class, main window with its tab page, the window
// procedures and the message loop. Everything else is the portable core's.
#include <memory>

#include "app/chart_window.h"
#include "app/main_window.h"
#include "app/settings.h"
#include "app/startup.h"
#include "platform/env.h"
#include "platform/env_win32.h"
#include "page/control_ids.h"
#include "page/page.h"
#include "platform/version.h"
#include "resources/resource.h"
#include "serial/port.h"
#include "serial/reg_console.h"
#include "serial/link_controls.h"

using platform::ToHwnd;
using platform::ToWnd;

namespace {

constexpr DWORD kMainStyle = WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN;
constexpr int kMainWidth = 1000;
constexpr int kMainHeight = 660;
constexpr UINT_PTR kPageId = 1;

// With one tab the page never changes; the check only puts the page back should
// another have been shown.
void ShowSelectedPage() {
    if (SendMessageA(ToHwnd(g_main.hWndTab), TCM_GETCURSEL, 0, 0) != 0) return;
    if (g_main.hWndCurrentPage == g_main.hWndTabCOM) return;
    ShowWindow(ToHwnd(g_main.hWndCurrentPage), SW_HIDE);
    ShowWindow(ToHwnd(g_main.hWndTabCOM), SW_SHOW);
    g_main.hWndCurrentPage = g_main.hWndTabCOM;
}

// The menu's check mark follows the option, which the settings file and the menu set.
void ShowReconnectCheck(HWND main) {
    CheckMenuItem(GetMenu(main), IDM_RECONNECT,
                  MF_BYCOMMAND | (g_port.reconnect_enabled != 0 ? MF_CHECKED : MF_UNCHECKED));
}

LRESULT CALLBACK MainWndProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    switch (msg) {
        case WM_COMMAND: {
            const uint16_t id = LOWORD(wParam);
            if (id == IDM_CHART) {
                OpenChartWindow(ToWnd(hwnd));
                return 0;
            }
            if (!MainWindowCommand(ToWnd(hwnd), id)) break;
            if (id == IDM_EXIT) DestroyWindow(hwnd);
            if (id == IDM_RECONNECT) ShowReconnectCheck(hwnd);
            return 0;
        }
        case WM_NOTIFY:
            ShowSelectedPage();
            return 0;
        case WM_DESTROY:
            AppShutdown(ToWnd(hwnd));
            PostQuitMessage(0);
            return 0;
        case WM_PAINT: {
            PAINTSTRUCT ps;
            BeginPaint(hwnd, &ps);
            EndPaint(hwnd, &ps);
            return 0;
        }
        default:
            break;
    }
    return DefWindowProcA(hwnd, msg, wParam, lParam);
}

// Every control command of the page goes to the core's routing table, but for the chart's
// button: the chart window is the shell's. All other messages, and ids outside the table, get
// the system's default handling, not the static control's: the page paints nothing of its own.
LRESULT CALLBACK PageCommandRouter(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg == WM_COMMAND && LOWORD(wParam) == id::kChart) {
        if (HIWORD(wParam) == BN_CLICKED) OpenChartWindow(g_main.hWndMain);
        return 0;
    }
    if (msg == WM_COMMAND && PageCommand(ToWnd(hwnd), static_cast<uint32_t>(wParam),
                                         reinterpret_cast<platform::Wnd>(lParam))) {
        return 0;
    }
    return DefWindowProcA(hwnd, msg, wParam, lParam);
}

// A single-line edit field drops Enter (ES_WANTRETURN acts only in a multi-line one), and a
// pasted text is cut at its first line break: Enter here ends the line for the register
// read, as a line break in the field would for the polling timer.
// The edit control's own procedure, which this one stands before (as the page's router does,
// without comctl32's subclassing: see AttachRouter).
WNDPROC g_reg_field_edit_proc = nullptr;

LRESULT CALLBACK RegFieldProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg == WM_CHAR && wParam == '\r') {
        RegLineEnter(g_main.hWndMain);
        return 0;
    }
    return CallWindowProcA(g_reg_field_edit_proc, hwnd, msg, wParam, lParam);
}

ATOM RegisterMainClass(HINSTANCE instance) {
    WNDCLASSEXA wc{};
    wc.cbSize = sizeof wc;
    wc.style = CS_HREDRAW | CS_VREDRAW;
    wc.lpfnWndProc = MainWndProc;
    wc.hInstance = instance;
    wc.hIcon = LoadIconA(instance, MAKEINTRESOURCEA(IDI_LUM_RAX_COM));
    wc.hCursor = static_cast<HCURSOR>(
        LoadImageA(nullptr, IDC_ARROW, IMAGE_CURSOR, 0, 0, LR_SHARED | LR_DEFAULTSIZE));
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_MENU + 1);
    wc.lpszMenuName = MAKEINTRESOURCEA(IDC_LUM_RAX_COM);
    wc.lpszClassName = g_app.szAppClass;
    wc.hIconSm = LoadIconA(instance, MAKEINTRESOURCEA(IDI_SMALL));
    return RegisterClassExA(&wc);
}

// The main window, its tab control with the one item "COM", and the page over the
// tab's display area. The page is made a child of the tab control first and then
// handed to the main window: its coordinates are the same in both, as the tab
// control sits at the main window's origin.
bool CreateMainWindow(HINSTANCE instance, int show) {
    HWND main = CreateWindowExA(0, g_app.szAppClass, g_app.szAppTitle, kMainStyle, CW_USEDEFAULT,
                                CW_USEDEFAULT, kMainWidth, kMainHeight, nullptr, nullptr, instance,
                                nullptr);
    if (main == nullptr) return false;
    ShowWindow(main, show);
    UpdateWindow(main);

    RECT client{};
    GetClientRect(main, &client);
    HWND tab = CreateWindowExA(0, WC_TABCONTROLA, "", WS_CHILD | WS_VISIBLE, 0, 0, client.right,
                               client.bottom, main, nullptr, instance, nullptr);
    SendMessageA(tab, WM_SETFONT, reinterpret_cast<WPARAM>(GetStockObject(DEFAULT_GUI_FONT)),
                 FALSE);
    char com[] = "COM";
    TCITEMA item{};
    item.mask = TCIF_TEXT;
    item.pszText = com;
    SendMessageA(tab, TCM_INSERTITEMA, 0, reinterpret_cast<LPARAM>(&item));

    RECT tab_rectangle{};
    GetClientRect(tab, &tab_rectangle);
    SendMessageA(tab, TCM_ADJUSTRECT, FALSE, reinterpret_cast<LPARAM>(&tab_rectangle));
    HWND page = CreateWindowExA(WS_EX_CLIENTEDGE, "STATIC", "This is hWndTabCOM",
                                WS_CHILD | WS_VISIBLE | SS_OWNERDRAW, tab_rectangle.left,
                                tab_rectangle.top, tab_rectangle.right - tab_rectangle.left,
                                tab_rectangle.bottom - tab_rectangle.top, tab,
                                reinterpret_cast<HMENU>(kPageId), instance, nullptr);
    SetParent(page, main);

    g_main.hWndMain = ToWnd(main);
    g_main.hWndTab = ToWnd(tab);
    g_main.hWndTabCOM = ToWnd(page);
    g_main.hWndCurrentPage = g_main.hWndTabCOM;
    return true;
}

// Key messages go to the control that has the focus, but the accelerators are the main
// window's menu commands: they are translated for the main window, whoever has the focus.
int RunMessageLoop(HACCEL accel) {
    MSG msg{};
    BOOL got;
    while ((got = GetMessageA(&msg, nullptr, 0, 0)) != 0) {
        if (got == -1) return 0;
        if (TranslateAcceleratorA(ToHwnd(g_main.hWndMain), accel, &msg)) continue;
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
    return static_cast<int>(msg.wParam);
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int show) {
    LoadStringA(instance, IDS_APP_TITLE, g_app.szAppTitle, sizeof g_app.szAppTitle);
    LoadStringA(instance, IDC_LUM_RAX_COM, g_app.szAppClass, sizeof g_app.szAppClass);
    RegisterMainClass(instance);

    std::unique_ptr<platform::Console> console = platform::OpenWin32Console();
    std::unique_ptr<platform::Ui> ui = platform::NewWin32Ui(PageCommandRouter);
    std::unique_ptr<platform::SerialPort> serial = platform::NewWin32Serial();
    std::unique_ptr<platform::System> system = platform::NewWin32System();
    platform::SetEnv(platform::Env{ui.get(), serial.get(), system.get(), console.get()});
    ConPrintf("Application Title: %s %s\r\n", g_app.szAppTitle, AppVersion());

    INITCOMMONCONTROLSEX icc{sizeof icc, ICC_TAB_CLASSES};
    InitCommonControlsEx(&icc);
    if (!CreateMainWindow(instance, show)) return 0;
    HACCEL accel = LoadAcceleratorsA(instance, MAKEINTRESOURCEA(IDC_LUM_RAX_COM));

    AppStartup(g_main.hWndMain, g_main.hWndTabCOM);
    ShowReconnectCheck(ToHwnd(g_main.hWndMain));
    if (g_settings.chart.open != 0) OpenChartWindow(g_main.hWndMain);
    g_reg_field_edit_proc = reinterpret_cast<WNDPROC>(SetWindowLongPtrA(
        ToHwnd(g_link_ui.hWndRegEdit), GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&RegFieldProc)));
    const int code = RunMessageLoop(accel);
    platform::SetEnv(platform::Env{});
    return code;
}
