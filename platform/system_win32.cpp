// Clock, folders and the diagnostic console on Windows.
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <io.h>
#include <mutex>
#include <string>
#include <thread>

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
        return LocalTime{st.wYear,   st.wMonth,  st.wDay,         st.wHour,
                         st.wMinute, st.wSecond, st.wMilliseconds};
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

// stdout reopened on the console in binary mode, so every text reaches it with exactly the line
// ends it was written with. Under Wine a console write is a round trip to the console host
// (5 to 14 ms): written from a timer procedure it made the next ticks late. So the texts are
// queued in order and a thread of the console's own writes them, all that is queued at once.
class Win32Console;
Win32Console* g_console = nullptr;  // for the crash filter
// How long the writer lets texts gather before it writes them.
constexpr std::chrono::milliseconds kGather{20};

class Win32Console final : public Console {
  public:
    Win32Console() {
        AllocConsole();
        FILE* f = nullptr;
        open_ = freopen_s(&f, "CONOUT$", "wb", stdout) == 0;
        if (open_) out_ = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stdout)));
        open_ = open_ && out_ != INVALID_HANDLE_VALUE;
        if (open_) writer_ = std::thread([this] { Run(); });
    }
    ~Win32Console() override {
        if (g_console == this) g_console = nullptr;
        Release();
    }

    // The writer waits only on an empty queue, so only the first text after it needs waking.
    void Write(const char* data, std::size_t len) override {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (!open_ || stopping_ || len == 0) return;
            const bool first = queue_.empty();
            queue_.append(data, len);
            if (!first) return;
        }
        ready_.notify_one();
    }

    void Release() override {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (released_) return;
            released_ = true;
            stopping_ = true;
        }
        ready_.notify_one();
        if (writer_.joinable()) writer_.join();  // it writes what is queued first
        if (open_) std::fclose(stdout);
        open_ = false;
        FreeConsole();
    }

    // For a crash: what is queued, written by the calling thread. The lock is only tried: the
    // crash may have come while it was held.
    void WriteQueuedNow(const char* last_words) {
        std::unique_lock<std::mutex> lock(mutex_, std::try_to_lock);
        if (!lock.owns_lock() || !open_) return;
        std::string text;
        text.swap(queue_);
        text += last_words;
        WriteAll(text);
    }

  private:
    void Run() {
        std::string batch;
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            ready_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
            if (queue_.empty()) return;  // stopping, and everything written
            // What the same and the next tick write goes with it: each write is a round trip
            // through the Wine server to the console host.
            ready_.wait_for(lock, kGather, [this] { return stopping_; });
            batch.clear();
            batch.swap(queue_);
            lock.unlock();
            WriteAll(batch);
            lock.lock();
        }
    }

    // Straight to the handle: the C library writes an unbuffered stream a character at a
    // time, and under Wine each character was a round trip to the console host. Wine's console
    // draws on a terminal only the screen a write leaves, so a write ends after a carriage
    // return that is not followed by a line feed (the characters it lets the next ones
    // overwrite stay on the terminal's record) and after blanks that end a line (drawn only
    // while the cursor is behind them). A return before a line feed changes nothing on the
    // screen: written with it, it is not on the record either.
    void WriteAll(const std::string& text) {
        std::size_t from = 0;
        for (std::size_t i = 0; i < text.size(); ++i) {
            const char c = text[i];
            const bool blank_ends_line =
                (c == '\n' || c == '\r') && i > from && (text[i - 1] == ' ' || text[i - 1] == '\t');
            if (blank_ends_line && !WritePiece(text.data() + from, i - from)) return;
            if (blank_ends_line) from = i;
            // At the end of the batch the next text is unknown: a line feed may follow later.
            const bool lone_return = c == '\r' && (i + 1 == text.size() || text[i + 1] != '\n');
            if (lone_return || i + 1 - from >= 0x10000) {
                if (!WritePiece(text.data() + from, i + 1 - from)) return;
                from = i + 1;
            }
        }
        WritePiece(text.data() + from, text.size() - from);
    }

    bool WritePiece(const char* p, std::size_t n) {
        while (n > 0) {
            DWORD done = 0;
            if (!WriteFile(out_, p, static_cast<DWORD>(n), &done, nullptr) || done == 0) {
                return false;
            }
            p += done;
            n -= done;
        }
        return true;
    }

    std::mutex mutex_;
    std::condition_variable ready_;
    std::string queue_;
    std::thread writer_;
    HANDLE out_ = INVALID_HANDLE_VALUE;  // stdout's
    bool open_ = false;
    bool stopping_ = false;
    bool released_ = false;
};

// The queued trace is what tells what happened before a crash.
LONG WINAPI WriteTraceOnCrash(EXCEPTION_POINTERS* info) {
    if (g_console != nullptr) {
        char text[96];
        std::snprintf(text, sizeof text, "\nUnhandled exception 0x%08lX at %p\n",
                      static_cast<unsigned long>(info->ExceptionRecord->ExceptionCode),
                      info->ExceptionRecord->ExceptionAddress);
        g_console->WriteQueuedNow(text);
    }
    return EXCEPTION_CONTINUE_SEARCH;
}

}  // namespace

std::unique_ptr<System> NewWin32System() {
    return std::make_unique<Win32System>();
}
std::unique_ptr<Console> OpenWin32Console() {
    auto console = std::make_unique<Win32Console>();
    g_console = console.get();
    SetUnhandledExceptionFilter(WriteTraceOnCrash);
    return console;
}

}  // namespace platform
