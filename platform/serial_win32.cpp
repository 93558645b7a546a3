// The COM port as a Win32 file, used synchronously.
#include <limits>
#include <string>

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

class Win32Serial final : public SerialPort {
  public:
    PortHandle Open(const char* device_path) override {
        HANDLE h = CreateFileA(device_path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                               0, nullptr);
        if (h == INVALID_HANDLE_VALUE) return nullptr;
        return reinterpret_cast<PortHandle>(h);
    }

    bool Configure(PortHandle port, int32_t baudrate, std::string& error) override {
        HANDLE h = ToHandle(port);
        if (!SetLine(h, baudrate, error)) return false;
        // A read returns at once with what is buffered (waiting at most 1 ms for a first
        // byte); a write of n bytes gives up after 20 + 20 n ms.
        COMMTIMEOUTS t{};
        t.ReadIntervalTimeout = MAXDWORD;
        t.ReadTotalTimeoutMultiplier = MAXDWORD;
        t.ReadTotalTimeoutConstant = 1;
        t.WriteTotalTimeoutMultiplier = 20;
        t.WriteTotalTimeoutConstant = 20;
        if (!SetCommTimeouts(h, &t)) {
            error = SystemError("SetCommTimeouts");
            return false;
        }
        // Stale bytes only: a port that cannot purge still works.
        PurgeComm(h, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);
        return true;
    }

    bool Read(PortHandle port, uint8_t* buf, std::size_t max, std::size_t& got) override {
        got = 0;
        HANDLE h = ToHandle(port);
        // A port whose device has gone may still read "0 bytes" for ever (Wine does, on a
        // vanished pty, and spins while it does); asking for the line's state fails then.
        DWORD errors = 0;
        COMSTAT stat{};
        if (!ClearCommError(h, &errors, &stat)) return false;
        DWORD n = 0;
        if (!ReadFile(h, buf, Clamp(max), &n, nullptr)) return false;
        got = n;
        return true;
    }

    bool Write(PortHandle port, const uint8_t* data, std::size_t len, std::size_t& put) override {
        DWORD n = 0;
        const BOOL ok = WriteFile(ToHandle(port), data, Clamp(len), &n, nullptr);
        put = n;
        return ok != 0;
    }

    void Close(PortHandle h) override { CloseHandle(ToHandle(h)); }
};

}  // namespace

std::unique_ptr<SerialPort> NewWin32Serial() {
    return std::make_unique<Win32Serial>();
}

}  // namespace platform
