// A tty as the serial port, used synchronously like the Win32 one.
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "platform/env_posix.h"

namespace platform {
namespace {

int ToFd(PortHandle h) {
    return static_cast<int>(reinterpret_cast<std::intptr_t>(h));
}

// The descriptor itself is the handle (as the Win32 HANDLE is there), so it must not be 0.
PortHandle ToHandle(int fd) {
    return reinterpret_cast<PortHandle>(static_cast<std::intptr_t>(fd));
}

// A write of n bytes gives up after 20 + 20 n ms, as the Win32 port's write time-outs do.
int WriteBudgetMs(std::size_t n) {
    const std::size_t ms = 20 + 20 * n;
    return ms > 60000 ? 60000 : static_cast<int>(ms);
}

// Raw 8N1 without any handshake; a read returns at once with what is buffered.
bool Configure(int fd, int32_t baudrate, const char** what) {
    termios t{};
    *what = "not a serial port";
    if (tcgetattr(fd, &t) != 0) return false;
    cfmakeraw(&t);
    t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS | HUPCL);
    t.c_cflag |= CS8 | CLOCAL | CREAD;
    t.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY | INPCK);
    // With VMIN 0 a tty reads 0 bytes when it has none; with VMIN 1 and O_NONBLOCK it says
    // EAGAIN, so that 0 is left to mean a hang-up.
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    *what = "cannot configure the port";
    if (tcsetattr(fd, TCSANOW, &t) != 0) return false;
    *what = "baud rate refused";
#if defined(__linux__)
    if (!SetTtyBaud(fd, baudrate)) return false;
#else
    if (cfsetispeed(&t, static_cast<speed_t>(baudrate)) != 0 ||
        cfsetospeed(&t, static_cast<speed_t>(baudrate)) != 0 || tcsetattr(fd, TCSANOW, &t) != 0)
        return false;
#endif
    // DTR and RTS inactive; a pty has neither line, so a refusal means nothing here.
    int lines = TIOCM_DTR | TIOCM_RTS;
    ioctl(fd, TIOCMBIC, &lines);
    tcflush(fd, TCIOFLUSH);
    return true;
}

}  // namespace

void PosixSerial::Fail(const char* what, int err, bool line) {
    error_ = what;
    error_ += ": ";
    error_ += std::strerror(err);
    if (line) line_failed_ = true;
}

PortHandle PosixSerial::Open(const char* device_path) {
    error_.clear();
    line_failed_ = false;
    int fd = open(device_path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        // EBUSY: another program holds the port with TIOCEXCL.
        Fail(errno == EBUSY ? "busy" : "cannot open", errno, false);
        return nullptr;
    }
    if (fd == 0) {
        // Only when stdin was closed: move it off 0, which stands for "no port".
        const int moved = fcntl(fd, F_DUPFD_CLOEXEC, 3);
        const int err = errno;
        close(fd);
        if (moved < 0) {
            Fail("cannot open", err, false);
            return nullptr;
        }
        fd = moved;
    }
    // The advisory lock of Linux serial tools, which binds root too (TIOCEXCL does not):
    // a second program on the port must not break into a transfer. Released by the close.
    // Only a tty is locked (what is none is refused later); where locks are not supported
    // the exclusive open below has to do.
    if (isatty(fd) == 1 && flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
        close(fd);
        error_ = "busy: another program has locked the port";
        return nullptr;
    }
    // No sharing, as the Win32 port is opened.
    if (ioctl(fd, TIOCEXCL) != 0 && errno != ENOTTY) {
        Fail("cannot open", errno, false);
        close(fd);
        return nullptr;
    }
    return ToHandle(fd);
}

bool PosixSerial::Configure(PortHandle h, int32_t baudrate, std::string& error) {
    const char* what = "";
    if (h != nullptr && platform::Configure(ToFd(h), baudrate, &what)) return true;
    Fail(what, h != nullptr ? errno : EBADF, false);
    error = error_;
    return false;
}

bool PosixSerial::Read(PortHandle h, uint8_t* buf, std::size_t max, std::size_t& got) {
    got = 0;
    if (h == nullptr || line_failed_) return false;
    if (max == 0) return true;
    for (;;) {
        const ssize_t n = read(ToFd(h), buf, max);
        if (n > 0) {
            got = static_cast<std::size_t>(n);
            return true;
        }
        if (n == 0) {
            // With VMIN 1, a non-blocking tty reads 0 bytes only after a hang-up.
            Fail("the line was hung up", EIO, true);
            return false;
        }
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return true;
        Fail("read failed", errno, true);
        return false;
    }
}

bool PosixSerial::Write(PortHandle h, const uint8_t* data, std::size_t len, std::size_t& put) {
    put = 0;
    if (h == nullptr || line_failed_) return false;
    const int fd = ToFd(h);
    int budget = WriteBudgetMs(len);
    while (put < len) {
        const ssize_t n = write(fd, data + put, len - put);
        if (n > 0) {
            put += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            Fail("write failed", errno, true);
            return false;
        }
        // The output buffer is full: wait for room, within the write time-out.
        if (budget <= 0) {
            Fail("write timed out", ETIMEDOUT, false);
            return false;
        }
        pollfd p{fd, POLLOUT, 0};
        if (poll(&p, 1, 10) < 0 && errno != EINTR) {
            Fail("write failed", errno, true);
            return false;
        }
        budget -= 10;
    }
    return true;
}

void PosixSerial::Close(PortHandle h) {
    if (h == nullptr) return;
    // The exclusive flag lives with the tty, which a pty's other side keeps alive.
    ioctl(ToFd(h), TIOCNXCL);
    close(ToFd(h));
}

}  // namespace platform
