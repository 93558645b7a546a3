// lumrax on Windows: the Win32 serial port with its error texts, the console, Ctrl-C and
// the port list.
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "cli/cli_platform.h"
#include "platform/env_win32.h"
#include "platform/text_format.h"

#include <mmsystem.h>  // needs <windows.h> first

namespace cli {
namespace {

constexpr int kPortCount = 40;

// The system's text for a Win32 error code, without its line end.
std::string SystemText(DWORD code) {
    char buf[256] = {};
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                             code, 0, buf, sizeof buf, nullptr);
    while (n > 0 && (buf[n - 1] == '\r' || buf[n - 1] == '\n' || buf[n - 1] == ' ')) --n;
    if (n == 0) return "error " + std::to_string(code);
    return std::string(buf, n);
}

class Win32PortIo final : public PortIo {
  public:
    Win32PortIo() : inner_(platform::NewWin32Serial()) {}
    platform::PortHandle Open(const char* path) override {
        error_.clear();
        line_failed_ = false;
        platform::PortHandle h = inner_->Open(path);
        // Taken at once, before anything else can change the thread's last error.
        if (h == nullptr) error_ = "cannot open: " + SystemText(GetLastError());
        return h;
    }
    bool Configure(platform::PortHandle h, int32_t baudrate, std::string& error) override {
        if (inner_->Configure(h, baudrate, error)) return true;
        error_ = error;
        return false;
    }
    bool Read(platform::PortHandle h, uint8_t* buf, std::size_t max, std::size_t& got) override {
        if (inner_->Read(h, buf, max, got)) return true;
        Failed("read failed");
        return false;
    }
    bool Write(platform::PortHandle h, const uint8_t* data, std::size_t len,
               std::size_t& put) override {
        if (inner_->Write(h, data, len, put)) return true;
        Failed("write failed");
        return false;
    }
    void Close(platform::PortHandle h) override { inner_->Close(h); }
    std::string LastError() const override { return error_; }
    bool LineFailed() const override { return line_failed_; }
    // The port's Read waits up to 1 ms for its first byte and returns as it comes (its
    // time-outs): the waiting is done there.
    void AwaitBytes(platform::PortHandle, int64_t) override {}

  private:
    void Failed(const char* what) {
        error_ = std::string(what) + ": " + SystemText(GetLastError());
        line_failed_ = true;
    }

    std::unique_ptr<platform::SerialPort> inner_;
    std::string error_;
    bool line_failed_ = false;
};

volatile std::sig_atomic_t* g_interrupt_flag = nullptr;

BOOL WINAPI OnConsoleEvent(DWORD) {
    if (g_interrupt_flag == nullptr) return FALSE;
    *g_interrupt_flag = 1;
    return TRUE;
}

void RestoreTimerResolution() {
    timeEndPeriod(1);
}

}  // namespace

std::unique_ptr<PortIo> NewPortIo() {
    return std::make_unique<Win32PortIo>();
}

std::unique_ptr<platform::System> NewSystem() {
    return platform::NewWin32System();
}

void PlatformInit() {
    // Raw bytes and the core's own line ends reach the streams untranslated.
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
    // The default 15.6 ms timer resolution would stretch every 10 ms tick.
    if (timeBeginPeriod(1) == TIMERR_NOERROR) std::atexit(RestoreTimerResolution);
}

void CatchInterrupt(volatile std::sig_atomic_t* flag) {
    g_interrupt_flag = flag;
    SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

bool IsTerminal(int fd) {
    return _isatty(fd) != 0;
}

bool AwaitInput(const volatile std::sig_atomic_t* interrupted) {
    // The console's read of a line is left to end by itself, as before.
    return *interrupted == 0;
}

bool ResolvePort(const std::string& name, PortChoice& out, std::string& error) {
    out = PortChoice{};
    const bool com = name.size() > 3 && (name[0] == 'C' || name[0] == 'c') &&
                     (name[1] == 'O' || name[1] == 'o') && (name[2] == 'M' || name[2] == 'm');
    int number = 0;
    bool digits = com && name.size() <= 5;
    for (std::size_t i = 3; digits && i < name.size(); ++i) {
        if (name[i] < '0' || name[i] > '9') digits = false;
        number = number * 10 + (name[i] - '0');
    }
    if (!digits || name[3] == '0' || number < 1 || number > kPortCount) {
        error = "not a port: " + name + " (COM1 to COM40)";
        return false;
    }
    out.com_number = number;
    return true;
}

std::vector<std::string> ListPorts() {
    std::vector<std::string> found;
    for (int n = 1; n <= kPortCount; ++n) {
        char path[32];
        if (!FormatBounded(path, sizeof path, "\\\\.\\COM%d", n)) continue;
        HANDLE h =
            CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (h == INVALID_HANDLE_VALUE) continue;
        CloseHandle(h);
        found.push_back("COM" + std::to_string(n));
    }
    return found;
}

PathKind KindOf(const std::string& path) {
    struct _stat64 st {};
    if (_stat64(path.c_str(), &st) != 0)
        return errno == ENOENT ? PathKind::kMissing : PathKind::kOther;
    return (st.st_mode & _S_IFMT) == _S_IFREG ? PathKind::kRegular : PathKind::kOther;
}

std::string FinalPath(const std::string& path) {
    return path;
}

std::FILE* CreateTempBeside(const std::string& target, std::string& temp) {
    const unsigned long stamp = GetCurrentProcessId() ^ GetTickCount();
    for (unsigned n = 0; n < 100; ++n) {
        const std::string name = target + ".lumrax-" + std::to_string(stamp + n);
        const int fd =
            _open(name.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY, _S_IREAD | _S_IWRITE);
        if (fd < 0) {
            if (errno == EEXIST) continue;
            return nullptr;
        }
        std::FILE* f = _fdopen(fd, "wb");
        if (f == nullptr) {
            const int err = errno;
            _close(fd);
            _unlink(name.c_str());
            errno = err;
            return nullptr;
        }
        temp = name;
        return f;
    }
    errno = EEXIST;
    return nullptr;
}

bool SyncFile(std::FILE* file) {
    return std::fflush(file) == 0 && _commit(_fileno(file)) == 0;
}

bool RenameOver(const std::string& temp, const std::string& target) {
    if (MoveFileExA(temp.c_str(), target.c_str(),
                    MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0)
        return true;
    switch (GetLastError()) {
        case ERROR_ACCESS_DENIED:
            errno = EACCES;
            break;
        case ERROR_SHARING_VIOLATION:
            errno = EBUSY;
            break;
        case ERROR_DISK_FULL:
            errno = ENOSPC;
            break;
        default:
            errno = EIO;
            break;
    }
    return false;
}

}  // namespace cli
