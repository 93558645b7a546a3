// Clock, folders and the diagnostic console on Windows.
#include <cstdio>

#include "platform/env_win32.h"
// After <windows.h>, which it needs.
#include <timeapi.h>

namespace platform {
namespace {

class Win32System final : public System {
  public:
    LocalTime Now() override {
        SYSTEMTIME st{};
        GetLocalTime(&st);
        return LocalTime{st.wYear, st.wMonth, st.wDay, st.wHour, st.wMinute, st.wSecond};
    }

    bool CurrentDirectory(std::string& out) override {
        char buf[MAX_PATH] = {};
        // Anything above the buffer size is the size a longer directory would need:
        // that directory does not fit, so it counts as a failure.
        DWORD n = GetCurrentDirectoryA(MAX_PATH, buf);
        if (n == 0 || n >= MAX_PATH) return false;
        out.assign(buf, n);
        return true;
    }

    bool CreateFolder(const char* path) override { return CreateDirectoryA(path, nullptr) != 0; }

    void FineTimer(bool on) override {
        if (on) {
            timeBeginPeriod(1);
        } else {
            timeEndPeriod(1);
        }
    }

    // rename() refuses an existing target on Windows.
    bool ReplaceFile(const char* from, const char* to) override {
        return MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
    }
};

// stdout reopened on the console in binary mode, so every text reaches it with
// exactly the line ends it was written with.
class Win32Console final : public Console {
  public:
    Win32Console() {
        AllocConsole();
        FILE* f = nullptr;
        open_ = freopen_s(&f, "CONOUT$", "wb", stdout) == 0;
    }

    void Write(const char* data, std::size_t len) override {
        if (!open_) return;
        std::fwrite(data, 1, len, stdout);
        std::fflush(stdout);
    }

    void Release() override {
        if (released_) return;
        released_ = true;
        if (open_) std::fclose(stdout);
        open_ = false;
        FreeConsole();
    }

  private:
    bool open_ = false;
    bool released_ = false;
};

}  // namespace

std::unique_ptr<System> NewWin32System() {
    return std::make_unique<Win32System>();
}
std::unique_ptr<Console> OpenWin32Console() {
    return std::make_unique<Win32Console>();
}

}  // namespace platform
