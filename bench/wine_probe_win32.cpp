// What Wine charges a program for the things this one does all the time, measured without it:
//   wine_probe.exe timers MS...   a window whose timers (one per interval) do nothing
//   wine_probe.exe console FILE   times console writes of a short line and of a line echo
//                                 and writes the averages (ms) to FILE
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

void CALLBACK Nothing(HWND, UINT, UINT_PTR, DWORD) {}

LRESULT CALLBACK WindowProc(HWND wnd, UINT msg, WPARAM wp, LPARAM lp) {
    if (msg == WM_DESTROY) {
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcA(wnd, msg, wp, lp);
}

int Timers(HINSTANCE instance) {
    WNDCLASSA wc{};
    wc.lpfnWndProc = WindowProc;
    wc.hInstance = instance;
    wc.hCursor = LoadCursor(nullptr, IDC_ARROW);
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    wc.lpszClassName = "wine_probe";
    RegisterClassA(&wc);
    HWND wnd =
        CreateWindowA("wine_probe", "wine_probe", WS_OVERLAPPEDWINDOW | WS_VISIBLE, CW_USEDEFAULT,
                      CW_USEDEFAULT, 300, 200, nullptr, nullptr, instance, nullptr);
    for (int i = 2; i < __argc; ++i) {
        SetTimer(wnd, static_cast<UINT_PTR>(i), static_cast<UINT>(std::atoi(__argv[i])), Nothing);
    }
    MSG msg;
    while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
    return 0;
}

// The console as the program opens it; each text written and flushed as the program does.
int Console(const char* out) {
    AllocConsole();
    FILE* con = nullptr;
    if (freopen_s(&con, "CONOUT$", "wb", stdout) != 0) return 1;
    const char* const texts[] = {"lines_sent: 1234\n",
                                 "sent: :10ABCD0000112233445566778899AABBCCDDEEFF00\r\n\n"};
    constexpr int kRounds = 200;
    double total_ms[2] = {0, 0};
    LARGE_INTEGER freq, t0, t1;
    QueryPerformanceFrequency(&freq);
    for (int i = 0; i < kRounds; ++i) {
        for (int t = 0; t < 2; ++t) {
            QueryPerformanceCounter(&t0);
            std::fwrite(texts[t], 1, std::strlen(texts[t]), stdout);
            std::fflush(stdout);
            QueryPerformanceCounter(&t1);
            total_ms[t] += static_cast<double>(t1.QuadPart - t0.QuadPart) * 1000.0 /
                           static_cast<double>(freq.QuadPart);
        }
    }
    FILE* f = std::fopen(out, "w");
    if (f == nullptr) return 1;
    std::fprintf(f, "{\"short_line_ms\": %.3f, \"echo_ms\": %.3f, \"echo_chars\": %u}\n",
                 total_ms[0] / kRounds, total_ms[1] / kRounds,
                 static_cast<unsigned>(std::strlen(texts[1])));
    std::fclose(f);
    return 0;
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    if (__argc >= 2 && std::strcmp(__argv[1], "timers") == 0) return Timers(instance);
    if (__argc == 3 && std::strcmp(__argv[1], "console") == 0) return Console(__argv[2]);
    return 2;
}
