// The COM port as a Win32 file. A thread of its own waits in ReadFile and keeps what arrives
// for Read, so that polling an idle port costs no call into the system: under Wine each
// ClearCommError or ReadFile is a round trip to the Wine server, on every 10 ms tick.
#include <cstring>
#include <limits>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/env_win32.h"

namespace platform {
namespace {

static_assert(sizeof(DCB) == 28, "DCBlength is written as the Win32 ABI's 28 bytes");

HANDLE ToHandle(PortHandle h) {
    return reinterpret_cast<HANDLE>(h);
}

DWORD Clamp(std::size_t n) {
    constexpr DWORD kMax = std::numeric_limits<DWORD>::max();
    return n > kMax ? kMax : static_cast<DWORD>(n);
}

// The system's text for a failed call, said once here: "SetCommState: <text> (error 87)".
std::string SystemError(const char* call) {
    const DWORD code = GetLastError();
    char text[256] = {};
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                             code, 0, text, sizeof text, nullptr);
    while (n > 0 && (text[n - 1] == '\r' || text[n - 1] == '\n' || text[n - 1] == ' ')) --n;
    std::string out = std::string(call) + ": ";
    out.append(text, n);
    if (n > 0) out += ' ';
    out += "(error " + std::to_string(code) + ")";
    return out;
}

// 8N1 without any handshake; DTR and RTS held inactive. The reserved bits keep
// what the driver reported.
bool SetLine(HANDLE h, int32_t baudrate, std::string& error) {
    DCB dcb{};
    dcb.DCBlength = sizeof(DCB);
    if (!GetCommState(h, &dcb)) {
        error = SystemError("GetCommState");
        return false;
    }
    dcb.DCBlength = sizeof(DCB);
    dcb.BaudRate = static_cast<DWORD>(baudrate);
    dcb.fBinary = 1;
    dcb.fParity = 0;
    dcb.fOutxCtsFlow = 0;
    dcb.fOutxDsrFlow = 0;
    dcb.fDtrControl = DTR_CONTROL_DISABLE;
    dcb.fDsrSensitivity = 0;
    dcb.fTXContinueOnXoff = 1;
    dcb.fOutX = 0;
    dcb.fInX = 0;
    dcb.fErrorChar = 0;
    dcb.fNull = 0;
    dcb.fRtsControl = RTS_CONTROL_DISABLE;
    dcb.fAbortOnError = 0;
    dcb.wReserved = 0;
    dcb.XonLim = 1;
    dcb.XoffLim = 1;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.XonChar = 0x02;
    dcb.XoffChar = 0x03;
    dcb.ErrorChar = 0;
    dcb.EofChar = 0;
    dcb.EvtChar = 0x01;
    if (!SetCommState(h, &dcb)) {
        error = SystemError("SetCommState");
        return false;
    }
    return true;
}

// How often the reader looks at the line while it waits for a byte.
constexpr DWORD kLineCheckMs = 1000;
// Take waits up to kReplyGraceMs for a reply's first byte, within kReplyDueMs of the write.
constexpr DWORD kReplyGraceMs = 2;
constexpr ULONGLONG kReplyDueMs = 100;
// How long the reader lets the rest of a burst come before it reads it.
constexpr DWORD kGatherMs = 3;
// Kept bytes nobody takes stay in the driver beyond this, as they did without the reader.
constexpr std::size_t kKeepMax = 1 << 20;

// Waits on the port for the bytes that come, with an overlapped read, and keeps them until
// Read takes them. A port whose device has gone fails its read or its ClearCommError; the
// failure is kept, with its error code, behind the bytes that came before it.
class PortReader {
  public:
    explicit PortReader(HANDLE port) : port_(port) {
        InitializeCriticalSection(&lock_);
        stop_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        done_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        arrived_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        if (stop_ != nullptr && done_ != nullptr && arrived_ != nullptr) {
            thread_ = CreateThread(nullptr, 0, &PortReader::Main, this, 0, nullptr);
        }
    }
    PortReader(const PortReader&) = delete;
    PortReader& operator=(const PortReader&) = delete;

    ~PortReader() {
        if (thread_ != nullptr) {
            SetEvent(stop_);
            WaitForSingleObject(thread_, INFINITE);
            CloseHandle(thread_);
        }
        if (stop_ != nullptr) CloseHandle(stop_);
        if (done_ != nullptr) CloseHandle(done_);
        if (arrived_ != nullptr) CloseHandle(arrived_);
        DeleteCriticalSection(&lock_);
    }

    bool Running() const { return thread_ != nullptr; }

    // A write makes a reply due; till its first byte comes, but not longer than kReplyDueMs,
    // Take waits for it up to kReplyGraceMs (the bootloader's letter comes at the edge of the
    // next tick at 38400 bps: without the wait it often missed that tick and cost its line a
    // fourth). At rest Take makes no system call.
    void ReplyDue() {
        EnterCriticalSection(&lock_);
        due_until_ = GetTickCount64() + kReplyDueMs;
        LeaveCriticalSection(&lock_);
    }

    bool Take(uint8_t* buf, std::size_t max, std::size_t& got) {
        EnterCriticalSection(&lock_);
        if (kept_.empty() && !failed_ && due_until_ != 0 && GetTickCount64() < due_until_) {
            // Reset under the lock: a byte kept after the check sets the event after this.
            ResetEvent(arrived_);
            awaited_ = true;
            LeaveCriticalSection(&lock_);
            WaitForSingleObject(arrived_, kReplyGraceMs);
            EnterCriticalSection(&lock_);
            awaited_ = false;
        }
        got = max < kept_.size() ? max : kept_.size();
        if (got > 0) {
            std::memcpy(buf, kept_.data(), got);
            kept_.erase(kept_.begin(), kept_.begin() + static_cast<std::ptrdiff_t>(got));
        }
        const bool failed = got == 0 && failed_;
        const DWORD code = error_;
        LeaveCriticalSection(&lock_);
        if (failed) SetLastError(code);  // for the caller's message, as a failed call leaves it
        return !failed;
    }

  private:
    static DWORD WINAPI Main(void* self) {
        static_cast<PortReader*>(self)->Loop();
        return 0;
    }

    void Keep(const uint8_t* data, DWORD n) {
        EnterCriticalSection(&lock_);
        kept_.insert(kept_.end(), data, data + n);
        due_until_ = 0;
        const bool wake = awaited_;  // each event call is a round trip to the Wine server
        LeaveCriticalSection(&lock_);
        if (wake) SetEvent(arrived_);
    }

    std::size_t Backlog() {
        EnterCriticalSection(&lock_);
        const std::size_t n = kept_.size();
        LeaveCriticalSection(&lock_);
        return n;
    }

    void Fail() {
        const DWORD code = GetLastError();
        EnterCriticalSection(&lock_);
        failed_ = true;
        error_ = code;
        LeaveCriticalSection(&lock_);
    }

    // One overlapped read of size bytes: false when it failed or the reader is stopping
    // (stopping_ tells which). While it waits, the line is looked at now and then: a device
    // that has gone may leave the read pending for ever.
    bool ReadOnce(uint8_t* buf, DWORD size, DWORD& n) {
        n = 0;
        OVERLAPPED ov{};
        ov.hEvent = done_;  // ReadFile resets it
        if (ReadFile(port_, buf, size, &n, &ov)) return true;
        if (GetLastError() != ERROR_IO_PENDING) return false;
        HANDLE wait[2] = {done_, stop_};
        for (;;) {
            const DWORD w = WaitForMultipleObjects(2, wait, FALSE, kLineCheckMs);
            if (w == WAIT_OBJECT_0) return GetOverlappedResult(port_, &ov, &n, FALSE) != 0;
            DWORD errors = 0;
            COMSTAT stat{};
            if (w == WAIT_TIMEOUT && ClearCommError(port_, &errors, &stat)) continue;
            const DWORD code = GetLastError();
            stopping_ = w == WAIT_OBJECT_0 + 1;
            CancelIoEx(port_, &ov);
            // What a cancelled read got is the closing port's: nobody takes it any more.
            GetOverlappedResult(port_, &ov, &n, TRUE);
            SetLastError(code);
            return false;
        }
    }

    // The bytes queued in the driver, or -1 when the line cannot be asked.
    long Queued() {
        DWORD errors = 0;
        COMSTAT stat{};
        if (!ClearCommError(port_, &errors, &stat)) return -1;
        return static_cast<long>(stat.cbInQue);
    }

    // A read of one byte ends as that byte comes; a longer one would wait for its whole count
    // under Wine. The rest of a burst is gathered kGatherMs at a time and read as much as the
    // driver holds: a read a byte cost some eight round trips to the Wine server, a reply of
    // twenty bytes at 38400 bps one hundred and sixty. The first byte is kept at once (the
    // bootloader's letter is one byte); the others reach the 10 ms tick at most kGatherMs late.
    void Loop() {
        uint8_t buf[4096];
        // Every way round waits on stop_ (ReadOnce too).
        for (;;) {
            if (Backlog() >= kKeepMax) {
                if (WaitForSingleObject(stop_, 10) == WAIT_OBJECT_0) return;
                continue;
            }
            DWORD n = 0;
            if (!ReadOnce(buf, 1, n)) {
                if (!stopping_) Fail();
                return;
            }
            if (n > 0) Keep(buf, n);
            // A read that gave nothing is the line's failure in disguise (Wine reads "0 bytes"
            // at once from a vanished pty): asked below; the wait bounds the loop in any case.
            for (;;) {
                if (WaitForSingleObject(stop_, n == 0 ? 10 : kGatherMs) == WAIT_OBJECT_0) return;
                const long queued = Queued();
                if (queued < 0) {
                    Fail();
                    return;
                }
                if (queued == 0) break;
                const DWORD want = queued < static_cast<long>(sizeof buf)
                                       ? static_cast<DWORD>(queued)
                                       : static_cast<DWORD>(sizeof buf);
                if (!ReadOnce(buf, want, n)) {
                    if (!stopping_) Fail();
                    return;
                }
                if (n == 0) break;
                Keep(buf, n);
            }
        }
    }

    HANDLE port_;
    HANDLE stop_ = nullptr;
    HANDLE done_ = nullptr;
    HANDLE arrived_ = nullptr;  // set when bytes are kept
    HANDLE thread_ = nullptr;
    bool stopping_ = false;  // the reader thread's own
    CRITICAL_SECTION lock_;
    std::vector<uint8_t> kept_;  // under lock_, as the three below
    bool failed_ = false;
    DWORD error_ = 0;
    ULONGLONG due_until_ = 0;  // a reply's first byte is awaited till then
    bool awaited_ = false;     // Take waits on arrived_
};

class Win32Serial final : public SerialPort {
  public:
    PortHandle Open(const char* device_path) override {
        HANDLE h = CreateFileA(device_path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                               FILE_FLAG_OVERLAPPED, nullptr);
        if (h == INVALID_HANDLE_VALUE) return nullptr;
        return reinterpret_cast<PortHandle>(h);
    }

    bool Configure(PortHandle port, int32_t baudrate, std::string& error) override {
        HANDLE h = ToHandle(port);
        readers_.erase(port);  // its reads would run on under the new settings
        if (!SetLine(h, baudrate, error)) return false;
        // A read waits for its first byte as long as it takes and ends 1 ms after its last
        // one. (Under Wine 8 an overlapped read with a ReadIntervalTimeout of MAXDWORD waits
        // for its whole count whatever the other time-outs say.) A write of n bytes gives up
        // after 20 + 20 n ms.
        COMMTIMEOUTS t{};
        t.ReadIntervalTimeout = 1;
        t.WriteTotalTimeoutMultiplier = 20;
        t.WriteTotalTimeoutConstant = 20;
        if (!SetCommTimeouts(h, &t)) {
            error = SystemError("SetCommTimeouts");
            return false;
        }
        // Stale bytes only: a port that cannot purge still works.
        PurgeComm(h, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);
        auto reader = std::make_unique<PortReader>(h);
        if (!reader->Running()) {
            error = SystemError("CreateThread");
            return false;
        }
        readers_[port] = std::move(reader);
        return true;
    }

    // Takes what the reader kept; no call into the system.
    bool Read(PortHandle port, uint8_t* buf, std::size_t max, std::size_t& got) override {
        got = 0;
        auto it = readers_.find(port);
        if (it == readers_.end()) return true;  // not configured: nothing is read
        return it->second->Take(buf, max, got);
    }

    bool Write(PortHandle port, const uint8_t* data, std::size_t len, std::size_t& put) override {
        put = 0;
        HANDLE h = ToHandle(port);
        auto it = readers_.find(port);
        if (it != readers_.end()) it->second->ReplyDue();
        OVERLAPPED ov{};
        ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        if (ov.hEvent == nullptr) return false;
        DWORD n = 0;
        BOOL ok = WriteFile(h, data, Clamp(len), &n, &ov);
        // The write time-outs bound the wait.
        if (!ok && GetLastError() == ERROR_IO_PENDING) ok = GetOverlappedResult(h, &ov, &n, TRUE);
        const DWORD code = GetLastError();
        CloseHandle(ov.hEvent);
        SetLastError(code);
        put = n;
        return ok != 0;
    }

    // The reader ends before the handle it reads is closed.
    void Close(PortHandle h) override {
        readers_.erase(h);
        CloseHandle(ToHandle(h));
    }

  private:
    std::map<PortHandle, std::unique_ptr<PortReader>> readers_;
};

}  // namespace

std::unique_ptr<SerialPort> NewWin32Serial() {
    return std::make_unique<Win32Serial>();
}

}  // namespace platform
