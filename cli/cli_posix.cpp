// lumrax on POSIX systems: the tty serial port, terminals, signals and the port list.
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "cli/cli_platform.h"
#include "platform/env_posix.h"
#include "serial/port.h"

#if defined(__linux__)
#include <linux/serial.h>
#include <sys/ioctl.h>
#endif

namespace cli {
namespace {

class PosixPortIo final : public PortIo {
  public:
    platform::PortHandle Open(const char* path) override { return tty_.Open(path); }
    bool Configure(platform::PortHandle h, int32_t baudrate, std::string& error) override {
        return tty_.Configure(h, baudrate, error);
    }
    bool Read(platform::PortHandle h, uint8_t* buf, std::size_t max, std::size_t& got) override {
        return tty_.Read(h, buf, max, got);
    }
    bool Write(platform::PortHandle h, const uint8_t* data, std::size_t len,
               std::size_t& put) override {
        return tty_.Write(h, data, len, put);
    }
    void Close(platform::PortHandle h) override { tty_.Close(h); }
    std::string LastError() const override { return tty_.LastError(); }
    bool LineFailed() const override { return tty_.LineFailed(); }
    void AwaitBytes(platform::PortHandle h, int64_t timeout_ns) override {
        if (h == nullptr || timeout_ns <= 0) return;
        // To the nanosecond: a millisecond's poll() would stretch every exchange of a fast
        // pace by up to a millisecond.
        pollfd p{static_cast<int>(reinterpret_cast<std::intptr_t>(h)), POLLIN, 0};
        const timespec t{static_cast<time_t>(timeout_ns / 1000000000),
                         static_cast<long>(timeout_ns % 1000000000)};
        ppoll(&p, 1, &t, nullptr);
    }

  private:
    platform::PosixSerial tty_;
};

volatile std::sig_atomic_t* g_interrupt_flag = nullptr;

void OnInterrupt(int) {
    if (g_interrupt_flag != nullptr) *g_interrupt_flag = 1;
}

// The families of serial devices a technician plugs in or a board has built in.
constexpr const char* kPortPrefixes[] = {"ttyUSB", "ttyACM", "ttyS", "ttyAMA", "rfcomm"};

bool UsablePort(const std::string& path) {
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    termios t{};
    bool ok = tcgetattr(fd, &t) == 0;
#if defined(__linux__)
    // Every ttyS node exists whether or not a UART stands behind it.
    serial_struct info{};
    if (ok && ioctl(fd, TIOCGSERIAL, &info) == 0 && info.type == PORT_UNKNOWN) ok = false;
#endif
    close(fd);
    return ok;
}

}  // namespace

std::unique_ptr<PortIo> NewPortIo() {
    return std::make_unique<PosixPortIo>();
}

std::unique_ptr<platform::System> NewSystem() {
    return platform::NewPosixSystem();
}

void PlatformInit() {
    std::signal(SIGPIPE, SIG_IGN);
}

void CatchInterrupt(volatile std::sig_atomic_t* flag) {
    g_interrupt_flag = flag;
    struct sigaction sa {};
    sa.sa_handler = OnInterrupt;
    sigemptyset(&sa.sa_mask);
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) sigaction(sig, &sa, nullptr);
}

bool IsTerminal(int fd) {
    return isatty(fd) == 1;
}

bool AwaitInput(const volatile std::sig_atomic_t* interrupted) {
    for (;;) {
        if (*interrupted != 0) return false;
        pollfd p{0, POLLIN, 0};
        // A signal ends the poll early; the flag is looked at every 100 ms in any case.
        if (poll(&p, 1, 100) != 0) return *interrupted == 0;
    }
}

bool ResolvePort(const std::string& name, PortChoice& out, std::string& error) {
    if (name.empty()) {
        error = "empty port name";
        return false;
    }
    if (name.size() >= kDevicePathMax) {
        error = "port path longer than " + std::to_string(kDevicePathMax - 1) + " characters";
        return false;
    }
    out = PortChoice{};
    out.device_path = name;
    return true;
}

std::vector<std::string> ListPorts() {
    std::vector<std::string> found;
    DIR* dev = opendir("/dev");
    if (dev == nullptr) return found;
    while (const dirent* e = readdir(dev)) {
        const std::string name = e->d_name;
        for (const char* prefix : kPortPrefixes) {
            const std::size_t n = std::strlen(prefix);
            const bool numbered =
                name.size() > n && name.compare(0, n, prefix) == 0 &&
                std::all_of(name.begin() + static_cast<std::ptrdiff_t>(n), name.end(),
                            [](char c) { return c >= '0' && c <= '9'; });
            if (numbered && UsablePort("/dev/" + name)) found.push_back("/dev/" + name);
        }
    }
    closedir(dev);
    // By family, then by number: ttyUSB2 before ttyUSB10.
    auto key = [](const std::string& path) {
        const std::size_t digits = path.find_last_not_of("0123456789") + 1;
        return std::make_pair(path.substr(0, digits), std::stoul(path.substr(digits)));
    };
    std::sort(found.begin(), found.end(),
              [&](const std::string& a, const std::string& b) { return key(a) < key(b); });
    return found;
}

PathKind KindOf(const std::string& path) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0)
        return errno == ENOENT ? PathKind::kMissing : PathKind::kOther;
    return S_ISREG(st.st_mode) ? PathKind::kRegular : PathKind::kOther;
}

std::string FinalPath(const std::string& path) {
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return path;
    char real[PATH_MAX];
    return realpath(path.c_str(), real) != nullptr ? std::string(real) : path;
}

std::FILE* CreateTempBeside(const std::string& target, std::string& temp) {
    std::string name = target + ".lumrax-XXXXXX";
    const int fd = mkstemp(name.data());
    if (fd < 0) return nullptr;
    fcntl(fd, F_SETFD, FD_CLOEXEC);
    // The mode a new file gets (mkstemp's is 0600), or the one of the file it replaces.
    const mode_t mask = umask(0);
    umask(mask);
    mode_t mode = 0666 & ~mask;
    struct stat st {};
    if (stat(target.c_str(), &st) == 0) mode = st.st_mode & 07777;
    fchmod(fd, mode);
    std::FILE* f = fdopen(fd, "wb");
    if (f == nullptr) {
        const int err = errno;
        close(fd);
        unlink(name.c_str());
        errno = err;
        return nullptr;
    }
    temp = name;
    return f;
}

bool SyncFile(std::FILE* file) {
    return std::fflush(file) == 0 && fsync(fileno(file)) == 0;
}

bool RenameOver(const std::string& temp, const std::string& target) {
    return std::rename(temp.c_str(), target.c_str()) == 0;
}

}  // namespace cli
