// The COM port as a Win32 file, used synchronously.
#include <limits>

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

// 8N1 without any handshake; DTR and RTS held inactive. The reserved bits keep
// what the driver reported.
void Configure(HANDLE h, int32_t baudrate) {
    DCB dcb{};
    dcb.DCBlength = sizeof(DCB);
    GetCommState(h, &dcb);
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
    SetCommState(h, &dcb);

    // A read returns at once with what is buffered (waiting at most 1 ms for a first
    // byte); a write of n bytes gives up after 20 + 20 n ms.
    COMMTIMEOUTS t{};
    t.ReadIntervalTimeout = MAXDWORD;
    t.ReadTotalTimeoutMultiplier = MAXDWORD;
    t.ReadTotalTimeoutConstant = 1;
    t.WriteTotalTimeoutMultiplier = 20;
    t.WriteTotalTimeoutConstant = 20;
    SetCommTimeouts(h, &t);

    PurgeComm(h, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);
}

class Win32Serial final : public SerialPort {
  public:
    PortHandle Open(const char* device_path, int32_t baudrate) override {
        HANDLE h = CreateFileA(device_path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                               0, nullptr);
        if (h == INVALID_HANDLE_VALUE) return nullptr;
        Configure(h, baudrate);
        return reinterpret_cast<PortHandle>(h);
    }

    std::size_t Read(PortHandle h, uint8_t* buf, std::size_t max) override {
        DWORD got = 0;
        if (!ReadFile(ToHandle(h), buf, Clamp(max), &got, nullptr)) return 0;
        return got;
    }

    std::size_t Write(PortHandle h, const uint8_t* data, std::size_t len) override {
        DWORD put = 0;
        if (!WriteFile(ToHandle(h), data, Clamp(len), &put, nullptr)) return 0;
        return put;
    }

    void Close(PortHandle h) override { CloseHandle(ToHandle(h)); }
};

}  // namespace

std::unique_ptr<SerialPort> NewWin32Serial() {
    return std::make_unique<Win32Serial>();
}

}  // namespace platform
